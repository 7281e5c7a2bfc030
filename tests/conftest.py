"""Helpers shared by the test files."""

import os
import subprocess
import sys
import textwrap

import pytest


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
