// The rebuild of FlatPath.reconstruct: part of flatpath.cpp, included there
// after the module state and the module globals (Names); not a header of its own.
//
// The working variables of the rebuild (ptr, k, prev_ptr, prev_k) carry over
// from one entry to the next, as the locals of a Python loop would: an entry
// with an empty path stores its value through the slot the entry before it
// reached, and reading one of them before it was ever set raises
// UnboundLocalError. Every entry is placed walking its path from the root.
//
// Every list or tuple level is grown as a new exact list (a working list)
// that remembers its marker's class. When all entries are placed, the working
// lists are turned into their classes, innermost first, and put back in their
// slots: tuples, named tuples (their own class, from the items as arguments),
// list subclasses (the class called with the list of items). Sequences found
// among the entries' values are never grown in place: a copy is grown instead.
#pragma once

#include <vector>

namespace {

struct Working {
  Ref list;
  Ref cls;
  Ref parent;     // the container holding the list
  Ref key;        // its key in parent (mappings and other containers)
  Py_ssize_t at;  // its position in parent when parent is a working list, else -1
};

struct Rebuild {
  Names names;
  State *st = nullptr;  // names.st
  // Working lists of class list need no conversion: they are only recorded
  // (and kept alive, so their addresses stay theirs). The others are
  // recorded with their class and slot.
  capi::PointerSet lists;
  std::vector<Ref> list_refs;
  // Dicts placed as values: a later entry that goes below one works on a copy.
  capi::PointerSet stored;
  std::vector<Ref> stored_dicts;
  std::vector<Working> working;
  capi::PointerMap<size_t> index_of;  // working list -> position in `working`
  // the working variables
  Ref ret, ptr, k, prev_ptr, prev_k;
  bool prev_k_last = false;  // prev_k is -1 and prev_ptr is a working list

