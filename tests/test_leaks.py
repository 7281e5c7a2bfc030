"""Leak checks: every public operation, its error paths included, run many times.

Each case runs its operation a few times to warm caches up, then in rounds of
ROUNDS_N calls, and fails when every round leaves more than BOUND memory blocks
(sys.getallocatedblocks) or live objects (gc.get_objects after gc.collect)
behind, or raises the reference count of an object the operation is given. A
leak of one block, object or reference per call grows every round by ROUNDS_N;
the interpreter's own caches move by less, and not in every round. Under
PYTHONMALLOC=malloc getallocatedblocks() is 0 and only the other two checks
apply.
"""

import copy
import gc
import logging
import re
import sys
import weakref

import pytest
import yaml
from conftest import Member

import dravix.datastructures.configuration as configuration_mod
from dravix.datastructures.branchlet import Branchlet
from dravix.datastructures.configuration import Configuration
from dravix.datastructures.dotbag import DotBag, NestedDotBag
from dravix.datastructures.flatpath import DictItem, FlatPath, IndexMarker
from dravix.datastructures.ghostseq import GhostSeq
from dravix.datastructures.logic import And, BaseLogic, Not, Or, logic_str
from dravix.datastructures.rankmap import RankMap
from dravix.datastructures.typeattr import TypeAttrDescriptor, typeattr
from dravix.utils.strings import decode_cli_string, typecast_str

WARMUP = 30
ROUNDS = 3
ROUNDS_N = 100
BOUND_BLOCKS = 50  # the interpreter's own caches move by a few dozen blocks
BOUND_OBJECTS = 10


def _measure(watch):
    gc.collect()
    # The method cache keeps a reference to the name of every lookup it caches,
    # so names made afresh for each call fill its few thousand entries slowly.
    sys._clear_type_cache()
    return sys.getallocatedblocks(), len(gc.get_objects()), [sys.getrefcount(o) for o in watch]


def assert_no_growth(op, watch=(), warmup=WARMUP):
    for _ in range(warmup):
        op()
    growth = []
    before = _measure(watch)
    for _ in range(ROUNDS):
        for _ in range(ROUNDS_N):
            op()
        after = _measure(watch)
        step = (after[0] - before[0], after[1] - before[1], [a - b for a, b in zip(after[2], before[2])])
        growth.append(step)
        if step[0] <= BOUND_BLOCKS and step[1] <= BOUND_OBJECTS and all(r <= 0 for r in step[2]):
            return
        before = after
    pytest.fail(f"each round of {ROUNDS_N} calls leaves (blocks, objects, [refcounts]) behind: {growth}")


def raises(exc, func, *args, match=None, context=None, **kwargs):
    """An operation that must raise exc (whose message matches, whose __context__ is of type context)."""

    def op():
        try:
            func(*args, **kwargs)
        except exc as e:
            if match is not None:
                assert re.search(match, str(e)), str(e)
            if context is not None:
                assert isinstance(e.__context__, context), repr(e.__context__)
        else:
            raise AssertionError(f"{exc.__name__} not raised")

    return op


# Long-lived arguments whose reference counts are watched.
KEY, VALUE, OTHER = "key", Member(1), Member(2)
NESTED = {"a": {"b": [1, ({"c": 3}, 2)], "d": ()}, "e": {}, KEY: VALUE}
PAIRS = [(("a",), 1), (("b", "c"), VALUE)]
BAD_PAIRS = [(("a",), 1), 5]
MARKER = IndexMarker([], 0)


def case(name, op, *watch):
    return pytest.param(op, watch, id=name)


class BadItems(dict):
    def items(self):
        raise RuntimeError("items")


def _consume_first(gen):
    next(gen)


# --- flatpath -----------------------------------------------------------------------

FP = FlatPath(NESTED)

