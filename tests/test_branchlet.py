"""Branchlet: named tree nodes drawn like the `tree` command. What it shares
with the plain-Python baseline (the literal algorithm) runs on both (the B
parameter) or is compared with it; the rest is where ours goes further
(trees deeper than the recursion limit, a name it refuses to extend)."""

import random
import re

import pytest
from hypothesis import given, settings, strategies as st

from conftest import baseline, both

import dravix.datastructures.branchlet as mod
from dravix.datastructures.branchlet import Branchlet

oracle = baseline("branchlet")
on_both = pytest.mark.parametrize("B", both("branchlet", "Branchlet"))

PLANT = "plant\n|-- stem\n|   |-- leaf\n|   `-- bud\n|-- root\n|   tip\n`-- seed\n    `-- coat"


def build(cls, spec):
    """spec: a str (a plain child) or (name, [child specs]) for a node."""
    if isinstance(spec, str):
        return spec
    name, kids = spec
    return cls(name, [build(cls, k) for k in kids])


# --- class and module facts ----------------------------------------------------


def test_class_facts():
    assert Branchlet.__bases__ == (object,) and type(Branchlet) is type
    assert Branchlet.__doc__
    assert [n for n in ("__init__", "add_child", "__str__") if n in Branchlet.__dict__] == [
        "__init__", "add_child", "__str__"]
    assert [n for n in vars(mod) if not n.startswith("_")] == ["Branchlet"]


def test_trees_copy_and_pickle_like_python_objects():
    import copy
    import pickle

    tree = Branchlet("r", [Branchlet("a", ["x\ny"]), "b"])
    for clone in (copy.deepcopy(tree), pickle.loads(pickle.dumps(tree))):
        assert type(clone) is Branchlet and clone is not tree
        assert vars(clone).keys() == {"name", "children"}
        assert str(clone) == str(tree) == "r\n|-- a\n|   `-- x\n|       y\n`-- b"


# --- construction and add_child ----------------------------------------------


@on_both
@pytest.mark.parametrize("empty", [None, [], (), "", 0, {}])
def test_falsy_children_become_a_new_list(B, empty):
    a, b = B("a", empty), B("b", empty)
    assert a.children == [] and type(a.children) is list
    assert a.children is not b.children
    assert str(a) == "a"


@on_both
def test_truthy_children_are_shared_not_copied(B):
    kids = [B("x")]
    node = B(name="n", children=kids)
    assert node.children is kids and node.name == "n"
    node.add_child(item="y")
    kids.append("z")
    assert kids[1:] == ["y", "z"] and node.children is kids
    assert str(node) == "n\n|-- x\n|-- y\n`-- z"


@on_both
def test_add_child_goes_through_children_append(B):
    class Recorder(list):
        def append(self, item):
            super().append(("seen", item))
            return "appended"

    node = B("n", Recorder(["a"]))
    assert node.add_child("b") is None
    assert list(node.children) == ["a", ("seen", "b")]


@on_both
@pytest.mark.parametrize("call, exc", [
    (lambda B: B(), TypeError),
    (lambda B: B("a", [], 3), TypeError),
    (lambda B: B("a").add_child(), TypeError),
    (lambda B: B("a", ("t",)).add_child("x"), AttributeError),
])
def test_argument_and_append_errors(B, call, exc):
    with pytest.raises(exc):
        call(B)


# --- text form --------------------------------------------------------------


@on_both
def test_worked_example(B):
    seed = B("seed", [B("coat")])
    plant = B("plant", [B("stem", [B("leaf"), B("bud")]), "root\ntip"])
    plant.add_child(seed)
    assert str(plant) == PLANT
    assert plant.__str__() == PLANT
    assert str(seed) == "seed\n`-- coat"


