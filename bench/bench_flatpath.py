"""Flattening and rebuilding a ~100,000-leaf document: the C++ module against
the plain-Python version of the same algorithms, measured in one run.

    PYTHONPATH=build/stage-flatpath .venv/bin/python bench/bench_flatpath.py
"""

import importlib.util
import pathlib
import statistics
import sys
import timeit
import tracemalloc

from dravix.datastructures import flatpath

HERE = pathlib.Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("flatpath_baseline", HERE / "baseline" / "flatpath.py")
baseline = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(baseline)


def document(services=10_000):
    """A service catalogue: ten leaves per service, nested dicts, lists and tuples."""
    return {
        "catalogue": {
            f"svc-{i:05d}": {
                "name": f"service {i}",
                "owner": {"team": f"team-{i % 40}", "oncall": [f"user{i % 7}", f"user{i % 11}"]},
                "endpoints": [{"port": 8000 + i % 100, "tls": bool(i % 2)}],
                "limits": (i % 4 + 1, 512 * (i % 8 + 1)),
                "tags": [],
            }
            for i in range(services)
        },
        "version": 3,
    }


def median_times(ours, theirs, repeat=7):
    """Runs the two alternately (the machine is shared and its load drifts), after a
    warm-up of each, and gives the median time of each."""
    ours(), theirs()
    a, b = [], []
    for _ in range(repeat):
        a.append(timeit.timeit(ours, number=1))
        b.append(timeit.timeit(theirs, number=1))
    return statistics.median(a), statistics.median(b)


def peak_bytes(func):
    tracemalloc.start()
    func()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def main():
    doc = document()
    ours_flat = flatpath.FlatPath(doc)
    base_flat = baseline.FlatPath(doc)
    leaves = len(ours_flat)
    assert leaves == len(base_flat)
    assert ours_flat.reconstruct() == doc == base_flat.reconstruct()

    rows = [
        ("FlatPath(d)", lambda: flatpath.FlatPath(doc), lambda: baseline.FlatPath(doc)),
        ("reconstruct()", ours_flat.reconstruct, base_flat.reconstruct),
        (
            "iterate __flatten__",
            lambda: sum(1 for _ in flatpath.FlatPath.__flatten__(doc)),
            lambda: sum(1 for _ in baseline.FlatPath.__flatten__(doc)),
        ),
    ]
    print(f"document: {leaves} leaves; median of 7 alternating runs after a warm-up (Python {sys.version.split()[0]})")
    print(f"{'operation':<22}{'ours ms':>10}{'python ms':>11}{'ours/python':>13}{'speed-up':>10}")
    for name, ours, theirs in rows:
        a, b = median_times(ours, theirs)
        print(f"{name:<22}{a * 1e3:>10.2f}{b * 1e3:>11.2f}{a / b:>13.3f}{b / a:>9.1f}x")

    lazy = peak_bytes(lambda: sum(1 for _ in flatpath.FlatPath.__flatten__(doc)))
    whole = peak_bytes(lambda: flatpath.FlatPath(doc))
    print(f"peak traced memory: lazy walk {lazy / 1e3:.1f} kB, whole list {whole / 1e3:.0f} kB")


if __name__ == "__main__":
    main()
