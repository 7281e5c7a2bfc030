// The lazy walk of FlatPath.__flatten__: part of flatpath.cpp, included there
// after the module state and the module globals (Names); not a header of its own.
//
// One Walk per __flatten__ call, stepped by its iterator object. Each level
// being walked is a Frame on an explicit stack, so depth is limited by memory
// only; a container met again below itself raises RecursionError. The path
// elements of the levels are kept on one stack (elems) and copied into a tuple
// only when a pair is made.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

namespace {

// The prefix a level starts from: path[:] when path is truthy, else ().
Ref level_prefix(State *st, PyObject *path) {
  if (path == nullptr || path == Py_None || (PyTuple_CheckExact(path) && PyTuple_GET_SIZE(path) == 0))
    return Ref::borrow(st->empty_tuple);
  if (PyTuple_CheckExact(path)) return Ref::borrow(path);
  int truthy = PyObject_IsTrue(path);
  if (truthy < 0) return {};
  if (!truthy) return Ref::borrow(st->empty_tuple);
  return Ref::steal(PyObject_GetItem(path, st->full_slice));
}

// One level being walked. A plain record: the walk owns the references it
// names as owned and lets go of them when the level is popped (pop_level) or
// the walk is released.
struct Frame {
  enum Mode : unsigned char { DICT, MAPPING, SEQ_INDEX, SEQ_ITER, DELEGATE };
  PyObject *container;  // owned: the level's mapping or sequence (nullptr for DELEGATE)
  PyObject *iter;       // owned or nullptr: items() iterator, element iterator, or a delegate's iterator
  PyObject *own;        // owned or nullptr: the prefix object this level starts
  // This level's prefix: base + elems[base_at:] when base (an exact tuple) is
  // set, else prefix. Both are the `own` of this level or of one outside it,
  // which is popped after this one.
  PyObject *base;
  PyObject *prefix;
  size_t base_at;
  Py_ssize_t index;  // position of the next element (sequences), or PyDict_Next's position (DICT)
  Py_ssize_t size;   // DICT: the size the dict had when the level began
  Py_ssize_t left;   // DICT: how many items are still to come
  Mode mode;
  unsigned char pushed;  // how many elements this level added to Walk::elems (its own, and those of
                         // the containers take_level went into at their last element without a level)
  bool in_set;  // its container is in Walk::on_path
  uint64_t seen;  // DICT: Walk::epoch when its last item was read
};

struct Walk {
  Ref module;
  Ref indict;
  Ref path;
  bool started = false;
  bool finished = false;
  bool running = false;
  // FlatPath.__flatten__ was found to be ours (the global is this module's
  // class, which still has our static method), and nothing that could change
  // that has run since: the levels below are walked in place without looking
  // again. Cleared at every step of a lazy walk and by everything that can
  // run code (forget()).
  bool flatten_ours = false;
  uint64_t epoch = 0;  // counts forget(): the times code could have run
  Names names;  // names.st is set when the walk is made, the globals at its first step
  std::vector<Frame> frames;
  std::vector<PyObject *> elems;  // owned references
  capi::PointerSet on_path;       // containers of the levels from kScanned down (the outer ones are scanned)
  Walk *next_free = nullptr;      // the list of walks being freed (free_walks)
  PyObject *into = nullptr;  // a walk drained by FlatPath(mapping): the list its pairs are appended to

  ~Walk() { drop(); }

  void forget() {
    flatten_ours = false;
    ++epoch;
  }
  // Releases the levels. The walks of their iterators that nothing else
  // holds are added to *todo instead of being freed from inside this call.
  void release(Walk **todo);
  // Releases the levels, and in turn every walk that only they held.
  void drop();