@on_both
@pytest.mark.parametrize("kids, expected", [
    (["only"], "r\n`-- only"),
    (["a\n"], "r\n`-- a\n    "),
    (["a\n", "b"], "r\n|-- a\n|   \n`-- b"),
    (["", ""], "r\n|-- \n`-- "),
    (["\n"], "r\n`-- \n    "),
    (("t1", "t2"), "r\n|-- t1\n`-- t2"),
    ("xyz", "r\n|-- x\n|-- y\n`-- z"),  # a str stands in for the list: its characters
    ([1, None, 2.5], "r\n|-- 1\n|-- None\n`-- 2.5"),
    (lambda B: [B("multi\nline", ["k"]), "e"], "r\n|-- multi\n|   line\n|   `-- k\n`-- e"),
])
def test_layout(B, kids, expected):
    assert str(B("r", kids(B) if callable(kids) else kids)) == expected


@on_both
def test_text_is_recomputed_and_follows_rebinding(B):
    node = B("a", ["b"])
    assert str(node) == "a\n`-- b"
    node.name = "z"
    node.children = ["c", "d"]
    assert str(node) == "z\n|-- c\n`-- d"
    node.children = []
    assert str(node) == "z"


@on_both
def test_leaf_returns_its_name_unconverted(B):
    class Name(str):
        pass

    name = Name("n")
    assert B(name).__str__() is name
    assert B(7).__str__() == 7


@on_both
def test_str_subclass_children_are_converted_by_their_own_str(B):
    class Shout(str):
        def __str__(self):
            return self.upper() + "\n!"

    tree = B("r", [Shout("a"), "b", B("s", [Shout("c")]), Shout("d")])
    assert str(tree) == "r\n|-- A\n|   !\n|-- b\n|-- s\n|   `-- C\n|       !\n`-- D\n    !"


@pytest.mark.parametrize("width", ["ascii", "l\xe9", "\u0100\u4e00", "\U0001f600"])
def test_wide_text_matches_oracle(width):
    spec = (width, [("a" + width, ["x\n" + width, "plain"]), width + "\n", (width * 3, [])])
    got = str(build(Branchlet, spec))
    assert got == str(build(oracle.Branchlet, spec))
    assert got.isascii() == (width == "ascii")


@pytest.mark.parametrize("width", ["l\xe9", "\u0100\u4e00", "\U0001f600"])
@pytest.mark.parametrize("at", ["name", "last"])
def test_wide_text_after_long_ascii_text(width, at):
    # The text is kept in blocks while it is built: a wider character after
    # several of them have filled widens them all, and the str made at the end
    # is the narrowest that holds the text.
    kids = [("node %d" % i, ["leaf %d" % i]) for i in range(200)]
    spec = ("root " + width, kids) if at == "name" else ("root", kids + [width + "\n" + width])
    got = str(build(Branchlet, spec))
    assert got == str(build(oracle.Branchlet, spec))
    assert len(got) > 4000 and max(got) == max(width)


tree_specs = st.recursive(
    st.text(alphabet="ab\n\xe9\u0100", max_size=4),
    lambda kids: st.tuples(st.text(alphabet="nm\n\U0001f600", max_size=3), st.lists(kids, max_size=4)),
    max_leaves=25,
)


@settings(max_examples=150, deadline=None)
@given(tree_specs)
def test_same_text_as_the_literal_algorithm(spec):
    assert str(build(Branchlet, spec)) == str(build(oracle.Branchlet, spec))


def random_tree(cls, n, rng):
    nodes = [cls("n0")]
    for i in range(1, n):
        parent = rng.choice(nodes)
        if i % 9 == 0:
            parent.add_child("plain %d\nsecond" % i)
        else:
            child = cls("n%d" % i)
            parent.add_child(child)
            nodes.append(child)
    return nodes[0]


def expected_lines(node, lead="", rest=""):
    """The lines of node's text, built line by line (the literal algorithm
    re-copies the text once per level, which is too slow for big trees under
    the sanitizer build)."""
    if not isinstance(node, Branchlet):
        first, *more = str(node).split("\n")
        return [lead + first] + [rest + line for line in more]
    first, *more = node.name.split("\n")
    lines = [lead + first] + [rest + line for line in more]
    for i, child in enumerate(node.children):
        last = i == len(node.children) - 1
        lines += expected_lines(child, rest + ("`-- " if last else "|-- "), rest + ("    " if last else "|   "))
    return lines


