// dravix.datastructures.dotbag: dictionaries whose entries are also attributes.
//
//   DotBag        a dict that is its own attribute namespace: DotBag(a=1).a is 1,
//                 and obj.b = 2 stores the entry 'b'.
//   NestedDotBag  a DotBag for trees: a str key holding a dot is a path, so
//                 obj['a.b.c'] reads, writes, deletes and tests entries of nested
//                 levels, and update() merges nested mappings level by level into
//                 levels of the receiver's own class.
//
// Attribute access is the interpreter's own (the instance's __dict__ is the
// instance), so there are no attribute hooks here at all.
//
// The algorithms call setdefault, __getitem__, __setitem__, update and items on
// DotBag-derived objects through the object's class, never through its entries:
// an entry named 'update' is data, not a method, for everything in this file.
// Where the class still has the method this module installed (or the very
// MutableMapping.setdefault), the call is replaced by the C++ body it would run;
// a subclass that overrides any of them gets its override called. Merging
// nested mappings walks an explicit stack instead of recursing in C.
#include "capi.hpp"
#include "storehook.hpp"
#include "unpack.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

using capi::Ref;

struct State {
  // The capsule of the store hooks (capi/storehook.hpp): must stay the first member.
  PyObject *store_hooks;
  // The converting __setitem__ methods declared through the hooks: method
  // descriptor -> capsule of its capi::ConvertingSetitem.
  PyObject *converters;
  // Imports, as bound at import (the module globals of the same names are what
  // the algorithms read at call time; these tell whether the globals still
  // hold the originals, in which case their work can be done directly).
  PyObject *itertools;
  PyObject *chain;
  PyObject *Mapping;
  PyObject *MutableMapping;
  PyObject *mm_setdefault;    // MutableMapping.setdefault
  PyObject *get_cache_token;  // abc.get_cache_token
  PyObject *newobj;           // copyreg.__newobj__
  // Members of the built-in dict, to recognise them on the MRO.
  PyObject *dict_init;
  PyObject *dict_repr;
  PyObject *dict_items;
  // The classes and the method descriptors installed on them.
  PyObject *DotBag;
  PyObject *NestedDotBag;
  PyObject *dotbag_init;
  PyObject *nested_init;
  PyObject *nested_getitem;
  PyObject *nested_setitem;
  PyObject *nested_contains;
  PyObject *nested_delitem;
  PyObject *nested_update;
  // isinstance(v, Mapping) for the plain built-in value types, valid while
  // the ABC cache token equals abc_token (any register() call changes it).
  PyObject *abc_token;
  PyObject *plain_not_mapping;  // Py_True or Py_False
  PyObject *empty_tuple;
  PyObject *one;
  PyObject *type_facts;  // bytearray: the FactsEntry cache below
  // Interned names.
  PyObject *s_init;
  PyObject *s_repr;
  PyObject *s_update;
  PyObject *s_setdefault;
  PyObject *s_items;
  PyObject *s_index;
  PyObject *s_split;
  PyObject *s_chain;
  PyObject *s_getitem;
  PyObject *s_setitem;
  PyObject *s_contains;
  PyObject *s_delitem;
  PyObject *s_missing;
  PyObject *s_class;
  PyObject *s_name;
  PyObject *s_Mapping;
  PyObject *s_itertools;
  PyObject *s_dot;
};

extern PyModuleDef module_def;

PyObject *module_from(PyObject *self) { return capi::module_of(self, &module_def); }

// The module (borrowed) of self's class, with its state still in place.
PyObject *live_module(PyObject *self) {
  PyObject *module = module_from(self);
  if (module != nullptr && capi::state_of<struct State>(module)->NestedDotBag == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the dotbag module has been cleared");
    return nullptr;
  }
  return module;
}

State *state_from(PyObject *self) {
  PyObject *module = live_module(self);
  return module ? capi::state_of<State>(module) : nullptr;
}

// --- small helpers ------------------------------------------------------------

inline PyTypeObject *as_type(PyObject *o) { return reinterpret_cast<PyTypeObject *>(o); }
inline PyObject *as_obj(PyTypeObject *t) { return reinterpret_cast<PyObject *>(t); }

// PyUnicode_FindChar(key, '.', start, end, 1) for a str: the index of the
// first dot in key[start:end], -1 when there is none (-2: error). ASCII text
// is searched directly.
inline Py_ssize_t find_dot(PyObject *key, Py_ssize_t start, Py_ssize_t end) {
  if (PyUnicode_IS_ASCII(key) && 0 <= start && start <= end && end <= PyUnicode_GET_LENGTH(key)) {
    const char *text = static_cast<const char *>(PyUnicode_DATA(key));
    const void *dot = std::memchr(text + start, '.', static_cast<size_t>(end - start));
    return dot ? static_cast<const char *>(dot) - text : -1;
  }
  return PyUnicode_FindChar(key, '.', start, end, 1);
}

bool is_bag(State *st, PyObject *o) { return PyObject_TypeCheck(o, as_type(st->DotBag)); }

// What the algorithms need to know about a class: which of the methods they
// call are still the ones this module installed (or the very MutableMapping
// and dict functions), so that their bodies can run without the calls.
enum Fact : unsigned {
  F_NESTED = 1u << 0,            // a subclass of NestedDotBag
  F_GETITEM = 1u << 1,           // our __getitem__
  F_SETITEM = 1u << 2,           // our __setitem__
  F_CONTAINS = 1u << 3,          // our __contains__
  F_DELITEM = 1u << 4,           // our __delitem__
  F_UPDATE = 1u << 5,            // our update
  F_SETDEFAULT = 1u << 6,        // MutableMapping.setdefault
  F_NO_MISSING = 1u << 7,        // no __missing__
  F_DICT_ITEMS = 1u << 8,        // dict.items
  F_DOTBAG_NEXT_DICT = 1u << 9,  // super(DotBag, self).__init__ is dict.__init__
  F_NESTED_NEXT_BAG = 1u << 10,  // super(NestedDotBag, self).__init__ is DotBag.__init__
  F_PLAIN_NEW = 1u << 11,        // type(self)() is dict.__new__ plus the __init__ chain above and our update
  F_CONVERT = 1u << 12,          // a converting __setitem__ declared through the store hooks
  F_CONVERT_NEXT_OWN = 1u << 13, // ... which passes the value on to our __setitem__
};

constexpr const char kConverterCapsule[] = "dravix.datastructures.dotbag._converter";

// The facts are cached per class and tagged with the class's version tag, which
// the interpreter changes whenever the class or one of its bases is modified
// and never gives to another class. `type` is only compared, never followed.
struct FactsEntry {
  PyTypeObject *type;
  unsigned int version;
  unsigned int bits;
  const capi::ConvertingSetitem *conv;  // with F_CONVERT
  PyTypeObject *anchor;                 // with F_CONVERT: the class its __setitem__ was made for
};

