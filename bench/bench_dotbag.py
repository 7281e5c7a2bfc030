"""Benchmark of dravix.datastructures.dotbag against its plain-Python transcription
and against the plain dict operations the features wrap, all measured in one run.

    PYTHONPATH=build/stage-dotbag .venv/bin/python bench/bench_dotbag.py

Ratios are ours / baseline: below 1 means ours is faster.
"""
import importlib.util
import pathlib
import statistics
import timeit

from dravix.datastructures.dotbag import DotBag, NestedDotBag

_spec = importlib.util.spec_from_file_location(
    "baseline_dotbag", pathlib.Path(__file__).resolve().parent / "baseline" / "dotbag.py"
)
ref = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ref)

REPEATS = 7


def medians_ns(stmts, env, number, gc_on=False):
    """Median ns per execution of each statement; the repeats are interleaved so
    that drift in the machine's speed touches every statement alike. gc_on keeps
    the cyclic collector running (timeit turns it off), for statements that make
    self-referencing objects: without it their garbage is never reused."""
    setup = "import gc; gc.enable()" if gc_on else "pass"
    timers = [timeit.Timer(stmt, setup=setup, globals=env) for stmt in stmts]
    for t in timers:
        t.timeit(max(1, number // 10))  # warm-up (and specialisation of the bytecode)
    runs = [[] for _ in timers]
    for _ in range(REPEATS):
        for t, out in zip(timers, runs):
            out.append(t.timeit(number) / number * 1e9)
    return [statistics.median(r) for r in runs]


def nested_tree(leaves_per_level=10, depth=4):
    """leaves_per_level ** depth leaves (10,000 by default)."""
    if depth == 1:
        return {"k%d" % i: i for i in range(leaves_per_level)}
    return {"k%d" % i: nested_tree(leaves_per_level, depth - 1) for i in range(leaves_per_level)}


def rebuild(d):
    return {k: rebuild(v) if isinstance(v, dict) else v for k, v in d.items()}


def main():
    data = {"a": {"b": {"c": 1}}, "x": 1}
    env = {
        "ours": NestedDotBag(data),
        "theirs": ref.NestedDotBag(data),
        "bag": DotBag(a=1),
        "refbag": ref.DotBag(a=1),
        "d": {"a": {"b": {"c": 1}}},
        "tree": nested_tree(),
        "NestedDotBag": NestedDotBag,
        "DotBag": DotBag,
        "RefDotBag": ref.DotBag,
        "RefNested": ref.NestedDotBag,
        "rebuild": rebuild,
    }
    fast = 200_000
    rows = []

    def row(name, ours_stmt, baselines, number, gc_on=False):
        times = medians_ns([ours_stmt] + [stmt for _, stmt in baselines], env, number, gc_on)
        rows.append((name, times[0], [(label, t) for (label, _), t in zip(baselines, times[1:])]))

    row("DotBag obj.a", "bag.a", [("py dict-subclass", "refbag.a")], fast * 4)
    row("NestedDotBag obj.x", "ours.x", [("py dict-subclass", "theirs.x")], fast * 4)
    three = ("3 dict subscripts", "d['a']['b']['c']")
    row("obj['a.b.c']", "ours['a.b.c']", [("transcription", "theirs['a.b.c']"), three], fast)
    row("'a.b.c' in obj", "'a.b.c' in ours",
        [("transcription", "'a.b.c' in theirs"), three, ("dict 'c' in d[a][b]", "'c' in d['a']['b']")], fast)
    row("obj['a.b.c'] = v", "ours['a.b.c'] = 2",
        [("transcription", "theirs['a.b.c'] = 2"), three, ("dict d[a][b][c] = v", "d['a']['b']['c'] = 2")], fast)
    row("DotBag(a=1, b=2)", "DotBag(a=1, b=2)", [("transcription", "RefDotBag(a=1, b=2)")], fast // 2, True)
    row("NestedDotBag(10k leaves)", "NestedDotBag(tree)",
        [("transcription", "RefNested(tree)"), ("py dict rebuild", "rebuild(tree)")], 10, True)

    print("%-26s %12s   %s" % ("operation", "ours ns/op", "baseline: ns/op (ratio ours/baseline)"))
    for name, ours, cells in rows:
        text = "; ".join("%s %.1f (%.2f)" % (label, ns, ours / ns) for label, ns in cells)
        print("%-26s %12.1f   %s" % (name, ours, text))


if __name__ == "__main__":
    main()