flatpath_cases = [
    case("FlatPath()", lambda: FlatPath()),
    case("FlatPath(mapping)", lambda: FlatPath(NESTED), VALUE),
    case("FlatPath(pairs)", lambda: FlatPath(PAIRS), VALUE),
    case("FlatPath(bad pairs)", raises(ValueError, FlatPath, BAD_PAIRS, match="path/obj", context=TypeError)),
    case("FlatPath(not iterable)", raises(ValueError, FlatPath, 5, match="path/obj", context=TypeError)),
    case("FlatPath(2 args)", raises(TypeError, FlatPath, PAIRS, PAIRS)),
    case("FlatPath(keyword)", raises(TypeError, lambda: FlatPath(x=1))),
    case("__flatten__ drained", lambda: list(FlatPath.__flatten__(NESTED)), VALUE),
    case("__flatten__ first item only", lambda: _consume_first(FlatPath.__flatten__(NESTED)), VALUE),
    case("__flatten__ with prefix", lambda: list(FlatPath.__flatten__(NESTED, path=("p",))), VALUE),
    case("__flatten__ scalar", lambda: list(FlatPath.__flatten__(VALUE)), VALUE),
    case("__flatten__ list prefix", raises(TypeError, lambda: list(FlatPath.__flatten__(NESTED, ["p"])))),
    case("__flatten__ unsliceable prefix", raises(TypeError, lambda: list(FlatPath.__flatten__(NESTED, 5)))),
    case("__flatten__ failing items", raises(RuntimeError, lambda: list(FlatPath.__flatten__({"a": BadItems(b=1)})))),
    case("append", lambda: FlatPath().append((("x",), VALUE)), VALUE),
    case("append bad", raises(ValueError, FlatPath().append, 5, match="path/obj", context=TypeError)),
    case("append 3-tuple", raises(ValueError, FlatPath().append, (1, 2, 3), match="path/obj", context=ValueError)),
    case("insert", lambda: FlatPath(PAIRS).insert(1, (("x",), VALUE)), VALUE),
    case("insert bad", raises(ValueError, FlatPath(PAIRS).insert, 0, VALUE, match="path/obj")),
    case("extend", lambda: FlatPath(PAIRS).extend(PAIRS), VALUE),
    case("extend bad", raises(ValueError, FlatPath().extend, BAD_PAIRS, match="path/obj")),
    case("extend generator", lambda: FlatPath().extend(p for p in PAIRS), VALUE),
    case("setitem", lambda: FlatPath(PAIRS).__setitem__(0, (("z",), VALUE)), VALUE),
    case("setitem slice", lambda: FlatPath(PAIRS).__setitem__(slice(0, 2), (("z",), VALUE)), VALUE),
    case("setitem bad", raises(ValueError, FlatPath(PAIRS).__setitem__, 0, 5, match="path/obj")),
    case("setitem out of range", raises(IndexError, FlatPath().__setitem__, 3, (("z",), VALUE))),
    case("reconstruct", lambda: FP.reconstruct(), VALUE, FP),
    case("reconstruct unbound k", raises(UnboundLocalError, FlatPath([((), 1)]).reconstruct, match="'k'")),
    case("reconstruct unbound prev_ptr",
         raises(UnboundLocalError, FlatPath([((MARKER,), 1)]).reconstruct, match="prev_ptr")),
    case("reconstruct below a scalar", raises(TypeError, FlatPath([(("a",), 1), (("a", "b"), 2)]).reconstruct)),
    case("reconstruct tuples", lambda: FlatPath({"a": ([1], 2), "b": [(1, 2)], "c": ({"d": 1}, 2)}).reconstruct()),
    case("IndexMarker", lambda: IndexMarker(obj=[], index="3"), ),
    case("IndexMarker bad index", raises(ValueError, IndexMarker, [], "x")),
    case("IndexMarker missing argument", raises(TypeError, IndexMarker, [])),
    case("repr(IndexMarker)", lambda: repr(MARKER), MARKER),
    case("DictItem", lambda: DictItem(("a",), VALUE), VALUE),
]


# --- dotbag ----------------------------------------------------------------------------

