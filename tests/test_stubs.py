"""The type information shipped with the package.

The .pyi stubs must describe the compiled modules exactly (mypy's stubtest, with
the justified differences in stubtest_allowlist.txt), they must be installed
beside the modules with a py.typed marker, and typed code that uses them must
check under `mypy --strict` with the precise generic types the stubs promise.

mypy and stubtest run in subprocesses of this interpreter, with the environment
(PYTHONPATH included) passed through, so they see the same package as the tests:
the installed one or a staging folder.
"""

import importlib
import os
import pathlib
import re
import site
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
ALLOWLIST = ROOT / "tests" / "stubtest_allowlist.txt"
EXAMPLE = ROOT / "examples" / "typed_usage.py"

MODULES = [
    f"dravix.datastructures.{name}"
    for name in ("flatpath", "dotbag", "configuration", "rankmap", "ghostseq", "logic", "branchlet", "typeattr")
] + ["dravix.utils.strings"]


def subprocess_env():
    """This process's environment, with the folder holding the imported package on
    PYTHONPATH when it is not a site-packages folder the subprocess finds anyway."""
    env = dict(os.environ)
    package_root = str(pathlib.Path(importlib.import_module("dravix.datastructures").__file__).parents[2])
    known = set(site.getsitepackages()) | {site.getusersitepackages()}
    entries = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    if package_root not in known and package_root not in entries:
        entries.insert(0, package_root)
    if entries:
        env["PYTHONPATH"] = os.pathsep.join(entries)
    return env


def run_python(args, cwd):
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=subprocess_env(), capture_output=True, text=True, timeout=900
    )


def mypy_strict(files, workdir, cache_dir):
    return run_python(
        ["-m", "mypy", "--strict", "--show-error-codes", "--no-error-summary", "--hide-error-context",
         "--no-pretty", "--no-color-output", "--cache-dir", str(cache_dir), *map(str, files)],
        cwd=workdir,
    )


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    # Outside the checkout, so that nothing under src/ can stand in for the package.
    return tmp_path_factory.mktemp("typing")


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


# --- the stubs are shipped -------------------------------------------------------------


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_and_marker_installed_beside_module(module_name):
    module = importlib.import_module(module_name)
    folder = pathlib.Path(module.__file__).parent
    stub = folder / (module_name.rsplit(".", 1)[1] + ".pyi")
    assert stub.is_file(), f"no stub beside {module.__file__}"
    assert stub.read_text() == (ROOT / "src" / stub.relative_to(folder.parents[1])).read_text(), (
        f"installed {stub} differs from the one in the checkout"
    )
    assert (folder / "py.typed").is_file(), f"no py.typed marker in {folder}"


# --- stubtest --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def stubtest(workdir):
    return run_python(["-m", "mypy.stubtest", "--allowlist", str(ALLOWLIST), *MODULES], cwd=workdir)


def test_stubtest_reports_nothing(stubtest):
    # Covers everything at once: build errors in the stubs, mismatches and allowlist
    # entries that no longer match anything.
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
    assert "error" not in stubtest.stdout.lower(), stubtest.stdout


@pytest.mark.parametrize("module_name", MODULES)
def test_stubtest_module_clean(stubtest, module_name):
    complaints = [
        line for line in stubtest.stdout.splitlines()
        if line.startswith((f"error: {module_name}.", f"error: {module_name} "))
    ]
    assert not complaints, stubtest.stdout


def test_allowlist_entries_are_explained_and_ours():
    entries = [line for line in ALLOWLIST.read_text().splitlines() if line.strip() and not line.startswith("#")]
    assert entries
    for line in entries:
        name, sep, reason = line.partition("#")
        assert sep and reason.strip(), f"allowlist entry without a reason: {line!r}"
        assert any(name.strip().startswith(module + ".") for module in MODULES), line


# --- mypy --strict on typed code -------------------------------------------------------


def test_typed_example_passes_mypy_strict(workdir, mypy_cache):
    result = mypy_strict([EXAMPLE], workdir, mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == "", result.stdout


def test_typed_example_runs(workdir):
    result = run_python([str(EXAMPLE)], cwd=workdir)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"^ports: http=\d+, admin=\d+, metrics=\d+$", result.stdout, re.M), result.stdout


