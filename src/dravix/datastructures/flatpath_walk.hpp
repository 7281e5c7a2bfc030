// The lazy walk of FlatPath.__flatten__: part of flatpath.cpp, included there
// after the module state and the module globals (Names); not a header of its own.
//
// One Walk per __flatten__ call, stepped by its iterator object. Each level
// being walked is a Frame on an explicit stack, so depth is limited by memory
// only; a container met again below itself raises RecursionError. The path
// elements of the levels are kept on one stack (elems) and copied into a tuple
// only when a pair is made.
#pragma once

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

struct Frame {
  enum Mode : unsigned char { DICT, MAPPING, SEQ_INDEX, SEQ_ITER, DELEGATE };
  Ref container;  // the level's mapping or sequence (nullptr for DELEGATE)
  Ref iter;       // items() iterator, element iterator, or a delegate's iterator
  Ref base;       // an exact tuple: this level's prefix is base + elems[base_at:]
  Ref prefix;     // the prefix object itself, when it is not a tuple (base is then nullptr)
  size_t base_at = 0;
  Py_ssize_t index = 0;  // position of the next element (sequences), or PyDict_Next's position (DICT)
  Py_ssize_t size = 0;   // DICT: the size the dict had when the level began
  Py_ssize_t left = 0;   // DICT: how many items are still to come
  Mode mode = DICT;
  bool pushed = false;  // this level added one element to Walk::elems
};

struct Walk {
  Ref module;
  Ref indict;
  Ref path;
  bool started = false;
  bool finished = false;
  bool running = false;
  Names names;  // names.st is set when the walk is made, the globals at its first step
  std::vector<Frame> frames;
  std::vector<PyObject *> elems;  // owned references
  capi::PointerSet on_path;       // containers of the levels being walked
  Walk *next_free = nullptr;      // the list of walks being freed (free_walks)

