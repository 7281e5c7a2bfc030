"""The timed benchmark run behind `make bench`: every row of bench/bench_*.py
against its baselines, all measured in this run, then memory figures and the
scale section.

    PYTHONPATH=build/stage-<modules>-release .venv/bin/python bench/run.py [--only SECTION,...] [--no-json]

Columns: ours; the plain-Python transcription in bench/baseline/ ("plain");
the same transcription compiled with Cython, unchanged ("compiled"); below a
row, the floor (the plain dict/list/attribute operation a feature wraps) and
the peer libraries of the optional `bench` dependency group (addict, munch,
python-box, omegaconf, flatten-dict, anytree).

Each time is the median per unit (an operation, or one element of a
per-element row) of several samples after a warm-up; the candidates of one row
are sampled in turn inside each repeat. Statement timings include timeit's own
loop step (printed in the header), alike for all candidates. ratio = ours /
candidate, below 1 when ours is faster: the median over the rounds of the ratio
of the two samples taken in the same round (the columns of times are plain
medians, so their quotient may differ a little). A target is a bound on that
ratio, or on a time. Instruction counts, which hold still where times move by
tens of percent on a shared machine, come from bench/run_instr.py
(`make bench-instr`); the scale section counts its own under callgrind.

The results are also written to bench/results/bench-<UTC time>.json.
"""

import argparse
import datetime
import gc
import json
import os
import platform
import shutil
import sys
import time
from collections import OrderedDict

import baselines
import cases
import harness
import instr

RESULTS = harness.HERE / "results"
SECTIONS = [*cases.SECTIONS, "memory", "scale"]


