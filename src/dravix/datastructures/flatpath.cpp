// dravix.datastructures.flatpath: nested dictionaries as flat lists of (path, value) pairs.
//
//   fp = FlatPath({'a': {'b': [1, 2]}})
//   list(fp) == [(('a', 'b', list[0]), 1), (('a', 'b', list[1]), 2)]   # DictItem pairs
//   fp.reconstruct() == {'a': {'b': [1, 2]}}                           # a new nested dict
//
// A path spells out where a value sits: mapping keys as they are, positions in
// lists and tuples as IndexMarker objects that remember the sequence's class.
//
// Flattening is a lazy iterator over an explicit stack of levels, so depth is
// limited by memory only; a container met again below itself raises
// RecursionError. Paths are kept as one stack of elements and turned into
// tuples only for the pairs that are yielded.
//
// The rebuild keeps every sequence it grows as a plain working list and turns
// it into its marker's class once all entries are placed, so tuples, named
// tuples and list subclasses come back whole at any depth.
#include <new>
#include <optional>
#include <vector>

#include "capi.hpp"
#include "ptrset.hpp"
#include "unpack.hpp"

namespace {

using capi::Ref;

constexpr const char kPairMessage[] = "FlatPath only accepts a tuple of path/obj";

struct State {
  // interned names
  PyObject *str_items;
  PyObject *str_get;
  PyObject *str_type_;
  PyObject *str_index;
  PyObject *str_format;
  PyObject *str_flatten;
  PyObject *str_init;
  PyObject *str_new;
  PyObject *str_fields;
  PyObject *str_FlatPath;
  PyObject *str_DictItem;
  PyObject *str_IndexMarker;
  PyObject *str_MutableMapping;
  PyObject *marker_template;  // "{type_}[{index}]"
  PyObject *format_kwnames;   // ("type_", "index")
  PyObject *empty_tuple;
  PyObject *full_slice;       // slice(None, None, None)
  PyObject *minus_one;        // -1
  // abc.get_cache_token, and what it returned when plain_types_ok was decided
  PyObject *get_cache_token;
  PyObject *abc_token;
  PyObject *plain_types_ok;   // True: dict is a MutableMapping and none of the common leaf types is
  // the module's own objects, as bound at import
  PyObject *mutable_mapping;
  PyObject *dictitem_cls;
  PyObject *dictitem_new;     // DictItem.__new__ as found on the class
  PyObject *marker_cls;
  PyObject *marker_init;      // IndexMarker.__init__ (our method descriptor)
  PyObject *flatpath_cls;
  PyObject *flatten_static;   // the staticmethod in FlatPath's namespace
  PyObject *flatten_func;     // the function it wraps
  PyObject *iter_type;        // the flattening iterator's class
  PyObject *copy_copy;        // copy.copy, imported the first time a dict subclass is copied
};

extern PyModuleDef module_def;

State *state_from_type(PyTypeObject *tp, PyObject **module_out = nullptr) {
  PyObject *module = capi::module_of_type(tp, &module_def);
  if (module == nullptr) return nullptr;
  if (module_out) *module_out = module;
  return capi::state_of<State>(module);
}

// --- module globals read at call time -------------------------------------------
//
// The flattening and rebuild read MutableMapping, DictItem and IndexMarker from
// the module globals once per call (or once per walk, when the walk starts).
// While they are still the module's own objects, the work is done directly:
// type checks instead of isinstance calls, DictItem pairs and markers made
// without going through their Python constructors.

struct Names {
  Ref mm;
  bool mm_fast = false;  // exact dict/list/tuple/str/... are classified without isinstance
  Ref dictitem;
  bool dictitem_fast = false;
  Ref marker;
  bool marker_fast = false;       // markers made directly
  bool marker_typecheck = false;  // isinstance(x, IndexMarker) is a plain subtype test
};

// Whether the common types keep their usual standing towards MutableMapping
// (dict registered, list/tuple/str/... not). Registrations bump the ABC cache
// token, which is also what the ABC's own negative cache is kept by, so the
// answer is recomputed only when the token moves. Kept across calls because
// the nine subclass checks cost far more than small calls themselves:
// FlatPath({'a': 1}) takes 7.9 k instructions with the answer kept, 46 k without.
int plain_types_ok(State *st) {
  Ref token = capi::call(st->get_cache_token);
  if (!token) return -1;
  if (st->abc_token != nullptr) {
    int same = PyObject_RichCompareBool(token.get(), st->abc_token, Py_EQ);
    if (same < 0) return -1;
    if (same) return st->plain_types_ok == Py_True;
  }
  PyTypeObject *leaves[] = {&PyList_Type,  &PyTuple_Type, &PyUnicode_Type, &PyLong_Type,
                            &PyFloat_Type, &PyBool_Type,  &PyBytes_Type,   Py_TYPE(Py_None)};
  int ok = PyObject_IsSubclass(reinterpret_cast<PyObject *>(&PyDict_Type), st->mutable_mapping);
  if (ok < 0) return -1;
  for (PyTypeObject *tp : leaves) {
    if (!ok) break;
    int r = PyObject_IsSubclass(reinterpret_cast<PyObject *>(tp), st->mutable_mapping);
    if (r < 0) return -1;
    ok = !r;
  }
  Py_XSETREF(st->abc_token, token.release());
  Py_XSETREF(st->plain_types_ok, Py_NewRef(ok ? Py_True : Py_False));
  return ok;
}

int resolve_mapping(PyObject *module, State *st, Names &n) {
  n.mm = capi::global(module, st->str_MutableMapping);
  if (!n.mm) return -1;
  n.mm_fast = false;
  if (n.mm.get() == st->mutable_mapping) {
    int ok = plain_types_ok(st);
    if (ok < 0) return -1;
    n.mm_fast = ok;
  }
  return 0;
}

int resolve_dictitem(PyObject *module, State *st, Names &n) {
  n.dictitem = capi::global(module, st->str_DictItem);
  if (!n.dictitem) return -1;
  auto *tp = reinterpret_cast<PyTypeObject *>(n.dictitem.get());
  n.dictitem_fast = n.dictitem.get() == st->dictitem_cls && capi::lookup_on_type(tp, st->str_new) == st->dictitem_new;
  return 0;
}

int resolve_marker(PyObject *module, State *st, Names &n) {
  n.marker = capi::global(module, st->str_IndexMarker);
  if (!n.marker) return -1;
  auto *tp = reinterpret_cast<PyTypeObject *>(n.marker.get());
  bool ours = n.marker.get() == st->marker_cls;
  n.marker_fast = ours && tp->tp_new == PyBaseObject_Type.tp_new && tp->tp_setattro == PyObject_GenericSetAttr &&
                  capi::lookup_on_type(tp, st->str_init) == st->marker_init;
  n.marker_typecheck = ours && Py_IS_TYPE(n.marker.get(), &PyType_Type);
  return 0;
}

// isinstance(obj, MutableMapping) as the module global stands.
int is_mapping(const Names &n, PyObject *obj) {
  if (n.mm_fast) {
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp == &PyDict_Type) return 1;
    if (tp == &PyList_Type || tp == &PyTuple_Type || tp == &PyUnicode_Type || tp == &PyLong_Type ||
        tp == &PyFloat_Type || tp == &PyBool_Type || tp == &PyBytes_Type || obj == Py_None)
      return 0;
  }
  return PyObject_IsInstance(obj, n.mm.get());
}

