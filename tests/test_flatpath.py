import collections
import gc
import pickle
import subprocess
import sys
import weakref
from collections.abc import Mapping, MutableMapping


import pytest
from hypothesis import given, settings, strategies as st

from conftest import baseline

import dravix.datastructures.flatpath as mod
from dravix.datastructures.flatpath import DictItem, FlatPath, IndexMarker

ref = baseline("flatpath")

MSG = "FlatPath only accepts a tuple of path/obj"
Point = collections.namedtuple("Point", "x y")


def shape(path):
    """A path with markers spelled as (class, index), so paths compare by value."""
    return tuple((p.type_, p.index) if isinstance(p, IndexMarker) else p for p in path)


def pairs(fp):
    return [(shape(path), value) for path, value in fp]


class Bag(MutableMapping):
    """A mapping that is not a dict."""

    def __init__(self, *args, **kw):
        self._d = dict(*args, **kw)

    def __getitem__(self, k):
        return self._d[k]

    def __setitem__(self, k, v):
        self._d[k] = v

    def __delitem__(self, k):
        del self._d[k]

    def __iter__(self):
        return iter(self._d)

    def __len__(self):
        return len(self._d)


class Frozen(Mapping):
    def __init__(self, d):
        self._d = d

    def __getitem__(self, k):
        return self._d[k]

    def __iter__(self):
        return iter(self._d)

    def __len__(self):
        return len(self._d)


def test_module_contents():
    names = [n for n in vars(mod) if not n.startswith("__")]
    assert names == ["namedtuple", "MutableMapping", "DictItem", "IndexMarker", "FlatPath"]
    assert mod.namedtuple is collections.namedtuple and mod.MutableMapping is MutableMapping
    assert DictItem._fields == ("path", "value") and DictItem.__module__ == mod.__name__
    assert IndexMarker.__doc__ is None and FlatPath.__doc__
    assert FlatPath.__mro__ == (FlatPath, list, object) and type(FlatPath) is type
    item = DictItem(("a",), 1)
    assert pickle.loads(pickle.dumps(item)) == item and item == (("a",), 1)


# --- IndexMarker --------------------------------------------------------------------


@pytest.mark.parametrize(
    "obj, index, text", [([], 3, "list[3]"), ((), "2", "tuple[2]"), (Point(1, 2), 1.9, "Point[1]"), (FlatPath(), True, "FlatPath[1]")]
)
def test_marker(obj, index, text):
    marker = IndexMarker(index=index, obj=obj)
    assert repr(marker) == text and marker.type_ is type(obj) and type(marker.index) is int
    assert marker != IndexMarker(obj, index)  # identity equality


def test_marker_errors_and_repr_reads_attributes():
    with pytest.raises(ValueError):
        IndexMarker([], "x")
    with pytest.raises(TypeError):
        IndexMarker([])
    marker = IndexMarker([], 0)
    marker.type_, marker.index = dict, "k"
    assert repr(marker) == "dict[k]"


# --- flattening ---------------------------------------------------------------------

EMPTY_LIST, EMPTY_TUPLE, EMPTY_DICT = [], (), {}
READ_ONLY = Frozen({"d": 1})  # not a MutableMapping: a leaf

FLAT_CASES = [
    ({}, []),
    ({"a": {"b": {"c": 1, "d": 2}}}, [(("a", "b", "c"), 1), (("a", "b", "d"), 2)]),
    ({"a": [1, {"b": 2}]}, [(("a", (list, 0)), 1), (("a", (list, 1), "b"), 2)]),
    ({"a": Point(1, [2])}, [(("a", (Point, 0)), 1), (("a", (Point, 1), (list, 0)), 2)]),
    ({"s": "text", "n": None, "set": {1}}, [(("s",), "text"), (("n",), None), (("set",), {1})]),
    ({1: {(2, 3): "x"}}, [((1, (2, 3)), "x")]),
    (Bag(a=Bag(b=1), c=READ_ONLY), [(("a", "b"), 1), (("c",), READ_ONLY)]),
]


