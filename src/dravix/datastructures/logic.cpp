// dravix.datastructures.logic: boolean expressions over regular expressions and
// callables, and their text form.
//
//   select = And(Or('a', 'b'), Not('c'))
//   [name for name in names if select(name)]
//   logic_str("And('a', Or('b', 'c'))") == And('a', Or('b', 'c'))
//
// A string check is compiled with re.compile and searched (unanchored) in the
// str() of each item; any other callable is called with each item; a nested
// expression is called with all the items. logic_str reads the text form back:
// it accepts only the small language that text form is written in (string and
// number literals, None, True, False, the name `string`, and calls of And, Or,
// Not and BaseLogic) and never runs anything else.
//
//   Python name          C++ function     what it does
//   BaseLogic.__init__   baselogic_init   self.expressions: strings compiled, callables as given
//   BaseLogic.__call__   baselogic_call   raises NotImplementedError
//   BaseLogic.__str__    baselogic_str    the text form, e.g. And('a', Or('b', 'c'))
//   BaseLogic.__repr__   baselogic_repr   str(self)
//   BaseLogic.__eq__     baselogic_eq     the very same class and equal expressions
//   And.__call__         and_call         every check holds for some item     (operator_call:
//   Or.__call__          or_call          some check holds for some item       the walk of
//   Not.__call__         not_call         no check holds for any item          evaluate_checks)
//   (their tp_call)      operator_slot    expr(*items) for the three classes themselves
//   logic_str            logic_str        the text form read back: checked into a Program
//                                         (Scanner, or compile_node over the parser's tree),
//                                         then run
#include "capi.hpp"
#include "textbuf.hpp"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using capi::Ref;

// The operator an expression object applies; indexes State::call_ours.
enum class Op { And, Or, Not };

// Every object the module keeps: interned names, imported objects, and the
// __call__ descriptors of the three operators (to recognise them on nested
// checks and evaluate those without a round trip through the interpreter).
struct StateObjects {
  PyObject *str_expressions;
  PyObject *str_compile;
  PyObject *str_search;
  PyObject *str_pattern;
  PyObject *str_call;  // "__call__"
  PyObject *str_re;
  PyObject *str_BaseLogic;
  PyObject *str_And;
  PyObject *str_Or;
  PyObject *str_Not;
  PyObject *str_string;
  PyObject *str_decode_cli_string;
  PyObject *str_filename;  // "<string>"
  PyObject *str_body;      // the attributes of the parser's nodes that are read
  PyObject *str_value;
  PyObject *str_id;
  PyObject *str_func;
  PyObject *str_args;
  PyObject *str_keywords;
  PyObject *invalid_format;  // "Not a properly formatted logic string: %s"
  PyObject *pattern_type;    // re.Pattern
  PyObject *pattern_search;  // re.Pattern.search
  PyObject *ast_Expression;
  PyObject *ast_Constant;
  PyObject *ast_Name;
  PyObject *ast_Call;
  PyObject *globals;            // the module's dict (a module keeps the one it was made with)
  PyObject *operator_class[3];  // And, Or and Not as made (their tp_call is operator_slot)
  PyObject *call_ours[3];       // And.__call__, Or.__call__, Not.__call__ as installed
};
struct State : StateObjects {
  using Objects = StateObjects;
  bool assertions;  // builtins.__debug__ at import: whether logic_str asserts what it built
  int unicode_flag;  // re.UNICODE: the flags of a str pattern compiled without flags
  // Where a re.Pattern keeps its source (an object) and its flags (a C int),
  // as the member descriptors re.Pattern.pattern and re.Pattern.flags read
  // them; -1 when those are not plain read-only members of these kinds.
  Py_ssize_t pattern_source_offset;
  Py_ssize_t pattern_flags_offset;
  // The C function of re.Pattern.search (defined on re.Pattern), when it has
  // the form METH_METHOD | METH_FASTCALL | METH_KEYWORDS; else nullptr.
  PyCMethod search_function;
};

extern PyModuleDef module_def;

PyDoc_STRVAR(module_doc,
             "Boolean logic expressions (And, Or, Not) over regular expressions and callables,\n"
             "and logic_str, which reads their text form back, e.g. from a command line.");

// --- class BaseLogic ----------------------------------------------------------

PyDoc_STRVAR(baselogic_doc,
             "The common code of the logic operators And, Or and Not.\n\n"
             "An expression holds an ordered list of checks: regular expressions (given as\n"
             "strings) and callables, nested expressions included. A plain BaseLogic tests\n"
             "nothing itself; calling it raises NotImplementedError.");

PyDoc_STRVAR(baselogic_init_doc, "__init__($self, /, *expressions)\n--\n\n"
             "Keep the checks in order: strings compiled with re.compile, callables as they are.");

PyObject *baselogic_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::reject_keywords("BaseLogic.__init__", kwnames) < 0) return nullptr;
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  State *st = capi::state_of<State>(module);
  Ref expressions = Ref::steal(PyList_New(0));
  if (!expressions || PyObject_SetAttr(self, st->str_expressions, expressions.get()) < 0) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyObject *arg = args[i];
    Ref check;
    if (PyUnicode_Check(arg)) {
      Ref re = capi::global(module, st->str_re);
      if (!re) return nullptr;
      check = capi::call_method(re.get(), st->str_compile, arg);
      if (!check) return nullptr;
    } else if (!PyCallable_Check(arg)) {
      Ref message = Ref::steal(PyUnicode_FromFormat("Expression only accepts str and callable. Got: %S (%S)", arg,
                                                    reinterpret_cast<PyObject *>(Py_TYPE(arg))));
      if (message) PyErr_SetObject(PyExc_TypeError, message.get());
      return nullptr;
    } else {
      check = Ref::borrow(arg);
    }
    if (PyList_Append(expressions.get(), check.get()) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyDoc_STRVAR(baselogic_call_doc,
             "__call__($self, /)\n--\n\n"
             "A plain BaseLogic has no test of its own: raise NotImplementedError.");

PyObject *baselogic_call(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::reject_keywords("BaseLogic.__call__", kwnames) < 0) return nullptr;
  if (nargs != 0) {
    PyErr_Format(PyExc_TypeError, "BaseLogic.__call__() takes 1 positional argument but %zd were given", nargs + 1);
    return nullptr;
  }
  PyErr_SetNone(PyExc_NotImplementedError);
  return nullptr;
}

PyDoc_STRVAR(baselogic_str_doc,
             "__str__($self, /)\n--\n\n"
             "The text form, e.g. And('a', Or('b', 'c')): the class name and the checks,\n"
             "patterns in single quotes as written, callables by their repr.");

// Appends all of a str to the text being built.
bool append_text(capi::TextBuffer &out, PyObject *text) { return out.append(text, 0, PyUnicode_GET_LENGTH(text)); }

