"""Tests of dravix.datastructures.configuration: the Configuration tree and its loaders."""

import abc
import collections.abc
import configparser
import copy
import inspect
import logging
import pickle
import subprocess
import sys
import textwrap

import pytest
import yaml
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import ROOT
from conftest import baseline as load_baseline

import dravix.datastructures.configuration as mod
import dravix.utils.strings
from dravix.datastructures import dotbag
from dravix.datastructures.configuration import Configuration

EXAMPLES = ROOT / "examples" / "config"
LOGGER = "dravix.datastructures.configuration"


baseline = load_baseline("configuration")


class Sub(Configuration):
    """A module-level subclass, so that pickle can find it."""


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text))
    return str(path)


@pytest.fixture(params=[pytest.param(mod, id="ours"), pytest.param(baseline, id="baseline")])
def M(request):
    """The module, or its plain-Python baseline."""
    return request.param


def subclass(M):
    return type(M.Configuration)("Sub", (M.Configuration,), {})


@pytest.fixture
def recorder(M, monkeypatch):
    """Replaces typecast_str with an identity that records what it was given."""
    calls = []

    def typecast(value):
        calls.append(value)
        return value

    monkeypatch.setattr(M, "typecast_str", typecast)
    return calls


# --- module and class -------------------------------------------------------


def test_module_contents():
    import os

    assert mod.os is os and mod.yaml is yaml and mod.logging is logging and mod.configparser is configparser
    assert mod.Mapping is collections.abc.Mapping
    assert mod.NestedDotBag is dotbag.NestedDotBag
    assert mod.typecast_str is dravix.utils.strings.typecast_str
    assert mod.logger is logging.getLogger(LOGGER)
    assert callable(mod.iter_entry_points)
    public = {name for name in vars(mod) if not name.startswith("_")}
    assert public == {"os", "yaml", "logging", "configparser", "iter_entry_points", "Mapping", "NestedDotBag",
                      "typecast_str", "logger", "Configuration"}


def test_class_facts():
    assert type(Configuration) is abc.ABCMeta
    assert Configuration.__mro__ == (Configuration, dotbag.NestedDotBag, dotbag.DotBag, dict,
                                     collections.abc.MutableMapping, collections.abc.Mapping,
                                     collections.abc.Collection, collections.abc.Sized, collections.abc.Iterable,
                                     collections.abc.Container, object)
    assert Configuration.__doc__ is None
    assert Configuration.copy.__doc__ and Configuration.load_entrypoint.__doc__
    assert list(inspect.signature(Configuration.__setitem__).parameters) == ["self", "key", "value"]


def test_import_emits_no_warning():
    code = "import dravix.datastructures.configuration"
    subprocess.run([sys.executable, "-W", "error", "-c", code], check=True)


@pytest.mark.parametrize("call", [
    lambda c: c.copy(1),
    lambda c: c.load_cfgs(files="x.ini"),
    lambda c: c.load_yamls(file="x.yaml"),
    lambda c: c.load_entrypoint(),
    lambda c: c.load_entrypoint("a", "b"),
    lambda c: c.load_entrypoint(grp="a"),
    lambda c: c.__setitem__("k"),
    lambda c: c.__setitem__("k", 1, 2),
])
def test_wrong_arguments(call):
    with pytest.raises(TypeError):
        call(Configuration())


# --- __setitem__ --------------------------------------------------------------


def test_values_are_converted_on_item_assignment_only(M):
    cfg = M.Configuration({"a": {"b": "1"}}, flag="TRUE")
    assert type(cfg.a) is M.Configuration and cfg["a.b"] == 1 and cfg.flag is True
    assert repr(cfg) == "Configuration({'a': Configuration({'b': 1}), 'flag': True})"
    cfg["x"] = "5"
    cfg.y = "5"
    assert cfg.x == 5 and cfg.y == "5"


def test_conversion_runs_once_per_level(M, recorder):
    cfg = M.Configuration()
    cfg["a.b.c"] = "v"
    assert [type(v) for v in recorder] == [str, M.Configuration, str, M.Configuration, str]
    assert recorder[1] is cfg.a and recorder[3] is cfg.a.b
    recorder.clear()
    cfg["a.b.d"] = "w"  # the levels exist now: only the value is converted, once per level
    assert recorder == ["w", "w", "w"]


