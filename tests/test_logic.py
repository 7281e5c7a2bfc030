import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from conftest import baseline as load_baseline

import dravix.datastructures.logic as logic
from dravix.datastructures.logic import And, BaseLogic, Not, Or, logic_str

baseline = load_baseline("logic")


@pytest.fixture(params=[pytest.param(logic, id="ours"), pytest.param(baseline, id="baseline")])
def L(request):
    """The module under test: ours, or the plain-Python baseline it is held to.
    Behaviour the two share is tested on both."""
    return request.param


def build(L, text, **names):
    """What the expression `text` gives with the names of module L."""
    return eval(text, {**vars(L), **names})


class Recorder:
    """A callable check that records its calls and answers from a table."""

    def __init__(self, answers=None, default=False):
        self.calls = []
        self.answers = answers or {}
        self.default = default

    def __call__(self, item):
        self.calls.append(item)
        return self.answers.get(item, self.default)


# --- module and classes -----------------------------------------------------------


def test_module_contents():
    assert logic.__all__ == ["And", "Or", "Not"]
    assert logic.re is re
    assert logic.logging is sys.modules["logging"]
    assert logic.logger is logic.logging.getLogger("dravix.datastructures.logic")
    from dravix.utils.strings import decode_cli_string
    assert logic.decode_cli_string is decode_cli_string
    for cls, base in [(BaseLogic, object), (And, BaseLogic), (Or, BaseLogic), (Not, BaseLogic)]:
        assert type(cls) is type and cls.__bases__ == (base,)
        assert cls.__doc__
    assert [k for k in vars(BaseLogic) if k in ("__init__", "__call__", "__str__", "__repr__", "__eq__")] == [
        "__init__", "__call__", "__str__", "__repr__", "__eq__"]
    assert {k for k in vars(And) if not k.startswith("__") or k == "__call__"} == {"__call__"}
    assert logic_str.__module__ == "dravix.datastructures.logic"


@pytest.mark.parametrize("name", ["BaseLogic", "And", "Or", "Not"])
def test_unhashable(L, name):
    with pytest.raises(TypeError):
        hash(getattr(L, name)("a"))


# --- construction -----------------------------------------------------------------


def test_init_compiles_strings_keeps_callables(L):
    class Text(str):
        pass

    f = len
    nested = L.Or("b")
    e = L.And("a", Text("^b$"), f, nested)
    assert [type(x) for x in e.expressions[:2]] == [re.Pattern, re.Pattern]
    assert e.expressions[1].pattern == "^b$" and e.expressions[0].flags == re.compile("a").flags
    assert e.expressions[2] is f and e.expressions[3] is nested
    assert type(e.expressions) is list


@pytest.mark.parametrize("bad", [5, re.compile("a"), None, b"a"])
def test_init_rejects_non_str_non_callable(L, bad):
    with pytest.raises(TypeError) as info:
        L.And("ok", bad)
    assert str(info.value) == "Expression only accepts str and callable. Got: %s (%s)" % (bad, type(bad))


def test_init_errors(L):
    with pytest.raises(re.error):
        L.Or("(")
    with pytest.raises(TypeError, match=r"^BaseLogic.__init__\(\) got an unexpected keyword argument 'x'$"):
        L.And(x="a")
    with pytest.raises(TypeError, match=r"^And.__call__\(\) got an unexpected keyword argument 'y'$"):
        L.And("a")("a", y=1)


def test_re_looked_up_at_call_time(L, monkeypatch):
    class FakeRe:
        @staticmethod
        def compile(text):
            return lambda item: item == text

    monkeypatch.setattr(L, "re", FakeRe)
    e = L.Or("x")
    assert e("x") is True and e("xx") is False


def test_plain_baselogic_call(L):
    with pytest.raises(NotImplementedError) as info:
        L.BaseLogic("a")()
    assert info.value.args == ()
    with pytest.raises(TypeError):
        L.BaseLogic("a")("item")


# --- evaluation -------------------------------------------------------------------