PyObject *baselogic_str(PyObject *self, PyObject *) {
  State *st = capi::state_of<State>(self, &module_def);
  if (st == nullptr) return nullptr;
  Ref expressions = Ref::steal(PyObject_GetAttr(self, st->str_expressions));
  if (!expressions) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(expressions.get()));
  if (!iterator) return nullptr;
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
  capi::TextBuffer out;
  if (!name || !append_text(out, name.get()) || !out.ascii("(", 1)) return nullptr;
  bool first = true;
  while (Ref check = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!first && !out.ascii(", ", 2)) return nullptr;
    first = false;
    if (PyCallable_Check(check.get())) {
      Ref part = Ref::steal(PyObject_Repr(check.get()));
      if (!part || !append_text(out, part.get())) return nullptr;
      continue;
    }
    Ref source = Ref::steal(PyObject_GetAttr(check.get(), st->str_pattern));
    if (!source) return nullptr;
    if (!PyUnicode_CheckExact(source.get())) {
      source = Ref::steal(PyObject_Str(source.get()));
      if (!source) return nullptr;
    }
    if (!out.ascii("'", 1) || !append_text(out, source.get()) || !out.ascii("'", 1)) return nullptr;
  }
  if (PyErr_Occurred() || !out.ascii(")", 1)) return nullptr;
  return out.finish();
}

PyDoc_STRVAR(baselogic_repr_doc,
             "__repr__($self, /)\n--\n\n"
             "The same text as str(self).");

PyObject *baselogic_repr(PyObject *self, PyObject *) { return PyObject_Str(self); }

PyDoc_STRVAR(baselogic_eq_doc,
             "__eq__($self, other, /)\n--\n\n"
             "Equal when other is of the very same class and holds equal checks in the\n"
             "same order.");

PyObject *baselogic_eq(PyObject *self, PyObject *other) {
  if (Py_TYPE(self) != Py_TYPE(other)) Py_RETURN_FALSE;
  State *st = capi::state_of<State>(self, &module_def);
  if (st == nullptr) return nullptr;
  Ref mine = Ref::steal(PyObject_GetAttr(self, st->str_expressions));
  if (!mine) return nullptr;
  Ref theirs = Ref::steal(PyObject_GetAttr(other, st->str_expressions));
  if (!theirs) return nullptr;
  return PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ);
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef baselogic_methods[] = {
    {.ml_name = "__init__", .ml_meth = capi::as_cfunc(baselogic_init), .ml_flags = fastcall,
     .ml_doc = baselogic_init_doc},
    {.ml_name = "__call__", .ml_meth = capi::as_cfunc(baselogic_call), .ml_flags = fastcall,
     .ml_doc = baselogic_call_doc},
    {.ml_name = "__str__", .ml_meth = baselogic_str, .ml_flags = METH_NOARGS, .ml_doc = baselogic_str_doc},
    {.ml_name = "__repr__", .ml_meth = baselogic_repr, .ml_flags = METH_NOARGS, .ml_doc = baselogic_repr_doc},
    {.ml_name = "__eq__", .ml_meth = baselogic_eq, .ml_flags = METH_O, .ml_doc = baselogic_eq_doc},
    {},
};

// --- evaluation, shared by And, Or and Not ------------------------------------
//
// A call walks the checks as the operators' loops over _check do. A nested
// expression object whose class still runs one of our operators' __call__ is
// evaluated in the same walk, without a call through the interpreter: the
// walk goes down into it. Every other check is applied as _check applies it.
//
// _check reads the module global BaseLogic for every check it is given. An
// evaluation reads it at its first check and again only after something that
// can run Python code, which is the only way it can be rebound in between: a
// callable check and the truth of its results, str() of an item that is not
// a str, a search through a `search` attribute, an `expressions` attribute
// that is not a plain instance attribute or not an exact list, a nested
// expression called through the interpreter, an isinstance answered by
// __instancecheck__ or __class__, and the release of the last reference to a
// check or a list of checks (__del__, weak-reference callbacks), and a search
// by the regular-expression engine (it runs signal handlers in a long
// search). Finding the text of a plain pattern in a str, reading a plain
// instance attribute and walking an exact list run none. Each check is held
// while it is applied, whatever it is.

// What one call carries from check to check.
struct Eval {
  PyObject *module;  // borrowed: the module of the called class
  State *st;
  PyObject *const *items;  // the call's arguments, borrowed from the caller
  Py_ssize_t nitems;
  bool texts;         // every item is an exact str: it is its own text
  bool stale = true;  // Python code may have run since `base` was read
  Ref base;           // the module's BaseLogic as last read
  // What `base` tells at once: it is a class of the exact type `type`
  // (isinstance is its subclass test), and, with `texts`, it is neither
  // re.Pattern nor object, so that a compiled pattern is no expression object
  // and searching it in the items runs no code.
  bool base_is_class = false;
  bool patterns_searched = false;

  Eval(PyObject *module_, PyObject *const *items_, Py_ssize_t nitems_)
      : module(module_), st(capi::state_of<State>(module_)), items(items_), nitems(nitems_), texts(true) {
    for (Py_ssize_t i = 0; i < nitems && texts; ++i) texts = PyUnicode_CheckExact(items[i]);
  }

  // The module's BaseLogic now (borrowed from `base`), or nullptr with the
  // NameError set.
  PyObject *current_base() {
    if (stale) {
      base.reset();  // released before the read: its release may run code
      PyObject *found = PyDict_GetItemWithError(st->globals, st->str_BaseLogic);  // borrowed
      if (found != nullptr) {
        base = Ref::borrow(found);
      } else {
        if (PyErr_Occurred()) return nullptr;
        base = capi::global(module, st->str_BaseLogic);  // the builtins, or the NameError
        if (!base) return nullptr;
      }
      stale = false;
      base_is_class = PyType_CheckExact(base.get());
      patterns_searched = texts && base_is_class && base.get() != st->pattern_type &&
                          base.get() != reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    }
    return base.get();
  }

  // Releases a reference the evaluation held; when it is the last one, what
  // the object's destruction runs counts as code run.
  void drop(PyObject *obj) {
    if (Py_REFCNT(obj) == 1) stale = true;
    Py_DECREF(obj);
  }
};

template <Op op>
PyObject *operator_slot(PyObject *self, PyObject *args, PyObject *kwargs);

// The __call__ slot each operator class gets once it is made (see operator_slot).
constexpr ternaryfunc operator_slots[] = {operator_slot<Op::And>, operator_slot<Op::Or>, operator_slot<Op::Not>};

// Which of our operators an object of class tp applies when called, when its
// class is one of our three and still has our __call__ slot (the interpreter
// puts the generic slot back when __call__ is set or deleted on the class);
// -1 otherwise.
inline int operator_slot_of(State *st, PyTypeObject *tp) {
  for (int i = 0; i < 3; ++i)
    if (tp == reinterpret_cast<PyTypeObject *>(st->operator_class[i])) return tp->tp_call == operator_slots[i] ? i : -1;
  return -1;
}

// Whether `cls` is on the MRO of tp, a ready class (its MRO is a tuple): the
// subclass test of PyType_IsSubtype, without its call.
inline bool on_mro(PyTypeObject *tp, PyObject *cls) {
  PyObject *mro = tp->tp_mro;
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i)
    if (PyTuple_GET_ITEM(mro, i) == cls) return true;
  return false;
}

// isinstance(check, base). For the usual checks that are not expression
// objects (patterns, functions, methods) the answer is their type's: their
// __class__ cannot differ from their type, so the interpreter's second look,
// at __class__, is skipped.
int is_logic(Eval &ev, PyObject *check, PyObject *base) {
  if (PyType_CheckExact(base)) {
    PyTypeObject *tp = Py_TYPE(check);
    if (PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject *>(base))) return 1;
    if (tp == reinterpret_cast<PyTypeObject *>(ev.st->pattern_type) || tp == &PyFunction_Type ||
        tp == &PyCFunction_Type || tp == &PyMethod_Type)
      return 0;
  }
  ev.stale = true;
  return PyObject_IsInstance(check, base);
}

