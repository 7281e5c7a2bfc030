"""Benchmark rows, shared by the timed run (bench/run.py, `make bench`) and the
instruction-count run (bench/run_instr.py, `make bench-instr`).

A row is one operation and its candidates. A candidate is set-up code and one
statement: the timed run executes the set-up into a namespace and times the
statement there with timeit; the instruction run executes both in a fresh
interpreter under callgrind (bench/instr.py). So both runs measure the very
same code. Every set-up starts with

    from baselines import impl          # impl(module, "ours" | "plain" | "compiled")
    from bench_<section> import *       # the section's data builders

and may use {n}, the row's size, which differs between the runs (the timed run
uses inputs big enough to time, the instruction run small ones: instruction
counts need no big inputs).

Candidate keys: "ours", "plain" (the transcription in bench/baseline/),
"compiled" (the same compiled with Cython), the row's floor (the plain
dict/list/attribute work the operation wraps; key "floor" unless the row says
otherwise) and any others (peer libraries, further references), each with a
label.
"""

import importlib
from dataclasses import dataclass, field

SECTIONS = ["dotbag", "configuration", "flatpath", "rankmap", "ghostseq", "logic", "branchlet", "typeattr"]
KINDS = ("ours", "plain", "compiled")
LABELS = {"ours": "ours", "plain": "transcription", "compiled": "transcription, Cython-compiled"}


@dataclass
class Cand:
    setup: str
    stmt: str
    label: str = ""
    timed: bool = True  # in the timed run
    instr: bool = True  # in the instruction run (False: too slow under callgrind)


@dataclass
class Row:
    """One operation. ops: units (elements) per statement, an int or a function
    of the size n; sizes: (timed run, instruction run). Timed run: repeat,
    number (None: calibrated), min_time, collect (a full collection before
    every sample), each (timeit set-up run before every sample), targets
    ({candidate: (largest ratio ours/candidate, text)}). Instruction run: k
    (repeat count; k_plain for the transcriptions, where they are slow),
    instr_targets. gc keeps the cyclic collector on in both (statements that
    make self-referencing objects)."""

    key: str
    op: str
    cands: dict
    unit: str = "op"
    sizes: tuple = (None, None)
    ops: object = 1
    floor: str = "floor"
    gc: bool = False
    repeat: int = 7
    number: int | None = None
    min_time: float = 0.02
    collect: bool = False
    each: str = "pass"
    targets: dict = field(default_factory=dict)
    k: int | None = None
    k_plain: int | None = None
    instr_targets: dict = field(default_factory=dict)
    timed: bool = True
    instr: bool = True
    check: str | None = None  # an expression whose value ours, plain and compiled must share
    note: str = ""
    section: str = ""

    def size(self, run):
        return self.sizes[0 if run == "timed" else 1]

    def units(self, run):
        return self.ops(self.size(run)) if callable(self.ops) else self.ops

    def title(self, run):
        return self.op.format(n=self.size(run), units=self.units(run))

    def label(self, key):
        cand = self.cands[key]
        return cand.label or LABELS.get(key, key)

    def setup(self, key, run):
        prelude = f"from baselines import impl\nfrom bench_{self.section} import *\n"
        return prelude + self.cands[key].setup.replace("{n}", str(self.size(run)))

    def stmt(self, key, run):
        return self.cands[key].stmt.replace("{n}", str(self.size(run)))

    def chosen(self, run):
        """The candidate keys measured in this run, ours first."""
        flag = "timed" if run == "timed" else "instr"
        return [k for k in self.cands if getattr(self.cands[k], flag)]


def impls(module, setup, stmt, **kw):
    """Candidates ours, plain and compiled of one statement: the set-up finds
    the module as M."""
    return {kind: Cand(f"M = impl({module!r}, {kind!r})\n{setup}", stmt, **kw) for kind in KINDS}


def rows(sections=SECTIONS, run="timed"):
    """The rows of the given sections measured in this run ("timed" or "instr")."""
    out = []
    for section in sections:
        module = importlib.import_module(f"bench_{section}")
        for row in module.ROWS:
            row.section = section
            if getattr(row, run):
                out.append(row)
    return out


# Targets: the largest ratio ours / candidate that meets them.
FASTER = (1.0, "< 1 (faster)")
FASTER_3 = (1 / 3, "<= 0.333 (3x faster)")
FASTER_5 = (1 / 5, "<= 0.200 (5x faster)")
FASTER_10 = (1 / 10, "<= 0.100 (10x faster)")


def at_most(limit):
    return (limit, f"<= {limit:g}")


def fewer(times):
    """A target of `times` times fewer instructions than the candidate."""
    return (1 / times, f"<= {1 / times:.3f} ({times:g}x fewer)")
