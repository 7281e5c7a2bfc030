"""Timing and memory helpers shared by bench/run.py.

Every time is the median of several samples taken after a warm-up. The
candidates of one comparison are sampled in turn inside each repeat, so a
change of load on the (shared) machine touches them all alike; a ratio is
only ever formed between candidates measured this way in the same run.
"""

import gc
import importlib.util
import pathlib
import statistics
import timeit
import tracemalloc

HERE = pathlib.Path(__file__).resolve().parent


def load_baseline(name):
    """The plain-Python transcription bench/baseline/<name>.py as a module."""
    spec = importlib.util.spec_from_file_location(f"baseline_{name}", HERE / "baseline" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Case:
    """One candidate: a statement (compiled once by timeit, so the interpreter
    specialises it as in a program) or a callable, with its setup and namespace.
    ops: how many operations one execution of stmt performs."""

    def __init__(self, stmt, env=None, setup="pass", ops=1):
        self.stmt, self.env, self.setup, self.ops = stmt, env or {}, setup, ops


def _calibrate(timer, min_time):
    """Smallest number of loops (1, 2, 5, 10, 20, ...) whose run takes min_time."""
    number = 1
    while True:
        for factor in (1, 2, 5):
            n = number * factor
            if timer.timeit(n) >= min_time:
                return n
        number *= 10


def measure(cases, repeat=7, number=None, min_time=0.02, gc_on=False, collect=False):
    """Median seconds per operation of each case ({name: Case}), as a Measured.

    number: loops per sample (None: calibrated per case to take min_time);
    gc_on: keep the cyclic collector running while timing (timeit stops it),
    for statements that make self-referencing objects; collect: run a full
    collection before every sample, outside the timed part, so no sample pays
    for the garbage of another."""
    gc_setup = "import gc; gc.enable()\n" if gc_on else ""
    timers, numbers = {}, {}
    for name, case in cases.items():
        setup = case.setup if callable(case.setup) else gc_setup + case.setup
        timers[name] = timeit.Timer(case.stmt, setup=setup, globals=case.env)
    for name, timer in timers.items():  # warm-up, and the loop count
        if collect:
            gc.collect()
        numbers[name] = number if number else _calibrate(timer, min_time)
        if number:
            timer.timeit(number)
    samples = {name: [] for name in timers}
    for _ in range(repeat):
        for name, timer in timers.items():
            if collect:
                gc.collect()
            samples[name].append(timer.timeit(numbers[name]) / numbers[name] / cases[name].ops)
    return Measured(samples)


class Measured(dict):
    """{name: median seconds per operation}; .samples keeps every sample, in
    rounds (sample i of every case was taken in the same round)."""

    def __init__(self, samples):
        super().__init__((name, statistics.median(s)) for name, s in samples.items())
        self.samples = samples

    def ratio(self, ours, base):
        """Median over the rounds of ours / base: a round's two samples were taken
        moments apart, so a change of load between rounds cancels out."""
        return statistics.median(a / b for a, b in zip(self.samples[ours], self.samples[base]))


def loop_cost(repeat=9):
    """Seconds per iteration of timeit's own loop (an empty statement): part of
    every per-statement time below, alike for all candidates."""
    return measure({"pass": Case("pass")}, repeat=repeat, min_time=0.02)["pass"]


def bytes_per_instance(make, count):
    """Traced bytes held per object for `count` objects from make(i); the
    arguments make() uses should exist beforehand, so only the objects count."""
    held = [None] * count  # allocated before tracing starts
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for i in range(count):
        held[i] = make(i)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del held
    gc.collect()
    return (after - before) / count


def held_bytes(make):
    """Traced bytes still held after make() returns (the object it returns kept alive)."""
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    obj = make()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del obj
    gc.collect()
    return after - before


def peak_bytes(func):
    """Peak traced bytes while func() runs, above what was held when it started."""
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    func()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def fmt_time(seconds):
    if seconds >= 1.0:
        return f"{seconds:8.3f} s "
    if seconds >= 1e-3:
        return f"{seconds * 1e3:8.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:8.2f} us"
    return f"{seconds * 1e9:8.1f} ns"


def fmt_bytes(n):
    if abs(n) >= 10 * 1024 * 1024:
        return f"{n / 1024 / 1024:.1f} MiB"
    if abs(n) >= 10 * 1024:
        return f"{n / 1024:.1f} KiB"
    return f"{n:.0f} B"
