"""Hostile input for DotBag, NestedDotBag and Configuration: class dicts whose
keys run code in the middle of a lookup, classes changed while an algorithm
runs, sources mutated while update walks them, keys that are paths thousands
of levels deep. Each case must end in a Python exception or in what the plain
Python classes give."""

import sys

import pytest
from test_dotbag import plain, ref

import dravix.datastructures.configuration as configuration_mod
from dravix.datastructures.configuration import Configuration
from dravix.datastructures.dotbag import DotBag, NestedDotBag

# Run in a fresh interpreter under the debug allocator. A key in a class dict
# whose hash is that of the name being looked up has its __eq__ run by the
# lookup; here it drops the mixin from the class's bases, which frees the MRO
# tuple being walked, and makes tuples that take over its memory (holding
# objects that are not classes).
FREED_MRO = """
    from dravix.datastructures.configuration import Configuration
    from dravix.datastructures.dotbag import DotBag, NestedDotBag
    class Colliding:
        def __init__(self, name): self.name = name
        def __hash__(self): return hash(self.name)
        def __eq__(self, other):
            if plan:
                cls, bases = plan.pop()
                cls.__bases__ = bases
                junk.extend(tuple([bytearray(64)] * n) for n in range(1, 21) for _ in range(3))
            return False
    junk, plan = [], []
    Mixin = type("Mixin", ({mixin},), {{Colliding({name!r}): None}})
    class Sub({base}, Mixin): pass
    plan.append((Sub, ({base},)))
    result = {action}
    assert not plan, "the key was never compared"
    assert result == {expected!r}, result
"""

MRO_CASES = {
    "DotBag.__init__": dict(mixin="dict", name="__init__", base="DotBag", action="dict(Sub(a=1))", expected={"a": 1}),
    "DotBag.__repr__": dict(mixin="dict", name="__repr__", base="DotBag", action="repr(Sub(a=1))",
                            expected="Sub({'a': 1})"),
    "NestedDotBag.__init__": dict(mixin="DotBag", name="__init__", base="NestedDotBag",
                                  action="Sub({'a': {'b': 1}})['a.b']", expected=1),
    "converting __setitem__": dict(mixin="NestedDotBag", name="__setitem__", base="Configuration",
                                   action="dict(Sub(a=1, b={'c': '2'})['b'])", expected={"c": 2}),
}


@pytest.mark.parametrize("case", MRO_CASES)
def test_mro_freed_during_a_lookup(isolated, case):
    isolated(FREED_MRO.format(**MRO_CASES[case]))


class S(str):
    """A dotted key whose head is a longer dotted key: the plain algorithm
    recurses without end storing the head's own level."""

    def split(self, sep=None, maxsplit=-1):
        return [S("h." + self[:20]), "x"]


DEEP_KEY = "a." * 100000 + "z"


@pytest.mark.parametrize(
    "action",
    [
        pytest.param(lambda obj: obj.__setitem__(DEEP_KEY, 1), id="store"),
        pytest.param(lambda obj: obj.update({DEEP_KEY: 1}), id="update"),
        pytest.param(lambda obj: obj.update({DEEP_KEY: {"y": 1}}), id="update with a mapping"),
    ],
)
def test_configuration_stores_deep_paths_iteratively(action):
    cfg = Configuration()
    action(cfg)
    assert cfg[DEEP_KEY] in (1, {"y": 1}) and type(cfg["a.a.a"]) is Configuration


def test_configuration_loads_deep_option_names(tmp_path):
    path = tmp_path / "deep.ini"
    path.write_text("[s]\n" + DEEP_KEY + " = 1\n")
    cfg = Configuration()
    assert cfg.load_cfgs(str(path)) == [str(path)]
    assert cfg["s." + DEEP_KEY] == 1


@pytest.mark.parametrize("cls", [NestedDotBag, Configuration])
@pytest.mark.parametrize(
    "action",
    [
        pytest.param(lambda obj: obj.__setitem__(S("a.b"), 1), id="store"),
        pytest.param(lambda obj: obj.update({S("a.b"): 1}), id="update"),
        pytest.param(lambda obj: obj.update({S("a.b"): {"c": 1}}), id="update with a mapping"),
    ],
)
def test_paths_whose_heads_are_paths_without_end(cls, action):
    with pytest.raises(RecursionError):
        action(cls())


# --- update walks a dict as its items iterator does -------------------------------------


def delete_and_add(src, key, now):
    if now and dict.__contains__(src, key):  # a key of the source, not of a nested mapping
        dict.__delitem__(src, key)
        dict.__setitem__(src, key + "x", 0)


MUTATIONS = {
    "keys changed": delete_and_add,
    # the dict is compacted on the way: the walk goes on from the same position
    "keys changed each time": lambda src, key, first: delete_and_add(src, key, True),
}


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("source", [dict, NestedDotBag])
@pytest.mark.parametrize("base", [NestedDotBag, Configuration])
def test_update_detects_a_source_changed_while_walked(mutation, source, base):
    def run(base, mutate, src):
        stores = []

        class Sub(base):
            def __setitem__(self, key, value):
                mutate(src, key, not stores)
                stores.append(key)
                super().__setitem__(key, value)

        try:
            Sub().update(src)
        except RuntimeError as exc:
            return stores, str(exc)
        return stores, None

    ours, theirs = source.__new__(source), source.__new__(source)
    for d in (ours, theirs):
        dict.update(d, a=1, b={"n": 2}, c=3, d=4)
    # The plain class, whose loop walks dict.items() of the source.
    assert run(base, MUTATIONS[mutation], ours) == run(ref.NestedDotBag, MUTATIONS[mutation], theirs)