@pytest.mark.parametrize("data, expected", FLAT_CASES)
def test_flatten(data, expected):
    assert pairs(FlatPath(data)) == expected
    assert all(type(entry) is DictItem for entry in FlatPath(data))


@pytest.mark.parametrize("empty", [EMPTY_DICT, EMPTY_LIST, EMPTY_TUPLE, Bag()])
def test_empty_containers_are_the_very_leaves(empty):
    (entry,) = FlatPath({"a": empty})
    assert entry.path == ("a",) and entry.value is empty


def test_nested_flatpath_and_bare_values():
    inner = FlatPath({"x": 1})
    assert pairs(FlatPath({"a": inner})) == [
        (("a", (FlatPath, 0), (DictItem, 0), (tuple, 0)), "x"),
        (("a", (FlatPath, 0), (DictItem, 1)), 1),
    ]
    assert list(FlatPath.__flatten__(7)) == [7]
    assert pairs(FlatPath.__flatten__([1, 2])) == [(((list, 0),), 1), (((list, 1),), 2)]


@pytest.mark.parametrize(
    "prefix, expected",
    [(None, ("a",)), ((), ("a",)), (("p", "q"), ("p", "q", "a")), (Point("p", "q"), ("p", "q", "a")), (0, ("a",))],
)
def test_flatten_prefix(prefix, expected):
    assert [e.path for e in FlatPath.__flatten__({"a": 1}, path=prefix)] == [expected]


@pytest.mark.parametrize("prefix", [["p"], 5])
def test_bad_prefix_fails_lazily(prefix):
    walk = FlatPath.__flatten__({"a": 1}, prefix)
    with pytest.raises(TypeError):
        next(walk)
    assert list(walk) == []


def test_prefix_of_own_class_is_used_at_every_level():
    class P:
        def __init__(self, items):
            self.items = tuple(items)

        def __bool__(self):
            return True

        def __getitem__(self, s):
            return P(self.items[s])

        def __add__(self, other):
            return P(self.items + other)

    got = [(e.path.items, e.value) for e in FlatPath.__flatten__({"a": {"b": 1}, "c": 2}, P(["r"]))]
    assert got == [(("r", "a", "b"), 1), (("r", "c"), 2)]


def test_flattening_is_lazy():
    calls = []

    class Spy(Bag):
        def items(self):
            calls.append(1)
            return super().items()

    walk = FlatPath.__flatten__(Spy(a=1, b=Spy(c=2)))
    assert calls == []
    assert next(walk) == (("a",), 1) and calls == [1]
    assert next(walk) == (("b", "c"), 2) and calls == [1, 1]


def test_deep_nesting_and_cycles():
    depth = 100_000
    deep = leaf = {}
    for _ in range(depth):
        leaf["k"] = leaf = {}
    leaf["v"] = [1]
    ((path, value),) = FlatPath(deep)
    assert len(path) == depth + 2 and value == 1
    rebuilt = FlatPath([(path, value)]).reconstruct()
    for _ in range(depth):
        rebuilt = rebuilt["k"]
    assert rebuilt == {"v": [1]}

    shared = {"x": 1}
    assert len(FlatPath({"a": shared, "b": [shared, shared]})) == 3  # repeated, not cyclic

    cyclic = {"a": 1, "b": [0]}
    cyclic["b"].append(cyclic)
    walk = FlatPath.__flatten__(cyclic)
    assert next(walk) == (("a",), 1) and next(walk).value == 0
    with pytest.raises(RecursionError):
        next(walk)
    assert list(walk) == []
    lst = []
    lst.append(lst)
    with pytest.raises(RecursionError):
        FlatPath({"l": lst})


@pytest.mark.parametrize(
    "mutate",
    [lambda d: d.update(z=3), lambda d: (d.pop("b"), d.update(x=9)), lambda d: d.pop("b"), lambda d: d.update(a=7)],
)
def test_dict_changed_during_walk_behaves_like_its_items(mutate):
    outcomes = []
    for flatten in (FlatPath.__flatten__, ref.FlatPath.__flatten__):
        d = {"a": 1, "b": 2, "c": 3}
        walk = flatten(d)
        seen = [tuple(next(walk))]
        mutate(d)
        try:
            seen += [tuple(entry) for entry in walk]
        except RuntimeError as e:
            seen.append(str(e))
        outcomes.append(seen)
    assert outcomes[0] == outcomes[1]


