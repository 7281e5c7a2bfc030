"""The explorer in examples/: the program `make demo` runs."""

import pathlib
import subprocess
import sys

import pytest

EXPLORE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "explore.py"


def run(*args):
    return subprocess.run([sys.executable, str(EXPLORE), *args], capture_output=True, text=True)


def test_samples_give_tree_leaves_and_selection():
    result = run()
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "\nconfiguration\n|-- service\n" in out
    assert "`-- features\n" in out
    # INI values pass through the conversion, and the later file wins.
    assert "  server.port " in out and " 8080\n" in out
    selected = out.split("Selected by ")[1].splitlines()
    assert selected[0].startswith("And(Or('[.]host$', '[.]port$', '[.]url$'), Not('replicas'))")
    paths = [line.split()[0] for line in selected[1:]]
    assert paths == ["server.host", "server.port", "database.primary.url"]


def test_select_on_own_files(tmp_path):
    first = tmp_path / "a.yaml"
    first.write_text("db:\n  host: one\n  port: 1\ncache:\n  host: c\n")
    second = tmp_path / "b.cfg"
    second.write_text("[db]\nhost = two\n")
    result = run(str(first), str(second), "--select", "Or('^db')")
    assert result.returncode == 0, result.stderr
    chosen = result.stdout.split("Selected by Or('^db') (2 of 3):")[1].split()
    assert chosen == ["db.host", "'two'", "db.port", "1"]


@pytest.mark.parametrize(
    "content, suffix, args, message",
    [
        (None, ".yaml", [], "no such file"),
        ("a: [\n", ".yaml", [], "cannot read"),
        ("[s]\nx: 1\n", ".cfg", [], "cannot read"),
        ("- 1\n", ".yaml", [], "cannot merge"),
        ("a: 1\n", ".yaml", ["--select", "And(__import__('os'))"], "Not a properly formatted logic string"),
    ],
)
def test_bad_input_is_one_line_and_status_2(tmp_path, content, suffix, args, message):
    path = tmp_path / ("input" + suffix)
    if content is not None:
        path.write_text(content)
    result = run(str(path), *args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("explore: ")
    assert message in result.stderr