def test_typecast_looked_up_at_call_time_also_through_subclasses(M, monkeypatch):
    monkeypatch.setattr(M, "typecast_str", lambda value: ("cast", value))
    cfg, sub = M.Configuration(), subclass(M)()
    cfg["k"] = 1
    sub["k"] = 1
    assert cfg.k == ("cast", 1) and sub.k == ("cast", 1)


def test_typecast_rebound_at_any_time_takes_effect_at_the_next_value(monkeypatch):
    import builtins

    assert Configuration({"a": "1"}) == {"a": 1}  # the imported typecast_str, read and remembered
    monkeypatch.setattr(mod, "typecast_str", lambda value: "patched" if isinstance(value, str) else value)
    assert Configuration({"a": "1", "b": {"c": "2"}}) == {"a": "patched", "b": {"c": "patched"}}

    def second(value):
        return ("second", value) if isinstance(value, str) else value

    def first(value):
        mod.__dict__["typecast_str"] = second  # rebound while a merge is running
        return ("first", value) if isinstance(value, str) else value

    monkeypatch.setattr(mod, "typecast_str", first)
    cfg = Configuration({"a": "1", "b": "2", "c": {"d": "3"}})
    assert cfg == {"a": ("first", "1"), "b": ("second", "2"), "c": {"d": ("second", "3")}}

    monkeypatch.delattr(mod, "typecast_str")
    with pytest.raises(NameError, match="typecast_str"):
        Configuration({"a": "1"})
    monkeypatch.setattr(builtins, "typecast_str", lambda value: "builtin" if isinstance(value, str) else value,
                        raising=False)
    assert Configuration({"a": "1"}) == {"a": "builtin"}
    monkeypatch.undo()
    assert Configuration({"a": "1"}) == {"a": 1}


def test_typecast_failure_stores_nothing(M, monkeypatch):
    def typecast(value):
        if value == "bad":
            raise ValueError("no")
        return "bad" if value == "soon bad" else value

    monkeypatch.setattr(M, "typecast_str", typecast)
    cfg = M.Configuration()
    with pytest.raises(ValueError, match="no"):
        cfg["x"] = "bad"
    assert "x" not in cfg
    with pytest.raises(ValueError):
        cfg["a.b"] = "soon bad"  # fails one level down
    assert dict(cfg) == {"a": M.Configuration()}  # the level made on the way stays


def conversion_log(module, monkeypatch, make):
    """The calls of typecast_str (value kind and the exception being handled) made by make()."""
    log = []

    def typecast(value):
        kind = type(value).__name__ if not isinstance(value, dict) else "level"
        log.append((kind, value if kind != "level" else None, type(sys.exception()).__name__))
        return value

    monkeypatch.setattr(module, "typecast_str", typecast)
    made = make(module.Configuration)
    return log, made


NESTED_INPUTS = [
    {"a": {"b": {"c": "1", "d": "x"}, "e": "2"}, "f": "3"},
    {"a.b": "1", "a": {"c.d": "2"}},
    [("x", {"y": "1"}), ("x", {"z": "2"})],
]


@pytest.mark.parametrize("data", NESTED_INPUTS)
def test_merging_converts_as_the_plain_python_version_does(data, monkeypatch):
    # Construction, update and update into existing levels: the same calls of
    # typecast_str, with the same exception being handled, as the transcription.
    def make(cls):
        cfg = cls(data)
        cfg.update(data, k="v")
        return cfg

    ours, made = conversion_log(mod, monkeypatch, make)
    theirs, expected = conversion_log(baseline, monkeypatch, make)
    assert ours == theirs
    assert made == expected


def test_merging_honours_setitem_of_subclasses(monkeypatch):
    seen = []

    class Logged(Configuration):
        def __setitem__(self, key, value):
            seen.append((key, type(value).__name__))
            super().__setitem__(key, value)

    cfg = Logged({"a": {"b": "1"}, "c": "2"})
    assert seen == [("a", "Logged"), ("b", "str"), ("c", "str")]
    assert cfg == {"a": {"b": 1}, "c": 2} and type(cfg.a) is Logged

    seen.clear()
    Sub.__setitem__ = lambda self, key, value: seen.append(key) or dict.__setitem__(self, key, value)
    try:
        cfg = Sub({"a": "1"})
    finally:
        del Sub.__setitem__
    assert seen == ["a"] and cfg == {"a": "1"}  # no conversion: the replacement does not convert
    assert Sub({"a": "1"}) == {"a": 1}