def test_walk_errors_and_reentry():
    class Broken(Bag):
        def items(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        FlatPath({"a": Broken(x=1)})

    class Reenter(Bag):
        def items(self):
            return [("k", next(walk))]

    walk = FlatPath.__flatten__({"r": Reenter(x=1)})
    with pytest.raises(ValueError, match="already executing"):
        list(walk)


def test_sequence_subclass_iteration_is_honoured():
    class Rev(list):
        def __iter__(self):
            return iter(list(list.__iter__(self))[::-1])

    assert pairs(FlatPath({"a": Rev([1, 2])})) == [(("a", (Rev, 0)), 2), (("a", (Rev, 1)), 1)]


def test_nested_levels_use_the_module_global(monkeypatch):
    class Sub(FlatPath):
        @staticmethod
        def __flatten__(indict, path=None):
            yield ("sub", path)

    # A subclass's own __flatten__ does not change nested levels ...
    assert pairs(Sub({"a": {"b": 1}})) == [(("a", "b"), 1)]
    # ... but whatever the module global FlatPath names does.
    monkeypatch.setattr(mod, "FlatPath", Sub)
    assert list(FlatPath.__flatten__({"a": {"b": 1}, "c": 2})) == [("sub", ("a",)), (("c",), 2)]


def test_replaced_globals_are_used(monkeypatch):
    made = []
    monkeypatch.setattr(mod, "DictItem", lambda path, value: made.append(path) or ("item", value))
    monkeypatch.setattr(mod, "IndexMarker", lambda obj, i: f"{type(obj).__name__}@{i}")
    assert list(FlatPath.__flatten__({"a": [5]})) == [("item", 5)]
    assert made == [("a", "list@0")]
    monkeypatch.setattr(mod, "MutableMapping", Mapping)
    assert list(FlatPath.__flatten__(Frozen({"a": 1}))) == [("item", 1)]


def test_patched_classes_are_called(monkeypatch):
    def init(self, obj, index):
        self.type_, self.index = "patched", index + 100

    monkeypatch.setattr(IndexMarker, "__init__", init)
    monkeypatch.setattr(DictItem, "__new__", lambda cls, path, value: tuple.__new__(cls, (path, -value)))
    ((path, value),) = FlatPath({"a": [5]})
    assert (path[1].type_, path[1].index, value) == ("patched", 100, -5)
    fp = FlatPath()
    fp.append((("x",), 1))
    assert fp == [(("x",), -1)]


def test_registered_builtin_types_are_honoured():
    code = (
        "from collections.abc import MutableMapping\n"
        "from dravix.datastructures.flatpath import FlatPath\n"
        "assert len(FlatPath({'a': [1, 2]})) == 2\n"
        "MutableMapping.register(tuple)\n"
        "try:\n    FlatPath({'a': (1, 2)})\nexcept AttributeError as e:\n    assert 'items' in str(e)\n"
        "else:\n    raise SystemExit('tuple was not treated as a mapping')\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_abandoned_walk_in_a_cycle_is_collected():
    class Node(dict):
        pass

    node = Node(a={"b": 1})
    node.walk = FlatPath.__flatten__(node)
    next(node.walk)
    ref = weakref.ref(node)
    del node
    gc.collect()
    assert ref() is None


# --- construction and validated operations -----------------------------------------


def test_construct_from_pairs():
    entries = [(("a",), 1), ["b", 2], "xy"]
    fp = FlatPath(entries)
    assert list(fp) == entries and all(a is b for a, b in zip(fp, entries))
    assert FlatPath() == [] and FlatPath({}) == []
    gen = FlatPath(((k,), v) for k, v in [("a", 1), ("b", 2)])
    assert gen == [(("a",), 1), (("b",), 2)]


@pytest.mark.parametrize("bad", [[(("a",), 1), 5], 5, ["abc"], [(1, 2, 3)], (p for p in [(1, 2), 7])])
def test_construct_rejects_non_pairs(bad):
    with pytest.raises(ValueError, match=MSG) as info:
        FlatPath(bad)
    assert isinstance(info.value.__context__, (TypeError, ValueError))


def test_construct_argument_errors():
    with pytest.raises(TypeError):
        FlatPath([], [])
    with pytest.raises(TypeError):
        FlatPath(x=1)
    fp = FlatPath([(1, 2)])
    with pytest.raises(ValueError):
        fp.__init__([5])
    assert fp == [(1, 2)]


class Interrupting:
    def __iter__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize(
    "call",
    [
        lambda fp, item: FlatPath(item),
        lambda fp, item: fp.append(item),
        lambda fp, item: fp.insert(0, item),
        lambda fp, item: fp.extend([(("ok",), 1), item]),
        lambda fp, item: fp.__setitem__(0, item),
    ],
)
def test_pair_checks(call):
    fp = FlatPath([(("keep",), 0)])
    for bad in [5, "abc", (("x",), 1, 2), [("x",)]]:
        with pytest.raises(ValueError, match=MSG) as info:
            call(fp, bad)
        assert info.value.__context__ is not None
    with pytest.raises(KeyboardInterrupt):
        call(fp, Interrupting())
    assert fp == [(("keep",), 0)]


def test_validated_operations_store():
    fp = FlatPath()
    fp.append(item=(("x",), 1))
    fp.append("ab")
    fp.insert(0, [("w",), 0])
    fp.extend(iter([(("y",), 2), (("z",), 3)]))
    assert [type(e) for e in fp] == [DictItem] * 5
    assert list(fp) == [(("w",), 0), (("x",), 1), ("a", "b"), (("y",), 2), (("z",), 3)]
    item = DictItem(("q",), 9)
    fp[0] = item
    assert type(fp[0]) is tuple and fp[0] == item
    exact = (("r",), 8)
    fp[1] = exact
    assert fp[1] is exact
    fp[2] = iter([("s",), 7])  # read once, stored whole
    assert fp[2] == (("s",), 7)
    fp[3:5] = (("t",), 6)
    assert fp[3:] == [("t",), 6]
    fp += [5]
    assert fp[-1] == 5
    with pytest.raises(TypeError):
        fp.insert("x", (1, 2))


# --- reconstruct --------------------------------------------------------------------

ROUND_TRIPS = [
    {},
    {"a": [1, {"b": 2}, [3, 4]], "c": (5, 6), "e": {}, "f": []},
    {"a": [(1, 2)], "b": ({"b": 1}, 2)},
    {"a": ({"b": 1}, {"c": 2})},
    {"a": ({}, 1)},
    {"a": (1, {"b": 2})},
    {"a": ([1], 2)},
    {"a": ((1, 2), (3,)), "b": ((), [()], {"c": ()})},
    {"p": Point([1, (2,)], {"q": 3}), "fp": FlatPath({"x": {"y": [1]}})},
    {"deep": [[[[{"x": ({"y": [1, (2, [3])]},)}]]]]},
]


@pytest.mark.parametrize("data", ROUND_TRIPS)
def test_round_trip(data):
    rebuilt = FlatPath(data).reconstruct()
    assert rebuilt == data and rebuilt is not data

    def same_types(a, b):
        assert type(a) is type(b)
        if isinstance(a, dict):
            for k in a:
                same_types(a[k], b[k])
        elif isinstance(a, (list, tuple)):
            for x, y in zip(a, b):
                same_types(x, y)

    same_types(rebuilt, data)


def test_reconstruct_keeps_leaves_and_builds_new_containers():
    leaf = {}
    value = object()
    fp = FlatPath({"a": leaf, "b": [value]})
    first, second = fp.reconstruct(), fp.reconstruct()
    assert first["a"] is leaf and first["b"][0] is value and first is not second
    assert FlatPath().reconstruct() is not FlatPath().reconstruct()


scalars = st.one_of(st.integers(), st.text(max_size=3), st.none())
keys = st.one_of(st.integers(-3, 3), st.text(max_size=2))
trees = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(keys, inner, max_size=3),
    ),
    max_leaves=12,
)


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(keys, trees, max_size=4))
def test_round_trip_property(data):
    assert FlatPath(data).reconstruct() == data


