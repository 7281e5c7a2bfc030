// The project's thin C++ layer over the CPython 3.13 C API.
//
// Every extension module of the package includes this one header. It holds what
// the modules share and nothing module specific:
//   - Ref: a move-only handle that owns exactly one reference;
//   - error helpers (raise with implicit context, KeyError with any key);
//   - calls (method calls through the instance or through its class);
//   - argument parsing for METH_FASTCALL | METH_KEYWORDS functions;
//   - class making by calling a metaclass, method installation, ht_module;
//   - module state made only of object pointers, with traverse and clear;
//   - call-time lookup of module globals;
//   - a recursion guard.
//
// Conventions: functions that return PyObject* return a new reference or
// nullptr with an exception set; functions that return int return 0 on success
// and -1 with an exception set. Raw PyObject* parameters are borrowed.
// No C++ exception is thrown anywhere in the package.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace capi {

// ---------------------------------------------------------------------------
// Owned references
// ---------------------------------------------------------------------------

// Owns one reference (or none). Construct with Ref::steal for a new reference
// returned by the C API (nullptr allowed: the handle is then empty and the
// error indicator tells why), or Ref::borrow to take a reference of one's own.
class Ref {
  PyObject *p_ = nullptr;
  explicit Ref(PyObject *p) noexcept : p_(p) {}

