"""FlatPath, IndexMarker and DictItem. What the module shares with its
plain-Python baseline runs on both (the M fixture), so the baseline is an
executable model of the module; the rest is the module's own: its walk without
recursion, its rebuild of any nesting of lists and tuples, its single pass over
one-shot iterables, and its error texts."""

import collections
import pickle
import subprocess
import sys
from collections.abc import Mapping, MutableMapping

import pytest
from hypothesis import given, settings, strategies as st

from conftest import baseline

import dravix.datastructures.flatpath as mod
from dravix.datastructures.flatpath import DictItem, FlatPath, IndexMarker

ref = baseline("flatpath")

MSG = "FlatPath only accepts a tuple of path/obj"
Point = collections.namedtuple("Point", "x y")


@pytest.fixture(params=[pytest.param(mod, id="ours"), pytest.param(ref, id="baseline")])
def M(request):
    """The module, or its plain-Python baseline."""
    return request.param


def shape(path):
    """A path with markers spelled as (class, index), so paths compare by value."""
    return tuple((p.type_, p.index) if type(p).__name__ == "IndexMarker" else p for p in path)


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


@pytest.mark.parametrize("obj, index, text", [([], 3, "list[3]"), ((), "2", "tuple[2]"), (Point(1, 2), 1.9, "Point[1]")])
def test_marker(M, obj, index, text):
    marker = M.IndexMarker(index=index, obj=obj)
    assert repr(marker) == text and marker.type_ is type(obj) and type(marker.index) is int
    assert marker != M.IndexMarker(obj, index)  # identity equality
    with pytest.raises(ValueError):
        M.IndexMarker([], "x")
    with pytest.raises(TypeError):
        M.IndexMarker([])
    marker.type_, marker.index = dict, "k"
    assert repr(marker) == "dict[k]"  # repr reads the attributes


# --- flattening ---------------------------------------------------------------------

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
def test_flatten(M, data, expected):
    assert pairs(M.FlatPath(data)) == expected
    assert all(type(entry) is M.DictItem for entry in M.FlatPath(data))


@pytest.mark.parametrize("empty", [{}, [], (), Bag()])
def test_empty_containers_are_the_very_leaves(M, empty):
    (entry,) = M.FlatPath({"a": empty})
    assert entry.path == ("a",) and entry.value is empty


def test_nested_flatpath_and_bare_values(M):
    inner = M.FlatPath({"x": 1})
    assert pairs(M.FlatPath({"a": inner})) == [
        (("a", (M.FlatPath, 0), (M.DictItem, 0), (tuple, 0)), "x"),
        (("a", (M.FlatPath, 0), (M.DictItem, 1)), 1),
    ]
    assert list(M.FlatPath.__flatten__(7)) == [7]
    assert pairs(M.FlatPath.__flatten__([1, 2])) == [(((list, 0),), 1), (((list, 1),), 2)]


@pytest.mark.parametrize(
    "prefix, expected",
    [(None, ("a",)), ((), ("a",)), (("p", "q"), ("p", "q", "a")), (Point("p", "q"), ("p", "q", "a")), (0, ("a",))],
)
def test_flatten_prefix(M, prefix, expected):
    assert [e.path for e in M.FlatPath.__flatten__({"a": 1}, path=prefix)] == [expected]


@pytest.mark.parametrize("prefix", [["p"], 5])
def test_bad_prefix_fails_lazily(M, prefix):
    walk = M.FlatPath.__flatten__({"a": 1}, prefix)
    with pytest.raises(TypeError):
        next(walk)
    assert list(walk) == []


def test_prefix_of_own_class_is_used_at_every_level(M):
    class P:
        def __init__(self, items):
            self.items = tuple(items)

        def __bool__(self):
            return True

        def __getitem__(self, s):
            return P(self.items[s])

        def __add__(self, other):
            return P(self.items + other)

    got = [(e.path.items, e.value) for e in M.FlatPath.__flatten__({"a": {"b": 1}, "c": 2}, P(["r"]))]
    assert got == [(("r", "a", "b"), 1), (("r", "c"), 2)]


def test_flattening_is_lazy(M):
    calls = []

    class Spy(Bag):
        def items(self):
            calls.append(1)
            return super().items()

    walk = M.FlatPath.__flatten__(Spy(a=1, b=Spy(c=2)))
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


def chain(depth, last):
    """depth containers, each the only element of the one before, around last."""
    for i in range(depth):
        last = ([last], {"k": last}, (last,))[i % 3]
    return last


def cycle(depth):
    outer = inner = []
    for _ in range(depth):
        inner.append([])
        inner = inner[0]
    inner.append(outer)
    return outer


def self_last():
    d = {"a": 1}
    d["b"] = d
    return {"pad": [0], "top": d}  # below the first level gone into


def cycle_through_level():
    x = {"a": {"p": 1}}
    x["b"] = [x]
    return {"pad": [0], "top": x}