// Whether calling `check` would run one of our operators' __call__, and
// which: then it is evaluated here instead. Either its class is one of our
// three with our __call__ slot, or its class finds one of our operators'
// __call__ through the type's method cache (a subclass that does not
// override it).
bool operator_ours(State *st, PyObject *check, Op *op) {
  int slot = operator_slot_of(st, Py_TYPE(check));
  if (slot >= 0) {
    *op = static_cast<Op>(slot);
    return true;
  }
  PyObject *call = capi::lookup_on_type(Py_TYPE(check), st->str_call);  // borrowed, compared only
  if (call == nullptr) return false;
  for (int i = 0; i < 3; ++i) {
    if (call == st->call_ours[i]) {
      *op = static_cast<Op>(i);
      return true;
    }
  }
  return false;
}

// The characters that have a meaning of their own in a pattern (outside
// re.VERBOSE): a pattern without them matches exactly its own text.
constexpr auto special_chars = [] {
  std::array<bool, 128> table{};
  for (char c : std::string_view(".^$*+?{}[]\\|()")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

// The source of an exact re.Pattern (borrowed from it) when searching the
// pattern means finding that text: a str pattern compiled without flags
// (re.UNICODE alone, as for every str pattern) from ordinary characters only.
// nullptr otherwise. The source and flags are read where the type's own
// member descriptors read them (Pattern objects never change).
inline PyObject *plain_literal(State *st, PyObject *pattern) {
  if (st->pattern_source_offset < 0) return nullptr;
  const char *at = reinterpret_cast<const char *>(pattern);
  PyObject *source = *reinterpret_cast<PyObject *const *>(at + st->pattern_source_offset);
  if (*reinterpret_cast<const int *>(at + st->pattern_flags_offset) != st->unicode_flag || source == nullptr ||
      !PyUnicode_CheckExact(source))
    return nullptr;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(source);
  if (PyUnicode_IS_COMPACT_ASCII(source)) {
    const auto *chars = reinterpret_cast<const unsigned char *>(reinterpret_cast<PyASCIIObject *>(source) + 1);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (special_chars[chars[i]]) return nullptr;
    return source;
  }
  const int kind = PyUnicode_KIND(source);
  const void *data = PyUnicode_DATA(source);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 128 && special_chars[c]) return nullptr;
  }
  return source;
}

// Whether the str `literal` occurs in the str `text`: 1, 0, or -1 with an error set.
inline int contains(PyObject *text, PyObject *literal) {
  if (PyUnicode_GET_LENGTH(literal) == 1)  // cannot fail for a str and a valid range
    return PyUnicode_FindChar(text, PyUnicode_READ_CHAR(literal, 0), 0, PY_SSIZE_T_MAX, 1) >= 0;
  Py_ssize_t at = PyUnicode_Find(text, literal, 0, PY_SSIZE_T_MAX, 1);
  return at == -2 ? -1 : at >= 0;
}

// Whether pattern.search(text) finds a match, for an exact re.Pattern: 1, 0,
// or -1 with an error set. The search goes through the C function of
// re.Pattern.search itself when it has the expected form (no bound method, no
// argument tuple).
int pattern_searched(State *st, PyObject *pattern, PyObject *text) {
  Ref match;
  if (st->search_function != nullptr) {
    match = Ref::steal(
        st->search_function(pattern, reinterpret_cast<PyTypeObject *>(st->pattern_type), &text, 1, nullptr));
  } else {
    PyObject *argv[] = {pattern, text};
    match = Ref::steal(PyObject_Vectorcall(st->pattern_search, argv, 2, nullptr));
  }
  if (!match) return -1;
  return match.get() != Py_None;
}

// The same for a pattern whose plain_literal is `literal` (or nullptr).
inline int pattern_found(State *st, PyObject *pattern, PyObject *literal, PyObject *text) {
  return literal != nullptr ? contains(text, literal) : pattern_searched(st, pattern, text);
}

// Whether a pattern of the exact type re.Pattern whose plain_literal is
// `literal` (or nullptr) is found in some item, when every item is an exact
// str (its own text).
[[gnu::noinline]] int pattern_in_texts(Eval &ev, PyObject *pattern, PyObject *literal) {
  if (literal == nullptr) ev.stale = true;  // the regular-expression engine runs signal handlers
  for (Py_ssize_t i = 0; i < ev.nitems; ++i) {
    int found = pattern_found(ev.st, pattern, literal, ev.items[i]);
    if (found != 0) return found;
  }
  return 0;
}

// The same, with the usual pattern (one ordinary ASCII character) looked for
// byte by byte in the ASCII items.
inline int pattern_in_texts(Eval &ev, PyObject *pattern) {
  PyObject *literal = plain_literal(ev.st, pattern);  // borrowed from the pattern
  if (literal == nullptr || PyUnicode_GET_LENGTH(literal) != 1 || !PyUnicode_IS_COMPACT_ASCII(literal))
    return pattern_in_texts(ev, pattern, literal);
  const int c = *reinterpret_cast<const unsigned char *>(reinterpret_cast<PyASCIIObject *>(literal) + 1);
  for (Py_ssize_t i = 0; i < ev.nitems; ++i) {
    PyObject *text = ev.items[i];
    if (PyUnicode_IS_COMPACT_ASCII(text)
            ? std::memchr(reinterpret_cast<PyASCIIObject *>(text) + 1, c, PyUnicode_GET_LENGTH(text)) != nullptr
            : PyUnicode_FindChar(text, c, 0, PY_SSIZE_T_MAX, 1) >= 0)
      return 1;
  }
  return 0;
}

// str(item): an exact str is its own text.
Ref item_text(PyObject *item) {
  return PyUnicode_CheckExact(item) ? Ref::borrow(item) : Ref::steal(PyObject_Str(item));
}

// Whether a pattern of the exact type re.Pattern is found in str() of some
// item. Its search has no effects and gives a match (true) or None: once one
// item matched, the others are only turned into text (which may run their
// __str__); a pattern of plain characters is found as a substring, without
// making match objects.
int pattern_holds(Eval &ev, PyObject *pattern) {
  PyObject *literal = plain_literal(ev.st, pattern);  // borrowed from the pattern, which the caller holds
  if (literal == nullptr) ev.stale = true;  // the regular-expression engine runs signal handlers
  bool found = false;
  for (Py_ssize_t i = 0; i < ev.nitems; ++i) {
    if (!PyUnicode_CheckExact(ev.items[i])) ev.stale = true;  // its __str__ runs
    Ref text = item_text(ev.items[i]);
    if (!text) return -1;
    if (found) continue;
    int in = pattern_found(ev.st, pattern, literal, text.get());
    if (in < 0) return -1;
    found = in;
  }
  return found ? 1 : 0;
}

// check(item) for a callable check, check.search(str(item)) for another.
Ref apply_check(State *st, PyObject *check, bool callable, PyObject *item) {
  if (callable) return capi::call(check, item);
  Ref text = item_text(item);
  if (!text) return {};
  return capi::call_method(check, st->str_search, text.get());
}

