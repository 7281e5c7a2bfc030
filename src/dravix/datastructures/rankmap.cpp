// dravix.datastructures.rankmap: a mutable mapping with a movable key order.
//
//   m = RankMap([('a', 1), ('b', 2)], c=3)   # order a, b, c
//   m.insert('d', 4, 1)                      # order a, d, b, c
//   m.move('c', 0)                           # order c, a, d, b
//
//   RankMap.__init__     rankmap_init      _data = {}, _order = [], then self.update(*args, **kwargs)
//   RankMap.__getitem__  rankmap_getitem   _data[name] (m[k] on RankMap itself: rankmap_subscript)
//   RankMap.__setitem__  rankmap_setitem   stores the value; a new key goes last in the order
//   RankMap.__delitem__  rankmap_delitem   takes the key out of _data and _order
//   RankMap.__iter__     rankmap_iter      iter(_order)
//   RankMap.items        rankmap_items     [(k, _data[k]) for k in _order]
//   RankMap.clear        rankmap_clear     new empty _data and _order
//   RankMap.copy         rankmap_copy      type(self)(self.items())
//   RankMap.insert       rankmap_insert    a new key at a position of the order
//   RankMap.move         rankmap_move      an existing key to a position of the order
//   RankMap.keys         rankmap_keys      _order itself
//   RankMap.values       rankmap_values    [self[k] for k in self]
//   RankMap.update       rankmap_update    self[k] = v for each pair, then for each keyword
//   RankMap.__repr__     rankmap_repr      Name([(k, v), ...])
//   RankMap.__len__      rankmap_len       len(_order)
//   RankMap.__eq__       rankmap_eq        _data == other._data and _order == other._order
//   RankMap.fromkeys     rankmap_fromkeys  cls(), then made[k] = value for each key
//
// The values live in the plain dict `_data`, the order in the plain list
// `_order`, which holds every key of `_data` once. Both are ordinary instance
// attributes, read on every call (code may replace them). When they are the
// exact built-in types the methods work on them directly; otherwise they go
// through the objects' own operations. Membership of a key is decided by
// `_data`, so no operation but deletion and `move` searches the list.
//
// Every operation leaves `_data` and `_order` holding the same keys when it
// fails: keys are checked (hashed), positions converted and the order list
// searched before anything is changed, and a step that cannot be completed is
// undone. Python code that runs in the middle of an operation (a key's
// __hash__ or __eq__, a position's __index__, a __del__) and changes the map
// through its methods leaves it consistent too.
#include "capi.hpp"
#include "unpack.hpp"

#include <atomic>
#include <cstring>

namespace {

using capi::Ref;

struct State {
  // Interned names.
  PyObject *str_data, *str_order, *str_update, *str_items, *str_append, *str_insert, *str_pop, *str_remove,
      *str_index, *str_class, *str_name, *str_getitem, *str_setitem, *str_iter;
  // RankMap's methods as installed, to see whether a class still has them.
  PyObject *our_getitem, *our_setitem, *our_iter;
  PyObject *RankMap;  // the class (its mp_subscript is rankmap_subscript, see there)
};

extern PyModuleDef module_def;

inline State *state_of(PyObject *self) { return capi::state_of<State>(self, &module_def); }

// --- helpers ------------------------------------------------------------------

// self._data and self._order are read on every call, as Python code reads
// them: from the instance dict where the generic read can be told to find them
// there (capi::instance_attribute; __init__ stores _data first, _order
// second), else by the generic read itself. (Release build, make bench-instr:
// m[k] on a 1,000-key map costs 559 instructions this way, 641 through
// PyObject_GetAttr; m[k] = v of a new key 1,295 and 1,459.)
[[gnu::always_inline]] inline PyObject *read_attr(PyObject *self, PyObject *name, Py_ssize_t place) {
  PyObject *value = capi::instance_attribute(self, name, place);
  return value != nullptr ? Py_NewRef(value) : PyObject_GetAttr(self, name);
}

// self._data and self._order: new references, or nullptr with the error set.
inline PyObject *data_of(PyObject *self, State *st) { return read_attr(self, st->str_data, 0); }
inline Ref get_data(PyObject *self, State *st) { return Ref::steal(data_of(self, st)); }
inline Ref get_order(PyObject *self, State *st) { return Ref::steal(read_attr(self, st->str_order, 1)); }

// self._data, then self._order: 0, or -1 with the error set.
int get_both(PyObject *self, State *st, Ref *data, Ref *order) {
  *data = get_data(self, st);
  if (!*data) return -1;
  *order = get_order(self, st);
  return *order ? 0 : -1;
}

// self._order for the methods that need nothing else.
Ref order_of(PyObject *self) {
  State *st = state_of(self);
  return st ? get_order(self, st) : Ref();
}

// The count of the changes this module's methods make that can take a key
// out of the map from under a store in progress: deletions from _data and
// replacements of the two containers (by any map, in any interpreter; a
// change elsewhere only sends a store the slow way). A store reads it before
// and after the lookups that run Python code (the key's __hash__, other keys'
// __eq__) to tell whether such a change ran in between; no call trusts a value
// another call left. The sound alternative reads _data and _order again
// after every store of an existing key (place_key_again every time):
// measured on a release build (make bench-instr), m[k] = v of an existing key
// costs 1,396 instructions that way and 1,111 with the count (20 %).
std::atomic<unsigned long long> structural_changes{0};
inline unsigned long long changes_so_far() { return structural_changes.load(std::memory_order_relaxed); }
inline void count_change() { structural_changes.fetch_add(1, std::memory_order_relaxed); }

// Whether type(self) still has our method for `name` (`ours`, the descriptor
// installed on RankMap), for an operation that asks before every use of the
// method because Python code runs in between (keys' __hash__ and __eq__, an
// iterable): the type is asked again only when it may have changed since the
// last answer. The interpreter gives a class a new version tag, or none (0),
// whenever the class or one of its bases is modified, and never gives one tag
// to two classes; self's class is compared too, since __class__ can be
// assigned. It lives for one call. Asking the type every time costs values()
// of 1,000 keys a third more (274 k instructions instead of 207 k) and
// RankMap(pairs) 4 %.
class MethodIsOurs {
  PyObject *self_, *name_, *ours_;
  PyTypeObject *type_ = nullptr;
  unsigned int tag_ = 0;
  bool answer_ = false;

