import abc
import collections.abc
import copy
import inspect
import itertools
import pickle

import pytest
from hypothesis import given, settings, strategies as st

from conftest import baseline, both

import dravix.datastructures.dotbag as dotbag
from dravix.datastructures.dotbag import DotBag, NestedDotBag

ref = baseline("dotbag")

MSG_TARGET = 'target key "%s" is a value, cannot update value against another %s'


def plain(obj):
    """A nested structure with every level shown as (class name, plain dict)."""
    if isinstance(obj, dict):
        return (type(obj).__name__, {k: plain(v) for k, v in dict.items(obj)})
    return obj


# Module-level subclasses, so that pickle finds them by reference.
class SubBag(NestedDotBag):
    pass


class CountingBag(NestedDotBag):
    """Wraps every stored value the way a converting subclass would."""

    def __setitem__(self, key, value):
        if not isinstance(value, NestedDotBag):
            value = ("seen", value)
        super().__setitem__(key, value)


class PlainSubBag(DotBag):
    pass


class NeedsArg(DotBag):
    def __init__(self, tag, *args, **kwargs):
        super().__init__(*args, **kwargs)


# --- module and class facts ----------------------------------------------------------


def test_module_contents():
    assert dotbag.itertools is itertools
    assert dotbag.Mapping is collections.abc.Mapping
    assert dotbag.MutableMapping is collections.abc.MutableMapping
    public = {n for n in vars(dotbag) if not n.startswith("_")}
    assert public == {"itertools", "Mapping", "MutableMapping", "DotBag", "NestedDotBag"}


def test_class_facts():
    assert DotBag.__bases__ == (dict,) and type(DotBag) is type
    assert NestedDotBag.__bases__ == (DotBag, collections.abc.MutableMapping)
    assert type(NestedDotBag) is abc.ABCMeta
    c = collections.abc
    assert NestedDotBag.__mro__ == (
        NestedDotBag, DotBag, dict, c.MutableMapping, c.Mapping, c.Collection, c.Sized, c.Iterable, c.Container, object,
    )
    assert NestedDotBag.get is c.MutableMapping.get
    assert NestedDotBag.pop is c.MutableMapping.pop
    assert NestedDotBag.setdefault is c.MutableMapping.setdefault
    assert NestedDotBag.__abstractmethods__ == frozenset()
    assert DotBag.__doc__ and DotBag.__init__.__doc__
    assert NestedDotBag.__doc__ is None
    for name in ("__init__", "__getitem__", "__setitem__", "__contains__", "__delitem__", "update"):
        assert vars(NestedDotBag)[name].__doc__ is None
    assert str(inspect.signature(NestedDotBag.__setitem__)) == "(self, /, key, value)"


# --- DotBag ---------------------------------------------------------------------------


def test_dotbag_basics():
    assert DotBag() == {} and repr(DotBag()) == "DotBag({})"
    assert DotBag(a=1).a == 1
    obj = DotBag({"a": {"b": 1}}, c=2)
    assert obj == {"a": {"b": 1}, "c": 2} and type(obj.a) is dict
    with pytest.raises(AttributeError):
        obj.a.b
    assert vars(obj) is obj
    assert type(obj.copy()) is dict and obj.copy() == obj
    obj.d = 3
    assert obj["d"] == 3 and "d" in obj
    del obj.d
    assert "d" not in obj
    with pytest.raises(AttributeError):
        del obj.d
    with pytest.raises(AttributeError):
        obj.missing


def test_dotbag_keys_and_shadowing():
    obj = DotBag({"x-y": 1, 5: "five", "keys": "shadow"})
    assert getattr(obj, "x-y") == 1 and obj["x-y"] == 1
    assert obj.keys == "shadow"
    with pytest.raises(TypeError):
        obj.keys()
    assert sorted(map(str, dict.keys(obj))) == ["5", "keys", "x-y"]
    assert DotBag().keys() == {}.keys()  # other instances keep the method


