"""The instruction-count run behind `make bench-instr`: every per-operation and
per-element row of bench/bench_*.py under valgrind's callgrind (bench/instr.py),
for ours, the plain-Python transcription, the same compiled with Cython, the
floor and the peers that are cheap to run.

    PYTHONPATH=build/stage-<modules>-release .venv/bin/python bench/run_instr.py \
        [--only SECTION,...] [--compare OLD.json] [--timed BENCH.json] [--json PATH | --no-json]

Counts are instructions per unit (an operation, or one element of a
per-element row), each the difference between a run of k and of 2k loop passes
in a fresh interpreter (PYTHONHASHSEED=0, collector off unless the row makes
cycles), so they repeat to a fraction of a percent for the same build. Every
count includes the loop's own step (printed in the header), alike for all
columns. ratio = ours / column: below 1, ours executes fewer instructions.
Each section runs in an interpreter of its own, so --only gives the counts a
full run gives.

The results are written to bench/results/instr-<UTC time>.json; --compare
prints each row's change against such a file, --timed the timed ratios of a
`make bench` result file (bench/results/bench-*.json) under each row.
"""

import argparse
import datetime
import importlib
import json
import os
import pathlib
import platform
import subprocess
import sys
import time

import baselines
import cases
import instr

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
ROOT = RESULTS.parent.parent
SLACK = 0.03  # a row more than 3 % above the earlier count is flagged by --compare