def test_merging_passes_converted_values_on_to_the_next_setitem(monkeypatch):
    seen = []

    class Middle(dotbag.NestedDotBag):
        def __setitem__(self, key, value):
            seen.append((key, value))
            super().__setitem__(key, value)

    class Both(Configuration, Middle):
        pass

    cfg = Both({"a": {"b": "1"}, "c": "true"})
    assert cfg == {"a": {"b": 1}, "c": True}
    assert [(k, v if k != "a" else type(v).__name__) for k, v in seen] == [("a", "Both"), ("b", 1), ("c", True)]

    seen.clear()
    monkeypatch.setattr(dotbag.NestedDotBag, "__setitem__", lambda self, key, value: seen.append((key, value)))
    cfg = Configuration({"x": "2", "y": {"z": "3"}})
    assert ("x", 2) in seen and dict(cfg) == {}  # the replacement stores nothing


def test_conversion_may_change_where_the_value_goes(monkeypatch):
    # The method passed to after the conversion is looked up after it ran.
    seen = []

    def spy(self, key, value):
        seen.append((key, value))
        dict.__setitem__(self, key, ("spied", value))

    def typecast(value):
        if value == "switch":
            monkeypatch.setattr(dotbag.NestedDotBag, "__setitem__", spy)
        return value

    monkeypatch.setattr(mod, "typecast_str", typecast)
    cfg = Configuration({"a": "1", "b": "switch", "c": {"d": "3"}})
    assert cfg["a"] == "1" and cfg["b"] == ("spied", "switch")
    assert seen[0] == ("b", "switch") and ("d", "3") in seen


def test_levels_made_while_merging_with_a_rebound_typecast(M, monkeypatch):
    # With typecast_str replaced, a new level passes through it while the
    # KeyError of the failed lookup is being handled, and a failure there
    # carries that KeyError as context.
    def typecast(value):
        if isinstance(value, dict):
            raise ValueError("no levels")
        return value

    monkeypatch.setattr(M, "typecast_str", typecast)
    with pytest.raises(ValueError, match="no levels") as info:
        M.Configuration({"a": {"b": 1}})
    assert isinstance(info.value.__context__, KeyError) and info.value.__context__.args == ("a",)


def test_levels_of_another_class_refuse_paths(M):
    cfg = M.Configuration()
    cfg.n = M.NestedDotBag()
    with pytest.raises(KeyError) as info:
        cfg["n.k"] = 1
    assert info.value.args == ('target key "n" is a value, cannot update value against another Configuration',)
    sub = subclass(M)()
    sub.c = M.Configuration()
    with pytest.raises(KeyError, match="another Sub"):
        sub["c.k"] = 1
    sub["d.e"] = 1
    assert type(sub.d) is type(sub)


# --- copy -----------------------------------------------------------------------


def test_copy_owns_its_levels_and_shares_other_values(M):
    shared = [1, 2]
    cfg = M.Configuration({"a": {"b": 1, "l": shared}})
    cfg.p = {"q": 1}  # a plain dict, stored without conversion
    dup = cfg.copy()
    assert type(dup) is M.Configuration and dup == cfg and vars(dup) is dup
    dup["a.b"] = 2
    assert cfg["a.b"] == 1
    assert dup["a.l"] is shared
    assert type(dup.p) is M.Configuration and cfg.p == {"q": 1} and type(cfg.p) is dict
    plain = dict.copy(cfg)
    assert type(plain) is dict and plain["a"] is cfg.a


def test_copy_passes_values_through_conversion_again(M):
    cfg = M.Configuration()
    cfg.x = "5"
    setattr(cfg, "s.t", 1)
    dup = cfg.copy()
    assert dup.x == 5 and dup["s.t"] == 1 and type(dup.s) is M.Configuration


def test_copy_of_subclass_and_of_entries_named_like_methods():
    sub = Sub({"a": {"b": 1}})
    dup = sub.copy()
    assert type(dup) is Sub and type(dup.a) is Sub
    cfg = Configuration({"items": 1, "update": {"x": 2}, "keys": 3, "pop": 4, "setdefault": {"y": 5}})
    assert cfg.copy() == cfg


def test_copy_of_self_containing_configuration_fails_cleanly(M):
    cfg = M.Configuration({"a": 1})
    cfg.me = cfg
    with pytest.raises(RecursionError):
        cfg.copy()