BAG = NestedDotBag({"a": {"b": 1, "s": "hello"}, "n": 5, "p": {"q": 1}})
BAG["p"] = {"q": 1}


def _dotbag_attrs():
    d = DotBag(a=1)
    d.b = VALUE
    assert d.b is VALUE and d.a == 1
    del d.b


def _no_attr():
    d = DotBag()
    try:
        d.missing
    except AttributeError:
        pass
    try:
        del d.missing
    except AttributeError:
        pass


def _nested_write_delete():
    n = NestedDotBag()
    n["x.y.z"] = VALUE
    n.setdefault("x.q", OTHER)
    assert n.pop("x.y.z") is VALUE
    del n["x.q"]
    n.update({"x": {"y": {"w": VALUE}}}, k=OTHER)


def _dotbag_holding_itself():
    d = NestedDotBag(a={"b": 1})
    d.me = d
    repr(d)


dotbag_cases = [
    case("DotBag()", lambda: DotBag()),
    case("DotBag(mapping, kw)", lambda: DotBag({KEY: VALUE}, b=OTHER), VALUE, OTHER, KEY),
    case("DotBag(bad)", raises(TypeError, DotBag, 5)),
    case("DotBag(2 args)", raises(TypeError, DotBag, {}, {})),
    case("DotBag attributes", _dotbag_attrs, VALUE),
    case("DotBag missing attribute", _no_attr),
    case("repr(DotBag)", lambda: repr(DotBag(a=VALUE)), VALUE),
    case("NestedDotBag(nested)", lambda: NestedDotBag(NESTED), VALUE),
    case("NestedDotBag(dotted kw)", lambda: NestedDotBag(**{"a.b": VALUE}), VALUE),
    case("getitem path", lambda: BAG["a.b"], BAG),
    case("getitem plain dict below", lambda: BAG["p.q"], BAG),
    case("getitem missing head", raises(KeyError, BAG.__getitem__, "zz.b", match="zz")),
    case("getitem missing leaf", raises(KeyError, BAG.__getitem__, "a.zz", match="zz")),
    case("getitem below scalar", raises(TypeError, BAG.__getitem__, "n.x")),
    case("contains", lambda: ("a.b" in BAG, "a.zz" in BAG, "q.y" in BAG, "a.s.ell" in BAG, "a" in BAG), BAG),
    case("contains below scalar", raises(TypeError, BAG.__contains__, "n.x")),
    case("contains unhashable", raises(TypeError, BAG.__contains__, [])),
    case("setitem/setdefault/pop/delitem/update", _nested_write_delete, VALUE, OTHER),
    case("setitem over value", raises(KeyError, BAG.__setitem__, "n.m", VALUE, match="is a value"), VALUE),
    case("setitem over plain dict", raises(KeyError, BAG.__setitem__, "p.r", VALUE, match="NestedDotBag"), VALUE),
    case("delitem missing", raises(KeyError, BAG.__delitem__, "a.zz")),
    case("get missing", lambda: BAG.get("a.zz", VALUE), VALUE),
    case("pop missing", raises(KeyError, NestedDotBag().pop, "a.b")),
    case("pop default", lambda: NestedDotBag().pop("a.b", VALUE), VALUE),
    case("update 2 args", raises(TypeError, NestedDotBag().update, {}, {}, match="at most 1 arguments, got 2")),
    case("update bad element", raises(TypeError, NestedDotBag().update, [("k", 1), ("j",)], match="element #1")),
    case("update no len", raises(TypeError, NestedDotBag().update, [5])),
    case("update generator bad element", raises(AttributeError, lambda: NestedDotBag().update(x for x in [("j",)]))),
    case("update mapping over scalar", raises(AttributeError, NestedDotBag(a=5).update, {"a": {"d": 1}})),
    case("repr(NestedDotBag)", lambda: repr(BAG), BAG),
    case("DotBag holding itself", _dotbag_holding_itself),
]


