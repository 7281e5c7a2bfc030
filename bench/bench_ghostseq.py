"""GhostSeq against the plain-Python class and weakref.WeakSet.

Run:  PYTHONPATH=build/stage-ghostseq .venv/bin/python bench/bench_ghostseq.py [--full]

Figures are medians of several repeats after a warm-up, in nanoseconds per
operation (per member for iteration and reclamation); ratios are
ours / baseline from the same run. WeakSet is unordered and hashes its
members, so it is a reference point rather than a like-for-like rival.

Reclamation drops 100,000 members at once by clearing the one list that holds
them (a list lets go of its items last to first): "in reverse" drops the
GhostSeq's last entry first, "in order" its first entry first, "shuffled" in a
fixed random order. The plain class
finds each dead entry with list.remove, a scan from the front, so in reverse it
is quadratic in comparisons; it is timed up to 10,000 members unless --full is
given (then also once at 100,000, which takes several minutes).
"""

import gc
import pathlib
import random
import statistics
import sys
import time
import timeit
import weakref

from dravix.datastructures.ghostseq import GhostSeq

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "baseline"))
import ghostseq as baseline  # noqa: E402

REPEAT = 7


class Member:
    __slots__ = ("__weakref__", "v")

    def __init__(self, v):
        self.v = v


def measure_all(cases, number, ops, repeat=REPEAT):
    """cases: {impl: (stmt, setup, namespace)}, timed in turn within each repeat."""
    timers = {name: timeit.Timer(stmt, setup, globals=ns) for name, (stmt, setup, ns) in cases.items()}
    for timer in timers.values():
        timer.timeit(number)
    runs = {name: [] for name in timers}
    for _ in range(repeat):
        for name, timer in timers.items():
            runs[name].append(timer.timeit(number))
    return {name: statistics.median(t) / (number * ops) * 1e9 for name, t in runs.items()}


def reclaim_once(make, n, order):
    """Seconds to drop n members at once; make(members) builds the container."""
    members = [Member(i) for i in range(n)]
    container = make(members)
    if order == "in order":
        holder = members[::-1]
    elif order == "shuffled":
        holder = members[:]
        random.Random(7).shuffle(holder)
    else:
        holder = members
    del members
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        holder.clear()
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    assert len(container) == 0
    return elapsed


def reclaim(make, n, order, repeat):
    reclaim_once(make, min(n, 1000), order)
    return statistics.median(reclaim_once(make, n, order) for _ in range(repeat))


IMPLS = {"ours": GhostSeq, "python": baseline.GhostSeq, "WeakSet": weakref.WeakSet}

# The floor: the plain-list work each operation cannot avoid.
FLOOR = {
    "append": "s.append(weakref.ref(m, cb))",  # one weak reference with a callback, stored
    "iteration": "for x in members: pass",
    "in": "{probe} in members",
}


def run(full):
    rows = []
    size = 1000
    members = [Member(i) for i in range(size)]
    ns = {"members": members, "last": members[-1], "stranger": Member(-1), "ref": weakref.ref}
    for name, cls in IMPLS.items():
        ns[name] = cls
        ns["full_" + name] = cls(members)
    ns["cb"] = ns["full_ours"].remove

    # Appending: each repeat fills a fresh container with the 1,000 members and
    # then drops it, so no repeat pays for the entries of the one before.
    def fill(make, add):
        gc.collect()
        gc.disable()
        try:
            s = make()
            put = add(s)
            start = time.perf_counter()
            for m in members:
                put(m)
            elapsed = time.perf_counter() - start
        finally:
            gc.enable()
        del s, put
        return elapsed

    cb = ns["cb"]
    fills = {"ours": (GhostSeq, lambda s: s.append), "python": (baseline.GhostSeq, lambda s: s.append),
             "WeakSet": (weakref.WeakSet, lambda s: s.add),
             "floor": (list, lambda s: lambda m: s.append(weakref.ref(m, cb)))}
    times = {name: [] for name in fills}
    for name, (make, add) in fills.items():
        fill(make, add)  # warm-up
    for _ in range(3 * REPEAT):
        for name, (make, add) in fills.items():
            times[name].append(fill(make, add))
    rows.append(("append (per member)", {n: statistics.median(t) / size * 1e9 for n, t in times.items()}))
    cases = {n: (f"for x in full_{n}: pass", "", ns) for n in IMPLS}
    cases["floor"] = (FLOOR["iteration"], "", ns)
    rows.append(("iteration (per member)", measure_all(cases, 50, size)))
    for label, probe in (("`in`, found last (1,000)", "last"), ("`in`, absent (1,000)", "stranger")):
        cases = {n: (f"{probe} in full_{n}", "", ns) for n in IMPLS}
        cases["floor"] = (FLOOR["in"].format(probe=probe), "", ns)
        rows.append((label, measure_all(cases, 500, 1)))
    small = [Member(i) for i in range(10)]
    ns["small"] = small
    for name, cls in IMPLS.items():
        ns["small_" + name] = cls(small)
    cases = {n: (f"small[5] in small_{n}", "", ns) for n in IMPLS}
    cases["floor"] = ("small[5] in small", "", ns)
    rows.append(("`in`, found 6th of 10", measure_all(cases, 20000, 1)))

    big = 100_000
    plan = [("in reverse", 2_000, 3), ("in reverse", 10_000, 1), ("in reverse", big, 1 if full else 0),
            ("in order", big, 1), ("shuffled", big, 0)]
    for order, n, python_repeat in plan:
        repeat = 3 if order == "shuffled" else 5
        results = {"ours": reclaim(GhostSeq, n, order, repeat) / n * 1e9,
                   "WeakSet": reclaim(weakref.WeakSet, n, order, repeat) / n * 1e9}
        if python_repeat:
            results["python"] = reclaim(baseline.GhostSeq, n, order, python_repeat) / n * 1e9
        rows.append((f"reclaim {n:,} at once, {order} (per member)", results))

    cols = ["ours", "python", "WeakSet", "floor"]
    print(f"{'operation':<46}" + "".join(f"{c + ' ns':>12}" for c in cols)
          + f"{'ours/python':>13}{'ours/WeakSet':>14}{'ours/floor':>12}")
    for label, r in rows:
        ours = r["ours"]
        cells = "".join(f"{r[c]:>12.1f}" if c in r else f"{'-':>12}" for c in cols)
        ratios = "".join(f"{ours / r[c]:>{w}.3f}" if c in r else f"{'-':>{w}}"
                         for c, w in (("python", 13), ("WeakSet", 14), ("floor", 12)))
        print(f"{label:<46}{cells}{ratios}")
    for label, r in rows:
        if label.startswith("reclaim 100,000"):
            print(f"{label.replace(' (per member)', '')}: ours {r['ours'] * big / 1e9:.3f} s in total")


if __name__ == "__main__":
    run("--full" in sys.argv)
