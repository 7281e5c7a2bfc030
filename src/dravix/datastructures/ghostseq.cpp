// dravix.datastructures.ghostseq: a list that does not keep its members alive.
//
//   seq = GhostSeq([a, b])
//   del a          # a is reclaimed, and its entry leaves seq at that moment
//   seq == [b]
//
//   GhostSeq.__init__      ghostseq_init      data = the entries for the objects of items
//   GhostSeq.__contains__  ghostseq_contains  some live entry's object equals item
//   GhostSeq.__getitem__   ghostseq_getitem   the object at index; for a slice, a new instance of the class
//   GhostSeq.__setitem__   ghostseq_setitem   an entry for item at index (for a slice, for each of its objects)
//   GhostSeq.__iter__      ghostseq_iter      the objects in order, None for a dead entry
//   GhostSeq.__eq__        ghostseq_eq        list(self) == other
//   GhostSeq.__reversed__  ghostseq_reversed  self[::-1]
//   GhostSeq.__add__       ghostseq_add       a new GhostSeq with the objects of self, then of item
//   GhostSeq.__iadd__      ghostseq_iadd      appends entries for the objects of any iterable; self
//   GhostSeq.remove        ghostseq_remove    takes out the first equal entry (the callback of every entry)
//   GhostSeq.append        ghostseq_append    appends an entry for item
//   GhostSeq.index         ghostseq_index     the position of the first entry whose object equals item
//   GhostSeq.count         ghostseq_count     the number of entries whose object equals item
//   GhostSeq.pop           ghostseq_pop       takes out the entry at a position, gives its object
//   GhostSeq.insert        ghostseq_insert    an entry for item before a position
//   GhostSeq.extend        ghostseq_extend    as __iadd__, giving None
//   GhostSeq.sort          ghostseq_sort      sorts the entries by their objects (or key of them), stably
//   GhostSeq.__repr__      ghostseq_repr      GhostSeq([...]) with the repr() of each object
//   GhostSeq.__str__       ghostseq_str       GhostSeq([...]) with the str() of each object
//   GhostSeq.__imul__      ghostseq_imul      repeats the objects in place, each copy with entries of its own
//   GhostSeq.__mul__       ghostseq_mul       a new instance of the class holding the live objects n times
//   GhostSeq.__rmul__      ghostseq_mul       the same
//   GhostSeq.__radd__      ghostseq_radd      a new instance of the class: other, then the live objects
//   GhostSeq.__copy__      ghostseq_copy      copy.copy(), with entries bound to the copy
//   GhostSeq.__deepcopy__  ghostseq_deepcopy  copy.deepcopy(), the objects themselves not copied
//
// GhostSeq is a collections.UserList whose `data` holds weakref.ref(obj,
// self.remove) entries. Reads give objects back, writes take objects, searches
// compare objects; the reference callback (the instance's own bound `remove`)
// takes an entry out when its object dies. Each method calls the UserList
// method of the same name through super() (see BaseStep), as its Python body
// would.
//
// Callbacks run in the middle of anything that lets an object die: iteration,
// comparisons, key functions, the cycle collector. So no borrowed pointer into
// `data` is kept across a call that may run Python code, and every loop over
// `data` reads its length again at each step.
#include "capi.hpp"
#include "ptrset.hpp"
#include "unpack.hpp"

#include <algorithm>
#include <atomic>

namespace {

using capi::Ref;

// The UserList methods GhostSeq calls through super().
enum Base : int {
  B_INIT,
  B_CONTAINS,
  B_GETITEM,
  B_SETITEM,
  B_IADD,
  B_REMOVE,
  B_APPEND,
  B_INDEX,
  B_COUNT,
  B_POP,
  B_INSERT,
  B_EXTEND,
  B_SORT,
  B_N,
};
constexpr const char *base_names[B_N] = {"__init__", "__contains__", "__getitem__", "__setitem__", "__iadd__",
                                         "remove",   "append",       "index",       "count",       "pop",
                                         "insert",   "extend",       "sort"};

struct State {
  PyObject *weakref_module;  // the weakref module as imported
  PyObject *ref_type;        // weakref.ref as imported (the built-in reference type)
  PyObject *userlist;        // collections.UserList
  PyObject *cls;             // GhostSeq
  PyObject *iter_type;       // the iterator over a GhostSeq's objects
  PyObject *sorting;         // data lists that GhostSeq.sort is sorting right now
  PyObject *str_weakref, *str_ref, *str_ReferenceType, *str_GhostSeq, *str_data, *str_remove, *str_class,
      *str_extend, *str_new, *str_dict, *str_deepcopy, *str_items, *str_comma;
  PyObject *kw_sort;           // ("key", "reverse")
  PyObject *base_name[B_N];    // interned names of the methods above
  PyObject *base_func[B_N];    // UserList's own functions for them, as imported
  PyObject *remove_descr;      // GhostSeq's own remove, as installed
};

extern PyModuleDef module_def;

// What one method call works with: the instance, the module of its class
// (borrowed) and that module's state.
struct Call {
  PyObject *self = nullptr;
  PyObject *module = nullptr;
  State *st = nullptr;

  // 0, or -1 with TypeError when no class on self's MRO belongs to this module.
  int begin(PyObject *obj) {
    self = obj;
    module = capi::module_of(obj, &module_def);
    if (module == nullptr) return -1;
    st = capi::state_of<State>(module);
    return 0;
  }
};

// --- weak references ----------------------------------------------------------

// The object an exact weakref.ref refers to (borrowed), or nullptr when it is
// dead, by the rule weakref.ref itself applies. Runs no Python code.
inline PyObject *referent(PyObject *ref) {
  PyObject *obj = reinterpret_cast<PyWeakReference *>(ref)->wr_object;
  return (obj != Py_None && Py_REFCNT(obj) > 0) ? obj : nullptr;
}

inline bool is_exact_ref(PyObject *op) { return Py_IS_TYPE(op, &_PyWeakref_RefType); }

// entry(): the object of an entry, None for a dead one. Entries made here are
// exact references; anything else found in `data` is called like Python would.
Ref call_entry(PyObject *entry) {
  if (is_exact_ref(entry)) {
    PyObject *obj = referent(entry);
    return Ref::borrow(obj != nullptr ? obj : Py_None);
  }
  return Ref::steal(PyObject_CallNoArgs(entry));
}

// weakref.ref and weakref.ReferenceType as the module global `weakref` gives
// them at the time of the call. `as_imported`: the global is still the weakref
// module of import time with its `ref` unchanged, so references are made with
// PyWeakref_NewRef directly.
struct Weak {
  Ref global;
  Ref ref;  // weakref.ref, when not as_imported
  bool as_imported = false;
};

int weak_init(const Call &c, Weak &w) {
  w.global = capi::global(c.module, c.st->str_weakref);
  if (!w.global) return -1;
  if (w.global.get() == c.st->weakref_module) {
    PyObject *found = nullptr;
    int r = PyDict_GetItemRef(PyModule_GetDict(w.global.get()), c.st->str_ref, &found);
    if (r < 0) return -1;
    Ref hold = Ref::steal(found);
    if (found == c.st->ref_type) {
      w.as_imported = true;
      return 0;
    }
  }
  w.ref = Ref::steal(PyObject_GetAttr(w.global.get(), c.st->str_ref));
  return w.ref ? 0 : -1;
}

// weakref.ref(obj, callback), or the probe weakref.ref(obj) when callback is nullptr.
Ref weak_make(const Weak &w, PyObject *obj, PyObject *callback) {
  if (w.as_imported) return Ref::steal(PyWeakref_NewRef(obj, callback));
  if (callback == nullptr) return capi::call(w.ref.get(), obj);
  return capi::call(w.ref.get(), obj, callback);
}

// isinstance(item, weakref.ReferenceType): 1, 0 or -1.
int weak_is_reference(const Call &c, const Weak &w, PyObject *item) {
  if (w.as_imported) {
    PyObject *found = nullptr;
    int r = PyDict_GetItemRef(PyModule_GetDict(w.global.get()), c.st->str_ReferenceType, &found);
    if (r < 0) return -1;
    Ref type = Ref::steal(found);
    if (found == c.st->ref_type && is_exact_ref(item)) return 1;
    if (found != nullptr) return PyObject_IsInstance(item, found);
  }
  Ref type = Ref::steal(PyObject_GetAttr(w.global.get(), c.st->str_ReferenceType));
  if (!type) return -1;
  return PyObject_IsInstance(item, type.get());
}

// The callback of the last entry of the exact list `list` (borrowed) when it
// is the method `def` bound to `self`, else nullptr. Runs no Python code.
PyObject *last_callback(PyObject *list, const PyMethodDef *def, const PyObject *self) {
  if (list == nullptr || PyList_GET_SIZE(list) == 0) return nullptr;
  PyObject *last = PyList_GET_ITEM(list, PyList_GET_SIZE(list) - 1);
  if (!is_exact_ref(last)) return nullptr;
  PyObject *held = reinterpret_cast<PyWeakReference *>(last)->wr_callback;
  if (held == nullptr || !Py_IS_TYPE(held, &PyCFunction_Type)) return nullptr;
  auto *f = reinterpret_cast<PyCFunctionObject *>(held);
  return f->m_ml == def && f->m_self == self ? held : nullptr;
}

// The callback for a new entry: `fresh` (self.remove as just looked up), or,
// when the last entry of `list` already carries an equal one (the same method
// bound to the same instance), that object again. An instance filled by
// append keeps one callback instead of one per entry: 88.5 bytes a member
// instead of 160.5 (10,000 appends, tracemalloc); and where self.remove is
// this module's (see lookup_remove) no method object is made at all, so the
// append costs fewer instructions too (1,666 against 1,903 a member, release
// build). `list` is the instance's data list (exact) or nullptr.
Ref share_callback(Ref fresh, PyObject *list) {
  if (!fresh || !Py_IS_TYPE(fresh.get(), &PyCFunction_Type)) return fresh;
  auto *f = reinterpret_cast<PyCFunctionObject *>(fresh.get());
  PyObject *held = last_callback(list, f->m_ml, f->m_self);
  if (held != nullptr) return Ref::borrow(held);
  return fresh;
}

// The instance reads and writes attributes the generic way and its class
// defines no `data`, so self.data is the instance dict's entry. Decided where
// it is used, after whatever ran before; the type lookup may run class-dict
// keys' __eq__, so the slots are read after it.
bool data_in_instance_dict(const State *st, PyObject *self) {
  PyTypeObject *tp = Py_TYPE(self);
  if (capi::lookup_on_type(tp, st->str_data) != nullptr) return false;
  return tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_setattro == PyObject_GenericSetAttr;
}

// The value of `data` in the instance dict `dict` (borrowed) when that is its
// one key, as in every instance unless something else was stored on it; else
// nullptr. Such a dict gives self.data and has no other name (its key is a
// str), with no lookup made. Runs no Python code.
PyObject *only_data(const State *st, PyObject *dict) {
  if (PyDict_GET_SIZE(dict) != 1) return nullptr;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  return PyDict_Next(dict, &pos, &key, &value) && key == st->str_data ? value : nullptr;
}

// The method this module installed as GhostSeq.remove.
const PyMethodDef *remove_def(const State *st) {
  return reinterpret_cast<PyMethodDescrObject *>(st->remove_descr)->d_method;
}

// self.remove when lookup_remove found it to be this module's: the method
// bound to self, as the descriptor gives it. Runs no Python code.
Ref bound_remove(const Call &c) {
  PyObject *descr = c.st->remove_descr;
  return Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, c.self, reinterpret_cast<PyObject *>(Py_TYPE(c.self))));
}