 public:
  MethodIsOurs(PyObject *self, PyObject *name, PyObject *ours) : self_(self), name_(name), ours_(ours) {}
  bool operator()() {
    PyTypeObject *tp = Py_TYPE(self_);
    if (tp != type_ || tag_ == 0 || tp->tp_version_tag != tag_) {
      answer_ = capi::method_is_ours(tp, name_, ours_);
      type_ = tp;
      tag_ = tp->tp_version_tag;  // the lookup gives the class a tag when it can have one
    }
    return answer_;
  }
};

// key in mapping: the dict's own lookup for an exact dict, else the `in` operator.
inline int contains(PyObject *data, PyObject *key) {
  return PyDict_CheckExact(data) ? PyDict_Contains(data, key) : PySequence_Contains(data, key);
}

// Equality of two keys where it can be told without a comparison call:
// 1 equal, 0 unequal, -1 unknown. Exact strs whose cached hashes differ are
// unequal; exact ints that fit a machine word compare by value. Deletion and
// `move` search the order list with it, so a search over string or integer
// keys touches little more than the list and the keys themselves.
inline int quick_equal(PyObject *a, PyObject *b) {
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
    Py_hash_t ha = reinterpret_cast<PyASCIIObject *>(a)->hash;
    Py_hash_t hb = reinterpret_cast<PyASCIIObject *>(b)->hash;
    return (ha != -1 && hb != -1 && ha != hb) ? 0 : -1;
  }
  if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
    auto *la = reinterpret_cast<PyLongObject *>(a);
    auto *lb = reinterpret_cast<PyLongObject *>(b);
    if (PyUnstable_Long_IsCompact(la) && PyUnstable_Long_IsCompact(lb))
      return PyUnstable_Long_CompactValue(la) == PyUnstable_Long_CompactValue(lb);
  }
  return -1;
}

// Index of the element of the exact list that is `item` itself, looked for
// first at `hint`; -1 when it is not there. Runs no Python code. Kept out of
// line, so that the search loops that call it stay tight.
[[gnu::noinline]] Py_ssize_t find_identical(PyObject *list, PyObject *item, Py_ssize_t hint) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (hint < n && PyList_GET_ITEM(list, hint) == item) return hint;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyList_GET_ITEM(list, i) == item) return i;
  return -1;
}

// Index of the first element of the exact list that equals key (compared the
// way list.index compares), -1 when there is none, -2 with an error set; the
// element found is put in *found. Comparisons may run Python code that changes
// the list: the size is read again on every step, an element is held while it
// is compared, and the index returned is where that element is afterwards.
Py_ssize_t find_first_equal(PyObject *list, PyObject *key, Ref *found) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject *item = PyList_GET_ITEM(list, i);
    if (item != key) {
      int equal = quick_equal(item, key);
      if (equal == 0) continue;
      if (equal < 0) {
        Ref hold = Ref::borrow(item);
        equal = PyObject_RichCompareBool(item, key, Py_EQ);
        if (equal < 0) return -2;
        if (equal == 0) continue;
        *found = std::move(hold);
        return find_identical(list, item, i);
      }
    }
    *found = Ref::borrow(item);
    return i;
  }
  return -1;
}

// A position as list.insert reads it: anything with __index__, as a C index.
// Raises the interpreter's TypeError or OverflowError, as list.insert would.
// The converted int is kept in *as_int for the general path.
int to_position(PyObject *position, Py_ssize_t *out, Ref *as_int) {
  Ref index = Ref::steal(PyNumber_Index(position));
  if (!index) return -1;
  Py_ssize_t value = PyLong_AsSsize_t(index.get());
  if (value == -1 && PyErr_Occurred()) return -1;
  *out = value;
  *as_int = std::move(index);
  return 0;
}

// del data[key], for the undo of a store.
inline int remove_key(PyObject *data, PyObject *key) {
  count_change();
  return PyDict_CheckExact(data) ? PyDict_DelItem(data, key) : PyObject_DelItem(data, key);
}

