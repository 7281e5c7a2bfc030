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
// nested mappings walks an explicit stack, and a dotted key is followed level
// by level in a loop (also through a converting __setitem__), instead of
// recursing in C.
#include "capi.hpp"
#include "storehook.hpp"
#include "unpack.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
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
// State kept across calls (with the ABC verdict of update()): computing the
// facts takes about 850 instructions (nine lookups on the class and two walks
// of its MRO), a cached entry about 15. Without the cache, measured on a
// release build: n['a.b.c'] 3,177 instructions instead of 1,473 (2.2x),
// n['a.b.c'] = 2 3,445 instead of 1,749, NestedDotBag(nested) 17,547 instead
// of 9,045, Configuration(nested) 27,538 instead of 10,501. An entry is only
// ever read through facts(), which checks the tag against the class as it is
// at that moment, so a caller that may have run Python code since its last
// look simply asks again.
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
  PyTypeObject *anchor = nullptr;  // held by the declared method descriptor, which st->converters holds
};
constexpr size_t kFactsSlots = 16;

// The module's state: the objects (visited and cleared as capi's helpers do),
// then the facts table, plain C data that no Python code can reach.
struct ModuleState {
  State objects;  // first: a State* is the ModuleState*
  FactsEntry facts[kFactsSlots];
};

FactsEntry *facts_table(State *st) { return reinterpret_cast<ModuleState *>(st)->facts; }

// The position of cls on the MRO `mro` (an exact tuple), or -1.
Py_ssize_t mro_index(PyObject *mro, PyObject *cls) {
  Py_ssize_t n = PyTuple_GET_SIZE(mro);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(mro, i) == cls) return i;
  return -1;
}

// True when `cls` directly follows `anchor` on `mro`.
bool follows(PyObject *mro, PyObject *anchor, PyObject *cls) {
  Py_ssize_t i = mro_index(mro, anchor);
  return i >= 0 && i + 1 < PyTuple_GET_SIZE(mro) && PyTuple_GET_ITEM(mro, i + 1) == cls;
}

// The entry `name` of the own dict of one of this module's classes is `value`.
// Their dicts only ever hold str keys (type.__setattr__ stores names as exact
// str), so the lookup runs no Python code and cannot fail.
bool own_entry_is(PyObject *cls, PyObject *name, PyObject *value) {
  PyObject *found = PyDict_GetItemWithError(as_type(cls)->tp_dict, name);  // borrowed, only compared
  return found != nullptr && found == value;
}

// The module (borrowed) attached to a class, or nullptr.
PyObject *module_of_class(PyTypeObject *cls) {
  if (!PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE)) return nullptr;
  PyObject *module = reinterpret_cast<PyHeapTypeObject *>(cls)->ht_module;
  return module != nullptr && PyModule_Check(module) ? module : nullptr;
}

// What PyType_GetModuleByDef finds on the MRO `mro` (borrowed), without the
// TypeError when nothing is found: nullptr then.
PyObject *module_by_def(PyObject *mro, PyModuleDef *def) {
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
    PyObject *module = module_of_class(as_type(PyTuple_GET_ITEM(mro, i)));
    if (module != nullptr && PyModule_GetDef(module) == def) return module;  // a module: GetDef cannot fail
  }
  return nullptr;
}