@pytest.mark.parametrize("expr, items, expected", [
    ("And('a', 'b')", ("ab",), True),
    ("And('a', 'b')", ("a",), False),
    ("And('a', 'b')", ("a", "b"), True),
    ("Or('^x$')", ("xy",), False),
    ("Or('^x$')", ("x",), True),
    ("Or('x')", ("axb",), True),
    ("Not('a', 'b')", ("c",), True),
    ("Not('a', 'b')", ("b",), False),
    ("And()", ("z",), True),
    ("Or()", ("z",), False),
    ("Not()", ("z",), True),
    ("And('a')", (), False),
    ("Or('a')", (), False),
    ("Not('a')", (), True),
    ("And()", (), True),
    ("Or('')", ("",), True),
    ("Or('^4')", (42,), True),
    ("Or('a')", ("\u00e9a",), True),
    ("Or('\u00e9')", ("caf\u00e9",), True),
    ("Or('\u00e9')", ("cafe",), False),
    ("Or(\"'a', 'b'\")", (["a", "b"],), True),
    ("And(Or('a', 'b'), Not('c'))", ("a", "d"), True),
    ("And(Or('a', 'b'), Not('c'))", ("a", "c"), False),
    ("And(Or('a', 'b'), Not('c'))", ("e",), False),
    ("Or(And(), Not('x'))", (), True),
    ("And(lambda item: item > 2, '1')", (1, 3), True),
    ("Or(lambda item: 0, lambda item: [])", (1, 2), False),
])
def test_truth_table(L, expr, items, expected):
    assert build(L, expr)(*items) is expected


@pytest.mark.parametrize("pattern, item, expected", [
    (re.compile("a", re.I), "A", True),
    (re.compile("a"), "A", False),
    (re.compile("a.c"), "abc", True),
    (re.compile("a.c"), "a.c", True),
    (re.compile("a.c"), "ac", False),
    (re.compile("^a"), "ba", False),
    (re.compile("a|b"), "b", True),
    (re.compile("x y", re.X), "xy", True),
    (re.compile("\u00e9t\u00e9"), "l'\u00e9t\u00e9", True),
    (re.compile("#"), "a#b", True),
    (re.compile(""), "", True),
])
def test_compiled_patterns_keep_their_meaning(L, pattern, item, expected):
    e = L.Or()
    e.expressions.append(pattern)
    assert e(item) is expected
    assert e("zz", item) is expected


def test_every_item_is_turned_into_text(L):
    class Bad:
        def __str__(self):
            raise LookupError

    with pytest.raises(LookupError):
        L.Or("a")("a", Bad())  # the match on the first item does not skip the second
    e = L.Or()
    e.expressions.append(re.compile(b"a"))
    with pytest.raises(TypeError):
        e("a")


class Searcher:
    """A check that is not callable and not a compiled pattern: its search is
    called with the text of each item."""

    def __init__(self, search):
        self.search = search


@pytest.mark.parametrize("as_check", [lambda f: f, Searcher], ids=["callable", "search"])
def test_check_applied_to_every_item_and_truth_after(L, as_check):
    log = []

    class Value:
        def __init__(self, name, truth):
            self.name, self.truth = name, truth

        def __bool__(self):
            log.append(("bool", self.name))
            return self.truth

    def check(item):
        log.append(("call", item))
        return Value(item, item in ("b", "c"))

    e = L.Or()
    e.expressions.append(as_check(check))
    assert e("a", "b", "c", "d") is True
    # every item is called first; truth values are then taken up to the first true one
    assert log == [("call", "a"), ("call", "b"), ("call", "c"), ("call", "d"), ("bool", "a"), ("bool", "b")]


@pytest.mark.parametrize("name, answers, expected_calls", [
    ("And", [False, True], 1),  # And stops at the first failing check
    ("And", [True, True], 2),
    ("Or", [True, False], 1),   # Or stops at the first check that holds
    ("Or", [False, False], 2),
    ("Not", [True, False], 1),  # Not stops at the first check that holds
    ("Not", [False, False], 2),
])
def test_short_circuit(L, name, answers, expected_calls):
    checks = [Recorder(default=a) for a in answers]
    getattr(L, name)(*checks)("x")
    assert sum(len(c.calls) for c in checks) == expected_calls


def test_errors_propagate(L):
    class Bad:
        def __str__(self):
            raise KeyError("no text")

    with pytest.raises(KeyError):
        L.Or("a")(Bad())
    with pytest.raises(ZeroDivisionError):
        L.And(lambda item: 1 / 0)("x")
    with pytest.raises(ZeroDivisionError):
        L.And(L.Or(lambda item: 1 / 0))("x")