# --- configuration ---------------------------------------------------------------------

CFG = Configuration({"a": {"b": "1"}, "l": [1, 2]})


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leakcfg")
    paths = {}
    for name, text in {
        "good.ini": "[DEFAULT]\nlevel = 1\n[server]\nport = 22\nMode = x\n[x.y]\nz = %(level)s\n",
        "bad.ini": "no section header\n",
        "interp.ini": "[s]\na = %(missing)s\n",
        "good.yaml": "a:\n  b: 1\nc:\n  - d: 2\n",
        "bad.yaml": "a: [1,\n",
        "scalar.yaml": "5\n",
    }.items():
        (d / name).write_text(text)
        paths[name] = str(d / name)
    paths["missing"] = str(d / "missing.yaml")
    return paths


class FakeEP:
    def __init__(self, obj=None, exc=None):
        self.obj, self.exc, self.dist = obj, exc, "pkg 1.0"

    def load(self):
        if self.exc is not None:
            raise self.exc("broken")  # a new exception each time: a reused one grows its traceback
        return self.obj


@pytest.fixture
def quiet_entry_points(monkeypatch):
    eps = [FakeEP({"s": {"port": "1"}}), FakeEP(exc=ImportError), FakeEP(5)]
    monkeypatch.setattr(configuration_mod, "iter_entry_points", lambda group: iter(eps))
    # A logger of its own, which pytest's log capture (it would keep every record) does not know.
    logger = logging.Logger("quiet")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    monkeypatch.setattr(configuration_mod, "logger", logger)


configuration_cases = [
    case("Configuration(nested)", lambda: Configuration(NESTED), VALUE),
    case("copy", lambda: CFG.copy(), CFG),
    case("setitem path", lambda: Configuration().__setitem__("a.b.c", "5")),
    case("setitem conflict", raises(KeyError, Configuration(n=5).__setitem__, "n.m", 1, match="Configuration")),
    case("setitem wrong arguments", raises(TypeError, Configuration().__setitem__, "a")),
    case("load_cfgs", lambda f: Configuration().load_cfgs(f["good.ini"], f["missing"])),
    case("load_cfgs parse error", lambda f: raises(configparser_error(), Configuration().load_cfgs, f["bad.ini"])()),
    case("load_cfgs interpolation error",
         lambda f: raises(configparser_error(), Configuration().load_cfgs, f["interp.ini"])()),
    case("load_cfgs keyword", raises(TypeError, lambda: Configuration().load_cfgs(files="x"))),
    case("load_yamls", lambda f: Configuration().load_yamls(f["good.yaml"], f["missing"])),
    case("load_yamls parse error", lambda f: raises(yaml.YAMLError, Configuration().load_yamls, f["bad.yaml"])()),
    case("load_yamls scalar document", lambda f: raises(TypeError, Configuration().load_yamls, f["scalar.yaml"])()),
    case("load_entrypoint", lambda f: Configuration().load_entrypoint("g")),
    case("load_entrypoint missing group", raises(TypeError, lambda: Configuration().load_entrypoint())),
]


def configparser_error():
    import configparser

    return configparser.Error


# --- rankmap ----------------------------------------------------------------------------

RM = RankMap([("a", 1), ("b", 2)], c=VALUE)


class RaisingEq:
    def __eq__(self, other):
        raise RuntimeError("eq")

    __hash__ = object.__hash__


def _rankmap_cycle():
    m = RankMap([(KEY, VALUE)])
    m.insert("n", OTHER, 0)
    m.move(KEY, -1)
    m[KEY] = OTHER
    del m["n"]
    m.keys(), m.values(), m.items(), list(m), len(m)
    m.popitem()
    m.setdefault(KEY, VALUE)
    m.pop(KEY)
    m.clear()


def _rankmap_holding_itself():
    m = RankMap()
    m["me"] = m
    m.insert("keys", m.keys(), 0)
    return m