// F_CONVERT and F_CONVERT_NEXT_OWN for a NestedDotBag class without our
// __setitem__ (mro: its MRO, held by the caller): its __setitem__ is a declared
// converting one, made for a class on its MRO whose module is the one the
// method finds from type(self). F_CONVERT_NEXT_OWN when what
// super(that class, self).__setitem__ finds is ours, decided without looking
// into the dicts of classes we did not make: NestedDotBag follows the anchor
// directly and still holds our __setitem__ (any other MRO takes the method's
// own route). Runs no Python code.
unsigned converter_facts(State *st, PyTypeObject *tp, PyObject *mro, Converter *conv) {
  if (st->converters == nullptr || PyDict_GET_SIZE(st->converters) == 0) return 0;
  PyObject *own = capi::lookup_on_type(tp, st->s_setitem);  // borrowed, used before anything can run
  if (own == nullptr || !Py_IS_TYPE(own, &PyMethodDescr_Type)) return 0;
  // Method descriptors hash and compare by identity: this lookup runs no Python
  // code, and the dict holds only such descriptors, so it cannot fail.
  PyObject *capsule = PyDict_GetItemWithError(st->converters, own);  // borrowed
  if (capsule == nullptr) return 0;
  auto *found = static_cast<const capi::ConvertingSetitem *>(PyCapsule_GetPointer(capsule, kConverterCapsule));
  PyTypeObject *anchor = PyDescr_TYPE(own);
  if (found == nullptr || !PyType_IsSubtype(tp, anchor)) return 0;  // our own capsule: GetPointer cannot fail
  // The module the method finds from type(self) is the anchor's own.
  PyObject *module = module_by_def(mro, found->def);
  if (module == nullptr || module != module_of_class(anchor)) return 0;
  *conv = {found, anchor};
  unsigned bits = F_CONVERT;
  if (follows(mro, as_obj(anchor), st->NestedDotBag) &&
      own_entry_is(st->NestedDotBag, st->s_setitem, st->nested_setitem))
    bits |= F_CONVERT_NEXT_OWN;
  return bits;
}

// The facts of tp, held by the caller. The lookups on the class may run
// __eq__ of a non-str key in a class dict, as the interpreter's own lookups
// do: each answer is the one the interpreter would give at that moment, and
// facts() does not keep the result when the class changed meanwhile.
unsigned compute_facts(State *st, PyTypeObject *tp, Converter *conv) {
  unsigned bits = 0;
  *conv = {};
  auto has = [&](PyObject *name, PyObject *ours, unsigned flag) {
    if (capi::lookup_on_type(tp, name) == ours) bits |= flag;  // only compared: never followed
  };
  if (PyType_IsSubtype(tp, as_type(st->NestedDotBag))) {
    bits |= F_NESTED;
    has(st->s_getitem, st->nested_getitem, F_GETITEM);
    has(st->s_setitem, st->nested_setitem, F_SETITEM);
    has(st->s_contains, st->nested_contains, F_CONTAINS);
    has(st->s_delitem, st->nested_delitem, F_DELITEM);
    has(st->s_update, st->nested_update, F_UPDATE);
  }
  has(st->s_setdefault, st->mm_setdefault, F_SETDEFAULT);
  has(st->s_missing, nullptr, F_NO_MISSING);
  has(st->s_items, st->dict_items, F_DICT_ITEMS);
  const bool own_init = capi::lookup_on_type(tp, st->s_init) == st->nested_init;
  // The MRO as it is now, held while it is read (the walks below run no Python code).
  Ref mro = Ref::borrow(tp->tp_mro);
  if (mro) {
    if ((bits & F_NESTED) && !(bits & F_SETITEM)) bits |= converter_facts(st, tp, mro.get(), conv);
    if (follows(mro.get(), st->DotBag, as_obj(&PyDict_Type))) bits |= F_DOTBAG_NEXT_DICT;
    if (follows(mro.get(), st->NestedDotBag, st->DotBag) && own_entry_is(st->DotBag, st->s_init, st->dotbag_init))
      bits |= F_NESTED_NEXT_BAG;
  }
  const unsigned plain_new = F_NESTED_NEXT_BAG | F_DOTBAG_NEXT_DICT | F_UPDATE;
  if (tp->tp_new == PyDict_Type.tp_new && (bits & plain_new) == plain_new && own_init) bits |= F_PLAIN_NEW;
  return bits;
}

// facts() when the table has no entry for tp at its version.
[[gnu::noinline]] unsigned facts_computed(State *st, PyTypeObject *tp, FactsEntry &entry, Converter *conv) {
  const unsigned int version = tp->tp_version_tag;
  Ref held = Ref::borrow(as_obj(tp));  // the lookups may run code that retypes the instance
  Converter found;
  unsigned bits = compute_facts(st, tp, &found);
  // Kept only when the class is the version it was before the lookups (a tag
  // of 0 has not been given yet; the lookups give one for the next call).
  if (version != 0 && tp->tp_version_tag == version) entry = {tp, version, bits, found.conv, found.anchor};
  if (conv != nullptr) *conv = found;
  return bits;
}

