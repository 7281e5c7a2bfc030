"""Instruction counts per operation under valgrind's callgrind.

Timed rows move by tens of percent on a shared machine; instruction counts of
the same binary, input and environment repeat to a fraction of a percent. Each
case runs its statement in a compiled loop k times and then 2k times, with a
time.sleep(0) call before, between and after; callgrind dumps its counters on
every entry of the interpreter's time_sleep function, so the two runs land in
separate dumps and (2k run - k run) / k is the cost of one pass of the loop,
free of everything around it (the sleep call, the function call, the set-up),
divided by the operations one statement performs. Like timeit's figures, a
count includes the loop's own step (the same for every candidate; count()
also reports it, as the cost of a loop whose body is `pass`).

    python bench/instr.py [--k K] --setup "from x import y; m = y()" "m[1]" ["m[2]" ...]

prints the instructions per operation of each statement. bench/run_instr.py
uses count() for the table behind `make bench-instr`. The interpreter runs with
PYTHONHASHSEED=0, fixed glibc malloc thresholds (see count()) and the cyclic
collector off (a collection would land in one
run and not the other), unless a case asks for it; every case starts after a
full collection.

A case with once=True is an operation too big to repeat (a million-leaf
flattening, the reclamation of a whole list): its statement runs a single time
between two dumps, after the set-up; the count, less that of an empty
statement measured the same way, is divided by ops.
"""

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass

HERE = pathlib.Path(__file__).resolve().parent


@dataclass
class Case:
    """stmt runs k and 2k times after setup, in a namespace of its own; ops is
    the number of operations (or elements) one run of stmt stands for; gc keeps
    the cyclic collector on; k overrides the default repeat count; once runs
    stmt a single time instead (see above); keep leaves the namespace to the
    next case, whose set-up then runs in it."""

    name: str
    stmt: str
    setup: str = "pass"
    ops: float = 1
    gc: bool = False
    k: int | None = None
    once: bool = False
    keep: bool = False


DRIVER = r'''
import gc, itertools, json, sys, time
sys.path[:0] = {paths!r}
cases = json.loads({cases!r})
sleep = time.sleep
if {toggle!r}:
    sys.path.insert(0, {toggle!r})
    from _callgrind import start, stop
else:
    start = stop = lambda: None
ns = {{"__name__": "__instr__"}}
for case in cases:
    exec(case["setup"], ns)
    gc.collect()
    if not case["gc"]:
        gc.disable()
    if case["once"]:
        body = "\n".join("    " + line for line in case["stmt"].splitlines())
        exec("def _once():\n" + body + "\n", ns)
        once = ns.pop("_once")
        start()
        sleep(0)
        once()
        sleep(0)
        stop()
    else:
        body = "\n".join("        " + line for line in case["stmt"].splitlines())
        ns["_repeat"] = itertools.repeat  # no int objects made for the loop's steps
        exec("def _run(_n):\n    for _ in _repeat(None, _n):\n" + body + "\n", ns)
        run = ns["_run"]
        k = case["k"]
        run(k)          # warm-up: the interpreter specialises the loop's code
        run(k)
        start()
        sleep(0)
        run(k)
        sleep(0)
        run(2 * k)
        sleep(0)
        stop()
    if not case["keep"]:
        ns.clear()
        ns["__name__"] = "__instr__"
    gc.enable()
'''


def _valgrind():
    tool = shutil.which("valgrind")
    if tool is None:
        sys.exit("valgrind is needed for instruction counts (Debian: apt-get install valgrind)")
    return tool


# Everything outside the measured runs (start-up, set-up, warm-up) runs with
# callgrind's instrumentation off, several times faster, when this helper
# builds (it needs valgrind's callgrind.h); without it everything is
# instrumented and the counts are the same.
TOGGLE_C = r"""
#include <Python.h>
#include <valgrind/callgrind.h>
static PyObject *start(PyObject *m, PyObject *a) { CALLGRIND_START_INSTRUMENTATION; Py_RETURN_NONE; }
static PyObject *stop(PyObject *m, PyObject *a) { CALLGRIND_STOP_INSTRUMENTATION; Py_RETURN_NONE; }
static PyMethodDef methods[] = {
    {"start", start, METH_NOARGS, NULL}, {"stop", stop, METH_NOARGS, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_callgrind", NULL, 0, methods};
PyMODINIT_FUNC PyInit__callgrind(void) { return PyModule_Create(&def); }
"""


