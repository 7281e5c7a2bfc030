// Out-of-line parts of the C++ layer (see capi.hpp for the contracts).
#include "capi.hpp"

#include <cstring>

namespace capi {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

void chain_context(PyObject *exc, PyObject *context) {
  if (exc == context) {
    Py_DECREF(context);
    return;
  }
  // The links below `context` are borrowed (the chain keeps them alive);
  // Floyd's walk stops at a cycle the chain already has.
  PyObject *o = context, *slow = context;
  bool step_slow = false;
  for (;;) {
    PyObject *next = PyException_GetContext(o);
    if (next == nullptr) break;
    Py_DECREF(next);
    if (next == exc) {
      PyException_SetContext(o, nullptr);
      break;
    }
    o = next;
    if (o == slow) break;
    if (step_slow) {
      slow = PyException_GetContext(slow);
      Py_DECREF(slow);
    }
    step_slow = !step_slow;
  }
  PyException_SetContext(exc, context);
}

PyObject *raise_from_current(PyObject *exc_type, PyObject *message) {
  PyObject *previous = PyErr_GetRaisedException();  // owned, may be nullptr
  PyErr_SetObject(exc_type, message);
  if (previous != nullptr) {
    PyObject *raised = PyErr_GetRaisedException();
    if (raised != nullptr) {
      chain_context(raised, previous);  // steals previous
      PyErr_SetRaisedException(raised);  // steals raised
    } else {
      Py_DECREF(previous);
    }
  }
  return nullptr;
}

PyObject *raise_from_current(PyObject *exc_type, const char *message) {
  PyObject *previous = PyErr_GetRaisedException();
  Ref text = Ref::steal(PyUnicode_FromString(message));
  if (previous != nullptr) PyErr_SetRaisedException(previous);
  if (!text) return nullptr;
  return raise_from_current(exc_type, text.get());
}

PyObject *set_key_error(PyObject *key) {
  Ref args = tuple_of(key);
  if (args) PyErr_SetObject(PyExc_KeyError, args.get());
  return nullptr;
}

PyObject *raise_recursion(const char *message) {
  PyErr_SetString(PyExc_RecursionError, message);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

namespace {

// The bodies of call_unbound and super_lookup, inline in call_super too: one
// frame for the whole super().name(...) call (about 40 instructions fewer a
// call than the two functions, 3 % of cfg['z'] = 5 on a Configuration).
[[gnu::always_inline]] inline Ref unbound_call(PyObject *attr, PyObject *self, PyObject *const *args, size_t nargs,
                                               PyObject *kwnames) {
  if (PyFunction_Check(attr) || Py_IS_TYPE(attr, &PyMethodDescr_Type)) {
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    WithSelf argv(self, args, nargs + nkw);
    if (!argv) return {};
    return Ref::steal(PyObject_Vectorcall(attr, argv.get(), nargs + 1, kwnames));
  }
  Ref bound;
  if (descrgetfunc get = Py_TYPE(attr)->tp_descr_get) {
    bound = Ref::steal(get(attr, self, reinterpret_cast<PyObject *>(Py_TYPE(self))));
    if (!bound) return {};
  } else {
    bound = Ref::borrow(attr);
  }
  return Ref::steal(PyObject_Vectorcall(bound.get(), args, nargs, kwnames));
}

[[gnu::always_inline]] inline Ref super_find(PyObject *start, PyObject *self, PyObject *name) {
  PyTypeObject *tp = Py_TYPE(self);
  // Held for the walk: the tuple, and through it each class, stay alive
  // whatever the lookups below run.
  Ref mro = Ref::borrow(tp->tp_mro);
  Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro.get()) : 0;
  Py_ssize_t i = 0;
  while (i < n && PyTuple_GET_ITEM(mro.get(), i) != start) ++i;
  if (i >= n) {
    PyErr_SetString(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
    return {};
  }
  for (++i; i < n; ++i) {
    auto *cls = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro.get(), i));
    // A heap type's dict is its own for the class's life (the class is held
    // through the MRO): read in place. A static type's may be one per
    // interpreter, given by PyType_GetDict.
    Ref held;
    PyObject *dict = cls->tp_dict;
    if (!PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE)) {
      held = Ref::steal(PyType_GetDict(cls));
      if (!held) return {};
      dict = held.get();
    }
    PyObject *found = nullptr;
    int r = PyDict_GetItemRef(dict, name, &found);
    if (r < 0) return {};
    if (r > 0) return Ref::steal(found);
  }
  PyErr_Format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
  return {};
}

}  // namespace

Ref call_unbound(PyObject *attr, PyObject *self, PyObject *const *args, size_t nargs, PyObject *kwnames) {
  return unbound_call(attr, self, args, nargs, kwnames);
}

Ref call_class_method_v(PyObject *self, PyObject *name, PyObject *const *args, size_t nargs, PyObject *kwnames) {
  PyTypeObject *tp = Py_TYPE(self);
  Ref attr = Ref::borrow(_PyType_Lookup(tp, name));  // held while user code runs
  if (!attr) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", tp->tp_name, name);
    return {};
  }
  return unbound_call(attr.get(), self, args, nargs, kwnames);
}

Ref super_lookup(PyObject *start, PyObject *self, PyObject *name) { return super_find(start, self, name); }

Ref call_super(PyObject *start, PyObject *self, PyObject *name, PyObject *const *args, size_t nargs,
               PyObject *kwnames) {
  Ref attr = super_find(start, self, name);
  if (!attr) return {};
  return unbound_call(attr.get(), self, args, nargs, kwnames);
}

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