int is_marker(const Names &n, PyObject *obj) {
  if (n.marker_typecheck)
    return !PyUnicode_CheckExact(obj) && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject *>(n.marker.get()));
  return PyObject_IsInstance(obj, n.marker.get());
}

// DictItem(path, value)
Ref make_item(State *st, const Names &n, Ref path, PyObject *value) {
  if (n.dictitem_fast) {
    auto *tp = reinterpret_cast<PyTypeObject *>(st->dictitem_cls);
    PyObject *item = tp->tp_alloc(tp, 2);
    if (item == nullptr) return {};
    PyTuple_SET_ITEM(item, 0, path.release());
    PyTuple_SET_ITEM(item, 1, Py_NewRef(value));
    return Ref::steal(item);
  }
  return capi::call(n.dictitem.get(), path.get(), value);
}

// IndexMarker(seq, i)
Ref make_marker(State *st, const Names &n, PyObject *seq, Py_ssize_t i) {
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  if (!index) return {};
  if (n.marker_fast) {
    auto *tp = reinterpret_cast<PyTypeObject *>(st->marker_cls);
    Ref marker = Ref::steal(tp->tp_alloc(tp, 0));
    if (!marker ||
        PyObject_GenericSetAttr(marker.get(), st->str_type_, reinterpret_cast<PyObject *>(Py_TYPE(seq))) < 0 ||
        PyObject_GenericSetAttr(marker.get(), st->str_index, index.get()) < 0)
      return {};
    return marker;
  }
  return capi::call(n.marker.get(), seq, index.get());
}

// Raises ValueError(kPairMessage) in place of an ordinary failure (kept as the
// new error's context); anything else (KeyboardInterrupt, SystemExit) passes.
void pair_error() {
  if (capi::error_is_ordinary()) capi::raise_from_current(PyExc_ValueError, kPairMessage);
}

// `path, obj = item`, with a failure turned into the pair error.
int unpack_pair(PyObject *item, Ref *out) {
  if (capi::unpack_exact(item, out, 2) < 0) {
    pair_error();
    return -1;
  }
  return 0;
}

// One pass over an iterable of path/value pairs, as the constructor and extend
// read it: every entry is checked (a bad one, or a failing iteration, raises
// the pair error) and kept either as it is (appended to `entries`) or as its
// two parts (pushed onto `parts`).
int collect_pairs(PyObject *iterable, PyObject *entries, std::vector<Ref> *parts) {
  Ref it = Ref::steal(PyObject_GetIter(iterable));
  if (!it) {
    pair_error();
    return -1;
  }
  for (;;) {
    Ref entry = Ref::steal(PyIter_Next(it.get()));
    if (!entry) {
      if (!PyErr_Occurred()) return 0;
      pair_error();
      return -1;
    }
    Ref pair[2];
    if (unpack_pair(entry.get(), pair) < 0) return -1;
    if (entries != nullptr && PyList_Append(entries, entry.get()) < 0) return -1;
    if (parts != nullptr) {
      try {
        parts->push_back(std::move(pair[0]));
        parts->push_back(std::move(pair[1]));
      } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
      }
    }
  }
}

// --- class IndexMarker ------------------------------------------------------------

PyDoc_STRVAR(marker_init_doc,
             "__init__($self, /, obj, index)\n--\n\n"
             "Remember the class of the sequence obj and the position int(index) in it.");

