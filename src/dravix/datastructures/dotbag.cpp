// dravix.datastructures.dotbag: dictionaries whose entries are also attributes.
//
//   DotBag        a dict that is its own attribute namespace: DotBag(a=1).a is 1,
//                 and obj.b = 2 stores the entry 'b'.
//   NestedDotBag  a DotBag for trees: a str key holding a dot is a path, so
//                 obj['a.b.c'] reads, writes, deletes and tests entries of nested
//                 levels, and update() merges nested mappings level by level into
//                 levels of the receiver's own class.
//
// Python name                 C++ function             what it does
// DotBag.__init__             dotbag_init              fills the dict as the next __init__ does, then
//                                                      makes the instance its own __dict__
// DotBag.__repr__             dotbag_repr              "Name({...})" with the dict's own text
// DotBag.__reduce_ex__        dotbag_reduce_ex         copy and pickle: an empty instance of the
// DotBag.__setstate__         dotbag_setstate            class, its entries put back unchanged
// NestedDotBag.__init__       nested_dotbag_init       super().__init__(), then self.update(...)
// NestedDotBag.__getitem__    nested_dotbag_getitem    reads along a dotted path
// NestedDotBag.__setitem__    nested_dotbag_setitem    stores along a dotted path, making the
//                                                      missing levels with setdefault
// NestedDotBag.__contains__   nested_dotbag_contains   tests along a dotted path
// NestedDotBag.__delitem__    nested_dotbag_delitem    deletes along a dotted path
// NestedDotBag.update         nested_dotbag_update     merges nested mappings level by level
// _store_hooks                store_hooks (a capsule)  lets another module declare a converting
//                                                      __setitem__ (capi/storehook.hpp)
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
#include <optional>
#include <vector>