def test_copy_propagates_conversion_failure(M, monkeypatch):
    cfg = M.Configuration({"a": {"b": 1}})

    def typecast(value):
        if value == 1:
            raise RuntimeError("boom")
        return value

    monkeypatch.setattr(M, "typecast_str", typecast)
    with pytest.raises(RuntimeError, match="boom"):
        cfg.copy()


COPIERS = [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")] + [
    pytest.param(lambda o, p=p: pickle.loads(pickle.dumps(o, p)), id=f"pickle{p}")
    for p in range(2, pickle.HIGHEST_PROTOCOL + 1)
]


@pytest.mark.parametrize("cls", [Configuration, Sub])
@pytest.mark.parametrize("copier", COPIERS)
def test_copy_protocols_reproduce_exactly(cls, copier, monkeypatch):
    cfg = cls({"sec": {"port": "8080", "hosts": ["a", "b"]}})
    cfg.raw = "5"
    cfg.plain = {"k": "true"}
    setattr(cfg, "dotted.key", "1")

    def typecast(value):
        raise AssertionError("converted again: %r" % (value,))

    monkeypatch.setattr(mod, "typecast_str", typecast)
    dup = copier(cfg)
    assert type(dup) is cls and dup == cfg and vars(dup) is dup
    assert dup.raw == "5" and type(dup.plain) is dict and dict.__getitem__(dup, "dotted.key") == "1"
    assert type(dup.sec) is cls and vars(dup.sec) is dup.sec
    if copier is copy.copy:
        assert dup.sec is cfg.sec
    else:
        assert dup.sec is not cfg.sec and dup.sec == cfg.sec
    dup.extra = 1
    assert dup["extra"] == 1


# --- load_cfgs -----------------------------------------------------------------


def test_load_cfgs_options_and_names(M, tmp_path):
    path = write(tmp_path, "a.ini", """\
        [server]
        port = 22
        Mode = x
        # comment = 1
        note = a ; b
        ; plain = 2
        [x.y]
        k = v
        [app]
        log.level = debug
        """)
    cfg = M.Configuration()
    assert cfg.load_cfgs(path) == [path]
    assert cfg["server.port"] == 22 and cfg["server.mode"] == "x" and "Mode" not in cfg.server
    assert cfg["server.note"] == "a ; b" and "comment" not in cfg.server and cfg["server.; plain"] == 2
    assert type(cfg.x.y) is M.Configuration and cfg["x.y.k"] == "v"
    assert cfg["app.log.level"] == "debug"
    assert "DEFAULT" not in cfg


def test_load_cfgs_default_section(M, tmp_path):
    path = write(tmp_path, "d.ini", """\
        [DEFAULT]
        level = 1
        base = /srv
        [a]
        [b]
        level = 2
        data = %(base)s/data
        """)
    cfg = M.Configuration(DEFAULT={"old": 1})
    cfg.load_cfgs(path)
    assert cfg == {"a": {"level": 1, "base": "/srv"}, "b": {"level": 2, "base": "/srv", "data": "/srv/data"}}


def test_load_cfgs_without_files_removes_default_entry(M):
    cfg = M.Configuration({"DEFAULT": {"x": 1}, "k": 2})
    assert cfg.load_cfgs() == []
    assert dict(cfg) == {"k": 2}


def test_load_cfgs_order_and_missing_files(M, tmp_path):
    first = write(tmp_path, "1.ini", "[s]\nk = 1\nonly1 = a\n")
    second = tmp_path / "2.ini"
    second.write_text("[s]\nk = 2\n")
    cfg = M.Configuration()
    assert cfg.load_cfgs(first, str(tmp_path / "missing.ini"), second) == [first, str(second)]
    assert cfg.s == {"k": 2, "only1": "a"}


@pytest.mark.parametrize("text, error", [
    ("[s]\nport: 22\n", configparser.ParsingError),
    ("k = 1\n", configparser.MissingSectionHeaderError),
    ("[s]\nk = 1\n[s]\n", configparser.DuplicateSectionError),
    ("[s]\nk = 1\nK = 2\n", configparser.DuplicateOptionError),
])
def test_load_cfgs_parse_errors_leave_receiver_unchanged(M, tmp_path, text, error):
    path = write(tmp_path, "bad.ini", text)
    cfg = M.Configuration({"keep": {"me": 1}})
    with pytest.raises(error):
        cfg.load_cfgs(path)
    assert cfg == {"keep": {"me": 1}}