def test_dotbag_repr_and_init_errors():
    obj = DotBag(a=1)
    obj["me"] = obj
    assert repr(obj) == "DotBag({'a': 1, 'me': DotBag({...})})"
    assert repr(PlainSubBag(a=1)) == "PlainSubBag({'a': 1})"
    assert repr(NestedDotBag({"a": {"b": 1}})) == "NestedDotBag({'a': NestedDotBag({'b': 1})})"
    with pytest.raises(TypeError):
        DotBag({}, {})
    with pytest.raises(ValueError):
        DotBag(["abc"])


@pytest.mark.parametrize("cls", both("dotbag", "DotBag"))
def test_dotbag_init_argument_forms(cls):
    # keywords alone and an exact dict are stored directly; pairs, a dict
    # subclass and a class between DotBag and dict with its own __init__ take
    # the general way
    for args, kwargs in [((), {"b": 1, "a": 2}), (({"b": 1, "a": 2},), {"b": 3}), (([("a", 1)],), {"b": 2}),
                         ((collections.OrderedDict(a=1),), {"a": 2})]:
        obj = cls(*args, **kwargs)
        assert list(obj.items()) == list(dict(*args, **kwargs).items()) and vars(obj) is obj
    obj.__init__(c=3)
    assert obj == {"a": 2, "c": 3} and obj.c == 3
    with pytest.raises(TypeError, match="dict expected at most 1 argument, got 2"):
        cls({}, {}, a=1)
    seen = []

    class Middle(dict):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            super().__init__(*args, **kwargs)

    obj = type("Sub", (cls, Middle), {})([("a", 1)], b=2)
    assert seen == [(([("a", 1)],), {"b": 2})] and obj == {"a": 1, "b": 2} and vars(obj) is obj


def test_attribute_write_bypasses_setitem():
    obj = CountingBag()
    obj.x = 1
    setattr(obj, "a.b", 2)
    assert dict(obj) == {"x": 1, "a.b": 2}
    assert getattr(obj, "a.b") == 2
    with pytest.raises(KeyError) as e:
        obj["a.b"]
    assert e.value.args == ("a",)


# --- NestedDotBag paths -----------------------------------------------------------


@pytest.mark.parametrize("cls", both("dotbag", "NestedDotBag"))
def test_path_edge_cases(cls):
    obj = cls({"a": {"b": 1}})
    assert obj["a.b"] == 1 and obj.a.b == 1 and type(obj.a) is cls
    assert plain(cls({"a.b": 1})) == plain(obj) == plain(cls(**{"a.b": 1}))
    obj["x.y.z"] = 5
    assert "x.y" in obj and "x.q" not in obj and "q.y" not in obj
    assert type(obj.x.y) is cls
    obj["p"] = {"q": 1}
    assert type(obj.p) is dict and obj["p.q"] == 1
    obj["n"] = 5
    obj["s"] = "hello"
    assert "s.ell" in obj
    with pytest.raises(TypeError):
        "n.x" in obj
    for key, head in (("p.r", "p"), ("n.m", "n")):
        with pytest.raises(KeyError) as e:
            obj[key] = 2
        assert e.value.args == (MSG_TARGET % (head, cls.__name__),)
    with pytest.raises(KeyError) as e:
        obj["a.zz"]
    assert e.value.args == ("zz",)
    with pytest.raises(KeyError) as e:
        obj["nope.b.c"]
    assert e.value.args == ("nope",)
    assert obj.get("a.zz") is None and obj.get("a.zz", 7) == 7
    assert obj.pop("a.b") == 1 and obj.a == {} and type(obj.a) is cls
    with pytest.raises(KeyError):
        obj.pop("a.b")
    assert obj.pop("a.b", "d") == "d"
    with pytest.raises(TypeError):
        obj.get("n.x")  # only KeyError becomes the default
    del obj["x.y.z"]
    assert obj.x.y == {}
    with pytest.raises(KeyError) as e:
        del obj["x.q.z"]
    assert e.value.args == ("q",)
    assert obj.setdefault("m.k", 3) == 3 and obj["m.k"] == 3


@pytest.mark.parametrize("cls", both("dotbag", "NestedDotBag"))
@pytest.mark.parametrize("key, tree", [(".a", {"": {"a": 1}}), ("a.", {"a": {"": 1}}), ("a..b", {"a": {"": {"b": 1}}})])
def test_empty_pieces_are_keys(cls, key, tree):
    obj = cls()
    obj[key] = 1
    assert plain(obj) == plain(cls(tree))  # every level of the receiver's class
    assert obj[key] == 1 and key in obj