def test_nested_gets_all_items_and_overrides_are_used(L):
    seen = []

    class Spy(L.Or):
        def __call__(self, *items):
            seen.append(items)
            return 0

    assert L.And(Spy("a"))("a", "b") is False
    assert seen == [("a", "b")]
    # a nested expression with no items is still called
    assert L.And(Spy("a"))() is False and seen[-1] == ()


def test_call_as_the_class_has_it_now(L, monkeypatch):
    class Sub(L.And):
        pass

    assert Sub("a")("a") is True and L.Or(Sub("x"))("a") is False
    monkeypatch.setattr(L.And, "__call__", lambda self, *items: ["replaced", items])
    assert L.And("z")("a", "b") == ["replaced", ("a", "b")] and Sub("z")("a") == ["replaced", ("a",)]
    assert L.Or(L.And("z"))("a") is True and L.Not(L.And("z"), Sub("z"))() is False
    monkeypatch.undo()
    assert L.And("z")("a") is False and L.Or(L.And("z"), Sub("z"))("a") is False


@pytest.mark.parametrize("where", ["before", "check", "text", "attribute", "release"])
def test_baselogic_looked_up_for_each_check(L, monkeypatch, where):
    """BaseLogic rebound before the call, or by code a check runs: the nested
    Spy is no longer an expression object but a callable called per item."""
    seen = []

    class Spy(L.Or):
        def __call__(self, *items):
            seen.append(items)
            return False

    def rebind(*args):
        monkeypatch.setattr(L, "BaseLogic", type("Other", (), {}))
        return True

    class Item:
        def __str__(self):
            return rebind() and "p"

    class Reading(L.And):  # its checks come from a property
        expressions = property(lambda self: rebind() and [Spy()], lambda self, value: None)

    class Dying(L.And):  # rebinds when the last reference to it goes
        __del__ = rebind

    items = ("p", "q")
    if where == "before":
        rebind()
        expr = L.And(Spy())
    elif where == "check":
        expr = L.And(rebind, Spy())
    elif where == "text":
        items = (Item(), "q")
        expr = L.And("p", Spy())
    elif where == "attribute":
        expr = L.Or(Reading())
    else:
        expr = L.Or()
        dying = [Dying(lambda item: not (dying and expr.expressions.remove(dying.pop())), "z")]
        expr.expressions.extend([dying[0], Spy(), Spy()])
    expr(*items)
    assert seen == [(items[0],), (items[1],)]


@pytest.mark.parametrize("base", [object, re.Pattern])
def test_patterns_are_expression_objects_when_baselogic_says_so(L, monkeypatch, base):
    monkeypatch.setattr(L, "BaseLogic", base)
    with pytest.raises(TypeError, match="not callable"):
        L.Or("a")("a", "b")


def test_expressions_attribute_is_read_at_call_time(L):
    e = L.And("a")
    e.expressions = ("b",)  # any iterable; a non-pattern non-callable needs .search
    with pytest.raises(AttributeError):
        e("b")
    e.expressions = [re.compile("b")]
    assert e("b") is True
    grow = L.Or()
    grow.expressions.append(lambda item: grow.expressions.append(lambda item: True) or False)
    assert grow("x") is True  # checks appended while running are seen, as a list iterator sees them

    class Named(L.And):
        def __init__(self, *checks):
            self.name = "n"  # the instance's first attribute is another one
            super().__init__(*checks)

    class Fallback(L.And):
        def __getattr__(self, name):
            return [re.compile("a")]

    assert Named("a")("a") is True and L.Or(Named("b"))("a") is False
    fallback = Fallback()
    del fallback.expressions
    assert fallback("a") is True and L.Or(fallback)("b") is False
    del e.expressions
    for call in (lambda: e("a"), lambda: L.Or(e)("a")):
        with pytest.raises(AttributeError, match=r"^'And' object has no attribute 'expressions'$"):
            call()


# --- text form and equality -----------------------------------------------------------


def named(item):
    return True


@pytest.mark.parametrize("expr, text", [
    ("And('a', Or('b', 'c'))", "And('a', Or('b', 'c'))"),
    ("Not()", "Not()"),
    ("BaseLogic('x')", "BaseLogic('x')"),
    ("Or(\"it's\")", "Or('it's')"),
    ("Or(r'a\\d')", r"Or('a\d')"),
    ("And(named)", "And(%r)" % named),
])
def test_text_form(L, expr, text):
    e = build(L, expr, named=named)
    assert str(e) == text and repr(e) == text


