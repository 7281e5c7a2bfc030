"""The examples of the README run as written, and print what they say."""

import contextlib
import io
import os
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


def sections():
    text = (ROOT / "README.md").read_text()
    for part in re.split(r"^## ", text, flags=re.M)[1:]:
        title = part.splitlines()[0]
        blocks = re.findall(r"```python\n(.*?)```", part, re.S)
        # A block reading the command line is an illustration, not a runnable example.
        blocks = [b for b in blocks if "sys.argv" not in b]
        if blocks:
            yield pytest.param(blocks, id=title.split(":")[0])


def printed_expectation(block):
    """The '# ' comment lines right after the last print() call of a block."""
    lines = block.rstrip("\n").splitlines()
    for i in range(len(lines) - 1, -1, -1):
        if lines[i].lstrip().startswith("print("):
            tail = []
            for line in lines[i + 1 :]:
                if not line.startswith("# "):
                    break
                tail.append(line[2:])
            return "\n".join(tail) + "\n" if tail else None
    return None


@pytest.mark.parametrize("blocks", list(sections()))
def test_readme_examples(blocks, monkeypatch):
    monkeypatch.chdir(ROOT)
    namespace = {"__name__": "readme_example"}
    for block in blocks:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(block, "README.md", "exec"), namespace)
        expected = printed_expectation(block)
        if expected is not None:
            assert out.getvalue().endswith(expected)
    assert os.getcwd() == str(ROOT)