// After a store of an existing key during whose lookups a deletion or a
// replacement ran: that code may have taken the key out, and the store then
// put it back as a new key, which needs its place in the order. The map's own
// methods keep the two sizes equal, so a dict that is still the map's and
// holds one key more than the order list got it from this store.
int place_key_again(PyObject *self, State *st, PyObject *data, PyObject *key) {
  Ref now = get_data(self, st);
  if (!now) return -1;
  if (now.get() != data) return 0;
  Ref order = get_order(self, st);
  if (!order) return -1;
  if (!PyList_CheckExact(order.get()) || PyDict_GET_SIZE(data) != PyList_GET_SIZE(order.get()) + 1) return 0;
  return PyList_Append(order.get(), key);
}

// The body of __setitem__: a new key goes last, an existing one keeps its
// place. The value is stored first and the key appended after, so a key the
// dict refuses (unhashable) changes nothing, and a failed append is undone.
int rankmap_store(PyObject *self, State *st, PyObject *key, PyObject *value) {
  Ref data = get_data(self, st);
  if (!data) return -1;
  PyObject *d = data.get();
  const unsigned long long before = changes_so_far();
  if (PyDict_CheckExact(d)) {
    // One lookup for a new key: inserted (0) or already there (1).
    int present = PyDict_SetDefaultRef(d, key, value, nullptr);
    if (present < 0) return -1;
    if (present > 0) {
      if (PyDict_SetItem(d, key, value) < 0) return -1;
      return changes_so_far() == before ? 0 : place_key_again(self, st, d, key);
    }
  } else {
    int present = PySequence_Contains(d, key);
    if (present < 0 || PyObject_SetItem(d, key, value) < 0) return -1;
    if (present > 0) return 0;
  }
  // The order list is needed (and read) only for a new key. When the
  // containers were replaced while the key was looked up (clear() called by
  // its __hash__), the key stays in the dict it went into, which is no longer
  // the map's, and the map's order does not get it.
  Ref order = get_order(self, st);
  int appended = order ? 0 : -1;
  if (order && changes_so_far() != before) {
    Ref now = get_data(self, st);
    if (!now) appended = -1;
    else if (now.get() != d) return 0;
  }
  if (appended == 0) {
    if (PyList_CheckExact(order.get())) {
      appended = PyList_Append(order.get(), key);
    } else {
      Ref result = capi::call_method(order.get(), st->str_append, key);
      appended = result ? 0 : -1;
    }
  }
  if (appended < 0) capi::undo_after_failure([&] { return remove_key(d, key); });
  return appended;
}

// self[key] = value as Python code would write it: our body directly while
// type(self) still has RankMap.__setitem__, else through the subscript operator.
inline int assign(PyObject *self, State *st, MethodIsOurs &setitem_ours, PyObject *key, PyObject *value) {
  return setitem_ours() ? rankmap_store(self, st, key, value) : PyObject_SetItem(self, key, value);
}

// self._data = {} and self._order = [], in that order (__init__ and clear).
// Each store releases a replaced container, which can run __del__ of keys and
// values, and such code can change the map half-way: a store made between the
// two puts its key in the new dict and the old list. When anything ran
// (sizes differ, or a deletion or replacement was counted), the map's
// containers are checked afterwards: every change made through the map's
// methods leaves the order's keys among the dict's, and the order is rebuilt
// from the dict (its keys in the order they were stored) when it lacks some.
int replace_containers(PyObject *self, State *st) {
  count_change();
  const unsigned long long before = changes_so_far();
  Ref data = Ref::steal(PyDict_New());
  if (!data || PyObject_SetAttr(self, st->str_data, data.get()) < 0) return -1;
  Ref order = Ref::steal(PyList_New(0));
  if (!order || PyObject_SetAttr(self, st->str_order, order.get()) < 0) return -1;
  if (changes_so_far() == before && PyDict_GET_SIZE(data.get()) == PyList_GET_SIZE(order.get())) return 0;
  data = get_data(self, st);
  if (!data) return -1;
  order = get_order(self, st);
  if (!order) return -1;
  if (!PyDict_CheckExact(data.get()) || !PyList_CheckExact(order.get()) ||
      PyDict_GET_SIZE(data.get()) == PyList_GET_SIZE(order.get()))
    return 0;
  Ref keys = Ref::steal(PyDict_Keys(data.get()));
  if (!keys) return -1;
  return PyList_SetSlice(order.get(), 0, PyList_GET_SIZE(order.get()), keys.get());
}

// --- class RankMap ------------------------------------------------------------

PyDoc_STRVAR(rankmap_doc,
             "A MutableMapping that remembers the order in which keys were first added, and\n"
             "lets keys be inserted at a position and moved to another one.\n\n"
             "Values are held in the dict `_data` and the order in the list `_order`, so every\n"
             "key is stored twice. keys() returns the order list itself.");

PyDoc_STRVAR(rankmap_init_doc, "__init__($self, /, *args, **kwargs)\n--\n\n");

PyObject *rankmap_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  State *st = state_of(self);
  if (st == nullptr || replace_containers(self, st) < 0) return nullptr;

  // self.update(*args, **kwargs), looked up on the instance.
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  capi::WithSelf argv(self, args, static_cast<size_t>(nargs + nkw));
  if (!argv) return nullptr;
  Ref result = Ref::steal(PyObject_VectorcallMethod(st->str_update, argv.get(), 1 + nargs, kwnames));
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(rankmap_getitem_doc, "__getitem__($self, /, name)\n--\n\n");