# Each line ending in "# reveal: T" must reveal the type T (module prefixes dropped);
# each line ending in "# error: code" must draw exactly that mypy error; no other line
# may draw any error.
PROBE = textwrap.dedent('''\
    from pathlib import Path

    from dravix.datastructures.branchlet import Branchlet
    from dravix.datastructures.configuration import Configuration
    from dravix.datastructures.dotbag import DotBag, NestedDotBag
    from dravix.datastructures.flatpath import DictItem, FlatPath, IndexMarker
    from dravix.datastructures.ghostseq import GhostSeq
    from dravix.datastructures.logic import And, Not, Or, logic_str
    from dravix.datastructures.rankmap import RankMap
    from dravix.datastructures.typeattr import typeattr
    from dravix.utils.strings import decode_cli_string, typecast_str


    class Node:
        pass


    class Service:
        @typeattr
        def slug(cls: type["Service"]) -> str:
            return cls.__name__.lower()


    class Settings(Configuration):
        pass


    node = Node()
    ports = RankMap([("http", 80)])
    seq = GhostSeq([node])
    flat = FlatPath({"a": {"b": 1}})
    cfg = Settings({"a": {"b": 1}})
    bag = DotBag(a=1)

    reveal_type(ports)  # reveal: RankMap[str, int]
    reveal_type(RankMap(http=80.5))  # reveal: RankMap[str, float]
    reveal_type(RankMap.fromkeys("xy", 0))  # reveal: RankMap[str, int]
    reveal_type(ports.keys())  # reveal: list[str]
    reveal_type(ports.items())  # reveal: list[tuple[str, int]]
    reveal_type(ports.values())  # reveal: list[int]
    reveal_type(ports.copy())  # reveal: RankMap[str, int]
    reveal_type(ports.pop("http"))  # reveal: int
    reveal_type(seq)  # reveal: GhostSeq[Node]
    reveal_type(seq[0])  # reveal: Node
    reveal_type(seq[1:])  # reveal: GhostSeq[Node]
    reveal_type(reversed(seq))  # reveal: GhostSeq[Node]
    reveal_type(seq + seq)  # reveal: GhostSeq[Node]
    reveal_type(seq.pop(0))  # reveal: Node
    reveal_type(seq.data)  # reveal: list[ReferenceType[Node]]
    reveal_type(flat[0])  # reveal: tuple[tuple[Any, ...], Any, fallback=DictItem]
    reveal_type(flat[0].path)  # reveal: tuple[Any, ...]
    reveal_type(flat.reconstruct())  # reveal: dict[Any, Any]
    reveal_type(FlatPath.__flatten__({"a": 1}))  # reveal: Iterator[tuple[tuple[Any, ...], Any, fallback=DictItem]]
    reveal_type(FlatPath.__flatten__(7))  # reveal: Iterator[tuple[tuple[Any, ...], Any, fallback=DictItem] | int]
    reveal_type(IndexMarker([], "3").index)  # reveal: int
    reveal_type(bag.anything)  # reveal: Any
    reveal_type(bag.copy())  # reveal: dict[Any, Any]
    reveal_type(NestedDotBag({"a.b": 1}).a.b)  # reveal: Any
    reveal_type(cfg.copy())  # reveal: Settings
    reveal_type(cfg.load_yamls(Path("a.yaml")))  # reveal: tuple[Path, ...]
    reveal_type(cfg.load_cfgs("a.ini"))  # reveal: list[str]
    reveal_type(cfg.load_entrypoint("dravix.config")[0].name)  # reveal: str
    reveal_type(logic_str("And('a')"))  # reveal: BaseLogic
    reveal_type(logic_str("And('a')")("ab"))  # reveal: bool
    reveal_type(And("a", Or("b"), Not(str.isdigit))("ab", 1))  # reveal: bool
    reveal_type(Service.slug)  # reveal: str
    reveal_type(Service().slug)  # reveal: str
    reveal_type(typeattr(len))  # reveal: TypeAttrDescriptor[int]
    reveal_type(typecast_str("1"))  # reveal: str | int | float | None
    reveal_type(typecast_str(cfg))  # reveal: Settings
    reveal_type(decode_cli_string(b"x"))  # reveal: str
    reveal_type(Branchlet("root", [Branchlet("leaf")]).children)  # reveal: list[Any]

    bag.anything = 5
    del bag.anything
    RankMap({"http": 80})  # error: arg-type
    ports["https"] = "443"  # error: assignment
    ports.insert("admin", 81, "first")  # error: arg-type
    seq + [node]  # error: operator
    seq.append(5)  # error: arg-type
    seq.index(node, 0)  # error: call-arg
    flat.append(5)  # error: arg-type
    And(5)  # error: arg-type
    logic_str(5)  # error: arg-type
    Branchlet(5)  # error: arg-type
    Service.slug + 1  # error: operator
    cfg.load_yamls(5)  # error: type-var
    NestedDotBag({}, {})  # error: call-overload
    decode_cli_string(5)  # error: arg-type
    DictItem(path=("a",))  # error: call-arg
''')

MARKER = re.compile(r"#\s*(reveal|error):\s*(.+?)\s*$")
PROBE_CASES = [
    pytest.param(number, match.group(1), match.group(2), id=f"{number}-{line.split('  #')[0].strip()}")
    for number, line in enumerate(PROBE.splitlines(), start=1)
    if (match := MARKER.search(line))
]


def short_type(text):
    """A revealed type without its module qualifiers: dravix.datastructures.rankmap.RankMap -> RankMap."""
    return re.sub(r"\b(?:[a-z_][a-z0-9_]*\.)+(?=[A-Za-z_])", "", text)


@pytest.fixture(scope="module")
def probe_findings(workdir, mypy_cache):
    probe = workdir / "typing_probe.py"
    probe.write_text(PROBE)
    result = mypy_strict([probe], workdir, mypy_cache)
    assert not result.stderr, result.stderr
    findings = {}
    for line in result.stdout.splitlines():
        found = re.match(r"typing_probe\.py:(\d+): (error|note): (.*)$", line)
        assert found, f"unexpected mypy output: {line}"
        number, severity, message = int(found.group(1)), found.group(2), found.group(3)
        revealed = re.match(r'Revealed type is "(.*)"$', message)
        if revealed:
            findings.setdefault(number, []).append(("reveal", short_type(revealed.group(1))))
        elif severity == "error":
            code = re.search(r"\[([a-z-]+)\]$", message)
            findings.setdefault(number, []).append(("error", code.group(1) if code else message))
    return findings


@pytest.mark.parametrize(("number", "kind", "expected"), PROBE_CASES)
def test_typed_probe(probe_findings, number, kind, expected):
    assert probe_findings.get(number) == [(kind, expected)], PROBE.splitlines()[number - 1]


def test_typed_probe_has_no_other_findings(probe_findings):
    marked = {number for number, *_ in (case.values for case in PROBE_CASES)}
    stray = {number: found for number, found in probe_findings.items() if number not in marked}
    assert not stray, {n: (PROBE.splitlines()[n - 1], found) for n, found in stray.items()}