@settings(max_examples=60, deadline=None)
@given(st.dictionaries(keys, st.recursive(scalars, lambda i: st.lists(i, max_size=3) | st.dictionaries(keys, i, max_size=3), max_leaves=10), max_size=4))
def test_flatten_and_rebuild_agree_with_reference(data):
    ours, theirs = FlatPath(data), ref.FlatPath(data)
    assert pairs(ours) == [((tuple((p.type_, p.index) if isinstance(p, ref.IndexMarker) else p for p in path)), v) for path, v in theirs]
    assert ours.reconstruct() == theirs.reconstruct() == data


def m(cls, i):
    marker = IndexMarker([], 0)
    marker.type_, marker.index = cls, i
    return marker


@pytest.mark.parametrize(
    "entries, expected",
    [
        ([(("a", m(list, 1)), "y"), (("a", m(list, 0)), "x")], {"a": ["x"]}),  # order, not position
        ([(("a",), 1), ((), 2)], {"a": 2}),  # empty path reuses the slot before
        ([(("a", m(tuple, 0)), 1), ((), 2)], {"a": (2,)}),
        ([(("a", m(list, 0)), 1), (("a", m(list, -1)), 2)], {"a": [2]}),  # in range: present
        ([(["a", "b"], 1), ("ac", 2)], {"a": {"b": 1, "c": 2}}),  # any iterable path
        ([(("a", m(Point, 0)), 1), (("a", m(Point, 1)), 2)], {"a": Point(1, 2)}),
        ([(("a", m(tuple, 0)), 1), (("a", m(list, 0)), 2)], {"a": [2]}),  # class change replaces
    ],
)
def test_reconstruct_follows_entry_order(entries, expected):
    fp = FlatPath(entries)
    assert fp.reconstruct() == expected
    assert type(fp.reconstruct()["a"]) is type(expected["a"])