def test_load_cfgs_interpolation_error_keeps_earlier_sections(M, tmp_path):
    path = write(tmp_path, "i.ini", "[a]\nk = 1\n[b]\nx = %(missing)s\n")
    cfg = M.Configuration()
    with pytest.raises(configparser.InterpolationMissingOptionError):
        cfg.load_cfgs(path)
    assert cfg["a.k"] == 1


def test_load_cfgs_with_entries_named_like_methods(tmp_path):
    path = write(tmp_path, "m.ini", "[update]\nx = 1\n[pop]\ny = 2\n[items]\nz = 3\n")
    cfg = Configuration()
    cfg["setdefault"] = 0
    cfg.load_cfgs(path)
    cfg.load_cfgs(path)  # again, now that the receiver holds levels under those names
    assert cfg == {"setdefault": 0, "update": {"x": 1}, "pop": {"y": 2}, "items": {"z": 3}}


def test_load_cfgs_sample_file(M):
    cfg = M.Configuration()
    path = str(EXAMPLES / "service.ini")
    assert cfg.load_cfgs(path) == [path]
    assert cfg["server.port"] == 8080 and cfg["server.timeout"] == 30.5 and cfg["service.debug"] is False
    assert cfg.server.static_dir == "/srv/order-tracker/static"
    assert cfg["server.tls.enabled"] is True and cfg["server.tls.environment"] == "production"
    assert cfg["database.primary.pool.size"] == 20 and cfg["service.version"] == "2.4.1"
    assert cfg["logging.log.level"] == "WARNING" and cfg["service.log.level"] == "INFO"
    assert "DEFAULT" not in cfg


# --- load_yamls ----------------------------------------------------------------


def test_load_yamls_nesting_lists_and_missing(M, tmp_path):
    path = write(tmp_path, "a.yaml", """\
        a:
          b: 1
        c:
          - d: 2
        q: '42'
        """)
    cfg = M.Configuration()
    assert cfg.load_yamls(path, str(tmp_path / "missing.yaml"), str(tmp_path)) == (path,)
    assert type(cfg.a) is M.Configuration and cfg["a.b"] == 1
    assert type(cfg.c[0]) is dict and cfg.c == [{"d": 2}]
    assert cfg.q == 42


def test_load_yamls_merges_into_levels_and_accepts_paths(M, tmp_path):
    first = tmp_path / "1.yaml"
    first.write_text("a:\n  x: 1\n  y: 1\n")
    second = write(tmp_path, "2.yaml", "a:\n  y: 2\n  z: 3\nb.c: 4\n")
    cfg = M.Configuration()
    assert cfg.load_yamls(first, second) == (first, second)
    assert cfg == {"a": {"x": 1, "y": 2, "z": 3}, "b": {"c": 4}}


@pytest.mark.parametrize("empty", ["", "# only a comment\n", "null\n", "---\n", "~\n"])
def test_load_yamls_empty_document_counts_as_loaded(M, tmp_path, empty):
    first = write(tmp_path, "empty.yaml", empty)
    second = write(tmp_path, "b.yaml", "k: v\n")
    cfg = M.Configuration({"old": 1})
    assert cfg.load_yamls(first, second) == (first, second)
    assert cfg == {"old": 1, "k": "v"}


@pytest.mark.parametrize("text, error", [
    ("5\n", TypeError),
    ("hello\n", TypeError),
    ("a: [1, 2\n", yaml.YAMLError),
    ("a: 1\na: *x\n", yaml.YAMLError),
])
def test_load_yamls_errors_propagate_and_close_the_file(M, tmp_path, monkeypatch, text, error):
    good = write(tmp_path, "good.yaml", "kept: 1\n")
    bad = write(tmp_path, "bad.yaml", text)
    opened = []

    def tracking_open(*args, **kwargs):
        f = open(*args, **kwargs)
        opened.append(f)
        return f

    monkeypatch.setattr(M, "open", tracking_open, raising=False)
    cfg = M.Configuration()
    with pytest.raises(error):
        cfg.load_yamls(good, bad, good)
    assert cfg == {"kept": 1}
    assert len(opened) == 2 and all(f.closed for f in opened)
    assert opened[0].mode == "r"


def test_load_yamls_document_of_pairs_and_conflicts(M, tmp_path):
    pairs = write(tmp_path, "p.yaml", "- [k, 1]\n- [j, 2]\n")
    cfg = M.Configuration(a=5)
    cfg.load_yamls(pairs)
    assert cfg == {"a": 5, "k": 1, "j": 2}
    over = write(tmp_path, "o.yaml", "a:\n  b: 1\n")
    with pytest.raises(AttributeError):
        cfg.load_yamls(over)


