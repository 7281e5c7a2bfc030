"""Speed of logic expressions and of logic_str against the plain-Python version.

Run:  PYTHONPATH=build/stage-<modules> .venv/bin/python bench/bench_logic.py

Every figure is the median of several timed rounds after a warm-up, all taken in this
one run, ours and the baseline in alternation; ratio = median over the rounds of
ours / baseline (below 1 means we are faster). The baseline's
logic_str evaluates its text with eval.
"""

import importlib.util
import pathlib
import statistics
import timeit

from dravix.datastructures import logic

HERE = pathlib.Path(__file__).resolve().parent
TEXT = "And(Or('a', 'b'), Not('c'))"


def load_baseline():
    spec = importlib.util.spec_from_file_location("baseline_logic", HERE / "baseline" / "logic.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def names(count=10_000):
    """Mixed names, about half of them selected by TEXT."""
    stems = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "theta", "kappa", "omicron", "sigma"]
    return [f"{stems[i % len(stems)]}_{i}" for i in range(count)]


def paired_times(ours, theirs, repeat, number):
    """Median time per operation of each, timed in alternation after a warm-up,
    and the median of the per-round ratios (steadier on a shared machine)."""
    ours()
    theirs()
    t_ours, t_base, ratios = [], [], []
    for _ in range(repeat):
        a = timeit.timeit(ours, number=number) / number
        b = timeit.timeit(theirs, number=number) / number
        t_ours.append(a)
        t_base.append(b)
        ratios.append(a / b)
    return statistics.median(t_ours), statistics.median(t_base), statistics.median(ratios)


def main():
    base = load_baseline()
    items = names()
    ours_expr, base_expr = logic.logic_str(TEXT), base.logic_str(TEXT)
    assert [n for n in items if ours_expr(n)] == [n for n in items if base_expr(n)]
    assert ours_expr(*items) is base_expr(*items)
    ours_slow_text = TEXT + "  # read by the interpreter's parser"

    rows = [
        ("call once per name, 10,000 names",
         lambda: [n for n in items if ours_expr(n)],
         lambda: [n for n in items if base_expr(n)], 15, 1),
        ("one call with all 10,000 names",
         lambda: ours_expr(*items), lambda: base_expr(*items), 15, 1),
        ("logic_str(%s)" % TEXT,
         lambda: logic.logic_str(TEXT), lambda: base.logic_str(TEXT), 7, 2000),
        ("logic_str, same text + comment (parser path)",
         lambda: logic.logic_str(ours_slow_text), lambda: base.logic_str(ours_slow_text), 7, 2000),
        ("str() of the expression",
         lambda: str(ours_expr), lambda: str(base_expr), 7, 20000),
    ]
    print(f"{'operation':<52} {'ours':>11} {'baseline':>11} {'ratio':>7}")
    for label, ours, theirs, repeat, number in rows:
        t_ours, t_base, ratio = paired_times(ours, theirs, repeat, number)
        print(f"{label:<52} {t_ours * 1e6:>9.2f}us {t_base * 1e6:>9.2f}us {ratio:>7.3f}")


if __name__ == "__main__":
    main()