  // The class a working list stands for, or nullptr for any other object.
  PyObject *class_of(PyObject *obj) const {
    if (lists.contains(obj)) return reinterpret_cast<PyObject *>(&PyList_Type);
    const size_t *at = index_of.get(obj);
    return at == nullptr ? nullptr : working[*at].cls.get();
  }
};

// k.<name> for the marker k being stepped through.
Ref marker_attr(Rebuild &r, PyObject *name) { return Ref::steal(PyObject_GetAttr(r.k.get(), name)); }

// A working variable read before it was assigned: -1 with UnboundLocalError.
int unbound(const char *name) {
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
  return -1;
}

// prev_ptr[prev_k]
Ref slot_get(Rebuild &r) {
  if (r.prev_k_last) {
    Py_ssize_t size = PyList_GET_SIZE(r.prev_ptr.get());
    if (size > 0) return Ref::borrow(PyList_GET_ITEM(r.prev_ptr.get(), size - 1));
  }
  return Ref::steal(PyObject_GetItem(r.prev_ptr.get(), r.prev_k.get()));
}

// prev_ptr[prev_k] = value
int slot_set(Rebuild &r, PyObject *value) {
  if (r.prev_k_last) {
    Py_ssize_t size = PyList_GET_SIZE(r.prev_ptr.get());
    if (size > 0) return PyList_SetItem(r.prev_ptr.get(), size - 1, Py_NewRef(value));
  }
  if (PyDict_CheckExact(r.prev_ptr.get())) return PyDict_SetItem(r.prev_ptr.get(), r.prev_k.get(), value);
  return PyObject_SetItem(r.prev_ptr.get(), r.prev_k.get(), value);
}

// Puts a new working list of class cls into the slot prev_ptr[prev_k].
int place_working(Rebuild &r, Ref list, PyObject *cls) {
  if (!r.prev_ptr) return unbound("prev_ptr");
  // The slot's position in a working list, read before the old item is let
  // go (its release may run code that changes the list).
  Py_ssize_t at = r.prev_k_last ? PyList_GET_SIZE(r.prev_ptr.get()) - 1 : -1;
  if (slot_set(r, list.get()) < 0) return -1;
  if (cls == reinterpret_cast<PyObject *>(&PyList_Type)) {
    if (r.lists.add(list.get()) < 0) return -1;
    return capi::push(r.list_refs, std::move(list));
  }
  PyObject *key = list.get();
  Working w{.list = std::move(list),
            .cls = Ref::borrow(cls),
            .parent = r.prev_ptr.dup(),
            .key = at < 0 ? r.prev_k.dup() : Ref(),
            .at = at};
  if (capi::push(r.working, std::move(w)) < 0) return -1;
  return r.index_of.put(key, r.working.size() - 1);
}

// The placeholder a new position starts with: a new {}. When the marker is
// the last element of the path, the value replaces the placeholder before
// anything else can see it, so None (no allocation) stands in for it.
Ref new_placeholder(bool last) { return last ? Ref::borrow(Py_None) : Ref::steal(PyDict_New()); }

// Makes ptr[index] present in the working list ptr: evaluates it only as a
// test, and appends a placeholder when it raises IndexError.
int ensure_position(PyObject *list, PyObject *index, bool last) {
  if (PyLong_CheckExact(index)) {
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (i == -1 && PyErr_Occurred()) return -1;
    long long size = PyList_GET_SIZE(list);
    if (!overflow && (i >= 0 ? i < size : i >= -size)) return 0;
  } else {
    Ref probe = Ref::steal(PyObject_GetItem(list, index));
    if (probe) return 0;
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
    PyErr_Clear();
  }
  Ref placeholder = new_placeholder(last);
  if (!placeholder) return -1;
  return PyList_Append(list, placeholder.get());
}

// Enters the last element of the working list `list`, now in the slot.
int enter_last(Rebuild &r, PyObject *list) {
  r.prev_ptr = Ref::borrow(list);
  r.prev_k = Ref::borrow(r.st->minus_one);
  r.prev_k_last = true;
  r.ptr = slot_get(r);
  return r.ptr ? 0 : -1;
}

// A step into a list or tuple position: k is a marker whose type_ (cls) is a
// list or tuple class; last tells whether it ends the path.
int step_into_sequence(Rebuild &r, PyObject *cls, bool last) {
  PyObject *ptr = r.ptr.get();
  PyObject *working_cls = r.class_of(ptr);
  if (working_cls == cls) {
    Ref index = marker_attr(r, r.st->str_index);
    if (!index) return -1;
    if (ensure_position(ptr, index.get(), last) < 0) return -1;
    return enter_last(r, ptr);
  }
  if (working_cls == nullptr && reinterpret_cast<PyObject *>(Py_TYPE(ptr)) == cls) {
    // A sequence of exactly this class stored as a value: grow a copy of it.
    Ref copy = Ref::steal(PySequence_List(ptr));
    if (!copy) return -1;
    if (place_working(r, copy.dup(), cls) < 0) return -1;
    Ref index = marker_attr(r, r.st->str_index);
    if (!index || ensure_position(copy.get(), index.get(), last) < 0) return -1;
    return enter_last(r, copy.get());
  }
  // Anything else in the slot is replaced by a new sequence holding one placeholder.
  if (!r.prev_ptr) return unbound("prev_ptr");
  Ref placeholder = new_placeholder(last);
  if (!placeholder) return -1;
  Ref fresh = Ref::steal(PyList_New(1));
  if (!fresh) return -1;
  PyList_SET_ITEM(fresh.get(), 0, placeholder.release());
  PyObject *list = fresh.get();
  if (place_working(r, std::move(fresh), cls) < 0) return -1;
  return enter_last(r, list);
}

// cls(({},)): a sequence of the marker's class holding one placeholder.
Ref one_placeholder_of(PyObject *cls) {
  Ref placeholder = Ref::steal(PyDict_New());
  if (!placeholder) return {};
  Ref one = capi::tuple_of(placeholder.get());
  if (!one) return {};
  return capi::call(cls, one.get());
}

// A step through a marker whose type_ is not a list or tuple class: the
// generic operations, as they come.
int step_into_other(Rebuild &r, PyObject *cls) {
  if (reinterpret_cast<PyObject *>(Py_TYPE(r.ptr.get())) != cls) {
    if (!r.prev_ptr) return unbound("prev_ptr");
    Ref made = one_placeholder_of(cls);
    if (!made || slot_set(r, made.get()) < 0) return -1;
  } else {
    Ref index = marker_attr(r, r.st->str_index);
    if (!index) return -1;
    Ref probe = Ref::steal(PyObject_GetItem(r.ptr.get(), index.get()));
    if (!probe) {
      if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
      PyErr_Clear();
      Ref more = one_placeholder_of(cls);
      if (!more) return -1;
      Ref grown = Ref::steal(PyNumber_InPlaceAdd(r.ptr.get(), more.get()));
      if (!grown) return -1;
      r.ptr = std::move(grown);
    }
    if (!r.prev_ptr) return unbound("prev_ptr");
  }
  Ref entered = slot_get(r);
  if (!entered) return -1;
  r.prev_ptr = std::move(entered);
  r.prev_k = Ref::borrow(r.st->minus_one);
  r.prev_k_last = false;
  r.ptr = Ref::steal(PyObject_GetItem(r.prev_ptr.get(), r.prev_k.get()));
  return r.ptr ? 0 : -1;
}

// A copy of a dict that an entry placed as a value (a dict subclass by copy.copy).
Ref copy_of_dict(Rebuild &r, PyObject *d) {
  if (PyDict_CheckExact(d)) return Ref::steal(PyDict_Copy(d));
  if (r.st->copy_copy == nullptr) {
    r.st->copy_copy = capi::import_from("copy", "copy").release();
    if (r.st->copy_copy == nullptr) return {};
  }
  return capi::call(r.st->copy_copy, d);
}

// The walk goes on below parent's key k: prev_ptr, prev_k = parent, k; ptr = value.
// Inlined: as a call it costs 4.6 % on reconstruct() (2,552 against 2,439
// instructions a leaf).
[[gnu::always_inline]] inline int enter_key(Rebuild &r, Ref &&parent, Ref &&value) {
  r.prev_ptr = std::move(parent);
  r.prev_k = r.k.dup();
  r.prev_k_last = false;
  r.ptr = std::move(value);
  return 0;
}

// A step through the key k of the mapping ptr: ptr[k] = ptr.get(k, {}), then
// below it; last tells whether k ends the path.
int key_in_mapping(Rebuild &r, bool last) {
  if (r.stored.size() != 0 && r.stored.contains(r.ptr.get())) {
    // A dict placed as a value by an earlier entry: fill a copy of it, in its
    // slot, and leave the caller's dict as it is.
    Ref copy = copy_of_dict(r, r.ptr.get());
    if (!copy) return -1;
    if (!r.prev_ptr) return unbound("prev_ptr");
    if (slot_set(r, copy.get()) < 0) return -1;
    r.ptr = std::move(copy);
  }
  PyObject *ptr = r.ptr.get();
  PyObject *k = r.k.get();
  Ref value;
  if (PyDict_CheckExact(ptr) && last) {
    // ptr[k] = ptr.get(k, {}) and then ptr[k] = obj: in a dict, the same as
    // the second store alone, which the entry makes with prev_ptr[prev_k].
    // ptr, the placeholder, is not read again.
    value = r.ptr.dup();
  } else if (PyDict_CheckExact(ptr)) {
    // ptr[k] = ptr.get(k, {}): storing an existing value again changes nothing.
    PyObject *found = nullptr;
    int has = PyDict_GetItemRef(ptr, k, &found);
    if (has < 0) return -1;
    value = has ? Ref::steal(found) : Ref::steal(PyDict_New());
    if (!value || (!has && PyDict_SetItem(ptr, k, value.get()) < 0)) return -1;
  } else {
    Ref fallback = Ref::steal(PyDict_New());
    if (!fallback) return -1;
    Ref got = capi::call_method(ptr, r.st->str_get, k, fallback.get());
    if (!got || PyObject_SetItem(ptr, k, got.get()) < 0) return -1;
    value = Ref::steal(PyObject_GetItem(ptr, k));
    if (!value) return -1;
  }
  return enter_key(r, r.ptr.dup(), std::move(value));
}

// A step through the key k below ptr, which is not a mapping: {k: {}} is
// appended (to a working list, or to a copy of a list or tuple stored as a
// value; any other object as ptr += type(ptr)(({k: {}},))), and the walk goes
// on in its {}.
int key_in_sequence(Rebuild &r) {
  PyObject *ptr = r.ptr.get();
  PyObject *list = nullptr;
  if (r.class_of(ptr) != nullptr) {
    list = ptr;
  } else if (PyList_Check(ptr) || PyTuple_Check(ptr)) {
    Ref copy = Ref::steal(PySequence_List(ptr));
    if (!copy) return -1;
    list = copy.get();
    if (place_working(r, std::move(copy), reinterpret_cast<PyObject *>(Py_TYPE(ptr))) < 0) return -1;
  }
  Ref inner = Ref::steal(PyDict_New());
  Ref level = Ref::steal(PyDict_New());
  if (!inner || !level || PyDict_SetItem(level.get(), r.k.get(), inner.get()) < 0) return -1;
  if (list != nullptr) {
    if (PyList_Append(list, level.get()) < 0) return -1;
    return enter_key(r, std::move(level), std::move(inner));
  }
  Ref one = capi::tuple_of(level.get());
  if (!one) return -1;
  Ref more = capi::call(reinterpret_cast<PyObject *>(Py_TYPE(ptr)), one.get());
  if (!more) return -1;
  Ref grown = Ref::steal(PyNumber_InPlaceAdd(ptr, more.get()));
  if (!grown) return -1;
  Ref appended = Ref::steal(PyObject_GetItem(grown.get(), r.st->minus_one));
  if (!appended) return -1;
  Ref value = Ref::steal(PyObject_GetItem(appended.get(), r.k.get()));
  if (!value) return -1;
  return enter_key(r, std::move(appended), std::move(value));
}

// One element k of a path: a marker steps into a sequence of its class,
// anything else is a mapping key. last tells whether k ends the path.
int step_through(Rebuild &r, bool last) {
  int marker = is_marker(r.names, r.k.get());
  if (marker < 0) return -1;
  if (!marker) {
    int mapping = is_mapping(r.names, r.ptr.get());
    if (mapping < 0) return -1;
    return mapping ? key_in_mapping(r, last) : key_in_sequence(r);
  }
  Ref cls = marker_attr(r, r.st->str_type_);
  if (!cls) return -1;
  PyObject *c = cls.get();
  bool sequence = c == reinterpret_cast<PyObject *>(&PyList_Type) || c == reinterpret_cast<PyObject *>(&PyTuple_Type) ||
                  (PyType_Check(c) && (PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(c), &PyList_Type) ||
                                       PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(c), &PyTuple_Type)));
  return sequence ? step_into_sequence(r, c, last) : step_into_other(r, c);
}