def test_random_tree_matches_the_literal_algorithm():
    ours = str(random_tree(Branchlet, 2_000, random.Random(3)))
    assert ours == str(random_tree(oracle.Branchlet, 2_000, random.Random(3)))
    assert ours.split("\n") == expected_lines(random_tree(Branchlet, 2_000, random.Random(3)))


def test_hundred_thousand_nodes():
    tree = random_tree(Branchlet, 100_000, random.Random(5))
    ours = str(tree)
    assert ours.count("\n") == 100_000 - 1 + 100_000 // 9
    assert ours.split("\n") == expected_lines(tree)


def test_chain_deeper_than_the_recursion_limit():
    depth = 5000
    node = Branchlet("d%d" % depth)
    for i in range(depth - 1, -1, -1):
        node = Branchlet("d%d" % i, [node])
    lines = str(node).split("\n")
    assert len(lines) == depth + 1
    assert lines[0] == "d0" and lines[1] == "`-- d1"
    assert lines[-1] == " " * (4 * (depth - 1)) + "`-- d%d" % depth


# --- children drawn through their own str() ---------------------------------


@on_both
def test_subclass_with_own_str_is_called(B):
    calls = []

    class Loud(B):
        def __str__(self):
            calls.append(self.name)
            return self.name.upper() + "\n" + super().__str__()

    tree = B("r", [Loud("a", [Loud("b")]), "c"])
    assert str(tree) == "r\n|-- A\n|   a\n|   `-- B\n|       b\n`-- c"
    assert calls == ["a", "b"]


@on_both
def test_subclass_without_own_str_is_drawn_with_its_attributes(B):
    class Labelled(B):
        @property
        def name(self):
            return "<%s>" % self._name

        @name.setter
        def name(self, value):
            self._name = value

    assert str(B("r", [Labelled("a", [Labelled("b")])])) == "r\n`-- <a>\n    `-- <b>"


@on_both
def test_str_replaced_on_an_instance_is_ignored_like_str_ignores_it(B):
    child = B("c")
    child.__str__ = lambda: "nope"
    assert str(B("r", [child])) == "r\n`-- c"


@on_both
def test_class_changed_while_drawing_is_seen_at_once(B):
    class Sub(B):
        @property
        def name(self):
            if self._name == "b":
                Sub.__str__ = lambda node: "patched " + node._name
            return self._name

        @name.setter
        def name(self, value):
            self._name = value

    assert str(B("r", [Sub("a"), Sub("b"), Sub("c"), "end"])) == "r\n|-- a\n|-- b\n|-- patched c\n`-- end"


@on_both
def test_children_changed_while_drawing(B):
    root = B("r")

    class Grower:
        def __str__(self):
            root.children.append("late")
            return "g"

    root.children = [Grower(), "x"]
    assert str(root) == "r\n|-- g\n`-- late"


def logged_tree(base, log):
    """A tree whose nodes and children lists record every read, to compare the
    order of reads and protocol calls with the literal algorithm."""

    class Kids(list):
        def __len__(self):
            log.append(("len", self.tag))
            return list.__len__(self)

        def __getitem__(self, index):
            log.append(("item", self.tag, repr(index)))
            return list.__getitem__(self, index)

    class Node(base):
        def __getattribute__(self, attr):
            if attr in ("name", "children"):
                log.append(("read", attr, object.__getattribute__(self, "name")))
            return object.__getattribute__(self, attr)

    def node(name, *kids):
        children = Kids(kids)
        children.tag = name
        return Node(name, children if kids else None)

    class Talker:
        def __str__(self):
            log.append(("str", "talker"))
            return "talk\ning"

    return node("r", node("a", "x", node("b", Talker())), Talker(), node("c"))


def test_reads_and_calls_happen_as_in_the_literal_algorithm():
    ours, theirs = [], []
    text = str(logged_tree(Branchlet, ours))
    assert text == str(logged_tree(oracle.Branchlet, theirs))
    assert ours == theirs
    assert ("item", "r", "slice(None, -1, None)") in ours and ("item", "r", "-1") in ours


