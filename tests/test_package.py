"""Facts every module of the package shares: where its classes live, how they
reach their module at call time, and rules of the C++ sources."""

import importlib
import inspect
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]

CLASSES = {
    "flatpath": ["IndexMarker", "FlatPath"],
    "dotbag": ["DotBag", "NestedDotBag"],
    "configuration": ["Configuration"],
    "rankmap": ["RankMap"],
    "ghostseq": ["GhostSeq"],
    "logic": ["BaseLogic", "And", "Or", "Not"],
    "branchlet": ["Branchlet"],
    "typeattr": ["TypeAttrDescriptor"],
}


def load(name):
    return importlib.import_module(f"dravix.datastructures.{name}")


@pytest.mark.parametrize("module_name", sorted(CLASSES))
def test_module_classes_are_its_own(module_name):
    module = load(module_name)
    assert module.__name__ == f"dravix.datastructures.{module_name}"
    assert module.__file__.endswith(".so")
    assert module.__doc__
    for class_name in CLASSES[module_name]:
        cls = getattr(module, class_name)
        assert cls.__module__ == module.__name__
        assert cls.__qualname__ == class_name
        for attr, value in vars(cls).items():
            # The methods written in C++ (not class attributes borrowed from bases).
            if isinstance(value, staticmethod):
                value = value.__func__
            if type(value).__name__ in ("method_descriptor", "classmethod_descriptor", "builtin_function_or_method"):
                assert value.__qualname__ == f"{class_name}.{attr}", (cls, attr)


def sub(module_name, class_name):
    """A subclass defined in Python: it has no module of its own, so the C++
    methods it inherits must find theirs through the class hierarchy."""
    base = getattr(load(module_name), class_name)
    return type(base)("Sub" + class_name, (base,), {})


SUBCLASS_USES = {
    "FlatPath": lambda S: S({"a": {"b": 1}}).reconstruct() == {"a": {"b": 1}},
    "IndexMarker": lambda S: repr(S([], 3)) == "list[3]",
    "DotBag": lambda S: S(a=1).a == 1 and repr(S()) == "SubDotBag({})",
    "NestedDotBag": lambda S: S({"a": {"b": 1}})["a.b"] == 1,
    "Configuration": lambda S: S({"a": {"b": "1"}})["a.b"] == 1,
    "RankMap": lambda S: S([("a", 1)], b=2).items() == [("a", 1), ("b", 2)],
    "GhostSeq": lambda S: (lambda member: S([member])[0] is member)(type("Member", (), {})),
    "BaseLogic": lambda S: str(S("x")) == "SubBaseLogic('x')",
    "And": lambda S: S("a", "b")("ab") is True,
    "Or": lambda S: S("z", "b")("ab") is True,
    "Not": lambda S: S("z")("ab") is True,
    "Branchlet": lambda S: str(S("r", [S("c")])) == "r\n`-- c",
    "TypeAttrDescriptor": lambda S: type("C", (), {"x": S(lambda cls: cls.__name__)}).x == "C",
}


@pytest.mark.parametrize(
    "module_name, class_name", [(m, c) for m, names in sorted(CLASSES.items()) for c in names]
)
def test_python_subclasses_reach_the_module(module_name, class_name):
    assert SUBCLASS_USES[class_name](sub(module_name, class_name))


def test_module_globals_are_read_at_call_time(monkeypatch):
    configuration = load("configuration")
    monkeypatch.setattr(configuration, "typecast_str", lambda value: ("cast", value))
    cfg = configuration.Configuration()
    cfg["k"] = 1
    assert cfg["k"] == ("cast", 1)

    logic = load("logic")
    seen = []
    monkeypatch.setattr(logic, "decode_cli_string", lambda text: seen.append(text) or "Or('q')")
    assert logic.logic_str("And('a')") == logic.Or("q")
    assert seen == ["And('a')"]

    ghostseq = load("ghostseq")
    original = ghostseq.GhostSeq
    replacement = type("Replacement", (original,), {})
    member = type("Member", (), {})()
    monkeypatch.setattr(ghostseq, "GhostSeq", replacement)
    with pytest.raises(TypeError, match='not "GhostSeq"'):
        original([member]) + original([member])
    joined = original([member]) + replacement([member])
    assert type(joined) is replacement and list(joined) == [member, member]


def test_methods_have_docstrings_and_signatures():
    missing = []
    for module_name, names in CLASSES.items():
        module = load(module_name)
        for class_name in names:
            cls = getattr(module, class_name)
            for attr, value in vars(cls).items():
                if type(value).__name__ not in ("method_descriptor", "classmethod_descriptor", "staticmethod"):
                    continue
                func = getattr(cls, attr)
                try:
                    inspect.signature(func)
                except (TypeError, ValueError):
                    missing.append(f"{class_name}.{attr}: no signature")
    assert missing == []


def sources():
    return sorted((ROOT / "src").rglob("*.[ch]pp"))


def test_recursion_guard_is_only_used_through_the_layer():
    offenders = [
        str(path.relative_to(ROOT))
        for path in sources()
        if path.parent.name != "capi" and re.search(r"Py_(Enter|Leave)RecursiveCall", path.read_text())
    ]
    assert offenders == []


def test_no_process_wide_python_objects():
    pattern = re.compile(r"^\s*(?:static\s+)?PyObject\s*\*\s*\w+\s*(?:=[^=(]|;)", re.M)
    offenders = []
    for path in sources():
        text = path.read_text()
        # Only file-scope declarations matter: strip function bodies crudely by
        # looking at lines that start in column 0 or inside an anonymous namespace.
        for match in pattern.finditer(text):
            line = text[: match.start()].count("\n") + 1
            if not match.group(0).startswith((" ", "\t")):
                offenders.append(f"{path.name}:{line}")
    assert offenders == []


def test_each_module_imports_in_a_fresh_interpreter_without_warnings():
    code = textwrap.dedent(
        """
        import importlib
        for name in %r:
            importlib.import_module("dravix.datastructures." + name)
        """
    ) % sorted(CLASSES)
    subprocess.run([sys.executable, "-W", "error", "-c", code], check=True)