rankmap_cases = [
    case("RankMap(pairs, kw)", lambda: RankMap([(KEY, VALUE)], x=OTHER), KEY, VALUE, OTHER),
    case("operations", _rankmap_cycle, KEY, VALUE, OTHER),
    case("getitem missing", raises(KeyError, RM.__getitem__, "zz")),
    case("delitem missing", raises(KeyError, RankMap().__delitem__, KEY), KEY),
    case("setitem unhashable", raises(TypeError, RankMap().__setitem__, [], 1)),
    case("insert duplicate", raises(KeyError, RM.insert, "a", 1, 0, match="already exist in Report")),
    case("insert bad position", raises(TypeError, RankMap().insert, KEY, VALUE, "x"), KEY, VALUE),
    case("move missing", raises(KeyError, RM.move, KEY, 0), KEY),
    case("move bad position", raises(TypeError, RankMap([(KEY, 1)]).move, KEY, "x"), KEY),
    case("move unhashable", raises(KeyError, RM.move, [], 0)),
    case("copy", lambda: RM.copy(), RM),
    case("update", lambda: RankMap().update([(KEY, VALUE)], x=OTHER), KEY, VALUE),
    case("update 2 args", raises(TypeError, RankMap, [], [], match="at most 1 arguments, got 2")),
    case("update bad length", raises(ValueError, RankMap, [("a", 1, 2)], match="element #0 has length 3")),
    case("update no length", raises(TypeError, RankMap, [5])),
    case("update not iterable", raises(TypeError, RankMap, 5)),
    case("repr", lambda: repr(RM), RM),
    case("eq", lambda: (RM == RM.copy(), RM == {"a": 1}, RM != 5), RM),
    case("eq raising values", lambda: RankMap(a=RaisingEq()) == RankMap(a=RaisingEq())),
    case("fromkeys", lambda: RankMap.fromkeys("xyx", VALUE), VALUE),
    case("contains/get", lambda: (KEY in RM, RM.get(KEY, VALUE)), KEY, VALUE),
    case("contains unhashable", raises(TypeError, RM.__contains__, [])),
]


# --- ghostseq ----------------------------------------------------------------------------

MEMBERS = [Member(i) for i in range(4)]
GS = GhostSeq(MEMBERS)


class Plain:
    pass


PLAIN = [Plain(), Plain()]


def _ghostseq_deaths():
    seq = GhostSeq(MEMBERS)
    temps = [Member(9), Member(10)]
    seq.extend(temps)
    seq += temps
    seq.append(Member(11))  # dies at once
    seq.insert(0, temps[0])
    seq[1] = temps[1]
    seq[0:1] = temps
    del temps  # every entry of theirs leaves
    assert list(seq) == MEMBERS[1:]


def _ghostseq_reads():
    GS[0], GS[-1], GS[1:3], reversed(GS), list(GS), GS == MEMBERS, GS != [1]
    MEMBERS[0] in GS, GS.index(MEMBERS[2]), GS.count(MEMBERS[1])
    str(GS), repr(GS)


def _ghostseq_cycle():
    # The instance refers to itself through the callbacks of its entries.
    seq = GhostSeq(MEMBERS)
    seq.append(seq)