// The converting __setitem__ of a class (from its facts).
struct Converter {
  const capi::ConvertingSetitem *conv = nullptr;
  PyTypeObject *anchor = nullptr;  // on the class's MRO, alive while the class is
};
constexpr size_t kFactsSlots = 16;

Py_ssize_t mro_index(PyObject *mro, PyObject *cls) {
  Py_ssize_t n = PyTuple_GET_SIZE(mro);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(mro, i) == cls) return i;
  return -1;
}

Ref next_in_mro(PyTypeObject *tp, PyObject *anchor, PyObject *name);

// F_CONVERT and F_CONVERT_NEXT_OWN for a NestedDotBag class without our
// __setitem__: its __setitem__ is a declared converting one, made for a class
// on its MRO whose module is the one the method finds from type(self), and
// what super(that class, self).__setitem__ finds is ours. Runs no Python code.
unsigned converter_facts(State *st, PyTypeObject *tp, Converter *conv) {
  if (st->converters == nullptr || PyDict_GET_SIZE(st->converters) == 0) return 0;
  PyObject *own = capi::lookup_on_type(tp, st->s_setitem);  // borrowed
  if (own == nullptr || !Py_IS_TYPE(own, &PyMethodDescr_Type)) return 0;  // hashed by identity
  PyObject *capsule = PyDict_GetItemWithError(st->converters, own);      // borrowed
  if (capsule == nullptr) {
    PyErr_Clear();
    return 0;
  }
  auto *found = static_cast<const capi::ConvertingSetitem *>(PyCapsule_GetPointer(capsule, kConverterCapsule));
  PyTypeObject *anchor = PyDescr_TYPE(own);
  if (found == nullptr || !PyType_IsSubtype(tp, anchor)) {
    PyErr_Clear();
    return 0;
  }
  PyObject *module = PyType_GetModuleByDef(tp, found->def);  // borrowed
  PyObject *anchor_module = module ? PyType_GetModule(anchor) : nullptr;
  if (module == nullptr || anchor_module != module) {
    PyErr_Clear();
    return 0;
  }
  *conv = {found, anchor};
  unsigned bits = F_CONVERT;
  Ref next = next_in_mro(tp, as_obj(anchor), st->s_setitem);
  if (next.get() == st->nested_setitem) bits |= F_CONVERT_NEXT_OWN;
  PyErr_Clear();
  return bits;
}

unsigned compute_facts(State *st, PyTypeObject *tp, Converter *conv) {
  unsigned bits = 0;
  *conv = {};
  auto has = [&](PyObject *name, PyObject *ours, unsigned flag) {
    if (capi::lookup_on_type(tp, name) == ours) bits |= flag;
  };
  if (PyType_IsSubtype(tp, as_type(st->NestedDotBag))) {
    bits |= F_NESTED;
    has(st->s_getitem, st->nested_getitem, F_GETITEM);
    has(st->s_setitem, st->nested_setitem, F_SETITEM);
    has(st->s_contains, st->nested_contains, F_CONTAINS);
    has(st->s_delitem, st->nested_delitem, F_DELITEM);
    has(st->s_update, st->nested_update, F_UPDATE);
    if (!(bits & F_SETITEM)) bits |= converter_facts(st, tp, conv);
  }
  has(st->s_setdefault, st->mm_setdefault, F_SETDEFAULT);
  has(st->s_missing, nullptr, F_NO_MISSING);
  has(st->s_items, st->dict_items, F_DICT_ITEMS);
  PyObject *mro = tp->tp_mro;
  if (mro != nullptr) {
    Py_ssize_t n = PyTuple_GET_SIZE(mro);
    Py_ssize_t j = mro_index(mro, st->DotBag);
    if (j >= 0 && j + 1 < n && PyTuple_GET_ITEM(mro, j + 1) == as_obj(&PyDict_Type)) bits |= F_DOTBAG_NEXT_DICT;
    Py_ssize_t i = mro_index(mro, st->NestedDotBag);
    if (i >= 0 && i + 1 < n && PyTuple_GET_ITEM(mro, i + 1) == st->DotBag) {
      PyObject *own = PyDict_GetItemWithError(as_type(st->DotBag)->tp_dict, st->s_init);  // borrowed
      if (own == nullptr) PyErr_Clear();
      if (own == st->dotbag_init) bits |= F_NESTED_NEXT_BAG;
    }
  }
  const unsigned plain_new = F_NESTED_NEXT_BAG | F_DOTBAG_NEXT_DICT | F_UPDATE;
  if (tp->tp_new == PyDict_Type.tp_new && (bits & plain_new) == plain_new &&
      capi::lookup_on_type(tp, st->s_init) == st->nested_init)
    bits |= F_PLAIN_NEW;
  return bits;
}

// conv, when given, receives the converting __setitem__ (with F_CONVERT).
unsigned facts(State *st, PyTypeObject *tp, Converter *conv = nullptr) {
  auto *slots = reinterpret_cast<FactsEntry *>(PyByteArray_AS_STRING(st->type_facts));
  FactsEntry &entry = slots[(reinterpret_cast<uintptr_t>(tp) >> 5) % kFactsSlots];
  if (entry.type == tp && entry.version == tp->tp_version_tag && entry.version != 0) {
    if (conv != nullptr) *conv = {entry.conv, entry.anchor};
    return entry.bits;
  }
  Converter found;
  unsigned bits = compute_facts(st, tp, &found);
  if (tp->tp_version_tag != 0) entry = {tp, tp->tp_version_tag, bits, found.conv, found.anchor};
  if (conv != nullptr) *conv = found;
  return bits;
}

// True when o is a NestedDotBag whose class still has our method for `flag`.
bool uses_own(State *st, PyObject *o, unsigned flag) {
  return PyObject_TypeCheck(o, as_type(st->NestedDotBag)) && (facts(st, Py_TYPE(o)) & flag);
}

// obj.name(*args) as the algorithms make it: through the class for DotBag-derived
// objects (entries never stand in for methods), by attribute lookup otherwise.
template <class... T>
Ref call_on(State *st, PyObject *obj, PyObject *name, T... args) {
  if (is_bag(st, obj)) return capi::call_class_method(obj, name, args...);
  return capi::call_method(obj, name, args...);
}

// The built-in dict subscript (dict.__getitem__ of a subclass: __missing__ applies).
Ref dict_subscript(PyObject *d, PyObject *key) { return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(d, key)); }

