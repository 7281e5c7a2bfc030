"""Helpers shared by the test files: the plain-Python baselines, the classes
the tests put into containers, and a fresh interpreter for crash cases.

Import them by name (`from conftest import Key, baseline`): pytest puts this
folder on sys.path."""

import functools
import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BASELINES = ROOT / "bench" / "baseline"


@functools.cache
def baseline(name):
    """The plain-Python transcription bench/baseline/<name>.py of a module, as
    a module of its own (loaded once): the executable model ours is held to."""
    spec = importlib.util.spec_from_file_location(f"baseline_{name}", BASELINES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def both(module, name):
    """Parameters for a test that runs on ours and on the baseline alike:
    @pytest.mark.parametrize("GhostSeq", both("ghostseq", "GhostSeq"))."""
    ours = getattr(importlib.import_module(f"dravix.datastructures.{module}"), name)
    return [pytest.param(ours, id="ours"), pytest.param(getattr(baseline(module), name), id="baseline")]


class Boom(Exception):
    """The error hostile hooks raise."""


def boom(*args):
    raise Boom


class Key:
    """A hashable key whose __eq__, __hash__, __str__ and __repr__ can be made to
    raise, or to run an action, while the container works on it."""

    def __init__(self, name, eq=None, hash_=None, text=None):
        self.name, self.eq, self.hash_, self.text = name, eq, hash_, text

    def __eq__(self, other):
        if self.eq is not None:
            self.eq(other)
        return isinstance(other, Key) and other.name == self.name

    def __hash__(self):
        if self.hash_ is not None:
            self.hash_()
        return hash(self.name)

    def __str__(self):
        if self.text is not None:
            self.text()
        return f"K{self.name}"

    __repr__ = __str__


class Obj:
    """A weakly referenceable member, compared by identity."""

    def __init__(self, v=0):
        self.v = v

    def __repr__(self):
        return f"Obj({self.v})"

    def __str__(self):
        return f"<{self.v}>"


class Member:
    """A weakly referenceable member compared by value (v), so that distinct
    members can be equal and ordered; token names it in its text. Its
    comparisons run `eq(other)` first and its text runs `text()`, when given,
    so that they can raise or change the container."""

    def __init__(self, v, token=None, eq=None, text=None):
        self.v, self.token, self.eq, self.text = v, token, eq, text

    def __eq__(self, other):
        if self.eq is not None:
            self.eq(other)
        return isinstance(other, Member) and other.v == self.v

    __hash__ = object.__hash__

    def __lt__(self, other):
        if self.eq is not None:
            self.eq(other)
        return self.v < other.v

    def __repr__(self):
        if self.text is not None:
            self.text()
        return f"M{self.v if self.token is None else self.token}"

    __str__ = __repr__


def run_isolated(code, *, malloc_debug=True, timeout=300):
    """Runs `code` in a fresh interpreter and returns the CompletedProcess.

    With malloc_debug the interpreter's debug allocator is on: freed memory is
    overwritten, so a use-after-free that a normal run survives crashes here.
    The child inherits the environment (PYTHONPATH of a staging build, the
    sanitizer runtime), so it imports the same extensions as the test."""
    env = dict(os.environ)
    if malloc_debug:
        env["PYTHONMALLOC"] = "debug"
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=timeout
    )


@pytest.fixture
def isolated():
    """run_isolated(code) that also fails the test when the child crashed or
    printed a traceback: the code's own asserts decide the outcome."""

    def run(code, **kwargs):
        done = run_isolated(code, **kwargs)
        assert done.returncode == 0, f"exit status {done.returncode}\n{done.stdout}\n{done.stderr}"
        return done

    return run