ghostseq_cases = [
    case("GhostSeq(items)", lambda: GhostSeq(MEMBERS), *MEMBERS),
    case("GhostSeq(unreferenceable)", raises(TypeError, GhostSeq, [MEMBERS[0], 5]), MEMBERS[0]),
    case("GhostSeq(2 args)", raises(TypeError, GhostSeq, [], [])),
    case("GhostSeq(bad keyword)", raises(TypeError, lambda: GhostSeq(item=[]))),
    case("reads", _ghostseq_reads, GS, *MEMBERS),
    case("sort", lambda: GhostSeq(MEMBERS).sort(), *MEMBERS),
    case("sort key reverse", lambda: GhostSeq(MEMBERS).sort(key=lambda o: -o.v, reverse=True), *MEMBERS),
    case("pop", lambda: GhostSeq(MEMBERS).pop(-1), *MEMBERS),
    case("remove", lambda: GhostSeq(MEMBERS).remove(MEMBERS[1]), *MEMBERS),
    case("remove reference", lambda: GhostSeq(MEMBERS).remove(weakref.ref(MEMBERS[2])), *MEMBERS),
    case("imul", lambda: GhostSeq(MEMBERS).__imul__(3), *MEMBERS),
    case("add", lambda: GhostSeq(MEMBERS) + GS, GS, *MEMBERS),
    case("copy method", lambda: GS.copy(), GS, *MEMBERS),
    case("copy.copy", lambda: copy.copy(GS), GS, *MEMBERS),
    case("copy.deepcopy", lambda: copy.deepcopy(GS), GS, *MEMBERS),
    case("deaths", _ghostseq_deaths, *MEMBERS),
    case("self-referencing", _ghostseq_cycle, *MEMBERS),
    case("getitem out of range", raises(IndexError, GS.__getitem__, 10)),
    case("setitem unreferenceable", raises(TypeError, GS.__setitem__, 0, 5)),
    case("setitem extended slice length", raises(ValueError, GS.__setitem__, slice(None, None, 2), MEMBERS[:1])),
    case("index missing", raises(ValueError, GS.index, Member(99), match="not in list")),
    case("remove missing", raises(ValueError, GS.remove, Member(99))),
    case("contains unreferenceable", raises(TypeError, GS.__contains__, 5)),
    case("add list", raises(TypeError, GS.__add__, [], match='not "list"')),
    case("pop out of range", raises(IndexError, GhostSeq().pop, 0)),
    case("sort unorderable", raises(TypeError, GhostSeq(PLAIN).sort, match="not supported"), *PLAIN),
    case("imul non-int", raises(TypeError, GhostSeq(MEMBERS).__imul__, 2.0)),
]


# --- logic -----------------------------------------------------------------------------

EXPR = And("a", Or("b", "c", lambda item: item == 5), Not("z"))

logic_cases = [
    case("And/Or/Not", lambda: And("a", Or("b", str.isdigit), Not("z")), str.isdigit),
    case("call", lambda: (EXPR("ab"), EXPR("a", "c"), EXPR(5, "a"), EXPR(), Or()(1), Not()()), EXPR),
    case("str/repr/eq", lambda: (str(EXPR), repr(EXPR), EXPR == EXPR, EXPR == Or(), EXPR != 1), EXPR),
    case("bad check", raises(TypeError, And, 5, match="only accepts str and callable")),
    case("bad pattern", raises(re.error, Or, "(")),
    case("keyword", raises(TypeError, lambda: And(x="a"))),
    case("BaseLogic()", raises(NotImplementedError, BaseLogic("a"))),
    case("BaseLogic(items)", raises(TypeError, BaseLogic(), 1)),
    case("check raising", raises(ZeroDivisionError, Or(lambda item: 1 / 0), "x")),
    case("logic_str", lambda: logic_str("And('a', Or('b', 'c'))")),
    case("logic_str bytes", lambda: logic_str(b"Not('a')")),
    case("logic_str syntax", raises(ValueError, logic_str, "And(", match="Not a properly", context=SyntaxError)),
    case("logic_str name", raises(ValueError, logic_str, "Xor('a')", context=Exception)),
    case("logic_str not logic", raises(ValueError, logic_str, "'a'", context=AssertionError)),
    case("logic_str bad type", raises(TypeError, logic_str, 5)),
]


# --- branchlet, typeattr, strings ------------------------------------------------------------


def _tree():
    root = Branchlet("plant", [Branchlet("stem", [Branchlet("leaf"), Branchlet("bud")]), "root\ntip"])
    root.add_child(Branchlet("seed", [Branchlet("coat")]))
    return str(root)


class WithAttr:
    @typeattr
    def name(cls):
        return cls.__name__

    @typeattr
    def broken(cls):
        raise LookupError(cls)