@pytest.mark.parametrize("cls", both("dotbag", "NestedDotBag"))
def test_non_string_and_tuple_keys(cls):
    obj = cls({1: "x", ("a.b", 2): "t"})
    assert obj[1] == "x" and obj[("a.b", 2)] == "t"
    with pytest.raises(KeyError) as e:
        obj[("c", 1)]
    assert e.value.args == (("c", 1),)
    with pytest.raises(TypeError):
        [] in obj


@pytest.mark.parametrize("cls", both("dotbag", "NestedDotBag"))
def test_str_subclass_keys_use_their_own_split(cls):
    calls = []

    class Key(str):
        def split(self, sep, maxsplit):
            calls.append((str(self), sep, maxsplit))
            return ["a", "b"]

    obj = cls()
    obj[Key("x.y")] = 1
    assert plain(obj) == ("NestedDotBag", {"a": ("NestedDotBag", {"b": 1})})
    assert obj[Key("q.r")] == 1 and Key("z.z") in obj
    assert calls == [("x.y", ".", 1), ("q.r", ".", 1), ("z.z", ".", 1)]

    class Bad(str):
        def split(self, sep, maxsplit):
            return ["only"]

    with pytest.raises(ValueError, match="not enough values to unpack"):
        obj[Bad("a.b")]


@pytest.mark.parametrize("base", both("dotbag", "NestedDotBag"))
def test_missing_is_used_by_builtin_lookup(base):
    class WithMissing(base):
        def __missing__(self, key):
            return "default-" + key

    obj = WithMissing()
    assert obj["k"] == "default-k"
    with pytest.raises(TypeError):
        obj["k.x"]  # the head reads "default-k", which is then subscripted with "x"
    with pytest.raises(KeyError) as e:
        obj["a.b"] = 1  # setdefault reads the head through __missing__: a plain value
    assert e.value.args == (MSG_TARGET % ("a", "WithMissing"),)


# --- update ---------------------------------------------------------------------------


@pytest.mark.parametrize("cls", both("dotbag", "NestedDotBag"))
def test_update_merge_rules(cls):
    obj = cls({"a": {"b": 1}})
    obj.update({"a": {"c": 2}})
    assert plain(obj) == (cls.__name__, {"a": (cls.__name__, {"b": 1, "c": 2})})
    obj.update(a=5)
    assert obj == {"a": 5}
    with pytest.raises(AttributeError):
        obj.update({"a": {"d": 1}})
    obj["p"] = {"x": 1, "y": 2}
    obj.update({"p": {"y": {"z": 3}}})
    assert obj.p == {"x": 1, "y": {"z": 3}} and type(obj.p) is dict  # the dict's own shallow update
    obj.update([("k", 1)], k=2)
    assert obj.k == 2  # keyword arguments come last
    obj.update(["ab"])  # a two-character string is a pair
    assert obj["a"] == "b"


@pytest.mark.parametrize("cls", both("dotbag", "NestedDotBag"))
@pytest.mark.parametrize(
    "args, exc, message",
    [
        (lambda: ([("k", 1), ("j",)],), TypeError, "cannot convert dictionary update sequence element #1 to a sequence"),
        (lambda: ([("j",), ("k", 1), ("j",)],), TypeError, "cannot convert dictionary update sequence element #0 to a sequence"),
        (lambda: ({}, {}), TypeError, "expected at most 1 arguments, got 2"),
        (lambda: ([1],), TypeError, "object of type 'int' has no len()"),
        (lambda: ((p for p in [("k", 1), ("j",)]),), AttributeError, "index"),
        (lambda: ([("a", "b", "c")],), TypeError, "element #0"),
        (lambda: (5,), TypeError, "'int' object is not iterable"),
    ],
)
def test_update_errors(cls, args, exc, message):
    obj = cls()
    args = args()
    with pytest.raises(exc, match=message.replace("(", r"\(").replace(")", r"\)")):
        obj.update(*args)
    if isinstance(args[0], list) and args[0][0] == ("k", 1):
        assert obj == {"k": 1}  # no rollback