// The facts of tp now. conv, when given, receives the converting __setitem__
// (with F_CONVERT).
[[gnu::always_inline]] inline unsigned facts(State *st, PyTypeObject *tp, Converter *conv = nullptr) {
  FactsEntry &entry = facts_table(st)[(reinterpret_cast<uintptr_t>(tp) >> 5) % kFactsSlots];
  if (entry.type == tp && entry.version == tp->tp_version_tag && entry.version != 0) {
    if (conv != nullptr) *conv = {entry.conv, entry.anchor};
    return entry.bits;
  }
  return facts_computed(st, tp, entry, conv);
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
  // super(DotBag, self).__init__, found on the MRO held for the walk
  Ref found = capi::super_lookup(st->DotBag, self, st->s_init);
  if (!found) return -1;
  if (found.get() == st->dict_init) {
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
  Ref found = capi::super_lookup(st->DotBag, self, st->s_repr);
  if (!found) return nullptr;
  Ref text;
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

// depth: how many stores of a level under a head are in progress below this
// one (see setdefault_level). 0 for a store made by anything else.
int setitem_impl(State *st, PyObject *self, PyObject *key, PyObject *value, int depth = 0);

// obj[key] and obj[key] = value as an algorithm makes them: through the class.
Ref do_getitem(State *st, PyObject *obj, PyObject *key) {
  if (uses_own(st, obj, F_GETITEM)) return Ref::steal(getitem_impl(st, obj, key));
  return Ref::steal(PyObject_GetItem(obj, key));
}

// The first half of obj[key] = value for a NestedDotBag whose class has a
// converting __setitem__ (f: its facts, with F_CONVERT): the conversion.
struct Conversion {
  Ref converted;
  Ref anchor;           // held: the conversion may change the class
  bool to_own = false;  // the class still passes the value on to our __setitem__
};

[[gnu::always_inline]] inline int convert(const Converter &conv, unsigned f, PyObject *obj, PyObject *value,
                                          Conversion &out) {
  PyTypeObject *tp = Py_TYPE(obj);
  const unsigned int version = tp->tp_version_tag;
  out.anchor = Ref::borrow(as_obj(conv.anchor));
  out.converted = Ref::steal(conv.conv->convert(obj, value));
  if (!out.converted) return -1;
  // The conversion may have run any code: the method passes the value on to
  // ours only while the instance's class is still the version it was (tp is
  // only read once it is known to be the live class of obj again).
  out.to_own = (f & F_CONVERT_NEXT_OWN) && version != 0 && Py_TYPE(obj) == tp && tp->tp_version_tag == version;
  return 0;
}

// obj[key] = value through such a converting __setitem__: the conversion, then
// the store our __setitem__ makes, or, when the class has changed meanwhile,
// the method's own rest. key_is_plain: key is an exact str without a dot.
int convert_store(State *st, PyObject *obj, unsigned f, const Converter &conv, PyObject *key, PyObject *value,
                  bool key_is_plain = false, int depth = 0) {
  Conversion c;
  if (convert(conv, f, obj, value, c) < 0) return -1;
  if (!c.to_own) return conv.conv->pass_on(c.anchor.get(), obj, key, c.converted.get());
  if (key_is_plain) return PyDict_SetItem(obj, key, c.converted.get());
  return setitem_impl(st, obj, key, c.converted.get(), depth);
}

int do_setitem(State *st, PyObject *obj, PyObject *key, PyObject *value, int depth = 0) {
  if (PyObject_TypeCheck(obj, as_type(st->NestedDotBag))) {
    Converter conv;
    const unsigned f = facts(st, Py_TYPE(obj), &conv);
    if (f & F_SETITEM) return setitem_impl(st, obj, key, value, depth);
    if (f & F_CONVERT) return convert_store(st, obj, f, conv, key, value, false, depth);
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

// KeyError(key), as dict.__getitem__ raises it.
Ref key_error(PyObject *key) { return Ref::steal(PyObject_CallOneArg(PyExc_KeyError, key)); }

// Makes that KeyError the context of the exception being raised, for stores
// made without raising it first. If it cannot be made, that failure
// (MemoryError) is the exception instead.
void chain_key_error(PyObject *key) {
  PyObject *raised = PyErr_GetRaisedException();
  Ref error = key_error(key);
  if (!error) {
    Py_XDECREF(raised);
    return;
  }
  PyErr_SetRaisedException(raised);
  chain_context(error.get());
}

// store() as the body of `except KeyError:` runs it: with `caught` as the
// exception being handled, and as the context of the error it raises.
template <class F>
int while_handling(PyObject *caught, F store) {
  PyObject *handled = PyErr_GetHandledException();  // new reference or nullptr
  PyErr_SetHandledException(caught);
  int rc = store();
  PyErr_SetHandledException(handled);
  Py_XDECREF(handled);
  if (rc < 0) chain_context(caught);
  return rc;
}

// obj.setdefault(key, type(obj)()): the level under key, made when missing.
// With MutableMapping.setdefault on the class this runs its body directly:
//   try: return self[key]
//   except KeyError: self[key] = default; return default
// key_has_no_dot: key is known to be an exact str without a dot (a cut head).
// depth: that of the store this level is for. A key that is itself a path
// (only a str subclass's split() can give such a head) is stored by a store of
// its own, one deeper: C recursion that follows the key, hence bounded.
Ref setdefault_level(State *st, PyObject *obj, PyObject *key, bool key_has_no_dot = false, int depth = 0) {
  // type(obj), as evaluated before the call. Held before anything can run
  // that might retype obj (the fast route below runs nothing).
  PyTypeObject *tp = Py_TYPE(obj);
  Ref cls;
  Converter conv;
  unsigned f = facts(st, tp, &conv);
  // type(obj)() can be replaced by making the empty instance directly when the
  // metaclass call, __new__, the __init__ chain and update are the originals:
  // nothing could tell the two apart.
  const bool plain = Py_TYPE(tp)->tp_call == PyType_Type.tp_call && (f & F_PLAIN_NEW);
  if (!(f & F_SETDEFAULT)) {
    // setdefault = obj.setdefault (through the class), then type(obj)(), then the call.
    cls = Ref::borrow(as_obj(tp));
    Ref method = Ref::borrow(capi::lookup_on_type(tp, st->s_setdefault));
    if (!method) return capi::call_class_method(obj, st->s_setdefault, key, Py_None);  // the error the lookup raises
    Ref level = new_level(st, tp, plain);
    if (!level) return {};
    PyObject *argv[] = {key, level.get()};
    return capi::call_unbound(method.get(), obj, argv, 2);
  }
  // The level is made before the call unless making it cannot be observed.
  Ref level;
  if (!plain) {
    cls = Ref::borrow(as_obj(tp));
    level = new_level(st, tp, false);
    if (!level) return {};
    f = facts(st, Py_TYPE(obj), &conv);  // that ran the class's code: the item methods are looked at again
  }
  const unsigned raw = F_NESTED | F_GETITEM | F_NO_MISSING;
  if ((f & raw) == raw && (f & (F_SETITEM | F_CONVERT_NEXT_OWN)) && PyUnicode_CheckExact(key)) {
    Py_ssize_t dot = key_has_no_dot ? -1 : find_dot(key, 0, PyUnicode_GET_LENGTH(key));
    if (dot == -2) return {};
    if (dot == -1) {
      // A plain str key on our own item methods (or a converting __setitem__
      // that passes the value on to ours): one lookup, and on a miss a plain
      // store, with no KeyError made unless something could see it.
      PyObject *value = nullptr;
      int r = PyDict_GetItemRef(obj, key, &value);  // an exact str key: runs no Python code
      if (r < 0) return {};
      if (r > 0) return Ref::steal(value);
      if (!level) {
        level = new_level(st, tp, true);
        if (!level) return {};
      }
      Ref stored;
      if (f & F_SETITEM) {
        stored = level.dup();
      } else {
        // The conversion of the level, when it is known to run no code of the
        // class's module and not to fail; else the general route below.
        if (!cls) cls = Ref::borrow(as_obj(tp));  // the lookup of the conversion may run code
        PyTypeObject *otp = Py_TYPE(obj);
        const unsigned int version = otp->tp_version_tag;
        Ref anchor = Ref::borrow(as_obj(conv.anchor));
        stored = Ref::steal(conv.conv->convert_quiet(obj, level.get()));
        if (!stored) {
          if (!PyErr_Occurred()) goto general;
          chain_key_error(key);
          return {};
        }
        if (version == 0 || Py_TYPE(obj) != otp || otp->tp_version_tag != version) {
          // Looking the conversion up ran code that changed the class: the
          // method's own rest stores the value, with the KeyError being handled.
          Ref caught = key_error(key);
          if (!caught) return {};
          auto pass_on = [&] { return conv.conv->pass_on(anchor.get(), obj, key, stored.get()); };
          if (while_handling(caught.get(), pass_on) < 0) return {};
          return level;
        }
      }
      if (PyDict_SetItem(obj, key, stored.get()) < 0) {
        chain_key_error(key);
        return {};
      }
      return level;
    }
  }
general:
  if (!cls) cls = Ref::borrow(as_obj(tp));
  Ref value = do_getitem(st, obj, key);
  if (value) return value;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
  Ref caught = Ref::steal(PyErr_GetRaisedException());
  if (!level) {
    level = new_level(st, tp, true);
    if (!level) return {};
  }
  // The store of the head: one more C frame, each such level counted twice
  // against the interpreter's bound (here and in setitem_impl), for the
  // frames between the two.
  capi::RecursionGuard guard(" while storing a dotted key");
  if (!guard) return {};
  if (while_handling(caught.get(), [&] { return do_setitem(st, obj, key, level.get(), depth + 1); }) < 0) return {};
  return level;
}

int setitem_impl(State *st, PyObject *self, PyObject *key, PyObject *value, int depth) {
  // A nested store: the plain algorithm recurses once per such store. Keep
  // within its limit, and within the interpreter's bound on C recursion.
  if (depth > 0 && depth >= Py_GetRecursionLimit()) {
    capi::raise_recursion("maximum recursion depth exceeded while storing a dotted key");
    return -1;
  }
  std::optional<capi::RecursionGuard> guard;
  if (depth > 0 && !guard.emplace(" while storing a dotted key")) return -1;
  PathKey k(key);
  Ref cur = Ref::borrow(self);
  Ref val = Ref::borrow(value);
  for (;;) {
    Ref head;
    const bool exact = PyUnicode_CheckExact(k.key);  // then the head is an exact str without a dot
    int r = cut(st, k, head);
    if (r < 0) return -1;
    if (r == 0) {
      Ref plain = k.rest();
      return plain ? PyDict_SetItem(cur.get(), plain.get(), val.get()) : -1;
    }
    Ref sub = setdefault_level(st, cur.get(), head.get(), exact, depth);
    if (!sub) return -1;
    // isinstance(sub, type(self)): true at once for the very class (as
    // PyObject_IsInstance answers first), else with type(self) held while
    // __instancecheck__ runs.
    Ref cls;
    int is_level = 1;
    if (Py_TYPE(sub.get()) != Py_TYPE(cur.get())) {
      cls = Ref::borrow(as_obj(Py_TYPE(cur.get())));
      is_level = PyObject_IsInstance(sub.get(), cls.get());
      if (is_level < 0) return -1;
    }
    if (!is_level) {
      Ref name = Ref::steal(PyType_GetName(as_type(cls.get())));
      if (!name) return -1;
      Ref message = Ref::steal(PyUnicode_FromFormat(
          "target key \"%S\" is a value, cannot update value against another %S", head.get(), name.get()));
      if (message) capi::set_key_error(message.get());
      return -1;
    }
    // sub[rest] = value, with sub's class as it is now. Our __setitem__ (also
    // after a converting one that passes the value on to it) is this same
    // walk one level down: the loop goes on, one C frame for any depth.
    Converter conv;
    const unsigned sf = facts(st, Py_TYPE(sub.get()), &conv);
    if (sf & F_SETITEM) {
      cur = std::move(sub);
      continue;
    }
    Conversion c;
    if (sf & F_CONVERT) {
      if (convert(conv, sf, sub.get(), val.get(), c) < 0) return -1;
      if (c.to_own) {
        cur = std::move(sub);
        val = std::move(c.converted);
        continue;
      }
    }
    Ref rest = k.rest();
    if (!rest) return -1;
    if (sf & F_CONVERT) return conv.conv->pass_on(c.anchor.get(), sub.get(), rest.get(), c.converted.get());
    return PyObject_SetItem(sub.get(), rest.get(), val.get());
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

// Whether none of the plain value types below is a Mapping (1, 0, or -1 on
// error): the verdict kept for the ABC cache token in force now, made again
// when the token has changed (any register() call anywhere changes it). Asked
// for each value, since any code may register a class. Kept across calls:
// isinstance(5, Mapping) runs ABCMeta.__instancecheck__ (about 2,000
// instructions), reading the token a few dozen. Without the verdict, on a
// release build, NestedDotBag(flat) with 20 int values took 55,599
// instructions instead of 13,489 (4.1x), NestedDotBag() 4,735 instead of 2,614.
int plain_types_not_mappings(State *st) {
  PyObject *get = st->get_cache_token;  // _abc.get_cache_token: its C body is called directly
  Ref token = PyCFunction_Check(get) && PyCFunction_GET_FLAGS(get) == METH_NOARGS
                  ? Ref::steal(PyCFunction_GET_FUNCTION(get)(PyCFunction_GET_SELF(get), nullptr))
                  : capi::call(get);
  if (!token) return -1;
  if (st->abc_token != nullptr) {
    int same = token.get() == st->abc_token ? 1 : PyObject_RichCompareBool(token.get(), st->abc_token, Py_EQ);
    if (same < 0) return -1;
    if (same) return st->plain_not_mapping == Py_True;
  }
  PyTypeObject *types[] = {&PyLong_Type, &PyUnicode_Type, &PyFloat_Type, &PyBool_Type,
                           Py_TYPE(Py_None), &PyList_Type, &PyTuple_Type, &PyBytes_Type};
  PyObject *verdict = Py_True;
  for (PyTypeObject *tp : types) {
    int r = PyObject_IsSubclass(as_obj(tp), st->Mapping);
    if (r < 0) return -1;
    if (r) verdict = Py_False;
  }
  // Kept under the token read before the checks: if they registered
  // something, the next value makes the verdict again.
  Py_XSETREF(st->abc_token, token.release());
  Py_XSETREF(st->plain_not_mapping, Py_NewRef(verdict));
  return verdict == Py_True;
}

// isinstance(value, Mapping) with Mapping the module global read for this call.
int is_mapping(State *st, PyObject *mapping, PyObject *value) {
  if (mapping == st->Mapping) {
    if (PyDict_Check(value)) return 1;  // dict is registered with MutableMapping
    PyTypeObject *tp = Py_TYPE(value);
    if (tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
        tp == Py_TYPE(Py_None) || tp == &PyList_Type || tp == &PyTuple_Type || tp == &PyBytes_Type) {
      int r = plain_types_not_mappings(st);
      if (r != 0) return r < 0 ? -1 : 0;
    }
  }
  return PyObject_IsInstance(value, mapping);
}

// One update() call in progress: its receiver and where its items come from.
struct Frame {
  Ref self;
  Ref iterable;  // the argument after step 2 (what .index() is asked of)
  Ref mapping;   // the Mapping global as read by this call
  Ref dict;      // items read straight from this dict, as its items iterator reads them...
  Py_ssize_t pos = 0;
  Py_ssize_t used = 0;  // its size when the walk began
  Py_ssize_t left = 0;  // how many entries the walk may still find
  Ref iter;                  // ...or from this iterator
  bool chained = false;      // iter is itertools.chain(iterable, kwargs.items())
  PyObject *const *kwvalues = nullptr;  // keyword items (the outermost call only)
  PyObject *kwnames = nullptr;
  Py_ssize_t kwpos = 0;
};

// Steps 1-2 of update() for one call: read the globals, turn a Mapping into
// its items, and set up the walk of itertools.chain(iterable, kwargs.items()).
int start_frame(State *st, PyObject *module, Frame &f, PyObject *self, PyObject *arg, PyObject *const *kwvalues,
                PyObject *kwnames) {
  f.self = Ref::borrow(self);
  f.iterable = Ref::borrow(arg ? arg : st->empty_tuple);
  f.mapping = capi::global(module, st->s_Mapping);
  if (!f.mapping) return -1;
  int m = is_mapping(st, f.mapping.get(), f.iterable.get());
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
      f.used = f.left = PyDict_GET_SIZE(f.dict.get());
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
    // The checks of the dict's items iterator, in its order: the size first,
    // then an entry found after as many as the dict held (keys were removed
    // and others added: the size alone does not tell).
    if (PyDict_GET_SIZE(f.dict.get()) != f.used) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return -1;
    }
    PyObject *k, *v;
    if (PyDict_Next(f.dict.get(), &f.pos, &k, &v)) {
      if (f.left == 0) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return -1;
      }
      --f.left;
      key = Ref::borrow(k);  // taken before anything can run
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
  try {
    Frame top;  // the call itself; merges into levels go on `nested`
    std::vector<Frame> nested;
    if (start_frame(st, module, top, self, nargs ? args[0] : nullptr, args + nargs, kwnames) < 0) return -1;
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
      int m = is_mapping(st, f.mapping.get(), value.get());
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
      Ref target = setdefault_level(st, f.self.get(), key.get());
      if (!target) return -1;
      if (uses_own(st, target.get(), F_UPDATE)) {
        if (nested.size() + 1 >= static_cast<size_t>(Py_GetRecursionLimit())) {
          capi::raise_recursion("maximum recursion depth exceeded while merging nested mappings");
          return -1;
        }
        nested.emplace_back();  // f is not used past this point
        if (start_frame(st, module, nested.back(), target.get(), value.get(), nullptr, nullptr) < 0)
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
  // super(NestedDotBag, self).__init__()
  Ref found = (facts(st, Py_TYPE(self)) & F_NESTED_NEXT_BAG) ? Ref::borrow(st->dotbag_init)
                                                              : capi::super_lookup(st->NestedDotBag, self, st->s_init);
  if (!found) return nullptr;
  if (found.get() == st->dotbag_init) {
    if (dotbag_init_impl(st, self, st->empty_tuple, nullptr) < 0) return nullptr;
  } else if (found.get() == st->dict_init) {
    if (PyDict_Type.tp_init(self, st->empty_tuple, nullptr) < 0) return nullptr;
  } else {
    Ref result = call_found(found.get(), self, st->empty_tuple, nullptr);
    if (!result) return nullptr;
  }
  // self.update(*args, **kwargs), looked up now: the initialiser may have run any code
  if (facts(st, Py_TYPE(self)) & F_UPDATE) {
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
  std::memset(facts_table(st), 0, sizeof(FactsEntry) * kFactsSlots);
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
  std::memset(facts_table(st), 0, sizeof(FactsEntry) * kFactsSlots);  // the interpreter zeroes it; stated here
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
    sizeof(ModuleState),
    nullptr,
    module_slots,
    capi::state_traverse<State>,
    capi::state_clear<State>,
    capi::state_free<State>,
};

}  // namespace

PyMODINIT_FUNC PyInit_dotbag(void) { return PyModuleDef_Init(&module_def); }
