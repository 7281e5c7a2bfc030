"""RankMap against collections.OrderedDict, dict and the plain-Python baseline.

Run:  PYTHONPATH=build/stage-rankmap .venv/bin/python bench/bench_rankmap.py [--full]

Each figure is the median of several timeit repeats after a warm-up, in
nanoseconds per operation (timeit's own loop included, alike for all);
ratios are ours / baseline from the same run.
The plain-Python baseline scans its order list on every new key, so building
100,000 keys with it takes minutes; it is timed at 10,000 keys unless --full
is given (then also once, without warm-up, at 100,000).
"""

import pathlib
import statistics
import sys
import timeit
from collections import OrderedDict

from dravix.datastructures.rankmap import RankMap

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "baseline"))
import rankmap as baseline  # noqa: E402

IMPLS = {"ours": RankMap, "dict": dict, "OrderedDict": OrderedDict, "python": baseline.RankMap}
SIZE = 1_000
KEYS = [f"key{i}" for i in range(SIZE)]
FRESH = [f"new{i}" for i in range(SIZE)]
REPEAT = 7


def measure_all(cases, number, ops_per_run, repeat=REPEAT):
    """cases: {impl: (stmt, setup, namespace)}. The implementations are timed
    in turn within each repeat, so a change of load on the machine touches
    them all alike. Returns {impl: median ns per operation}."""
    timers = {name: timeit.Timer(stmt, setup, globals=ns) for name, (stmt, setup, ns) in cases.items()}
    for timer in timers.values():
        timer.timeit(number)  # warm-up
    runs = {name: [] for name in timers}
    for _ in range(repeat):
        for name, timer in timers.items():
            runs[name].append(timer.timeit(number))
    return {name: statistics.median(times) / (number * ops_per_run) * 1e9 for name, times in runs.items()}


def filled(cls, keys=KEYS):
    return cls((k, i) for i, k in enumerate(keys))


def move_stmt(name):
    if name in ("ours", "python"):
        return "for k in keys: m.move(k, 0)"
    if name == "OrderedDict":
        return "for k in keys: m.move_to_end(k, last=False)"
    return None  # a dict cannot move keys


def run(full):
    rows = []  # (operation, {impl: ns})

    def row(label, results):
        rows.append((label, results))
        print(f"  measured {label}", file=sys.stderr)

    middle = KEYS[SIZE // 2]
    row("m[k] (1,000 keys)", measure_all(
        {name: ("m[k]", "", {"m": filled(cls), "k": middle}) for name, cls in IMPLS.items()}, 200_000, 1))
    row("m[k] = v, existing key", measure_all(
        {name: ("m[k] = 1", "", {"m": filled(cls), "k": middle}) for name, cls in IMPLS.items()}, 200_000, 1))
    row("m[k] = v, new key (into empty, 1,000)", measure_all(
        {name: ("for k in keys: m[k] = 0", "m = cls()", {"cls": cls, "keys": FRESH}) for name, cls in IMPLS.items()},
        1, SIZE, repeat=25))
    row("iteration, per key (1,000 keys)", measure_all(
        {name: ("for k in m: pass", "", {"m": filled(cls)}) for name, cls in IMPLS.items()}, 200, SIZE))
    row("move to front (1,000 keys)", measure_all(
        {name: (move_stmt(name), "m = filled(cls)", {"cls": cls, "keys": KEYS, "filled": filled})
         for name, cls in IMPLS.items() if move_stmt(name)}, 1, SIZE, repeat=15))
    big = [(f"key{i}", i) for i in range(100_000)]
    results = measure_all(
        {name: ("cls(pairs)", "", {"cls": cls, "pairs": big}) for name, cls in IMPLS.items() if name != "python"},
        1, len(big), repeat=5)
    if full:  # minutes per run: timed once, without a warm-up
        results["python"] = timeit.timeit(lambda: baseline.RankMap(big), number=1) / len(big) * 1e9
    row("build from 100,000 pairs, per key", results)
    small = big[:10_000]
    row("build from 10,000 pairs, per key", measure_all(
        {name: ("cls(pairs)", "", {"cls": cls, "pairs": small}) for name, cls in IMPLS.items()}, 1, len(small),
        repeat=5))
    return rows


def ratio(rows_value, base):
    return f"{rows_value / base:.2f}" if base else "-"


def main():
    full = "--full" in sys.argv
    rows = run(full)
    header = f"{'operation':42} {'ours ns':>9} {'dict':>8} {'OrdDict':>8} {'python':>9}  {'/dict':>6} {'/OrdDict':>8} {'/python':>8}"
    print(header)
    print("-" * len(header))
    for label, r in rows:
        ours = r["ours"]
        cells = [f"{r[name]:8.1f}" if name in r else f"{'-':>8}" for name in ("dict", "OrderedDict")]
        py = f"{r['python']:9.1f}" if "python" in r else f"{'-':>9}"
        print(
            f"{label:42} {ours:9.1f} {cells[0]} {cells[1]} {py}  "
            f"{ratio(ours, r.get('dict')):>6} {ratio(ours, r.get('OrderedDict')):>8} {ratio(ours, r.get('python')):>8}"
        )


if __name__ == "__main__":
    main()