PyObject *marker_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"IndexMarker.__init__", {"obj", "index"}, 2}, args, nargs, kwnames, argv) < 0)
    return nullptr;
  State *st = state_from_type(Py_TYPE(self));
  if (st == nullptr) return nullptr;
  if (PyObject_SetAttr(self, st->str_type_, reinterpret_cast<PyObject *>(Py_TYPE(argv[0]))) < 0) return nullptr;
  Ref index = Ref::steal(PyNumber_Long(argv[1]));
  if (!index || PyObject_SetAttr(self, st->str_index, index.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(marker_repr_doc,
             "__repr__($self, /)\n--\n\n"
             "The sequence class's name and the position, as in list[0] or tuple[2].");

PyObject *marker_repr(PyObject *self, PyObject *) {
  State *st = state_from_type(Py_TYPE(self));
  if (st == nullptr) return nullptr;
  Ref type = Ref::steal(PyObject_GetAttr(self, st->str_type_));
  if (!type) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttrString(type.get(), "__name__"));
  if (!name) return nullptr;
  Ref index = Ref::steal(PyObject_GetAttr(self, st->str_index));
  if (!index) return nullptr;
  PyObject *argv[] = {st->marker_template, name.get(), index.get()};
  return PyObject_VectorcallMethod(st->str_format, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, st->format_kwnames);
}

PyMethodDef marker_methods[] = {
    {"__init__", capi::as_cfunc(marker_init), METH_FASTCALL | METH_KEYWORDS, marker_init_doc},
    {"__repr__", capi::as_cfunc(marker_repr), METH_NOARGS, marker_repr_doc},
    {nullptr, nullptr, 0, nullptr},
};

// --- the flattening iterator --------------------------------------------------------
//
// One Walk per FlatPath.__flatten__ call. Each level being walked is a Frame;
// the path elements of the levels are kept on one stack (elems) and copied
// into a tuple only when a pair is made.

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
  Names names;
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

void iter_dealloc(PyObject *self);

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
    if (it != nullptr && Py_TYPE(it)->tp_dealloc == iter_dealloc && Py_REFCNT(it) == 1) {
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

State *walk_state(Walk &w) { return capi::state_of<State>(w.module.get()); }

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
  State *st = walk_state(w);
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
    Ref items = capi::call_method(container, st->str_items);
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
  try {
    w.frames.push_back(std::move(f));
  } catch (const std::bad_alloc &) {
    w.on_path.remove(container);
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

void pop_level(Walk &w) {
  Frame f = std::move(w.frames.back());
  w.frames.pop_back();
  if (f.container) w.on_path.remove(f.container.get());
  if (f.pushed) {
    PyObject *e = w.elems.back();
    w.elems.pop_back();
    Py_DECREF(e);
  }
}

// What a level (or the top) is: 1 mapping, 0 list or tuple, -2 neither, -1 error.
int container_kind(const Names &n, PyObject *obj) {
  int m = is_mapping(n, obj);
  if (m < 0) return -1;
  if (m) return 1;
  return (PyList_Check(obj) || PyTuple_Check(obj)) ? 0 : -2;
}

// Sets up the walk on the first next(): returns 1 when levels were pushed, 0
// when *bare holds the argument itself (neither mapping nor sequence), -1 on error.
int walk_start(Walk &w, Ref *bare) {
  State *st = walk_state(w);
  Ref prefix = level_prefix(st, w.path.get());
  if (!prefix) return -1;
  if (resolve_mapping(w.module.get(), st, w.names) < 0 || resolve_dictitem(w.module.get(), st, w.names) < 0 ||
      resolve_marker(w.module.get(), st, w.names) < 0)
    return -1;
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
  State *st = walk_state(w);
  Ref cls = capi::global(w.module.get(), st->str_FlatPath);
  if (!cls) return -1;
  if (PyType_Check(cls.get()) &&
      capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_flatten) == st->flatten_static)
    return 1;
  Ref found = Ref::steal(PyObject_GetAttr(cls.get(), st->str_flatten));
  if (!found) return -1;
  if (found.get() == st->flatten_func) return 1;
  *func = std::move(found);
  return 0;
}

// Goes below frame w.frames.back() into value through the element elem.
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
    try {
      w.frames.push_back(std::move(d));
    } catch (const std::bad_alloc &) {
      PyErr_NoMemory();
      return -1;
    }
    return 0;
  }
  if (f.base) {
    Ref base = f.base.dup();
    size_t base_at = f.base_at;
    try {
      w.elems.push_back(elem.get());
    } catch (const std::bad_alloc &) {
      PyErr_NoMemory();
      return -1;
    }
    elem.release();
    if (push_level(w, value, mapping, std::move(base), base_at, Ref(), true) < 0) {
      PyObject *e = w.elems.back();
      w.elems.pop_back();
      Py_DECREF(e);
      return -1;
    }
    return 0;
  }
  // A level whose prefix is not a tuple: prefix + (elem,), then [:] as the
  // nested call would take it.
  Ref child = leaf_path(w, f, elem.get());
  if (!child) return -1;
  Ref prefix = level_prefix(walk_state(w), child.get());
  if (!prefix) return -1;
  if (PyTuple_CheckExact(prefix.get())) return push_level(w, value, mapping, std::move(prefix), w.elems.size(), Ref(), false);
  return push_level(w, value, mapping, Ref(), 0, std::move(prefix), false);
}