// self.remove, as the generic attribute lookup finds it: when the class finds
// this module's remove (a method, so an instance entry comes first) and the
// instance's dict has no `remove`, `ours` is set and nothing is made (see
// bound_remove); otherwise `callback` is what the lookup gives. The instance
// dict is read as a dict (PyObject_GenericGetDict), which makes it a real one
// once for an instance whose attributes were stored in place: 64 bytes an
// instance, for no bound method made and freed (about 470 instructions) at
// every append.
//
// `data`, when given, receives self.data too when one read of the instance
// dict gives both (only_data), for a base step that reads it next with
// nothing run in between. The class's lookup of `data` is then made before
// the dict is read rather than after the read of `remove`: that read runs no
// Python code, and so the dict is read after whatever the lookup ran.
int lookup_remove(const Call &c, Ref &callback, bool &ours, Ref *data) {
  PyTypeObject *tp = Py_TYPE(c.self);
  ours = false;
  if (tp->tp_getattro != PyObject_GenericGetAttr ||
      capi::lookup_on_type(tp, c.st->str_remove) != c.st->remove_descr) {
    callback = Ref::steal(PyObject_GetAttr(c.self, c.st->str_remove));
    return callback ? 0 : -1;
  }
  bool with_data = data != nullptr && data_in_instance_dict(c.st, c.self);
  Ref dict = Ref::steal(PyObject_GenericGetDict(c.self, nullptr));
  if (!dict) return -1;
  if (PyObject *value = only_data(c.st, dict.get())) {
    ours = true;
    if (with_data) *data = Ref::borrow(value);
    return 0;
  }
  PyObject *found = nullptr;
  int r = PyDict_GetItemRef(dict.get(), c.st->str_remove, &found);
  if (r < 0) return -1;
  callback = Ref::steal(found);
  ours = r == 0;
  return 0;
}

