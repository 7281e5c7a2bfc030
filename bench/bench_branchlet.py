"""Branchlet rows: the text form of trees of three shapes."""

import random

from cases import FASTER, FASTER_10, Cand, Row, impls


def random_tree(cls, n, seed=1):
    """n nodes, each hung under a random earlier one (depth grows like log n);
    every ninth entry is a two-line plain string instead of a node."""
    rng = random.Random(seed)
    nodes = [cls("node 0")]
    for i in range(1, n):
        parent = rng.choice(nodes)
        if i % 9 == 0:
            parent.add_child(f"plain {i}\nsecond line")
        else:
            child = cls(f"node {i}")
            parent.add_child(child)
            nodes.append(child)
    return nodes[0]


def walked_tree(cls, n, seed=1):
    """About n nodes made the way a walk over nested data makes them: each node
    is created, then its children one subtree after the other (depth first),
    with 0 to 6 children per node; every ninth entry is a two-line string."""
    rng = random.Random(seed)
    made = 0

    def make(depth):
        nonlocal made
        made += 1
        node = cls(f"node {made}")
        width = rng.randint(0, 6) if depth < 12 else 0
        for _ in range(width):
            if made >= n:
                break
            if made % 9 == 0:
                made += 1
                node.add_child(f"plain {made}\nsecond line")
            else:
                node.add_child(make(depth + 1))
        return node

    root = cls("root")
    while made < n:
        root.add_child(make(1))
    return root


def layered_tree(cls, fanout, depth):
    """A full tree: every node above the bottom layer has `fanout` children."""
    root = cls("root")
    layer = [root]
    for d in range(depth):
        nxt = []
        for node in layer:
            for k in range(fanout):
                child = cls(f"d{d} k{k}")
                node.add_child(child)
                nxt.append(child)
        layer = nxt
    return root


def layered_nodes(depth, fanout=5):
    return sum(fanout ** d for d in range(depth + 1))


def any_node():
    """anytree's node class with Branchlet's add_child."""
    import anytree

    class AnyNode(anytree.Node):
        def add_child(self, child):
            child.parent = self

    return AnyNode


def any_text(root):
    """anytree's rendering in a style that gives the very same text as Branchlet's str()."""
    import anytree

    style = anytree.AbstractStyle("|   ", "|-- ", "`-- ")
    return "\n".join(pre + node.name for pre, _, node in anytree.RenderTree(root, style=style))


# Compiled, the transcription's `text += ...` copies the text every time (the
# interpreter extends a string it holds the only reference to in place):
# quadratic, about 20 s for one str() of 30,000 nodes. Its column is counted
# by the instruction run at 1,000 nodes and left out of the timed one.
QUADRATIC = ("the compiled transcription is left out of the timed run: its string concatenation is quadratic "
             "(about 20 s for 30,000 nodes); see make bench-instr")
TIMED = dict(number=1, repeat=5, collect=True, targets={"plain": FASTER_10}, check="str(tree)", note=QUADRATIC)


def untimed_compiled(cands):
    cands["compiled"].timed = False
    return cands

ROWS = [
    Row("branchlet.str_random", "str() of a {n:,}-node Branchlet (random shape)",
        untimed_compiled(impls("branchlet", "tree = random_tree(M.Branchlet, {n})", "str(tree)")),
        unit="node", sizes=(100_000, 1000), ops=lambda n: n, **TIMED),
    Row("branchlet.str_walked", "str() of a {n:,}-node Branchlet (built depth first)",
        untimed_compiled(impls("branchlet", "tree = walked_tree(M.Branchlet, {n})", "str(tree)")),
        unit="node", sizes=(100_000, 1000), ops=lambda n: n, **TIMED),
    Row("branchlet.str_layered", "str() of a {units:,}-node Branchlet (5-way, {n} deep)", {
        **untimed_compiled(impls("branchlet", "tree = layered_tree(M.Branchlet, 5, {n})", "str(tree)")),
        "anytree": Cand("tree = layered_tree(any_node(), 5, {n})", "any_text(tree)", "anytree RenderTree, same text"),
    }, unit="node", sizes=(7, 4), ops=layered_nodes, **{**TIMED, "targets": {"plain": FASTER_10, "anytree": FASTER}}),
]