// Whether a check that is not an expression object holds for some item: it
// is applied to every item first, then the truth values are taken in order up
// to the first true one, as any() over the list of results does.
int any_item_holds(Eval &ev, PyObject *check, bool callable) {
  if (ev.nitems == 1) {
    Ref result = apply_check(ev.st, check, callable, ev.items[0]);
    return result ? PyObject_IsTrue(result.get()) : -1;
  }
  Ref results = Ref::steal(PyList_New(0));  // our own, never shown to other code
  if (!results) return -1;
  for (Py_ssize_t i = 0; i < ev.nitems; ++i) {
    Ref result = apply_check(ev.st, check, callable, ev.items[i]);
    if (!result || PyList_Append(results.get(), result.get()) < 0) return -1;
  }
  for (Py_ssize_t i = 0; i < ev.nitems; ++i) {
    Ref result = Ref::borrow(PyList_GET_ITEM(results.get(), i));
    int truth = PyObject_IsTrue(result.get());
    if (truth != 0) return truth;
  }
  return 0;
}

// What one check (held by the caller) gives for the items, the general way:
// 1 or 0 when it holds or not, 2 when it is an expression object whose call
// would run one of our operators (set in `op`: the walk evaluates it), or -1
// with an error set.
//  - an expression object (isinstance of the module's current BaseLogic) is
//    called with all the items;
//  - another callable is called with each item in turn, every item, and holds
//    when any of the collected results is true;
//  - a pattern is searched in str() of each item, every item, and holds when
//    any search found a match.
constexpr int nested_ours = 2;

int check_holds(Eval &ev, PyObject *check, PyObject *base, Op *op) {
  int nested = is_logic(ev, check, base);
  if (nested < 0) return -1;
  if (nested) {
    if (operator_ours(ev.st, check, op)) return nested_ours;
    ev.stale = true;
    Ref result = Ref::steal(PyObject_Vectorcall(check, ev.items, static_cast<size_t>(ev.nitems), nullptr));
    return result ? PyObject_IsTrue(result.get()) : -1;
  }
  if (ev.nitems == 0) return 0;
  const bool callable = PyCallable_Check(check) != 0;
  if (!callable && Py_IS_TYPE(check, reinterpret_cast<PyTypeObject *>(ev.st->pattern_type)))
    return pattern_holds(ev, check);
  ev.stale = true;
  return any_item_holds(ev, check, callable);
}

// self.expressions: the entry of the instance dict where the generic read can
// be told to find it there without running code (capi::instance_attribute:
// __init__ stores it first); any other read, and the error when there is no
// such attribute, are the interpreter's.
Ref read_expressions(Eval &ev, PyObject *self) {
  PyObject *value = capi::instance_attribute(self, ev.st->str_expressions, 0);
  if (value != nullptr) return Ref::borrow(value);
  ev.stale = true;
  return Ref::steal(PyObject_GetAttr(self, ev.st->str_expressions));
}

// A call from the interpreter has passed its recursion check, and the first
// few nested levels below it use a bounded amount of stack; every level deeper
// than that is counted against the interpreter's recursion limit. Direct
// nesting is also capped at the interpreter's (Python) recursion limit, the
// depth at which calling the expressions one by one would have stopped.
constexpr int unguarded_levels = 4;

int evaluate(Eval &ev, PyObject *self, Op op, int depth);
int evaluate_checks(Eval &ev, PyObject *self, Op op, int depth);

// The operator `op` applied by `self` to the items when self.expressions is
// not an exact list: the checks as an iterator gives them.
int evaluate_iterable(Eval &ev, PyObject *expressions, Op op, int depth) {
  const int stop_on = op == Op::And ? 0 : 1;
  ev.stale = true;
  Ref iterator = Ref::steal(PyObject_GetIter(expressions));
  if (!iterator) return -1;
  while (Ref check = Ref::steal(PyIter_Next(iterator.get()))) {
    PyObject *base = ev.current_base();
    if (base == nullptr) return -1;
    Op nested_op = Op::And;
    int holds = check_holds(ev, check.get(), base, &nested_op);
    if (holds == nested_ours) holds = evaluate(ev, check.get(), nested_op, depth + 1);
    ev.stale = true;  // the next step of the iterator, or the release of the check, may run code
    if (holds < 0) return -1;
    if (holds == stop_on) return op == Op::Or ? 1 : 0;
  }
  if (PyErr_Occurred()) return -1;
  return op == Op::Or ? 0 : 1;
}

// The operator `op` applied by `self` to the items: walks self.expressions in
// order and stops at the first check that decides the result. `depth` counts
// the nested expressions evaluated directly, without a call through the
// interpreter. The two usual checks are taken here: a compiled pattern
// searched in items that are all exact str, and a nested expression of one of
// our classes.
int evaluate_checks(Eval &ev, PyObject *self, Op op, int depth) {
  // And stops at the first check that fails; Or and Not at the first that holds.
  const int stop_on = op == Op::And ? 0 : 1;
  Ref expressions = read_expressions(ev, self);
  if (!expressions) return -1;
  if (!PyList_CheckExact(expressions.get())) return evaluate_iterable(ev, expressions.get(), op, depth);
  PyObject *const list = expressions.get();
  PyObject *const pattern_type = ev.st->pattern_type;
  int holds = -1;
  // As a list iterator would: the length is read again before each step.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject *check = PyList_GET_ITEM(list, i);  // borrowed: see below
    PyObject *base = ev.current_base();
    if (base == nullptr) return -1;
    PyTypeObject *tp = Py_TYPE(check);
    // isinstance(pattern, base) is false for a class of the exact type
    // `type` other than re.Pattern and object (re.Pattern's bases never
    // change), and searching a str runs no code.
    Py_INCREF(check);
    if (tp == reinterpret_cast<PyTypeObject *>(pattern_type) && ev.patterns_searched) {
      holds = pattern_in_texts(ev, check);
      if (holds < 0) {
        Py_DECREF(check);
        return -1;
      }
      ev.drop(check);
    } else {
      Op nested_op = Op::And;
      const int slot = operator_slot_of(ev.st, tp);
      if (slot >= 0 && ev.base_is_class && on_mro(tp, base)) {
        holds = nested_ours;
        nested_op = static_cast<Op>(slot);
      } else {
        holds = check_holds(ev, check, base, &nested_op);
      }
      if (holds == nested_ours)
        holds = depth + 1 < unguarded_levels ? evaluate_checks(ev, check, nested_op, depth + 1)
                                             : evaluate(ev, check, nested_op, depth + 1);
      if (holds < 0) {
        Py_DECREF(check);
        return -1;
      }
      ev.drop(check);
    }
    if (holds == stop_on) break;
  }
  ev.drop(expressions.release());
  if (holds == stop_on) return op == Op::Or ? 1 : 0;
  return op == Op::Or ? 0 : 1;
}

[[gnu::noinline]] int evaluate(Eval &ev, PyObject *self, Op op, int depth) {
  if (depth < unguarded_levels) return evaluate_checks(ev, self, op, depth);
  if (depth > Py_GetRecursionLimit()) {
    capi::raise_recursion("maximum recursion depth exceeded while evaluating a logic expression");
    return -1;
  }
  capi::RecursionGuard guard(" while evaluating a logic expression");
  if (!guard) return -1;
  return evaluate_checks(ev, self, op, depth);
}