def test_update_accepts_mapping_abc_and_pairs():
    class Pairs:
        def keys(self):
            return ["x"]

        def __iter__(self):
            return iter([("p", 1)])

    class Custom(collections.abc.Mapping):
        def __getitem__(self, k):
            return {"q": {"r": 1}}[k]

        def __iter__(self):
            return iter(["q"])

        def __len__(self):
            return 1

    obj = NestedDotBag(Pairs())
    assert obj == {"p": 1}
    assert NestedDotBag(self=1, args=2) == {"self": 1, "args": 2}  # any keyword is an entry, as for dict
    obj.update(Custom())
    assert type(obj.q) is NestedDotBag and obj["q.r"] == 1
    obj.update({"s": Custom()})
    assert obj["s.q.r"] == 1 and type(obj.s.q) is NestedDotBag


def test_update_with_registered_mapping():
    class Registered:
        def __init__(self, data):
            self.data = data

        def items(self):
            return self.data.items()

    collections.abc.Mapping.register(Registered)
    obj = NestedDotBag({"a": Registered({"b": 1}), "n": 3})
    assert type(obj.a) is NestedDotBag and obj["a.b"] == 1 and obj.n == 3


def test_update_from_self_and_changed_source():
    obj = NestedDotBag({"a": {"b": 1}, "c": 2})
    obj.update(obj)
    assert plain(obj) == ("NestedDotBag", {"a": ("NestedDotBag", {"b": 1}), "c": 2})
    setattr(obj, "x.y", 1)  # a literal dotted key becomes a path when merged back in
    with pytest.raises(RuntimeError, match="changed size"):
        obj.update(obj)


@pytest.mark.parametrize("cls", both("dotbag", "NestedDotBag"))
def test_self_referencing_source_is_an_error_not_a_crash(cls):
    d = {}
    d["d"] = d
    with pytest.raises(RecursionError):
        cls(d)


# --- subclasses: new levels, overrides called through the class ---------------------


@pytest.mark.parametrize("cls", both("dotbag", "NestedDotBag"))
def test_subclass_levels(cls):
    class Sub(cls):
        pass

    obj = Sub({"a": {"b": 1}})
    obj["x.y"] = 2
    assert type(obj.a) is Sub and type(obj.x) is Sub
    obj.n = cls()
    with pytest.raises(KeyError) as e:
        obj["n.k"] = 1
    assert e.value.args == (MSG_TARGET % ("n", "Sub"),)
    obj.d = cls.__mro__[1]()  # a DotBag
    with pytest.raises(KeyError):
        obj["d.k"] = 1


def make_logged(base):
    """A subclass of base recording every call of the methods the algorithms use."""
    log = []

    class Logged(base):
        def __init__(self, *args, **kwargs):
            log.append(("init", args, tuple(kwargs.items())))
            super().__init__(*args, **kwargs)

        def __getitem__(self, key):
            log.append(("get", key))
            return super().__getitem__(key)

        def __setitem__(self, key, value):
            log.append(("set", key, plain(value)))
            super().__setitem__(key, value)

        def setdefault(self, key, default=None):
            log.append(("setdefault", key, plain(default)))
            return super().setdefault(key, default)

        def update(self, *args, **kwargs):
            log.append(("update", len(args), tuple(kwargs)))
            super().update(*args, **kwargs)

    return Logged, log


@pytest.mark.parametrize(
    "script",
    [
        lambda c: c({"a": {"b": 1, "c": {"d": 2}}, "e": 3}, f=4),
        lambda c: c({"a.b.c": 1, "a.b.d": {"e": 2}}),
        lambda c: c({"a": {"b": 1}}).update({"a": {"c": 2}, "a.b": 5}),
        lambda c: c().__setitem__("x.y.z", 1),
        lambda c: c({"x": {"y": 1}}).__setitem__("x.z", 2),
        lambda c: c({"x": 5}).__setitem__("x.z", 2),
    ],
)
def test_overridden_methods_are_called_as_the_reference_calls_them(script):
    ours_cls, ours_log = make_logged(NestedDotBag)
    ref_cls, ref_log = make_logged(ref.NestedDotBag)
    outcomes = []
    for cls in (ours_cls, ref_cls):
        try:
            outcomes.append(("ok", plain(script(cls))))
        except Exception as e:
            outcomes.append((type(e), e.args))
    assert outcomes[0] == outcomes[1]
    rename = lambda entry: tuple(x.replace("Logged", "") if isinstance(x, str) else x for x in entry)
    assert [rename(e) for e in ours_log] == [rename(e) for e in ref_log]
    assert len(ours_log) > 2