namespace {

using capi::Ref;

inline PyTypeObject *as_type(PyObject *o) { return reinterpret_cast<PyTypeObject *>(o); }
inline PyObject *as_obj(PyTypeObject *t) { return reinterpret_cast<PyObject *>(t); }

// --- module state and class facts ------------------------------------------------

// What the algorithms need to know about a class: which of the methods they
// call are still ours (the ones this module installed, or the very
// MutableMapping and dict functions), so that their bodies can run without
// the calls.
enum Fact : unsigned {
  NESTED = 1u << 0,             // a subclass of NestedDotBag
  GETITEM_OURS = 1u << 1,       // __getitem__
  SETITEM_OURS = 1u << 2,       // __setitem__
  CONTAINS_OURS = 1u << 3,      // __contains__
  DELITEM_OURS = 1u << 4,       // __delitem__
  UPDATE_OURS = 1u << 5,        // update
  SETDEFAULT_OURS = 1u << 6,    // MutableMapping.setdefault
  NO_MISSING = 1u << 7,         // no __missing__
  ITEMS_OURS = 1u << 8,         // dict.items
  DOTBAG_NEXT_DICT = 1u << 9,   // super(DotBag, self).__init__ is dict.__init__
  NESTED_NEXT_BAG = 1u << 10,   // super(NestedDotBag, self).__init__ is DotBag.__init__
  NEW_OURS = 1u << 11,          // type(self)() is dict.__new__, the __init__ chain above and our update
  CONVERTS = 1u << 12,          // a converting __setitem__ declared through the store hooks
  CONVERTS_TO_OURS = 1u << 13,  // ... which passes the value on to our __setitem__
};

// The converting __setitem__ of a class (from its facts).
struct Converter {
  const capi::ConvertingSetitem *conv = nullptr;
  PyTypeObject *anchor = nullptr;  // held by the declared method descriptor, which st->converters holds
};

// The facts of one class, tagged with the class's version tag, which the
// interpreter changes whenever the class or one of its bases is modified and
// never gives to another class. `type` is only compared, never followed.
struct FactsEntry {
  PyTypeObject *type;
  unsigned int version;
  unsigned int bits;
  Converter converter;  // with CONVERTS
};
constexpr size_t kFactsSlots = 16;

struct StateObjects {
  // The converting __setitem__ methods declared through the store hooks:
  // method descriptor -> capsule of its capi::ConvertingSetitem.
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
  // the ABC cache token equals abc_token (see plain_types_not_mappings).
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

struct State : StateObjects {
  using Objects = StateObjects;
  // The facts of the classes last asked about (see facts()): plain C data
  // that no Python code can reach.
  FactsEntry facts[kFactsSlots];
};

extern PyModuleDef module_def;

// The state, or nullptr with RuntimeError once the module has been cleared
// (at interpreter exit, while instances may still be in use).
State *live(State *st) {
  if (st != nullptr && st->NestedDotBag == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the dotbag module has been cleared");
    return nullptr;
  }
  return st;
}

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

constexpr const char kConverterCapsule[] = "dravix.datastructures.dotbag._converter";

// CONVERTS and CONVERTS_TO_OURS for a NestedDotBag class without our
// __setitem__ (mro: its MRO, held by the caller): its __setitem__ is a declared
// converting one, made for a class on its MRO whose module is the one the
// method finds from type(self). CONVERTS_TO_OURS when what
// super(that class, self).__setitem__ finds is ours, decided without looking
// into the dicts of classes we did not make: NestedDotBag follows the anchor
// directly and still holds our __setitem__ (any other MRO takes the method's
// own route). Runs no Python code.
unsigned converter_facts(State *st, PyTypeObject *tp, PyObject *mro, Converter *conv) {
  if (st->converters == nullptr || PyDict_GET_SIZE(st->converters) == 0) return 0;
  PyObject *setitem = capi::lookup_on_type(tp, st->s_setitem);  // borrowed, used before anything can run
  if (setitem == nullptr || !Py_IS_TYPE(setitem, &PyMethodDescr_Type)) return 0;
  // Method descriptors hash and compare by identity: this lookup runs no Python
  // code, and the dict holds only such descriptors, so it cannot fail.
  PyObject *capsule = PyDict_GetItemWithError(st->converters, setitem);  // borrowed
  if (capsule == nullptr) return 0;
  auto *found = static_cast<const capi::ConvertingSetitem *>(PyCapsule_GetPointer(capsule, kConverterCapsule));
  PyTypeObject *anchor = PyDescr_TYPE(setitem);
  if (found == nullptr || !PyType_IsSubtype(tp, anchor)) return 0;  // our own capsule: GetPointer cannot fail
  // The module the method finds from type(self) is the anchor's own.
  PyObject *module = module_by_def(mro, found->def);
  if (module == nullptr || module != module_of_class(anchor)) return 0;
  *conv = {found, anchor};
  unsigned bits = CONVERTS;
  if (follows(mro, as_obj(anchor), st->NestedDotBag) &&
      own_entry_is(st->NestedDotBag, st->s_setitem, st->nested_setitem))
    bits |= CONVERTS_TO_OURS;
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
    if (capi::method_is_ours(tp, name, ours)) bits |= flag;  // only compared: never followed
  };
  if (PyType_IsSubtype(tp, as_type(st->NestedDotBag))) {
    bits |= NESTED;
    has(st->s_getitem, st->nested_getitem, GETITEM_OURS);
    has(st->s_setitem, st->nested_setitem, SETITEM_OURS);
    has(st->s_contains, st->nested_contains, CONTAINS_OURS);
    has(st->s_delitem, st->nested_delitem, DELITEM_OURS);
    has(st->s_update, st->nested_update, UPDATE_OURS);
  }
  has(st->s_setdefault, st->mm_setdefault, SETDEFAULT_OURS);
  has(st->s_missing, nullptr, NO_MISSING);
  has(st->s_items, st->dict_items, ITEMS_OURS);
  const bool init_ours = capi::method_is_ours(tp, st->s_init, st->nested_init);
  // The MRO as it is now, held while it is read (the walks below run no Python code).
  Ref mro = Ref::borrow(tp->tp_mro);
  if (mro) {
    if ((bits & NESTED) && !(bits & SETITEM_OURS)) bits |= converter_facts(st, tp, mro.get(), conv);
    if (follows(mro.get(), st->DotBag, as_obj(&PyDict_Type))) bits |= DOTBAG_NEXT_DICT;
    if (follows(mro.get(), st->NestedDotBag, st->DotBag) && own_entry_is(st->DotBag, st->s_init, st->dotbag_init))
      bits |= NESTED_NEXT_BAG;
  }
  const unsigned new_ours = NESTED_NEXT_BAG | DOTBAG_NEXT_DICT | UPDATE_OURS;
  if (tp->tp_new == PyDict_Type.tp_new && (bits & new_ours) == new_ours && init_ours) bits |= NEW_OURS;
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
  if (version != 0 && tp->tp_version_tag == version) entry = {tp, version, bits, found};
  if (conv != nullptr) *conv = found;
  return bits;
}

// The facts of tp now. conv, when given, receives the converting __setitem__
// (with CONVERTS).
//
// Kept across calls, per class and version tag: computing the facts takes
// about 850 instructions (nine lookups on the class and two walks of its MRO),
// a kept entry about 15. Without the table, on a release build (make
// bench-instr rows): n['a.b.c'] 3,287 instructions instead of 1,411 (2.3x),
// n['a.b.c'] = 2 5,490 instead of 1,748 (3.1x), NestedDotBag(nested) 2,108
// instead of 964 a leaf (2.2x), Configuration(nested) 3,074 instead of 1,355
// a leaf (2.3x). An entry is only ever read here, against the class's tag at
// that moment, so a caller that may have run Python code since its last look
// simply asks again.
[[gnu::always_inline]] inline unsigned facts(State *st, PyTypeObject *tp, Converter *conv = nullptr) {
  FactsEntry &entry = st->facts[(reinterpret_cast<uintptr_t>(tp) >> 5) % kFactsSlots];
  if (entry.type == tp && entry.version == tp->tp_version_tag && entry.version != 0) {
    if (conv != nullptr) *conv = entry.converter;
    return entry.bits;
  }
  return facts_computed(st, tp, entry, conv);
}

// True when o is a NestedDotBag whose class still has our method for `flag`.
bool is_ours(State *st, PyObject *o, unsigned flag) {
  return PyObject_TypeCheck(o, as_type(st->NestedDotBag)) && (facts(st, Py_TYPE(o)) & flag);
}

// --- helpers -----------------------------------------------------------------------

bool is_bag(State *st, PyObject *o) { return PyObject_TypeCheck(o, as_type(st->DotBag)); }

// obj.name(*args) as the algorithms make it: through the class for DotBag-derived
// objects (entries never stand in for methods), by attribute lookup otherwise.
template <class... T>
Ref call_on(State *st, PyObject *obj, PyObject *name, T... args) {
  if (is_bag(st, obj)) return capi::call_class_method(obj, name, args...);
  return capi::call_method(obj, name, args...);
}

// The built-in dict subscript (dict.__getitem__ of a subclass: __missing__ applies).
Ref dict_subscript(PyObject *d, PyObject *key) { return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(d, key)); }

int bind_namespace(PyObject *self) { return PyObject_GenericSetDict(self, self, nullptr); }

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