// The operator `op` of `self` (whose class has that operator's __call__)
// applied to the items: True or False, or nullptr with an error set.
inline PyObject *apply_operator(PyObject *module, PyObject *self, Op op, PyObject *const *items,
                                Py_ssize_t nitems) {
  Eval ev(module, items, nitems);
  int result = evaluate_checks(ev, self, op, 0);
  if (result < 0) return nullptr;
  return Py_NewRef(result ? Py_True : Py_False);
}

// The __call__ of the three operators: And.__call__ is operator_call<Op::And>.
constexpr const char *call_qualname[] = {"And.__call__", "Or.__call__", "Not.__call__"};

template <Op op>
PyObject *operator_call(PyObject *self, PyObject *const *items, Py_ssize_t nitems, PyObject *kwnames) {
  if (capi::reject_keywords(call_qualname[static_cast<int>(op)], kwnames) < 0) return nullptr;
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  return apply_operator(module, self, op, items, nitems);
}

// The tp_call slot of And, Or and Not, set once each class is made: expr(x)
// calls it directly, where the interpreter's generic slot would look __call__
// up and call it through its method descriptor with the arguments copied
// again behind self. For the class itself it does what __call__ does.
// Subclasses never get it: the interpreter gives them the generic slot (it
// does so for any class whose __call__ is not a slot wrapper), so their
// overrides win, and setting or deleting __call__ on the class (or changing
// its bases) puts the generic slot back on the class too. A type that
// inherited this function some other way is served the generic way: __call__
// looked up on its class and called. The slot being ours is also how the walk
// recognises a nested expression of one of our classes without looking its
// __call__ up. Measured (release build, instructions per name of
// [x for x in names if expr(x)], expr = And(Or('a', 'b'), Not('c'))): 1,759
// with this slot, 2,247 with the generic one: it saves 22 %.
template <Op op>
PyObject *operator_slot(PyObject *self, PyObject *args, PyObject *kwargs) {
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  State *st = capi::state_of<State>(module);
  PyTypeObject *tp = Py_TYPE(self);
  if (tp != reinterpret_cast<PyTypeObject *>(st->operator_class[static_cast<int>(op)])) {
    Ref call = Ref::borrow(capi::lookup_on_type(tp, st->str_call));  // held while it runs
    if (!call) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", tp->tp_name);
      return nullptr;
    }
    descrgetfunc get = Py_TYPE(call.get())->tp_descr_get;
    if (get != nullptr) {
      call = Ref::steal(get(call.get(), self, reinterpret_cast<PyObject *>(tp)));
      if (!call) return nullptr;
    }
    return PyObject_Call(call.get(), args, kwargs);
  }
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;  // borrowed
    PyDict_Next(kwargs, &pos, &key, &value);
    Ref held = Ref::borrow(key);  // its str() may run code
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 call_qualname[static_cast<int>(op)], held.get());
    return nullptr;
  }
  return apply_operator(module, self, op, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
}

// --- classes And, Or and Not --------------------------------------------------

PyDoc_STRVAR(and_doc,
             "True when all checks are satisfied.\n\n"
             "With several items, each check must hold for at least one of the items (not\n"
             "necessarily the same one). Checks are tried in order and the first that fails\n"
             "ends the test. And() with no checks is always true.");
PyDoc_STRVAR(and_call_doc,
             "__call__($self, /, *items)\n--\n\nTrue when every check holds for one or more of the items.");
constexpr auto and_call = operator_call<Op::And>;

PyDoc_STRVAR(or_doc,
             "True when one or more checks are satisfied by one of the items.\n\n"
             "Checks are tried in order and the first that holds ends the test. Or() with\n"
             "no checks is always false.");
PyDoc_STRVAR(or_call_doc, "__call__($self, /, *items)\n--\n\nTrue when some check holds for some item.");
constexpr auto or_call = operator_call<Op::Or>;

PyDoc_STRVAR(not_doc,
             "True only when no check is satisfied by any item.\n\n"
             "With several checks this means none of them holds; it is not the negation of\n"
             "And over the same checks. Not() with no checks is always true.");
PyDoc_STRVAR(not_call_doc, "__call__($self, /, *items)\n--\n\nTrue when no check holds for any item.");
constexpr auto not_call = operator_call<Op::Not>;

// The method table of each operator class (its __call__ and the end marker).
PyMethodDef operator_methods[][2] = {
    {{.ml_name = "__call__", .ml_meth = capi::as_cfunc(and_call), .ml_flags = fastcall, .ml_doc = and_call_doc}, {}},
    {{.ml_name = "__call__", .ml_meth = capi::as_cfunc(or_call), .ml_flags = fastcall, .ml_doc = or_call_doc}, {}},
    {{.ml_name = "__call__", .ml_meth = capi::as_cfunc(not_call), .ml_flags = fastcall, .ml_doc = not_call_doc}, {}},
};

// --- logic_str ----------------------------------------------------------------
//
// The text is read in one of two ways, with the same result:
//  - a direct scan for the form that __str__ writes (calls of the four class
//    names, the name `string`, quoted literals without backslashes, blanks and
//    commas);
//  - for anything else, the interpreter's own parser (an AST in 'eval' mode),
//    whose tree is checked for the permitted node kinds.
// Either way the whole text is checked first and turned into a Program: the
// steps that evaluate it, holding all they need (the literals, the class each
// call names). The building runs the steps and reads neither the text nor the
// parser's nodes again, so code that runs while it builds (a __hash__ called
// by re.compile, a replaced And) cannot change what is built or what is
// called. The steps call the module's current And, Or, Not or BaseLogic in
// the order the interpreter would evaluate the expression.

// Which permitted name an identifier is.
enum class Word { Other, String, And, Or, Not, BaseLogic };

PyObject *word_name(State *st, Word word) {
  switch (word) {
    case Word::And:
      return st->str_And;
    case Word::Or:
      return st->str_Or;
    case Word::Not:
      return st->str_Not;
    case Word::BaseLogic:
      return st->str_BaseLogic;
    default:
      return nullptr;
  }
}

// One step of a checked text. Literal pushes the literal and Text the text
// itself (the name `string`); Load pushes the module's current value of a
// class name, where the interpreter loads it: before the call's arguments;
// Call calls the entry `nargs` below the top with the `nargs` entries above it
// and replaces them all by the result.
struct Step {
  enum class Kind { Literal, Text, Load, Call } kind;
  Ref literal;
  Word word = Word::Other;
  Py_ssize_t nargs = 0;
};
using Program = std::vector<Step>;

// Deeper texts go to the parser, which applies the interpreter's own limits.
constexpr int scan_max_depth = 100;

struct Scanner {
  PyObject *text;
  int kind;
  const void *data;
  Py_ssize_t length;
  Py_ssize_t pos;