// Places one entry, walking its path from the root.
int place_entry(Rebuild &r, PyObject *entry) {
  Ref parts[2];
  if (capi::unpack_exact(entry, parts, 2) < 0) return -1;
  Ref obj = std::move(parts[1]);
  r.ptr = r.ret.dup();
  // The path's elements, read once into a tuple (an exact tuple as it is),
  // which nothing run by a step can change.
  Ref path = PyTuple_CheckExact(parts[0].get()) ? std::move(parts[0]) : Ref::steal(PySequence_Tuple(parts[0].get()));
  if (!path) return -1;
  Py_ssize_t length = PyTuple_GET_SIZE(path.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    r.k = Ref::borrow(PyTuple_GET_ITEM(path.get(), i));
    if (step_through(r, i == length - 1) < 0) return -1;
  }
  if (!r.k) return unbound("k");
  if (!r.prev_ptr) return unbound("prev_ptr");
  if (slot_set(r, obj.get()) < 0) return -1;
  if (!PyDict_Check(obj.get())) return 0;
  int added = r.stored.add(obj.get());
  if (added <= 0) return added;
  return capi::push(r.stored_dicts, std::move(obj));
}

// A working list as an object of its class.
Ref finished_sequence(Rebuild &r, const Working &w) {
  PyObject *cls = w.cls.get();
  if (cls == reinterpret_cast<PyObject *>(&PyTuple_Type)) return Ref::steal(PyList_AsTuple(w.list.get()));
  if (PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls), &PyTuple_Type)) {
    PyObject *fields = nullptr;
    if (PyObject_GetOptionalAttr(cls, r.st->str_fields, &fields) < 0) return {};
    if (fields != nullptr) {
      // A named tuple: its items are the arguments.
      Py_DECREF(fields);
      Ref items = Ref::steal(PyList_AsTuple(w.list.get()));
      if (!items) return {};
      return Ref::steal(PyObject_Call(cls, items.get(), nullptr));
    }
  }
  return capi::call(cls, w.list.get());
}