// The entries for the objects of `items`, bound to `owner`, all made before
// anything is stored, into `entries`; the objects themselves into `keep`.
int wrap_all(const Call &c, const Weak &w, PyObject *owner, PyObject *items, Ref &keep, Ref &entries) {
  Ref callback = Ref::steal(PyObject_GetAttr(owner, c.st->str_remove));
  if (!callback) return -1;
  Ref it = Ref::steal(PyObject_GetIter(items));
  if (!it) return -1;
  keep = Ref::steal(PyList_New(0));
  entries = Ref::steal(PyList_New(0));
  if (!keep || !entries) return -1;
  while (true) {
    Ref obj = Ref::steal(PyIter_Next(it.get()));
    if (!obj) break;
    if (PyList_Append(keep.get(), obj.get()) < 0) return -1;
    Ref entry = weak_make(w, obj.get(), callback.get());
    if (!entry || PyList_Append(entries.get(), entry.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// What a writing operation stores: weakref.ref(item, self.remove), or for
// `many` the list of such references to the objects of the iterable item.
//
// The objects of many are held (keep) until the entries are stored: an object
// that exists only while it is being added then dies after its entry is in
// place, and its removal finds it. keep is declared first, so that on an error
// the entries go (and their callbacks with them) before the objects do.
//
// One reference, with weakref.ref as imported, is made by PyWeakref_NewRef,
// which runs no Python code: it waits until the base step has read `data`
// (finish), so that it may share the callback of the last entry. A replaced
// weakref.ref is called at once (prepare), as the Python expression would.
//
// self.remove is looked up in prepare, where the expression reads it. When
// it gives this module's remove bound to self (see lookup_remove), that
// method is made in finish, and only when the last entry does not already
// carry it: an append to a list filled by append makes no method object.
struct Stored {
  Ref keep;
  Ref callback;
  bool ours = false;  // callback is this module's remove bound to self, not made yet
  Ref data;           // self.data, read with self.remove for a base step that comes next
  Ref value;          // the reference, or the list of them

  // base_next: the base step reads self.data right after this.
  int prepare(const Call &c, const Weak &w, PyObject *item, bool many, bool base_next) {
    if (many) return wrap_all(c, w, c.self, item, keep, value);
    if (lookup_remove(c, callback, ours, base_next && w.as_imported ? &data : nullptr) < 0) return -1;
    if (!w.as_imported) {
      if (ours && !(callback = bound_remove(c))) return -1;
      ours = false;
      if (!(value = weak_make(w, item, callback.get()))) return -1;
    }
    return 0;
  }
  int finish(const Call &c, PyObject *item, PyObject *list) {
    if (value) return 0;
    if (ours) {
      PyObject *held = last_callback(list, remove_def(c.st), c.self);
      callback = held != nullptr ? Ref::borrow(held) : bound_remove(c);
      if (!callback) return -1;
    } else {
      callback = share_callback(std::move(callback), list);
    }
    value = Ref::steal(PyWeakref_NewRef(item, callback.get()));
    return value ? 0 : -1;
  }
  // Drops the entries, then the objects: 0, or -1 when a callback this ran raised.
  int release() {
    value.reset();
    if (!keep) return 0;
    keep.reset();
    return PyErr_Occurred() ? -1 : 0;
  }
};

// --- the base step: super() ------------------------------------------------------

// Whether type(self).__mro__ after GhostSeq is UserList.__mro__, class for
// class. Then super(GhostSeq, self).<name>, which looks in the dicts of those
// classes in that order, finds what UserList.<name> finds. Runs no Python code.
bool follows_userlist(const State *st, PyTypeObject *tp) {
  PyObject *mro = tp->tp_mro;
  PyObject *base_mro = reinterpret_cast<PyTypeObject *>(st->userlist)->tp_mro;
  if (mro == nullptr || base_mro == nullptr) return false;
  PyObject *const *items = reinterpret_cast<PyTupleObject *>(mro)->ob_item;
  PyObject *const *end = items + PyTuple_GET_SIZE(mro);
  PyObject *const *at = std::find(items, end, st->cls);
  return at != end && end - at - 1 == PyTuple_GET_SIZE(base_mro) &&
         std::equal(at + 1, end, reinterpret_cast<PyTupleObject *>(base_mro)->ob_item);
}

// The base step of an operation: super(GhostSeq, self).<name>(...), for one
// of the UserList methods above. Each UserList function is one operation on
// self.data; when super() finds UserList's own, the instance keeps `data` in
// its dict and that is an exact list, run() does that operation here on the
// list (searches and remove use list() to do theirs). Otherwise it calls what
// super() found. decide() makes the choice after whatever ran before in the
// call; nothing that runs Python code may come between it and the operation.
class BaseStep {
  Base which_ = B_N;
  Ref func_;               // what super() found, unbound
  bool userlist_ = false;  // ... which is UserList's own function
  Ref data_;               // self.data, when decide() read it
  bool here_ = false;      // the operation is done here (on data_, except for __init__)

 public:
  int find(const Call &c, Base which) {
    which_ = which;
    PyObject *name = c.st->base_name[which];
    if (follows_userlist(c.st, Py_TYPE(c.self))) {
      // What super() finds is what UserList's lookup finds, through the
      // type's method cache (no class dict is read).
      PyObject *found = capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(c.st->userlist), name);
      if (found == c.st->base_func[which]) {
        func_ = Ref::borrow(found);
        userlist_ = true;
        return 0;
      }
    }
    func_ = capi::super_lookup(c.st->cls, c.self, name);
    if (!func_) return -1;
    userlist_ = func_.get() == c.st->base_func[which];
    return 0;
  }

  // `seen`: self.data as read right before, in the instance dict (see
  // lookup_remove), or nullptr / empty.
  int decide(const Call &c, Ref *seen = nullptr) {
    here_ = false;
    if (!userlist_) return 0;
    if (seen != nullptr && *seen) {
      data_ = std::move(*seen);
      here_ = PyList_CheckExact(data_.get());
      return 0;
    }
    if (!data_in_instance_dict(c.st, c.self)) return 0;
    if (which_ == B_INIT) {  // sets data; reads nothing
      here_ = true;
      return 0;
    }
    // self.data as the generic lookup reads it, from the instance dict. Not
    // there: the base method runs, and raises as it reads it.
    Ref dict = Ref::steal(PyObject_GenericGetDict(c.self, nullptr));
    if (!dict) return -1;
    PyObject *found = only_data(c.st, dict.get());
    if (found != nullptr)
      Py_INCREF(found);
    else if (PyDict_GetItemRef(dict.get(), c.st->str_data, &found) < 0)
      return -1;
    data_ = Ref::steal(found);
    here_ = found != nullptr && PyList_CheckExact(found);
    return 0;
  }

  // The exact data list when the operation is done here, else nullptr.
  PyObject *list() const { return here_ ? data_.get() : nullptr; }
  // self.data if decide() read it (a list or not), else nullptr.
  PyObject *data() const { return data_.get(); }

  Ref run(const Call &c, PyObject *const *args, size_t nargs, PyObject *kwnames = nullptr);

  Ref step(const Call &c, PyObject *const *args, size_t nargs) {
    if (decide(c) < 0) return {};
    return run(c, args, nargs);
  }
};

// What UserList's function does on self.data, done on the exact list, or the
// call of what super() found.
Ref BaseStep::run(const Call &c, PyObject *const *args, size_t nargs, PyObject *kwnames) {
  if (!here_) return capi::call_unbound(func_.get(), c.self, args, nargs, kwnames);
  PyObject *list = data_.get();
  switch (which_) {
    case B_INIT:  // with a new list of ours: data becomes a list of its elements
      if (PyObject_SetAttr(c.self, c.st->str_data, args[0]) < 0) return {};
      return Ref::borrow(Py_None);
    case B_GETITEM:
      return Ref::steal(PyObject_GetItem(list, args[0]));
    case B_SETITEM:
      if (PyObject_SetItem(list, args[0], args[1]) < 0) return {};
      return Ref::borrow(Py_None);
    case B_APPEND:
      if (PyList_Append(list, args[0]) < 0) return {};
      return Ref::borrow(Py_None);
    case B_IADD:  // self.data += entries; return self
    case B_EXTEND: {
      Py_ssize_t n = PyList_GET_SIZE(list);
      if (PyList_SetSlice(list, n, n, args[0]) < 0) return {};
      return Ref::borrow(which_ == B_IADD ? c.self : Py_None);
    }
    default: {  // pop, insert, sort: the list's method of the same name
      size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
      capi::WithSelf argv(list, args, nargs + nkw);
      if (!argv) return {};
      return Ref::steal(PyObject_VectorcallMethod(c.st->base_name[which_], argv.get(), nargs + 1, kwnames));
    }
  }
}

// --- searching data -------------------------------------------------------------

// Decides data[i] == value as list.index/count/remove/`in` do, computing the
// usual outcome here when it cannot run Python code: two references where one
// is dead are equal only when identical; two live ones compare their objects,
// and objects of classes without comparison methods compare by identity.
// Anything else goes through PyObject_RichCompareBool.
class EntryMatcher {
  PyObject *value_;
  bool value_ref_;
  PyObject *target_ = nullptr;     // value's object when value is a live reference (borrowed)
  bool target_by_identity_ = false;  // ... and its class has no comparison methods

  // After any comparison that ran Python code the value's object may be gone.
  void refresh() {
    target_ = value_ref_ ? referent(value_) : nullptr;
    target_by_identity_ =
        target_ != nullptr && Py_TYPE(target_)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
  }

 public:
  explicit EntryMatcher(PyObject *value) : value_(value), value_ref_(is_exact_ref(value)) { refresh(); }

  int equals(PyObject *entry) {
    if (entry == value_) return 1;
    if (value_ref_ && is_exact_ref(entry)) {
      if (target_ == nullptr) return 0;  // a dead value equals only itself
      PyObject *obj = referent(entry);
      if (obj == nullptr) return 0;
      if (target_by_identity_ && Py_TYPE(obj)->tp_richcompare == PyBaseObject_Type.tp_richcompare)
        return obj == target_;
    }
    Ref hold = Ref::borrow(entry);
    int eq = PyObject_RichCompareBool(hold.get(), value_, Py_EQ);
    refresh();
    return eq;
  }
};

// The first position of `value` in the exact list `data` (or -1), or with
// count_all the number of equal entries; -2 on error. The length is read again
// at every step: comparisons may run code that kills members.
// `matched`, when given, receives the entry found first.
Py_ssize_t scan(PyObject *data, PyObject *value, bool count_all, Ref *matched = nullptr) {
  EntryMatcher matcher(value);
  Py_ssize_t hits = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
    PyObject *entry = PyList_GET_ITEM(data, i);
    Ref hold = matched ? Ref::borrow(entry) : Ref();
    int eq = matcher.equals(entry);
    if (eq < 0) return -2;
    if (eq > 0) {
      if (!count_all) {
        if (matched) *matched = std::move(hold);
        return i;
      }
      ++hits;
    }
  }
  return count_all ? hits : -1;
}

// The first position in the exact list's items [from, to) that holds `ref`
// (by address), or -1. Runs no Python code.
Py_ssize_t find_pointer(PyObject *list, Py_ssize_t from, Py_ssize_t to, const PyObject *ref) {
  PyObject *const *items = reinterpret_cast<PyListObject *>(list)->ob_item;
  PyObject *const *at = std::find(items + from, items + to, ref);
  return at == items + to ? -1 : at - items;
}

// Where the last dead entry was found: members tend to die in runs (a list
// lets go of its items last to first), so the next one is looked for next to
// it first. Only a starting point; any value is correct. Kept across calls
// because it pays: reclaiming 2,000 members at once, last entry first, costs
// 2,572 instructions a member with it and 5,271 without (+105 %); 10,000
// members, 2,581 and 16,279 (the scan from the front is quadratic). Shuffled
// deaths pay 1 % for it (callgrind, release build).
std::atomic<Py_ssize_t> removal_hint{0};

// The position of the dead reference `ref` in the exact list `data`, found by
// identity (a dead reference equals only itself, so no comparison is made), or
// -1. Runs of deaths land next to the previous one, in either direction, so a
// few places around the hint are looked at first, then the whole list.
// The first copy is the one to take out; a second copy of the same reference
// object is possible only when its count allows it (the caller holds one, each
// copy in data one more), and only then is the front of the list checked too.
Py_ssize_t find_dead(PyObject *data, PyObject *ref) {
  Py_ssize_t n = PyList_GET_SIZE(data);
  if (n == 0) return -1;
  Py_ssize_t h = std::clamp<Py_ssize_t>(removal_hint.load(std::memory_order_relaxed), 0, n - 1);
  Py_ssize_t found = find_pointer(data, std::max<Py_ssize_t>(h - 8, 0), std::min(h + 9, n), ref);
  if (found < 0) found = find_pointer(data, 0, n, ref);
  if (found < 0) return -1;
  if (Py_REFCNT(ref) > 2 && found > 0) {  // one held by the caller, one by data
    Py_ssize_t earlier = find_pointer(data, 0, found, ref);
    if (earlier >= 0) found = earlier;
  }
  removal_hint.store(found, std::memory_order_relaxed);
  return found;
}

bool is_being_sorted(const State *st, PyObject *data) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(st->sorting); ++i)
    if (PyList_GET_ITEM(st->sorting, i) == data) return true;
  return false;
}