  Py_UCS4 at(Py_ssize_t i) const { return i < length ? PyUnicode_READ(kind, data, i) : 0; }
  bool at_end() const { return pos >= length; }
  // Moves past the character c when it is the one at pos.
  bool take(Py_UCS4 c) {
    if (pos >= length || at(pos) != c) return false;
    ++pos;
    return true;
  }
  void skip_blanks() {
    while (pos < length) {
      Py_UCS4 c = PyUnicode_READ(kind, data, pos);
      if (c != ' ' && c != '\t') break;
      ++pos;
    }
  }
  static bool ident_start(Py_UCS4 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
  static bool ident_char(Py_UCS4 c) { return ident_start(c) || (c >= '0' && c <= '9'); }

  // The identifier at pos (ASCII only), classified; pos moves past it.
  Word word() {
    Py_ssize_t start = pos;
    while (pos < length && ident_char(PyUnicode_READ(kind, data, pos))) ++pos;
    static constexpr struct {
      const char *text;
      Word word;
    } known[] = {{"And", Word::And},      {"Or", Word::Or},         {"Not", Word::Not},
                 {"string", Word::String}, {"BaseLogic", Word::BaseLogic}};
    for (const auto &k : known) {
      Py_ssize_t i = 0;
      while (k.text[i] != '\0' && start + i < pos && at(start + i) == static_cast<Py_UCS4>(k.text[i])) ++i;
      if (k.text[i] == '\0' && start + i == pos) return k.word;
    }
    return Word::Other;
  }

  // A quoted literal at pos whose value is exactly the characters between the
  // quotes: no backslash, no control character (line ends, NUL), no lone
  // surrogate. Sets [begin, end) to its contents and moves past it.
  bool literal(Py_ssize_t &begin, Py_ssize_t &end) {
    Py_UCS4 quote = at(pos);
    Py_ssize_t i = pos + 1;
    for (;; ++i) {
      if (i >= length) return false;
      Py_UCS4 c = PyUnicode_READ(kind, data, i);
      if (c == quote) break;
      if (c == '\\' || (c < 0x20 && c != '\t') || (c >= 0xD800 && c <= 0xDFFF)) return false;
    }
    begin = pos + 1;
    end = i;
    pos = i + 1;
    return true;
  }
};

// Checks that the expression at the scanner's position has the simple form,
// moves past it and appends the steps that evaluate it to `program`: 1, 0 when
// the text does not have that form, or -1 with an error set.
int scan_expression(Scanner &scan, int depth, Program &program) {
  const Py_UCS4 c = scan.at(scan.pos);
  if (!scan.at_end() && (c == '\'' || c == '"')) {
    Py_ssize_t begin, end;
    if (!scan.literal(begin, end)) return 0;
    Ref value = Ref::steal(PyUnicode_Substring(scan.text, begin, end));
    if (!value) return -1;
    return capi::push(program, Step{Step::Kind::Literal, std::move(value)}) < 0 ? -1 : 1;
  }
  if (!Scanner::ident_start(c)) return 0;
  const Word word = scan.word();
  if (word == Word::String) return capi::push(program, Step{Step::Kind::Text}) < 0 ? -1 : 1;
  if (word == Word::Other || depth >= scan_max_depth) return 0;
  scan.skip_blanks();
  if (!scan.take('(')) return 0;
  if (capi::push(program, Step{Step::Kind::Load, {}, word}) < 0) return -1;
  // The arguments, separated by commas; a comma may also end the list.
  Py_ssize_t nargs = 0;
  scan.skip_blanks();
  while (!scan.take(')')) {
    int done = scan_expression(scan, depth + 1, program);
    if (done <= 0) return done;
    ++nargs;
    scan.skip_blanks();
    if (scan.take(')')) break;
    if (!scan.take(',')) return 0;
    scan.skip_blanks();
  }
  return capi::push(program, Step{Step::Kind::Call, {}, Word::Other, nargs}) < 0 ? -1 : 1;
}

// Raises the failure that makes logic_str reject a parsed text; returns -1.
int refuse(const char *what, PyObject *detail = nullptr) {
  if (detail != nullptr)
    PyErr_Format(PyExc_ValueError, "%s %R is not allowed in a logic string", what, detail);
  else
    PyErr_Format(PyExc_ValueError, "%s is not allowed in a logic string", what);
  return -1;
}

// Which of the four class names an exact str is (Word::Other for any other).
Word call_word(State *st, PyObject *id) {
  if (!PyUnicode_CheckExact(id)) return Word::Other;
  for (Word w : {Word::And, Word::Or, Word::Not, Word::BaseLogic})
    if (PyUnicode_Compare(id, word_name(st, w)) == 0) return w;
  return Word::Other;
}

// Checks that a node of the parsed tree is a permitted expression and appends
// the steps that evaluate it to `program`. Each attribute of a node is read
// once, and a call's argument list is copied before it is walked.
int compile_node(State *st, PyObject *node, Program &program) {
  capi::RecursionGuard guard(" while checking a logic string");
  if (!guard) return -1;
  PyObject *kind = reinterpret_cast<PyObject *>(Py_TYPE(node));
  if (kind == st->ast_Constant) {
    Ref value = Ref::steal(PyObject_GetAttr(node, st->str_value));
    if (!value) return -1;
    PyObject *v = value.get();
    if (!(PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyComplex_CheckExact(v) ||
          PyBool_Check(v) || v == Py_None))
      return refuse("the literal", v);
    if (capi::push(program, Step{Step::Kind::Literal, std::move(value)}) < 0) return -1;
    return 0;
  }
  if (kind == st->ast_Name) {
    Ref id = Ref::steal(PyObject_GetAttr(node, st->str_id));
    if (!id) return -1;
    if (!PyUnicode_CheckExact(id.get()) || PyUnicode_Compare(id.get(), st->str_string) != 0)
      return refuse("the name", id.get());
    if (capi::push(program, Step{Step::Kind::Text}) < 0) return -1;
    return 0;
  }
  if (kind == st->ast_Call) {
    Ref func = Ref::steal(PyObject_GetAttr(node, st->str_func));
    if (!func) return -1;
    if (Py_TYPE(func.get()) != reinterpret_cast<PyTypeObject *>(st->ast_Name))
      return refuse("calling anything but And, Or, Not and BaseLogic");
    Ref id = Ref::steal(PyObject_GetAttr(func.get(), st->str_id));
    if (!id) return -1;
    Word word = call_word(st, id.get());
    if (word == Word::Other) return refuse("calling", id.get());
    Ref keywords = Ref::steal(PyObject_GetAttr(node, st->str_keywords));
    if (!keywords) return -1;
    if (!PyList_CheckExact(keywords.get()) || PyList_GET_SIZE(keywords.get()) != 0)
      return refuse("a keyword argument");
    Ref arg_list = Ref::steal(PyObject_GetAttr(node, st->str_args));
    if (!arg_list) return -1;
    if (!PyList_CheckExact(arg_list.get())) return refuse("a call without an argument list");
    Ref arg_nodes = Ref::steal(PyList_AsTuple(arg_list.get()));
    if (!arg_nodes) return -1;
    if (capi::push(program, Step{Step::Kind::Load, {}, word}) < 0) return -1;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(arg_nodes.get());
    for (Py_ssize_t i = 0; i < nargs; ++i)
      if (compile_node(st, PyTuple_GET_ITEM(arg_nodes.get(), i), program) < 0) return -1;
    if (capi::push(program, Step{Step::Kind::Call, {}, Word::Other, nargs}) < 0) return -1;
    return 0;
  }
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(node)));
  if (name) PyErr_Format(PyExc_ValueError, "the %U expression is not allowed in a logic string", name.get());
  return -1;
}