# --- classes changed while an algorithm runs ----------------------------------------------


def changed_by_the_initialiser(base, log):
    class Mixin(DotBag if base is NestedDotBag else ref.DotBag):
        def __init__(self, *args, **kwargs):
            type(self).update = lambda self, *a, **k: log.append(("update", a))
            super().__init__(*args, **kwargs)

    class Sub(base, Mixin):
        pass

    return Sub({"a": 1})


def changed_by_a_new_level(base, log):
    class Sub(base):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            if log:  # from the first level made on: stores are recorded
                type(self).__setitem__ = lambda self, k, v: log.append(("set", k)) or base.__setitem__(self, k, v)

    obj = Sub()
    log.append("start")
    obj["x.y"] = 1
    return obj


def changed_by_setdefault(base, log):
    class Sub(base):
        def setdefault(self, key, default=None):
            type(self).__setitem__ = lambda self, k, v: log.append(("set", k)) or base.__setitem__(self, k, v)
            return super().setdefault(key, default)

    obj = Sub()
    obj["x.y"] = 1
    return obj


@pytest.mark.parametrize("scenario", [changed_by_the_initialiser, changed_by_a_new_level, changed_by_setdefault])
def test_methods_changed_while_an_algorithm_runs(scenario):
    outcomes = []
    for base in (NestedDotBag, ref.NestedDotBag):
        log = []
        outcomes.append((plain(scenario(base, log)), log))
    assert outcomes[0] == outcomes[1]


@pytest.mark.filterwarnings("ignore:non-string key")
def test_facts_looked_up_while_a_lookup_changes_the_class():
    def run(base):
        armed = []

        class Colliding:
            def __hash__(self):
                return hash("__getitem__")

            def __eq__(self, other):
                if armed:
                    armed.clear()
                    Sub.__getitem__ = lambda self, key: "replaced"
                return False

        Mixin = type("Mixin", (dict,), {Colliding(): None})

        class Sub(Mixin, base):
            pass

        level = Sub.__new__(Sub)  # made without looking anything up on Sub
        dict.__setitem__(level, "b", 1)
        outer = base()
        dict.__setitem__(outer, "a", level)
        armed.append(1)
        return [outer["a.b"], outer["a.b"]]  # the lookup that changes the class still finds the old method

    assert run(NestedDotBag) == run(ref.NestedDotBag) == [1, "replaced"]


# --- changes that outlive the test: run in a fresh interpreter ----------------------------

GLOBAL_CASES = {
    # A plain type registered as a Mapping halfway through update(): the next
    # values are taken for mappings, as isinstance() would then say.
    "registered mid-update": """
        import sys
        from collections.abc import Mapping
        sys.path.insert(0, {tests!r})
        from test_dotbag import plain, ref
        from dravix.datastructures.dotbag import NestedDotBag
        def run(cls, kind):  # a registration cannot be undone: each class gets a type of its own
            def pairs():
                yield "a", kind((1, 2))
                Mapping.register(kind)
                yield "b", kind((3, 4))
            obj = cls()
            try:
                obj.update(pairs())
            except AttributeError as exc:
                return plain(obj), str(exc)
        message = "'%s' object has no attribute 'items'"
        level = ("NestedDotBag", {{}})
        # ours first: before any plain type is a Mapping
        assert run(NestedDotBag, list) == (("NestedDotBag", {{"a": [1, 2], "b": level}}), message % "list")
        assert run(ref.NestedDotBag, bytes) == (("NestedDotBag", {{"a": b"\\1\\2", "b": level}}), message % "bytes")
    """,
    # No dict watcher left, and a key of the module dict that runs code when
    # typecast_str is looked up: the second lookup (converting a new level)
    # replaces what the conversion passes the level on to.
    "module dict key": """
        import sys, _testcapi
        while True:
            try:
                _testcapi.add_dict_watcher(0)
            except RuntimeError:
                break
        import dravix.datastructures.configuration as configuration_mod
        from dravix.datastructures.configuration import Configuration
        from dravix.datastructures.dotbag import NestedDotBag
        original, seen, lookups = NestedDotBag.__setitem__, [], []
        def recording(self, key, value):
            seen.append((key, sys.exc_info()[0]))
            original(self, key, value)
        class Colliding:
            def __hash__(self): return hash("typecast_str")
            def __eq__(self, other):
                lookups.append(1)
                if len(lookups) == 2:
                    NestedDotBag.__setitem__ = recording
                return False
        namespace = vars(configuration_mod)
        typecast = namespace.pop("typecast_str")
        namespace[Colliding()] = None  # compared before the real entry, which comes after it
        namespace["typecast_str"] = typecast
        lookups.clear()  # storing it compared the keys too
        cfg = Configuration()
        cfg["a.b"] = "1"
        assert seen == [("a", KeyError), ("b", None)], seen
        assert cfg == {{"a": {{"b": 1}}}} and type(cfg["a"]) is Configuration
    """,
}


@pytest.mark.parametrize("case", GLOBAL_CASES)
def test_global_changes_in_isolation(isolated, case):
    if case == "module dict key":
        pytest.importorskip("_testcapi")
    isolated(GLOBAL_CASES[case].format(tests=str(__import__("pathlib").Path(__file__).parent)), malloc_debug=False)