// The distinct exact references in `data` whose objects are gone, in list
// order, leaving out those in `skip` (may be nullptr). Runs no Python code.
// `found` is left empty when there are none; -1 on MemoryError.
struct DeadEntries {
  Ref list;               // owns them, so their addresses stay theirs
  capi::PointerSet seen;  // the same addresses, to test membership
  bool contains(PyObject *e) const { return seen.contains(e); }
};

int collect_dead(PyObject *data, const DeadEntries *skip, DeadEntries &found) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
    PyObject *e = PyList_GET_ITEM(data, i);
    if (!is_exact_ref(e) || referent(e) != nullptr) continue;
    if ((skip != nullptr && skip->contains(e)) || found.contains(e)) continue;
    if (!found.list) {
      found.list = Ref::steal(PyList_New(0));
      if (!found.list) return -1;
    }
    if (found.seen.add(e) < 0 || PyList_Append(found.list.get(), e) < 0) return -1;
  }
  return 0;
}

// --- the iterator ----------------------------------------------------------------

// Gives the objects of a sequence of entries, one per step, as the generator
// `for ref in entries: yield ref()` would: an exact list is walked by position
// with its length read at every step; anything else through its own iterator.
// For GhostSeq.__iter__ the entries are the instance's `data`, read at the
// first step. Like a generator, a step asked for while one is running raises
// ValueError, and one that raised or reached the end finishes the iterator.
struct Iter {
  PyObject_HEAD
  PyObject *owner;   // GhostSeq whose data is read at the first step, then dropped
  PyObject *source;  // exact list or iterator of entries; nullptr when finished or while a step runs
  Py_ssize_t index;
  int running;       // a step that may run Python code is in progress
};

int iter_traverse(PyObject *self, visitproc visit, void *arg) {
  Iter *it = reinterpret_cast<Iter *>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(it->owner);
  Py_VISIT(it->source);
  return 0;
}

int iter_clear(PyObject *self) {
  Iter *it = reinterpret_cast<Iter *>(self);
  Py_CLEAR(it->owner);
  Py_CLEAR(it->source);
  return 0;
}

// One step that may run Python code: reading the owner's data, asking a
// source iterator for its next entry, calling an entry that is not an exact
// reference. The step holds the source and the iterator does not: a step
// asked for meanwhile finds none and raises, and the source is put back only
// when the step gives an object. A source that is itself a GhostSeq's
// iterator, or anything else that comes back here, nests under the
// recursion limit.
PyObject *iter_step(Iter *it) {
  Ref source = Ref::steal(it->source);
  it->source = nullptr;
  if (it->owner != nullptr) {
    Ref owner = Ref::steal(it->owner);
    it->owner = nullptr;
    PyObject *module = PyType_GetModule(Py_TYPE(it));
    if (module == nullptr) return nullptr;
    Ref data = Ref::steal(PyObject_GetAttr(owner.get(), capi::state_of<State>(module)->str_data));
    if (!data) return nullptr;
    source = PyList_CheckExact(data.get()) ? std::move(data) : Ref::steal(PyObject_GetIter(data.get()));
  }
  if (!source) return nullptr;
  Ref entry;
  if (PyList_CheckExact(source.get())) {
    if (it->index >= PyList_GET_SIZE(source.get())) return nullptr;
    entry = Ref::borrow(PyList_GET_ITEM(source.get(), it->index));
    ++it->index;
  } else {
    entry = Ref::steal(PyIter_Next(source.get()));
    if (!entry) return nullptr;
  }
  Ref obj = call_entry(entry.get());
  if (obj) Py_XSETREF(it->source, source.release());
  return obj.release();
}

PyObject *iter_next(PyObject *self) {
  Iter *it = reinterpret_cast<Iter *>(self);
  // The common steps, over an exact list: an exact reference (nothing runs
  // between the read and the result), or the end (the source is let go of
  // before anything its release runs can step the iterator again).
  PyObject *source = it->source;
  if (source != nullptr && PyList_CheckExact(source)) {
    if (it->index >= PyList_GET_SIZE(source)) {
      Py_CLEAR(it->source);
      return nullptr;
    }
    PyObject *item = PyList_GET_ITEM(source, it->index);
    if (is_exact_ref(item)) {
      ++it->index;
      PyObject *obj = referent(item);
      return Py_NewRef(obj != nullptr ? obj : Py_None);
    }
  }
  if (it->running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  capi::RecursionGuard guard(" while iterating over a GhostSeq");
  if (!guard) return nullptr;
  it->running = 1;
  PyObject *result = iter_step(it);
  it->running = 0;
  return result;
}

PyType_Slot iter_slots[] = {
    {Py_tp_doc, const_cast<char *>("Iterator over the objects of a GhostSeq (None for a dead entry).")},
    {Py_tp_dealloc, reinterpret_cast<void *>(capi::gc_dealloc<iter_clear>)},
    {Py_tp_traverse, reinterpret_cast<void *>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(iter_next)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    .name = "dravix.datastructures.ghostseq.ghostseq_iterator",
    .basicsize = sizeof(Iter),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = iter_slots,
};

// owner: read owner.data at the first step; source: walk these entries.
Ref iter_new(const State *st, PyObject *owner, PyObject *source) {
  Iter *it = PyObject_GC_New(Iter, reinterpret_cast<PyTypeObject *>(st->iter_type));
  if (it == nullptr) return {};
  it->owner = Py_XNewRef(owner);
  it->source = nullptr;
  it->index = 0;
  it->running = 0;
  Ref result = Ref::steal(reinterpret_cast<PyObject *>(it));
  if (source != nullptr) {
    if (PyList_CheckExact(source)) {
      it->source = Py_NewRef(source);
    } else {
      it->source = PyObject_GetIter(source);
      if (it->source == nullptr) return {};
    }
  }
  PyObject_GC_Track(it);
  return result;
}

// --- writing: the entries for what is stored --------------------------------------

// The writing operations: the base method with [index,] what they store (see
// Stored): __init__(items), self[index] = item, self += items, append(item),
// insert(index, item), extend(items); `many` for an iterable of objects.
// __setitem__ makes its entries and then looks the base method up, as its
// Python body runs; the others look it up first, as in
// super().append(weakref.ref(item, self.remove)).
PyObject *store(PyObject *self, Base which, PyObject *index, PyObject *item, bool many) {
  Call c;
  Weak w;
  BaseStep base;
  Stored stored;
  bool entries_first = which == B_SETITEM;
  if (c.begin(self) < 0 || (!entries_first && base.find(c, which) < 0)) return nullptr;
  if (weak_init(c, w) < 0 || stored.prepare(c, w, item, many, !entries_first) < 0) return nullptr;
  if ((entries_first && base.find(c, which) < 0) || base.decide(c, &stored.data) < 0) return nullptr;
  if (stored.finish(c, item, base.list()) < 0) return nullptr;
  PyObject *args[] = {index, stored.value.get()};
  Ref done = index != nullptr ? base.run(c, args, 2) : base.run(c, args + 1, 1);
  if (!done || stored.release() < 0) return nullptr;
  return which == B_IADD ? done.release() : Py_NewRef(Py_None);
}

// append(item), __iadd__(items) and extend(items): store() with their argument.
PyObject *store_arg(PyObject *self, Base which, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  bool many = which != B_APPEND;
  PyObject *item = capi::one_arg(base_names[which], many ? "items" : "item", args, nargs, kwnames);
  return item != nullptr ? store(self, which, nullptr, item, many) : nullptr;
}

// __setitem__(index, item) and insert(index, item): store() at index.
PyObject *store_at(PyObject *self, Base which, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({base_names[which], {"index", "item"}, 2}, args, nargs, kwnames, argv) < 0) return nullptr;
  return store(self, which, argv[0], argv[1], which == B_SETITEM && PySlice_Check(argv[0]));
}

// --- class GhostSeq ---------------------------------------------------------------

PyDoc_STRVAR(ghostseq_doc,
             "A list whose items are weak references to the objects given.\n\n"
             "Reads give back the objects and writes take objects; the weak references\n"
             "themselves stay out of sight. An entry leaves the list by itself at the\n"
             "moment its object is reclaimed, so the list never keeps its members alive.");

PyDoc_STRVAR(ghostseq_init_doc,
             "__init__($self, /, items=())\n--\n\n"
             "Hold a weak reference to each object of items, in order.");

PyObject *ghostseq_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *items;
  if (capi::parse_args({"__init__", {"items"}, 0}, args, nargs, kwnames, &items) < 0) return nullptr;
  Ref empty;
  if (items == nullptr) {
    empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    items = empty.get();
  }
  return store(self, B_INIT, nullptr, items, true);
}