 public:
  Ref() noexcept = default;
  static Ref steal(PyObject *p) noexcept { return Ref(p); }
  static Ref borrow(PyObject *p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref &operator=(Ref &&o) noexcept {
    if (this != &o) {
      PyObject *old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject *get() const noexcept { return p_; }
  // Gives up ownership: the caller now owns the reference.
  PyObject *release() noexcept {
    PyObject *p = p_;
    p_ = nullptr;
    return p;
  }
  // Drops the held reference (if any) and takes ownership of p.
  void reset(PyObject *p = nullptr) noexcept {
    PyObject *old = p_;
    p_ = p;
    Py_XDECREF(old);
  }
  // A second owned reference to the same object.
  Ref dup() const noexcept { return borrow(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
};

// Builds a tuple from owned or borrowed parts, e.g. tuple_of(a, b.get()).
// Returns an empty Ref with the error set on failure.
template <class... T>
inline Ref tuple_of(T... items) {
  static_assert((std::is_convertible_v<T, PyObject *> && ...));
  return Ref::steal(PyTuple_Pack(sizeof...(T), static_cast<PyObject *>(items)...));
}

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// Raises exc_type(message) with the exception currently raised (the one being
// "handled" by the caller) as the new exception's __context__, as a raise
// statement inside an except block would. If no exception is set, it simply
// raises. Always returns nullptr so it can end a function: return raise_from_current(...).
PyObject *raise_from_current(PyObject *exc_type, PyObject *message);
PyObject *raise_from_current(PyObject *exc_type, const char *message);

// Makes `context` (stolen) the __context__ of `exc`, as the interpreter does
// for an exception raised while another is handled: where the chain below
// `context` leads back to `exc` it is cut, so that no cycle forms.
void chain_context(PyObject *exc, PyObject *context);

// After a step that failed (its exception raised): runs `undo` (returning 0,
// or -1 with an error set), which puts back what the steps before it changed.
// When the undo fails too, its exception is raised with the first as its
// context, as an exception raised in an except block would be: nothing is
// cleared, so no KeyboardInterrupt is lost.
template <class Undo>
inline void undo_after_failure(Undo undo) {
  PyObject *first = PyErr_GetRaisedException();
  if (undo() == 0) {
    PyErr_SetRaisedException(first);
    return;
  }
  PyObject *second = PyErr_GetRaisedException();
  if (first != nullptr) chain_context(second, first);
  PyErr_SetRaisedException(second);
}

// Raises KeyError(key): a key that is itself a tuple stays one argument.
PyObject *set_key_error(PyObject *key);

// True when the raised exception derives from Exception (not from
// BaseException only, such as KeyboardInterrupt or SystemExit).
inline bool error_is_ordinary() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

// self.name(*args), looked up on the instance (instance attributes win, as a
// Python attribute call would). name should be an interned str.
template <class... T>
inline Ref call_method(PyObject *self, PyObject *name, T... args) {
  PyObject *argv[] = {self, static_cast<PyObject *>(args)...};
  return Ref::steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(T)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              nullptr));
}

// type(self).name bound to self and called: the method as the object's class
// defines it (subclass overrides included), ignoring entries of the instance's
// own namespace. Raises AttributeError when the class has no such attribute.
Ref call_class_method_v(PyObject *self, PyObject *name, PyObject *const *args, size_t nargs, PyObject *kwnames);
template <class... T>
inline Ref call_class_method(PyObject *self, PyObject *name, T... args) {
  PyObject *argv[] = {nullptr, static_cast<PyObject *>(args)...};
  return call_class_method_v(self, name, argv + 1, sizeof...(T), nullptr);
}

// The attribute `name` as found on type(self) and its bases (borrowed, or
// nullptr without an error when absent).
inline PyObject *lookup_on_type(PyTypeObject *tp, PyObject *name) { return _PyType_Lookup(tp, name); }

// The plain instance attribute `name` of self, borrowed from its instance
// dict, where the generic attribute read can be told to find it there
// without running code; nullptr (no error set) where it cannot, and the
// caller reads it the generic way (PyObject_GetAttr, with its errors):
// - the class reads attributes the generic way, and neither it nor a base has
//   anything of the name (the type's lookup, through its method cache): no
//   descriptor takes the read over, so it is the instance dict's lookup;
// - the instance dict is an exact dict in the split form (the form it keeps
//   while its keys are shared with the class's other instances: exact str
//   keys only), and its entry at `place` in its order (where the class's
//   __init__ stores the name) has the interned `name` itself for its key. No
//   other exact str key equals it, so that is the entry the lookup finds.
// Asking for the instance dict makes it if the instance has none yet (it then
// shares the values the instance holds), as reading __dict__ does; the type
// lookup comes first, as the interpreter's does.
inline PyObject *instance_attribute(PyObject *self, PyObject *name, Py_ssize_t place) {
  PyTypeObject *tp = Py_TYPE(self);
  if (tp->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(tp, name) != nullptr) return nullptr;
  PyObject **slot = _PyObject_GetDictPtr(self);
  PyObject *dict = slot != nullptr ? *slot : nullptr;
  if (dict == nullptr || !PyDict_CheckExact(dict) || reinterpret_cast<PyDictObject *>(dict)->ma_values == nullptr)
    return nullptr;
  PyObject *key, *value;
  return PyDict_Next(dict, &place, &key, &value) && key == name ? value : nullptr;
}

// Whether type tp finds `ours`, the method this module installed, for `name`
// (through the type's method cache): "the class still has our method". An
// override in a subclass, or a replacement on the class, makes it false.
inline bool method_is_ours(PyTypeObject *tp, PyObject *name, PyObject *ours) {
  return _PyType_Lookup(tp, name) == ours;
}

// callable(*args)
template <class... T>
inline Ref call(PyObject *callable, T... args) {
  PyObject *argv[] = {nullptr, static_cast<PyObject *>(args)...};
  return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(T) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// An argument vector with self in front of args (positional and keyword
// values, as a vectorcall passes them), for calling an unbound method: on the
// stack for up to eight arguments, else on the heap. Check it before use:
//   capi::WithSelf argv(self, args, nargs + nkw);
//   if (!argv) return {};            // MemoryError set
//   PyObject_Vectorcall(func, argv.get(), nargs + 1, kwnames);
class WithSelf {
  PyObject *small_[9];
  PyObject **argv_;

 public:
  WithSelf(PyObject *self, PyObject *const *args, size_t n) noexcept : argv_(small_) {
    if (n + 1 > sizeof(small_) / sizeof(small_[0])) {
      argv_ = static_cast<PyObject **>(PyMem_Malloc((n + 1) * sizeof(PyObject *)));
      if (argv_ == nullptr) {
        PyErr_NoMemory();
        return;
      }
    }
    argv_[0] = self;
    for (size_t i = 0; i < n; ++i) argv_[i + 1] = args[i];
  }
  ~WithSelf() {
    if (argv_ != small_) PyMem_Free(argv_);
  }
  WithSelf(const WithSelf &) = delete;
  WithSelf &operator=(const WithSelf &) = delete;
  PyObject *const *get() const noexcept { return argv_; }
  explicit operator bool() const noexcept { return argv_ != nullptr; }
};

// `attr`, as found in a class's dict, called as a method of self the way an
// attribute call would after the lookup: a Python function or a method
// descriptor is called with self in front (no bound method is made), another
// descriptor is bound with its __get__(self, type(self)) and called, any other
// object is called as it is.
Ref call_unbound(PyObject *attr, PyObject *self, PyObject *const *args, size_t nargs, PyObject *kwnames = nullptr);

// What super(start, self).name finds: the attribute of the first class after
// `start` in type(self).__mro__ whose dict holds `name`, unbound (new
// reference). Raises TypeError when start is not on that MRO and
// AttributeError("'super' object has no attribute 'name'") when no class has
// it, as super() does. The MRO is held for the walk: a class-dict lookup may
// run __eq__ of a key, which may change the class's bases.
Ref super_lookup(PyObject *start, PyObject *self, PyObject *name);

// super(start, self).name(*args, **kw)
Ref call_super(PyObject *start, PyObject *self, PyObject *name, PyObject *const *args, size_t nargs,
               PyObject *kwnames = nullptr);
template <class... T>
inline Ref call_super_args(PyObject *start, PyObject *self, PyObject *name, T... args) {
  PyObject *argv[] = {nullptr, static_cast<PyObject *>(args)...};
  return call_super(start, self, name, argv + 1, sizeof...(T));
}

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// Describes the parameters of a METH_FASTCALL | METH_KEYWORDS function the way
// a Python def would: names in order, how many are required, and how many may
// be given positionally (the rest are keyword-only). Parameters listed before
// `posonly` cannot be given by keyword.
struct Params {
  const char *func;                      // name shown in messages, e.g. "move"
  std::initializer_list<const char *> names;
  Py_ssize_t required;                   // the first `required` have no default
  Py_ssize_t max_positional = -1;        // -1: all may be positional
  Py_ssize_t posonly = 0;
};

// parse_args for calls with keywords or a positional count out of range.
int parse_args_by_name(const Params &p, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

// Fills out[i] (borrowed) for each parameter; parameters not given stay nullptr.
// Raises the interpreter-style TypeError for a wrong count, a duplicate or an
// unknown keyword, or a missing required argument. Returns 0 or -1.
// Inline, with the Params made only on the path that matches names, so that
// the common call (positional arguments only, constant Params) costs a few
// instructions: out of line it cost m[k] = v on RankMap 60 (5 %).
[[gnu::always_inline]] inline int parse_args(Params p, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                                             PyObject **out) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(p.names.size());
  const Py_ssize_t maxpos = p.max_positional < 0 ? count : p.max_positional;
  if (kwnames != nullptr || nargs < p.required || nargs > maxpos) [[unlikely]] {
    const Params copy = p;  // made on this path only
    return parse_args_by_name(copy, args, nargs, kwnames, out);
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;  // unrolled: count is constant
  return 0;
}

// For functions that take exactly one argument, positional or by `name`
// (METH_FASTCALL | METH_KEYWORDS): the argument (borrowed), or nullptr with
// the interpreter-style TypeError set.
PyObject *one_arg(const char *func, const char *name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// For functions that stand for a Python def taking *args only (e.g. "And.__call__"
// for `def __call__(self, *items)`): raises, when kwnames is not empty, the
// TypeError such a def gives, "<func>() got an unexpected keyword argument 'k'".
inline int reject_keywords(const char *func, PyObject *kwnames) {
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) return 0;
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, PyTuple_GET_ITEM(kwnames, 0));
  return -1;
}

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

// A C function of any of the METH_* shapes, as the PyCFunction a PyMethodDef holds.
template <class F>
inline PyCFunction as_cfunc(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Creates a class the way a class statement does: metaclass(name, bases, ns)
// with ns holding __module__, __qualname__ (= name), __doc__ (when doc is not
// nullptr) and every item of `attrs` (a dict or nullptr: plain class attributes
// such as get = MutableMapping.get, or __hash__ = None for classes that define
// __eq__). Then attaches `module` to the class (see attach_module).
Ref make_class(PyObject *module, PyObject *metaclass, const char *name, PyObject *bases, const char *doc,
               PyObject *attrs);

// Sets the heap type's ht_module to `module` (owned by the type), so that
// PyType_GetModuleByDef finds the module from any instance of the class or of
// a subclass. Python-level classes have no module of their own; this writes a
// field the C API does not document as writable, and the tests check on every
// module that it works.
int attach_module(PyObject *cls, PyObject *module);

// Installs each entry of a method table (terminated by {nullptr}) on cls with
// setattr, so the type's slots and cache are updated: instance methods become
// method descriptors, METH_CLASS entries classmethod descriptors. The
// docstring of each entry should begin with its text signature. A METH_STATIC
// entry is refused (SystemError): see install_staticmethod.
int install_methods(PyObject *cls, PyMethodDef *defs);

// cls.<def->ml_name> = staticmethod(builtin bound to cls). The builtin's self
// is the class, so the C function receives cls and can reach its module, and
// its __qualname__ reads "Class.name". The entry must NOT carry METH_STATIC:
// the interpreter hides the bound object of a METH_STATIC builtin.
int install_staticmethod(PyObject *cls, PyMethodDef *def);

// abc.update_abstractmethods(cls): for classes over collections.abc bases,
// after their methods are installed.
int update_abstract_methods(PyObject *cls);

// The tp_dealloc of a heap type with GC support (an iterator, say) whose
// tp_clear, Clear, drops everything the object holds: untracks it, clears
// it, frees it and releases its type.
//   {Py_tp_dealloc, reinterpret_cast<void *>(capi::gc_dealloc<iter_clear>)},
template <int (*Clear)(PyObject *)>
void gc_dealloc(PyObject *self) {
  PyTypeObject *tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Reads the ABC cache token (abc.get_cache_token(), which every register()
// call on any ABC changes) and compares it with `kept`: 1 when equal, so a
// verdict about ABC membership made under `kept` still holds; 0 when not (or
// kept is nullptr), with the token now in *now, to keep beside the verdict
// made again; -1 on error.
// Inline: update() asks once per value it merges, where a call of its own
// cost 27 instructions a value (5 % of NestedDotBag(flat)).
[[gnu::always_inline]] inline int abc_token_same(PyObject *get_cache_token, PyObject *kept, Ref *now) {
  // _abc.get_cache_token is a builtin without arguments: its C body is called
  // directly (a generic call costs several times the token's own work).
  *now = PyCFunction_Check(get_cache_token) && PyCFunction_GET_FLAGS(get_cache_token) == METH_NOARGS
             ? Ref::steal(PyCFunction_GET_FUNCTION(get_cache_token)(PyCFunction_GET_SELF(get_cache_token), nullptr))
             : call(get_cache_token);
  if (!*now) return -1;
  if (kept == nullptr) return 0;
  if (now->get() == kept) return 1;
  return PyObject_RichCompareBool(now->get(), kept, Py_EQ);
}

// from module_name import attr  (new reference or nullptr)
Ref import_from(const char *module_name, const char *attr);

// Sets module.name = value (value borrowed); -1 on error.
int add_global(PyObject *module, const char *name, PyObject *value);

// ---------------------------------------------------------------------------
// Module state
// ---------------------------------------------------------------------------

// A module's state holds object pointers (interned names, imported objects,
// classes), and may hold plain C fields too. The object pointers are all the
// members of one struct: the State itself when it has nothing else, or a base
// struct it names `Objects`:
//   struct StateObjects { PyObject *cls; PyObject *s_name; };
//   struct State : StateObjects { using Objects = StateObjects; unsigned counter; };
// These helpers visit and clear every pointer of that struct, so no list of
// names has to be kept in step with it.
template <class State>
struct state_objects {
  using type = State;
};
template <class State>
  requires requires { typename State::Objects; }
struct state_objects<State> {
  using type = typename State::Objects;
};

template <class State>
inline State *state_of(PyObject *module) {
  return static_cast<State *>(PyModule_GetState(module));
}
template <class State>
inline int state_traverse(PyObject *module, visitproc visit, void *arg) {
  using Objects = typename state_objects<State>::type;
  static_assert(std::is_standard_layout_v<Objects> && sizeof(Objects) % sizeof(PyObject *) == 0);
  State *s = state_of<State>(module);
  if (s == nullptr) return 0;
  PyObject **p = reinterpret_cast<PyObject **>(static_cast<Objects *>(s));
  for (size_t i = 0; i < sizeof(Objects) / sizeof(PyObject *); ++i) Py_VISIT(p[i]);
  return 0;
}
template <class State>
inline int state_clear(PyObject *module) {
  using Objects = typename state_objects<State>::type;
  State *s = state_of<State>(module);
  if (s == nullptr) return 0;
  PyObject **p = reinterpret_cast<PyObject **>(static_cast<Objects *>(s));
  for (size_t i = 0; i < sizeof(Objects) / sizeof(PyObject *); ++i) Py_CLEAR(p[i]);
  return 0;
}
template <class State>
inline void state_free(void *module) {
  state_clear<State>(static_cast<PyObject *>(module));
}

// The state of the module defined by `def` that the class of `obj` (or a
// class on its MRO) belongs to; nullptr with TypeError set when there is none.
template <class State>
inline State *state_of(PyObject *obj, PyModuleDef *def) {
  PyObject *module = PyType_GetModuleByDef(Py_TYPE(obj), def);
  return module ? state_of<State>(module) : nullptr;
}
template <class State>
inline State *state_of(PyTypeObject *tp, PyModuleDef *def) {
  PyObject *module = PyType_GetModuleByDef(tp, def);
  return module ? state_of<State>(module) : nullptr;
}

// The slots of every module of the package: its exec function, and support
// for a GIL per interpreter (everything lives in module state).
template <int (*Exec)(PyObject *)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(Exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

// The definition of a module whose state is a State and whose exec function
// is Exec:  PyModuleDef module_def = capi::module_def<State, module_exec>("pkg.name", doc);
template <class State, int (*Exec)(PyObject *)>
inline PyModuleDef module_def(const char *name, const char *doc) {
  return PyModuleDef{
      .m_base = PyModuleDef_HEAD_INIT,
      .m_name = name,
      .m_doc = doc,
      .m_size = sizeof(State),
      .m_methods = nullptr,
      .m_slots = module_slots<Exec>,
      .m_traverse = state_traverse<State>,
      .m_clear = state_clear<State>,
      .m_free = state_free<State>,
  };
}

// Interns a name for the module state (new reference, or nullptr).
inline PyObject *intern(const char *s) { return PyUnicode_InternFromString(s); }

// Interns each name into its slot of the module state:
//   if (capi::intern_all({{&st->s_update, "update"}, {&st->s_items, "items"}}) < 0) return -1;
// 0, or -1 with the error set (the slots filled so far are released with the state).
struct NameSlot {
  PyObject **slot;
  const char *text;
};
inline int intern_all(std::initializer_list<NameSlot> names) {
  for (const NameSlot &n : names)
    if ((*n.slot = intern(n.text)) == nullptr) return -1;
  return 0;
}

// The module (borrowed) whose definition is `def`, found from the class of
// `self` or any class on its MRO. Raises TypeError when none is attached.
inline PyObject *module_of(PyObject *self, PyModuleDef *def) {
  return PyType_GetModuleByDef(Py_TYPE(self), def);
}
inline PyObject *module_of_type(PyTypeObject *tp, PyModuleDef *def) { return PyType_GetModuleByDef(tp, def); }

// The module global `name` as a function body would read it at call time:
// the module's dict, then the builtins, else NameError("name 'x' is not defined").
Ref global(PyObject *module, PyObject *name);

// ---------------------------------------------------------------------------
// C++ containers
// ---------------------------------------------------------------------------

// v.push_back(x), or -1 with MemoryError set when the container cannot grow
// (the only exceptions a standard container throws are allocation failures
// and length errors). 0 on success.
template <class Vec, class T>
inline int push(Vec &v, T &&x) noexcept {
  try {
    v.push_back(std::forward<T>(x));
    return 0;
  } catch (...) {
    PyErr_NoMemory();
    return -1;
  }
}

// ---------------------------------------------------------------------------
// Recursion
// ---------------------------------------------------------------------------

// Scoped Py_EnterRecursiveCall / Py_LeaveRecursiveCall. Check it before use:
//   capi::RecursionGuard guard(" while flattening");
//   if (!guard) return nullptr;
// The leave always pairs the enter, whatever path leaves the scope.
//
// `weight` counts one level as that many calls against the limit, for a level
// whose C frames are larger than an ordinary call's (a step that runs inside
// another through the interpreter's own C code).
class RecursionGuard {
  int entered_ = 0;

 public:
  explicit RecursionGuard(const char *where, int weight = 1) noexcept {
    while (entered_ < weight && Py_EnterRecursiveCall(where) == 0) ++entered_;
    if (entered_ < weight) release();
  }
  ~RecursionGuard() { release(); }
  void release() noexcept {
    for (; entered_ > 0; --entered_) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard &) = delete;
  RecursionGuard &operator=(const RecursionGuard &) = delete;
  explicit operator bool() const noexcept { return entered_ > 0; }
};

// Raises RecursionError with the given message (for explicit-stack walks that
// detect a cycle or exceed a depth limit without recursing in C).
PyObject *raise_recursion(const char *message);

}  // namespace capi