// Parses source (NUL-terminated, `length` bytes) with the interpreter's parser
// and compiles the permitted tree into `program`.
int compile_text(State *st, const char *source, Py_ssize_t length, bool utf8, Program &program) {
  if (static_cast<Py_ssize_t>(std::strlen(source)) != length) {
    PyErr_SetString(PyExc_SyntaxError, "source code string cannot contain null bytes");
    return -1;
  }
  PyCompilerFlags flags = {PyCF_ONLY_AST | (utf8 ? PyCF_SOURCE_IS_UTF8 : 0), PY_MINOR_VERSION};
  Ref tree = Ref::steal(Py_CompileStringObject(source, st->str_filename, Py_eval_input, &flags, -1));
  if (!tree) return -1;
  if (Py_TYPE(tree.get()) != reinterpret_cast<PyTypeObject *>(st->ast_Expression)) {
    PyErr_SetString(PyExc_SystemError, "the parser gave no expression");
    return -1;
  }
  Ref body = Ref::steal(PyObject_GetAttr(tree.get(), st->str_body));
  if (!body) return -1;
  return compile_node(st, body.get(), program);
}

// Runs the steps of a checked text on an explicit stack; the one value left
// is the result.
Ref run(PyObject *module, State *st, const Program &program, PyObject *text) {
  std::vector<PyObject *> stack;  // owned references
  struct Release {
    std::vector<PyObject *> &stack;
    ~Release() {
      while (!stack.empty()) {
        PyObject *top = stack.back();
        stack.pop_back();
        Py_DECREF(top);
      }
    }
  } release{stack};
  for (const Step &step : program) {
    Ref value;
    switch (step.kind) {
      case Step::Kind::Literal:
        value = step.literal.dup();
        break;
      case Step::Kind::Text:
        value = Ref::borrow(text);
        break;
      case Step::Kind::Load:
        value = capi::global(module, word_name(st, step.word));
        if (!value) return {};
        break;
      case Step::Kind::Call: {
        const size_t base = stack.size() - static_cast<size_t>(step.nargs) - 1;
        value = Ref::steal(
            PyObject_Vectorcall(stack[base], stack.data() + base + 1, static_cast<size_t>(step.nargs), nullptr));
        while (stack.size() > base) {
          PyObject *top = stack.back();
          stack.pop_back();
          Py_DECREF(top);
        }
        if (!value) return {};
        break;
      }
    }
    if (capi::push(stack, value.get()) < 0) return {};
    value.release();
  }
  if (stack.size() != 1) {
    PyErr_SetString(PyExc_SystemError, "a logic string program left no single value");
    return {};
  }
  Ref result = Ref::steal(stack.back());
  stack.pop_back();
  return result;
}

// The value of the text, read as the interpreter's eval would read it (leading
// blanks and tabs skipped; str, bytes or any buffer), restricted to the
// language of the text form.
Ref read_text(PyObject *module, State *st, PyObject *text) {
  Program program;
  if (PyUnicode_Check(text)) {
    Scanner scan{text, PyUnicode_KIND(text), PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text), 0};
    scan.skip_blanks();
    const Py_ssize_t start = scan.pos;
    int simple = scan_expression(scan, 0, program);
    if (simple < 0) return {};
    if (simple > 0) {
      scan.skip_blanks();
      if (scan.at_end()) return run(module, st, program, text);
    }
    program.clear();
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return {};
    // The skipped blanks are ASCII: one byte each.
    if (compile_text(st, utf8 + start, size - start, true, program) < 0) return {};
    return run(module, st, program, text);
  }
  if (!PyObject_CheckBuffer(text)) {
    PyErr_Format(PyExc_TypeError, "a logic string must be str or a bytes-like object, not '%.100s'",
                 Py_TYPE(text)->tp_name);
    return {};
  }
  Py_buffer view;
  if (PyObject_GetBuffer(text, &view, PyBUF_SIMPLE) < 0) return {};
  const char *bytes = static_cast<const char *>(view.buf);
  Py_ssize_t start = 0;
  while (start < view.len && (bytes[start] == ' ' || bytes[start] == '\t')) ++start;
  Ref source = Ref::steal(PyBytes_FromStringAndSize(bytes + start, view.len - start));
  PyBuffer_Release(&view);
  if (!source) return {};
  if (compile_text(st, PyBytes_AS_STRING(source.get()), PyBytes_GET_SIZE(source.get()), false, program) < 0)
    return {};
  return run(module, st, program, text);
}

PyDoc_STRVAR(logic_str_doc,
             "logic_str($module, /, string)\n--\n\n"
             "Convert a logic-form string to objects, mostly for command-line parsing.\n\n"
             "The string is first passed through decode_cli_string. logic_str(\"And('a', 'b')\")\n"
             "gives an And object that is true for the item 'ab'. Only the text form of\n"
             "expressions is understood: string and number literals, None, True, False,\n"
             "calls of And, Or, Not and BaseLogic with positional arguments, and the name\n"
             "`string`, which stands for the text itself. Nothing else is evaluated; any\n"
             "other text raises ValueError.");

PyObject *logic_str(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  State *st = capi::state_of<State>(module);
  PyObject *string = capi::one_arg("logic_str", "string", args, nargs, kwnames);
  if (string == nullptr) return nullptr;
  Ref decode = capi::global(module, st->str_decode_cli_string);
  if (!decode) return nullptr;
  Ref text = capi::call(decode.get(), string);
  if (!text) return nullptr;

  Ref result = read_text(module, st, text.get());
  if (result && st->assertions) {
    Ref base = capi::global(module, st->str_BaseLogic);
    int ok = base ? PyObject_IsInstance(result.get(), base.get()) : -1;
    if (ok == 0) PyErr_SetNone(PyExc_AssertionError);
    if (ok <= 0) result.reset();
  }
  if (result) return result.release();
  if (!capi::error_is_ordinary()) return nullptr;

  // Raise the ValueError with the caught failure as its context. Formatting
  // with % may itself fail (a text that is a tuple); that failure then
  // carries the caught one as its context instead.
  PyObject *caught = PyErr_GetRaisedException();
  Ref message = Ref::steal(PyUnicode_Format(st->invalid_format, text.get()));
  if (!message) {
    PyObject *raised = PyErr_GetRaisedException();
    capi::chain_context(raised, caught);
    PyErr_SetRaisedException(raised);
    return nullptr;
  }
  PyErr_SetRaisedException(caught);
  return capi::raise_from_current(PyExc_ValueError, message.get());
}

PyMethodDef module_functions[] = {
    {.ml_name = "logic_str", .ml_meth = capi::as_cfunc(logic_str), .ml_flags = fastcall, .ml_doc = logic_str_doc},
    {},
};

// --- module -------------------------------------------------------------------