# Shapes for the constructor's in-place reading of small containers: leaves
# only, a container as the last element (no level of its own), chains longer
# than the walk goes without levels, a last element the exact type does not
# decide, and containers met again below themselves at each of those points.
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: {"a": [[{"x": {"y": 1}, "z": 2}]], "b": 3}, id="levels-after-tail"),
        pytest.param(lambda: {"a": chain(20, 1), "b": [chain(9, "x"), 2]}, id="long-chains"),
        pytest.param(lambda: {"a": [1, Bag(b=[2])], "c": ([3], {"d": (4,)})}, id="undecided-last"),
        pytest.param(self_last, id="self-as-last"),
        pytest.param(lambda: {"pad": [0], "c": cycle(12)}, id="cycle-through-tails"),
        pytest.param(cycle_through_level, id="cycle-through-level"),
    ],
)
def test_constructor_stores_what_the_walk_yields(make):
    fp, walked, errors = FlatPath(), [], []
    for store in (fp.__init__, lambda data: walked.extend(FlatPath.__flatten__(data))):
        try:
            store(make())  # a list keeps what was stored before an error
            errors.append(None)
        except RecursionError as e:
            errors.append(type(e))
    assert pairs(fp) == pairs(walked) and errors[0] is errors[1]
    if errors[0] is None:
        assert pairs(fp) == pairs(ref.FlatPath(make()))


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