def test_reconstruct_does_not_grow_stored_sequences():
    stored_list, stored_tuple = [5], ()
    fp = FlatPath([(("a",), stored_list), (("a", m(list, 1)), 6), (("b",), stored_tuple), (("b", m(tuple, 0)), 7)])
    assert fp.reconstruct() == {"a": [5, 6], "b": (7,)}
    assert stored_list == [5] and stored_tuple == ()
    assert fp.reconstruct() == {"a": [5, 6], "b": (7,)}


@pytest.mark.parametrize("empty", [{}, collections.OrderedDict(), collections.defaultdict(list)])
def test_reconstruct_does_not_fill_stored_dicts(empty):
    first = {"a": empty, "b": [{}]}
    merged = FlatPath(list(FlatPath(first)) + list(FlatPath({"a": {"x": 1}, "b": [{"y": 2}]})))
    rebuilt = merged.reconstruct()
    assert rebuilt == {"a": {"x": 1}, "b": [{"y": 2}]} and type(rebuilt["a"]) is type(empty)
    assert first == {"a": {}, "b": [{}]} and not empty


@pytest.mark.parametrize(
    "entries, error, text",
    [
        ([((), 1)], UnboundLocalError, "local variable 'k' referenced before assignment"),
        ([((m(list, 0),), 1)], UnboundLocalError, "local variable 'prev_ptr' referenced before assignment"),
        ([(("a",), 1), (("a", "b"), 2)], TypeError, None),
        ([(("a", m(Point, 0)), 1)], TypeError, None),
        ([(("a", m(FlatPath, 0)), 1)], ValueError, MSG),
        ([(("a", m(list, "i")), 1), (("a", m(list, "i")), 1)], TypeError, None),
    ],
)
def test_reconstruct_errors(entries, error, text):
    with pytest.raises(error, match=text):
        FlatPath(entries).reconstruct()


def test_reconstruct_entry_must_unpack():
    fp = FlatPath([(("a",), 1)])
    list.append(fp, 5)
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        fp.reconstruct()