  ~Walk() { drop(); }

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
      Py_VISIT(f.container.get());
      Py_VISIT(f.iter.get());
      Py_VISIT(f.base.get());
      Py_VISIT(f.prefix.get());
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
  // Release in a local first: destructors may run Python code.
  std::vector<Frame> frames_gone;
  frames_gone.swap(frames);
  std::vector<PyObject *> elems_gone;
  elems_gone.swap(elems);
  for (size_t i = frames_gone.size(); i-- > 0;) {
    Frame &f = frames_gone[i];
    if (f.container) on_path.remove(f.container.get());
    PyObject *it = f.iter.get();
    if (it != nullptr && Py_TYPE(it)->tp_dealloc == capi::gc_dealloc<iter_clear> && Py_REFCNT(it) == 1) {
      auto *io = reinterpret_cast<IterObject *>(it);
      if (Walk *child = io->walk) {
        io->walk = nullptr;
        child->next_free = *todo;
        *todo = child;
      }
    }
  }
  while (!frames_gone.empty()) frames_gone.pop_back();
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

// The path of a pair below frame f whose last element is elem.
Ref leaf_path(Walk &w, const Frame &f, PyObject *elem) {
  if (!f.base) {
    Ref one = capi::tuple_of(elem);
    if (!one) return {};
    return Ref::steal(PyNumber_Add(f.prefix.get(), one.get()));
  }
  Py_ssize_t base_len = PyTuple_GET_SIZE(f.base.get());
  size_t below = w.elems.size() - f.base_at;
  Ref path = Ref::steal(PyTuple_New(base_len + static_cast<Py_ssize_t>(below) + 1));
  if (!path) return {};
  PyObject *t = path.get();
  for (Py_ssize_t i = 0; i < base_len; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(PyTuple_GET_ITEM(f.base.get(), i)));
  for (size_t i = 0; i < below; ++i) PyTuple_SET_ITEM(t, base_len + i, Py_NewRef(w.elems[f.base_at + i]));
  PyTuple_SET_ITEM(t, base_len + below, Py_NewRef(elem));
  return path;
}

// Starts walking container (a mapping when mapping, else a list or tuple) as
// a new level. Either base (an exact tuple prefix, with elements from
// elems[base_at:]) or prefix (any other prefix object) is given.
int push_level(Walk &w, PyObject *container, bool mapping, Ref base, size_t base_at, Ref prefix, bool pushed) {
  Frame f;
  f.container = Ref::borrow(container);
  f.base = std::move(base);
  f.base_at = base_at;
  f.prefix = std::move(prefix);
  f.pushed = pushed;
  PyTypeObject *tp = Py_TYPE(container);
  if (mapping && tp == &PyDict_Type) {
    // A dict's own items() cannot be replaced: walk it in place, with the
    // checks its items iterator makes.
    f.mode = Frame::DICT;
    f.size = f.left = PyDict_GET_SIZE(container);
  } else if (mapping) {
    Ref items = capi::call_method(container, w.names.st->str_items);
    if (!items) return -1;
    f.iter = Ref::steal(PyObject_GetIter(items.get()));
    if (!f.iter) return -1;
    f.mode = Frame::MAPPING;
  } else if ((PyList_Check(container) && tp->tp_iter == PyList_Type.tp_iter) ||
             (PyTuple_Check(container) && tp->tp_iter == PyTuple_Type.tp_iter)) {
    f.mode = Frame::SEQ_INDEX;
  } else {
    f.iter = Ref::steal(PyObject_GetIter(container));
    if (!f.iter) return -1;
    f.mode = Frame::SEQ_ITER;
  }
  int added = w.on_path.add(container);
  if (added < 0) return -1;
  if (added == 0) {
    capi::raise_recursion("cannot flatten a container that contains itself");
    return -1;
  }
  if (capi::push(w.frames, std::move(f)) < 0) {
    w.on_path.remove(container);
    return -1;
  }
  return 0;
}

void pop_elem(Walk &w) {
  PyObject *e = w.elems.back();
  w.elems.pop_back();
  Py_DECREF(e);
}

void pop_level(Walk &w) {
  Frame f = std::move(w.frames.back());
  w.frames.pop_back();
  if (f.container) w.on_path.remove(f.container.get());
  if (f.pushed) pop_elem(w);
}

// What a level (or the top) is: 1 mapping, 0 list or tuple, -2 neither, -1 error.
int container_kind(const Names &n, PyObject *obj) {
  int m = is_mapping(n, obj);
  if (m < 0) return -1;
  if (m) return 1;
  return (PyList_Check(obj) || PyTuple_Check(obj)) ? 0 : -2;
}

// What the walk does with a value: 1 walks into it as a mapping, 0 as a list
// or tuple, -2 yields it as a leaf (anything else, or an empty container), -1 error.
int value_kind(const Names &n, PyObject *value) {
  PyTypeObject *tp = Py_TYPE(value);
  if (n.mm_ours && tp == &PyDict_Type) return PyDict_GET_SIZE(value) ? 1 : -2;
  if (n.mm_ours && (tp == &PyList_Type || tp == &PyTuple_Type)) return Py_SIZE(value) ? 0 : -2;
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
  Ref base, other;
  if (PyTuple_CheckExact(prefix.get()))
    base = std::move(prefix);
  else
    other = std::move(prefix);
  if (push_level(w, w.indict.get(), kind == 1, std::move(base), 0, std::move(other), false) < 0) return -1;
  return 1;
}

// FlatPath.__flatten__ as the module global FlatPath has it now: returns 1 and
// leaves *func empty when it is this module's own (the walk goes on in
// place), 0 with *func set to another callable, -1 on error.
int nested_flatten(Walk &w, Ref *func) {
  State *st = w.names.st;
  Ref cls = capi::global(w.module.get(), st->str_FlatPath);
  if (!cls) return -1;
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
// the replacement's result gives.
int descend(Walk &w, PyObject *value, bool mapping, Ref elem) {
  Ref func;
  int ours = nested_flatten(w, &func);
  if (ours < 0) return -1;
  Frame &f = w.frames.back();
  if (!ours) {
    Ref child = leaf_path(w, f, elem.get());
    if (!child) return -1;
    Ref result = capi::call(func.get(), value, child.get());
    if (!result) return -1;
    Frame d;
    d.iter = Ref::steal(PyObject_GetIter(result.get()));
    if (!d.iter) return -1;
    d.mode = Frame::DELEGATE;
    return capi::push(w.frames, std::move(d));
  }
  if (f.base) {
    Ref base = f.base.dup();
    size_t base_at = f.base_at;
    if (capi::push(w.elems, elem.get()) < 0) return -1;
    elem.release();
    if (push_level(w, value, mapping, std::move(base), base_at, Ref(), true) < 0) {
      pop_elem(w);
      return -1;
    }
    return 0;
  }
  // A level whose prefix is not a tuple: prefix + (elem,), then [:] as the
  // nested call would take it.
  Ref child = leaf_path(w, f, elem.get());
  if (!child) return -1;
  Ref prefix = level_prefix(w.names.st, child.get());
  if (!prefix) return -1;
  if (PyTuple_CheckExact(prefix.get()))
    return push_level(w, value, mapping, std::move(prefix), w.elems.size(), Ref(), false);
  return push_level(w, value, mapping, Ref(), 0, std::move(prefix), false);
}

// Reads what the innermost level gives next: 1 with its path element in
// *elem and its value in *value; 2 with a delegate's item, yielded as it is,
// in *value; 0 when the level is done (it is popped); -1 on error.
int level_next(Walk &w, Ref *elem, Ref *value) {
  Frame &f = w.frames.back();
  switch (f.mode) {
    case Frame::DELEGATE:
      *value = Ref::steal(PyIter_Next(f.iter.get()));
      if (*value) return 2;
      break;
    case Frame::DICT: {
      PyObject *d = f.container.get();
      if (PyDict_GET_SIZE(d) != f.size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return -1;
      }
      PyObject *key, *item;
      if (!PyDict_Next(d, &f.index, &key, &item)) break;
      if (f.left-- == 0) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return -1;
      }
      *elem = Ref::borrow(key);
      *value = Ref::borrow(item);
      return 1;
    }
    case Frame::MAPPING: {
      Ref pair = Ref::steal(PyIter_Next(f.iter.get()));
      if (!pair) break;
      Ref kv[2];
      if (capi::unpack_exact(pair.get(), kv, 2) < 0) return -1;
      *elem = std::move(kv[0]);
      *value = std::move(kv[1]);
      return 1;
    }
    case Frame::SEQ_INDEX: {
      // Read as the list iterator does: the size again at every step.
      PyObject *seq = f.container.get();
      bool list = PyList_Check(seq);
      if (f.index >= (list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq))) break;
      *value = Ref::borrow(list ? PyList_GET_ITEM(seq, f.index) : PyTuple_GET_ITEM(seq, f.index));
      *elem = make_marker(w.names, seq, f.index++);
      return *elem ? 1 : -1;
    }
    case Frame::SEQ_ITER:
      *value = Ref::steal(PyIter_Next(f.iter.get()));
      if (!*value) break;
      *elem = make_marker(w.names, f.container.get(), f.index++);
      return *elem ? 1 : -1;
  }
  if (PyErr_Occurred()) return -1;
  pop_level(w);
  return 0;
}

// The next pair (or, for a bare top-level object, that object), nullptr at
// the end or on error.
PyObject *walk_next(Walk &w) {
  if (!w.started) {
    w.started = true;
    Ref bare;
    int r = walk_start(w, &bare);
    if (r < 0) return nullptr;
    if (r == 0) {
      w.finished = true;
      return bare.release();
    }
  }
  while (!w.frames.empty()) {
    Ref elem, value;
    int got = level_next(w, &elem, &value);
    if (got < 0) return nullptr;
    if (got == 0) continue;
    if (got == 2) return value.release();
    int kind = value_kind(w.names, value.get());
    if (kind == -1) return nullptr;
    if (kind >= 0) {
      if (descend(w, value.get(), kind == 1, std::move(elem)) < 0) return nullptr;
      continue;
    }
    Ref path = leaf_path(w, w.frames.back(), elem.get());
    if (!path) return nullptr;
    return make_item(w.names, std::move(path), value.get()).release();
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

}  // namespace