# --- failures --------------------------------------------------------------


@on_both
@pytest.mark.parametrize("children, exc", [
    (5, TypeError),                          # cannot be sliced
    (iter("ab"), TypeError),                 # not subscriptable
    ({"k": 1}, (KeyError, TypeError)),       # a mapping: the slice is looked up as a key
])
def test_unsuitable_children(B, children, exc):
    node = B("n")
    node.children = children
    with pytest.raises(exc):
        str(node)


@on_both
@pytest.mark.parametrize("name, extended", [
    (3, "unsupported operand type(s) for +=: 'int' and 'str'"),
    (None, "unsupported operand type(s) for +=: 'NoneType' and 'str'"),
    (b"bytes", None),  # bytes += str words its refusal in its own way
])
def test_name_must_be_a_string(B, name, extended):
    with pytest.raises(TypeError, match="non-string"):
        str(B(name))
    with pytest.raises(TypeError, match=extended and re.escape(extended)):
        str(B(name, ["c"]))
    with pytest.raises(TypeError, match="non-string"):
        str(B("r", [B(name)]))
    with pytest.raises(TypeError):
        str(B("r", ["a", B(name, [B("c")])]))


def test_list_name_is_refused_and_left_intact():
    # The baseline's += extends such a name in place.
    name = ["x"]
    with pytest.raises(TypeError):
        str(Branchlet(name, ["child"]))
    assert name == ["x"]


@on_both
def test_child_error_wins_over_bad_name_and_propagates_unchanged(B):
    boom = ValueError("boom")

    class Bad:
        def __str__(self):
            raise boom

    for tree in (B(3, [Bad()]), B("r", ["a", B("s", ["b", Bad()])])):
        with pytest.raises(ValueError) as info:
            str(tree)
        assert info.value is boom


@on_both
def test_last_child_index_error_propagates(B):
    class NoLast(list):
        def __getitem__(self, index):
            if index == -1:
                raise IndexError("no last")
            return list.__getitem__(self, index)

    node = B("r")
    node.children = NoLast(["a", "b"])
    with pytest.raises(IndexError, match="no last"):
        str(node)


@on_both
@pytest.mark.parametrize("length", [1, 2, 7])
def test_node_among_its_descendants(B, length):
    nodes = [B("n%d" % i, ["leaf"]) for i in range(length)]
    for parent, child in zip(nodes, nodes[1:] + nodes[:1]):
        parent.children.append(child)
    with pytest.raises(RecursionError):
        str(nodes[0])
    # A shared subtree that is not a cycle is drawn under each parent.
    shared = B("s", ["t"])
    assert str(B("r", [shared, shared])) == "r\n|-- s\n|   `-- t\n`-- s\n    `-- t"


@pytest.mark.parametrize("seed", range(4))
def test_cycle_deep_inside_a_big_tree(seed):
    # Many nodes enter and leave the set of open nodes before the cycle shows.
    rng = random.Random(seed)
    nodes = [Branchlet("n0")]
    parents = {}
    for i in range(1, 20_000):
        parent = rng.choice(nodes)
        child = Branchlet("n%d" % i)
        parent.add_child(child)
        parents[child] = parent
        nodes.append(child)
    node = nodes[-1]
    ancestors = []
    while node in parents:
        node = parents[node]
        ancestors.append(node)
    nodes[-1].add_child(rng.choice(ancestors))
    with pytest.raises(RecursionError):
        str(nodes[0])


@on_both
def test_cycle_through_an_overriding_subclass(B):
    class Own(B):
        def __str__(self):
            return super().__str__()

    a = Own("a")
    a.add_child(B("b", [a]))
    with pytest.raises(RecursionError):
        str(a)


@on_both
@pytest.mark.parametrize("siblings", [[], ["x"]])
def test_cycle_through_an_object_whose_str_is_written_in_c(B, siblings):
    # str() of an exception with one argument is str() of that argument: the
    # cycle runs through the interpreter's own str() without Python frames.
    node = B("a", list(siblings))
    node.add_child(ValueError(node))
    with pytest.raises(RecursionError):
        str(node)