// Whether the working list w is still at its position in its parent, a working list.
bool still_at(const Working &w) {
  PyObject *parent = w.parent.get();
  return w.at < PyList_GET_SIZE(parent) && PyList_GET_ITEM(parent, w.at) == w.list.get();
}

// Turns the working lists into their classes, innermost (latest made) first,
// replacing each in its slot if it is still there.
int finish_sequences(Rebuild &r) {
  for (size_t i = r.working.size(); i-- > 0;) {
    Working &w = r.working[i];
    PyObject *parent = w.parent.get();
    if (w.at >= 0) {
      if (!still_at(w)) continue;
      Ref done = finished_sequence(r, w);
      if (!done) return -1;
      // The class's code has run: the position is checked again.
      if (still_at(w) && PyList_SetItem(parent, w.at, done.release()) < 0) return -1;
      continue;
    }
    Ref current;
    if (PyDict_CheckExact(parent)) {
      PyObject *found = nullptr;
      if (PyDict_GetItemRef(parent, w.key.get(), &found) < 0) return -1;
      current = Ref::steal(found);
    } else {
      current = Ref::steal(PyObject_GetItem(parent, w.key.get()));
      if (!current) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError) && !PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
        PyErr_Clear();
      }
    }
    if (current.get() != w.list.get()) continue;
    Ref done = finished_sequence(r, w);
    if (!done) return -1;
    if ((PyDict_CheckExact(parent) ? PyDict_SetItem(parent, w.key.get(), done.get())
                                   : PyObject_SetItem(parent, w.key.get(), done.get())) < 0)
      return -1;
  }
  return 0;
}

// FlatPath.reconstruct(): the entries of self placed in a new dict, in list
// order, then the working lists turned into their classes.
Ref rebuild(PyObject *module, PyObject *self) {
  Rebuild r;
  if (read_globals(module, kMapping | kMarker, r.names) < 0) return {};
  r.st = r.names.st;
  r.ret = Ref::steal(PyDict_New());
  if (!r.ret) return {};
  if (Py_TYPE(self)->tp_iter == PyList_Type.tp_iter) {
    // The list's own iterator, as `for entry in self` would make it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self); ++i) {
      Ref entry = Ref::borrow(PyList_GET_ITEM(self, i));
      if (place_entry(r, entry.get()) < 0) return {};
    }
  } else {
    Ref it = Ref::steal(PyObject_GetIter(self));
    if (!it) return {};
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
      if (place_entry(r, entry.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
  }
  if (finish_sequences(r) < 0) return {};
  return std::move(r.ret);
}

}  // namespace
