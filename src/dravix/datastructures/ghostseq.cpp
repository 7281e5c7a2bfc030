// dravix.datastructures.ghostseq: a list that does not keep its members alive.
//
//   seq = GhostSeq([a, b])
//   del a          # a is reclaimed, and its entry leaves seq at that moment
//   seq == [b]
//
// GhostSeq is a collections.UserList whose `data` holds weakref.ref(obj,
// self.remove) entries. Reads give objects back, writes take objects, searches
// compare objects; the reference callback (the instance's own bound `remove`)
// takes an entry out when its object dies.
//
// Callbacks run in the middle of anything that lets an object die: iteration,
// comparisons, key functions, the cycle collector. So no borrowed pointer into
// `data` is kept across a call that may run Python code, and every loop over
// `data` reads its length again at each step.
#include "capi.hpp"
#include "ptrset.hpp"
#include "unpack.hpp"

#include <atomic>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
  PyObject *str_weakref;
  PyObject *str_ref;
  PyObject *str_ReferenceType;
  PyObject *str_GhostSeq;
  PyObject *str_data;
  PyObject *str_remove;
  PyObject *str_class;
  PyObject *str_extend;
  PyObject *str_pop;
  PyObject *str_insert;
  PyObject *str_sort;
  PyObject *str_comma;
  PyObject *str_new;
  PyObject *str_dict;
  PyObject *str_deepcopy;
  PyObject *str_items;
  PyObject *kw_sort;                // ("key", "reverse")
  PyObject *base_name[B_N];         // interned names of the methods above
  PyObject *base_func[B_N];         // UserList's own functions for them, as imported
};

extern PyModuleDef module_def;

struct Ctx {
  PyObject *module = nullptr;  // borrowed
  State *st = nullptr;
};

int ctx_of(PyObject *self, Ctx &ctx) {
  ctx.module = capi::module_of(self, &module_def);
  if (ctx.module == nullptr) return -1;
  ctx.st = capi::state_of<State>(ctx.module);
  return 0;
}

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
// them at the time of the call. `native`: the global is still the weakref
// module of import time with its `ref` unchanged, so references are made with
// PyWeakref_NewRef directly.
struct Weak {
  Ref global;
  Ref ref;  // weakref.ref, when not native
  bool native = false;
};

int weak_init(const Ctx &ctx, Weak &w) {
  w.global = capi::global(ctx.module, ctx.st->str_weakref);
  if (!w.global) return -1;
  if (w.global.get() == ctx.st->weakref_module) {
    PyObject *found = nullptr;
    int r = PyDict_GetItemRef(PyModule_GetDict(w.global.get()), ctx.st->str_ref, &found);
    if (r < 0) return -1;
    Ref hold = Ref::steal(found);
    if (found == ctx.st->ref_type) {
      w.native = true;
      return 0;
    }
  }
  w.ref = Ref::steal(PyObject_GetAttr(w.global.get(), ctx.st->str_ref));
  return w.ref ? 0 : -1;
}

// weakref.ref(obj, callback), or the probe weakref.ref(obj) when callback is nullptr.
Ref weak_make(const Weak &w, PyObject *obj, PyObject *callback) {
  if (w.native) return Ref::steal(PyWeakref_NewRef(obj, callback));
  if (callback == nullptr) return capi::call(w.ref.get(), obj);
  return capi::call(w.ref.get(), obj, callback);
}

// isinstance(item, weakref.ReferenceType): 1, 0 or -1.
int weak_is_reference(const Ctx &ctx, const Weak &w, PyObject *item) {
  if (w.native) {
    PyObject *found = nullptr;
    int r = PyDict_GetItemRef(PyModule_GetDict(w.global.get()), ctx.st->str_ReferenceType, &found);
    if (r < 0) return -1;
    Ref type = Ref::steal(found);
    if (found == ctx.st->ref_type && is_exact_ref(item)) return 1;
    if (found != nullptr) return PyObject_IsInstance(item, found);
  }
  Ref type = Ref::steal(PyObject_GetAttr(w.global.get(), ctx.st->str_ReferenceType));
  if (!type) return -1;
  return PyObject_IsInstance(item, type.get());
}

// The callback for new entries: `fresh` (self.remove as just looked up), or,
// when the last entry of `data` already carries an equal one (this module's
// remove bound to self), that object again: sharing it saves an object per
// entry, which the cycle collector would otherwise have to track and scan.
// Runs no Python code; `data` is the instance's data list or nullptr.
Ref share_callback(Ref fresh, PyObject *data) {
  if (!fresh || data == nullptr || !PyList_CheckExact(data) || PyList_GET_SIZE(data) == 0) return fresh;
  PyObject *last = PyList_GET_ITEM(data, PyList_GET_SIZE(data) - 1);
  if (!is_exact_ref(last)) return fresh;
  PyObject *held = reinterpret_cast<PyWeakReference *>(last)->wr_callback;
  if (held == nullptr || !Py_IS_TYPE(held, &PyCFunction_Type) || !Py_IS_TYPE(fresh.get(), &PyCFunction_Type))
    return fresh;
  auto *a = reinterpret_cast<PyCFunctionObject *>(held);
  auto *b = reinterpret_cast<PyCFunctionObject *>(fresh.get());
  if (a->m_ml != b->m_ml || a->m_self != b->m_self) return fresh;
  return Ref::borrow(held);
}

// weakref.ref(obj, callback) by PyWeakref_NewRef (it runs no Python code, so
// it may follow the read of `data`, whose last entry's callback it may share).
Ref make_entry(PyObject *obj, Ref callback, PyObject *data) {
  Ref shared = share_callback(std::move(callback), data);
  return Ref::steal(PyWeakref_NewRef(obj, shared.get()));
}