def test_load_yamls_with_entries_named_like_methods(tmp_path):
    path = write(tmp_path, "m.yaml", "update:\n  x: 1\nitems: 3\nkeys: {k: 1}\nsetdefault: 2\n")
    cfg = Configuration()
    cfg.load_yamls(path)
    cfg.load_yamls(path)
    assert cfg == {"update": {"x": 1}, "items": 3, "keys": {"k": 1}, "setdefault": 2}
    assert cfg["keys.k"] == 1


def test_load_yamls_sample_file(M):
    cfg = M.Configuration()
    cfg.load_yamls(EXAMPLES / "service.yaml")
    assert cfg.server.tls.protocols == ["TLSv1.2", "TLSv1.3"] and cfg["server.tls.enabled"] is True
    assert type(cfg["database.replicas"][1]) is dict and cfg["database.replicas"][1]["weight"] == 1
    assert cfg["features.rate_limit"] is None and cfg["service.version"] == "2.4.1"
    assert cfg["logging.file.max_bytes"] == 10485760 and cfg.server.timeout == 30.5


def test_c_and_pure_yaml_loaders_agree(monkeypatch):
    path = EXAMPLES / "service.yaml"
    used = []

    class Spy(yaml.CSafeLoader):
        def __init__(self, stream):
            used.append(stream)
            super().__init__(stream)

    monkeypatch.setattr(yaml, "CSafeLoader", Spy)
    fast = Configuration()
    fast.load_yamls(path)
    assert len(used) == 1

    monkeypatch.delattr(yaml, "CSafeLoader")
    calls = []
    monkeypatch.setattr(yaml, "safe_load", lambda f: calls.append(f) or yaml.load(f, Loader=yaml.SafeLoader))
    pure = Configuration()
    pure.load_yamls(path)
    assert len(calls) == 1
    assert fast == pure
    assert yaml.load(path.read_text(), Loader=yaml.SafeLoader) == yaml.load(path.read_text(), Loader=Spy)


def test_loaders_make_levels_of_the_receivers_class(M, tmp_path):
    sub = subclass(M)()
    sub.load_yamls(write(tmp_path, "a.yaml", "a: {b: '1'}\n"))
    sub.load_cfgs(write(tmp_path, "a.ini", "[c.d]\ne = 1\n"))
    assert type(sub.a) is type(sub) and type(sub.c) is type(sub) and type(sub.c.d) is type(sub)
    assert sub == {"a": {"b": 1}, "c": {"d": {"e": 1}}}


# --- load_entrypoint ------------------------------------------------------------


class FakeEP:
    def __init__(self, name, obj=None, exc=None, dist=None):
        self.name, self.obj, self.exc = name, obj, exc
        self.dist = dist if dist is not None else f"pkg-{name} 1.0"

    def load(self):
        if self.exc is not None:
            raise self.exc
        return self.obj


@pytest.fixture
def entry_points(M, monkeypatch):
    calls = []
    eps = []

    def fake(**kwargs):
        calls.append(kwargs)
        return iter(eps)

    monkeypatch.setattr(M, "iter_entry_points", fake)
    return eps, calls


def test_load_entrypoint_logs_failures_and_goes_on(M, entry_points, caplog):
    eps, calls = entry_points
    good = FakeEP("good", {"a.b": "1", "s": {"k": "v"}})
    broken = FakeEP("broken", exc=ImportError("no module"))
    partial = FakeEP("partial", [("p", 1), ("q",)])
    later = FakeEP("later", M.Configuration({"s": {"j": 2}}))
    eps += [good, broken, partial, later]
    cfg = M.Configuration()
    with caplog.at_level(logging.ERROR, logger=M.logger.name):
        assert cfg.load_entrypoint(group="grp") == [good, later]
    assert calls == [{"group": "grp"}]
    assert cfg == {"a": {"b": 1}, "s": {"k": "v", "j": 2}, "p": 1}
    assert type(cfg.a) is M.Configuration
    records = [(r.name, r.levelno, r.getMessage(), r.exc_info[0]) for r in caplog.records]
    assert records == [
        (M.logger.name, logging.ERROR, "Failed to load configuration from entrypoint: pkg-broken 1.0", ImportError),
        (M.logger.name, logging.ERROR, "Failed to load configuration from entrypoint: pkg-partial 1.0", TypeError),
    ]


