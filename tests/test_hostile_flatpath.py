"""Hostile input for FlatPath and Branchlet: walks that run inside other walks
level after level, and code that runs where the C++ code could assume that
nothing would. Each case must end in a Python exception or the result the
plain Python code gives."""

import pytest

from dravix.datastructures.branchlet import Branchlet
from dravix.datastructures.flatpath import FlatPath, IndexMarker
from test_hostile import Key

# --- C recursion: one walk (or drawing) inside the other, level after level ------------------

_NESTED_SETUP = """
import functools, gc
import dravix.datastructures.flatpath as mod
from dravix.datastructures.branchlet import Branchlet
from dravix.datastructures.flatpath import FlatPath
orig = FlatPath.__flatten__

class Sub(FlatPath):
    @staticmethod
    def __flatten__(indict, path=None):
        return orig(indict, path)

class ItemsWalk(dict):
    def items(self):
        return orig(self.inner)

class IterWalk(list):
    def __iter__(self):
        return orig(self.inner)

class PairsAreWalks(dict):
    def items(self):
        return iter([orig(self.inner)])

class Node(Branchlet):
    __str__ = functools.partialmethod(Branchlet.__str__)

def dicts(depth):
    data = 1
    for _ in range(depth):
        data = {"k": data}
    return data

def nested(make, depth):
    leaf = 1
    for _ in range(depth):
        leaf = make(leaf)
    return {"top": leaf}

def items_walk(leaf):
    m = ItemsWalk(x=1)
    m.inner = {"k": leaf}
    return m

def iter_walk(leaf):
    s = IterWalk([1])
    s.inner = [leaf]
    return s

def pairs_are_walks(leaf):
    m = PairsAreWalks(x=1)
    m.inner = ["k", leaf]
    return m

def items_by_c_code(leaf):
    m = ItemsWalk(x=1)
    m.items = functools.partial(list, orig({"k": leaf}))
    return m

def tree(depth):
    node = Node("leaf")
    for _ in range(depth):
        node = Node("n", [node])
    return node
"""

_NESTED = {
    "replaced __flatten__": ("mod.FlatPath = Sub; data = dicts(DEPTH)", "FlatPath(data)"),
    "items() is a walk": ("data = nested(items_walk, DEPTH)", "next(orig(data))"),
    "__iter__ is a walk": ("data = nested(iter_walk, DEPTH)", "next(orig(data))"),
    "items() yields walks as pairs": ("data = nested(pairs_are_walks, DEPTH)", "next(orig(data))"),
    "items() is C code pulling a walk": ("data = nested(items_by_c_code, DEPTH)", "next(orig(data))"),
    "__str__ that calls Branchlet.__str__": ("data = tree(DEPTH)", "str(data)"),
}


@pytest.mark.parametrize("kind", list(_NESTED))
def test_nested_walks_raise_recursion_error(isolated, kind):
    build, action = _NESTED[kind]
    isolated(
        _NESTED_SETUP
        + f"""
DEPTH = 200  # well within the limit: no RecursionError
{build}
try:
    {action}
except RecursionError:
    raise
except Exception:  # what such levels give (a pair that is not one) is beside the point
    pass
DEPTH = 30000
{build}
try:
    {action}
except RecursionError:
    pass
else:
    raise AssertionError("no RecursionError")
del data  # the levels are freed, however long the chain was
gc.collect()
"""
    )


# --- code that runs where nothing was expected to run ------------------------------------------


class Trap:
    """A key hashing like `name`: once armed, its __eq__ runs action() the
    first time a dict holding it is searched for name."""

    def __init__(self, name, action):
        self.armed = False
        self.key = Key(name, eq=self.spring)
        self.action = action

    def spring(self, other):
        if self.armed:
            self.armed = False
            self.action()


def _marker_whose_read_runs(action, type_=list):
    marker = IndexMarker([], 0)
    trap = Trap("type_", action)
    marker.__dict__ = {trap.key: None, "type_": type_, "index": 0}
    trap.armed = True
    return marker


def _as_tuple(self, name):
    return tuple if name == "type_" else object.__getattribute__(self, name)


def _patch_marker_class():
    IndexMarker.__getattribute__ = _as_tuple


def _replace_result_level():
    import gc

    for obj in gc.get_objects():
        if type(obj) is dict and list(obj) == ["a"] and type(obj["a"]) is dict and list(obj["a"]) == ["x"]:
            obj["a"] = {"new": 0}


@pytest.mark.parametrize(
    "entries, expected",
    [
        # IndexMarker gains a __getattribute__ while a marker is read: the
        # reads after that go through it.
        pytest.param(
            lambda: [(("a", _marker_whose_read_runs(_patch_marker_class)), 1), (("b", IndexMarker([], 0)), 2)],
            {"a": [1], "b": (2,)},
            id="marker class patched",
        ),
        # The dict the first path went through is replaced in the result: the
        # next path with the same first key goes into the new one.
        pytest.param(
            lambda: [(("a", "x", _marker_whose_read_runs(_replace_result_level)), 1), (("a", "y"), 2)],
            {"a": {"new": 0, "y": 2}},
            id="result changed",
        ),
    ],
)
def test_reconstruct_sees_code_run_by_a_marker_read(entries, expected):
    try:
        assert FlatPath(entries()).reconstruct() == expected
    finally:
        if "__getattribute__" in vars(IndexMarker):
            del IndexMarker.__getattribute__


@pytest.mark.filterwarnings("ignore:non-string key in the __dict__ of class")
def test_branchlet_sees_a_class_changed_while_its_facts_are_read():
    trap = Trap("children", lambda: setattr(Node, "__str__", lambda self: "X"))
    Node = type("Node", (Branchlet,), {trap.key: None})
    tree = Node("root", [Node("a"), Node("b")])
    Node.changed = True  # the class's lookups are no longer cached
    trap.armed = True
    assert str(tree) == "root\n|-- X\n`-- X"


def test_branchlet_reads_the_last_child_when_its_turn_comes():
    tree = Branchlet("root", [Branchlet("a"), Branchlet("b")])
    trap = Trap("name", lambda: tree.children.__setitem__(-1, Branchlet("new")))
    middle = Branchlet.__new__(Branchlet)
    middle.__dict__ = {trap.key: None, "name": "mid", "children": []}
    tree.children[0] = middle
    trap.armed = True
    assert str(tree) == "root\n|-- mid\n`-- new"