// The entries for the objects of `items`, all made before anything is stored.
// `keep` holds the objects themselves until the caller has stored the entries:
// an object that exists only while it is being added then dies after its entry
// is in place, and its removal finds it. Declared keep-first, so that on an
// error the entries go (and their callbacks with them) before the objects do.
struct Wrapped {
  Ref keep;
  Ref entries;
};

int wrap_all(const Ctx &ctx, const Weak &w, PyObject *self, PyObject *items, Wrapped &out) {
  Ref callback = Ref::steal(PyObject_GetAttr(self, ctx.st->str_remove));
  if (!callback) return -1;
  Ref it = Ref::steal(PyObject_GetIter(items));
  if (!it) return -1;
  out.keep = Ref::steal(PyList_New(0));
  out.entries = Ref::steal(PyList_New(0));
  if (!out.keep || !out.entries) return -1;
  while (true) {
    Ref obj = Ref::steal(PyIter_Next(it.get()));
    if (!obj) break;
    if (PyList_Append(out.keep.get(), obj.get()) < 0) return -1;
    Ref entry = weak_make(w, obj.get(), callback.get());
    if (!entry || PyList_Append(out.entries.get(), entry.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// Drops the entries list, then the objects (see Wrapped), keeping any raised
// exception across the callbacks that may run.
void release(Wrapped &w) {
  w.entries.reset();
  w.keep.reset();
}

// --- super() ------------------------------------------------------------------

// What super(GhostSeq, self).<name> finds, unbound. `userlist`: it is
// UserList's own function, whose body is an operation on self.data.
struct Super {
  Ref func;
  bool userlist = false;
};

// The MRO is held for the walk: a class-dict lookup may run a key's __eq__,
// which may assign __bases__ and so replace the tuple.
int super_find(const Ctx &ctx, PyObject *self, Base b, Super &out) {
  State *st = ctx.st;
  PyObject *name = st->base_name[b];
  Ref mro = Ref::borrow(Py_TYPE(self)->tp_mro);
  Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro.get()) : 0;
  Py_ssize_t i = 0;
  while (i < n && PyTuple_GET_ITEM(mro.get(), i) != st->cls) ++i;
  if (i >= n) {
    PyErr_SetString(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
    return -1;
  }
  for (++i; i < n; ++i) {
    PyObject *klass = PyTuple_GET_ITEM(mro.get(), i);
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(klass)));
    if (!dict) return -1;
    PyObject *found = nullptr;
    int r = PyDict_GetItemRef(dict.get(), name, &found);
    if (r < 0) return -1;
    if (r == 0) continue;
    out.func = Ref::steal(found);
    out.userlist = found == st->base_func[b];
    return 0;
  }
  PyErr_Format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
  return -1;
}

// The instance reads and writes attributes the generic way and its class
// defines no `data`, so self.data is the instance dict's entry. Decided where
// it is used, after whatever ran before; the type lookup may run class-dict
// keys' __eq__, so the slots are read after it.
bool plain_instance(const State *st, PyObject *self) {
  PyTypeObject *tp = Py_TYPE(self);
  if (capi::lookup_on_type(tp, st->str_data) != nullptr) return false;
  return tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_setattro == PyObject_GenericSetAttr;
}

// super(GhostSeq, self).<name>(*args, **kw) with what super_find found.
Ref super_call(const Super &s, PyObject *self, PyObject *const *args, size_t nargs, PyObject *kwnames = nullptr) {
  PyObject *func = s.func.get();
  size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  if (PyFunction_Check(func) || Py_IS_TYPE(func, &PyMethodDescr_Type)) {
    PyObject *argv[8];
    if (nargs + nkw + 1 > 8) {
      PyErr_SetString(PyExc_SystemError, "too many arguments for a base call");
      return {};
    }
    argv[0] = self;
    for (size_t k = 0; k < nargs + nkw; ++k) argv[k + 1] = args[k];
    return Ref::steal(PyObject_Vectorcall(func, argv, nargs + 1, kwnames));
  }
  Ref bound;
  if (descrgetfunc get = Py_TYPE(func)->tp_descr_get) {
    bound = Ref::steal(get(func, self, reinterpret_cast<PyObject *>(Py_TYPE(self))));
    if (!bound) return {};
  } else {
    bound = s.func.dup();
  }
  return Ref::steal(PyObject_Vectorcall(bound.get(), args, nargs, kwnames));
}

template <class... T>
Ref super_call_args(const Super &s, PyObject *self, T... args) {
  PyObject *argv[] = {static_cast<PyObject *>(args)...};
  return super_call(s, self, argv, sizeof...(T));
}

// self.data when the base operation may be done on it here: UserList's own
// function on a plain instance whose data is an exact list. 1: `data` is set;
// 0: call the base function instead (`data` may be set: it was read and is not
// an exact list); -1: error. Nothing that runs Python code may come between
// this and the operation on `data` that it stands for.
int native_data(const Ctx &ctx, PyObject *self, const Super &s, Ref &data) {
  if (!s.userlist || !plain_instance(ctx.st, self)) return 0;
  data = Ref::steal(PyObject_GetAttr(self, ctx.st->str_data));
  if (!data) return -1;
  return PyList_CheckExact(data.get()) ? 1 : 0;
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
  PyObject *target_ = nullptr;  // value's object when value is a live reference (borrowed)
  bool target_plain_ = false;   // ... and its class has no comparison methods

  // After any comparison that ran Python code the value's object may be gone.
  void refresh() {
    target_ = value_ref_ ? referent(value_) : nullptr;
    target_plain_ = target_ != nullptr && Py_TYPE(target_)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
  }

 public:
  explicit EntryMatcher(PyObject *value) : value_(value), value_ref_(is_exact_ref(value)) { refresh(); }

  int equals(PyObject *entry) {
    if (entry == value_) return 1;
    if (value_ref_ && is_exact_ref(entry)) {
      if (target_ == nullptr) return 0;  // a dead value equals only itself
      PyObject *obj = referent(entry);
      if (obj == nullptr) return 0;
      if (target_plain_ && Py_TYPE(obj)->tp_richcompare == PyBaseObject_Type.tp_richcompare) return obj == target_;
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

// Where the last dead entry was found: members tend to die in runs (in list
// order or in reverse), so the next one is looked for next to it first. Only
// a starting point; any value is correct. Kept across calls because it pays:
// 2,000 members dying last entry first cost 9.5M instructions with it and
// 15.8M without (callgrind, release build), and the gap grows with the size.
std::atomic<Py_ssize_t> removal_hint{0};

// The first position in items[from, to) that holds `ref`, or -1. This scan
// runs once per death, so it compares eight pointers per step with a single
// branch (with SSE2: a 64-bit lane matches when both of its halves do).
Py_ssize_t find_pointer(PyObject *const *items, Py_ssize_t from, Py_ssize_t to, const PyObject *ref) {
  Py_ssize_t i = from;
#if defined(__SSE2__)
  const __m128i needle = _mm_set1_epi64x(static_cast<long long>(reinterpret_cast<intptr_t>(ref)));
  auto lanes = [&](Py_ssize_t at) {
    __m128i halves = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(items + at)), needle);
    return _mm_and_si128(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(2, 3, 0, 1)));
  };
  for (; i + 8 <= to; i += 8) {
    __m128i any = _mm_or_si128(_mm_or_si128(lanes(i), lanes(i + 2)), _mm_or_si128(lanes(i + 4), lanes(i + 6)));
    if (_mm_movemask_epi8(any) != 0) break;
  }
#else
  for (; i + 8 <= to; i += 8) {
    bool any = (items[i] == ref) | (items[i + 1] == ref) | (items[i + 2] == ref) | (items[i + 3] == ref) |
               (items[i + 4] == ref) | (items[i + 5] == ref) | (items[i + 6] == ref) | (items[i + 7] == ref);
    if (any) break;
  }
#endif
  for (; i < to; ++i)
    if (items[i] == ref) return i;
  return -1;
}

// The position of the dead reference `ref` in `data`, found by identity (a
// dead reference equals only itself, so no comparison is made), or -1.
// Runs of deaths land next to the previous one, in either direction, so a
// few places around the hint are looked at first, then the whole list.
// The first copy is the one to take out; a second copy of the same reference
// object is possible only when its count allows it (the caller holds one, each
// copy in data one more), and only then is the front of the list checked too.
Py_ssize_t find_dead(PyObject *data, PyObject *ref) {
  Py_ssize_t n = PyList_GET_SIZE(data);
  if (n == 0) return -1;
  PyObject *const *items = reinterpret_cast<PyListObject *>(data)->ob_item;
  Py_ssize_t h = removal_hint.load(std::memory_order_relaxed);
  if (h >= n) h = n - 1;
  if (h < 0) h = 0;
  Py_ssize_t lo = h >= 8 ? h - 8 : 0, hi = h + 9 <= n ? h + 9 : n;
  Py_ssize_t found = find_pointer(items, lo, hi, ref);
  if (found < 0) found = find_pointer(items, 0, n, ref);
  if (found < 0) return -1;
  if (Py_REFCNT(ref) > 2 && found > 0) {  // one held by the caller, one by data
    Py_ssize_t earlier = find_pointer(items, 0, found, ref);
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

void iter_dealloc(PyObject *self) {
  PyTypeObject *tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  iter_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
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
    {Py_tp_dealloc, reinterpret_cast<void *>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(iter_next)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "dravix.datastructures.ghostseq.ghostseq_iterator",
    sizeof(Iter),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iter_slots,
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
  PyObject *argv[1];
  if (capi::parse_args({"__init__", {"items"}, 0}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  Weak w;
  Super base;
  if (ctx_of(self, ctx) < 0 || super_find(ctx, self, B_INIT, base) < 0 || weak_init(ctx, w) < 0) return nullptr;
  Ref empty;
  PyObject *items = argv[0];
  if (items == nullptr) {
    empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    items = empty.get();
  }
  Wrapped wrapped;
  if (wrap_all(ctx, w, self, items, wrapped) < 0) return nullptr;
  if (base.userlist && plain_instance(ctx.st, self)) {
    // UserList.__init__ with a list: data becomes a new list of its elements.
    if (PyObject_SetAttr(self, ctx.st->str_data, wrapped.entries.get()) < 0) return nullptr;
  } else if (!super_call_args(base, self, wrapped.entries.get())) {
    return nullptr;
  }
  release(wrapped);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

// `in`, index and count: the base method with a probe for item.
PyObject *search(PyObject *self, PyObject *item, Base which) {
  Ctx ctx;
  Weak w;
  Super base;
  if (ctx_of(self, ctx) < 0 || super_find(ctx, self, which, base) < 0 || weak_init(ctx, w) < 0) return nullptr;
  Ref probe = weak_make(w, item, nullptr);
  if (!probe) return nullptr;
  Ref data;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  if (direct == 0) return super_call_args(base, self, probe.get()).release();
  Py_ssize_t at = scan(data.get(), probe.get(), which == B_COUNT);
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
  PyObject *argv[1];
  if (capi::parse_args({"__contains__", {"item"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  return search(self, argv[0], B_CONTAINS);
}

PyDoc_STRVAR(ghostseq_getitem_doc,
             "__getitem__($self, /, index)\n--\n\n"
             "The object at index (None for a dead entry), or for a slice a new instance\n"
             "of the same class holding the objects of that slice.");

PyObject *ghostseq_getitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"__getitem__", {"index"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  if (ctx_of(self, ctx) < 0) return nullptr;
  PyObject *index = argv[0];
  if (PySlice_Check(index)) {
    // self.__class__(ref() for ref in self.data[index])
    Ref cls = Ref::steal(PyObject_GetAttr(self, ctx.st->str_class));
    if (!cls) return nullptr;
    Ref data = Ref::steal(PyObject_GetAttr(self, ctx.st->str_data));
    if (!data) return nullptr;
    Ref part = Ref::steal(PyObject_GetItem(data.get(), index));
    if (!part) return nullptr;
    Ref objects = iter_new(ctx.st, nullptr, part.get());
    if (!objects) return nullptr;
    return capi::call(cls.get(), objects.get()).release();
  }
  Super base;
  Ref data, entry;
  if (super_find(ctx, self, B_GETITEM, base) < 0) return nullptr;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  // UserList.__getitem__ of a non-slice: self.data[index].
  entry = direct == 1 ? Ref::steal(PyObject_GetItem(data.get(), index)) : super_call_args(base, self, index);
  if (!entry) return nullptr;
  return call_entry(entry.get()).release();
}

PyDoc_STRVAR(ghostseq_setitem_doc,
             "__setitem__($self, /, index, item)\n--\n\n"
             "Store a weak reference to item at index, or for a slice weak references to\n"
             "the objects of the iterable item.");

PyObject *ghostseq_setitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"__setitem__", {"index", "item"}, 2}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  Weak w;
  if (ctx_of(self, ctx) < 0 || weak_init(ctx, w) < 0) return nullptr;
  // The entries are made first, then super().__setitem__ is looked up, as
  // the Python statement `super().__setitem__(index, item)` after them does.
  Wrapped wrapped;
  Ref value, callback;
  bool slice = PySlice_Check(argv[0]);
  if (slice) {
    if (wrap_all(ctx, w, self, argv[1], wrapped) < 0) return nullptr;
    value = wrapped.entries.dup();
  } else {
    callback = Ref::steal(PyObject_GetAttr(self, ctx.st->str_remove));
    if (!callback) return nullptr;
    if (!w.native && !(value = weak_make(w, argv[1], callback.get()))) return nullptr;
  }
  Super base;
  Ref data;
  if (super_find(ctx, self, B_SETITEM, base) < 0) return nullptr;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  if (!value && !(value = make_entry(argv[1], std::move(callback), direct == 1 ? data.get() : nullptr)))
    return nullptr;
  if (direct == 1) {
    if (PyObject_SetItem(data.get(), argv[0], value.get()) < 0) return nullptr;
  } else if (!super_call_args(base, self, argv[0], value.get())) {
    return nullptr;
  }
  value.reset();
  release(wrapped);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(ghostseq_iter_doc,
             "__iter__($self, /)\n--\n\n"
             "Iterate over the objects in order (None for a dead entry). Like a list\n"
             "iterator it walks by position, so entries that leave meanwhile are skipped.");

PyObject *ghostseq_iter(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::parse_args({"__iter__", {}, 0}, args, nargs, kwnames, nullptr) < 0) return nullptr;
  Ctx ctx;
  if (ctx_of(self, ctx) < 0) return nullptr;
  return iter_new(ctx.st, self, nullptr).release();
}

PyDoc_STRVAR(ghostseq_eq_doc,
             "__eq__($self, /, other)\n--\n\n"
             "Compare the list of the objects (None for dead entries) with other.");

PyObject *ghostseq_eq(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"__eq__", {"other"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  // The snapshot holds the objects, so none of them dies during the comparison.
  Ref objects = Ref::steal(PySequence_List(self));
  if (!objects) return nullptr;
  return PyObject_RichCompare(objects.get(), argv[0], Py_EQ);
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
  PyObject *argv[1];
  if (capi::parse_args({"__add__", {"item"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  if (ctx_of(self, ctx) < 0) return nullptr;
  Ref cls = capi::global(ctx.module, ctx.st->str_GhostSeq);
  if (!cls) return nullptr;
  int ok = PyObject_IsInstance(argv[0], cls.get());
  if (ok < 0) return nullptr;
  if (ok == 0) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(argv[0])));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "can only concatenante GhostSeq (not \"%S\") to GhostSeq", name.get());
    return nullptr;
  }
  Ref result = capi::call(cls.get());
  if (!result) return nullptr;
  if (!capi::call_method(result.get(), ctx.st->str_extend, self)) return nullptr;
  if (!capi::call_method(result.get(), ctx.st->str_extend, argv[0])) return nullptr;
  return result.release();
}

PyDoc_STRVAR(ghostseq_iadd_doc,
             "__iadd__($self, /, items)\n--\n\n"
             "Append weak references to the objects of any iterable; return self.");

PyObject *ghostseq_iadd(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"__iadd__", {"items"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  Weak w;
  Super base;
  if (ctx_of(self, ctx) < 0 || super_find(ctx, self, B_IADD, base) < 0 || weak_init(ctx, w) < 0) return nullptr;
  Wrapped wrapped;
  if (wrap_all(ctx, w, self, argv[0], wrapped) < 0) return nullptr;
  Ref data, result;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  if (direct == 1) {
    // UserList.__iadd__ with a list: self.data += items; return self.
    Py_ssize_t n = PyList_GET_SIZE(data.get());
    if (PyList_SetSlice(data.get(), n, n, wrapped.entries.get()) < 0) return nullptr;
    result = Ref::borrow(self);
  } else {
    result = super_call_args(base, self, wrapped.entries.get());
    if (!result) return nullptr;
  }
  release(wrapped);
  if (PyErr_Occurred()) return nullptr;
  return result.release();
}

PyDoc_STRVAR(ghostseq_remove_doc,
             "remove($self, /, item)\n--\n\n"
             "Remove the first entry whose object equals item; item may also be a weak\n"
             "reference, compared as references compare (a dead one matches only itself).\n"
             "This is also the callback of every entry: a dead entry is found by identity.");

PyObject *ghostseq_remove(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"remove", {"item"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  Weak w;
  if (ctx_of(self, ctx) < 0 || weak_init(ctx, w) < 0) return nullptr;
  int is_ref = weak_is_reference(ctx, w, argv[0]);
  if (is_ref < 0) return nullptr;
  Super base;
  if (super_find(ctx, self, B_REMOVE, base) < 0) return nullptr;
  // No extra reference is taken to a reference given in: the caller's own
  // keeps it alive, and find_dead reads its count.
  Ref probe;
  PyObject *value = argv[0];
  if (!is_ref) {
    probe = weak_make(w, argv[0], nullptr);
    if (!probe) return nullptr;
    value = probe.get();
  }
  Ref data;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  if (direct == 0) return super_call_args(base, self, value).release();
  Py_ssize_t at;
  if (is_exact_ref(value) && referent(value) == nullptr) {
    at = find_dead(data.get(), value);
    // Inside GhostSeq.sort the list is empty; the sort calls remove again when it ends.
    if (at < 0 && is_being_sorted(ctx.st, data.get())) Py_RETURN_NONE;
  } else {
    Ref matched;
    at = scan(data.get(), value, false, &matched);
    if (at == -2) return nullptr;
    // The comparison may have run code that moved entries (a member dying
    // takes its entry out): take out the entry that matched, where it is now,
    // not whatever has moved into its old place.
    if (at >= 0 && (at >= PyList_GET_SIZE(data.get()) || PyList_GET_ITEM(data.get(), at) != matched.get())) {
      at = find_pointer(reinterpret_cast<PyListObject *>(data.get())->ob_item, 0, PyList_GET_SIZE(data.get()),
                        matched.get());
      if (at < 0) Py_RETURN_NONE;  // already gone
    }
  }
  if (at < 0) {
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return nullptr;
  }
  if (PyList_SetSlice(data.get(), at, at + 1, nullptr) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(ghostseq_append_doc,
             "append($self, /, item)\n--\n\n"
             "Append a weak reference to item.");

PyObject *ghostseq_append(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"append", {"item"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  Weak w;
  Super base;
  if (ctx_of(self, ctx) < 0 || super_find(ctx, self, B_APPEND, base) < 0 || weak_init(ctx, w) < 0) return nullptr;
  Ref entry;
  Ref callback = Ref::steal(PyObject_GetAttr(self, ctx.st->str_remove));
  if (!callback || (!w.native && !(entry = weak_make(w, argv[0], callback.get())))) return nullptr;
  Ref data;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  if (!entry && !(entry = make_entry(argv[0], std::move(callback), direct == 1 ? data.get() : nullptr)))
    return nullptr;
  if (direct == 1) {
    if (PyList_Append(data.get(), entry.get()) < 0) return nullptr;
  } else if (!super_call_args(base, self, entry.get())) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyDoc_STRVAR(ghostseq_index_doc,
             "index($self, /, item)\n--\n\n"
             "The position of the first entry whose object equals item.");

PyObject *ghostseq_index(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"index", {"item"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  return search(self, argv[0], B_INDEX);
}

PyDoc_STRVAR(ghostseq_count_doc,
             "count($self, /, item)\n--\n\n"
             "The number of entries whose object equals item.");

PyObject *ghostseq_count(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"count", {"item"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  return search(self, argv[0], B_COUNT);
}

PyDoc_STRVAR(ghostseq_pop_doc,
             "pop($self, /, item)\n--\n\n"
             "Remove the entry at position item (negative counts from the end) and return\n"
             "its object (None for a dead entry).");

PyObject *ghostseq_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"pop", {"item"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  Super base;
  if (ctx_of(self, ctx) < 0 || super_find(ctx, self, B_POP, base) < 0) return nullptr;
  Ref data, entry;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  if (direct == 1)
    entry = capi::call_method(data.get(), ctx.st->str_pop, argv[0]);
  else
    entry = super_call_args(base, self, argv[0]);
  if (!entry) return nullptr;
  return call_entry(entry.get()).release();
}

PyDoc_STRVAR(ghostseq_insert_doc,
             "insert($self, /, index, item)\n--\n\n"
             "Insert a weak reference to item before position index.");

PyObject *ghostseq_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"insert", {"index", "item"}, 2}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  Weak w;
  Super base;
  if (ctx_of(self, ctx) < 0 || super_find(ctx, self, B_INSERT, base) < 0 || weak_init(ctx, w) < 0) return nullptr;
  Ref entry;
  Ref callback = Ref::steal(PyObject_GetAttr(self, ctx.st->str_remove));
  if (!callback || (!w.native && !(entry = weak_make(w, argv[1], callback.get())))) return nullptr;
  Ref data;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  if (!entry && !(entry = make_entry(argv[1], std::move(callback), direct == 1 ? data.get() : nullptr)))
    return nullptr;
  Ref done = direct == 1 ? capi::call_method(data.get(), ctx.st->str_insert, argv[0], entry.get())
                         : super_call_args(base, self, argv[0], entry.get());
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(ghostseq_extend_doc,
             "extend($self, /, items)\n--\n\n"
             "Append weak references to the objects of any iterable. All references are made\n"
             "before the list changes, so extending an instance with itself doubles it once.");

PyObject *ghostseq_extend(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"extend", {"items"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  Weak w;
  Super base;
  if (ctx_of(self, ctx) < 0 || super_find(ctx, self, B_EXTEND, base) < 0 || weak_init(ctx, w) < 0) return nullptr;
  Wrapped wrapped;
  if (wrap_all(ctx, w, self, argv[0], wrapped) < 0) return nullptr;
  Ref data;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  if (direct == 1) {
    Py_ssize_t n = PyList_GET_SIZE(data.get());
    if (PyList_SetSlice(data.get(), n, n, wrapped.entries.get()) < 0) return nullptr;
  } else if (!super_call_args(base, self, wrapped.entries.get())) {
    return nullptr;
  }
  release(wrapped);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

// The key function handed to list.sort: entry() or key(entry()). Its `self`
// is the caller's key, or None for none.
PyObject *sort_key(PyObject *key, PyObject *entry) {
  Ref obj = call_entry(entry);
  if (!obj || key == Py_None) return obj.release();
  return capi::call(key, obj.get()).release();
}

PyMethodDef sort_key_def = {"sort_key", sort_key, METH_O, nullptr};

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

// self.remove(entry) for each entry, as the entry's callback would have
// called it: an exception it raises is reported as unraisable, as the
// interpreter reports one raised by a callback.
void call_remove_for(const Ctx &ctx, PyObject *self, PyObject *entries) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(entries, i));
    Ref remove = Ref::steal(PyObject_GetAttr(self, ctx.st->str_remove));
    if (!remove) {
      PyErr_WriteUnraisable(self);
      continue;
    }
    Ref done = capi::call(remove.get(), entry.get());
    if (!done) PyErr_WriteUnraisable(remove.get());
  }
}

PyDoc_STRVAR(ghostseq_sort_doc,
             "sort($self, /, key=None, reverse=False)\n--\n\n"
             "Sort the entries in place by their objects, or by key applied to them; stable.\n"
             "While the list is being sorted it is empty, so an entry whose object dies\n"
             "meanwhile cannot leave; when the sort ends, self.remove is called for it.");

PyObject *ghostseq_sort(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"sort", {"key", "reverse"}, 0}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ctx ctx;
  Super base;
  if (ctx_of(self, ctx) < 0 || super_find(ctx, self, B_SORT, base) < 0) return nullptr;
  Ref keyfunc = Ref::steal(PyCFunction_NewEx(&sort_key_def, argv[0] ? argv[0] : Py_None, nullptr));
  if (!keyfunc) return nullptr;
  PyObject *reverse = argv[1] ? argv[1] : Py_False;
  // The list the sort is about to sort, read now (the base sort reads the
  // same attribute): entries of it that die while it is sorted are noticed
  // when it ends. Those already dead stay, as whatever kept them decided.
  Ref data;
  int direct = native_data(ctx, self, base, data);
  if (direct < 0) return nullptr;
  if (!data && !(data = Ref::steal(PyObject_GetAttr(self, ctx.st->str_data)))) return nullptr;
  PyObject *watched = PyList_CheckExact(data.get()) ? data.get() : nullptr;
  DeadEntries dead_before;
  if (watched != nullptr && collect_dead(watched, nullptr, dead_before) < 0) return nullptr;
  Ref done;
  {
    SortingMark mark(ctx.st, watched);
    if (!mark) return nullptr;
    if (direct == 1) {
      PyObject *call_args[] = {data.get(), keyfunc.get(), reverse};
      done = Ref::steal(PyObject_VectorcallMethod(ctx.st->str_sort, call_args,
                                                  1 | PY_VECTORCALL_ARGUMENTS_OFFSET, ctx.st->kw_sort));
    } else {
      PyObject *call_args[] = {keyfunc.get(), reverse};
      done = super_call(base, self, call_args, 0, ctx.st->kw_sort);
    }
  }
  if (watched == nullptr) return done ? Py_NewRef(Py_None) : nullptr;
  // The outcome of the sort is what the caller sees; the removals run in
  // between, with no exception set, as callbacks would.
  PyObject *failure = PyErr_GetRaisedException();
  DeadEntries died;
  if (collect_dead(watched, &dead_before, died) < 0) {
    if (failure == nullptr) return nullptr;
    PyErr_WriteUnraisable(self);
  } else if (died.list) {
    call_remove_for(ctx, self, died.list.get());
  }
  if (failure != nullptr) {
    PyErr_SetRaisedException(failure);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// "GhostSeq([" + ", ".join(render(obj) for obj in self) + "])"
PyObject *render(PyObject *self, PyObject *(*each)(PyObject *)) {
  Ctx ctx;
  if (ctx_of(self, ctx) < 0) return nullptr;
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
  Ref joined = Ref::steal(PyUnicode_Join(ctx.st->str_comma, parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("GhostSeq([%U])", joined.get());
}

PyDoc_STRVAR(ghostseq_repr_doc,
             "__repr__($self, /)\n--\n\n"
             "GhostSeq([...]) with the repr() of each object.");

PyObject *ghostseq_repr(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::parse_args({"__repr__", {}, 0}, args, nargs, kwnames, nullptr) < 0) return nullptr;
  return render(self, PyObject_Repr);
}

PyDoc_STRVAR(ghostseq_str_doc,
             "__str__($self, /)\n--\n\n"
             "GhostSeq([...]) with the str() of each object.");

PyObject *ghostseq_str(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::parse_args({"__str__", {}, 0}, args, nargs, kwnames, nullptr) < 0) return nullptr;
  return render(self, PyObject_Str);
}

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

PyDoc_STRVAR(ghostseq_imul_doc,
             "__imul__($self, n, /)\n--\n\n"
             "Repeat the objects n times in place; return self. Every repetition gets\n"
             "entries of its own, so each copy leaves when its object dies.");

PyObject *ghostseq_imul(PyObject *self, PyObject *n) {
  Ctx ctx;
  if (ctx_of(self, ctx) < 0) return nullptr;
  Ref data = Ref::steal(PyObject_GetAttr(self, ctx.st->str_data));
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
    if (result.get() != data.get() && PyObject_SetAttr(self, ctx.st->str_data, result.get()) < 0) return nullptr;
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

PyDoc_STRVAR(ghostseq_rmul_doc,
             "__rmul__($self, n, /)\n--\n\n"
             "n * self: the same as self * n.");

PyDoc_STRVAR(ghostseq_radd_doc,
             "__radd__($self, other, /)\n--\n\n"
             "other + self: a new instance of the same class holding the objects of other,\n"
             "then those of self.");

// self.__class__(live objects * n), which is what UserList's self.__class__(self.data * n)
// means for a list that holds weak references: each copy gets entries of its own.
PyObject *ghostseq_mul(PyObject *self, PyObject *n) {
  Ctx ctx;
  if (ctx_of(self, ctx) < 0) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(self, ctx.st->str_class));
  if (!cls) return nullptr;
  Ref data = Ref::steal(PyObject_GetAttr(self, ctx.st->str_data));
  if (!data) return nullptr;
  Ref objects = live_objects(data.get());
  if (!objects) return nullptr;
  Ref repeated = Ref::steal(PyNumber_Multiply(objects.get(), n));
  if (!repeated) return nullptr;
  return capi::call(cls.get(), repeated.get()).release();
}

// other + self as UserList.__radd__ builds it, with the live objects in place
// of self.data: self.__class__(other + objects) when other is of data's type,
// else self.__class__(list(other) + objects).
PyObject *ghostseq_radd(PyObject *self, PyObject *other) {
  Ctx ctx;
  if (ctx_of(self, ctx) < 0) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(self, ctx.st->str_class));
  if (!cls) return nullptr;
  Ref data = Ref::steal(PyObject_GetAttr(self, ctx.st->str_data));
  if (!data) return nullptr;
  Ref objects = live_objects(data.get());
  if (!objects) return nullptr;
  int same = PyObject_IsInstance(other, reinterpret_cast<PyObject *>(Py_TYPE(data.get())));
  if (same < 0) return nullptr;
  Ref left = same ? Ref::borrow(other) : Ref::steal(PySequence_List(other));
  if (!left) return nullptr;
  Ref combined = Ref::steal(PyNumber_Add(left.get(), objects.get()));
  if (!combined) return nullptr;
  return capi::call(cls.get(), combined.get()).release();
}

// A new instance of self's class with self's attributes, whose `data` holds
// entries of its own (callbacks bound to the new instance) for the objects of
// self's live entries. `memo`: deep copy (attributes other than data are deep
// copied; the objects themselves are not, since nothing else would keep such
// copies alive); nullptr: shallow copy.
PyObject *copy_instance(PyObject *self, PyObject *memo) {
  Ctx ctx;
  Weak w;
  if (ctx_of(self, ctx) < 0 || weak_init(ctx, w) < 0) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(self, ctx.st->str_class));
  if (!cls) return nullptr;
  Ref inst = capi::call_method(cls.get(), ctx.st->str_new, cls.get());
  if (!inst) return nullptr;
  Ref deepcopy;
  if (memo != nullptr) {
    Ref key = Ref::steal(PyLong_FromVoidPtr(self));
    if (!key || PyObject_SetItem(memo, key.get(), inst.get()) < 0) return nullptr;
    Ref copy_module = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy_module) return nullptr;
    deepcopy = Ref::steal(PyObject_GetAttr(copy_module.get(), ctx.st->str_deepcopy));
    if (!deepcopy) return nullptr;
  }
  Ref src = Ref::steal(PyObject_GetAttr(self, ctx.st->str_dict));
  if (!src) return nullptr;
  Ref dst = Ref::steal(PyObject_GetAttr(inst.get(), ctx.st->str_dict));
  if (!dst) return nullptr;
  // for name, value in self.__dict__.items(): unpacked and walked as a
  // Python loop would (a dict that changes meanwhile raises RuntimeError).
  Ref items = capi::call_method(src.get(), ctx.st->str_items);
  if (!items) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(items.get()));
  if (!it) return nullptr;
  Ref data;
  while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
    Ref kv[2];
    if (capi::unpack_exact(pair.get(), kv, 2) < 0) return nullptr;
    int is_data = PyObject_RichCompareBool(kv[0].get(), ctx.st->str_data, Py_EQ);
    if (is_data < 0) return nullptr;
    if (is_data) {
      data = std::move(kv[1]);
      continue;
    }
    Ref copied = memo != nullptr ? capi::call(deepcopy.get(), kv[1].get(), memo) : std::move(kv[1]);
    if (!copied || PyObject_SetItem(dst.get(), kv[0].get(), copied.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref objects = data ? live_objects(data.get()) : Ref::steal(PyList_New(0));
  if (!objects) return nullptr;
  Wrapped wrapped;
  if (wrap_all(ctx, w, inst.get(), objects.get(), wrapped) < 0) return nullptr;
  if (PyObject_SetItem(dst.get(), ctx.st->str_data, wrapped.entries.get()) < 0) return nullptr;
  release(wrapped);
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

#define GHOSTSEQ_METHOD(name, func) {name, capi::as_cfunc(func), METH_FASTCALL | METH_KEYWORDS, func##_doc}

PyMethodDef ghostseq_methods[] = {
    GHOSTSEQ_METHOD("__init__", ghostseq_init),
    GHOSTSEQ_METHOD("__contains__", ghostseq_contains),
    GHOSTSEQ_METHOD("__getitem__", ghostseq_getitem),
    GHOSTSEQ_METHOD("__setitem__", ghostseq_setitem),
    GHOSTSEQ_METHOD("__iter__", ghostseq_iter),
    GHOSTSEQ_METHOD("__eq__", ghostseq_eq),
    GHOSTSEQ_METHOD("__reversed__", ghostseq_reversed),
    GHOSTSEQ_METHOD("__add__", ghostseq_add),
    GHOSTSEQ_METHOD("__iadd__", ghostseq_iadd),
    GHOSTSEQ_METHOD("remove", ghostseq_remove),
    GHOSTSEQ_METHOD("append", ghostseq_append),
    GHOSTSEQ_METHOD("index", ghostseq_index),
    GHOSTSEQ_METHOD("count", ghostseq_count),
    GHOSTSEQ_METHOD("pop", ghostseq_pop),
    GHOSTSEQ_METHOD("insert", ghostseq_insert),
    GHOSTSEQ_METHOD("extend", ghostseq_extend),
    GHOSTSEQ_METHOD("sort", ghostseq_sort),
    GHOSTSEQ_METHOD("__repr__", ghostseq_repr),
    GHOSTSEQ_METHOD("__str__", ghostseq_str),
    {"__imul__", capi::as_cfunc(ghostseq_imul), METH_O, ghostseq_imul_doc},
    {"__mul__", capi::as_cfunc(ghostseq_mul), METH_O, ghostseq_mul_doc},
    {"__rmul__", capi::as_cfunc(ghostseq_mul), METH_O, ghostseq_rmul_doc},
    {"__radd__", capi::as_cfunc(ghostseq_radd), METH_O, ghostseq_radd_doc},
    {"__copy__", capi::as_cfunc(ghostseq_copy), METH_NOARGS, ghostseq_copy_doc},
    {"__deepcopy__", capi::as_cfunc(ghostseq_deepcopy), METH_O, ghostseq_deepcopy_doc},
    {nullptr, nullptr, 0, nullptr},
};

#undef GHOSTSEQ_METHOD

// --- module -----------------------------------------------------------------

int intern_all(State *st) {
  struct {
    PyObject **slot;
    const char *text;
  } names[] = {
      {&st->str_weakref, "weakref"}, {&st->str_ref, "ref"},       {&st->str_ReferenceType, "ReferenceType"},
      {&st->str_GhostSeq, "GhostSeq"}, {&st->str_data, "data"},   {&st->str_remove, "remove"},
      {&st->str_class, "__class__"}, {&st->str_extend, "extend"}, {&st->str_pop, "pop"},
      {&st->str_insert, "insert"},   {&st->str_sort, "sort"},       {&st->str_new, "__new__"},
      {&st->str_dict, "__dict__"},   {&st->str_deepcopy, "deepcopy"}, {&st->str_items, "items"},
  };
  for (auto &n : names) {
    *n.slot = capi::intern(n.text);
    if (*n.slot == nullptr) return -1;
  }
  for (int b = 0; b < B_N; ++b) {
    st->base_name[b] = capi::intern(base_names[b]);
    if (st->base_name[b] == nullptr) return -1;
  }
  st->str_comma = PyUnicode_FromString(", ");
  st->kw_sort = Py_BuildValue("(ss)", "key", "reverse");
  st->sorting = PyList_New(0);
  return (st->str_comma && st->kw_sort && st->sorting) ? 0 : -1;
}

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (intern_all(st) < 0) return -1;

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
  for (int b = 0; b < B_N; ++b) {
    if (PyDict_GetItemRef(userlist_dict.get(), st->base_name[b], &st->base_func[b]) < 0) return -1;
  }

  st->iter_type = PyType_FromModuleAndSpec(module, &iter_spec, nullptr);
  if (st->iter_type == nullptr) return -1;

  Ref bases = capi::tuple_of(st->userlist);
  Ref attrs = Ref::steal(PyDict_New());
  if (!bases || !attrs || PyDict_SetItemString(attrs.get(), "__hash__", Py_None) < 0) return -1;
  Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(Py_TYPE(st->userlist)), "GhostSeq", bases.get(),
                             ghostseq_doc, attrs.get());
  if (!cls || capi::install_methods(cls.get(), ghostseq_methods) < 0) return -1;
  if (capi::update_abstract_methods(cls.get()) < 0) return -1;
  st->cls = Py_NewRef(cls.get());
  if (capi::add_global(module, "GhostSeq", cls.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyDoc_STRVAR(module_doc, "A list of weak references whose entries leave by themselves when their objects are reclaimed.");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dravix.datastructures.ghostseq",
    module_doc,
    sizeof(State),
    nullptr,
    module_slots,
    capi::state_traverse<State>,
    capi::state_clear<State>,
    capi::state_free<State>,
};

}  // namespace

PyMODINIT_FUNC PyInit_ghostseq(void) { return PyModuleDef_Init(&module_def); }