// `in`, index(item) and count(item): the base method with a probe for item.
PyObject *search(PyObject *self, Base which, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  Call c;
  Weak w;
  BaseStep base;
  PyObject *item = capi::one_arg(base_names[which], "item", args, nargs, kwnames);
  if (item == nullptr || c.begin(self) < 0 || base.find(c, which) < 0 || weak_init(c, w) < 0) return nullptr;
  Ref probe = weak_make(w, item, nullptr);
  if (!probe || base.decide(c) < 0) return nullptr;
  PyObject *list = base.list();
  if (list == nullptr) {
    PyObject *arg = probe.get();
    return base.run(c, &arg, 1).release();
  }
  Py_ssize_t at = scan(list, probe.get(), which == B_COUNT);
  if (at == -2) return nullptr;
  if (which == B_CONTAINS) return PyBool_FromLong(at >= 0);
  if (at == -1) {
    PyErr_Format(PyExc_ValueError, "%R is not in list", probe.get());
    return nullptr;
  }
  return PyLong_FromSsize_t(at);
}

PyDoc_STRVAR(ghostseq_contains_doc,
             "__contains__($self, /, item)\n--\n\n"
             "True when some live entry's object equals item.");

PyObject *ghostseq_contains(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return search(self, B_CONTAINS, args, nargs, kwnames);
}

// self[index] and pop(index): the object of the entry the base method gives.
PyObject *entry_at(const Call &c, Base which, PyObject *index) {
  BaseStep base;
  if (base.find(c, which) < 0) return nullptr;
  Ref entry = base.step(c, &index, 1);
  if (!entry) return nullptr;
  return call_entry(entry.get()).release();
}

PyDoc_STRVAR(ghostseq_getitem_doc,
             "__getitem__($self, /, index)\n--\n\n"
             "The object at index (None for a dead entry), or for a slice a new instance\n"
             "of the same class holding the objects of that slice.");

PyObject *ghostseq_getitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  Call c;
  PyObject *index = capi::one_arg("__getitem__", "index", args, nargs, kwnames);
  if (index == nullptr || c.begin(self) < 0) return nullptr;
  if (!PySlice_Check(index)) return entry_at(c, B_GETITEM, index);
  // self.__class__(ref() for ref in self.data[index])
  Ref cls = Ref::steal(PyObject_GetAttr(self, c.st->str_class));
  if (!cls) return nullptr;
  Ref data = Ref::steal(PyObject_GetAttr(self, c.st->str_data));
  if (!data) return nullptr;
  Ref part = Ref::steal(PyObject_GetItem(data.get(), index));
  if (!part) return nullptr;
  Ref objects = iter_new(c.st, nullptr, part.get());
  if (!objects) return nullptr;
  return capi::call(cls.get(), objects.get()).release();
}

PyDoc_STRVAR(ghostseq_setitem_doc,
             "__setitem__($self, /, index, item)\n--\n\n"
             "Store a weak reference to item at index; for a slice, to each object of item.");

PyObject *ghostseq_setitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return store_at(self, B_SETITEM, args, nargs, kwnames);
}

PyDoc_STRVAR(ghostseq_iter_doc,
             "__iter__($self, /)\n--\n\n"
             "Iterate over the objects in order (None for a dead entry). Like a list\n"
             "iterator it walks by position, so entries that leave meanwhile are skipped.");

PyObject *ghostseq_iter(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::parse_args({"__iter__", {}, 0}, args, nargs, kwnames, nullptr) < 0) return nullptr;
  State *st = capi::state_of<State>(self, &module_def);
  return st != nullptr ? iter_new(st, self, nullptr).release() : nullptr;
}

PyDoc_STRVAR(ghostseq_eq_doc,
             "__eq__($self, /, other)\n--\n\n"
             "Compare the list of the objects (None for dead entries) with other.");

PyObject *ghostseq_eq(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  Ref objects;  // a snapshot, holding the objects so that none of them dies during the comparison
  PyObject *other = capi::one_arg("__eq__", "other", args, nargs, kwnames);
  if (other == nullptr || !(objects = Ref::steal(PySequence_List(self)))) return nullptr;
  return PyObject_RichCompare(objects.get(), other, Py_EQ);
}

PyDoc_STRVAR(ghostseq_reversed_doc,
             "__reversed__($self, /)\n--\n\n"
             "A new instance of the same class holding the objects in reverse order.");

PyObject *ghostseq_reversed(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::parse_args({"__reversed__", {}, 0}, args, nargs, kwnames, nullptr) < 0) return nullptr;
  Ref minus_one = Ref::steal(PyLong_FromLong(-1));
  if (!minus_one) return nullptr;
  Ref slice = Ref::steal(PySlice_New(Py_None, Py_None, minus_one.get()));
  if (!slice) return nullptr;
  return PyObject_GetItem(self, slice.get());
}

PyDoc_STRVAR(ghostseq_add_doc,
             "__add__($self, /, item)\n--\n\n"
             "A new GhostSeq with the objects of self, then those of item, which must be a GhostSeq.");

PyObject *ghostseq_add(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  Call c;
  PyObject *item = capi::one_arg("__add__", "item", args, nargs, kwnames);
  if (item == nullptr || c.begin(self) < 0) return nullptr;
  Ref cls = capi::global(c.module, c.st->str_GhostSeq);
  if (!cls) return nullptr;
  int ok = PyObject_IsInstance(item, cls.get());
  if (ok < 0) return nullptr;
  if (ok == 0) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(item)));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "can only concatenante GhostSeq (not \"%S\") to GhostSeq", name.get());
    return nullptr;
  }
  Ref result = capi::call(cls.get());
  if (!result) return nullptr;
  if (!capi::call_method(result.get(), c.st->str_extend, self)) return nullptr;
  if (!capi::call_method(result.get(), c.st->str_extend, item)) return nullptr;
  return result.release();
}

PyDoc_STRVAR(ghostseq_iadd_doc,
             "__iadd__($self, /, items)\n--\n\n"
             "Append weak references to the objects of any iterable; return self.");

PyObject *ghostseq_iadd(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return store_arg(self, B_IADD, args, nargs, kwnames);
}