def test_load_entrypoint_formats_dist_with_empty_spec(M, entry_points, caplog):
    eps, _ = entry_points

    class Dist:
        def __format__(self, spec):
            return "formatted[%s]" % spec

    eps.append(FakeEP("x", exc=ValueError(), dist=Dist()))
    assert M.Configuration().load_entrypoint("g") == []
    assert caplog.records[0].getMessage() == "Failed to load configuration from entrypoint: formatted[]"


def test_load_entrypoint_does_not_catch_base_exceptions(M, entry_points):
    eps, _ = entry_points
    after = FakeEP("after", {"x": 1})
    eps += [FakeEP("stop", exc=KeyboardInterrupt()), after]
    cfg = M.Configuration()
    with pytest.raises(KeyboardInterrupt):
        cfg.load_entrypoint("g")
    assert cfg == {}


def test_load_entrypoint_dist_failure_propagates_with_context(M, entry_points):
    eps, _ = entry_points

    class Dist:
        def __format__(self, spec):
            raise RuntimeError("no dist")

    eps.append(FakeEP("x", exc=ImportError("first"), dist=Dist()))
    with pytest.raises(RuntimeError, match="no dist") as info:
        M.Configuration().load_entrypoint("g")
    assert isinstance(info.value.__context__, ImportError)
    assert sys.exception() is None


def test_load_entrypoint_leaves_handled_exception_alone(M, entry_points, caplog):
    eps, _ = entry_points
    eps.append(FakeEP("x", exc=ImportError("inner")))
    try:
        raise LookupError("outer")
    except LookupError as outer:
        M.Configuration().load_entrypoint("g")
        assert sys.exception() is outer
    assert caplog.records[0].exc_info[1].args == ("inner",)


def test_load_entrypoint_from_installed_distribution(tmp_path, monkeypatch, caplog):
    group = "dravix_tests.configuration"
    (tmp_path / "dravix_cfgtest_mod.py").write_text(
        "SETTINGS = {'service': {'port': '8080'}, 'a.b': 'true'}\nEXTRA = {'service': {'name': 'svc'}}\n")
    info = tmp_path / "dravix_cfgtest-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: dravix-cfgtest\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        f"[{group}]\nsettings = dravix_cfgtest_mod:SETTINGS\n"
        "broken = dravix_cfgtest_missing:SETTINGS\nextra = dravix_cfgtest_mod:EXTRA\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "dravix_cfgtest_mod", raising=False)

    eps = list(mod.iter_entry_points(group=group))
    assert [ep.name for ep in eps] == ["settings", "broken", "extra"]
    assert str(eps[0].dist) == "dravix-cfgtest 1.0"

    cfg = Configuration()
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        loaded = cfg.load_entrypoint(group)
    assert [ep.name for ep in loaded] == ["settings", "extra"]
    assert cfg == {"service": {"port": 8080, "name": "svc"}, "a": {"b": True}}
    assert [r.getMessage() for r in caplog.records] == [
        "Failed to load configuration from entrypoint: dravix-cfgtest 1.0"]
    assert issubclass(caplog.records[0].exc_info[0], ImportError)
    assert [ep.name for ep in mod.iter_entry_points(group, "extra")] == ["extra"]
    assert list(mod.iter_entry_points(group=group + ".none")) == []


# --- against the plain-Python version ----------------------------------------------

# Keys that name methods are left out: the plain-Python version looks methods up on the instance.
keys = st.sampled_from(["a", "b", "c", "a.b", "b.c", "a.b.c", ".x", "y."])
leaves = st.sampled_from(["1", "01", "true", "None", "1.5", "x", 2, None, (1,)])
trees = st.recursive(leaves, lambda inner: st.dictionaries(keys, inner, max_size=4), max_leaves=12)


def outcome(cls, data):
    try:
        cfg = cls(data)
    except Exception as exc:  # both versions must fail alike
        return type(exc).__name__, exc.args
    return shape(cfg), shape(cfg.copy())


def shape(value):
    if isinstance(value, dict):
        return type(value).__name__, [(k, shape(v)) for k, v in dict.items(value)]
    return value


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(keys, trees, max_size=5))
def test_matches_plain_python_version(data):
    assert outcome(Configuration, data) == outcome(baseline.Configuration, data)