// The next pair (or, for a bare top-level object, that object), nullptr at
// the end or on error.
[[gnu::noinline]] PyObject *walk_next(Walk &w) {
  State *st = walk_state(w);
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
    Frame &f = w.frames.back();
    Ref elem, value;
    switch (f.mode) {
      case Frame::DELEGATE: {
        PyObject *item = PyIter_Next(f.iter.get());
        if (item != nullptr) return item;
        if (PyErr_Occurred()) return nullptr;
        pop_level(w);
        continue;
      }
      case Frame::DICT: {
        PyObject *d = f.container.get();
        if (PyDict_GET_SIZE(d) != f.size) {
          PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
          return nullptr;
        }
        PyObject *key, *item;
        if (!PyDict_Next(d, &f.index, &key, &item)) {
          pop_level(w);
          continue;
        }
        if (f.left-- == 0) {
          PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
          return nullptr;
        }
        elem = Ref::borrow(key);
        value = Ref::borrow(item);
        break;
      }
      case Frame::MAPPING: {
        Ref pair = Ref::steal(PyIter_Next(f.iter.get()));
        if (!pair) {
          if (PyErr_Occurred()) return nullptr;
          pop_level(w);
          continue;
        }
        Ref kv[2];
        if (capi::unpack_exact(pair.get(), kv, 2) < 0) return nullptr;
        elem = std::move(kv[0]);
        value = std::move(kv[1]);
        break;
      }
      case Frame::SEQ_INDEX: {
        PyObject *seq = f.container.get();
        Py_ssize_t size = PyList_Check(seq) ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
        if (f.index >= size) {
          pop_level(w);
          continue;
        }
        value = Ref::borrow(PyList_Check(seq) ? PyList_GET_ITEM(seq, f.index) : PyTuple_GET_ITEM(seq, f.index));
        elem = make_marker(st, w.names, seq, f.index++);
        if (!elem) return nullptr;
        break;
      }
      case Frame::SEQ_ITER: {
        value = Ref::steal(PyIter_Next(f.iter.get()));
        if (!value) {
          if (PyErr_Occurred()) return nullptr;
          pop_level(w);
          continue;
        }
        elem = make_marker(st, w.names, f.container.get(), f.index++);
        if (!elem) return nullptr;
        break;
      }
    }
    // A non-empty mapping, list or tuple is walked into; anything else is a leaf.
    int kind;
    PyTypeObject *tp = Py_TYPE(value.get());
    if (w.names.mm_fast && tp == &PyDict_Type)
      kind = PyDict_GET_SIZE(value.get()) ? 1 : -2;
    else if (w.names.mm_fast && (tp == &PyList_Type || tp == &PyTuple_Type))
      kind = Py_SIZE(value.get()) ? 0 : -2;
    else {
      kind = container_kind(w.names, value.get());
      if (kind == -1) return nullptr;
      if (kind >= 0) {
        int truthy = PyObject_IsTrue(value.get());
        if (truthy < 0) return nullptr;
        if (!truthy) kind = -2;
      }
    }
    if (kind >= 0) {
      if (descend(w, value.get(), kind == 1, std::move(elem)) < 0) return nullptr;
      continue;
    }
    Ref path = leaf_path(w, w.frames.back(), elem.get());
    if (!path) return nullptr;
    return make_item(st, w.names, std::move(path), value.get()).release();
  }
  return nullptr;
}

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

// Steps of walks running on this thread, one inside the other. Read on every
// step: with glibc, which keeps room for it, in the static TLS block.
#if defined(__GLIBC__)
[[gnu::tls_model("initial-exec")]]
#endif
thread_local int steps_running = 0;

// walk_next for a step inside another step.
[[gnu::noinline]] PyObject *nested_walk_next(Walk &w) {
  std::optional<capi::RecursionGuard> levels[kStepWeight];
  for (auto &level : levels) {
    level.emplace(" while flattening");
    if (!*level) return nullptr;
  }
  return walk_next(w);
}