@pytest.mark.parametrize("a, b, equal", [
    ("And('a')", "And('a')", True),
    ("And('a')", "Or('a')", False),
    ("And('a')", "And('b')", False),
    ("And('a', Or('b'))", "And('a', Or('b'))", True),
    ("And('a', Or('b'))", "And('a', Not('b'))", False),
    ("And(named)", "And(named)", True),
    ("And('a')", "\"And('a')\"", False),
    ("BaseLogic('a')", "And('a')", False),
])
def test_equality(L, a, b, equal):
    a, b = build(L, a, named=named), build(L, b, named=named)
    assert (a == b) is equal and (a != b) is (not equal)


# --- logic_str ------------------------------------------------------------------------


@pytest.mark.parametrize("text, expected", [
    ("And('a', 'b')", "And('a', 'b')"),
    ("  \tAnd('a', 'b')", "And('a', 'b')"),
    ("And ( 'a' ,\t\"b\" , )", "And('a', 'b')"),
    ("And('a', 'b')  # trailing comment", "And('a', 'b')"),
    ("And(\n  'a',\n  'b'\n)\n", "And('a', 'b')"),
    ("And(r'a', 'b')", "And('a', 'b')"),
    ("And('a' 'b')", "And('ab')"),
    ("And('''a''', \"b\")", "And('a', 'b')"),
    ("And('\\x61', 'b')", "And('a', 'b')"),
    ("Ａｎｄ('a', 'b')", "And('a', 'b')"),
])
def test_logic_str_reads_like_eval(L, text, expected):
    e = L.logic_str(text)
    assert str(e) == expected and e("ab") is True


def _valid(pattern):
    try:
        re.compile(pattern)
    except re.error:
        return False
    return True


patterns = st.text(st.characters(blacklist_characters="'\"\\\n\r", blacklist_categories=("Cs", "Cc")),
                   max_size=6).filter(_valid)


def expressions_of(classes):
    return st.recursive(
        patterns,
        lambda children: st.builds(lambda cls, args: cls(*args), st.sampled_from(classes),
                                   st.lists(children, max_size=4)),
        max_leaves=12,
    ).filter(lambda e: isinstance(e, BaseLogic))


expressions = expressions_of([And, Or, Not, BaseLogic])


@settings(max_examples=150, deadline=None)
@given(expressions)
def test_text_form_reads_back_equal(expr):
    text = str(expr)
    assert logic_str(text) == expr
    # the parser path (a comment defeats the direct scan) gives the same object
    assert logic_str(text + " #") == expr
    assert str(baseline.logic_str(text)) == text


@settings(max_examples=100, deadline=None)
@given(expressions_of([And, Or, Not]), st.lists(st.one_of(st.text(max_size=4), st.integers()), max_size=3))
def test_calls_agree_with_reference(expr, items):
    assert expr(*items) is baseline.logic_str(str(expr))(*items)


def test_logic_str_string_name_and_keyword(L):
    assert L.logic_str("Or(string)").expressions[0].pattern == "Or(string)"
    assert L.logic_str(string="Not()") == L.Not()
    assert L.logic_str(b"And('a')") == L.And("a")
    assert L.logic_str(bytearray(b" Or('\xc3\xa9')")) == L.Or("\u00e9")


@pytest.mark.parametrize("text", ["And(5)", "And(", "Nope('a')", "And('(')", "'a'", "And(1)", "", "And('a'))"])
def test_logic_str_invalid(L, text):
    with pytest.raises(ValueError) as info:
        L.logic_str(text)
    assert str(info.value) == "Not a properly formatted logic string: %s" % text
    assert info.value.__context__ is not None and info.value.__cause__ is None
    assert not info.value.__suppress_context__


def test_logic_str_assertion_context(L):
    with pytest.raises(ValueError) as info:
        L.logic_str("'a'")
    assert type(info.value.__context__) is AssertionError


def test_decode_cli_string_is_called_once_and_used(L, monkeypatch):
    calls = []

    def decode(value):
        calls.append(value)
        return "Or('%s')" % value

    monkeypatch.setattr(L, "decode_cli_string", decode)
    assert L.logic_str("zz") == L.Or("zz") and calls == ["zz"]
    with pytest.raises(ValueError, match=r"string: Or\('\('\)$"):
        L.logic_str("(")

    class Boom(Exception):
        pass

    def failing(value):
        raise Boom(value)

    monkeypatch.setattr(L, "decode_cli_string", failing)
    with pytest.raises(Boom):
        L.logic_str("And('a')")