def _branchlet_below_itself():
    node = Branchlet("loop")
    node.add_child(node)
    return node


def _typeattr_calling_itself():
    d = typeattr(None)
    d.func = d
    return d


other_cases = [
    case("Branchlet", _tree),
    case("Branchlet non-str name", raises(TypeError, lambda: str(Branchlet(5, [Branchlet("a")])))),
    case("Branchlet bad child", raises(TypeError, lambda: str(Branchlet("a", 5)))),
    case("Branchlet wrong arguments", raises(TypeError, Branchlet)),
    case("typeattr", lambda: (WithAttr.name, WithAttr().name, TypeAttrDescriptor(len).__get__(None, "abc"))),
    case("typeattr raising", raises(LookupError, getattr, WithAttr, "broken")),
    case("typeattr not callable", raises(TypeError, TypeAttrDescriptor(5).__get__, None, WithAttr)),
    case("typeattr wrong arguments", raises(TypeError, TypeAttrDescriptor(len).__get__, None)),
    case("typecast_str", lambda: [typecast_str(t) for t in ("1", "1.5", "true", "none", "x", VALUE)], VALUE),
    case("decode_cli_string", lambda: (decode_cli_string("a"), decode_cli_string(b"a"))),
    case("decode_cli_string bad", raises(TypeError, decode_cli_string, 5)),
]


@pytest.mark.parametrize("op, watch", flatpath_cases + dotbag_cases + rankmap_cases + ghostseq_cases + logic_cases
                         + other_cases)
def test_no_leak(op, watch):
    assert_no_growth(op, watch)


@pytest.mark.parametrize("op, watch", configuration_cases)
def test_no_leak_configuration(op, watch, files, quiet_entry_points):
    takes_files = op.__code__.co_argcount == 1
    # configparser and open() move the block count for hundreds of calls on their own.
    assert_no_growth((lambda: op(files)) if takes_files else op, watch, warmup=300)


def _ghostseq_with_iterator():
    seq = GhostSeq(MEMBERS)
    seq.it = iter(seq)  # the iterator holds the instance until its first step
    return seq


def _flattening_generator_in_its_own_input():
    data = DotBag(a=[1, {"b": 2}])
    gen = FlatPath.__flatten__(data)
    next(gen)  # started: it holds the levels it is walking
    data.gen = gen
    return data


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(_flattening_generator_in_its_own_input, id="FlatPath generator"),
        pytest.param(lambda: DotBag(a=1), id="DotBag"),
        pytest.param(lambda: NestedDotBag({"a": {"b": 1}}), id="NestedDotBag"),
        pytest.param(lambda: Configuration({"a": {"b": 1}}), id="Configuration"),
        pytest.param(lambda: GhostSeq(MEMBERS), id="GhostSeq"),
        pytest.param(_ghostseq_with_iterator, id="GhostSeq and its iterator"),
        pytest.param(_rankmap_holding_itself, id="RankMap"),
        pytest.param(_branchlet_below_itself, id="Branchlet"),
        pytest.param(_typeattr_calling_itself, id="TypeAttrDescriptor"),
    ],
)
def test_self_referencing_instances_are_reclaimed(make):
    obj = make()
    assert gc.get_referrers(obj)  # the instance itself (its namespace) or its entries' callbacks
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


def test_the_check_finds_a_leak():
    kept = []
    with pytest.raises(pytest.fail.Exception, match="leaves"):
        assert_no_growth(lambda: kept.append([]))  # a live object per call
    with pytest.raises(pytest.fail.Exception, match="leaves"):
        assert_no_growth(lambda: kept.append(VALUE), (VALUE,))  # a reference per call
    if sys.getallocatedblocks():  # 0 when the interpreter's allocator is replaced by malloc
        with pytest.raises(pytest.fail.Exception, match="leaves"):
            assert_no_growth(lambda: kept.append(object()))  # a block per call, not tracked by gc
    kept.clear()