def progress(text):
    print(f"  [{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


# --------------------------------------------------------------------------- rows
def measure_row(row):
    """{candidate: median seconds per unit} and {candidate: ratio ours / candidate}."""
    size = row.size("timed")
    timers = {}
    for key in row.chosen("timed"):
        ns = {"__name__": "__bench__"}
        exec(row.setup(key, "timed"), ns)
        timers[key] = harness.Case(row.stmt(key, "timed"), ns, setup=row.each.replace("{n}", str(size)),
                                   ops=row.units("timed"))
    if row.check:
        values = [eval(row.check, timers[k].env) for k in cases.KINDS if k in timers]
        if any(v != values[0] for v in values[1:]):
            raise AssertionError(f"{row.key}: ours, plain and compiled disagree on {row.check}")
    r = harness.measure(timers, repeat=row.repeat, number=row.number, min_time=row.min_time, gc_on=row.gc,
                        collect=row.collect)
    return dict(r), {key: r.ratio("ours", key) for key in timers if key != "ours"}


def print_rows(results):
    cols = (f"{'operation':<56} {'unit':<6} {'ours':>11} {'plain':>11} {'ours/pl':>7} {'compiled':>11} "
            f"{'ours/cp':>7}  target (vs plain)")
    print(cols)
    print("-" * len(cols))
    section, held, missed = None, 0, []
    for row, times, ratios in results:
        if section is not None and row.section != section:
            print()
        section = row.section

        def target(key):
            nonlocal held
            if key not in row.targets:
                return ""
            limit, text = row.targets[key]
            ok = ratios[key] <= limit
            held += ok
            if not ok:
                missed.append((row, key, ratios[key], text))
            return f"{text}: {'yes' if ok else 'NO'}"

        def cell(key):
            return harness.fmt_time(times[key]) if key in times else "-"

        def rat(key):
            return f"{ratios[key]:.3f}" if key in ratios else "-"

        print(f"{row.title('timed')[:56]:<56} {row.unit:<6} {cell('ours'):>11} {cell('plain'):>11} "
              f"{rat('plain'):>7} {cell('compiled'):>11} {rat('compiled'):>7}  {target('plain')}")
        for key in times:
            if key not in cases.KINDS:
                print(f"    vs {row.label(key)[:50]:<50} {'':<6} {'':>11} {cell(key):>11} {rat(key):>7}  "
                      f"{target(key)}")
    return held, missed


# --------------------------------------------------------------------------- memory
def section_memory(t):
    import addict
    import box
    import flatten_dict
    import munch

    from bench_flatpath import document, flatten_dict_args
    from bench_rankmap import keys

    progress("memory")
    count = 10_000
    ten = {f"k{i}": i for i in range(10)}
    dotbag = {kind: baselines.impl("dotbag", kind) for kind in cases.KINDS}
    for label, cls in (("DotBag", dotbag["ours"].DotBag), ("dict", dict),
                       ("DotBag transcription", dotbag["plain"].DotBag),
                       ("DotBag transcription, compiled", dotbag["compiled"].DotBag),
                       ("addict.Dict", addict.Dict), ("munch.Munch", munch.Munch), ("box.Box", box.Box)):
        t.append(("bytes per instance, empty", label, harness.bytes_per_instance(lambda i: cls(), count)))
        t.append(("bytes per instance, 10 entries", label, harness.bytes_per_instance(lambda i: cls(ten), count)))

    rankmap = {kind: baselines.impl("rankmap", kind) for kind in cases.KINDS}
    kinds = (("RankMap", rankmap["ours"].RankMap), ("OrderedDict", OrderedDict), ("dict", dict))
    for label, cls in kinds:
        t.append(("bytes per instance, empty", label, harness.bytes_per_instance(lambda i: cls(), count)))
    for size in (100_000, 10_000):
        pairs = [(k, i) for i, k in enumerate(keys(size))]
        chosen = kinds + ((("RankMap transcription", rankmap["plain"].RankMap),) if size == 10_000 else ())
        for label, cls in chosen:
            t.append((f"bytes per key, {size:,} keys", label, harness.held_bytes(lambda: cls(pairs)) / size))

    doc = document()
    flatpath = {kind: baselines.impl("flatpath", kind) for kind in cases.KINDS}
    what = f"peak bytes, flattening {len(flatpath['ours'].FlatPath(doc)):,} leaves"
    ours = flatpath["ours"].FlatPath
    t.append((what, "FlatPath.__flatten__, lazy", harness.peak_bytes(lambda: sum(1 for _ in ours.__flatten__(doc)))))
    t.append((what, "FlatPath(d), whole list", harness.peak_bytes(lambda: ours(doc))))
    plain = flatpath["plain"].FlatPath
    t.append((what, "transcription generators, lazy",
              harness.peak_bytes(lambda: sum(1 for _ in plain.__flatten__(doc)))))
    t.append((what, "flatten_dict.flatten, whole dict",
              harness.peak_bytes(lambda: flatten_dict.flatten(doc, **flatten_dict_args()))))


# --------------------------------------------------------------------------- scale
# Each item: set-up; `each`, run before every run of the operation (outside
# what is measured); the operation, run once (its result dropped inside it, as
# a statement drops it); the object whose traced bytes are counted, after
# `mem`; the number of elements. Instructions are counted under callgrind, one
# run between two dumps; FlatPath(d) hands its result on to the reconstruct()
# that follows it (chain).
OURS = "from baselines import impl\n"
SCALE = []
for exp in (4, 6):
    n = 10 ** exp
    SCALE += [
        dict(key=f"flatpath.new.1e{exp}", label=f"FlatPath(d), {n:,} leaves", unit="leaf", units=n,
             setup=OURS + f"from bench_flatpath import document\ndoc = document({(n - 1) // 9})\n"
                          "FlatPath = impl('flatpath', 'ours').FlatPath\nkeep = {}",
             each="keep.clear()", stmt="keep['flat'] = FlatPath(doc)", obj="FlatPath(doc)", chain=True),
        dict(key=f"flatpath.reconstruct.1e{exp}", label=f"reconstruct(), {n:,} leaves", unit="leaf", units=n,
             setup="flat = keep.pop('flat')", stmt="flat.reconstruct()", obj="flat.reconstruct()"),
    ]
SCALE += [
    dict(key="dotbag.nested_new.1e6", label="NestedDotBag(nested), 1,000,000 leaves", unit="leaf", units=10 ** 6,
         setup=OURS + "from bench_dotbag import nested_tree\ntree = nested_tree(10, 6)\n"
                      "cls = impl('dotbag', 'ours').NestedDotBag", stmt="cls(tree)", obj="cls(tree)", gc=True),
    dict(key="configuration.new.1e6", label="Configuration(nested), 1,000,000 leaves", unit="leaf", units=10 ** 6,
         setup=OURS + "from bench_configuration import nested_data\ndata = nested_data(10_000)\n"
                      "cls = impl('configuration', 'ours').Configuration", stmt="cls(data)", obj="cls(data)", gc=True),
    dict(key="rankmap.set_new.1e6", label="RankMap filled by m[k] = v, 1,000,000 keys", unit="key", units=10 ** 6,
         setup=OURS + "from bench_rankmap import keys, filled\nfresh = keys(10 ** 6)\n"
                      "cls = impl('rankmap', 'ours').RankMap",
         stmt="m = cls()\nfor k in fresh: m[k] = 0", obj="filled(cls, fresh)"),
]
# In order and shuffled, reclamation is quadratic (see print_scale): timed
# only, since its count per member says nothing and takes long under callgrind.
for order, exp in (("in reverse", 6), ("in reverse", 5), ("in order", 5), ("shuffled", 5)):
    SCALE.append(dict(
        key=f"ghostseq.reclaim_{order.replace(' ', '_')}.1e{exp}", unit="member", units=10 ** exp,
        label=f"GhostSeq reclaim {10 ** exp:,} at once, {order}", budget=1.0 if exp == 5 else None,
        count=order == "in reverse",
        setup=OURS + "from bench_ghostseq import doomed, make_members\ncls = impl('ghostseq', 'ours').GhostSeq",
        each=f"holder, s = doomed(cls, {10 ** exp}, {order!r})", stmt="holder.clear()",
        mem=f"members = make_members({10 ** exp})", obj="cls(members)"))


def _compiled(code, ns, name):
    exec(f"def {name}():\n" + "".join(f"    {line}\n" for line in code.splitlines()), ns)
    return ns.pop(name)


def section_scale(t, count_instructions):
    """Time, instructions and traced bytes per element of the SCALE items."""
    counts = {}
    if count_instructions:
        progress(f"scale: {len(SCALE)} operations counted under callgrind (a few minutes)")
        batch = [instr.Case(item["key"], item["stmt"], item["setup"] + "\n" + item.get("each", ""),
                            ops=item["units"], gc=item.get("gc", False), once=True, keep=item.get("chain", False))
                 for item in SCALE if item.get("count", True)]
        counts, _ = instr.count(batch, paths=[instr.HERE])
    ns = {}
    for item in SCALE:
        progress(f"scale: {item['label']}")
        exec(item["setup"], ns)
        # The globals of the set-up: `each` assigns there, the operation reads there.
        each = compile(item.get("each", "pass"), "<each>", "exec")
        run = _compiled(item["stmt"], ns, "_run")
        samples = []
        for _ in range(5 if item["units"] < 10 ** 6 else 1):
            exec(each, ns)
            gc.collect()
            if not item.get("gc"):
                gc.disable()
            start = time.perf_counter()
            run()
            samples.append(time.perf_counter() - start)
            gc.enable()
        seconds = sorted(samples)[len(samples) // 2]
        exec(item.get("mem", "pass"), ns)
        held = harness.held_bytes(lambda: eval(item["obj"], ns))
        t.append(dict(key=item["key"], label=item["label"], unit=item["unit"], units=item["units"], seconds=seconds,
                      per_unit_s=seconds / item["units"], instructions=counts.get(item["key"]),
                      bytes_per_unit=held / item["units"], budget=item.get("budget")))
        if not item.get("chain"):
            ns.clear()
        gc.collect()


def print_scale(scale):
    print("\nscale (ours; one run of each operation; per element: time, instructions, traced bytes held by the result;"
          "\nFlatPath(d) keeps its list for the reconstruct() below it, so its figures leave out freeing the list)")
    cols = f"{'operation':<50} {'unit':<7} {'total':>11} {'per unit':>11} {'instr/unit':>11} {'bytes/unit':>11}  target"
    print(cols)
    print("-" * len(cols))
    for s in scale:
        budget = ""
        if s["budget"] is not None:
            budget = f"< {s['budget']:g} s: {'yes' if s['seconds'] < s['budget'] else 'NO'}"
        count = "-" if s["instructions"] is None else f"{s['instructions']:,.0f}"
        print(f"{s['label'][:50]:<50} {s['unit']:<7} {harness.fmt_time(s['seconds']):>11} "
              f"{harness.fmt_time(s['per_unit_s']):>11} {count:>11} {s['bytes_per_unit']:>11,.0f}  {budget}")
    print("GhostSeq reclamation in order or shuffled is quadratic in the number of members: every removal moves "
          "the entries behind it in the list the class exposes (`data`).")


# --------------------------------------------------------------------------- main
def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="", help="comma-separated sections: " + ",".join(SECTIONS))
    parser.add_argument("--no-json", action="store_true", help="do not write bench/results/*.json")
    args = parser.parse_args()
    chosen = [s for s in args.only.split(",") if s] or SECTIONS
    unknown = set(chosen) - set(SECTIONS)
    if unknown:
        parser.error(f"unknown sections: {', '.join(sorted(unknown))}")

    started = time.perf_counter()
    load_start = os.getloadavg()
    os.environ["DRAVIX_BENCH_COMPILED"] = str(baselines.build_compiled(progress))
    loop = harness.loop_cost()
    results, memory, scale = [], [], []
    for section in SECTIONS:
        if section not in chosen:
            continue
        if section == "memory":
            section_memory(memory)
        elif section == "scale":
            section_scale(scale, count_instructions=shutil.which("valgrind") is not None)
        else:
            for row in cases.rows([section], "timed"):
                progress(row.title("timed"))
                results.append((row, *measure_row(row)))
        gc.collect()
    elapsed = time.perf_counter() - started
    load_end = os.getloadavg()

    print(f"dravix-datastructures benchmarks: Python {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} CPUs; load average {load_start[0]:.2f} at start, {load_end[0]:.2f} at end; "
          f"{elapsed:.0f} s\n"
          f"median time per unit; ratio = ours / candidate (below 1: ours faster), the median of the ratios of "
          f"samples taken in the same round;\nstatement times include timeit's loop step of {loop * 1e9:.1f} ns; "
          f"the machine is shared, so single figures are noisy: judge speed by `make bench-instr`\n")
    held, missed = print_rows(results)
    print(f"\ntargets met: {held} of {held + len(missed)}")
    for row, key, r, text in missed:
        print(f"  missed: {row.title('timed')} vs {row.label(key)}: ratio {r:.3f}, target {text}")
    if memory:
        print("\nmemory (tracemalloc)")
        for what, impl, value in memory:
            print(f"  {what:<44} {impl:<34} {harness.fmt_bytes(value):>12}")
    if scale:
        print_scale(scale)
    for note in dict.fromkeys(f"{row.section}: {row.note}" for row, _, _ in results if row.note):
        print("note:", note)
    print("\nnote: the cyclic collector is off while timing (timeit's default) except for the row 'DotBag(a=1, b=2), "
          "collector on' and the other constructions whose objects refer to themselves (NestedDotBag, Configuration "
          "and their peers, load_yamls).")

    if not args.no_json and chosen == SECTIONS:
        RESULTS.mkdir(exist_ok=True)
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
        path = RESULTS / f"bench-{stamp}.json"
        path.write_text(json.dumps({
            "time_utc": stamp, "python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(),
            "load_average_start": load_start, "load_average_end": load_end, "elapsed_s": elapsed,
            "timeit_loop_step_s": loop,
            "rows": [dict(key=row.key, section=row.section, operation=row.title("timed"), unit=row.unit,
                          labels={k: row.label(k) for k in times}, seconds_per_unit=times, ratios=ratios,
                          targets={k: text for k, (_, text) in row.targets.items()})
                     for row, times, ratios in results],
            "memory": [dict(what=w, impl=i, bytes=v) for w, i, v in memory], "scale": scale,
        }, indent=1) + "\n")
        print(f"\nresults written to {path.relative_to(harness.HERE.parent)}")


if __name__ == "__main__":
    main()