// dict.__init__(self, *args, **kwargs), from the arguments of a vectorcall.
// Keywords alone (the common call) are stored one by one, in order, as
// dict.__init__ merges them; an exact dict as the only positional argument is
// merged as dict.__init__ merges it; anything else is handed to dict.__init__
// itself, with the tuple and dict it takes (its checks and messages).
int init_as_dict(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  bool direct = nargs == 0 || (nargs == 1 && PyDict_CheckExact(args[0]));
  for (Py_ssize_t i = 0; direct && i < nkw; ++i) direct = PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i));
  if (direct) {
    if (nargs == 1 && PyDict_Merge(self, args[0], 1) < 0) return -1;
    // kwnames is an exact tuple the caller holds: reading it again after
    // the merge (which may run __eq__) is safe
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (PyDict_SetItem(self, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return -1;
    return 0;
  }
  Ref positional = Ref::steal(PyTuple_New(nargs));
  if (!positional) return -1;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
  Ref keywords;
  if (nkw > 0) {
    keywords = Ref::steal(PyDict_New());
    if (!keywords) return -1;
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return -1;
  }
  return PyDict_Type.tp_init(self, positional.get(), keywords.get());
}

int dotbag_init_impl(State *st, PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (facts(st, Py_TYPE(self)) & DOTBAG_NEXT_DICT) {
    if (init_as_dict(self, args, nargs, kwnames) < 0) return -1;
    return bind_namespace(self);
  }
  // super(DotBag, self).__init__(*args, **kwargs), found on the MRO held for the walk
  Ref found = capi::super_lookup(st->DotBag, self, st->s_init);
  if (!found) return -1;
  if (found.get() == st->dict_init) {
    if (init_as_dict(self, args, nargs, kwnames) < 0) return -1;
  } else if (!capi::call_unbound(found.get(), self, args, static_cast<size_t>(nargs), kwnames)) {
    return -1;
  }
  return bind_namespace(self);
}

PyObject *dotbag_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  State *st = live(capi::state_of<State>(self, &module_def));
  if (st == nullptr || dotbag_init_impl(st, self, args, nargs, kwnames) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(dotbag_repr_doc, "__repr__($self, /)\n--\n\n");

PyObject *dotbag_repr(PyObject *self, PyObject *) {
  State *st = live(capi::state_of<State>(self, &module_def));
  if (st == nullptr) return nullptr;
  // self.__class__.__name__, then super(DotBag, self).__repr__()
  Ref cls = Ref::steal(PyObject_GetAttr(self, st->s_class));
  Ref name = cls ? Ref::steal(PyObject_GetAttr(cls.get(), st->s_name)) : Ref();
  Ref found = name ? capi::super_lookup(st->DotBag, self, st->s_repr) : Ref();
  if (!found) return nullptr;
  Ref text = found.get() == st->dict_repr ? Ref::steal(PyDict_Type.tp_repr(self))
                                          : capi::call_unbound(found.get(), self, nullptr, 0);
  return text ? PyUnicode_FromFormat("%S(%S)", name.get(), text.get()) : nullptr;
}

PyDoc_STRVAR(dotbag_reduce_ex_doc,
             "__reduce_ex__($self, protocol, /)\n--\n\n"
             "Support for copy and pickle: the object is remade as an empty instance of its\n"
             "own class and its entries are put back as they are (see __setstate__).");

PyObject *dotbag_reduce_ex(PyObject *self, PyObject *) {
  State *st = live(capi::state_of<State>(self, &module_def));
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
    {.ml_name = "__init__", .ml_meth = capi::as_cfunc(dotbag_init), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = dotbag_init_doc},
    {.ml_name = "__repr__", .ml_meth = dotbag_repr, .ml_flags = METH_NOARGS, .ml_doc = dotbag_repr_doc},
    {.ml_name = "__reduce_ex__", .ml_meth = dotbag_reduce_ex, .ml_flags = METH_O, .ml_doc = dotbag_reduce_ex_doc},
    {.ml_name = "__setstate__", .ml_meth = dotbag_setstate, .ml_flags = METH_O, .ml_doc = dotbag_setstate_doc},
    {},
};

// --- class NestedDotBag: dotted keys ------------------------------------------------

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
  Ref pieces[2];
  if (capi::unpack_exact(parts.get(), pieces, 2) < 0) return -1;
  head = std::move(pieces[0]);
  k.owned = std::move(pieces[1]);
  k.key = k.owned.get();
  k.start = 0;
  return 1;
}

// The walk that __getitem__, __contains__ and __delitem__ share. From self,
// each head is read with read(level, head, &value) (1 found, 0 missing, -1
// error); a value whose class still has our method for `ours` runs the same
// walk on the rest. The end: at_key(level, key) for the last, plain key, or
// at_value(value, rest) at any other value. A missing head gives R{} (only
// __contains__'s read reports one: False).
template <class R, class Read, class AtKey, class AtValue>
R follow_path(State *st, PyObject *self, PyObject *key, unsigned ours, R fail, Read read, AtKey at_key,
              AtValue at_value) {
  PathKey k(key);
  Ref level = Ref::borrow(self);
  for (;;) {
    Ref head;
    int r = cut(st, k, head);
    if (r < 0) return fail;
    if (r == 0) {
      Ref plain = k.rest();
      return plain ? at_key(level.get(), plain.get()) : fail;
    }
    Ref value;
    r = read(level.get(), head.get(), value);
    if (r <= 0) return r < 0 ? fail : R{};
    if (is_ours(st, value.get(), ours)) {
      level = std::move(value);  // the level runs this same walk on the rest
      continue;
    }
    Ref rest = k.rest();
    return rest ? at_value(value.get(), rest.get()) : fail;
  }
}

// The head's value with the built-in subscript (KeyError or __missing__).
int read_subscript(PyObject *level, PyObject *head, Ref &value) {
  value = dict_subscript(level, head);
  return value ? 1 : -1;
}

PyObject *getitem_path(State *st, PyObject *self, PyObject *key) {
  return follow_path<PyObject *>(
      st, self, key, GETITEM_OURS, nullptr, read_subscript,
      [](PyObject *level, PyObject *k) { return dict_subscript(level, k).release(); },
      [](PyObject *value, PyObject *rest) { return PyObject_GetItem(value, rest); });
}

int contains_path(State *st, PyObject *self, PyObject *key) {
  return follow_path<int>(
      st, self, key, CONTAINS_OURS, -1,
      [](PyObject *level, PyObject *head, Ref &value) {
        PyObject *found = nullptr;
        int r = PyDict_GetItemRef(level, head, &found);
        value = Ref::steal(found);
        return r;
      },
      [](PyObject *level, PyObject *k) { return PyDict_Contains(level, k); },
      [](PyObject *value, PyObject *rest) { return PySequence_Contains(value, rest); });
}

int delitem_path(State *st, PyObject *self, PyObject *key) {
  return follow_path<int>(
      st, self, key, DELITEM_OURS, -1, read_subscript,
      [](PyObject *level, PyObject *k) { return PyDict_DelItem(level, k); },
      [](PyObject *value, PyObject *rest) { return PyObject_DelItem(value, rest); });
}

// obj[key] as an algorithm reads it: through the class.
Ref do_getitem(State *st, PyObject *obj, PyObject *key) {
  if (is_ours(st, obj, GETITEM_OURS)) return Ref::steal(getitem_path(st, obj, key));
  return Ref::steal(PyObject_GetItem(obj, key));
}

// --- class NestedDotBag: stores -------------------------------------------------------

// depth: how many stores of a level under a head are in progress below this
// one (see setdefault_level). 0 for a store made by anything else.
int setitem_path(State *st, PyObject *self, PyObject *key, PyObject *value, int depth = 0);

// The first half of obj[key] = value for a NestedDotBag whose class has a
// converting __setitem__ (f: its facts, with CONVERTS): the conversion.
struct Conversion {
  Ref converted;
  Ref anchor;           // held: the conversion may change the class
  bool to_ours = false;  // the class still passes the value on to our __setitem__
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
  out.to_ours = (f & CONVERTS_TO_OURS) && version != 0 && Py_TYPE(obj) == tp && tp->tp_version_tag == version;
  return 0;
}

// obj[key] = value through such a converting __setitem__: the conversion, then
// the store our __setitem__ makes, or, when the class has changed meanwhile,
// the method's own rest. key_is_plain: key is an exact str without a dot.
int convert_store(State *st, PyObject *obj, unsigned f, const Converter &conv, PyObject *key, PyObject *value,
                  bool key_is_plain = false, int depth = 0) {
  Conversion c;
  if (convert(conv, f, obj, value, c) < 0) return -1;
  if (!c.to_ours) return conv.conv->pass_on(c.anchor.get(), obj, key, c.converted.get());
  if (key_is_plain) return PyDict_SetItem(obj, key, c.converted.get());
  return setitem_path(st, obj, key, c.converted.get(), depth);
}

// obj[key] = value as an algorithm makes it: through the class.
int do_setitem(State *st, PyObject *obj, PyObject *key, PyObject *value, int depth = 0) {
  if (PyObject_TypeCheck(obj, as_type(st->NestedDotBag))) {
    Converter conv;
    const unsigned f = facts(st, Py_TYPE(obj), &conv);
    if (f & SETITEM_OURS) return setitem_path(st, obj, key, value, depth);
    if (f & CONVERTS) return convert_store(st, obj, f, conv, key, value, false, depth);
  }
  return PyObject_SetItem(obj, key, value);
}

// type(obj)(): a new empty level of the class tp. new_ours: making it can be
// replaced by making the empty instance directly (the metaclass call,
// __new__, the __init__ chain and update are the originals: nothing could
// tell the two apart).
Ref new_level(State *st, PyTypeObject *tp, bool new_ours) {
  if (!new_ours) return Ref::steal(PyObject_CallNoArgs(as_obj(tp)));
  Ref level = Ref::steal(tp->tp_new(tp, st->empty_tuple, nullptr));
  if (!level || bind_namespace(level.get()) < 0) return {};
  return level;
}

// Sets `context` as the __context__ of the exception being raised, as raising
// inside `except` does, unless it already has one (an error raised while
// `context` was the handled exception got it then) or is that very exception.
void add_context(PyObject *context) {
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
void add_key_error_context(PyObject *key) {
  PyObject *raised = PyErr_GetRaisedException();
  Ref error = key_error(key);
  if (!error) {
    Py_XDECREF(raised);
    return;
  }
  PyErr_SetRaisedException(raised);
  add_context(error.get());
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
  if (rc < 0) add_context(caught);
  return rc;
}

// obj.setdefault(key, type(obj)()) with a setdefault that is not ours: looked
// up on the class first, then the level made, then the call.
Ref setdefault_called(State *st, PyObject *obj, PyTypeObject *tp, PyObject *key, bool new_ours) {
  Ref method = Ref::borrow(capi::lookup_on_type(tp, st->s_setdefault));
  if (!method) return capi::call_class_method(obj, st->s_setdefault, key, Py_None);  // the error the lookup raises
  Ref level = new_level(st, tp, new_ours);
  if (!level) return {};
  PyObject *argv[] = {key, level.get()};
  return capi::call_unbound(method.get(), obj, argv, 2);
}

// The body of our setdefault for an exact str key without a dot, on a class
// with our __getitem__ and no __missing__, and our __setitem__ or a converting
// one that passes the value on to it (f, conv: the facts of obj's class tp,
// held by the caller). One lookup, and on a miss a plain store, with no
// KeyError made unless something could see it. 1: done (`out` is the value
// under key); 0: take the general route; -1: error. `level`: the new level
// when it was made already.
int setdefault_direct(State *st, PyObject *obj, PyTypeObject *tp, unsigned f, const Converter &conv, PyObject *key,
                      Ref &level, Ref &out) {
  PyObject *value = nullptr;
  int r = PyDict_GetItemRef(obj, key, &value);  // an exact str key: runs no Python code
  if (r != 0) {
    out = Ref::steal(value);
    return r;
  }
  if (!level && !(level = new_level(st, tp, true))) return -1;
  Ref stored = level.dup();
  if (!(f & SETITEM_OURS)) {
    // The conversion of the level, when it is ours (runs no code of the class's
    // module and cannot fail); else the general route.
    PyTypeObject *otp = Py_TYPE(obj);
    const unsigned int version = otp->tp_version_tag;
    Ref anchor = Ref::borrow(as_obj(conv.anchor));
    stored = Ref::steal(conv.conv->convert_ours(obj, level.get()));
    if (!stored) {
      if (!PyErr_Occurred()) return 0;
      add_key_error_context(key);
      return -1;
    }
    if (version == 0 || Py_TYPE(obj) != otp || otp->tp_version_tag != version) {
      // Looking the conversion up ran code that changed the class: the
      // method's own rest stores the value, with the KeyError being handled.
      Ref caught = key_error(key);
      if (!caught) return -1;
      auto pass_on = [&] { return conv.conv->pass_on(anchor.get(), obj, key, stored.get()); };
      if (while_handling(caught.get(), pass_on) < 0) return -1;
      out = level.dup();
      return 1;
    }
  }
  if (PyDict_SetItem(obj, key, stored.get()) < 0) {
    add_key_error_context(key);
    return -1;
  }
  out = level.dup();
  return 1;
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
  // type(obj), as evaluated before the call, held: what runs below may retype obj.
  PyTypeObject *tp = Py_TYPE(obj);
  Ref cls = Ref::borrow(as_obj(tp));
  Converter conv;
  unsigned f = facts(st, tp, &conv);
  const bool new_ours = Py_TYPE(tp)->tp_call == PyType_Type.tp_call && (f & NEW_OURS);
  if (!(f & SETDEFAULT_OURS)) return setdefault_called(st, obj, tp, key, new_ours);
  // The level is made before the call unless making it cannot be observed.
  Ref level;
  if (!new_ours) {
    level = new_level(st, tp, false);
    if (!level) return {};
    f = facts(st, Py_TYPE(obj), &conv);  // that ran the class's code: the item methods are looked at again
  }
  const unsigned direct = NESTED | GETITEM_OURS | NO_MISSING;
  if ((f & direct) == direct && (f & (SETITEM_OURS | CONVERTS_TO_OURS)) && PyUnicode_CheckExact(key)) {
    Py_ssize_t dot = key_has_no_dot ? -1 : find_dot(key, 0, PyUnicode_GET_LENGTH(key));
    if (dot == -2) return {};
    if (dot == -1) {
      Ref out;
      int r = setdefault_direct(st, obj, tp, f, conv, key, level, out);
      if (r != 0) return out;
    }
  }
  // The general route: self[key], and on KeyError self[key] = level.
  Ref value = do_getitem(st, obj, key);
  if (value) return value;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
  Ref caught = Ref::steal(PyErr_GetRaisedException());
  if (!level && !(level = new_level(st, tp, true))) return {};
  // The store of the head: one more C frame, each such level counted twice
  // against the interpreter's bound (here and in setitem_path), for the
  // frames between the two.
  capi::RecursionGuard guard(" while storing a dotted key");
  if (!guard) return {};
  if (while_handling(caught.get(), [&] { return do_setitem(st, obj, key, level.get(), depth + 1); }) < 0) return {};
  return level;
}

// Step 4 of a path store: 1 when sub is an instance of type(self), else 0
// with the KeyError raised (-1 for another error). True at once for the very
// class (as PyObject_IsInstance answers first), else with type(self) held
// while __instancecheck__ runs.
int check_level(PyObject *self, PyObject *sub, PyObject *head) {
  if (Py_TYPE(sub) == Py_TYPE(self)) return 1;
  Ref cls = Ref::borrow(as_obj(Py_TYPE(self)));
  int is_level = PyObject_IsInstance(sub, cls.get());
  if (is_level != 0) return is_level;
  Ref name = Ref::steal(PyType_GetName(as_type(cls.get())));
  if (!name) return -1;
  Ref message = Ref::steal(PyUnicode_FromFormat(
      "target key \"%S\" is a value, cannot update value against another %S", head, name.get()));
  if (message) capi::set_key_error(message.get());
  return -1;
}

int setitem_path(State *st, PyObject *self, PyObject *key, PyObject *value, int depth) {
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
    if (!sub || check_level(cur.get(), sub.get(), head.get()) < 0) return -1;
    // sub[rest] = value, with sub's class as it is now. Our __setitem__ (also
    // after a converting one that passes the value on to it) is this same
    // walk one level down: the loop goes on, one C frame for any depth.
    Converter conv;
    const unsigned sf = facts(st, Py_TYPE(sub.get()), &conv);
    if (sf & SETITEM_OURS) {
      cur = std::move(sub);
      continue;
    }
    Conversion c;
    if (sf & CONVERTS) {
      if (convert(conv, sf, sub.get(), val.get(), c) < 0) return -1;
      if (c.to_ours) {
        cur = std::move(sub);
        val = std::move(c.converted);
        continue;
      }
    }
    Ref rest = k.rest();
    if (!rest) return -1;
    if (sf & CONVERTS) return conv.conv->pass_on(c.anchor.get(), sub.get(), rest.get(), c.converted.get());
    return PyObject_SetItem(sub.get(), rest.get(), val.get());
  }
}

// --- class NestedDotBag: update ----------------------------------------------------

// Whether none of the plain value types below is a Mapping (1, 0, or -1 on
// error): the verdict kept for the ABC cache token in force now, made again
// when the token has changed (any register() call anywhere changes it). Asked
// for each value, since any code may register a class.
//
// Kept across calls: isinstance(5, Mapping) runs ABCMeta.__instancecheck__
// (about 2,000 instructions), reading the token a few dozen. Without the
// verdict, on a release build: NestedDotBag(nested) 3,316 instructions a leaf
// instead of 964 (3.4x, make bench-instr row), Configuration(nested) 3,451
// instead of 1,355 (2.5x), NestedDotBag(flat) with 20 int values 55,743
// instead of 13,570 (4.1x).
int plain_types_not_mappings(State *st) {
  Ref token;
  int same = capi::abc_token_same(st->get_cache_token, st->abc_token, &token);
  if (same != 0) return same < 0 ? -1 : st->plain_not_mapping == Py_True;
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

// Step 3 of start_frame when itertools or its chain was replaced: call what
// is there now, itertools.chain(iterable, kwargs.items()).
int start_replaced_chain(State *st, Frame &f, PyObject *itertools, bool direct_dict, PyObject *const *kwvalues,
                         PyObject *kwnames) {
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
  Ref chain = Ref::steal(PyObject_GetAttr(itertools, st->s_chain));
  if (!chain) return -1;
  Ref chained = capi::call(chain.get(), f.iterable.get(), kwitems.get());
  if (!chained) return -1;
  f.iter = Ref::steal(PyObject_GetIter(chained.get()));
  if (!f.iter) return -1;
  f.chained = true;
  return 0;
}

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
    if (PyDict_CheckExact(src) || (is_bag(st, src) && (facts(st, Py_TYPE(src)) & ITEMS_OURS))) {
      direct_dict = true;  // iterating dict.items(src) is walking src itself
    } else {
      Ref items = call_on(st, src, st->s_items);
      if (!items) return -1;
      f.iterable = std::move(items);
    }
  }
  Ref itertools = capi::global(module, st->s_itertools);
  if (!itertools) return -1;
  bool chain_ours = false;
  if (itertools.get() == st->itertools) {
    Ref chain = Ref::steal(PyObject_GetAttr(itertools.get(), st->s_chain));
    if (!chain) return -1;
    chain_ours = chain.get() == st->chain;
  }
  if (!chain_ours) return start_replaced_chain(st, f, itertools.get(), direct_dict, kwvalues, kwnames);
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
      Ref pair[2];
      if (capi::unpack_exact(item.get(), pair, 2) < 0) return -1;
      key = std::move(pair[0]);
      value = std::move(pair[1]);
      return 1;
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

// Step 3.4: target[key] = value for a value that is not a mapping. With our
// __setitem__ (or a converting one that passes the value on to it) and a str
// key without a dot, a plain store.
int store_item(State *st, PyObject *target, PyObject *key, PyObject *value) {
  Converter conv;
  const unsigned tf = facts(st, Py_TYPE(target), &conv);
  if (PyUnicode_CheckExact(key) && (tf & (SETITEM_OURS | CONVERTS))) {
    Py_ssize_t dot = find_dot(key, 0, PyUnicode_GET_LENGTH(key));
    if (dot == -2) return -1;
    if (dot == -1) {
      if (tf & SETITEM_OURS) return PyDict_SetItem(target, key, value);
      return convert_store(st, target, tf, conv, key, value, true);
    }
  }
  return do_setitem(st, target, key, value);
}

// update(self, *args, **kwargs) with the positional arguments in args[0:nargs]
// and the keyword values after them. Nested merges into levels whose class has
// our update are walked on an explicit stack.
int update_merge(State *st, PyObject *module, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                 PyObject *kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "expected at most 1 arguments, got %zd", nargs);
    return -1;
  }
  Frame top;  // the call itself; merges into levels go on `nested`
  std::vector<Frame> nested;
  if (start_frame(st, module, top, self, nargs ? args[0] : nullptr, args + nargs, kwnames) < 0) return -1;
  for (;;) {
    Frame &f = nested.empty() ? top : nested.back();
    Ref key, value;
    int r = next_item(st, f, key, value);
    if (r < 0) return -1;
    if (r == 0) {
      if (nested.empty()) return 0;
      nested.pop_back();
      continue;
    }
    int m = is_mapping(st, f.mapping.get(), value.get());
    if (m < 0) return -1;
    if (!m) {
      if (store_item(st, f.self.get(), key.get(), value.get()) < 0) return -1;
      continue;
    }
    Ref target = setdefault_level(st, f.self.get(), key.get());
    if (!target) return -1;
    if (!is_ours(st, target.get(), UPDATE_OURS)) {
      if (!call_on(st, target.get(), st->s_update, value.get())) return -1;
      continue;
    }
    if (nested.size() + 1 >= static_cast<size_t>(Py_GetRecursionLimit())) {
      capi::raise_recursion("maximum recursion depth exceeded while merging nested mappings");
      return -1;
    }
    if (capi::push(nested, Frame{}) < 0) return -1;  // f is not used past this point
    if (start_frame(st, module, nested.back(), target.get(), value.get(), nullptr, nullptr) < 0) return -1;
  }
}