PyObject *one_arg(const char *func, const char *name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (nargs == 1 && kwnames == nullptr) return args[0];
  PyObject *out = nullptr;
  if (parse_args(Params{func, {name}, 1}, args, nargs, kwnames, &out) < 0) return nullptr;
  return out;
}

int parse_args_by_name(const Params &p, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(p.names.size());
  const Py_ssize_t maxpos = p.max_positional < 0 ? count : p.max_positional;
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = nullptr;
  if (nargs > maxpos) {
    if (maxpos == 0)
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments (%zd given)", p.func, nargs);
    else if (p.required == maxpos)
      PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional argument%s (%zd given)", p.func, maxpos,
                   maxpos == 1 ? "" : "s", nargs);
    else
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)", p.func, maxpos,
                   maxpos == 1 ? "" : "s", nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject *kw = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t index = -1;
      Py_ssize_t i = 0;
      for (const char *name : p.names) {
        if (PyUnicode_CompareWithASCIIString(kw, name) == 0) {
          index = i;
          break;
        }
        ++i;
      }
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.func, kw);
        return -1;
      }
      if (index < p.posonly) {
        PyErr_Format(PyExc_TypeError, "%s() got some positional-only arguments passed as keyword arguments: '%U'",
                     p.func, kw);
        return -1;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zd)", p.func, kw,
                     index + 1);
        return -1;
      }
      out[index] = args[nargs + k];
    }
  }
  Py_ssize_t i = 0;
  for (const char *name : p.names) {
    if (i >= p.required) break;
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", p.func, name, i + 1);
      return -1;
    }
    ++i;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

int attach_module(PyObject *cls, PyObject *module) {
  if (!PyType_Check(cls) || !PyType_HasFeature(reinterpret_cast<PyTypeObject *>(cls), Py_TPFLAGS_HEAPTYPE)) {
    PyErr_SetString(PyExc_TypeError, "attach_module() needs a heap type");
    return -1;
  }
  auto *heap = reinterpret_cast<PyHeapTypeObject *>(cls);
  Py_XSETREF(heap->ht_module, Py_NewRef(module));
  return 0;
}

Ref make_class(PyObject *module, PyObject *metaclass, const char *name, PyObject *bases, const char *doc,
               PyObject *attrs) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return {};
  Ref class_name = Ref::steal(PyUnicode_FromString(name));
  Ref ns = Ref::steal(PyDict_New());
  if (!class_name || !ns) return {};
  if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", class_name.get()) < 0)
    return {};
  if (doc != nullptr) {
    Ref text = Ref::steal(PyUnicode_FromString(doc));
    if (!text || PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0) return {};
  }
  if (attrs != nullptr && PyDict_Update(ns.get(), attrs) < 0) return {};
  Ref cls = call(metaclass, class_name.get(), bases, ns.get());
  if (!cls) return {};
  if (attach_module(cls.get(), module) < 0) return {};
  return cls;
}

int install_methods(PyObject *cls, PyMethodDef *defs) {
  auto *tp = reinterpret_cast<PyTypeObject *>(cls);
  for (PyMethodDef *def = defs; def->ml_name != nullptr; ++def) {
    Ref obj;
    if (def->ml_flags & METH_STATIC) {
      PyErr_Format(PyExc_SystemError, "%s: install static methods with install_staticmethod()", def->ml_name);
      return -1;
    }
    if (def->ml_flags & METH_CLASS)
      obj = Ref::steal(PyDescr_NewClassMethod(tp, def));
    else
      obj = Ref::steal(PyDescr_NewMethod(tp, def));
    if (!obj || PyObject_SetAttrString(cls, def->ml_name, obj.get()) < 0) return -1;
  }
  return 0;
}

int install_staticmethod(PyObject *cls, PyMethodDef *def) {
  if (def->ml_flags & (METH_STATIC | METH_CLASS)) {
    PyErr_Format(PyExc_SystemError, "%s: a static method entry takes neither METH_STATIC nor METH_CLASS",
                 def->ml_name);
    return -1;
  }
  Ref module_name = Ref::steal(PyObject_GetAttrString(cls, "__module__"));
  if (!module_name) return -1;
  Ref func = Ref::steal(PyCFunction_NewEx(def, cls, module_name.get()));
  if (!func) return -1;
  Ref wrapped = Ref::steal(PyStaticMethod_New(func.get()));
  if (!wrapped) return -1;
  return PyObject_SetAttrString(cls, def->ml_name, wrapped.get());
}

int update_abstract_methods(PyObject *cls) {
  Ref update = import_from("abc", "update_abstractmethods");
  if (!update) return -1;
  Ref result = call(update.get(), cls);
  return result ? 0 : -1;
}

Ref import_from(const char *module_name, const char *attr) {
  Ref module = Ref::steal(PyImport_ImportModule(module_name));
  if (!module) return {};
  return Ref::steal(PyObject_GetAttrString(module.get(), attr));
}

int add_global(PyObject *module, const char *name, PyObject *value) {
  return PyObject_SetAttrString(module, name, value);
}

// ---------------------------------------------------------------------------
// Module state and globals
// ---------------------------------------------------------------------------

Ref global(PyObject *module, PyObject *name) {
  PyObject *dict = PyModule_GetDict(module);  // borrowed
  PyObject *value = nullptr;
  int found = PyDict_GetItemRef(dict, name, &value);
  if (found < 0) return {};
  if (found > 0) return Ref::steal(value);
  PyObject *builtins = PyEval_GetBuiltins();  // borrowed
  if (builtins != nullptr) {
    found = PyDict_GetItemRef(builtins, name, &value);
    if (found < 0) return {};
    if (found > 0) return Ref::steal(value);
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

}  // namespace capi