  int traverse(visitproc visit, void *arg) {
    Py_VISIT(module.get());
    Py_VISIT(indict.get());
    Py_VISIT(path.get());
    Py_VISIT(names.mm.get());
    Py_VISIT(names.dictitem.get());
    Py_VISIT(names.marker.get());
    for (const Frame &f : frames) {
      Py_VISIT(f.container);
      Py_VISIT(f.iter);
      Py_VISIT(f.own);
    }
    for (PyObject *e : elems) Py_VISIT(e);
    return 0;
  }
};

struct IterObject {
  PyObject_HEAD
  Walk *walk;
};

int iter_clear(PyObject *self);

// A level's iterator may be another walk (a delegate's result, a mapping's
// items()) that holds the next one, and so on for as many levels as the data
// has: such walks are taken out of their iterator objects while only this
// walk holds them, and freed one after the other, never by recursion.
void Walk::release(Walk **todo) {
  // Release in a local first: letting go of references may run Python code.
  std::vector<Frame> frames_gone;
  frames_gone.swap(frames);
  std::vector<PyObject *> elems_gone;
  elems_gone.swap(elems);
  for (size_t i = frames_gone.size(); i-- > 0;) {
    Frame &f = frames_gone[i];
    if (f.in_set) on_path.remove(f.container);
    PyObject *it = f.iter;
    if (it != nullptr && Py_TYPE(it)->tp_dealloc == capi::gc_dealloc<iter_clear> && Py_REFCNT(it) == 1) {
      auto *io = reinterpret_cast<IterObject *>(it);
      if (Walk *child = io->walk) {
        io->walk = nullptr;
        child->next_free = *todo;
        *todo = child;
      }
    }
  }
  for (size_t i = frames_gone.size(); i-- > 0;) {
    Frame &f = frames_gone[i];
    Py_XDECREF(f.own);
    Py_XDECREF(f.iter);
    Py_XDECREF(f.container);
  }
  for (PyObject *e : elems_gone) Py_DECREF(e);
}

void free_walks(Walk *todo) {
  while (todo != nullptr) {
    Walk *w = todo;
    todo = w->next_free;
    w->release(&todo);
    delete w;
  }
}

void Walk::drop() {
  Walk *todo = nullptr;
  release(&todo);
  free_walks(todo);
}

// Fills path (a new tuple) from its start with the items of base and then
// elems[:n], as new references; returns where the next element goes.
[[gnu::always_inline]] inline PyObject **fill_prefix(PyObject *path, PyObject *base, PyObject *const *elems, size_t n) {
  PyObject **out = &PyTuple_GET_ITEM(path, 0);
  for (Py_ssize_t i = 0, nb = PyTuple_GET_SIZE(base); i < nb; ++i) *out++ = Py_NewRef(PyTuple_GET_ITEM(base, i));
  for (size_t i = 0; i < n; ++i) *out++ = Py_NewRef(elems[i]);
  return out;
}

// Fills path (a new tuple of the right length) with base, elems[base_at:]
// and elem, as new references.
[[gnu::always_inline]] inline void fill_path(const Walk &w, const Frame &f, PyObject *elem, PyObject *path) {
  *fill_prefix(path, f.base, w.elems.data() + f.base_at, w.elems.size() - f.base_at) = Py_NewRef(elem);
}

// The length of the path of a pair below frame f (a tuple prefix).
[[gnu::always_inline]] inline Py_ssize_t path_length(const Walk &w, const Frame &f) {
  return PyTuple_GET_SIZE(f.base) + static_cast<Py_ssize_t>(w.elems.size() - f.base_at) + 1;
}

// The path of a pair below frame f whose last element is elem.
Ref leaf_path(Walk &w, const Frame &f, PyObject *elem) {
  if (f.base == nullptr) {
    w.forget();  // the prefix's + runs code
    Ref one = capi::tuple_of(elem);
    if (!one) return {};
    return Ref::steal(PyNumber_Add(f.prefix, one.get()));
  }
  PyObject *path = PyTuple_New(path_length(w, f));
  if (path == nullptr) return {};
  fill_path(w, f, elem, path);
  return Ref::steal(path);
}

// A container met again below itself. The outer levels are found by a scan of
// the frames, which costs less than a set for the depths data usually has;
// the levels from kScanned down are kept in Walk::on_path, so a deep walk
// stays linear.
constexpr size_t kScanned = 16;

// Whether one of the outer kScanned levels walks container. A level holds a
// reference to its container, so a container being walked that is met
// again, through a reference of its own, has at least two: one with a single
// reference is no level, and the scan is skipped.
[[gnu::always_inline]] inline bool in_scanned_levels(const Walk &w, PyObject *container) {
  if (Py_REFCNT(container) == 1) return false;
  size_t scan = w.frames.size() < kScanned ? w.frames.size() : kScanned;
  for (size_t i = 0; i < scan; ++i)
    if (w.frames[i].container == container) return true;
  return false;
}

// Checks that container is not one of the levels being walked: 0 (with
// *in_set telling whether it was added to on_path), or -1 with RecursionError
// or MemoryError set.
[[gnu::always_inline]] inline int check_not_on_path(Walk &w, PyObject *container, bool *in_set) {
  if (in_scanned_levels(w, container)) {
    capi::raise_recursion("cannot flatten a container that contains itself");
    return -1;
  }
  if (w.frames.size() < kScanned) return 0;
  int added = w.on_path.add(container);
  if (added < 0) return -1;
  if (added == 0) {
    capi::raise_recursion("cannot flatten a container that contains itself");
    return -1;
  }
  *in_set = true;
  return 0;
}

// Starts walking container (a mapping when mapping, else a list or tuple) as
// a new level whose prefix is base + elems[base_at:] (base an exact tuple) or
// prefix; own is the prefix object this level starts, if any.
int push_level(Walk &w, PyObject *container, bool mapping, PyObject *base, size_t base_at, PyObject *prefix,
               Ref own, unsigned char pushed) {
  PyTypeObject *tp = Py_TYPE(container);
  Frame f{.container = container, .iter = nullptr, .own = nullptr, .base = base, .prefix = prefix,
          .base_at = base_at, .index = 0, .size = 0, .left = 0, .mode = Frame::DICT, .pushed = pushed,
          .in_set = false, .seen = 0};
  Ref iter;
  if (mapping && tp == &PyDict_Type) {
    // A dict's own items() cannot be replaced: walk it in place, with the
    // checks its items iterator makes.
    f.size = f.left = PyDict_GET_SIZE(container);
  } else if (mapping) {
    w.forget();
    Ref items = capi::call_method(container, w.names.st->str_items);
    if (!items) return -1;
    iter = Ref::steal(PyObject_GetIter(items.get()));
    if (!iter) return -1;
    f.mode = Frame::MAPPING;
  } else if ((PyList_Check(container) && tp->tp_iter == PyList_Type.tp_iter) ||
             (PyTuple_Check(container) && tp->tp_iter == PyTuple_Type.tp_iter)) {
    f.mode = Frame::SEQ_INDEX;
  } else {
    w.forget();
    iter = Ref::steal(PyObject_GetIter(container));
    if (!iter) return -1;
    f.mode = Frame::SEQ_ITER;
  }
  if (check_not_on_path(w, container, &f.in_set) < 0) return -1;
  if (capi::push(w.frames, f) < 0) {
    if (f.in_set) w.on_path.remove(container);
    return -1;
  }
  Py_INCREF(container);
  Frame &added = w.frames.back();
  added.iter = iter.release();
  added.own = own.release();
  added.seen = w.epoch;
  return 0;
}

void pop_elem(Walk &w) {
  PyObject *e = w.elems.back();
  w.elems.pop_back();
  Py_DECREF(e);
}

// Whether the last n path elements are held elsewhere too (letting go of
// them runs no code).
[[gnu::always_inline]] inline bool elems_held(const Walk &w, unsigned n) {
  if (n == 1) return Py_REFCNT(w.elems.back()) > 1;  // a level's own element
  for (auto e = w.elems.end() - n; e != w.elems.end(); ++e)
    if (Py_REFCNT(*e) == 1) return false;
  return true;
}

void pop_level(Walk &w) {
  Frame f = w.frames.back();
  w.frames.pop_back();
  if (f.in_set) w.on_path.remove(f.container);
  // Letting go of the last reference to what the level held can run code.
  if ((f.container != nullptr && Py_REFCNT(f.container) == 1) || f.iter != nullptr || f.own != nullptr ||
      !elems_held(w, f.pushed))
    w.forget();
  Py_XDECREF(f.own);
  Py_XDECREF(f.iter);
  Py_XDECREF(f.container);
  for (unsigned n = f.pushed; n > 0; --n) pop_elem(w);
}

// Pops a level read in place (a dict, a list or tuple) that is done. When
// its container and element are held elsewhere (as they are, unless code has
// changed the data), nothing is let go of for good and no code can run.
[[gnu::always_inline]] inline void end_level(Walk &w) {
  Frame &f = w.frames.back();
  if (!f.in_set && f.iter == nullptr && f.own == nullptr && Py_REFCNT(f.container) > 1 && elems_held(w, f.pushed)) {
    Py_DECREF(f.container);
    for (unsigned n = f.pushed; n > 0; --n) {
      Py_DECREF(w.elems.back());
      w.elems.pop_back();
    }
    w.frames.pop_back();
    return;
  }
  pop_level(w);
}

// What a level (or the top) is: 1 mapping, 0 list or tuple, -2 neither, -1 error.
int container_kind(const Names &n, PyObject *obj) {
  int m = is_mapping(n, obj);
  if (m < 0) return -1;
  if (m) return 1;
  return (PyList_Check(obj) || PyTuple_Check(obj)) ? 0 : -2;
}

// What the walk does with a value, as far as its exact type tells without
// running code: 1 walks into it as a dict, 0 as a list or tuple, -2 yields
// it as a leaf (an empty container, or a value of a common leaf type), 2
// undecided (value_kind tells).
[[gnu::always_inline]] inline int exact_kind(PyObject *value) {
  PyTypeObject *tp = Py_TYPE(value);
  if (tp == &PyUnicode_Type || tp == &PyLong_Type) return -2;
  if (tp == &PyDict_Type) return PyDict_GET_SIZE(value) ? 1 : -2;
  if (tp == &PyList_Type || tp == &PyTuple_Type) return Py_SIZE(value) ? 0 : -2;
  if (tp == &PyFloat_Type || tp == &PyBool_Type || tp == &PyBytes_Type || value == Py_None) return -2;
  return 2;
}

[[gnu::always_inline]] inline int plain_kind(const Names &n, PyObject *value) {
  return n.mm_ours ? exact_kind(value) : 2;
}

// What the walk does with a value: 1 walks into it as a mapping, 0 as a list
// or tuple, -2 yields it as a leaf (anything else, or an empty container), -1 error.
// The isinstance and truth tests can run code.
int value_kind(const Names &n, PyObject *value) {
  int kind = container_kind(n, value);
  if (kind < 0) return kind;
  int truthy = PyObject_IsTrue(value);
  if (truthy < 0) return -1;
  return truthy ? kind : -2;
}

// Sets up the walk on the first next(): returns 1 when levels were pushed, 0
// when *bare holds the argument itself (neither mapping nor sequence), -1 on error.
int walk_start(Walk &w, Ref *bare) {
  Ref prefix = level_prefix(w.names.st, w.path.get());
  if (!prefix || read_globals(w.module.get(), kMapping | kDictItem | kMarker, w.names) < 0) return -1;
  int kind = container_kind(w.names, w.indict.get());
  if (kind == -1) return -1;
  if (kind == -2) {
    *bare = w.indict.dup();
    return 0;
  }
  PyObject *p = prefix.get();
  bool tuple = PyTuple_CheckExact(p);
  if (push_level(w, w.indict.get(), kind == 1, tuple ? p : nullptr, 0, tuple ? nullptr : p, std::move(prefix), 0) <
      0)
    return -1;
  return 1;
}

// FlatPath.__flatten__ as the module global FlatPath has it now: returns 1 and
// leaves *func empty when it is this module's own (the walk goes on in
// place), 0 with *func set to another callable, -1 on error.
int nested_flatten(Walk &w, Ref *func) {
  State *st = w.names.st;
  Ref cls = capi::global(w.module.get(), st->str_FlatPath);
  if (!cls) return -1;
  // Our class: its lookup of __flatten__ reads only its own namespace and
  // those of list and object, which run no code, so the answer holds until
  // something else runs code.
  if (cls.get() == st->flatpath_cls &&
      capi::method_is_ours(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_flatten, st->flatten_static)) {
    w.flatten_ours = true;
    return 1;
  }
  if (PyType_Check(cls.get()) &&
      capi::method_is_ours(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_flatten, st->flatten_static))
    return 1;
  Ref found = Ref::steal(PyObject_GetAttr(cls.get(), st->str_flatten));
  if (!found) return -1;
  if (found.get() == st->flatten_func) return 1;
  *func = std::move(found);
  return 0;
}

// Goes below frame w.frames.back() into value through the element elem: a
// level of this walk, or (FlatPath.__flatten__ replaced) a level whose pairs
// the replacement's result gives. value and elem are held by the caller.
int descend(Walk &w, PyObject *value, bool mapping, PyObject *elem) {
  Ref func;
  int ours = w.flatten_ours ? 1 : nested_flatten(w, &func);
  if (ours < 0) return -1;
  if (!ours) {
    w.forget();
    Ref child = leaf_path(w, w.frames.back(), elem);
    if (!child) return -1;
    Ref result = capi::call(func.get(), value, child.get());
    if (!result) return -1;
    Ref iter = Ref::steal(PyObject_GetIter(result.get()));
    if (!iter) return -1;
    Frame d{.container = nullptr, .iter = nullptr, .own = nullptr, .base = nullptr, .prefix = nullptr,
            .base_at = 0, .index = 0, .size = 0, .left = 0, .mode = Frame::DELEGATE, .pushed = 0,
            .in_set = false, .seen = 0};
    if (capi::push(w.frames, d) < 0) return -1;
    w.frames.back().iter = iter.release();
    return 0;
  }
  const Frame &f = w.frames.back();
  if (f.base != nullptr) {
    PyObject *base = f.base;
    size_t base_at = f.base_at;
    if (capi::push(w.elems, elem) < 0) return -1;
    Py_INCREF(elem);
    if (push_level(w, value, mapping, base, base_at, nullptr, Ref(), 1) < 0) {
      pop_elem(w);
      return -1;
    }
    return 0;
  }
  // A level whose prefix is not a tuple: prefix + (elem,), then [:] as the
  // nested call would take it.
  Ref child = leaf_path(w, f, elem);
  if (!child) return -1;
  Ref prefix = level_prefix(w.names.st, child.get());
  if (!prefix) return -1;
  PyObject *p = prefix.get();
  if (PyTuple_CheckExact(p)) return push_level(w, value, mapping, p, w.elems.size(), nullptr, std::move(prefix), false);
  return push_level(w, value, mapping, nullptr, 0, p, std::move(prefix), false);
}

// Appends elem (borrowed) to w.elems without taking its reference: 0, or -1 with MemoryError.
[[gnu::always_inline]] inline int push_elem(Walk &w, PyObject *elem) {
  if (w.elems.size() < w.elems.capacity()) {
    w.elems.push_back(elem);
    return 0;
  }
  return capi::push(w.elems, elem);
}

// The common step down: FlatPath.__flatten__ is known to be ours, the level
// has a tuple prefix and value is an exact dict (dict) or list or tuple, not
// empty. One more element on the path, one more level; nothing runs code.
[[gnu::always_inline]] inline int plain_descend(Walk &w, PyObject *value, bool dict, PyObject *elem) {
  const Frame &f = w.frames.back();
  Py_ssize_t size = dict ? PyDict_GET_SIZE(value) : 0;
  Frame child{.container = value, .iter = nullptr, .own = nullptr, .base = f.base, .prefix = nullptr,
              .base_at = f.base_at, .index = 0, .size = size, .left = size,
              .mode = dict ? Frame::DICT : Frame::SEQ_INDEX, .pushed = 1, .in_set = false, .seen = w.epoch};
  if (check_not_on_path(w, value, &child.in_set) < 0) return -1;
  if (push_elem(w, elem) < 0) {
    if (child.in_set) w.on_path.remove(value);
    return -1;
  }
  if (capi::push(w.frames, child) < 0) {
    w.elems.pop_back();
    if (child.in_set) w.on_path.remove(value);
    return -1;
  }
  Py_INCREF(elem);
  Py_INCREF(value);
  return 0;
}

// The pair for a leaf below the innermost level: 1 with the new pair in *item, -1 on error.
[[gnu::noinline]] int other_pair(Walk &w, PyObject *elem, PyObject *value, PyObject **item) {
  w.forget();  // DictItem as the global stands, or the prefix's +, runs code
  Ref held_elem = Ref::borrow(elem), held_value = Ref::borrow(value);
  Ref path = leaf_path(w, w.frames.back(), elem);
  if (!path) return -1;
  *item = make_item(w.names, std::move(path), value).release();
  return *item ? 1 : -1;
}

[[gnu::always_inline]] inline int leaf_pair(Walk &w, PyObject *elem, PyObject *value, PyObject **item) {
  const Frame &f = w.frames.back();
  if (!w.names.dictitem_ours || f.base == nullptr) return other_pair(w, elem, value, item);
  // DictItem(path, value) made directly: nothing here runs code.
  PyObject *path = PyTuple_New(path_length(w, f));
  if (path == nullptr) return -1;
  fill_path(w, f, elem, path);
  *item = new_dictitem(w.names.st, path, value);
  return *item ? 1 : -1;
}

// Appends item to list (a list or a subclass's instance), taking the
// reference: 0, or -1 with MemoryError (item released). An append with room
// left is what the list's own append does.
[[gnu::always_inline]] inline int append_steal(PyObject *list, PyObject *item) {
  auto *l = reinterpret_cast<PyListObject *>(list);
  const Py_ssize_t n = Py_SIZE(l);
  if (n < l->allocated) {
    l->ob_item[n] = item;
    Py_SET_SIZE(l, n + 1);
    return 0;
  }
  int r = PyList_Append(list, item);
  Py_DECREF(item);
  return r;
}

int take_other(Walk &w, PyObject *elem, PyObject *value, int kind, PyObject **item);

// How many containers take_level goes into at their last element without
// making a level for them (the rest of them is nothing to come back to).
constexpr int kTail = 8;

// Whether container is on the path: a level being walked, or one of the
// tail containers of take_level. Met again below itself, it has two
// references at least: the level's own, or for a tail (take_level holds
// none) its parent's, and the one it is met through.
[[gnu::always_inline]] inline bool on_path(const Walk &w, PyObject *container, PyObject *const *tail, int tails) {
  if (Py_REFCNT(container) == 1) return false;
  if (in_scanned_levels(w, container)) return true;
  if (w.frames.size() >= kScanned && w.on_path.contains(container)) return true;
  for (int i = 0; i < tails; ++i)
    if (tail[i] == container) return true;
  return false;
}

// The common step down in a drained walk (Walk::into), with pairs and
// markers made directly: the leaves at the start of value are read in place
// and their pairs appended at once, and value's level is made only at its
// first element that is not a plain leaf (small containers are often leaves
// only, and need no level at all). That element is then gone into the same
// way, or, when its exact type does not decide it, taken as usual. When it
// is value's last element, nothing of value is left to come back to, and no
// level is made for it at all (up to kTail in a row): its path element stays
// on elems, owned by the next level made, or let go of at the end. Nothing
// runs code until an element is taken as usual. 0, or -1 on error.
[[gnu::noinline]] int take_level(Walk &w, PyObject *value, bool dict, PyObject *elem) {
  State *st = w.names.st;
  Ref held;                // the marker that elem is, from the second round on
  PyObject *tail[kTail];   // the containers gone into without a level: still on the path
  int tails = 0;           // their path elements are the last `tails` of w.elems
  int r = -1;
  for (;;) {
    if (on_path(w, value, tail, tails)) {
      capi::raise_recursion("cannot flatten a container that contains itself");
      break;
    }
    // The paths here are base + elems[base_at:] + (elem, key or marker).
    PyObject *base = w.frames.back().base;
    size_t base_at = w.frames.back().base_at;
    PyObject *const *prefix = w.elems.data() + base_at;
    size_t prefix_n = w.elems.size() - base_at;
    Py_ssize_t length = PyTuple_GET_SIZE(base) + static_cast<Py_ssize_t>(prefix_n) + 2;
    Py_ssize_t size = dict ? PyDict_GET_SIZE(value) : Py_SIZE(value);
    Py_ssize_t pos = 0, index = 0;
    PyObject *key = nullptr, *leaf;
    int kind = -2;
    for (;; ++index) {
      if (dict) {
        if (!PyDict_Next(value, &pos, &key, &leaf)) break;
      } else {
        if (index == size) break;
        leaf = PyList_Check(value) ? PyList_GET_ITEM(value, index) : PyTuple_GET_ITEM(value, index);
      }
      kind = exact_kind(leaf);  // the step down here was plain, so the exact types decide
      if (kind != -2) break;
      PyObject *path = PyTuple_New(length);
      if (path == nullptr) goto done;
      PyObject **out = fill_prefix(path, base, prefix, prefix_n);
      out[0] = Py_NewRef(elem);
      if (dict) {
        out[1] = Py_NewRef(key);
      } else if ((out[1] = make_marker(w.names, value, index).release()) == nullptr) {
        Py_DECREF(path);
        goto done;
      }
      PyObject *item = new_dictitem(st, path, leaf);
      if (item == nullptr || append_steal(w.into, item) < 0) goto done;
    }
    if (kind == -2) {  // all leaves
      r = 0;
      break;
    }
    Ref next = dict ? Ref::borrow(key) : make_marker(w.names, value, index);
    if (!next) break;
    if (index == size - 1 && kind != 2 && tails < kTail) {
      if (push_elem(w, elem) < 0) break;
      Py_INCREF(elem);
      tail[tails++] = value;
    } else {
      // value's level, to go on after this element
      if (plain_descend(w, value, dict, elem) < 0) break;
      Frame &f = w.frames.back();
      f.index = dict ? pos : index + 1;
      if (dict) f.left = size - index - 1;
      f.pushed = static_cast<unsigned char>(f.pushed + tails);
      tails = 0;
      if (kind == 2) {
        PyObject *item;
        int got = take_other(w, next.get(), leaf, kind, &item);
        return got == 1 ? append_steal(w.into, item) : got;
      }
    }
    value = leaf;
    dict = kind == 1;
    elem = next.get();
    held = std::move(next);
  }
done:
  // The path elements no level owns.
  for (; tails > 0; --tails) pop_elem(w);
  return r;
}

// What take() does when the value's exact type does not decide it, or the
// step down is not the common one: elem and value are held, the value is
// classified by isinstance and truth if need be, and the walk goes below it
// or makes its pair.
[[gnu::noinline]] int take_other(Walk &w, PyObject *elem, PyObject *value, int kind, PyObject **item) {
  Ref held_elem = Ref::borrow(elem), held_value = Ref::borrow(value);
  if (kind == 2) {
    w.forget();
    kind = value_kind(w.names, value);
    if (kind == -1) return -1;
    if (kind == -2) return leaf_pair(w, elem, value, item);
  }
  return descend(w, value, kind == 1, elem) < 0 ? -1 : 0;
}

// One element of the innermost level, elem its path element and value its
// value (both borrowed, and kept alive by the caller or the level): goes below
// value (0) or makes its pair (1, in *item); -1 on error.
[[gnu::always_inline]] inline int take(Walk &w, PyObject *elem, PyObject *value, PyObject **item) {
  int kind = plain_kind(w.names, value);
  if (kind == -2) return leaf_pair(w, elem, value, item);
  if (kind != 2 && w.flatten_ours && w.frames.back().base != nullptr) {
    if (w.into != nullptr && w.names.dictitem_ours && w.names.marker_ours) return take_level(w, value, kind == 1, elem);
    return plain_descend(w, value, kind == 1, elem);
  }
  return take_other(w, elem, value, kind, item);
}

// Reads what the innermost level gives next when it is read through an
// iterator: 1 with its path element in *elem and its value in *value; 2 with
// a delegate's item, yielded as it is, in *value; 0 when the level is done
// (it is popped); -1 on error.
int level_next(Walk &w, Ref *elem, Ref *value) {
  Frame &f = w.frames.back();
  w.forget();  // the iterators are anyone's code
  switch (f.mode) {
    case Frame::DELEGATE:
      *value = Ref::steal(PyIter_Next(f.iter));
      if (*value) return 2;
      break;
    case Frame::MAPPING: {
      Ref pair = Ref::steal(PyIter_Next(f.iter));
      if (!pair) break;
      Ref kv[2];
      if (capi::unpack_exact(pair.get(), kv, 2) < 0) return -1;
      *elem = std::move(kv[0]);
      *value = std::move(kv[1]);
      return 1;
    }
    case Frame::SEQ_ITER: {
      *value = Ref::steal(PyIter_Next(f.iter));
      if (!*value) break;
      PyObject *seq = f.container;
      *elem = make_marker(w.names, seq, f.index++);
      return *elem ? 1 : -1;
    }
    default:
      break;
  }
  // The end of an iterator, or its error.
  if (PyErr_Occurred()) return -1;
  pop_level(w);
  return 0;
}

// take() for the next element of a level read through an iterator.
[[gnu::noinline]] int take_next_of_iterator(Walk &w, PyObject **item) {
  Ref elem, value;
  int got = level_next(w, &elem, &value);
  if (got <= 0) return got;
  if (got == 2) {
    *item = value.release();
    return 1;
  }
  return take(w, elem.get(), value.get(), item);
}

// take() for the element at the position of a list or tuple when IndexMarker
// is not made directly (its call runs code).
[[gnu::noinline]] int take_with_other_marker(Walk &w, PyObject *seq, Py_ssize_t i, PyObject *value, PyObject **item) {
  w.forget();
  Ref held_value = Ref::borrow(value);
  Ref marker = make_marker(w.names, seq, i);
  if (!marker) return -1;
  return take(w, marker.get(), value, item);
}

// The next pair (or, for a bare top-level object, that object), or nullptr.
// A drained walk (Walk::into) runs to its end, handing every pair on to the
// list, and returns nullptr. nullptr comes at the end (no error set) or on
// error.
//
// Dicts, and lists and tuples read by position, are read in place: a key or
// a value is borrowed while nothing runs that could let go of it (the plain
// type tests, the pair, the marker and the step down made directly), and
// held before anything else (take_other, other_pair).
PyObject *walk_next(Walk &w) {
  PyObject *item;
  if (!w.started) {
    w.started = true;
    Ref bare;
    int r = walk_start(w, &bare);
    if (r < 0) return nullptr;
    if (r == 0) {
      w.finished = true;
      if (w.into == nullptr) return bare.release();
      PyList_Append(w.into, bare.get());  // on failure, drain_walk finds the error set
      return nullptr;
    }
  }
  while (!w.frames.empty()) {
    Frame &f = w.frames.back();
    int got;
    if (f.mode == Frame::DICT) {
      PyObject *d = f.container;
      if (f.left == 0 && f.seen == w.epoch) {
        // All its items are read and no code has run since the last: the
        // dict is as it was, and done.
        end_level(w);
        continue;
      }
      if (PyDict_GET_SIZE(d) != f.size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return nullptr;
      }
      PyObject *key, *value;
      if (!PyDict_Next(d, &f.index, &key, &value)) {
        end_level(w);
        continue;
      }
      if (f.left-- == 0) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return nullptr;
      }
      f.seen = w.epoch;
      got = take(w, key, value, &item);
    } else if (f.mode == Frame::SEQ_INDEX) {
      // Read as the list iterator does: the size again at every step.
      PyObject *seq = f.container;
      bool list = PyList_Check(seq);
      Py_ssize_t i = f.index;
      if (i >= (list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq))) {
        end_level(w);
        continue;
      }
      f.index = i + 1;
      PyObject *value = list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
      if (w.names.marker_ours) {
        PyObject *marker = make_marker(w.names, seq, i).release();
        if (marker == nullptr) return nullptr;
        got = take(w, marker, value, &item);
        Py_DECREF(marker);  // held by the pair's path or the path elements now
      } else {
        got = take_with_other_marker(w, seq, i, value, &item);
      }
    } else {
      got = take_next_of_iterator(w, &item);
    }
    if (got < 0) return nullptr;
    if (got == 0) continue;
    if (w.into == nullptr) return item;
    if (append_steal(w.into, item) < 0) return nullptr;
  }
  return nullptr;
}