def test_reconstruct_uses_module_globals(monkeypatch):
    fp = FlatPath({"a": {"b": 1}})
    monkeypatch.setattr(mod, "MutableMapping", Bag)  # a plain dict is then no mapping
    with pytest.raises(ValueError, match="dictionary update sequence"):
        fp.reconstruct()
    monkeypatch.undo()
    fp = FlatPath({"a": [1]})
    monkeypatch.setattr(mod, "IndexMarker", type("Other", (), {}))
    assert fp.reconstruct() == {"a": {fp[0].path[1]: 1}}  # markers then count as keys


# --- reconstruct: entries whose paths share their first elements ---------------------------------

_log = []


class LoggedKey(str):
    def __hash__(self):
        _log.append(("hash", str(self)))
        return str.__hash__(self)

    def __eq__(self, other):
        _log.append(("eq", str(self)))
        return str.__eq__(self, other)


class WalkedFromRoot(FlatPath):
    """Iterated through __iter__, so every entry is placed walking from the root."""

    def __iter__(self):
        return iter(list(list.__iter__(self)))


def _outcome(fp):
    _log.clear()
    try:
        result = ("ok", fp.reconstruct())
    except Exception as exc:  # the very same failure is expected from both
        result = ("error", type(exc), str(exc))
    return result, list(_log)


@pytest.mark.parametrize(
    "entries, expected",
    [
        # a shorter path replaces the dict the previous path went through
        ([(("a", "b", "c"), 1), (("a", "b"), 2), (("a", "x"), 3)], {"a": {"b": 2, "x": 3}}),
        ([(("a", "b", "c"), 1), (("a",), {"k": 0}), (("a", "b"), 2)], {"a": {"k": 0, "b": 2}}),
        # the same path twice, and an empty path after it
        ([(("a", "b"), 1), (("a", "b"), 2), ((), 3), (("a", "c"), 4)], {"a": {"b": 3, "c": 4}}),
        # a list step after shared keys replaces the dict in the slot
        ([(("a", "b", "c"), 1), (("a", "b", m(list, 0)), 2), (("a", "b", m(list, 1)), 3)], {"a": {"b": [2, 3]}}),
        ([(("a", "b", m(list, 0)), 1), (("a", "b", "c"), 2)], None),
    ],
)
def test_reconstruct_of_shared_paths(entries, expected):
    # The elements of consecutive paths are the very same objects.
    shared = {}
    entries = [(tuple(shared.setdefault(e, e) if isinstance(e, str) else e for e in path), v) for path, v in entries]
    fast, slow = _outcome(FlatPath(entries)), _outcome(WalkedFromRoot(entries))
    assert fast == slow
    if expected is not None:
        assert fast[0] == ("ok", expected)


def test_reconstruct_reads_markers_through_a_patched_class(monkeypatch):
    reads = []

    def logged(self, name):
        if name in ("type_", "index"):
            reads.append(name)
        return object.__getattribute__(self, name)

    fp = FlatPath({"a": [1, (2, 3)], "b": {"c": [4]}})
    expected = fp.reconstruct()
    monkeypatch.setattr(IndexMarker, "__getattribute__", logged, raising=False)
    assert fp.reconstruct() == expected
    assert reads and set(reads) == {"type_", "index"}
    first = list(reads)
    reads.clear()
    assert WalkedFromRoot(fp).reconstruct() == expected
    assert reads == first


def _as_tuple_getattribute(self, name):
    return tuple if name == "type_" else object.__getattribute__(self, name)


@pytest.mark.parametrize(
    "attr, patch", [("type_", property(lambda self: tuple)), ("__getattribute__", _as_tuple_getattribute)]
)
def test_reconstruct_sees_a_marker_class_patched_while_it_runs(attr, patch):
    class Patcher(str):
        def __hash__(self):
            setattr(IndexMarker, attr, patch)
            return str.__hash__(self)

    entries = [(("a", IndexMarker([], 0)), 1), (("b", Patcher("p")), 2), (("c", IndexMarker([], 0)), 3)]
    outcomes = []
    for cls in (FlatPath, WalkedFromRoot):
        try:
            outcomes.append(_outcome(cls(entries)))
        finally:
            delattr(IndexMarker, attr)
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0] == ("ok", {"a": [1], "b": {"p": 2}, "c": (3,)})