@pytest.mark.parametrize("decoded, outer, inner", [
    (5, ValueError, TypeError),  # not text at all
    (("a", "b"), TypeError, TypeError),  # the message itself cannot be formatted from a 2-tuple
    ("And('a')\x00", ValueError, SyntaxError),
])
def test_logic_str_odd_decoded_values(L, monkeypatch, decoded, outer, inner):
    monkeypatch.setattr(L, "decode_cli_string", lambda value: decoded)
    with pytest.raises(outer) as info:
        L.logic_str("ignored")
    assert type(info.value.__context__) is inner and info.value.__cause__ is None


def test_names_are_module_globals_at_call_time(L, monkeypatch):
    made = []
    monkeypatch.setattr(L, "Or", lambda *args: made.append(args) or L.And(*args))
    assert L.logic_str("Not(Or('a', 'b'))") == L.Not(L.And("a", "b"))
    assert L.logic_str("Not(Or('a', 'b')) #") == L.Not(L.And("a", "b"))
    assert made == [("a", "b"), ("a", "b")]


@pytest.mark.parametrize("suffix", ["", " # parser path"])
def test_logic_str_builds_inner_first_left_to_right(L, monkeypatch, suffix):
    order = []
    for name in ("And", "Or", "Not"):
        real = getattr(L, name)
        monkeypatch.setattr(L, name, lambda *args, _n=name, _r=real: order.append(_n) or _r(*args))
    e = L.logic_str("And(Or('a', Not('b')), Not('c'), Or())" + suffix)
    assert order == ["Not", "Or", "Not", "Or", "And"]
    assert str(e) == "And(Or('a', Not('b')), Not('c'), Or())"


def test_keyboard_interrupt_is_not_wrapped(L, monkeypatch):
    def interrupt(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(L, "And", interrupt)
    with pytest.raises(KeyboardInterrupt):
        L.logic_str("And('a')")


@pytest.mark.parametrize("text", [
    "__import__('logic_marker_module')",
    "And(__import__('logic_marker_module'))",
    "And(open({path!r}, 'w'))",
    "And('a', Or(open({path!r}, 'w').write('x')))",
    "And(re.compile('a'))",
    "And(logic_str(\"__import__('logic_marker_module')\"))",
    "And('a').expressions",
    "And(('a', 'b')[0])",
    "And(lambda item: open({path!r}, 'w'))",
    "And(*[open({path!r}, 'w')])",
    "And([x for x in 'a'])",
    "And('a' + 'b')",
    "And(x='a')",
    "And(**{{}})",
    "And(f'{{open({path!r}, \"w\")}}')",
    "And((y := 'a'))",
    "And(...)",
    "And(b'a')",
    "And(And)",
    "string('a')",
])
def test_logic_str_runs_nothing(text, tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    path = tmp_path / "created"
    (tmp_path / "logic_marker_module.py").write_text("open(%r, 'w').close()\n" % str(path))
    built = []
    monkeypatch.setattr(logic, "Or", lambda *args: built.append(args))
    with pytest.raises(ValueError) as info:
        logic_str(text.format(path=str(path)))
    assert info.value.__context__ is not None and info.value.__cause__ is None
    assert not path.exists()
    assert "logic_marker_module" not in sys.modules
    assert built == []  # nothing is built before the whole text is checked


@pytest.mark.parametrize("depth, ok", [(99, True), (101, True), (150, True), (400, False)])
def test_logic_str_nesting(L, depth, ok):
    text = "And(" * depth + "'a'" + ")" * depth
    if ok:
        e = L.logic_str(text)
        assert str(e) == text
        assert e("a") is True
    else:
        with pytest.raises(ValueError):
            L.logic_str(text)


@pytest.mark.parametrize("flag, expected", [("", "ValueError"), ("-O", "'a'")])
def test_assertions_flag_read_at_import(flag, expected):
    code = textwrap.dedent("""
        from dravix.datastructures.logic import logic_str
        try:
            print(repr(logic_str("'a'")))
        except ValueError:
            print("ValueError")
    """)
    args = [sys.executable] + ([flag] if flag else []) + ["-c", code]
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout.strip()
    assert out == expected