// The entry `value` (a reference given in, or a probe) taken out of the exact
// list `data`, as list.remove does it: None, or nullptr with the error set.
PyObject *remove_from(const State *st, PyObject *data, PyObject *value) {
  Py_ssize_t at;
  if (is_exact_ref(value) && referent(value) == nullptr) {
    at = find_dead(data, value);
    // Inside GhostSeq.sort the list is empty; the sort calls remove again when it ends.
    if (at < 0 && is_being_sorted(st, data)) Py_RETURN_NONE;
  } else {
    Ref matched;
    at = scan(data, value, false, &matched);
    if (at == -2) return nullptr;
    // The comparison may have run code that moved entries (a member dying
    // takes its entry out): take out the entry that matched, where it is now,
    // not whatever has moved into its old place.
    if (at >= 0 && (at >= PyList_GET_SIZE(data) || PyList_GET_ITEM(data, at) != matched.get())) {
      at = find_pointer(data, 0, PyList_GET_SIZE(data), matched.get());
      if (at < 0) Py_RETURN_NONE;  // already gone
    }
  }
  if (at < 0) {
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return nullptr;
  }
  if (PyList_SetSlice(data, at, at + 1, nullptr) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(ghostseq_remove_doc,
             "remove($self, /, item)\n--\n\n"
             "Remove the first entry whose object equals item; item may also be a weak\n"
             "reference, compared as references compare (a dead one matches only itself).\n"
             "This is also the callback of every entry: a dead entry is found by identity.");

PyObject *ghostseq_remove(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  Call c;
  Weak w;
  PyObject *item = capi::one_arg("remove", "item", args, nargs, kwnames);
  if (item == nullptr || c.begin(self) < 0 || weak_init(c, w) < 0) return nullptr;
  int is_ref = weak_is_reference(c, w, item);
  BaseStep base;
  if (is_ref < 0 || base.find(c, B_REMOVE) < 0) return nullptr;
  // No extra reference is taken to a reference given in: the caller's own
  // keeps it alive, and find_dead reads its count.
  Ref probe;
  PyObject *value = item;
  if (!is_ref) {
    probe = weak_make(w, item, nullptr);
    if (!probe) return nullptr;
    value = probe.get();
  }
  if (base.decide(c) < 0) return nullptr;
  PyObject *list = base.list();
  return list != nullptr ? remove_from(c.st, list, value) : base.run(c, &value, 1).release();
}

PyDoc_STRVAR(ghostseq_append_doc, "append($self, /, item)\n--\n\nAppend a weak reference to item.");

PyObject *ghostseq_append(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return store_arg(self, B_APPEND, args, nargs, kwnames);
}

PyDoc_STRVAR(ghostseq_index_doc,
             "index($self, /, item)\n--\n\n"
             "The position of the first entry whose object equals item.");

PyObject *ghostseq_index(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return search(self, B_INDEX, args, nargs, kwnames);
}

PyDoc_STRVAR(ghostseq_count_doc, "count($self, /, item)\n--\n\nThe number of entries whose object equals item.");

PyObject *ghostseq_count(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return search(self, B_COUNT, args, nargs, kwnames);
}

PyDoc_STRVAR(ghostseq_pop_doc,
             "pop($self, /, item)\n--\n\n"
             "Remove the entry at position item (negative counts from the end) and return\n"
             "its object (None for a dead entry).");

PyObject *ghostseq_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  Call c;
  PyObject *item = capi::one_arg("pop", "item", args, nargs, kwnames);
  return item != nullptr && c.begin(self) == 0 ? entry_at(c, B_POP, item) : nullptr;
}

PyDoc_STRVAR(ghostseq_insert_doc,
             "insert($self, /, index, item)\n--\n\n"
             "Insert a weak reference to item before position index.");

PyObject *ghostseq_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return store_at(self, B_INSERT, args, nargs, kwnames);
}

PyDoc_STRVAR(ghostseq_extend_doc,
             "extend($self, /, items)\n--\n\n"
             "Append weak references to the objects of any iterable. All references are made\n"
             "before the list changes, so extending an instance with itself doubles it once.");

PyObject *ghostseq_extend(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return store_arg(self, B_EXTEND, args, nargs, kwnames);
}

// The key function handed to list.sort: entry() or key(entry()). Its `self`
// is the caller's key, or None for none.
PyObject *sort_key(PyObject *key, PyObject *entry) {
  Ref obj = call_entry(entry);
  if (!obj || key == Py_None) return obj.release();
  return capi::call(key, obj.get()).release();
}

PyMethodDef sort_key_def = {.ml_name = "sort_key", .ml_meth = sort_key, .ml_flags = METH_O, .ml_doc = nullptr};

// Registers `data` as being sorted by GhostSeq.sort for as long as it lives,
// unless it is nullptr or an outer sort of the same list registered it.
class SortingMark {
  PyObject *sorting_;
  PyObject *data_ = nullptr;
  bool failed_ = false;

 public:
  SortingMark(const State *st, PyObject *data) : sorting_(st->sorting) {
    if (data == nullptr || is_being_sorted(st, data)) return;
    if (PyList_Append(sorting_, data) < 0)
      failed_ = true;
    else
      data_ = data;
  }
  explicit operator bool() const { return !failed_; }
  ~SortingMark() {
    if (data_ == nullptr) return;
    for (Py_ssize_t i = PyList_GET_SIZE(sorting_) - 1; i >= 0; --i) {
      if (PyList_GET_ITEM(sorting_, i) == data_) {
        PyObject *exc = PyErr_GetRaisedException();
        if (PyList_SetSlice(sorting_, i, i + 1, nullptr) < 0) PyErr_WriteUnraisable(sorting_);
        PyErr_SetRaisedException(exc);
        break;
      }
    }
  }
};

// After a sort of `watched`: self.remove(entry) for each entry that died
// during it (dead now and not in `dead_before`), as the entry's callback would
// have called it, with no exception set. An exception it raises is reported as
// unraisable, as the interpreter reports one raised by a callback. -1 with
// MemoryError set when the entries cannot be collected.
int remove_died(const Call &c, PyObject *watched, const DeadEntries &dead_before) {
  DeadEntries died;
  if (collect_dead(watched, &dead_before, died) < 0) return -1;
  for (Py_ssize_t i = 0; died.list && i < PyList_GET_SIZE(died.list.get()); ++i) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(died.list.get(), i));
    Ref remove = Ref::steal(PyObject_GetAttr(c.self, c.st->str_remove));
    if (!remove) {
      PyErr_WriteUnraisable(c.self);
      continue;
    }
    if (!capi::call(remove.get(), entry.get())) PyErr_WriteUnraisable(remove.get());
  }
  return 0;
}

PyDoc_STRVAR(ghostseq_sort_doc,
             "sort($self, /, key=None, reverse=False)\n--\n\n"
             "Sort the entries in place by their objects, or by key applied to them; stable.\n"
             "While the list is being sorted it is empty, so an entry whose object dies\n"
             "meanwhile cannot leave; when the sort ends, self.remove is called for it.");