// The attribute `name` as super(anchor, obj) finds it for an instance of tp
// (new reference, or an empty Ref with no error when no later class has it).
Ref next_in_mro(PyTypeObject *tp, PyObject *anchor, PyObject *name) {
  PyObject *mro = tp->tp_mro;
  if (mro == nullptr) return {};
  Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
  while (i < n && PyTuple_GET_ITEM(mro, i) != anchor) ++i;
  for (++i; i < n; ++i) {
    Ref dict = Ref::steal(PyType_GetDict(as_type(PyTuple_GET_ITEM(mro, i))));
    if (!dict) continue;
    PyObject *found = nullptr;
    int r = PyDict_GetItemRef(dict.get(), name, &found);
    if (r < 0) return {};
    if (r > 0) return Ref::steal(found);
  }
  return {};
}

// Calls `found` (an attribute found as super() finds it) bound to self.
Ref call_found(PyObject *found, PyObject *self, PyObject *args, PyObject *kwargs) {
  Ref bound;
  if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
    bound = Ref::steal(get(found, self, as_obj(Py_TYPE(self))));
    if (!bound) return {};
  } else {
    bound = Ref::borrow(found);
  }
  return Ref::steal(PyObject_Call(bound.get(), args, kwargs));
}

int bind_namespace(PyObject *self) { return PyObject_GenericSetDict(self, self, nullptr); }

// `a, b = obj`, with the interpreter's messages.
int unpack2(PyObject *obj, Ref &a, Ref &b) {
  Ref parts[2];
  if (capi::unpack_exact(obj, parts, 2) < 0) return -1;
  a = std::move(parts[0]);
  b = std::move(parts[1]);
  return 0;
}

// --- class DotBag ---------------------------------------------------------------

PyDoc_STRVAR(dotbag_doc,
             "A dictionary whose contents can also be reached as object attributes.\n\n"
             "obj.name reads what obj['name'] reads and obj.name = value stores an entry.\n"
             "Keys that are not valid Python identifiers (keys holding a dot, comma,\n"
             "bracket, hyphen, quote or slash, and keys that are not strings) are ordinary\n"
             "entries but cannot be reached with the attribute syntax. An entry named like a\n"
             "method hides that method for attribute access on that instance.");

PyDoc_STRVAR(dotbag_init_doc,
             "__init__($self, /, *args, **kwargs)\n--\n\n"
             "Fill the dictionary as dict() would, then make the instance its own attribute\n"
             "namespace (its __dict__ is the instance itself). The instance thereby refers to\n"
             "itself: it is a reference cycle, reclaimed by the cyclic garbage collector.");

int dotbag_init_impl(State *st, PyObject *self, PyObject *args, PyObject *kwargs) {
  if (facts(st, Py_TYPE(self)) & F_DOTBAG_NEXT_DICT) {
    // dict.__init__ without arguments does nothing
    bool no_args = PyTuple_GET_SIZE(args) == 0 && (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0);
    if (!no_args && PyDict_Type.tp_init(self, args, kwargs) < 0) return -1;
    return bind_namespace(self);
  }
  Ref found = next_in_mro(Py_TYPE(self), st->DotBag, st->s_init);
  if (!found) {
    if (PyErr_Occurred()) return -1;
  } else if (found.get() == st->dict_init) {
    if (PyDict_Type.tp_init(self, args, kwargs) < 0) return -1;
  } else {
    Ref result = call_found(found.get(), self, args, kwargs);
    if (!result) return -1;
  }
  return bind_namespace(self);
}

PyObject *dotbag_init(PyObject *self, PyObject *args, PyObject *kwargs) {
  State *st = state_from(self);
  if (st == nullptr || dotbag_init_impl(st, self, args, kwargs) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(dotbag_repr_doc, "__repr__($self, /)\n--\n\n");

PyObject *dotbag_repr(PyObject *self, PyObject *) {
  State *st = state_from(self);
  if (st == nullptr) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(self, st->s_class));
  if (!cls) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttr(cls.get(), st->s_name));
  if (!name) return nullptr;
  Ref found = next_in_mro(Py_TYPE(self), st->DotBag, st->s_repr);
  Ref text;
  if (!found) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "no __repr__ after DotBag");
    return nullptr;
  }
  if (found.get() == st->dict_repr)
    text = Ref::steal(PyDict_Type.tp_repr(self));
  else
    text = call_found(found.get(), self, st->empty_tuple, nullptr);
  if (!text) return nullptr;
  return PyUnicode_FromFormat("%S(%S)", name.get(), text.get());
}

PyDoc_STRVAR(dotbag_reduce_ex_doc,
             "__reduce_ex__($self, protocol, /)\n--\n\n"
             "Support for copy and pickle: the object is remade as an empty instance of its\n"
             "own class and its entries are put back as they are (see __setstate__).");

PyObject *dotbag_reduce_ex(PyObject *self, PyObject *) {
  State *st = state_from(self);
  if (st == nullptr) return nullptr;
  Ref args = capi::tuple_of(as_obj(Py_TYPE(self)));
  Ref entries = Ref::steal(PyDict_Copy(self));
  if (!args || !entries) return nullptr;
  return capi::tuple_of(st->newobj, args.get(), entries.get()).release();
}

PyDoc_STRVAR(dotbag_setstate_doc,
             "__setstate__($self, state, /)\n--\n\n"
             "Store the entries of the mapping state unchanged (no key is split and no value\n"
             "converted) and make the instance its own attribute namespace again.");

