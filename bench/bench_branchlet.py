"""Speed of Branchlet's text form and of typeattr reads against their plain-Python
transcriptions (bench/baseline/) and, for typeattr, against a `property` read.

Run:  PYTHONPATH=build/stage-<modules> .venv/bin/python bench/bench_branchlet.py

Every figure is the median of several timed repeats after a warm-up, all taken in
this one run; ratio = ours / baseline (below 1 means we are faster).
"""

import importlib.util
import pathlib
import random
import statistics
import sys
import timeit

from dravix.datastructures.branchlet import Branchlet
from dravix.datastructures.typeattr import typeattr

HERE = pathlib.Path(__file__).resolve().parent


def load_baseline(name):
    spec = importlib.util.spec_from_file_location(f"baseline_{name}", HERE / "baseline" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def median_times(funcs, repeat, number=1):
    """Median time per call of each function; the repeats take turns, so a busy
    moment of the machine weighs on all of them alike."""
    for func in funcs:
        func()  # warm-up
    samples = [[] for _ in funcs]
    for _ in range(repeat):
        for func, times in zip(funcs, samples):
            times.append(timeit.timeit(func, number=number) / number)
    return [statistics.median(times) for times in samples]


def random_tree(cls, n, seed):
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


def walked_tree(cls, n, seed):
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


def typeattr_classes(baseline_typeattr):
    class Ours:
        @typeattr
        def value(cls):
            return 1

    class Transcribed:
        @baseline_typeattr.typeattr
        def value(cls):
            return 1

    class Dispatched(typeattr):
        """A subclass: the interpreter reaches its __get__ through the generic
        slot, which looks the method up and calls it (what the class itself
        did before it got a slot of its own)."""

    class ThroughMethod:
        value = Dispatched(lambda cls: 1)

    class WithProperty:
        @property
        def value(self):
            return 1

    return Ours, Transcribed, ThroughMethod, WithProperty


def main():
    base_tree = load_baseline("branchlet")
    base_typeattr = load_baseline("typeattr")
    rows = []  # (operation, ours, baseline name, baseline time)

    shapes = [
        ("str(), 100,000 nodes, random parents", lambda cls: random_tree(cls, 100_000, 1)),
        ("str(), 100,000 nodes, built depth first", lambda cls: walked_tree(cls, 100_000, 1)),
        ("str(), 97,656 nodes, 5-way, 7 deep", lambda cls: layered_tree(cls, 5, 7)),
    ]
    for label, make in shapes:
        ours_tree, base = make(Branchlet), make(base_tree.Branchlet)
        assert str(ours_tree) == str(base)
        t_ours, t_base = median_times([lambda: str(ours_tree), lambda: str(base)], repeat=9)
        rows.append((label, t_ours, "transcription", t_base))

    Ours, Transcribed, ThroughMethod, WithProperty = typeattr_classes(base_typeattr)
    cases = [
        ("ours, instance", "o.value", {"o": Ours()}),
        ("ours, class", "C.value", {"C": Ours}),
        ("transcription, instance", "o.value", {"o": Transcribed()}),
        ("transcription, class", "C.value", {"C": Transcribed}),
        ("property, instance", "o.value", {"o": WithProperty()}),
        ("method dispatch, instance", "o.value", {"o": ThroughMethod()}),
    ]
    # Each repeat times 100,000 reads in timeit's own loop (the read is compiled
    # once, so the interpreter specialises it as it would in a program).
    timers = [timeit.Timer(stmt, globals=env) for _, stmt, env in cases]
    number = 100_000
    times = median_times([lambda t=t: t.timeit(number) for t in timers], repeat=15)
    reads = {name: t / number for (name, _, _), t in zip(cases, times)}
    rows.append(("typeattr read on an instance", reads["ours, instance"], "transcription",
                 reads["transcription, instance"]))
    rows.append(("typeattr read on the class", reads["ours, class"], "transcription",
                 reads["transcription, class"]))
    rows.append(("typeattr read on an instance", reads["ours, instance"], "via __get__",
                 reads["method dispatch, instance"]))
    rows.append(("typeattr read on an instance", reads["ours, instance"], "property read",
                 reads["property, instance"]))
    rows.append(("typeattr read on the class", reads["ours, class"], "property read",
                 reads["property, instance"]))

    def fmt(seconds):
        return f"{seconds * 1e3:10.3f} ms" if seconds >= 1e-4 else f"{seconds * 1e9:10.1f} ns"

    print(f"Python {sys.version.split()[0]}; median per operation; ratio = ours / baseline")
    print(f"{'operation':44} {'ours':>13} {'baseline':>15} {'time':>13} {'ratio':>7}")
    for op, ours, base_name, base in rows:
        print(f"{op:44} {fmt(ours)} {base_name:>15} {fmt(base)} {ours / base:7.3f}")


if __name__ == "__main__":
    main()