PyObject *ghostseq_sort(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  Call c;
  BaseStep base;
  PyObject *argv[2];
  if (capi::parse_args({"sort", {"key", "reverse"}, 0}, args, nargs, kwnames, argv) < 0) return nullptr;
  if (c.begin(self) < 0 || base.find(c, B_SORT) < 0) return nullptr;
  Ref keyfunc = Ref::steal(PyCFunction_NewEx(&sort_key_def, argv[0] ? argv[0] : Py_None, nullptr));
  if (!keyfunc) return nullptr;
  PyObject *reverse = argv[1] ? argv[1] : Py_False;
  // The list the sort is about to sort, read now (the base sort reads the
  // same attribute): entries of it that die while it is sorted are noticed
  // when it ends. Those already dead stay, as whatever kept them decided.
  if (base.decide(c) < 0) return nullptr;
  Ref data = Ref::borrow(base.data());
  if (!data && !(data = Ref::steal(PyObject_GetAttr(self, c.st->str_data)))) return nullptr;
  PyObject *watched = PyList_CheckExact(data.get()) ? data.get() : nullptr;
  DeadEntries dead_before;
  if (watched != nullptr && collect_dead(watched, nullptr, dead_before) < 0) return nullptr;
  Ref done;
  {
    SortingMark mark(c.st, watched);
    if (!mark) return nullptr;
    PyObject *sort_args[] = {keyfunc.get(), reverse};
    done = base.run(c, sort_args, 0, c.st->kw_sort);
  }
  if (watched == nullptr) return done ? Py_NewRef(Py_None) : nullptr;
  // The outcome of the sort is what the caller sees; the removals run in
  // between, with no exception set, as callbacks would.
  PyObject *failure = PyErr_GetRaisedException();
  if (remove_died(c, watched, dead_before) < 0) {
    if (failure == nullptr) return nullptr;
    PyErr_WriteUnraisable(self);
  }
  if (failure != nullptr) {
    PyErr_SetRaisedException(failure);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// "GhostSeq([" + ", ".join(render(obj) for obj in self) + "])"
PyObject *render(PyObject *self, PyObject *(*each)(PyObject *)) {
  State *st = capi::state_of<State>(self, &module_def);
  if (st == nullptr) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(self));
  if (!it) return nullptr;
  Ref parts = Ref::steal(PyList_New(0));
  if (!parts) return nullptr;
  while (true) {
    Ref obj = Ref::steal(PyIter_Next(it.get()));
    if (!obj) break;
    Ref text = Ref::steal(each(obj.get()));
    if (!text || PyList_Append(parts.get(), text.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref joined = Ref::steal(PyUnicode_Join(st->str_comma, parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("GhostSeq([%U])", joined.get());
}

PyDoc_STRVAR(ghostseq_repr_doc, "__repr__($self, /)\n--\n\nGhostSeq([...]) with the repr() of each object.");

PyObject *ghostseq_repr(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::parse_args({"__repr__", {}, 0}, args, nargs, kwnames, nullptr) < 0) return nullptr;
  return render(self, PyObject_Repr);
}

PyDoc_STRVAR(ghostseq_str_doc, "__str__($self, /)\n--\n\nGhostSeq([...]) with the str() of each object.");

PyObject *ghostseq_str(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::parse_args({"__str__", {}, 0}, args, nargs, kwnames, nullptr) < 0) return nullptr;
  return render(self, PyObject_Str);
}

// --- the list operations UserList builds from self.data ------------------------------

// The objects of the live entries of `data`, in order (dead entries left out).
Ref live_objects(PyObject *data) {
  Ref snapshot = Ref::steal(PySequence_List(data));
  if (!snapshot) return {};
  Ref objects = Ref::steal(PyList_New(0));
  if (!objects) return {};
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
    Ref obj = call_entry(PyList_GET_ITEM(snapshot.get(), i));
    if (!obj) return {};
    if (obj.get() == Py_None && is_exact_ref(PyList_GET_ITEM(snapshot.get(), i))) continue;  // dead
    if (PyList_Append(objects.get(), obj.get()) < 0) return {};
  }
  return objects;
}

// self.__class__ and the live objects of self.data.
int class_and_objects(PyObject *self, const State *st, Ref &cls, Ref &data, Ref &objects) {
  cls = Ref::steal(PyObject_GetAttr(self, st->str_class));
  if (!cls) return -1;
  data = Ref::steal(PyObject_GetAttr(self, st->str_data));
  if (!data) return -1;
  objects = live_objects(data.get());
  return objects ? 0 : -1;
}

PyDoc_STRVAR(ghostseq_imul_doc,
             "__imul__($self, n, /)\n--\n\n"
             "Repeat the objects n times in place; return self. Every repetition gets\n"
             "entries of its own, so each copy leaves when its object dies.");

PyObject *ghostseq_imul(PyObject *self, PyObject *n) {
  State *st = capi::state_of<State>(self, &module_def);
  if (st == nullptr) return nullptr;
  Ref data = Ref::steal(PyObject_GetAttr(self, st->str_data));
  if (!data) return nullptr;
  bool integer = PyIndex_Check(n);
  Py_ssize_t count = 1;
  if (integer) {
    count = PyNumber_AsSsize_t(n, PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) return nullptr;
  }
  Py_ssize_t size = PyObject_Length(data.get());
  if (size < 0) return nullptr;
  if (!integer || count <= 1 || size == 0) {
    // As UserList does it: self.data *= n (clears for n <= 0, raises for a non-integer).
    Ref result = Ref::steal(integer && PyList_CheckExact(data.get()) ? PySequence_InPlaceRepeat(data.get(), count)
                                                                     : PyNumber_InPlaceMultiply(data.get(), n));
    if (!result) return nullptr;
    if (result.get() != data.get() && PyObject_SetAttr(self, st->str_data, result.get()) < 0) return nullptr;
    return Py_NewRef(self);
  }
  Ref objects = live_objects(data.get());
  if (!objects) return nullptr;
  Ref copies = Ref::steal(PySequence_Repeat(objects.get(), count - 1));
  if (!copies) return nullptr;
  PyObject *argv[] = {copies.get()};
  Ref done = Ref::steal(ghostseq_extend(self, argv, 1, nullptr));
  if (!done) return nullptr;
  return Py_NewRef(self);
}

PyDoc_STRVAR(ghostseq_mul_doc,
             "__mul__($self, n, /)\n--\n\n"
             "A new instance of the same class holding the objects n times, each copy\n"
             "with entries of its own.");

PyDoc_STRVAR(ghostseq_rmul_doc, "__rmul__($self, n, /)\n--\n\nn * self: the same as self * n.");

// self.__class__(live objects * n), which is what UserList's self.__class__(self.data * n)
// means for a list that holds weak references: each copy gets entries of its own.
PyObject *ghostseq_mul(PyObject *self, PyObject *n) {
  State *st = capi::state_of<State>(self, &module_def);
  Ref cls, data, objects;
  if (st == nullptr || class_and_objects(self, st, cls, data, objects) < 0) return nullptr;
  Ref repeated = Ref::steal(PyNumber_Multiply(objects.get(), n));
  if (!repeated) return nullptr;
  return capi::call(cls.get(), repeated.get()).release();
}

PyDoc_STRVAR(ghostseq_radd_doc,
             "__radd__($self, other, /)\n--\n\n"
             "other + self: a new instance of the same class holding the objects of other,\n"
             "then those of self.");

// other + self as UserList.__radd__ builds it, with the live objects in place
// of self.data: self.__class__(other + objects) when other is of data's type,
// else self.__class__(list(other) + objects).
PyObject *ghostseq_radd(PyObject *self, PyObject *other) {
  State *st = capi::state_of<State>(self, &module_def);
  Ref cls, data, objects;
  if (st == nullptr || class_and_objects(self, st, cls, data, objects) < 0) return nullptr;
  int same = PyObject_IsInstance(other, reinterpret_cast<PyObject *>(Py_TYPE(data.get())));
  if (same < 0) return nullptr;
  Ref left = same ? Ref::borrow(other) : Ref::steal(PySequence_List(other));
  if (!left) return nullptr;
  Ref combined = Ref::steal(PyNumber_Add(left.get(), objects.get()));
  if (!combined) return nullptr;
  return capi::call(cls.get(), combined.get()).release();
}

// --- copies ---------------------------------------------------------------------

// Sets the attributes of inst (its __dict__, given back in `dst`) to those of
// self: each value as it is, or with memo its copy.deepcopy, except `data`,
// whose value is given back in `data`. The loop is
// `for name, value in self.__dict__.items()`, unpacked and walked as Python
// would (a dict that changes meanwhile raises RuntimeError).
int copy_attributes(const Call &c, PyObject *inst, PyObject *memo, Ref &dst, Ref &data) {
  Ref deepcopy;
  if (memo != nullptr) {
    Ref copy_module = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy_module) return -1;
    deepcopy = Ref::steal(PyObject_GetAttr(copy_module.get(), c.st->str_deepcopy));
    if (!deepcopy) return -1;
  }
  Ref src = Ref::steal(PyObject_GetAttr(c.self, c.st->str_dict));
  if (!src) return -1;
  dst = Ref::steal(PyObject_GetAttr(inst, c.st->str_dict));
  if (!dst) return -1;
  Ref items = capi::call_method(src.get(), c.st->str_items);
  if (!items) return -1;
  Ref it = Ref::steal(PyObject_GetIter(items.get()));
  if (!it) return -1;
  while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
    Ref kv[2];
    if (capi::unpack_exact(pair.get(), kv, 2) < 0) return -1;
    int is_data = PyObject_RichCompareBool(kv[0].get(), c.st->str_data, Py_EQ);
    if (is_data < 0) return -1;
    if (is_data) {
      data = std::move(kv[1]);
      continue;
    }
    Ref copied = memo != nullptr ? capi::call(deepcopy.get(), kv[1].get(), memo) : std::move(kv[1]);
    if (!copied || PyObject_SetItem(dst.get(), kv[0].get(), copied.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// A new instance of self's class with self's attributes, whose `data` holds
// entries of its own (callbacks bound to the new instance) for the objects of
// self's live entries. `memo`: deep copy (attributes other than data are deep
// copied; the objects themselves are not, since nothing else would keep such
// copies alive); nullptr: shallow copy.
PyObject *copy_instance(PyObject *self, PyObject *memo) {
  Call c;
  Weak w;
  if (c.begin(self) < 0 || weak_init(c, w) < 0) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(self, c.st->str_class));
  if (!cls) return nullptr;
  Ref inst = capi::call_method(cls.get(), c.st->str_new, cls.get());
  if (!inst) return nullptr;
  if (memo != nullptr) {
    Ref key = Ref::steal(PyLong_FromVoidPtr(self));
    if (!key || PyObject_SetItem(memo, key.get(), inst.get()) < 0) return nullptr;
  }
  Ref dst, data;
  if (copy_attributes(c, inst.get(), memo, dst, data) < 0) return nullptr;
  Ref objects = data ? live_objects(data.get()) : Ref::steal(PyList_New(0));
  if (!objects) return nullptr;
  Ref keep, entries;
  if (wrap_all(c, w, inst.get(), objects.get(), keep, entries) < 0) return nullptr;
  if (PyObject_SetItem(dst.get(), c.st->str_data, entries.get()) < 0) return nullptr;
  entries.reset();
  keep.reset();
  objects.reset();
  if (PyErr_Occurred()) return nullptr;
  return inst.release();
}

PyDoc_STRVAR(ghostseq_copy_doc,
             "__copy__($self, /)\n--\n\n"
             "copy.copy(): a new instance of the same class, with the same attributes and\n"
             "entries of its own for the same objects.");

PyObject *ghostseq_copy(PyObject *self, PyObject *) { return copy_instance(self, nullptr); }

PyDoc_STRVAR(ghostseq_deepcopy_doc,
             "__deepcopy__($self, memo, /)\n--\n\n"
             "copy.deepcopy(): as copy.copy(), with the other attributes deep-copied. The\n"
             "objects are not copied: the list holds them weakly, so copies of them would\n"
             "be reclaimed at once.");

PyObject *ghostseq_deepcopy(PyObject *self, PyObject *memo) { return copy_instance(self, memo); }

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef ghostseq_methods[] = {
    {.ml_name = "__init__", .ml_meth = capi::as_cfunc(ghostseq_init), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_init_doc},
    {.ml_name = "__contains__", .ml_meth = capi::as_cfunc(ghostseq_contains), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_contains_doc},
    {.ml_name = "__getitem__", .ml_meth = capi::as_cfunc(ghostseq_getitem), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_getitem_doc},
    {.ml_name = "__setitem__", .ml_meth = capi::as_cfunc(ghostseq_setitem), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_setitem_doc},
    {.ml_name = "__iter__", .ml_meth = capi::as_cfunc(ghostseq_iter), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_iter_doc},
    {.ml_name = "__eq__", .ml_meth = capi::as_cfunc(ghostseq_eq), .ml_flags = FASTCALL, .ml_doc = ghostseq_eq_doc},
    {.ml_name = "__reversed__", .ml_meth = capi::as_cfunc(ghostseq_reversed), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_reversed_doc},
    {.ml_name = "__add__", .ml_meth = capi::as_cfunc(ghostseq_add), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_add_doc},
    {.ml_name = "__iadd__", .ml_meth = capi::as_cfunc(ghostseq_iadd), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_iadd_doc},
    {.ml_name = "remove", .ml_meth = capi::as_cfunc(ghostseq_remove), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_remove_doc},
    {.ml_name = "append", .ml_meth = capi::as_cfunc(ghostseq_append), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_append_doc},
    {.ml_name = "index", .ml_meth = capi::as_cfunc(ghostseq_index), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_index_doc},
    {.ml_name = "count", .ml_meth = capi::as_cfunc(ghostseq_count), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_count_doc},
    {.ml_name = "pop", .ml_meth = capi::as_cfunc(ghostseq_pop), .ml_flags = FASTCALL, .ml_doc = ghostseq_pop_doc},
    {.ml_name = "insert", .ml_meth = capi::as_cfunc(ghostseq_insert), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_insert_doc},
    {.ml_name = "extend", .ml_meth = capi::as_cfunc(ghostseq_extend), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_extend_doc},
    {.ml_name = "sort", .ml_meth = capi::as_cfunc(ghostseq_sort), .ml_flags = FASTCALL, .ml_doc = ghostseq_sort_doc},
    {.ml_name = "__repr__", .ml_meth = capi::as_cfunc(ghostseq_repr), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_repr_doc},
    {.ml_name = "__str__", .ml_meth = capi::as_cfunc(ghostseq_str), .ml_flags = FASTCALL,
     .ml_doc = ghostseq_str_doc},
    {.ml_name = "__imul__", .ml_meth = ghostseq_imul, .ml_flags = METH_O, .ml_doc = ghostseq_imul_doc},
    {.ml_name = "__mul__", .ml_meth = ghostseq_mul, .ml_flags = METH_O, .ml_doc = ghostseq_mul_doc},
    {.ml_name = "__rmul__", .ml_meth = ghostseq_mul, .ml_flags = METH_O, .ml_doc = ghostseq_rmul_doc},
    {.ml_name = "__radd__", .ml_meth = ghostseq_radd, .ml_flags = METH_O, .ml_doc = ghostseq_radd_doc},
    {.ml_name = "__copy__", .ml_meth = ghostseq_copy, .ml_flags = METH_NOARGS, .ml_doc = ghostseq_copy_doc},
    {.ml_name = "__deepcopy__", .ml_meth = ghostseq_deepcopy, .ml_flags = METH_O, .ml_doc = ghostseq_deepcopy_doc},
    {},
};

// --- module -----------------------------------------------------------------

int intern_names(State *st) {
  if (capi::intern_all({
          {&st->str_weakref, "weakref"}, {&st->str_ref, "ref"}, {&st->str_ReferenceType, "ReferenceType"},
          {&st->str_GhostSeq, "GhostSeq"}, {&st->str_data, "data"}, {&st->str_remove, "remove"},
          {&st->str_class, "__class__"}, {&st->str_extend, "extend"}, {&st->str_new, "__new__"},
          {&st->str_dict, "__dict__"}, {&st->str_deepcopy, "deepcopy"}, {&st->str_items, "items"},
      }) < 0)
    return -1;
  for (int b = 0; b < B_N; ++b)
    if ((st->base_name[b] = capi::intern(base_names[b])) == nullptr) return -1;
  st->str_comma = PyUnicode_FromString(", ");
  st->kw_sort = Py_BuildValue("(ss)", "key", "reverse");
  st->sorting = PyList_New(0);
  return (st->str_comma && st->kw_sort && st->sorting) ? 0 : -1;
}

// weakref and collections imported and bound as module globals, then the class.
int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (intern_names(st) < 0) return -1;

  Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
  if (!weakref || capi::add_global(module, "weakref", weakref.get()) < 0) return -1;
  st->weakref_module = Py_NewRef(weakref.get());
  st->ref_type = PyObject_GetAttr(weakref.get(), st->str_ref);
  if (st->ref_type == nullptr) return -1;

  Ref collections = Ref::steal(PyImport_ImportModule("collections"));
  if (!collections || capi::add_global(module, "collections", collections.get()) < 0) return -1;
  st->userlist = PyObject_GetAttrString(collections.get(), "UserList");
  if (st->userlist == nullptr) return -1;
  Ref userlist_dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(st->userlist)));
  if (!userlist_dict) return -1;
  for (int b = 0; b < B_N; ++b)
    if (PyDict_GetItemRef(userlist_dict.get(), st->base_name[b], &st->base_func[b]) < 0) return -1;

  st->iter_type = PyType_FromModuleAndSpec(module, &iter_spec, nullptr);
  if (st->iter_type == nullptr) return -1;

  Ref bases = capi::tuple_of(st->userlist);
  Ref attrs = Ref::steal(PyDict_New());
  if (!bases || !attrs || PyDict_SetItemString(attrs.get(), "__hash__", Py_None) < 0) return -1;
  Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(Py_TYPE(st->userlist)), "GhostSeq", bases.get(),
                             ghostseq_doc, attrs.get());
  if (!cls || capi::install_methods(cls.get(), ghostseq_methods) < 0) return -1;
  if (capi::update_abstract_methods(cls.get()) < 0) return -1;
  Ref cls_dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(cls.get())));
  if (!cls_dict || PyDict_GetItemRef(cls_dict.get(), st->str_remove, &st->remove_descr) <= 0 ||
      !Py_IS_TYPE(st->remove_descr, &PyMethodDescr_Type)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "GhostSeq.remove was not installed");
    return -1;
  }
  st->cls = Py_NewRef(cls.get());
  return capi::add_global(module, "GhostSeq", cls.get());
}

PyDoc_STRVAR(module_doc, "A list of weak references whose entries leave by themselves when their objects are reclaimed.");

PyModuleDef module_def = capi::module_def<State, module_exec>("dravix.datastructures.ghostseq", module_doc);

}  // namespace

PyMODINIT_FUNC PyInit_ghostseq(void) { return PyModuleDef_Init(&module_def); }