def test_converting_subclass_stores_through_its_setitem():
    obj = CountingBag({"a": {"b": 1}, "c": 2})
    obj["a.d"] = 3  # converted once by the receiver and once more by the level a
    lvl = lambda d: ("CountingBag", d)
    assert plain(obj) == lvl({"a": lvl({"b": ("seen", 1), "d": ("seen", ("seen", 3))}), "c": ("seen", 2)})


@pytest.mark.parametrize("cls", both("dotbag", "NestedDotBag"))
def test_observable_level_creation_happens_for_every_mapping_item(cls):
    made = []

    class Noisy(cls):
        def __init__(self, *args, **kwargs):
            made.append(1)
            super().__init__(*args, **kwargs)

    obj = Noisy({"a": {"b": 1}})
    made.clear()
    obj.update({"a": {"c": 2}})  # the level exists, one instance is still made
    assert len(made) == 1
    obj["a.d"] = 1
    assert len(made) == 2


def test_methods_replaced_after_use_are_honoured(monkeypatch):
    class Sub(NestedDotBag):
        pass

    obj = Sub({"a": {"b": 1}})
    obj["a.c"] = 2
    seen = []

    def setitem(self, key, value):
        seen.append(key)
        NestedDotBag.__setitem__(self, key, value)

    Sub.__setitem__ = setitem
    obj["a.d"] = 3
    obj.update({"e": 1})
    assert seen == ["a.d", "d", "e"]

    inits = []
    original = DotBag.__init__

    def init(self, *args, **kwargs):
        inits.append(type(self).__name__)
        original(self, *args, **kwargs)

    monkeypatch.setattr(DotBag, "__init__", init)
    NestedDotBag({"x": {"y": 1}})
    assert inits == ["NestedDotBag", "NestedDotBag"]  # the bag and its new level x
    monkeypatch.setattr(Sub, "setdefault", lambda self, key, default=None: "plain")
    with pytest.raises(KeyError, match="target key"):
        obj["a.q"] = 1


# --- entries never replace the methods the algorithms call -------------------------


@pytest.mark.parametrize("name", ["update", "setdefault", "items", "pop", "get", "keys", "__getitem__"])
def test_entries_named_like_methods(name):
    obj = NestedDotBag({name: 1, "lvl": {name: 2}})
    assert getattr(obj, name) == 1  # user attribute access finds the entry
    obj["lvl.new.x"] = 3
    NestedDotBag.update(obj, {"lvl": {"more": 4}})
    other = NestedDotBag(obj)
    assert other["lvl.new.x"] == 3 and other["lvl.more"] == 4 and other[name] == 1
    assert copy.deepcopy(obj) == obj


# --- copy, pickle and the garbage collector ---------------------------------------


def sample(cls):
    obj = cls("tag", {"a": {"b": 1}, "lst": [1, 2]}) if cls is NeedsArg else cls({"a": {"b": 1}, "lst": [1, 2]})
    obj.plain = {"p": 1}  # a plain dict stored by attribute stays plain
    setattr(obj, "x.y", 2)  # a literal dotted key stays literal
    return obj