// --- class NestedDotBag: methods ---------------------------------------------------

PyObject *nested_dotbag_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *module = capi::module_of(self, &module_def);
  State *st = module ? live(capi::state_of<State>(module)) : nullptr;
  if (st == nullptr) return nullptr;
  capi::RecursionGuard guard(" while initialising a NestedDotBag");
  if (!guard) return nullptr;
  // super(NestedDotBag, self).__init__()
  Ref found = (facts(st, Py_TYPE(self)) & NESTED_NEXT_BAG) ? Ref::borrow(st->dotbag_init)
                                                            : capi::super_lookup(st->NestedDotBag, self, st->s_init);
  if (!found) return nullptr;
  if (found.get() == st->dotbag_init) {
    if (dotbag_init_impl(st, self, nullptr, 0, nullptr) < 0) return nullptr;
  } else if (found.get() == st->dict_init) {
    if (PyDict_Type.tp_init(self, st->empty_tuple, nullptr) < 0) return nullptr;
  } else if (!capi::call_unbound(found.get(), self, nullptr, 0)) {
    return nullptr;
  }
  // self.update(*args, **kwargs), looked up now: the initialiser may have run any code
  if (facts(st, Py_TYPE(self)) & UPDATE_OURS) {
    if (update_merge(st, module, self, args, nargs, kwnames) < 0) return nullptr;
  } else if (!capi::call_class_method_v(self, st->s_update, args, static_cast<size_t>(nargs), kwnames)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *nested_dotbag_getitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *key = capi::one_arg("__getitem__", "key", args, nargs, kwnames);
  State *st = key ? live(capi::state_of<State>(self, &module_def)) : nullptr;
  return st ? getitem_path(st, self, key) : nullptr;
}