PyObject *dotbag_setstate(PyObject *self, PyObject *state) {
  if (PyDict_Merge(self, state, 1) < 0 || bind_namespace(self) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef dotbag_methods[] = {
    {"__init__", capi::as_cfunc(dotbag_init), METH_VARARGS | METH_KEYWORDS, dotbag_init_doc},
    {"__repr__", capi::as_cfunc(dotbag_repr), METH_NOARGS, dotbag_repr_doc},
    {"__reduce_ex__", capi::as_cfunc(dotbag_reduce_ex), METH_O, dotbag_reduce_ex_doc},
    {"__setstate__", capi::as_cfunc(dotbag_setstate), METH_O, dotbag_setstate_doc},
    {nullptr, nullptr, 0, nullptr},
};

// --- class NestedDotBag: paths ---------------------------------------------------

// A key being followed down a path. An exact str is cut by offsets into the one
// string (no piece is made until it is needed); any other str is cut with its
// own split('.', 1), as the path rule says.
struct PathKey {
  PyObject *key;  // borrowed from the caller or from `owned`
  Ref owned;
  Py_ssize_t start = 0;
  int steps = 0;  // cuts made with split(): bounded, see cut()

  explicit PathKey(PyObject *k) : key(k) {}

  // The key from `start` on (new reference).
  Ref rest() const {
    if (start == 0) return Ref::borrow(key);
    return Ref::steal(PyUnicode_Substring(key, start, PyUnicode_GET_LENGTH(key)));
  }
};

// 1: the key is a path; `head` is set and the key now stands for the rest.
// 0: a plain key. -1: error.
int cut(State *st, PathKey &k, Ref &head) {
  PyObject *key = k.key;
  if (PyUnicode_CheckExact(key)) {
    Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    Py_ssize_t dot = find_dot(key, k.start, len);
    if (dot == -2) return -1;
    if (dot == -1) return 0;
    head = Ref::steal(PyUnicode_Substring(key, k.start, dot));
    if (!head) return -1;
    k.start = dot + 1;
    return 1;
  }
  if (!PyUnicode_Check(key)) return 0;
  int has_dot = PySequence_Contains(key, st->s_dot);
  if (has_dot <= 0) return has_dot;
  // A str subclass may cut itself into anything: keep a bound on how far such
  // a walk goes, as the recursion of the plain algorithm would.
  if (++k.steps > Py_GetRecursionLimit()) {
    capi::raise_recursion("maximum recursion depth exceeded while following a dotted key");
    return -1;
  }
  Ref parts = capi::call_method(key, st->s_split, st->s_dot, st->one);
  if (!parts) return -1;
  Ref rest;
  if (unpack2(parts.get(), head, rest) < 0) return -1;
  k.owned = std::move(rest);
  k.key = k.owned.get();
  k.start = 0;
  return 1;
}

PyObject *getitem_impl(State *st, PyObject *self, PyObject *key) {
  PathKey k(key);
  Ref cur = Ref::borrow(self);
  for (;;) {
    Ref head;
    int r = cut(st, k, head);
    if (r < 0) return nullptr;
    if (r == 0) {
      Ref plain = k.rest();
      return plain ? dict_subscript(cur.get(), plain.get()).release() : nullptr;
    }
    Ref value = dict_subscript(cur.get(), head.get());
    if (!value) return nullptr;
    if (uses_own(st, value.get(), F_GETITEM)) {
      cur = std::move(value);  // the level runs this same algorithm on the rest
      continue;
    }
    Ref rest = k.rest();
    return rest ? PyObject_GetItem(value.get(), rest.get()) : nullptr;
  }
}

int setitem_impl(State *st, PyObject *self, PyObject *key, PyObject *value);

// obj[key] and obj[key] = value as an algorithm makes them: through the class.
Ref do_getitem(State *st, PyObject *obj, PyObject *key) {
  if (uses_own(st, obj, F_GETITEM)) return Ref::steal(getitem_impl(st, obj, key));
  return Ref::steal(PyObject_GetItem(obj, key));
}

// obj[key] = value for a NestedDotBag whose class has a converting __setitem__
// (f: its facts, with F_CONVERT): the conversion, then what the method passes
// the value on to. That is our __setitem__ unless the class has been changed
// meanwhile (the conversion may run any code); then the method's own rest runs.
// key_is_plain: key is an exact str without a dot.
int convert_store(State *st, PyObject *obj, unsigned f, const Converter &conv, PyObject *key, PyObject *value,
                  bool key_is_plain = false) {
  PyTypeObject *tp = Py_TYPE(obj);
  const unsigned int version = tp->tp_version_tag;
  Ref anchor = Ref::borrow(as_obj(conv.anchor));  // held: the conversion may change the class
  Ref converted = Ref::steal(conv.conv->convert(obj, value));
  if (!converted) return -1;
  if ((f & F_CONVERT_NEXT_OWN) && version != 0 && Py_TYPE(obj) == tp && tp->tp_version_tag == version) {
    if (key_is_plain) return PyDict_SetItem(obj, key, converted.get());
    return setitem_impl(st, obj, key, converted.get());
  }
  return conv.conv->pass_on(anchor.get(), obj, key, converted.get());
}

int do_setitem(State *st, PyObject *obj, PyObject *key, PyObject *value) {
  if (PyObject_TypeCheck(obj, as_type(st->NestedDotBag))) {
    Converter conv;
    const unsigned f = facts(st, Py_TYPE(obj), &conv);
    if (f & F_SETITEM) return setitem_impl(st, obj, key, value);
    if (f & F_CONVERT) return convert_store(st, obj, f, conv, key, value);
  }
  return PyObject_SetItem(obj, key, value);
}

// type(obj)(): a new empty level of the class tp.
Ref new_level(State *st, PyTypeObject *tp, bool plain) {
  if (!plain) return Ref::steal(PyObject_CallNoArgs(as_obj(tp)));
  Ref level = Ref::steal(tp->tp_new(tp, st->empty_tuple, nullptr));
  if (!level || bind_namespace(level.get()) < 0) return {};
  return level;
}

// Sets `context` as the __context__ of the exception being raised, as raising
// inside `except` does (unless it already has one or is that very exception).
void chain_context(PyObject *context) {
  PyObject *raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  if (raised != context) {
    PyObject *old = PyException_GetContext(raised);
    if (old == nullptr)
      PyException_SetContext(raised, Py_NewRef(context));
    else
      Py_DECREF(old);
  }
  PyErr_SetRaisedException(raised);
}

// obj.setdefault(key, type(obj)()): the level under key, made when missing.
// With MutableMapping.setdefault on the class this runs its body directly:
//   try: return self[key]
//   except KeyError: self[key] = default; return default
// key_has_no_dot: key is known to be an exact str without a dot (a cut head).
// f: facts(st, Py_TYPE(obj)).
Ref setdefault_level(State *st, PyObject *obj, unsigned f, PyObject *key, bool key_has_no_dot = false) {
  PyTypeObject *tp = Py_TYPE(obj);
  // type(obj)() can be replaced by making the empty instance directly when the
  // metaclass call, __new__, the __init__ chain and update are the originals:
  // nothing could tell the two apart.
  bool plain = Py_TYPE(tp)->tp_call == PyType_Type.tp_call && (f & F_PLAIN_NEW);
  if (!(f & F_SETDEFAULT)) {
    if (capi::lookup_on_type(tp, st->s_setdefault) == nullptr)  // the error the lookup raises
      return capi::call_class_method(obj, st->s_setdefault, key, Py_None);
    Ref level = new_level(st, tp, plain);
    if (!level) return {};
    return capi::call_class_method(obj, st->s_setdefault, key, level.get());
  }
  // The level is made before the call unless making it cannot be observed.
  Ref level;
  if (!plain) {
    level = new_level(st, tp, false);
    if (!level) return {};
  }
  const unsigned raw = F_NESTED | F_GETITEM | F_NO_MISSING;
  // A converting __setitem__ that passes the value on to ours, when nothing
  // has run since f was computed (the level is not made yet).
  Converter conv;
  if (!(f & F_SETITEM) && (f & F_CONVERT_NEXT_OWN) && plain) facts(st, tp, &conv);
  if ((f & raw) == raw && ((f & F_SETITEM) || conv.conv != nullptr) && PyUnicode_CheckExact(key)) {
    Py_ssize_t dot = key_has_no_dot ? -1 : find_dot(key, 0, PyUnicode_GET_LENGTH(key));
    if (dot == -2) return {};
    if (dot == -1) {
      // A plain str key on our own item methods: one lookup, and on a miss a
      // plain store, with no KeyError made unless the store itself fails.
      // With a converting __setitem__ this holds only while the conversion
      // of the level runs no Python code (which could see the KeyError being
      // handled) and cannot fail; else the general route below runs.
      PyObject *value = nullptr;
      int r = PyDict_GetItemRef(obj, key, &value);
      if (r < 0) return {};
      if (r > 0) return Ref::steal(value);
      if (!level) {
        level = new_level(st, tp, true);
        if (!level) return {};
      }
      Ref stored = conv.conv ? Ref::steal(conv.conv->convert_quiet(obj, level.get())) : level.dup();
      if (!stored) goto general;
      if (PyDict_SetItem(obj, key, stored.get()) < 0) {
        Ref missing = capi::tuple_of(key);
        Ref error = missing ? Ref::steal(PyObject_Call(PyExc_KeyError, missing.get(), nullptr)) : Ref();
        if (error) chain_context(error.get());
        return {};
      }
      return level;
    }
  }
general:
  Ref value = do_getitem(st, obj, key);
  if (value) return value;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
  Ref caught = Ref::steal(PyErr_GetRaisedException());
  if (!level) {
    level = new_level(st, tp, true);
    if (!level) return {};
  }
  PyObject *handled = PyErr_GetHandledException();  // new reference or nullptr
  PyErr_SetHandledException(caught.get());
  int rc = do_setitem(st, obj, key, level.get());
  PyErr_SetHandledException(handled);
  Py_XDECREF(handled);
  if (rc < 0) {
    chain_context(caught.get());
    return {};
  }
  return level;
}

int setitem_impl(State *st, PyObject *self, PyObject *key, PyObject *value) {
  PathKey k(key);
  Ref cur = Ref::borrow(self);
  for (;;) {
    Ref head;
    const bool exact = PyUnicode_CheckExact(k.key);  // then the head is an exact str without a dot
    int r = cut(st, k, head);
    if (r < 0) return -1;
    if (r == 0) {
      Ref plain = k.rest();
      return plain ? PyDict_SetItem(cur.get(), plain.get(), value) : -1;
    }
    const unsigned f = facts(st, Py_TYPE(cur.get()));
    Ref sub = setdefault_level(st, cur.get(), f, head.get(), exact);
    if (!sub) return -1;
    PyTypeObject *tp = Py_TYPE(cur.get());
    int is_level = PyObject_IsInstance(sub.get(), as_obj(tp));
    if (is_level < 0) return -1;
    if (!is_level) {
      Ref name = Ref::steal(PyType_GetName(tp));
      if (!name) return -1;
      Ref message = Ref::steal(PyUnicode_FromFormat(
          "target key \"%S\" is a value, cannot update value against another %S", head.get(), name.get()));
      if (message) capi::set_key_error(message.get());
      return -1;
    }
    // sub is an instance of cur's class: a NestedDotBag
    if ((Py_TYPE(sub.get()) == tp ? f : facts(st, Py_TYPE(sub.get()))) & F_SETITEM) {
      cur = std::move(sub);
      continue;
    }
    Ref rest = k.rest();
    return rest ? do_setitem(st, sub.get(), rest.get(), value) : -1;
  }
}

int contains_impl(State *st, PyObject *self, PyObject *key) {
  PathKey k(key);
  Ref cur = Ref::borrow(self);
  for (;;) {
    Ref head;
    int r = cut(st, k, head);
    if (r < 0) return -1;
    if (r == 0) {
      Ref plain = k.rest();
      return plain ? PyDict_Contains(cur.get(), plain.get()) : -1;
    }
    PyObject *value = nullptr;
    r = PyDict_GetItemRef(cur.get(), head.get(), &value);
    if (r <= 0) return r;
    Ref held = Ref::steal(value);
    if (uses_own(st, value, F_CONTAINS)) {
      cur = std::move(held);
      continue;
    }
    Ref rest = k.rest();
    return rest ? PySequence_Contains(value, rest.get()) : -1;
  }
}

int delitem_impl(State *st, PyObject *self, PyObject *key) {
  PathKey k(key);
  Ref cur = Ref::borrow(self);
  for (;;) {
    Ref head;
    int r = cut(st, k, head);
    if (r < 0) return -1;
    if (r == 0) {
      Ref plain = k.rest();
      return plain ? PyDict_DelItem(cur.get(), plain.get()) : -1;
    }
    Ref value = dict_subscript(cur.get(), head.get());
    if (!value) return -1;
    if (uses_own(st, value.get(), F_DELITEM)) {
      cur = std::move(value);
      continue;
    }
    Ref rest = k.rest();
    return rest ? PyObject_DelItem(value.get(), rest.get()) : -1;
  }
}

// --- class NestedDotBag: update ----------------------------------------------------

// Re-checks, when some ABC was registered since the last check, whether one of
// the plain value types above has become a Mapping.
int refresh_plain_types(State *st) {
  Ref token = capi::call(st->get_cache_token);
  if (!token) return -1;
  if (st->abc_token != nullptr) {
    int same = PyObject_RichCompareBool(token.get(), st->abc_token, Py_EQ);
    if (same < 0) return -1;
    if (same) return 0;
  }
  PyTypeObject *types[] = {&PyLong_Type, &PyUnicode_Type, &PyFloat_Type, &PyBool_Type,
                           Py_TYPE(Py_None), &PyList_Type, &PyTuple_Type, &PyBytes_Type};
  PyObject *verdict = Py_True;
  for (PyTypeObject *tp : types) {
    int r = PyObject_IsSubclass(as_obj(tp), st->Mapping);
    if (r < 0) return -1;
    if (r) verdict = Py_False;
  }
  Py_XSETREF(st->abc_token, token.release());
  Py_XSETREF(st->plain_not_mapping, Py_NewRef(verdict));
  return 0;
}

// isinstance(value, Mapping) with Mapping the module global read for this call.
// `checked` tells whether the plain-type verdict was refreshed in this update().
int is_mapping(State *st, PyObject *mapping, PyObject *value, bool &checked) {
  if (mapping == st->Mapping) {
    if (PyDict_Check(value)) return 1;  // dict is registered with MutableMapping
    PyTypeObject *tp = Py_TYPE(value);
    if (tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
        tp == Py_TYPE(Py_None) || tp == &PyList_Type || tp == &PyTuple_Type || tp == &PyBytes_Type) {
      if (!checked) {
        if (refresh_plain_types(st) < 0) return -1;
        checked = true;
      }
      if (st->plain_not_mapping == Py_True) return 0;
    }
  }
  return PyObject_IsInstance(value, mapping);
}

// One update() call in progress: its receiver and where its items come from.
struct Frame {
  Ref self;
  Ref iterable;  // the argument after step 2 (what .index() is asked of)
  Ref mapping;   // the Mapping global as read by this call
  Ref dict;      // items read straight from this dict...
  Py_ssize_t pos = 0;
  Py_ssize_t used = 0;
  Ref iter;                  // ...or from this iterator
  bool chained = false;      // iter is itertools.chain(iterable, kwargs.items())
  PyObject *const *kwvalues = nullptr;  // keyword items (the outermost call only)
  PyObject *kwnames = nullptr;
  Py_ssize_t kwpos = 0;
};

// Steps 1-2 of update() for one call: read the globals, turn a Mapping into
// its items, and set up the walk of itertools.chain(iterable, kwargs.items()).
int start_frame(State *st, PyObject *module, Frame &f, PyObject *self, PyObject *arg, PyObject *const *kwvalues,
                PyObject *kwnames, bool &checked) {
  f.self = Ref::borrow(self);
  f.iterable = Ref::borrow(arg ? arg : st->empty_tuple);
  f.mapping = capi::global(module, st->s_Mapping);
  if (!f.mapping) return -1;
  int m = is_mapping(st, f.mapping.get(), f.iterable.get(), checked);
  if (m < 0) return -1;
  bool direct_dict = false;
  if (m) {
    PyObject *src = f.iterable.get();
    if (PyDict_CheckExact(src) || (is_bag(st, src) && (facts(st, Py_TYPE(src)) & F_DICT_ITEMS))) {
      direct_dict = true;  // iterating dict.items(src) is walking src itself
    } else {
      Ref items = call_on(st, src, st->s_items);
      if (!items) return -1;
      f.iterable = std::move(items);
    }
  }
  Ref itertools = capi::global(module, st->s_itertools);
  if (!itertools) return -1;
  bool plain_chain = false;
  if (itertools.get() == st->itertools) {
    Ref chain = Ref::steal(PyObject_GetAttr(itertools.get(), st->s_chain));
    if (!chain) return -1;
    plain_chain = chain.get() == st->chain;
  }
  if (plain_chain) {
    if (direct_dict) {
      f.dict = f.iterable.dup();
      f.used = PyDict_GET_SIZE(f.dict.get());
    } else {
      f.iter = Ref::steal(PyObject_GetIter(f.iterable.get()));
      if (!f.iter) return -1;
    }
    f.kwvalues = kwvalues;
    f.kwnames = kwnames;
    return 0;
  }
  // itertools (or its chain) was replaced: call what is there now.
  if (direct_dict) {
    Ref items = call_on(st, f.iterable.get(), st->s_items);
    if (!items) return -1;
    f.iterable = std::move(items);
  }
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return -1;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i)
    if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), kwvalues[i]) < 0) return -1;
  Ref kwitems = capi::call_method(kwargs.get(), st->s_items);
  if (!kwitems) return -1;
  Ref chain = Ref::steal(PyObject_GetAttr(itertools.get(), st->s_chain));
  if (!chain) return -1;
  Ref chained = capi::call(chain.get(), f.iterable.get(), kwitems.get());
  if (!chained) return -1;
  f.iter = Ref::steal(PyObject_GetIter(chained.get()));
  if (!f.iter) return -1;
  f.chained = true;
  return 0;
}