@pytest.mark.parametrize("cls", [DotBag, PlainSubBag, NestedDotBag, SubBag, CountingBag, NeedsArg])
@pytest.mark.parametrize(
    "how",
    [copy.copy, copy.deepcopy] + [lambda o, p=p: pickle.loads(pickle.dumps(o, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)],
    ids=["copy", "deepcopy"] + ["pickle%d" % p for p in range(pickle.HIGHEST_PROTOCOL + 1)],
)
def test_copies_keep_class_contents_and_namespace(cls, how):
    obj = sample(cls)
    dup = how(obj)
    assert type(dup) is cls and dup is not obj
    assert vars(dup) is dup and plain(dup) == plain(obj)
    dup.z = 1
    assert dup["z"] == 1 and "z" not in obj
    if isinstance(obj, NestedDotBag):
        assert vars(dup.a) is dup.a and type(dup.a) is cls
    if how is copy.copy:
        assert dup["a"] is obj["a"] and dup.lst is obj.lst
    else:
        assert dup["a"] is not obj["a"]


@pytest.mark.parametrize("how", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o, 2))])
def test_copies_of_self_referencing_bags(how):
    obj = NestedDotBag({"a": {"b": 1}})
    obj.me = obj
    dup = how(obj)
    assert dup.me is dup and dup["a.b"] == 1 and vars(dup) is dup


# --- module globals are read at call time ----------------------------------------


def test_monkeypatched_globals(monkeypatch):
    class NotAMapping(abc.ABC):
        pass

    monkeypatch.setattr(dotbag, "Mapping", NotAMapping)
    obj = NestedDotBag()
    with pytest.raises(AttributeError, match="index"):  # a dict is now iterated as its keys
        obj.update({"ab": 1, "cd": 2, "e": 3})
    assert obj == {"a": "b", "c": "d"}
    monkeypatch.undo()
    chained = []

    class FakeItertools:
        @staticmethod
        def chain(*parts):
            chained.append(len(parts))
            return itertools.chain(*parts)

    monkeypatch.setattr(dotbag, "itertools", FakeItertools)
    obj = NestedDotBag({"a": {"b": 1}}, c=2)
    assert plain(obj) == ("NestedDotBag", {"a": ("NestedDotBag", {"b": 1}), "c": 2})
    assert chained == [2, 2]


# --- model check against the reference ---------------------------------------------

segment = st.sampled_from(["a", "b", "c", ""])
paths = st.lists(segment, min_size=1, max_size=3).map(".".join)
leaves = st.one_of(st.integers(-3, 3), st.sampled_from(["s.t", "hello"]))
trees = st.recursive(
    leaves, lambda kids: st.dictionaries(paths, kids, max_size=3), max_leaves=6
)
ops = st.lists(
    st.one_of(
        st.tuples(st.just("set"), paths, trees),
        st.tuples(st.just("get"), paths),
        st.tuples(st.just("in"), paths),
        st.tuples(st.just("del"), paths),
        st.tuples(st.just("update"), st.dictionaries(paths, trees, max_size=3)),
        st.tuples(st.just("pop"), paths),
    ),
    max_size=12,
)


def run(cls, start, program):
    results = []
    try:
        obj = cls(start)
    except Exception as e:
        return [(type(e), e.args)]
    for op in program:
        try:
            if op[0] == "set":
                obj[op[1]] = op[2]
                r = None
            elif op[0] == "get":
                r = plain(obj[op[1]])
            elif op[0] == "in":
                r = op[1] in obj
            elif op[0] == "del":
                del obj[op[1]]
                r = None
            elif op[0] == "update":
                obj.update(op[1])
                r = None
            else:
                r = plain(obj.pop(op[1], "none"))
            results.append(r)
        except Exception as e:
            results.append((type(e), str(e)))
        results.append(plain(obj))
    return results


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(paths, trees, max_size=4), ops)
def test_matches_reference(start, program):
    ours = run(NestedDotBag, copy.deepcopy(start), copy.deepcopy(program))
    assert ours == run(ref.NestedDotBag, copy.deepcopy(start), copy.deepcopy(program))


@pytest.mark.parametrize("path, head, rest", [("é.ü", "é", "ü"), ("a.€.b", "a", "€.b"), ("ab.c", "ab", "c"),
                                              ("\U0001f600.x", "\U0001f600", "x"), (".x", "", "x"), ("x.", "x", "")])
def test_dotted_keys_of_every_text_width(path, head, rest):
    obj = NestedDotBag({path: 1})
    assert list(obj) == [head] and obj[path] == 1 and path in obj
    assert obj[head] == NestedDotBag({rest: 1})
    obj[path] = 2
    assert obj[path] == 2
    del obj[path]
    assert path not in obj
    assert NestedDotBag({"é": {"ü.ö": 3}})["é.ü.ö"] == 3