// --- the walk's iterator object ---------------------------------------------------
//
// A step of a walk may run inside the step of another (a level read from a
// walk: a replaced FlatPath.__flatten__, a mapping's items(), a sequence's
// __iter__, directly or through other C code), one C frame chain per level of
// the data. Such a nested step counts as a nested call of the interpreter's C
// recursion limit, as a generator's step does; the outermost step, which all
// plain data is walked in, needs no guard. The limit is set for the
// interpreter's own frames: a step with the C calls between it and the next
// can take several times their stack (and AddressSanitizer builds, with
// redzones around every local passed by address, several times more), so a
// nested step counts as kStepWeight calls, much as CPython lowers the limit
// for its own sanitizer builds.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kStepWeight = 10;
#else
constexpr int kStepWeight = 4;
#endif

// walk_next for a step inside another step.
[[gnu::noinline]] PyObject *nested_walk_next(Walk &w) {
  capi::RecursionGuard guard(" while flattening", kStepWeight);
  return guard ? walk_next(w) : nullptr;
}

PyObject *iter_next(PyObject *self) {
  Walk *w = reinterpret_cast<IterObject *>(self)->walk;
  if (w == nullptr || w->finished) return nullptr;
  if (w->running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  // Nested: another step of this module's walks is running. The count is the
  // module's (so the interpreter's), not the thread's: a step of another
  // thread that runs while this one waits for the GIL counts as nested too,
  // which only charges it against its own thread's limit.
  State *st = w->names.st;
  w->running = true;
  w->forget();  // the caller's code has run since the last step
  PyObject *item = ++st->steps_running > 1 ? nested_walk_next(*w) : walk_next(*w);
  --st->steps_running;
  w->running = false;
  if (item == nullptr) {
    // Finished or failed: like a generator, it yields nothing more.
    w->finished = true;
    PyObject *exc = PyErr_GetRaisedException();
    w->drop();
    if (exc != nullptr) PyErr_SetRaisedException(exc);
  }
  return item;
}

int iter_traverse(PyObject *self, visitproc visit, void *arg) {
  Py_VISIT(Py_TYPE(self));
  Walk *w = reinterpret_cast<IterObject *>(self)->walk;
  return w ? w->traverse(visit, arg) : 0;
}

int iter_clear(PyObject *self) {
  Walk *w = reinterpret_cast<IterObject *>(self)->walk;
  reinterpret_cast<IterObject *>(self)->walk = nullptr;
  if (w != nullptr) {
    w->next_free = nullptr;
    free_walks(w);
  }
  return 0;
}

PyDoc_STRVAR(iter_doc, "Lazy depth-first walk yielding the (path, value) pairs of a nested mapping.");

PyType_Slot iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(capi::gc_dealloc<iter_clear>)},
    {Py_tp_traverse, reinterpret_cast<void *>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(iter_next)},
    {Py_tp_doc, const_cast<char *>(iter_doc)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    .name = "dravix.datastructures.flatpath.FlattenIterator",
    .basicsize = sizeof(IterObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = iter_slots,
};

// A new walk of indict below path, not started.
Ref new_walk(PyObject *module, PyObject *indict, PyObject *path) {
  auto *tp = reinterpret_cast<PyTypeObject *>(capi::state_of<State>(module)->iter_type);
  Ref it = Ref::steal(tp->tp_alloc(tp, 0));
  if (!it) return {};
  Walk *w = new (std::nothrow) Walk;
  if (w == nullptr) {
    PyErr_NoMemory();
    return {};
  }
  w->module = Ref::borrow(module);
  w->indict = Ref::borrow(indict);
  w->path = Ref::borrow(path);
  w->names.st = capi::state_of<State>(module);
  reinterpret_cast<IterObject *>(it.get())->walk = w;
  return it;
}

// --- FlatPath(mapping): a walk drained into the list --------------------------------
//
// When FlatPath.__flatten__ is ours, the constructor walks the mapping itself
// and appends each pair to the list, as list.__init__ would from the walk's
// iterator, without the iterator object and its steps: between two pairs no
// code but the walk's own runs, so what the walk has checked holds from one
// pair to the next (Walk::flatten_ours). As it may hand on several pairs in
// one step, it reads small containers in place where it can (take_level).
// Data whose containers hold themselves fails at the same pair either way.

int drain_walk(Walk &w) {
  walk_next(w);
  return PyErr_Occurred() ? -1 : 0;
}

[[gnu::noinline]] int nested_drain_walk(Walk &w) {
  capi::RecursionGuard guard(" while flattening", kStepWeight);
  return guard ? drain_walk(w) : -1;
}

// Appends the pairs of a walk of indict (from the top, no prefix) to list.
int flatten_into(PyObject *module, PyObject *indict, PyObject *list) {
  Walk w;
  w.module = Ref::borrow(module);
  w.indict = Ref::borrow(indict);
  w.path = Ref::borrow(Py_None);
  w.into = list;
  State *st = w.names.st = capi::state_of<State>(module);
  // A drain inside a step of another walk is a nested step (see iter_next).
  int r = ++st->steps_running > 1 ? nested_drain_walk(w) : drain_walk(w);
  --st->steps_running;
  return r;
}

}  // namespace