// The names the module keeps interned.
int intern_names(State *st) {
  return capi::intern_all({
      {&st->str_expressions, "expressions"},
      {&st->str_compile, "compile"},
      {&st->str_search, "search"},
      {&st->str_pattern, "pattern"},
      {&st->str_call, "__call__"},
      {&st->str_re, "re"},
      {&st->str_BaseLogic, "BaseLogic"},
      {&st->str_And, "And"},
      {&st->str_Or, "Or"},
      {&st->str_Not, "Not"},
      {&st->str_string, "string"},
      {&st->str_decode_cli_string, "decode_cli_string"},
      {&st->str_filename, "<string>"},
      {&st->str_body, "body"},
      {&st->str_value, "value"},
      {&st->str_id, "id"},
      {&st->str_func, "func"},
      {&st->str_args, "args"},
      {&st->str_keywords, "keywords"},
      {&st->invalid_format, "Not a properly formatted logic string: %s"},
  });
}

// What the module reads from re (the Pattern type, its search and where its
// pattern and flags are kept, re.UNICODE) and from ast (the node classes of
// the parser's tree).
int read_re_and_ast(State *st, PyObject *re) {
  st->pattern_type = PyObject_GetAttrString(re, "Pattern");
  if (st->pattern_type == nullptr) return -1;
  st->pattern_search = PyObject_GetAttrString(st->pattern_type, "search");
  if (st->pattern_search == nullptr) return -1;
  Ref unicode_flag = Ref::steal(PyObject_GetAttrString(re, "UNICODE"));
  if (!unicode_flag) return -1;
  st->unicode_flag = PyLong_AsInt(unicode_flag.get());
  if (st->unicode_flag == -1 && PyErr_Occurred()) return -1;
  Ref source = Ref::steal(PyObject_GetAttrString(st->pattern_type, "pattern"));
  if (!source) return -1;
  Ref flags = Ref::steal(PyObject_GetAttrString(st->pattern_type, "flags"));
  if (!flags) return -1;
  st->pattern_source_offset = st->pattern_flags_offset = -1;
  if (Py_IS_TYPE(source.get(), &PyMemberDescr_Type) && Py_IS_TYPE(flags.get(), &PyMemberDescr_Type)) {
    const PyMemberDef *s = reinterpret_cast<PyMemberDescrObject *>(source.get())->d_member;
    const PyMemberDef *f = reinterpret_cast<PyMemberDescrObject *>(flags.get())->d_member;
    if ((s->type == _Py_T_OBJECT || s->type == Py_T_OBJECT_EX) && (s->flags & Py_READONLY) && f->type == Py_T_INT &&
        (f->flags & Py_READONLY)) {
      st->pattern_source_offset = s->offset;
      st->pattern_flags_offset = f->offset;
    }
  }
  st->search_function = nullptr;
  if (Py_IS_TYPE(st->pattern_search, &PyMethodDescr_Type)) {
    auto *descr = reinterpret_cast<PyMethodDescrObject *>(st->pattern_search);
    if (descr->d_method->ml_flags == (METH_METHOD | METH_FASTCALL | METH_KEYWORDS) &&
        descr->d_common.d_type == reinterpret_cast<PyTypeObject *>(st->pattern_type))
      st->search_function = reinterpret_cast<PyCMethod>(reinterpret_cast<void (*)()>(descr->d_method->ml_meth));
  }
  Ref ast = Ref::steal(PyImport_ImportModule("ast"));
  if (!ast) return -1;
  struct {
    PyObject **slot;
    const char *name;
  } nodes[] = {{&st->ast_Expression, "Expression"},
               {&st->ast_Constant, "Constant"},
               {&st->ast_Name, "Name"},
               {&st->ast_Call, "Call"}};
  for (auto &n : nodes)
    if ((*n.slot = PyObject_GetAttrString(ast.get(), n.name)) == nullptr) return -1;
  return 0;
}

// Creates a class of the module and binds it as a module global.
Ref add_class(PyObject *module, const char *name, PyObject *base, const char *doc, PyObject *attrs,
              PyMethodDef *methods) {
  Ref bases = capi::tuple_of(base);
  if (!bases) return {};
  Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(&PyType_Type), name, bases.get(), doc, attrs);
  if (!cls || capi::install_methods(cls.get(), methods) < 0 || capi::add_global(module, name, cls.get()) < 0)
    return {};
  return cls;
}

// BaseLogic, And, Or and Not, in the order of the class statements; keeps each
// operator class and the __call__ installed on it, and gives it its tp_call.
int add_classes(PyObject *module, State *st) {
  Ref attrs = Ref::steal(Py_BuildValue("{sO}", "__hash__", Py_None));
  if (!attrs) return -1;
  Ref base = add_class(module, "BaseLogic", reinterpret_cast<PyObject *>(&PyBaseObject_Type), baselogic_doc,
                       attrs.get(), baselogic_methods);
  if (!base) return -1;
  const struct {
    const char *name;
    const char *doc;
  } operators[] = {{"And", and_doc}, {"Or", or_doc}, {"Not", not_doc}};
  for (int op = 0; op < 3; ++op) {
    Ref cls = add_class(module, operators[op].name, base.get(), operators[op].doc, nullptr, operator_methods[op]);
    if (!cls) return -1;
    PyObject *call = capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_call);
    if (call == nullptr) {
      PyErr_SetString(PyExc_SystemError, "operator class without __call__");
      return -1;
    }
    st->call_ours[op] = Py_NewRef(call);
    st->operator_class[op] = Py_NewRef(cls.get());
    auto *tp = reinterpret_cast<PyTypeObject *>(cls.get());
    tp->tp_call = operator_slots[op];  // 22 % on expr(name): see operator_slot
    PyType_Modified(tp);
  }
  return 0;
}

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (intern_names(st) < 0) return -1;
  st->globals = Py_NewRef(PyModule_GetDict(module));

  // The module's globals, in the order the module binds them: re and logging,
  // decode_cli_string, __all__, logger, the classes, logic_str.
  Ref re = Ref::steal(PyImport_ImportModule("re"));
  if (!re || capi::add_global(module, "re", re.get()) < 0) return -1;
  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging || capi::add_global(module, "logging", logging.get()) < 0) return -1;
  if (read_re_and_ast(st, re.get()) < 0) return -1;
  Ref decode = capi::import_from("dravix.utils.strings", "decode_cli_string");
  if (!decode || capi::add_global(module, "decode_cli_string", decode.get()) < 0) return -1;
  Ref all = Ref::steal(Py_BuildValue("[sss]", "And", "Or", "Not"));
  if (!all || capi::add_global(module, "__all__", all.get()) < 0) return -1;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref get_logger = Ref::steal(PyObject_GetAttrString(logging.get(), "getLogger"));
  if (!get_logger) return -1;
  Ref logger = capi::call(get_logger.get(), module_name.get());
  if (!logger || capi::add_global(module, "logger", logger.get()) < 0) return -1;
  if (add_classes(module, st) < 0 || PyModule_AddFunctions(module, module_functions) < 0) return -1;

  // Whether assert statements run, fixed for the life of the module.
  PyObject *builtins = PyEval_GetBuiltins();  // borrowed
  if (builtins == nullptr) return -1;
  PyObject *debug = nullptr;
  int found = PyDict_GetItemStringRef(builtins, "__debug__", &debug);
  if (found < 0) return -1;
  st->assertions = found == 0 || debug == Py_True;
  Py_XDECREF(debug);
  return 0;
}

PyModuleDef module_def = capi::module_def<State, module_exec>("dravix.datastructures.logic", module_doc);

}  // namespace

PyMODINIT_FUNC PyInit_logic(void) { return PyModuleDef_Init(&module_def); }