def _toggle_helper():
    """The folder holding the _callgrind helper module, built if needed; None when it cannot be built."""
    import hashlib
    import shlex
    import sysconfig

    if not pathlib.Path("/usr/include/valgrind/callgrind.h").exists():
        return None
    digest = hashlib.sha256((TOGGLE_C + sys.version).encode()).hexdigest()[:16]
    folder = HERE.parent / "build" / "bench-callgrind" / digest
    target = folder / f"_callgrind{sysconfig.get_config_var('EXT_SUFFIX')}"
    if target.exists():
        return folder
    folder.mkdir(parents=True, exist_ok=True)
    source = folder / "_callgrind.c"
    source.write_text(TOGGLE_C)
    cfg = sysconfig.get_config_var
    cmd = [*shlex.split(cfg("CC")), *shlex.split(cfg("CFLAGS")), *shlex.split(cfg("CCSHARED")), "-shared",
           f"-I{sysconfig.get_paths()['include']}", str(source), "-o", f"{target}.tmp"]
    if subprocess.run(cmd, capture_output=True).returncode != 0:
        return None
    os.replace(f"{target}.tmp", target)
    return folder


def _totals(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("totals:", "summary:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def count(cases, k=200, python=None, paths=(), env=None):
    """({case name: instructions per operation}, instructions per pass of an
    empty loop) for a list of Case, all measured in one valgrind run."""
    python = python or sys.executable
    loop = Case("__loop__", "pass")
    empty = [Case("__once__", "pass", once=True)] if any(c.once for c in cases) else []
    all_cases = [*cases, *empty, loop]
    spec = [dict(setup=c.setup, stmt=c.stmt, k=c.k or k, gc=c.gc, once=c.once, keep=c.keep) for c in all_cases]
    toggle = _toggle_helper()
    driver = DRIVER.format(paths=[str(p) for p in paths], cases=json.dumps(spec), toggle=str(toggle or ""))
    run_env = dict(os.environ if env is None else env)
    run_env["PYTHONHASHSEED"] = "0"
    run_env.pop("PYTHONMALLOC", None)
    # glibc adapts its mmap threshold to the blocks freed so far and trims the
    # heap top when it can, so a row making large strings counts a few percent
    # more or less after an unrelated change (a larger extension, another
    # allocation pattern earlier in the process). Fixed thresholds keep such
    # rows within half a percent.
    tunables = "glibc.malloc.trim_threshold=4294967295:glibc.malloc.mmap_threshold=33554432"
    run_env["GLIBC_TUNABLES"] = ":".join(filter(None, [run_env.get("GLIBC_TUNABLES"), tunables]))
    with tempfile.TemporaryDirectory(prefix="instr-") as tmp:
        out = pathlib.Path(tmp) / "cg.out"
        cmd = [_valgrind(), "--tool=callgrind", "--dump-before=time_sleep", f"--callgrind-out-file={out}",
               "--dump-instr=no", "--compress-strings=no", f"--instr-atstart={'no' if toggle else 'yes'}",
               python, "-c", driver]
        done = subprocess.run(cmd, env=run_env, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"the measured run failed ({done.returncode}):\n{done.stderr[-4000:]}")
        dumps = sorted(pathlib.Path(tmp).glob("cg.out.*"), key=lambda p: int(p.name.rsplit(".", 1)[1]))
        counts = [_totals(p) for p in dumps]
    # Each case adds one dump up to its first sleep (its set-up, and the rest
    # of the case before it, when instrumented), then one per measured run: k
    # and 2k, or once.
    expected = sum(2 if c.once else 3 for c in all_cases)
    if len(counts) < expected:
        raise RuntimeError(f"expected {expected} dumps, got {len(counts)}")
    per_pass, at = [], 0
    for c in all_cases:
        if c.once:
            per_pass.append(counts[at + 1])
            at += 2
        else:
            per_pass.append((counts[at + 2] - counts[at + 1]) / (c.k or k))
            at += 3
    if empty:
        base = per_pass[-2]
        per_pass = [p - base if c.once else p for c, p in zip(all_cases, per_pass)]
    return {c.name: p / c.ops for c, p in zip(cases, per_pass)}, per_pass[-1]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--setup", default="pass")
    ap.add_argument("--k", type=int, default=200)
    ap.add_argument("--ops", type=float, default=1)
    ap.add_argument("stmt", nargs="+")
    a = ap.parse_args()
    cases = [Case(s, s, a.setup, a.ops) for s in a.stmt]
    result, loop = count(cases, k=a.k)
    for name, value in result.items():
        print(f"{value:12,.0f}  {name}")
    print(f"{loop:12,.0f}  (the loop's own step, included above)")


if __name__ == "__main__":
    main()