def test_walk_errors_and_reentry(M):
    class Broken(Bag):
        def items(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        M.FlatPath({"a": Broken(x=1)})

    class Reenter(Bag):
        def items(self):
            return [("k", next(walk))]

    walk = M.FlatPath.__flatten__({"r": Reenter(x=1)})
    with pytest.raises(ValueError, match="already executing"):
        list(walk)


def test_sequence_subclass_iteration_is_honoured(M):
    class Rev(list):
        def __iter__(self):
            return iter(list(list.__iter__(self))[::-1])

    assert pairs(M.FlatPath({"a": Rev([1, 2])})) == [(("a", (Rev, 0)), 2), (("a", (Rev, 1)), 1)]


def test_nested_levels_use_the_module_global(M, monkeypatch):
    class Sub(M.FlatPath):
        @staticmethod
        def __flatten__(indict, path=None):
            yield ("sub", path)

    # A subclass's own __flatten__ does not change nested levels ...
    assert pairs(Sub({"a": {"b": 1}})) == [(("a", "b"), 1)]
    # ... but whatever the module global FlatPath names does.
    flatten = M.FlatPath.__flatten__
    monkeypatch.setattr(M, "FlatPath", Sub)
    assert list(flatten({"a": {"b": 1}, "c": 2})) == [("sub", ("a",)), (("c",), 2)]


def test_replaced_globals_are_used(M, monkeypatch):
    made = []
    monkeypatch.setattr(M, "DictItem", lambda path, value: made.append(path) or ("item", value))
    monkeypatch.setattr(M, "IndexMarker", lambda obj, i: f"{type(obj).__name__}@{i}")
    assert list(M.FlatPath.__flatten__({"a": [5]})) == [("item", 5)]
    assert made == [("a", "list@0")]
    monkeypatch.setattr(M, "MutableMapping", Mapping)
    assert list(M.FlatPath.__flatten__(Frozen({"a": 1}))) == [("item", 1)]


def test_patched_classes_are_called(M, monkeypatch):
    def init(self, obj, index):
        self.type_, self.index = "patched", index + 100

    monkeypatch.setattr(M.IndexMarker, "__init__", init)
    monkeypatch.setattr(M.DictItem, "__new__", lambda cls, path, value: tuple.__new__(cls, (path, -value)))
    ((path, value),) = M.FlatPath({"a": [5]})
    assert (path[1].type_, path[1].index, value) == ("patched", 100, -5)
    fp = M.FlatPath()
    fp.append((("x",), 1))
    assert fp == [(("x",), -1)]


@pytest.mark.parametrize("change", ["marker property", "marker __del__", "pair __del__", "none"])
def test_pairs_and_markers_made_as_the_classes_stand(M, monkeypatch, change):
    # Pairs and markers are made directly only while the classes have no
    # finalizer and no descriptor of the marker's attribute names.
    gone = []
    if change == "marker property":
        monkeypatch.setattr(M.IndexMarker, "index", property(lambda s: 7, lambda s, v: None), raising=False)
    elif change == "marker __del__":
        monkeypatch.setattr(M.IndexMarker, "__del__", lambda s: gone.append("marker"), raising=False)
    elif change == "pair __del__":
        monkeypatch.setattr(M.DictItem, "__del__", lambda s: gone.append("pair"), raising=False)
    fp = M.FlatPath({"z": 0})
    fp.__init__({"a": [5, {"b": (6,)}]})  # emptied first, as list.__init__ does
    i, j = (7, 7) if change == "marker property" else (1, 0)
    assert shape(fp[1].path) == ("a", (list, i), "b", (tuple, j)) and [p.value for p in fp] == [5, 6]
    del fp
    assert sorted(set(gone)) == {"marker __del__": ["marker"], "pair __del__": ["pair"]}.get(change, [])


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


# --- construction and validated operations -----------------------------------------


def test_construct_from_pairs(M):
    entries = [(("a",), 1), ["b", 2], "xy"]
    fp = M.FlatPath(entries)
    assert list(fp) == entries and all(a is b for a, b in zip(fp, entries))
    assert M.FlatPath() == [] and M.FlatPath({}) == []
    with pytest.raises(TypeError):
        M.FlatPath([], [])
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        M.FlatPath(x=1)
    with pytest.raises(ValueError, match=MSG):
        fp.__init__([5])
    assert list(fp) == entries


def test_one_shot_iterables_are_read_once():
    # The checks and the stores share one pass over the argument.
    assert FlatPath(((k,), v) for k, v in [("a", 1), ("b", 2)]) == [(("a",), 1), (("b",), 2)]
    fp = FlatPath()
    fp.extend(iter([(("y",), 2), (("z",), 3)]))
    fp[0] = iter([("s",), 7])
    assert fp == [(("s",), 7), (("z",), 3)] and type(fp[0]) is tuple and type(fp[1]) is DictItem


class Interrupting:
    def __iter__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize(
    "call",
    [
        lambda fp, item: type(fp)(item),
        lambda fp, item: type(fp)([(("ok",), 1), item]),
        lambda fp, item: fp.append(item),
        lambda fp, item: fp.insert(0, item),
        lambda fp, item: fp.extend([(("ok",), 1), item]),
        lambda fp, item: fp.__setitem__(0, item),
    ],
)
def test_pair_checks(M, call):
    fp = M.FlatPath([(("keep",), 0)])
    for bad in [5, "abc", (("x",), 1, 2), [("x",)]]:
        with pytest.raises(ValueError, match=MSG) as info:
            call(fp, bad)
        assert isinstance(info.value.__context__, (TypeError, ValueError))
    with pytest.raises(KeyboardInterrupt):
        call(fp, Interrupting())
    assert fp == [(("keep",), 0)]


def test_validated_operations_store(M):
    fp = M.FlatPath()
    fp.append(item=(("x",), 1))
    fp.append("ab")
    fp.insert(0, [("w",), 0])
    fp.extend([(("y",), 2), (("z",), 3)])
    assert [type(e) for e in fp] == [M.DictItem] * 5
    assert list(fp) == [(("w",), 0), (("x",), 1), ("a", "b"), (("y",), 2), (("z",), 3)]
    item = M.DictItem(("q",), 9)
    fp[0] = item
    assert type(fp[0]) is tuple and fp[0] == item
    exact = (("r",), 8)
    fp[1] = exact
    assert fp[1] is exact
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


def test_reconstruct_keeps_leaves_and_builds_new_containers(M):
    leaf = {}
    value = object()
    fp = M.FlatPath({"a": leaf, "b": [value]})
    first, second = fp.reconstruct(), fp.reconstruct()
    assert first["a"] is leaf and first["b"][0] is value and first is not second
    assert M.FlatPath().reconstruct() is not M.FlatPath().reconstruct()


scalars = st.one_of(st.integers(), st.text(max_size=3), st.none())
keys = st.one_of(st.integers(-3, 3), st.text(max_size=2))


@settings(max_examples=60, deadline=None)
@given(st.dictionaries(keys, st.recursive(scalars, lambda i: st.lists(i, max_size=3) | st.dictionaries(keys, i, max_size=3), max_leaves=10), max_size=4))
def test_flatten_and_rebuild_agree_with_baseline(data):
    ours, theirs = FlatPath(data), ref.FlatPath(data)
    assert pairs(ours) == pairs(theirs)
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
        ([(("a",), 1), 5], TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_reconstruct_errors(entries, error, text):
    fp = FlatPath()
    list.extend(fp, entries)  # stored unchecked
    with pytest.raises(error, match=text):
        fp.reconstruct()


def test_reconstruct_uses_module_globals(M, monkeypatch):
    fp = M.FlatPath({"a": {"b": 1}})
    monkeypatch.setattr(M, "MutableMapping", Bag)  # a plain dict is then no mapping
    with pytest.raises(ValueError, match="dictionary update sequence"):
        fp.reconstruct()
    monkeypatch.undo()
    fp = M.FlatPath({"a": [1]})
    monkeypatch.setattr(M, "IndexMarker", type("Other", (), {}))
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


class ThroughIter(FlatPath):
    """Read through __iter__: the general path of reconstruct's reading of the list."""

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
    fast, slow = _outcome(FlatPath(entries)), _outcome(ThroughIter(entries))
    assert fast == slow
    if expected is not None:
        assert fast[0] == ("ok", expected)