// The body of __getitem__: _data[name].
[[gnu::always_inline]] inline PyObject *rankmap_lookup(PyObject *self, State *st, PyObject *name) {
  PyObject *data = data_of(self, st);
  if (data == nullptr) return nullptr;
  PyObject *value;
  if (PyDict_CheckExact(data)) {
    // The dict's lookup, as PyDict_GetItemRef makes it (an exact str key's hash is the one it keeps).
    Py_hash_t hash = PyUnicode_CheckExact(name) ? reinterpret_cast<PyASCIIObject *>(name)->hash : -1;
    if (hash == -1) hash = PyObject_Hash(name);
    value = hash == -1 ? nullptr : Py_XNewRef(_PyDict_GetItem_KnownHash(data, name, hash));
    if (value == nullptr && !PyErr_Occurred()) capi::set_key_error(name);
  } else {
    value = PyObject_GetItem(data, name);
  }
  Py_DECREF(data);
  return value;
}

PyObject *rankmap_getitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *name = capi::one_arg("__getitem__", "name", args, nargs, kwnames);
  if (name == nullptr) return nullptr;
  State *st = state_of(self);
  if (st == nullptr) return nullptr;
  return rankmap_lookup(self, st, name);
}

// RankMap's mp_subscript, set once its methods are installed: self[name] calls
// it directly, where the interpreter's generic slot would look __getitem__ up
// and call it through its method descriptor. For RankMap itself it does what
// __getitem__ does. Subclasses never get it: the interpreter gives them the
// generic slot (it does so for any class whose __getitem__ is not a slot
// wrapper), so their overrides win, and setting or deleting __getitem__ on
// RankMap (or changing its bases) puts the generic slot back on RankMap too.
// A type that inherited this function some other way is served the generic
// way: __getitem__ looked up on its class and called. Measured (release build,
// make bench-instr, m[k] on a 1,000-key map): 559 instructions with this slot,
// 764 with the generic one: it saves 27 %.
[[gnu::noinline]] PyObject *subscript_other(PyObject *self, State *st, PyObject *name) {
  return st ? capi::call_class_method(self, st->str_getitem, name).release() : nullptr;
}

PyObject *rankmap_subscript(PyObject *self, PyObject *name) {
  State *st = state_of(self);
  if (st != nullptr && Py_TYPE(self) == reinterpret_cast<PyTypeObject *>(st->RankMap))
    return rankmap_lookup(self, st, name);
  return subscript_other(self, st, name);
}

PyDoc_STRVAR(rankmap_setitem_doc, "__setitem__($self, /, name, value)\n--\n\n");