// Step 3.1-3.2: the next (key, value) of the call. 1: got one; 0: done; -1: error.
int next_item(State *st, Frame &f, Ref &key, Ref &value) {
  if (f.dict) {
    if (PyDict_GET_SIZE(f.dict.get()) != f.used) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return -1;
    }
    PyObject *k, *v;
    if (PyDict_Next(f.dict.get(), &f.pos, &k, &v)) {
      key = Ref::borrow(k);
      value = Ref::borrow(v);
      return 1;
    }
    f.dict.reset();
  }
  if (f.iter) {
    Ref item = Ref::steal(PyIter_Next(f.iter.get()));
    if (item) {
      Py_ssize_t n = PyObject_Size(item.get());
      if (n < 0) return -1;
      if (n != 2) {
        Ref position = call_on(st, f.iterable.get(), st->s_index, item.get());
        if (!position) return -1;
        PyErr_Format(PyExc_TypeError, "cannot convert dictionary update sequence element #%S to a sequence",
                     position.get());
        return -1;
      }
      return unpack2(item.get(), key, value) < 0 ? -1 : 1;
    }
    if (PyErr_Occurred()) return -1;
    f.iter.reset();
    if (f.chained) return 0;
  }
  if (f.kwnames != nullptr && f.kwpos < PyTuple_GET_SIZE(f.kwnames)) {
    key = Ref::borrow(PyTuple_GET_ITEM(f.kwnames, f.kwpos));
    value = Ref::borrow(f.kwvalues[f.kwpos]);
    ++f.kwpos;
    return 1;
  }
  return 0;
}