PyObject *iter_next(PyObject *self) {
  Walk *w = reinterpret_cast<IterObject *>(self)->walk;
  if (w == nullptr || w->finished) return nullptr;
  if (w->running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  w->running = true;
  PyObject *item = ++steps_running > 1 ? nested_walk_next(*w) : walk_next(*w);
  --steps_running;
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

void iter_dealloc(PyObject *self) {
  PyTypeObject *tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  iter_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyDoc_STRVAR(iter_doc, "Lazy depth-first walk yielding the (path, value) pairs of a nested mapping.");

PyType_Slot iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(iter_next)},
    {Py_tp_doc, const_cast<char *>(iter_doc)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "dravix.datastructures.flatpath.FlattenIterator",
    sizeof(IterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    iter_slots,
};

Ref new_walk(PyObject *module, PyObject *indict, PyObject *path) {
  State *st = capi::state_of<State>(module);
  auto *tp = reinterpret_cast<PyTypeObject *>(st->iter_type);
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
  reinterpret_cast<IterObject *>(it.get())->walk = w;
  return it;
}

// --- class FlatPath -----------------------------------------------------------------

PyDoc_STRVAR(flatpath_doc,
             "A nested dictionary as a flat list of (path, value) pairs.\n\n"
             "FlatPath(mapping) lists every leaf of the mapping, depth first, as a DictItem\n"
             "whose path is the tuple of keys leading to it; positions in lists and tuples\n"
             "appear in paths as IndexMarker objects. Empty mappings, lists and tuples are\n"
             "leaves. FlatPath(pairs) takes an iterable of path/value pairs as they are.\n"
             "append, insert, extend and item assignment accept only path/value pairs, and\n"
             "reconstruct() builds a new nested dictionary from the pairs.");

PyDoc_STRVAR(flatpath_init_doc,
             "__init__($self, /, *args)\n--\n\n"
             "Fill the list from one mapping (its flattened pairs) or from one iterable of\n"
             "path/value pairs (stored as given); with no argument the list is empty.");

PyObject *flatpath_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    PyErr_Format(PyExc_TypeError, "FlatPath.__init__() got an unexpected keyword argument '%U'",
                 PyTuple_GET_ITEM(kwnames, 0));
    return nullptr;
  }
  PyObject *module = nullptr;
  State *st = state_from_type(Py_TYPE(self), &module);
  if (st == nullptr) return nullptr;
  Ref list_args;
  if (nargs == 1) {
    Names n;
    if (resolve_mapping(module, st, n) < 0) return nullptr;
    int mapping = is_mapping(n, args[0]);
    if (mapping < 0) return nullptr;
    if (mapping) {
      Ref cls = capi::global(module, st->str_FlatPath);
      if (!cls) return nullptr;
      Ref flatten = Ref::steal(PyObject_GetAttr(cls.get(), st->str_flatten));
      if (!flatten) return nullptr;
      Ref walk = capi::call(flatten.get(), args[0]);
      if (!walk) return nullptr;
      list_args = capi::tuple_of(walk.get());
    } else {
      // One pass over the argument: every entry must be a pair, and the
      // entries are stored as they are.
      Ref entries = Ref::steal(PyList_New(0));
      if (!entries || collect_pairs(args[0], entries.get(), nullptr) < 0) return nullptr;
      list_args = capi::tuple_of(entries.get());
    }
  } else {
    list_args = Ref::steal(PyTuple_New(nargs));
    if (list_args)
      for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(list_args.get(), i, Py_NewRef(args[i]));
  }
  if (!list_args) return nullptr;
  if (PyList_Type.tp_init(self, list_args.get(), nullptr) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(flatpath_flatten_doc,
             "__flatten__(indict, path=None)\n--\n\n"
             "Yield the DictItem(path, value) pairs of indict lazily, depth first.\n\n"
             "Paths start with path (a tuple) when it is given. Mapping keys are path\n"
             "elements as they are; list and tuple positions become IndexMarker objects.\n"
             "Non-empty mappings, lists and tuples are walked into, everything else is a\n"
             "leaf. Nesting depth is limited by memory only; a container found again below\n"
             "itself raises RecursionError. An indict that is neither a mapping nor a list\n"
             "or tuple is yielded itself, once.");

PyObject *flatpath_flatten(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"__flatten__", {"indict", "path"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject *module = capi::module_of_type(reinterpret_cast<PyTypeObject *>(cls), &module_def);
  if (module == nullptr) return nullptr;
  return new_walk(module, argv[0], argv[1] ? argv[1] : Py_None).release();
}

PyDoc_STRVAR(flatpath_setitem_doc,
             "__setitem__($self, /, index, item)\n--\n\n"
             "Store tuple(item), which must be a path/value pair, at index (an index or a slice).");

PyObject *flatpath_setitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"FlatPath.__setitem__", {"index", "item"}, 2}, args, nargs, kwnames, argv) < 0)
    return nullptr;
  // The item is read once (tuple(item)), then that tuple is checked and stored.
  Ref pair = Ref::steal(PySequence_Tuple(argv[1]));
  if (!pair) {
    pair_error();
    return nullptr;
  }
  Ref parts[2];
  if (unpack_pair(pair.get(), parts) < 0) return nullptr;
  if (PyList_Type.tp_as_mapping->mp_ass_subscript(self, argv[0], pair.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(flatpath_append_doc,
             "append($self, /, item)\n--\n\n"
             "Append the path/value pair item as a DictItem.");

PyObject *flatpath_append(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"FlatPath.append", {"item"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject *module = nullptr;
  State *st = state_from_type(Py_TYPE(self), &module);
  if (st == nullptr) return nullptr;
  Ref parts[2];
  if (unpack_pair(argv[0], parts) < 0) return nullptr;
  Names n;
  if (resolve_dictitem(module, st, n) < 0) return nullptr;
  Ref item = make_item(st, n, std::move(parts[0]), parts[1].get());
  if (!item || PyList_Append(self, item.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(flatpath_extend_doc,
             "extend($self, /, items)\n--\n\n"
             "Append every path/value pair of items as a DictItem; if any entry is not a\n"
             "pair, nothing is added.");

PyObject *flatpath_extend(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[1];
  if (capi::parse_args({"FlatPath.extend", {"items"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject *module = nullptr;
  State *st = state_from_type(Py_TYPE(self), &module);
  if (st == nullptr) return nullptr;
  // One pass: check and keep the pairs, then build the items and add them at once.
  std::vector<Ref> pairs;
  if (collect_pairs(argv[0], nullptr, &pairs) < 0) return nullptr;
  Names n;
  if (resolve_dictitem(module, st, n) < 0) return nullptr;
  Ref items = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size() / 2)));
  if (!items) return nullptr;
  for (size_t i = 0; i < pairs.size(); i += 2) {
    Ref item = make_item(st, n, std::move(pairs[i]), pairs[i + 1].get());
    if (!item) return nullptr;
    PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i / 2), item.release());
  }
  Py_ssize_t end = PyList_GET_SIZE(self);
  if (PyList_SetSlice(self, end, end, items.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(flatpath_insert_doc,
             "insert($self, /, index, item)\n--\n\n"
             "Insert the path/value pair item as a DictItem before index.");

PyObject *flatpath_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"FlatPath.insert", {"index", "item"}, 2}, args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject *module = nullptr;
  State *st = state_from_type(Py_TYPE(self), &module);
  if (st == nullptr) return nullptr;
  Ref parts[2];
  if (unpack_pair(argv[1], parts) < 0) return nullptr;
  Names n;
  if (resolve_dictitem(module, st, n) < 0) return nullptr;
  Ref item = make_item(st, n, std::move(parts[0]), parts[1].get());
  if (!item) return nullptr;
  Ref index = Ref::steal(PyNumber_Index(argv[0]));
  if (!index) return nullptr;
  Py_ssize_t where = PyLong_AsSsize_t(index.get());
  if (where == -1 && PyErr_Occurred()) return nullptr;
  if (PyList_Insert(self, where, item.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// --- reconstruct ----------------------------------------------------------------------
//
// The working variables of the rebuild carry over from one entry to the next,
// as in the description of the algorithm: an entry with an empty path stores
// its value through the slot the entry before it reached, and reading one of
// them before it was ever set raises UnboundLocalError.
//
// Every list or tuple level is grown as a plain list of ours (a working list)
// that remembers its marker's class. When all entries are placed, the working
// lists are turned into their classes, innermost first, and put back in their
// slots: tuples, named tuples (their own class, from the items as arguments),
// list subclasses (the class called with the list of items). Sequences found
// among the entries' values are never grown in place: a copy is grown instead.

struct Working {
  Ref list;
  Ref cls;
  Ref parent;    // the container holding the list
  Ref key;       // its key in parent (mappings and other containers)
  Py_ssize_t at; // its position in parent when parent is a working list, else -1
};

struct Rebuild {
  State *st;
  Names names;
  // Working lists of class list need no conversion: they are only marked as
  // ours (and kept alive, so their addresses stay theirs). The others are
  // recorded with their class and slot.
  capi::PointerSet plain;
  std::vector<Ref> plain_lists;
  // Dicts placed as values: a later entry that goes below one works on a copy.
  capi::PointerSet stored;
  std::vector<Ref> stored_dicts;
  std::vector<Working> working;
  capi::PointerMap<size_t> index_of;  // working list -> position in `working`
  // the working variables
  Ref ret, ptr, k, prev_ptr, prev_k;
  bool prev_k_last = false;  // prev_k is -1 and prev_ptr is a working list

  // The class a working list of ours stands for, or nullptr for any other object.
  PyObject *class_of(PyObject *obj) const {
    if (plain.contains(obj)) return reinterpret_cast<PyObject *>(&PyList_Type);
    const size_t *at = index_of.get(obj);
    return at == nullptr ? nullptr : working[*at].cls.get();
  }
};

// k.<name> for the marker k being stepped through.
Ref marker_attr(Rebuild &r, PyObject *name) { return Ref::steal(PyObject_GetAttr(r.k.get(), name)); }

PyObject *unbound(const char *name) {
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
  return nullptr;
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
  if (!r.prev_ptr) {
    unbound("prev_ptr");
    return -1;
  }
  // The slot's position in a working list, read before the old item is let
  // go (its release may run code that changes the list).
  Py_ssize_t at = r.prev_k_last ? PyList_GET_SIZE(r.prev_ptr.get()) - 1 : -1;
  if (slot_set(r, list.get()) < 0) return -1;
  if (cls == reinterpret_cast<PyObject *>(&PyList_Type)) {
    if (r.plain.add(list.get()) < 0) return -1;
    try {
      r.plain_lists.push_back(std::move(list));
    } catch (const std::bad_alloc &) {
      PyErr_NoMemory();
      return -1;
    }
    return 0;
  }
  Working w;
  w.parent = r.prev_ptr.dup();
  w.at = at;
  if (at < 0) w.key = r.prev_k.dup();
  w.cls = Ref::borrow(cls);
  PyObject *key = list.get();
  w.list = std::move(list);
  try {
    r.working.push_back(std::move(w));
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return -1;
  }
  return r.index_of.put(key, r.working.size() - 1);
}

// The placeholder a new position starts with: a new {}. When the marker is
// the last element of the path, the value replaces the placeholder before
// anything else can see it, so None (no allocation) stands in for it.
Ref new_placeholder(bool last) {
  return last ? Ref::borrow(Py_None) : Ref::steal(PyDict_New());
}

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
  PyObject *ours = r.class_of(ptr);
  if (ours == cls) {
    Ref index = marker_attr(r, r.st->str_index);
    if (!index) return -1;
    if (ensure_position(ptr, index.get(), last) < 0) return -1;
    return enter_last(r, ptr);
  }
  if (ours == nullptr && reinterpret_cast<PyObject *>(Py_TYPE(ptr)) == cls) {
    // A sequence of exactly this class stored as a value: grow a copy of it.
    Ref copy = Ref::steal(PySequence_List(ptr));
    if (!copy) return -1;
    if (place_working(r, copy.dup(), cls) < 0) return -1;
    Ref index = marker_attr(r, r.st->str_index);
    if (!index || ensure_position(copy.get(), index.get(), last) < 0) return -1;
    return enter_last(r, copy.get());
  }
  // Anything else in the slot is replaced by a new sequence holding one placeholder.
  if (!r.prev_ptr) {
    unbound("prev_ptr");
    return -1;
  }
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
    if (!r.prev_ptr) {
      unbound("prev_ptr");
      return -1;
    }
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
    if (!r.prev_ptr) {
      unbound("prev_ptr");
      return -1;
    }
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

// A step through a mapping key k; last tells whether it ends the path.
int step_into_key(Rebuild &r, bool last) {
  PyObject *ptr = r.ptr.get();
  PyObject *k = r.k.get();
  int mapping = is_mapping(r.names, ptr);
  if (mapping < 0) return -1;
  if (mapping && r.stored.size() != 0 && r.stored.contains(ptr)) {
    // A dict placed as a value by an earlier entry: fill a copy of it, in its
    // slot, and leave the caller's dict as it is.
    Ref copy = copy_of_dict(r, ptr);
    if (!copy) return -1;
    if (!r.prev_ptr) {
      unbound("prev_ptr");
      return -1;
    }
    if (slot_set(r, copy.get()) < 0) return -1;
    r.ptr = std::move(copy);
    ptr = r.ptr.get();
  }
  if (mapping) {
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
      if (has) {
        value = Ref::steal(found);
      } else {
        value = Ref::steal(PyDict_New());
        if (!value || PyDict_SetItem(ptr, k, value.get()) < 0) return -1;
      }
    } else {
      Ref fallback = Ref::steal(PyDict_New());
      if (!fallback) return -1;
      Ref got = capi::call_method(ptr, r.st->str_get, k, fallback.get());
      if (!got || PyObject_SetItem(ptr, k, got.get()) < 0) return -1;
      value = Ref::steal(PyObject_GetItem(ptr, k));
      if (!value) return -1;
    }
    r.prev_ptr = r.ptr.dup();
    r.prev_k = r.k.dup();
    r.prev_k_last = false;
    r.ptr = std::move(value);
    return 0;
  }
  PyObject *list = nullptr;
  if (r.class_of(ptr) != nullptr) {
    list = ptr;
  } else if (PyList_Check(ptr) || PyTuple_Check(ptr)) {
    // A list or tuple stored as a value: continue in a copy of it.
    Ref copy = Ref::steal(PySequence_List(ptr));
    if (!copy) return -1;
    list = copy.get();
    if (place_working(r, std::move(copy), reinterpret_cast<PyObject *>(Py_TYPE(ptr))) < 0) return -1;
  }
  if (list != nullptr) {
    // Append {k: {}} and walk into it.
    Ref inner = Ref::steal(PyDict_New());
    Ref level = Ref::steal(PyDict_New());
    if (!inner || !level || PyDict_SetItem(level.get(), k, inner.get()) < 0 || PyList_Append(list, level.get()) < 0)
      return -1;
    r.prev_ptr = std::move(level);
    r.prev_k = r.k.dup();
    r.prev_k_last = false;
    r.ptr = std::move(inner);
    return 0;
  }
  // Any other object: ptr += type(ptr)(({k: {}},)); ptr = ptr[-1]; then step in.
  Ref inner = Ref::steal(PyDict_New());
  Ref level = Ref::steal(PyDict_New());
  if (!inner || !level || PyDict_SetItem(level.get(), k, inner.get()) < 0) return -1;
  Ref one = capi::tuple_of(level.get());
  if (!one) return -1;
  Ref more = capi::call(reinterpret_cast<PyObject *>(Py_TYPE(ptr)), one.get());
  if (!more) return -1;
  Ref grown = Ref::steal(PyNumber_InPlaceAdd(ptr, more.get()));
  if (!grown) return -1;
  Ref appended = Ref::steal(PyObject_GetItem(grown.get(), r.st->minus_one));
  if (!appended) return -1;
  Ref value = Ref::steal(PyObject_GetItem(appended.get(), k));
  if (!value) return -1;
  r.prev_ptr = std::move(appended);
  r.prev_k = r.k.dup();
  r.prev_k_last = false;
  r.ptr = std::move(value);
  return 0;
}

// Places one entry, walking its path from the root.
int place_entry(Rebuild &r, PyObject *entry) {
  Ref parts[2];
  if (capi::unpack_exact(entry, parts, 2) < 0) return -1;
  Ref obj = std::move(parts[1]);
  r.ptr = r.ret.dup();
  // path = list(path), read by position (an exact tuple as it is): nothing
  // else sees the copy, so it never changes.
  Ref path = PyTuple_CheckExact(parts[0].get()) ? std::move(parts[0]) : Ref::steal(PySequence_List(parts[0].get()));
  if (!path) return -1;
  Py_ssize_t length = PySequence_Fast_GET_SIZE(path.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    r.k = Ref::borrow(PySequence_Fast_GET_ITEM(path.get(), i));
    int marker = is_marker(r.names, r.k.get());
    if (marker < 0) return -1;
    if (!marker) {
      if (step_into_key(r, i == length - 1) < 0) return -1;
      continue;
    }
    Ref cls = marker_attr(r, r.st->str_type_);
    if (!cls) return -1;
    PyObject *c = cls.get();
    bool sequence = c == reinterpret_cast<PyObject *>(&PyList_Type) || c == reinterpret_cast<PyObject *>(&PyTuple_Type) ||
                    (PyType_Check(c) && (PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(c), &PyList_Type) ||
                                         PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(c), &PyTuple_Type)));
    if ((sequence ? step_into_sequence(r, cls.get(), i == length - 1) : step_into_other(r, cls.get())) < 0)
      return -1;
  }
  if (!r.k) {
    unbound("k");
    return -1;
  }
  if (!r.prev_ptr) {
    unbound("prev_ptr");
    return -1;
  }
  if (slot_set(r, obj.get()) < 0) return -1;
  if (PyDict_Check(obj.get())) {
    int added = r.stored.add(obj.get());
    if (added < 0) return -1;
    if (added) {
      try {
        r.stored_dicts.push_back(std::move(obj));
      } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
      }
    }
  }
  return 0;
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

PyDoc_STRVAR(flatpath_reconstruct_doc,
             "reconstruct($self, /)\n--\n\n"
             "Build a new nested dictionary from the pairs, in list order.\n\n"
             "Lists and tuples are recreated where the paths' IndexMarker elements say;\n"
             "values are placed as they are, not copied. The list itself is not changed.");

PyObject *flatpath_reconstruct(PyObject *self, PyObject *) {
  PyObject *module = nullptr;
  Rebuild r;
  r.st = state_from_type(Py_TYPE(self), &module);
  if (r.st == nullptr) return nullptr;
  if (resolve_mapping(module, r.st, r.names) < 0 || resolve_marker(module, r.st, r.names) < 0) return nullptr;
  r.ret = Ref::steal(PyDict_New());
  if (!r.ret) return nullptr;
  if (Py_TYPE(self)->tp_iter == PyList_Type.tp_iter) {
    // The list's own iterator, as `for entry in self` would make it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self); ++i) {
      Ref entry = Ref::borrow(PyList_GET_ITEM(self, i));
      if (place_entry(r, entry.get()) < 0) return nullptr;
    }
  } else {
    Ref it = Ref::steal(PyObject_GetIter(self));
    if (!it) return nullptr;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
      if (place_entry(r, entry.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
  }
  if (finish_sequences(r) < 0) return nullptr;
  return r.ret.release();
}

// The class body in three parts: __flatten__ is installed between them as a
// static method bound to the class (capi::install_staticmethod).
PyMethodDef flatpath_init_method[] = {
    {"__init__", capi::as_cfunc(flatpath_init), METH_FASTCALL | METH_KEYWORDS, flatpath_init_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef flatpath_flatten_def = {"__flatten__", capi::as_cfunc(flatpath_flatten), METH_FASTCALL | METH_KEYWORDS,
                                    flatpath_flatten_doc};

PyMethodDef flatpath_methods[] = {
    {"__setitem__", capi::as_cfunc(flatpath_setitem), METH_FASTCALL | METH_KEYWORDS, flatpath_setitem_doc},
    {"append", capi::as_cfunc(flatpath_append), METH_FASTCALL | METH_KEYWORDS, flatpath_append_doc},
    {"extend", capi::as_cfunc(flatpath_extend), METH_FASTCALL | METH_KEYWORDS, flatpath_extend_doc},
    {"insert", capi::as_cfunc(flatpath_insert), METH_FASTCALL | METH_KEYWORDS, flatpath_insert_doc},
    {"reconstruct", capi::as_cfunc(flatpath_reconstruct), METH_NOARGS, flatpath_reconstruct_doc},
    {nullptr, nullptr, 0, nullptr},
};

// --- module ---------------------------------------------------------------------------

int intern_all(State *st) {
  struct {
    PyObject **slot;
    const char *text;
  } names[] = {
      {&st->str_items, "items"},           {&st->str_get, "get"},
      {&st->str_type_, "type_"},           {&st->str_index, "index"},
      {&st->str_format, "format"},         {&st->str_flatten, "__flatten__"},
      {&st->str_init, "__init__"},         {&st->str_new, "__new__"},
      {&st->str_fields, "_fields"},        {&st->str_FlatPath, "FlatPath"},
      {&st->str_DictItem, "DictItem"},     {&st->str_IndexMarker, "IndexMarker"},
      {&st->str_MutableMapping, "MutableMapping"}, {&st->marker_template, "{type_}[{index}]"},
  };
  for (auto &n : names) {
    *n.slot = capi::intern(n.text);
    if (*n.slot == nullptr) return -1;
  }
  st->format_kwnames = capi::tuple_of(st->str_type_, st->str_index).release();
  st->empty_tuple = PyTuple_New(0);
  st->full_slice = PySlice_New(nullptr, nullptr, nullptr);
  st->minus_one = PyLong_FromLong(-1);
  if (!st->format_kwnames || !st->empty_tuple || !st->full_slice || !st->minus_one) return -1;
  return 0;
}

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (intern_all(st) < 0) return -1;
  st->get_cache_token = capi::import_from("abc", "get_cache_token").release();
  if (st->get_cache_token == nullptr) return -1;
  st->iter_type = PyType_FromModuleAndSpec(module, &iter_spec, nullptr);
  if (st->iter_type == nullptr) return -1;

  // namedtuple, MutableMapping
  Ref namedtuple = capi::import_from("collections", "namedtuple");
  if (!namedtuple || capi::add_global(module, "namedtuple", namedtuple.get()) < 0) return -1;
  Ref mutable_mapping = capi::import_from("collections.abc", "MutableMapping");
  if (!mutable_mapping || capi::add_global(module, "MutableMapping", mutable_mapping.get()) < 0) return -1;
  st->mutable_mapping = mutable_mapping.release();

  // DictItem = namedtuple('DictItem', ['path', 'value'])
  {
    Ref name = Ref::steal(PyUnicode_FromString("DictItem"));
    Ref fields = Ref::steal(Py_BuildValue("[ss]", "path", "value"));
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "module"));
    if (!name || !fields || !module_name || !kwnames) return -1;
    PyObject *argv[] = {nullptr, name.get(), fields.get(), module_name.get()};
    st->dictitem_cls = PyObject_Vectorcall(namedtuple.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           kwnames.get());
    if (st->dictitem_cls == nullptr) return -1;
    if (!PyType_Check(st->dictitem_cls)) {
      PyErr_SetString(PyExc_TypeError, "namedtuple() did not return a class");
      return -1;
    }
    st->dictitem_new = Py_XNewRef(capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(st->dictitem_cls), st->str_new));
    if (capi::add_global(module, "DictItem", st->dictitem_cls) < 0) return -1;
  }

  // class IndexMarker
  {
    Ref bases = capi::tuple_of(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    if (!bases) return -1;
    Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(&PyType_Type), "IndexMarker", bases.get(),
                               nullptr, nullptr);
    if (!cls || capi::install_methods(cls.get(), marker_methods) < 0) return -1;
    st->marker_init =
        Py_XNewRef(capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_init));
    if (capi::add_global(module, "IndexMarker", cls.get()) < 0) return -1;
    st->marker_cls = cls.release();
  }

  // class FlatPath(list)
  {
    Ref bases = capi::tuple_of(reinterpret_cast<PyObject *>(&PyList_Type));
    if (!bases) return -1;
    Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(&PyType_Type), "FlatPath", bases.get(),
                               flatpath_doc, nullptr);
    if (!cls || capi::install_methods(cls.get(), flatpath_init_method) < 0 ||
        capi::install_staticmethod(cls.get(), &flatpath_flatten_def) < 0 || capi::install_methods(cls.get(), flatpath_methods) < 0)
      return -1;
    st->flatten_static =
        Py_XNewRef(capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_flatten));
    st->flatten_func = PyObject_GetAttr(cls.get(), st->str_flatten);
    if (st->flatten_func == nullptr) return -1;
    if (capi::add_global(module, "FlatPath", cls.get()) < 0) return -1;
    st->flatpath_cls = cls.release();
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyDoc_STRVAR(module_doc,
             "Nested dictionaries as flat lists of (path, value) pairs, and the rebuild of a\n"
             "nested dictionary from such a list.");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dravix.datastructures.flatpath",
    module_doc,
    sizeof(State),
    nullptr,
    module_slots,
    capi::state_traverse<State>,
    capi::state_clear<State>,
    capi::state_free<State>,
};

}  // namespace

PyMODINIT_FUNC PyInit_flatpath(void) { return PyModuleDef_Init(&module_def); }