PyObject *rankmap_setitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"__setitem__", {"name", "value"}, 2}, args, nargs, kwnames, argv) < 0) return nullptr;
  State *st = state_of(self);
  if (st == nullptr || rankmap_store(self, st, argv[0], argv[1]) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(rankmap_delitem_doc, "__delitem__($self, /, name)\n--\n\n");

// Removes the first element equal to name from the order as list.remove
// does: directly from an exact list, else through the order's own remove.
PyObject *remove_from_order(State *st, PyObject *order, PyObject *name) {
  if (!PyList_CheckExact(order)) return capi::call_method(order, st->str_remove, name).release();
  Ref found;
  Py_ssize_t i = find_first_equal(order, name, &found);
  if (i == -2) return nullptr;
  if (i == -1) {
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return nullptr;
  }
  if (PyList_SetSlice(order, i, i + 1, nullptr) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *rankmap_delitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *name = capi::one_arg("__delitem__", "name", args, nargs, kwnames);
  if (name == nullptr) return nullptr;
  State *st = state_of(self);
  if (st == nullptr) return nullptr;
  Ref data = get_data(self, st);
  if (!data) return nullptr;
  PyObject *d = data.get();
  count_change();
  if (!PyDict_CheckExact(d)) {
    // A mapping of another kind: its own deletion, then the order's.
    if (PyObject_DelItem(d, name) < 0) return nullptr;
    Ref order = get_order(self, st);
    return order ? remove_from_order(st, order.get(), name) : nullptr;
  }
  Ref order = get_order(self, st);
  if (!order) return nullptr;
  PyObject *o = order.get();
  Ref value;  // the value taken out, released last: its __del__ finds the map consistent
  if (!PyList_CheckExact(o)) {
    // order.remove(name) after the deletion; a failed removal puts the value back.
    PyObject *taken = nullptr;
    int found = PyDict_Pop(d, name, &taken);
    if (found <= 0) return found < 0 ? nullptr : capi::set_key_error(name);
    value = Ref::steal(taken);
    Ref removed = capi::call_method(o, st->str_remove, name);
    if (removed) Py_RETURN_NONE;
    capi::undo_after_failure([&] { return PyDict_SetItem(d, name, value.get()); });
    return nullptr;
  }
  // The order is searched first: a comparison that raises leaves everything as it was.
  Ref element;
  Py_ssize_t i = find_first_equal(o, name, &element);
  if (i == -2) return nullptr;
  if (i == -1) {
    // A missing key raises the dict's KeyError. A key of _data that the order
    // lacks (the list was changed directly) is refused as list.remove refuses it.
    int present = PyDict_Contains(d, name);
    if (present < 0) return nullptr;
    if (present == 0) return capi::set_key_error(name);
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return nullptr;
  }
  PyObject *taken = nullptr;
  int found = PyDict_Pop(d, name, &taken);
  if (found <= 0) return found < 0 ? nullptr : capi::set_key_error(name);
  value = Ref::steal(taken);
  // The deletion runs the key's __hash__ and other keys' __eq__, which may
  // have moved the element; it is looked for again by identity, and by
  // equality only when it is gone (the list was changed directly).
  i = find_identical(o, element.get(), i);
  if (i < 0) {
    Ref other;
    i = find_first_equal(o, name, &other);
  }
  if (i >= 0 && PyList_SetSlice(o, i, i + 1, nullptr) == 0) Py_RETURN_NONE;
  if (i == -1) PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
  capi::undo_after_failure([&] { return PyDict_SetItem(d, element.get(), value.get()); });
  return nullptr;
}

PyDoc_STRVAR(rankmap_iter_doc, "__iter__($self, /)\n--\n\n");

PyObject *rankmap_iter(PyObject *self, PyObject *) {
  Ref order = order_of(self);
  if (!order) return nullptr;
  // iter() of an exact list is the list's own iterator
  return PyList_CheckExact(order.get()) ? PyList_Type.tp_iter(order.get()) : PyObject_GetIter(order.get());
}

// Walks the exact list `order` once, looking each key up in the exact dict
// `data`: (key, value) tuples for items(), else the values for values(),
// which reads a value through self[key] instead once type(self) no longer has
// RankMap.__getitem__. Lookups may run Python code that changes the list (so
// its size is read on every step) or the class (so the method is asked for
// again before every value).
template <bool pairs>
PyObject *collect_in_order(PyObject *self, PyObject *data, PyObject *order, MethodIsOurs *getitem_ours) noexcept {
  Py_ssize_t n = PyList_GET_SIZE(order);
  Ref result = Ref::steal(PyList_New(n));
  if (!result) return nullptr;
  // Hidden from the collector (and so from gc.get_objects()) while it still
  // has empty slots and lookups can run Python code.
  PyObject_GC_UnTrack(result.get());
  Py_ssize_t i = 0;
  for (; i < PyList_GET_SIZE(order); ++i) {
    Ref key = Ref::borrow(PyList_GET_ITEM(order, i));
    PyObject *item;
    if (pairs || (*getitem_ours)()) {
      int found = PyDict_GetItemRef(data, key.get(), &item);
      if (found == 0) return capi::set_key_error(key.get());
      if (found < 0) return nullptr;
      if (pairs) {
        Ref value = Ref::steal(item);
        item = PyTuple_Pack(2, key.get(), value.get());
      }
    } else {
      item = PyObject_GetItem(self, key.get());
    }
    if (item == nullptr) return nullptr;
    if (i < n) {
      PyList_SET_ITEM(result.get(), i, item);
    } else {
      Ref held = Ref::steal(item);
      if (PyList_Append(result.get(), item) < 0) return nullptr;
    }
  }
  // The list shrank while it was walked: keep the filled part (the rest are NULL slots).
  if (i < n) return PyList_GetSlice(result.get(), 0, i);
  PyObject_GC_Track(result.get());
  return result.release();
}

PyDoc_STRVAR(rankmap_items_doc, "items($self, /)\n--\n\n");

PyObject *rankmap_items(PyObject *self, PyObject *) {
  State *st = state_of(self);
  Ref data, order;
  if (st == nullptr || get_both(self, st, &data, &order) < 0) return nullptr;
  if (PyDict_CheckExact(data.get()) && PyList_CheckExact(order.get()))
    return collect_in_order<true>(self, data.get(), order.get(), nullptr);
  // General path: the pairs in the order of the order object's iteration.
  Ref result = Ref::steal(PyList_New(0));
  Ref it = Ref::steal(PyObject_GetIter(order.get()));
  if (!result || !it) return nullptr;
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    Ref value = Ref::steal(PyObject_GetItem(data.get(), key.get()));
    if (!value) return nullptr;
    Ref pair = capi::tuple_of(key.get(), value.get());
    if (!pair || PyList_Append(result.get(), pair.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return result.release();
}

PyDoc_STRVAR(rankmap_clear_doc, "clear($self, /)\n--\n\n");

PyObject *rankmap_clear(PyObject *self, PyObject *) {
  State *st = state_of(self);
  if (st == nullptr || replace_containers(self, st) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(rankmap_copy_doc, "copy($self, /)\n--\n\n");

PyObject *rankmap_copy(PyObject *self, PyObject *) {
  State *st = state_of(self);
  if (st == nullptr) return nullptr;
  Ref items = capi::call_method(self, st->str_items);
  if (!items) return nullptr;
  return capi::call(reinterpret_cast<PyObject *>(Py_TYPE(self)), items.get()).release();
}

PyDoc_STRVAR(rankmap_insert_doc,
             "insert($self, /, key, value, position)\n--\n\n"
             "Add a new key with its value at a position of the order.\n\n"
             "key: a key not yet in the map (KeyError if it is).\n"
             "value: the value stored under it.\n"
             "position: an integer read as list.insert reads it: the key goes in front of\n"
             "the key now at that index; the length or more puts it last; a negative one\n"
             "counts from the end, and one below minus the length puts it first.\n"
             "A key that cannot be hashed or a position that is not an integer raises\n"
             "TypeError and leaves the map unchanged.");

// insert's refusal of a key that is already present.
PyObject *already_present(PyObject *key) {
  Ref message = Ref::steal(PyUnicode_FromFormat("%S already exist in Report", key));
  if (message) PyErr_SetObject(PyExc_KeyError, message.get());
  return nullptr;
}

PyObject *rankmap_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[3];
  if (capi::parse_args({"insert", {"key", "value", "position"}, 3}, args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject *key = argv[0], *value = argv[1];
  State *st = state_of(self);
  Ref data, order;
  if (st == nullptr || get_both(self, st, &data, &order) < 0) return nullptr;
  PyObject *d = data.get();
  int present = contains(d, key);
  if (present < 0) return nullptr;
  if (present > 0) return already_present(key);
  Py_ssize_t where;
  Ref where_obj;
  if (to_position(argv[2], &where, &where_obj) < 0) return nullptr;
  // The position's __index__ and the lookup ran Python code, which may have
  // added the key since: it is checked again where it is stored. For a dict
  // the store itself is that check (it inserts only a new key).
  if (PyDict_CheckExact(d)) {
    present = PyDict_SetDefaultRef(d, key, value, nullptr);
    if (present < 0) return nullptr;
    if (present > 0) return already_present(key);
  } else {
    present = PySequence_Contains(d, key);
    if (present < 0) return nullptr;
    if (present > 0) return already_present(key);
    if (PyObject_SetItem(d, key, value) < 0) return nullptr;
  }
  int inserted;
  if (PyList_CheckExact(order.get())) {
    inserted = PyList_Insert(order.get(), where, key);
  } else {
    Ref result = capi::call_method(order.get(), st->str_insert, where_obj.get(), key);
    inserted = result ? 0 : -1;
  }
  if (inserted == 0) Py_RETURN_NONE;
  capi::undo_after_failure([&] { return remove_key(d, key); });
  return nullptr;
}

PyDoc_STRVAR(rankmap_move_doc,
             "move($self, /, key, position)\n--\n\n"
             "Move an existing key to a position of the order; its value is untouched.\n\n"
             "key: a key of the map (KeyError if it is not).\n"
             "position: an integer counted in the order without the key, read as\n"
             "list.insert reads it: a non-negative one becomes the key's index (at most the\n"
             "last index); -1 puts it in front of the last of the other keys, and one below\n"
             "minus their number puts it first. A position that is not an integer raises\n"
             "TypeError and leaves the map unchanged.");

PyObject *rankmap_move(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"move", {"key", "position"}, 2}, args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject *key = argv[0];
  State *st = state_of(self);
  Ref data, order;
  if (st == nullptr || get_both(self, st, &data, &order) < 0) return nullptr;
  // A key a dict cannot hold (unhashable) is simply not in the map: KeyError,
  // as for any other missing key.
  if (PyDict_Check(data.get()) && PyObject_Hash(key) == -1) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    return capi::set_key_error(key);
  }
  int present = contains(data.get(), key);
  if (present < 0) return nullptr;
  if (present == 0) return capi::set_key_error(key);
  Py_ssize_t where;
  Ref where_obj;
  if (to_position(argv[1], &where, &where_obj) < 0) return nullptr;

  if (!PyList_CheckExact(order.get())) {
    // order.insert(position, order.pop(order.index(key))); a failed insert puts the key back.
    Ref index = capi::call_method(order.get(), st->str_index, key);
    if (!index) return nullptr;
    Ref item = capi::call_method(order.get(), st->str_pop, index.get());
    if (!item) return nullptr;
    Ref done = capi::call_method(order.get(), st->str_insert, where_obj.get(), item.get());
    if (!done) {
      capi::undo_after_failure([&] {
        Ref back = capi::call_method(order.get(), st->str_insert, index.get(), item.get());
        return back ? 0 : -1;
      });
      return nullptr;
    }
    Py_RETURN_NONE;
  }

  Ref found;  // the element moved: the one that compared equal
  Py_ssize_t i = find_first_equal(order.get(), key, &found);
  if (i == -2) return nullptr;
  if (i == -1) {
    PyErr_Format(PyExc_ValueError, "%R is not in list", key);
    return nullptr;
  }
  // Take the element out and put it back at `where` of the shortened list,
  // clamped as list.insert clamps, by shifting the elements in between.
  Py_ssize_t rest = PyList_GET_SIZE(order.get()) - 1;
  Py_ssize_t j = where;
  if (j < 0) {
    j += rest;
    if (j < 0) j = 0;
  }
  if (j > rest) j = rest;
  PyObject **items = reinterpret_cast<PyListObject *>(order.get())->ob_item;
  PyObject *moved = items[i];
  if (j < i)
    std::memmove(items + j + 1, items + j, static_cast<size_t>(i - j) * sizeof(PyObject *));
  else if (j > i)
    std::memmove(items + i, items + i + 1, static_cast<size_t>(j - i) * sizeof(PyObject *));
  items[j] = moved;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(rankmap_keys_doc, "keys($self, /)\n--\n\n");

PyObject *rankmap_keys(PyObject *self, PyObject *) { return order_of(self).release(); }

PyDoc_STRVAR(rankmap_values_doc, "values($self, /)\n--\n\n");

PyObject *rankmap_values(PyObject *self, PyObject *) {
  State *st = state_of(self);
  if (st == nullptr) return nullptr;
  MethodIsOurs getitem_ours(self, st->str_getitem, st->our_getitem);
  if (capi::method_is_ours(Py_TYPE(self), st->str_iter, st->our_iter) && getitem_ours()) {
    Ref data, order;
    if (get_both(self, st, &data, &order) < 0) return nullptr;
    if (PyDict_CheckExact(data.get()) && PyList_CheckExact(order.get()))
      return collect_in_order<false>(self, data.get(), order.get(), &getitem_ours);
  }
  // [self[k] for k in self], through the class's own iteration and subscript.
  Ref result = Ref::steal(PyList_New(0));
  Ref it = Ref::steal(PyObject_GetIter(self));
  if (!result || !it) return nullptr;
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    Ref value = Ref::steal(PyObject_GetItem(self, key.get()));
    if (!value || PyList_Append(result.get(), value.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return result.release();
}

PyDoc_STRVAR(rankmap_update_doc, "update($self, /, *args, **kwargs)\n--\n\n");

PyObject *rankmap_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "expected at most 1 arguments, got %zd", nargs);
    return nullptr;
  }
  State *st = state_of(self);
  if (st == nullptr) return nullptr;
  MethodIsOurs setitem_ours(self, st->str_setitem, st->our_setitem);
  if (nargs == 1) {
    // The argument is iterated as it is, never read as a mapping.
    Ref it = Ref::steal(PyObject_GetIter(args[0]));
    if (!it) return nullptr;
    Py_ssize_t index = 0;
    while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
      Py_ssize_t length = PyObject_Size(element.get());
      if (length < 0) return nullptr;
      if (length != 2) {
        PyErr_Format(PyExc_ValueError, "update sequence element #%zd has length %zd; 2 is required", index, length);
        return nullptr;
      }
      Ref pair[2];  // key, value = element
      if (capi::unpack_exact(element.get(), pair, 2) < 0) return nullptr;
      if (assign(self, st, setitem_ours, pair[0].get(), pair[1].get()) < 0) return nullptr;
      ++index;
    }
    if (PyErr_Occurred()) return nullptr;
  }
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (assign(self, st, setitem_ours, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyDoc_STRVAR(rankmap_repr_doc, "__repr__($self, /)\n--\n\n");

PyObject *rankmap_repr(PyObject *self, PyObject *) {
  State *st = state_of(self);
  if (st == nullptr) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(self, st->str_class));
  if (!cls) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttr(cls.get(), st->str_name));
  if (!name) return nullptr;
  // A map met again while its own text is being built (it contains itself,
  // directly or through other objects) shows as Name(...).
  int seen = Py_ReprEnter(self);
  if (seen < 0) return nullptr;
  if (seen > 0) return PyUnicode_FromFormat("%S(...)", name.get());
  Ref items = capi::call_method(self, st->str_items);
  PyObject *text = items ? PyUnicode_FromFormat("%S(%R)", name.get(), items.get()) : nullptr;
  Py_ReprLeave(self);
  return text;
}

PyDoc_STRVAR(rankmap_len_doc, "__len__($self, /)\n--\n\n");

PyObject *rankmap_len(PyObject *self, PyObject *) {
  Ref order = order_of(self);
  if (!order) return nullptr;
  Py_ssize_t n = PyList_CheckExact(order.get()) ? PyList_GET_SIZE(order.get()) : PyObject_Size(order.get());
  return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

PyDoc_STRVAR(rankmap_eq_doc, "__eq__($self, /, other)\n--\n\n");

// self._data == other._data, then self._order == other._order. A failure of
// an ordinary kind (no such attribute, a value whose comparison raises) makes
// the maps unequal; KeyboardInterrupt and the like still propagate.
PyObject *rankmap_eq_compare(State *st, PyObject *self, PyObject *other) {
  Ref mine = get_data(self, st);
  if (!mine) return nullptr;
  Ref theirs = get_data(other, st);
  if (!theirs) return nullptr;
  Ref result = Ref::steal(PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ));
  if (!result) return nullptr;
  int truth = PyObject_IsTrue(result.get());
  if (truth < 0) return nullptr;
  if (truth == 0) return result.release();
  mine = get_order(self, st);
  if (!mine) return nullptr;
  theirs = get_order(other, st);
  if (!theirs) return nullptr;
  return PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ);
}

PyObject *rankmap_eq(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *other = capi::one_arg("__eq__", "other", args, nargs, kwnames);
  if (other == nullptr) return nullptr;
  State *st = state_of(self);
  if (st == nullptr) return nullptr;
  PyObject *result = rankmap_eq_compare(st, self, other);
  if (result == nullptr && capi::error_is_ordinary()) {
    PyErr_Clear();
    Py_RETURN_FALSE;
  }
  return result;
}

PyDoc_STRVAR(rankmap_fromkeys_doc, "fromkeys($cls, /, keys, value=None)\n--\n\n");

PyObject *rankmap_fromkeys(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"fromkeys", {"keys", "value"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject *value = argv[1] ? argv[1] : Py_None;
  State *st = capi::state_of<State>(reinterpret_cast<PyTypeObject *>(cls), &module_def);
  if (st == nullptr) return nullptr;
  Ref made = capi::call(cls);
  if (!made) return nullptr;
  MethodIsOurs setitem_ours(made.get(), st->str_setitem, st->our_setitem);
  Ref it = Ref::steal(PyObject_GetIter(argv[0]));
  if (!it) return nullptr;
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    if (assign(made.get(), st, setitem_ours, key.get(), value) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return made.release();
}

PyMethodDef rankmap_methods[] = {
    {.ml_name = "__init__", .ml_meth = capi::as_cfunc(rankmap_init), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = rankmap_init_doc},
    {.ml_name = "__getitem__", .ml_meth = capi::as_cfunc(rankmap_getitem), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = rankmap_getitem_doc},
    {.ml_name = "__setitem__", .ml_meth = capi::as_cfunc(rankmap_setitem), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = rankmap_setitem_doc},
    {.ml_name = "__delitem__", .ml_meth = capi::as_cfunc(rankmap_delitem), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = rankmap_delitem_doc},
    {.ml_name = "__iter__", .ml_meth = capi::as_cfunc(rankmap_iter), .ml_flags = METH_NOARGS,
     .ml_doc = rankmap_iter_doc},
    {.ml_name = "items", .ml_meth = capi::as_cfunc(rankmap_items), .ml_flags = METH_NOARGS,
     .ml_doc = rankmap_items_doc},
    {.ml_name = "clear", .ml_meth = capi::as_cfunc(rankmap_clear), .ml_flags = METH_NOARGS,
     .ml_doc = rankmap_clear_doc},
    {.ml_name = "copy", .ml_meth = capi::as_cfunc(rankmap_copy), .ml_flags = METH_NOARGS, .ml_doc = rankmap_copy_doc},
    {.ml_name = "insert", .ml_meth = capi::as_cfunc(rankmap_insert), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = rankmap_insert_doc},
    {.ml_name = "move", .ml_meth = capi::as_cfunc(rankmap_move), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = rankmap_move_doc},
    {.ml_name = "keys", .ml_meth = capi::as_cfunc(rankmap_keys), .ml_flags = METH_NOARGS, .ml_doc = rankmap_keys_doc},
    {.ml_name = "values", .ml_meth = capi::as_cfunc(rankmap_values), .ml_flags = METH_NOARGS,
     .ml_doc = rankmap_values_doc},
    {.ml_name = "update", .ml_meth = capi::as_cfunc(rankmap_update), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = rankmap_update_doc},
    {.ml_name = "__repr__", .ml_meth = capi::as_cfunc(rankmap_repr), .ml_flags = METH_NOARGS,
     .ml_doc = rankmap_repr_doc},
    {.ml_name = "__len__", .ml_meth = capi::as_cfunc(rankmap_len), .ml_flags = METH_NOARGS, .ml_doc = rankmap_len_doc},
    {.ml_name = "__eq__", .ml_meth = capi::as_cfunc(rankmap_eq), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = rankmap_eq_doc},
    {.ml_name = "fromkeys", .ml_meth = capi::as_cfunc(rankmap_fromkeys),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS | METH_CLASS, .ml_doc = rankmap_fromkeys_doc},
    {},
};

// --- module -----------------------------------------------------------------

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (capi::intern_all({{&st->str_data, "_data"}, {&st->str_order, "_order"}, {&st->str_update, "update"},
                        {&st->str_items, "items"}, {&st->str_append, "append"}, {&st->str_insert, "insert"},
                        {&st->str_pop, "pop"}, {&st->str_remove, "remove"}, {&st->str_index, "index"},
                        {&st->str_class, "__class__"}, {&st->str_name, "__name__"},
                        {&st->str_getitem, "__getitem__"}, {&st->str_setitem, "__setitem__"},
                        {&st->str_iter, "__iter__"}}) < 0)
    return -1;

  Ref mutable_mapping = capi::import_from("collections.abc", "MutableMapping");
  if (!mutable_mapping || capi::add_global(module, "MutableMapping", mutable_mapping.get()) < 0) return -1;

  Ref bases = capi::tuple_of(mutable_mapping.get());
  Ref attrs = Ref::steal(PyDict_New());
  if (!bases || !attrs || PyDict_SetItemString(attrs.get(), "__hash__", Py_None) < 0) return -1;
  Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(Py_TYPE(mutable_mapping.get())), "RankMap",
                             bases.get(), rankmap_doc, attrs.get());
  if (!cls || capi::install_methods(cls.get(), rankmap_methods) < 0) return -1;

  auto *tp = reinterpret_cast<PyTypeObject *>(cls.get());
  st->our_getitem = Py_XNewRef(capi::lookup_on_type(tp, st->str_getitem));
  st->our_setitem = Py_XNewRef(capi::lookup_on_type(tp, st->str_setitem));
  st->our_iter = Py_XNewRef(capi::lookup_on_type(tp, st->str_iter));
  if (!st->our_getitem || !st->our_setitem || !st->our_iter) {
    PyErr_SetString(PyExc_SystemError, "RankMap methods missing after installation");
    return -1;
  }

  if (capi::update_abstract_methods(cls.get()) < 0) return -1;
  st->RankMap = Py_NewRef(cls.get());
  tp->tp_as_mapping->mp_subscript = rankmap_subscript;  // 27 % on m[k]: see rankmap_subscript
  PyType_Modified(tp);
  return capi::add_global(module, "RankMap", cls.get());
}

PyDoc_STRVAR(module_doc, "RankMap: a mutable mapping whose key order can be changed by inserting and moving keys.");

PyModuleDef module_def = capi::module_def<State, module_exec>("dravix.datastructures.rankmap", module_doc);

}  // namespace

PyMODINIT_FUNC PyInit_rankmap(void) { return PyModuleDef_Init(&module_def); }