PyObject *nested_dotbag_setitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"__setitem__", {"key", "value"}, 2}, args, nargs, kwnames, argv) < 0) return nullptr;
  State *st = live(capi::state_of<State>(self, &module_def));
  if (st == nullptr || setitem_path(st, self, argv[0], argv[1]) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *nested_dotbag_contains(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *key = capi::one_arg("__contains__", "key", args, nargs, kwnames);
  State *st = key ? live(capi::state_of<State>(self, &module_def)) : nullptr;
  int r = st ? contains_path(st, self, key) : -1;
  return r < 0 ? nullptr : PyBool_FromLong(r);
}

PyObject *nested_dotbag_delitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *key = capi::one_arg("__delitem__", "key", args, nargs, kwnames);
  State *st = key ? live(capi::state_of<State>(self, &module_def)) : nullptr;
  if (st == nullptr || delitem_path(st, self, key) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *nested_dotbag_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *module = capi::module_of(self, &module_def);
  State *st = module ? live(capi::state_of<State>(module)) : nullptr;
  if (st == nullptr) return nullptr;
  capi::RecursionGuard guard(" while updating a NestedDotBag");
  if (!guard || update_merge(st, module, self, args, nargs, kwnames) < 0) return nullptr;
  Py_RETURN_NONE;
}

// No docstrings on this class's methods: only their text signatures.
constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef nested_dotbag_methods[] = {
    {.ml_name = "__init__", .ml_meth = capi::as_cfunc(nested_dotbag_init), .ml_flags = kFastKw,
     .ml_doc = "__init__($self, /, *args, **kwargs)\n--\n\n"},
    {.ml_name = "__getitem__", .ml_meth = capi::as_cfunc(nested_dotbag_getitem), .ml_flags = kFastKw,
     .ml_doc = "__getitem__($self, /, key)\n--\n\n"},
    {.ml_name = "__setitem__", .ml_meth = capi::as_cfunc(nested_dotbag_setitem), .ml_flags = kFastKw,
     .ml_doc = "__setitem__($self, /, key, value)\n--\n\n"},
    {.ml_name = "__contains__", .ml_meth = capi::as_cfunc(nested_dotbag_contains), .ml_flags = kFastKw,
     .ml_doc = "__contains__($self, /, key)\n--\n\n"},
    {.ml_name = "__delitem__", .ml_meth = capi::as_cfunc(nested_dotbag_delitem), .ml_flags = kFastKw,
     .ml_doc = "__delitem__($self, /, key)\n--\n\n"},
    {.ml_name = "update", .ml_meth = capi::as_cfunc(nested_dotbag_update), .ml_flags = kFastKw,
     .ml_doc = "update($self, /, *args, **kwargs)\n--\n\n"},
    {},
};

// --- the store hooks (capi/storehook.hpp) ---------------------------------------------

// StoreHooks::add: the dotbag module is the one of the NestedDotBag that the
// anchor (the class descr was made for) derives from.
int add_converting_setitem(PyObject *descr, const capi::ConvertingSetitem *conv) {
  if (!Py_IS_TYPE(descr, &PyMethodDescr_Type) || conv == nullptr || conv->convert == nullptr ||
      conv->convert_ours == nullptr || conv->pass_on == nullptr || conv->def == nullptr) {
    PyErr_SetString(PyExc_TypeError, "a converting __setitem__ must be a method descriptor with its functions");
    return -1;
  }
  State *st = live(capi::state_of<State>(PyDescr_TYPE(descr), &module_def));
  if (st == nullptr) return -1;
  Ref capsule = Ref::steal(PyCapsule_New(const_cast<capi::ConvertingSetitem *>(conv), kConverterCapsule, nullptr));
  if (!capsule || PyDict_SetItem(st->converters, descr, capsule.get()) < 0) return -1;
  // Facts computed before the declaration are out of date.
  for (FactsEntry &entry : st->facts) entry = {};
  return 0;
}

const capi::StoreHooks store_hooks = {add_converting_setitem};

// --- module -------------------------------------------------------------------------

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

// class DotBag(dict)
int make_dotbag(PyObject *module, State *st) {
  Ref bases = capi::tuple_of(as_obj(&PyDict_Type));
  if (!bases) return -1;
  Ref dotbag = capi::make_class(module, as_obj(&PyType_Type), "DotBag", bases.get(), dotbag_doc, nullptr);
  if (!dotbag || capi::install_methods(dotbag.get(), dotbag_methods) < 0) return -1;
  if (own_attr(dotbag.get(), "__init__", &st->dotbag_init) < 0) return -1;
  st->DotBag = Py_NewRef(dotbag.get());
  return capi::add_global(module, "DotBag", dotbag.get());
}

// class NestedDotBag(DotBag, MutableMapping): get, pop and setdefault are
// MutableMapping's own, so they work through the item methods.
int make_nested_dotbag(PyObject *module, State *st) {
  Ref attrs = Ref::steal(PyDict_New());
  if (!attrs) return -1;
  for (const char *name : {"get", "pop", "setdefault"}) {
    Ref func = Ref::steal(PyObject_GetAttrString(st->MutableMapping, name));
    if (!func || PyDict_SetItemString(attrs.get(), name, func.get()) < 0) return -1;
  }
  st->mm_setdefault = Py_NewRef(PyDict_GetItemString(attrs.get(), "setdefault"));
  Ref bases = capi::tuple_of(st->DotBag, st->MutableMapping);
  if (!bases) return -1;
  PyObject *metaclass = as_obj(Py_TYPE(st->MutableMapping));  // abc.ABCMeta, the most derived
  Ref nested = capi::make_class(module, metaclass, "NestedDotBag", bases.get(), nullptr, attrs.get());
  if (!nested || capi::install_methods(nested.get(), nested_dotbag_methods) < 0) return -1;
  if (capi::update_abstract_methods(nested.get()) < 0) return -1;
  if (own_attr(nested.get(), "__init__", &st->nested_init) < 0 ||
      own_attr(nested.get(), "__getitem__", &st->nested_getitem) < 0 ||
      own_attr(nested.get(), "__setitem__", &st->nested_setitem) < 0 ||
      own_attr(nested.get(), "__contains__", &st->nested_contains) < 0 ||
      own_attr(nested.get(), "__delitem__", &st->nested_delitem) < 0 ||
      own_attr(nested.get(), "update", &st->nested_update) < 0)
    return -1;
  st->NestedDotBag = Py_NewRef(nested.get());
  return capi::add_global(module, "NestedDotBag", nested.get());
}

// What the algorithms keep beside the globals: the dict members they
// recognise, the helpers without public names, constants.
int keep_helpers(State *st) {
  st->get_cache_token = capi::import_from("abc", "get_cache_token").release();
  st->newobj = capi::import_from("copyreg", "__newobj__").release();
  st->converters = PyDict_New();
  st->empty_tuple = PyTuple_New(0);
  st->one = PyLong_FromLong(1);
  st->plain_not_mapping = Py_NewRef(Py_False);
  if (!st->get_cache_token || !st->newobj || !st->converters || !st->empty_tuple || !st->one) return -1;
  Ref dict_ns = Ref::steal(PyType_GetDict(&PyDict_Type));
  if (!dict_ns) return -1;
  st->dict_init = Py_XNewRef(PyDict_GetItemString(dict_ns.get(), "__init__"));
  st->dict_repr = Py_XNewRef(PyDict_GetItemString(dict_ns.get(), "__repr__"));
  st->dict_items = Py_XNewRef(PyDict_GetItemString(dict_ns.get(), "items"));
  if (st->dict_init == nullptr || st->dict_repr == nullptr || st->dict_items == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "dict lacks __init__, __repr__ or items");
    return -1;
  }
  return 0;
}

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (capi::intern_all({
          {&st->s_init, "__init__"},       {&st->s_repr, "__repr__"},         {&st->s_update, "update"},
          {&st->s_setdefault, "setdefault"}, {&st->s_items, "items"},         {&st->s_index, "index"},
          {&st->s_split, "split"},         {&st->s_chain, "chain"},           {&st->s_getitem, "__getitem__"},
          {&st->s_setitem, "__setitem__"}, {&st->s_contains, "__contains__"}, {&st->s_delitem, "__delitem__"},
          {&st->s_missing, "__missing__"}, {&st->s_class, "__class__"},       {&st->s_name, "__name__"},
          {&st->s_Mapping, "Mapping"},     {&st->s_itertools, "itertools"},   {&st->s_dot, "."},
      }) < 0)
    return -1;
  if (keep_helpers(st) < 0) return -1;

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

  if (make_dotbag(module, st) < 0 || make_nested_dotbag(module, st) < 0) return -1;

  Ref hooks = Ref::steal(PyCapsule_New(const_cast<capi::StoreHooks *>(&store_hooks), capi::kStoreHooksCapsule, nullptr));
  return hooks ? capi::add_global(module, "_store_hooks", hooks.get()) : -1;
}

PyDoc_STRVAR(module_doc,
             "Dictionaries whose entries are reachable as attributes as well as by subscript.\n\n"
             "DotBag extends the built-in dictionary so that obj.name and obj['name'] are the\n"
             "same entry. NestedDotBag adds dotted keys that reach into nested levels\n"
             "(obj['a.b.c']) and an update that merges nested mappings level by level.");

PyModuleDef module_def = capi::module_def<State, module_exec>("dravix.datastructures.dotbag", module_doc);

}  // namespace

PyMODINIT_FUNC PyInit_dotbag(void) { return PyModuleDef_Init(&module_def); }