def check_staged(sections):
    """Fails early when a measured module is missing, or (with PYTHONPATH set,
    as the bench targets set it) comes from somewhere else than the staged
    release build, e.g. the installed development build."""
    stage = [pathlib.Path(p).resolve() for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    for section in sections:
        module = importlib.import_module(f"dravix.datastructures.{section}")
        where = pathlib.Path(module.__file__).resolve()
        if stage and not any(where.is_relative_to(p) for p in stage):
            sys.exit(f"{module.__name__} comes from {where}, not from PYTHONPATH: build and stage it first")


def progress(text):
    print(f"  [{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


def default_k(ops):
    """Loop passes of the k run: 200 for single operations, fewer for rows
    whose statement walks many elements (2,000 elements at least)."""
    return max(2, 200 // ops)


def measure(sections):
    """[(row, {candidate: instructions per unit})], loop step per section."""
    out, loops = [], {}
    for section in sections:
        rows = cases.rows([section], "instr")
        if not rows:
            continue
        batch = []
        for row in rows:
            ops = row.units("instr")
            for key in row.chosen("instr"):
                k = row.k_plain if key in ("plain", "compiled") and row.k_plain else row.k
                batch.append(instr.Case(f"{row.key}|{key}", row.stmt(key, "instr"), row.setup(key, "instr"),
                                        ops=ops, gc=row.gc, k=k or default_k(ops)))
        progress(f"{section}: {len(rows)} rows, {len(batch)} candidates under callgrind")
        counts, loops[section] = instr.count(batch, paths=[instr.HERE])
        for row in rows:
            out.append((row, {key: counts[f"{row.key}|{key}"] for key in row.chosen("instr")}))
    return out, loops


def fmt(value):
    return "-" if value is None else f"{value:,.0f}"


def ratio(a, b):
    return None if a is None or not b else a / b


def fmt_ratio(r):
    return "" if r is None else f"{r:.2f}"


def print_table(results, timed=None):
    """timed: {row key: {candidate: timed ratio ours / candidate}} from a `make bench` JSON file."""
    cols = (f"{'row':<58} {'unit':<7} {'ours':>8} {'plain':>8} {'compiled':>9} {'floor':>8} "
            f"{'ours/pl':>7} {'ours/cp':>7} {'ours/fl':>7}  target")
    print(cols)
    print("-" * len(cols))
    section = None
    above, missed, held = [], [], 0
    for row, counts in results:
        if section is not None and row.section != section:
            print()
        section = row.section
        ours, plain, comp = counts.get("ours"), counts.get("plain"), counts.get("compiled")
        floor = counts.get(row.floor)
        marks = []
        for key, (limit, text) in row.instr_targets.items():
            r = ratio(ours, counts.get(key))
            ok = r is not None and r <= limit
            held += ok
            if not ok:
                missed.append((row, key, r, text))
            marks.append(f"vs {'floor' if key == row.floor else key} {text}: {'yes' if ok else 'NO'}")
        r_comp = ratio(ours, comp)
        if r_comp is not None and r_comp > 1:
            above.append((row, r_comp))
        print(f"{row.title('instr')[:58]:<58} {row.unit:<7} {fmt(ours):>8} {fmt(plain):>8} {fmt(comp):>9} "
              f"{fmt(floor):>8} {fmt_ratio(ratio(ours, plain)):>7} {fmt_ratio(r_comp):>7} "
              f"{fmt_ratio(ratio(ours, floor)):>7}  {'; '.join(marks)}")
        if floor is not None:
            print(f"    floor: {row.label(row.floor).removeprefix('floor: ')}")
        if timed and row.key in timed:
            names = {"plain": "ours/pl", "compiled": "ours/cp", row.floor: "ours/fl"}
            cells = [f"{names[k]} {timed[row.key][k]:.2f}" for k in names if k in timed[row.key]]
            print(f"    timed in make bench: {', '.join(cells) or '-'}")
        for key, value in counts.items():
            if key in cases.KINDS or key == row.floor:
                continue
            print(f"    {row.label(key):<76} {fmt(value):>8}  ours/it {fmt_ratio(ratio(ours, value))}")
    total = held + len(missed)
    print(f"\ntargets held: {held} of {total}")
    for row, key, r, text in missed:
        print(f"  missed: {row.title('instr')} vs {row.label(key)}: {fmt_ratio(r)}, target {text}")
    print(f"rows where ours executes more instructions than the Cython-compiled transcription: {len(above)}")
    for row, r in above:
        print(f"  {row.title('instr')}: ours/compiled {r:.3f}")


def compare(results, path):
    """Each row's change against an earlier run's JSON file."""
    old = {r["key"]: r for r in json.loads(pathlib.Path(path).read_text())["rows"]}
    print(f"\nchange against {path} ({SLACK:.0%} above an earlier count is flagged)")
    print(f"{'row':<58} {'ours then':>10} {'ours now':>10} {'change':>8} {'plain':>8} {'compiled':>9}")
    flagged = []
    for row, counts in results:
        then = old.get(row.key)
        if then is None:
            print(f"{row.title('instr')[:58]:<58} (new row)")
            continue

        def change(key):
            a, b = then["counts"].get(key), counts.get(key)
            return None if a is None or b is None or not a else b / a - 1

        c = change("ours")
        mark = "  ABOVE" if c is not None and c > SLACK else ""
        if mark:
            flagged.append(row)
        cells = [f"{change(k):+.1%}" if change(k) is not None else "-" for k in ("ours", "plain", "compiled")]
        print(f"{row.title('instr')[:58]:<58} {fmt(then['counts'].get('ours')):>10} {fmt(counts.get('ours')):>10} "
              f"{cells[0]:>8} {cells[1]:>8} {cells[2]:>9}{mark}")
    print(f"rows of ours more than {SLACK:.0%} above the earlier count: {len(flagged)}"
          + "".join(f"\n  {row.title('instr')}" for row in flagged))


def git_head():
    done = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True)
    return done.stdout.strip() or None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", default="", help="comma-separated sections: " + ",".join(cases.SECTIONS))
    ap.add_argument("--compare", metavar="OLD.json", help="print each row's change against an earlier run")
    ap.add_argument("--timed", metavar="BENCH.json", help="print the timed ratios of a `make bench` run beside")
    ap.add_argument("--json", metavar="PATH", help="write the results here instead of bench/results/")
    ap.add_argument("--no-json", action="store_true", help="write no results file")
    args = ap.parse_args()
    chosen = [s for s in args.only.split(",") if s] or cases.SECTIONS
    unknown = set(chosen) - set(cases.SECTIONS)
    if unknown:
        ap.error(f"unknown sections: {', '.join(sorted(unknown))}")

    started = time.perf_counter()
    os.environ["DRAVIX_BENCH_COMPILED"] = str(baselines.build_compiled(progress))
    check_staged(chosen)

    results, loops = measure([s for s in cases.SECTIONS if s in chosen])
    elapsed = time.perf_counter() - started
    steps = sorted({round(v) for v in loops.values()})
    print(f"dravix-datastructures instruction counts: Python {platform.python_version()} on {platform.machine()}, "
          f"harness at commit {git_head()}, extensions from {os.environ.get('PYTHONPATH', '')}, {elapsed:.0f} s\n"
          f"instructions per unit under callgrind (PYTHONHASHSEED=0); every count includes the loop's own step of "
          f"{'/'.join(map(str, steps))} instructions;\nratio = ours / column (below 1: ours executes fewer); "
          f"plain = the transcription in bench/baseline/, compiled = the same built with Cython\n")
    timed = None
    if args.timed:
        timed = {r["key"]: r["ratios"] for r in json.loads(pathlib.Path(args.timed).read_text())["rows"]}
    print_table(results, timed)
    if args.compare:
        compare(results, args.compare)

    if not args.no_json:
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
        path = pathlib.Path(args.json) if args.json else RESULTS / f"instr-{stamp}.json"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps({
            "time_utc": stamp, "python": sys.version, "platform": platform.platform(), "harness_commit": git_head(),
            "extensions": os.environ.get("PYTHONPATH", ""), "elapsed_s": elapsed, "loop_step": loops,
            "rows": [dict(key=row.key, section=row.section, op=row.title("instr"), unit=row.unit, floor=row.floor,
                          labels={k: row.label(k) for k in counts}, counts=counts,
                          targets={k: text for k, (_, text) in row.instr_targets.items()})
                     for row, counts in results],
        }, indent=1) + "\n")
        print(f"\nresults written to {path}")


if __name__ == "__main__":
    main()