// update(self, *args, **kwargs) with the positional arguments in args[0:nargs]
// and the keyword values after them. Nested merges into levels whose class has
// our update are walked on an explicit stack.
int update_impl(State *st, PyObject *module, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "expected at most 1 arguments, got %zd", nargs);
    return -1;
  }
  bool checked = false;
  try {
    Frame top;  // the call itself; merges into levels go on `nested`
    std::vector<Frame> nested;
    if (start_frame(st, module, top, self, nargs ? args[0] : nullptr, args + nargs, kwnames, checked) < 0) return -1;
    for (;;) {
      Frame &f = nested.empty() ? top : nested.back();
      Ref key, value;
      int r = next_item(st, f, key, value);
      if (r < 0) return -1;
      if (r == 0) {
        if (nested.empty()) break;
        nested.pop_back();
        continue;
      }
      int m = is_mapping(st, f.mapping.get(), value.get(), checked);
      if (m < 0) return -1;
      if (!m) {
        PyObject *target = f.self.get();
        Converter conv;
        const unsigned tf = facts(st, Py_TYPE(target), &conv);
        if (PyUnicode_CheckExact(key.get()) && (tf & (F_SETITEM | F_CONVERT))) {
          // self[key] = value with our __setitem__ (or a converting one that
          // passes the value on to it) and a str key: a plain store unless
          // the key holds a dot.
          Py_ssize_t dot = find_dot(key.get(), 0, PyUnicode_GET_LENGTH(key.get()));
          if (dot == -2) return -1;
          if (dot == -1) {
            if (tf & F_SETITEM) {
              if (PyDict_SetItem(target, key.get(), value.get()) < 0) return -1;
            } else if (convert_store(st, target, tf, conv, key.get(), value.get(), true) < 0) {
              return -1;
            }
            continue;
          }
        }
        if (do_setitem(st, target, key.get(), value.get()) < 0) return -1;
        continue;
      }
      Ref target = setdefault_level(st, f.self.get(), facts(st, Py_TYPE(f.self.get())), key.get());
      if (!target) return -1;
      if (uses_own(st, target.get(), F_UPDATE)) {
        if (nested.size() + 1 >= static_cast<size_t>(Py_GetRecursionLimit())) {
          capi::raise_recursion("maximum recursion depth exceeded while merging nested mappings");
          return -1;
        }
        nested.emplace_back();  // f is not used past this point
        if (start_frame(st, module, nested.back(), target.get(), value.get(), nullptr, nullptr, checked) < 0)
          return -1;
      } else {
        Ref done = call_on(st, target.get(), st->s_update, value.get());
        if (!done) return -1;
      }
    }
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

// --- class NestedDotBag: methods ---------------------------------------------------

PyObject *nested_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *module = live_module(self);
  if (module == nullptr) return nullptr;
  State *st = capi::state_of<State>(module);
  capi::RecursionGuard guard(" while initialising a NestedDotBag");
  if (!guard) return nullptr;
  const unsigned f = facts(st, Py_TYPE(self));
  Ref found;
  if (f & F_NESTED_NEXT_BAG)
    found = Ref::borrow(st->dotbag_init);
  else
    found = next_in_mro(Py_TYPE(self), st->NestedDotBag, st->s_init);
  if (!found) {
    if (PyErr_Occurred()) return nullptr;
  } else if (found.get() == st->dotbag_init) {
    if (dotbag_init_impl(st, self, st->empty_tuple, nullptr) < 0) return nullptr;
  } else if (found.get() == st->dict_init) {
    if (PyDict_Type.tp_init(self, st->empty_tuple, nullptr) < 0) return nullptr;
  } else {
    Ref result = call_found(found.get(), self, st->empty_tuple, nullptr);
    if (!result) return nullptr;
  }
  if (f & F_UPDATE) {
    if (update_impl(st, module, self, args, nargs, kwnames) < 0) return nullptr;
    Py_RETURN_NONE;
  }
  Ref result = capi::call_class_method_v(self, st->s_update, args, static_cast<size_t>(nargs), kwnames);
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

// The single `key` argument of the item methods (positional or by name).
inline PyObject *key_arg(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (nargs == 1 && kwnames == nullptr) return args[0];
  PyObject *argv[1];
  if (capi::parse_args({func, {"key"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  return argv[0];
}

PyObject *nested_getitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *key = key_arg("__getitem__", args, nargs, kwnames);
  if (key == nullptr) return nullptr;
  State *st = state_from(self);
  return st ? getitem_impl(st, self, key) : nullptr;
}

PyObject *nested_setitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (nargs == 2 && kwnames == nullptr) {
    argv[0] = args[0];
    argv[1] = args[1];
  } else if (capi::parse_args({"__setitem__", {"key", "value"}, 2}, args, nargs, kwnames, argv) < 0) {
    return nullptr;
  }
  State *st = state_from(self);
  if (st == nullptr) return nullptr;
  if (setitem_impl(st, self, argv[0], argv[1]) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *nested_contains(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *key = key_arg("__contains__", args, nargs, kwnames);
  if (key == nullptr) return nullptr;
  State *st = state_from(self);
  if (st == nullptr) return nullptr;
  int r = contains_impl(st, self, key);
  if (r < 0) return nullptr;
  return PyBool_FromLong(r);
}

PyObject *nested_delitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *key = key_arg("__delitem__", args, nargs, kwnames);
  if (key == nullptr) return nullptr;
  State *st = state_from(self);
  if (st == nullptr || delitem_impl(st, self, key) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *nested_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *module = live_module(self);
  if (module == nullptr) return nullptr;
  capi::RecursionGuard guard(" while updating a NestedDotBag");
  if (!guard || update_impl(capi::state_of<State>(module), module, self, args, nargs, kwnames) < 0) return nullptr;
  Py_RETURN_NONE;
}

// No docstrings on this class's methods: only their text signatures.
PyMethodDef nested_methods[] = {
    {"__init__", capi::as_cfunc(nested_init), METH_FASTCALL | METH_KEYWORDS,
     "__init__($self, /, *args, **kwargs)\n--\n\n"},
    {"__getitem__", capi::as_cfunc(nested_getitem), METH_FASTCALL | METH_KEYWORDS, "__getitem__($self, /, key)\n--\n\n"},
    {"__setitem__", capi::as_cfunc(nested_setitem), METH_FASTCALL | METH_KEYWORDS,
     "__setitem__($self, /, key, value)\n--\n\n"},
    {"__contains__", capi::as_cfunc(nested_contains), METH_FASTCALL | METH_KEYWORDS,
     "__contains__($self, /, key)\n--\n\n"},
    {"__delitem__", capi::as_cfunc(nested_delitem), METH_FASTCALL | METH_KEYWORDS, "__delitem__($self, /, key)\n--\n\n"},
    {"update", capi::as_cfunc(nested_update), METH_FASTCALL | METH_KEYWORDS, "update($self, /, *args, **kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// --- module -------------------------------------------------------------------------

// StoreHooks::add (capi/storehook.hpp).
int add_converting_setitem(PyObject *module, PyObject *descr, const capi::ConvertingSetitem *conv) {
  State *st = capi::state_of<State>(module);
  if (st == nullptr || st->converters == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the dotbag module has been cleared");
    return -1;
  }
  if (!Py_IS_TYPE(descr, &PyMethodDescr_Type) || conv == nullptr || conv->convert == nullptr || conv->convert_quiet == nullptr ||
      conv->pass_on == nullptr || conv->def == nullptr) {
    PyErr_SetString(PyExc_TypeError, "a converting __setitem__ must be a method descriptor with its functions");
    return -1;
  }
  Ref capsule = Ref::steal(PyCapsule_New(const_cast<capi::ConvertingSetitem *>(conv), kConverterCapsule, nullptr));
  if (!capsule || PyDict_SetItem(st->converters, descr, capsule.get()) < 0) return -1;
  // Facts computed before the declaration are out of date.
  std::memset(PyByteArray_AS_STRING(st->type_facts), 0, sizeof(FactsEntry) * kFactsSlots);
  return 0;
}

const capi::StoreHooks store_hooks = {add_converting_setitem};

// The class's own entry `name` (new reference into *out), for identity checks.
int own_attr(PyObject *cls, const char *name, PyObject **out) {
  PyObject *found = PyDict_GetItemString(as_type(cls)->tp_dict, name);  // borrowed
  if (found == nullptr) {
    PyErr_Format(PyExc_RuntimeError, "class has no own attribute '%s'", name);
    return -1;
  }
  *out = Py_NewRef(found);
  return 0;
}

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  struct {
    PyObject **slot;
    const char *text;
  } names[] = {
      {&st->s_init, "__init__"},       {&st->s_repr, "__repr__"},         {&st->s_update, "update"},
      {&st->s_setdefault, "setdefault"}, {&st->s_items, "items"},         {&st->s_index, "index"},
      {&st->s_split, "split"},         {&st->s_chain, "chain"},           {&st->s_getitem, "__getitem__"},
      {&st->s_setitem, "__setitem__"}, {&st->s_contains, "__contains__"}, {&st->s_delitem, "__delitem__"},
      {&st->s_missing, "__missing__"}, {&st->s_class, "__class__"},       {&st->s_name, "__name__"},
      {&st->s_Mapping, "Mapping"},     {&st->s_itertools, "itertools"},   {&st->s_dot, "."},
  };
  for (auto &n : names) {
    *n.slot = capi::intern(n.text);
    if (*n.slot == nullptr) return -1;
  }
  st->store_hooks = PyCapsule_New(const_cast<capi::StoreHooks *>(&store_hooks), capi::kStoreHookCapsule, nullptr);
  st->converters = PyDict_New();
  if (st->store_hooks == nullptr || st->converters == nullptr) return -1;
  st->empty_tuple = PyTuple_New(0);
  st->one = PyLong_FromLong(1);
  st->plain_not_mapping = Py_NewRef(Py_False);
  st->type_facts = PyByteArray_FromStringAndSize(nullptr, sizeof(FactsEntry) * kFactsSlots);
  if (st->type_facts == nullptr) return -1;
  std::memset(PyByteArray_AS_STRING(st->type_facts), 0, sizeof(FactsEntry) * kFactsSlots);
  if (st->empty_tuple == nullptr || st->one == nullptr) return -1;

  // import itertools
  st->itertools = PyImport_ImportModule("itertools");
  if (st->itertools == nullptr || capi::add_global(module, "itertools", st->itertools) < 0) return -1;
  st->chain = PyObject_GetAttr(st->itertools, st->s_chain);
  if (st->chain == nullptr) return -1;

  // from collections.abc import Mapping, MutableMapping
  st->Mapping = capi::import_from("collections.abc", "Mapping").release();
  st->MutableMapping = capi::import_from("collections.abc", "MutableMapping").release();
  if (st->Mapping == nullptr || st->MutableMapping == nullptr) return -1;
  if (capi::add_global(module, "Mapping", st->Mapping) < 0 ||
      capi::add_global(module, "MutableMapping", st->MutableMapping) < 0)
    return -1;

  // Helpers kept in the state only (no public names).
  st->get_cache_token = capi::import_from("abc", "get_cache_token").release();
  st->newobj = capi::import_from("copyreg", "__newobj__").release();
  if (st->get_cache_token == nullptr || st->newobj == nullptr) return -1;
  {
    Ref dict_ns = Ref::steal(PyType_GetDict(&PyDict_Type));
    if (!dict_ns) return -1;
    st->dict_init = Py_XNewRef(PyDict_GetItemString(dict_ns.get(), "__init__"));
    st->dict_repr = Py_XNewRef(PyDict_GetItemString(dict_ns.get(), "__repr__"));
    st->dict_items = Py_XNewRef(PyDict_GetItemString(dict_ns.get(), "items"));
    if (st->dict_init == nullptr || st->dict_repr == nullptr || st->dict_items == nullptr) {
      PyErr_SetString(PyExc_RuntimeError, "dict lacks __init__, __repr__ or items");
      return -1;
    }
  }

  // class DotBag(dict)
  Ref bases = capi::tuple_of(as_obj(&PyDict_Type));
  if (!bases) return -1;
  Ref dotbag = capi::make_class(module, as_obj(&PyType_Type), "DotBag", bases.get(), dotbag_doc, nullptr);
  if (!dotbag || capi::install_methods(dotbag.get(), dotbag_methods) < 0) return -1;
  if (own_attr(dotbag.get(), "__init__", &st->dotbag_init) < 0) return -1;
  st->DotBag = Py_NewRef(dotbag.get());
  if (capi::add_global(module, "DotBag", dotbag.get()) < 0) return -1;

  // class NestedDotBag(DotBag, MutableMapping): get, pop and setdefault are
  // MutableMapping's own, so they work through the item methods below.
  Ref attrs = Ref::steal(PyDict_New());
  if (!attrs) return -1;
  for (const char *name : {"get", "pop", "setdefault"}) {
    Ref func = Ref::steal(PyObject_GetAttrString(st->MutableMapping, name));
    if (!func || PyDict_SetItemString(attrs.get(), name, func.get()) < 0) return -1;
  }
  st->mm_setdefault = Py_NewRef(PyDict_GetItemString(attrs.get(), "setdefault"));
  Ref nested_bases = capi::tuple_of(dotbag.get(), st->MutableMapping);
  if (!nested_bases) return -1;
  PyObject *metaclass = as_obj(Py_TYPE(st->MutableMapping));  // abc.ABCMeta, the most derived
  Ref nested = capi::make_class(module, metaclass, "NestedDotBag", nested_bases.get(), nullptr, attrs.get());
  if (!nested || capi::install_methods(nested.get(), nested_methods) < 0) return -1;
  if (capi::update_abstract_methods(nested.get()) < 0) return -1;
  if (own_attr(nested.get(), "__init__", &st->nested_init) < 0 ||
      own_attr(nested.get(), "__getitem__", &st->nested_getitem) < 0 ||
      own_attr(nested.get(), "__setitem__", &st->nested_setitem) < 0 ||
      own_attr(nested.get(), "__contains__", &st->nested_contains) < 0 ||
      own_attr(nested.get(), "__delitem__", &st->nested_delitem) < 0 ||
      own_attr(nested.get(), "update", &st->nested_update) < 0)
    return -1;
  st->NestedDotBag = Py_NewRef(nested.get());
  if (capi::add_global(module, "NestedDotBag", nested.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyDoc_STRVAR(module_doc,
             "Dictionaries whose entries are reachable as attributes as well as by subscript.\n\n"
             "DotBag extends the built-in dictionary so that obj.name and obj['name'] are the\n"
             "same entry. NestedDotBag adds dotted keys that reach into nested levels\n"
             "(obj['a.b.c']) and an update that merges nested mappings level by level.");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dravix.datastructures.dotbag",
    module_doc,
    sizeof(State),
    nullptr,
    module_slots,
    capi::state_traverse<State>,
    capi::state_clear<State>,
    capi::state_free<State>,
};

}  // namespace

PyMODINIT_FUNC PyInit_dotbag(void) { return PyModuleDef_Init(&module_def); }
