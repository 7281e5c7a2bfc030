// dravix.datastructures.flatpath: nested dictionaries as flat lists of (path, value) pairs.
//
//   fp = FlatPath({'a': {'b': [1, 2]}})
//   list(fp) == [(('a', 'b', list[0]), 1), (('a', 'b', list[1]), 2)]   # DictItem pairs
//   fp.reconstruct() == {'a': {'b': [1, 2]}}                           # a new nested dict
//
// A path spells out where a value sits: mapping keys as they are, positions in
// lists and tuples as IndexMarker objects that remember the sequence's class.
//
//   Python name              C++ function           what it does
//   DictItem                 (module_exec)          namedtuple('DictItem', ['path', 'value'])
//   IndexMarker.__init__     indexmarker_init       remembers type(obj) and int(index)
//   IndexMarker.__repr__     indexmarker_repr       list[0], tuple[2]
//   FlatPath.__init__        flatpath_init          a mapping's pairs, or checked pairs as given
//   FlatPath.__flatten__     flatpath_flatten       the lazy walk (flatpath_walk.hpp)
//   FlatPath.__setitem__     flatpath_setitem       stores tuple(item) once it is a pair
//   FlatPath.append          flatpath_append        appends a pair as a DictItem
//   FlatPath.extend          flatpath_extend        appends pairs, all or none
//   FlatPath.insert          flatpath_insert        inserts a pair as a DictItem
//   FlatPath.reconstruct     flatpath_reconstruct   the nested dict again (flatpath_rebuild.hpp)
//
// This file holds the module state, the module globals as the operations read
// them, and the classes; the walk and the rebuild are parts of this one
// translation unit, kept in the two headers beside it.
#include <iterator>
#include <vector>

#include "capi.hpp"
#include "ptrset.hpp"
#include "unpack.hpp"

namespace {

using capi::Ref;

constexpr const char kPairMessage[] = "FlatPath only accepts a tuple of path/obj";

struct StateObjects {
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
  PyObject *get_cache_token;  // abc.get_cache_token
  PyObject *abc_token;        // the ABC cache token plain_types was decided under
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
  PyObject *indexes[256];     // 0, 1, ...: the positions of markers, made once (the interpreter's shared small ints)
};

struct State : StateObjects {
  using Objects = StateObjects;
  bool plain_types;   // decided under abc_token (plain_types_ok)
  int steps_running;  // steps of this module's walks running, one inside the other (iter_next)
};

extern PyModuleDef module_def;

// --- module globals read at call time -------------------------------------------
//
// The flattening and the rebuild read MutableMapping, DictItem and IndexMarker
// from the module globals once per call. While they are still the module's
// own objects and their classes still have our methods, the work is done
// directly: type checks instead of isinstance calls, DictItem pairs and
// markers made without their Python constructors. A walk reads them at its
// first step and keeps them for the steps after it (a global rebound in the
// middle of a walk is not seen there): read at every step, they would cost
// 35 % on the lazy walk (3,170 against 2,347 instructions a leaf).

struct Names {
  State *st = nullptr;
  Ref mm;
  bool mm_ours = false;  // exact dict/list/tuple/str/... are classified without isinstance
  Ref dictitem;
  bool dictitem_ours = false;     // pairs made directly
  Ref marker;
  bool marker_ours = false;       // markers made directly
  bool marker_typecheck = false;  // isinstance(x, IndexMarker) is a plain subtype test
};

enum : unsigned { kMapping = 1, kDictItem = 2, kMarker = 4 };

// Whether the common types keep their usual standing towards MutableMapping
// (dict registered, list/tuple/str/... not). Registrations bump the ABC cache
// token, which is also what the ABC's own negative cache is kept by, so the
// answer is decided again only when the token moves. Kept across calls because
// the nine subclass checks cost far more than small calls themselves:
// FlatPath({'a': 1}) takes 7.1 k instructions with the answer kept, 45.7 k
// without (release build).
int plain_types_ok(State *st) {
  Ref token;
  int same = capi::abc_token_same(st->get_cache_token, st->abc_token, &token);
  if (same != 0) return same < 0 ? -1 : st->plain_types;
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
  st->plain_types = ok;
  return ok;
}

// Whether letting go of an object of class tp runs no code of the class (no
// __del__): a walk may then free the pairs and markers it made, on an error,
// without code running where it does not expect it.
bool no_finalizer(PyTypeObject *tp) { return tp->tp_finalize == nullptr && tp->tp_del == nullptr; }

// Reads the globals named by `which` (kMapping | kDictItem | kMarker) into n.
int read_globals(PyObject *module, unsigned which, Names &n) {
  State *st = n.st = capi::state_of<State>(module);
  if (which & kMapping) {
    n.mm = capi::global(module, st->str_MutableMapping);
    if (!n.mm) return -1;
    int ok = n.mm.get() == st->mutable_mapping ? plain_types_ok(st) : 0;
    if (ok < 0) return -1;
    n.mm_ours = ok;
  }
  if (which & kDictItem) {
    n.dictitem = capi::global(module, st->str_DictItem);
    if (!n.dictitem) return -1;
    auto *tp = reinterpret_cast<PyTypeObject *>(st->dictitem_cls);
    n.dictitem_ours = n.dictitem.get() == st->dictitem_cls && no_finalizer(tp) &&
                      capi::method_is_ours(tp, st->str_new, st->dictitem_new);
  }
  if (which & kMarker) {
    n.marker = capi::global(module, st->str_IndexMarker);
    if (!n.marker) return -1;
    auto *tp = reinterpret_cast<PyTypeObject *>(st->marker_cls);
    bool ours = n.marker.get() == st->marker_cls;
    // Made directly: a new object of the class, its two attributes stored in
    // its namespace (no descriptor of the class stands in for them).
    n.marker_ours = ours && tp->tp_new == PyBaseObject_Type.tp_new && tp->tp_setattro == PyObject_GenericSetAttr &&
                    no_finalizer(tp) &&
                    capi::method_is_ours(tp, st->str_init, st->marker_init) &&
                    capi::lookup_on_type(tp, st->str_type_) == nullptr &&
                    capi::lookup_on_type(tp, st->str_index) == nullptr;
    n.marker_typecheck = ours && Py_IS_TYPE(n.marker.get(), &PyType_Type);
  }
  return 0;
}

// isinstance(obj, MutableMapping) as the module global stands.
int is_mapping(const Names &n, PyObject *obj) {
  if (n.mm_ours) {
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp == &PyDict_Type) return 1;
    if (tp == &PyList_Type || tp == &PyTuple_Type || tp == &PyUnicode_Type || tp == &PyLong_Type ||
        tp == &PyFloat_Type || tp == &PyBool_Type || tp == &PyBytes_Type || obj == Py_None)
      return 0;
  }
  return PyObject_IsInstance(obj, n.mm.get());
}

// isinstance(obj, IndexMarker) as the module global stands.
int is_marker(const Names &n, PyObject *obj) {
  if (n.marker_typecheck)
    return !PyUnicode_CheckExact(obj) && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject *>(n.marker.get()));
  return PyObject_IsInstance(obj, n.marker.get());
}

// DictItem(path, value)
// DictItem(path, value) made directly, for our DictItem (a tuple subclass):
// a new reference, or nullptr with the error set. Takes the reference to
// path, also on failure.
[[gnu::always_inline]] inline PyObject *new_dictitem(State *st, PyObject *path, PyObject *value) {
  auto *tp = reinterpret_cast<PyTypeObject *>(st->dictitem_cls);
  PyObject *item = tp->tp_alloc(tp, 2);
  if (item == nullptr) {
    Py_DECREF(path);
    return nullptr;
  }
  PyTuple_SET_ITEM(item, 0, path);
  PyTuple_SET_ITEM(item, 1, Py_NewRef(value));
  return item;
}

Ref make_item(const Names &n, Ref path, PyObject *value) {
  if (n.dictitem_ours) return Ref::steal(new_dictitem(n.st, path.release(), value));
  return capi::call(n.dictitem.get(), path.get(), value);
}

// IndexMarker(seq, i) called, as the global stands.
[[gnu::noinline]] Ref call_marker(const Names &n, PyObject *seq, Py_ssize_t i) {
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  if (!index) return {};
  return capi::call(n.marker.get(), seq, index.get());
}

// IndexMarker(seq, i)
[[gnu::always_inline]] inline Ref make_marker(const Names &n, PyObject *seq, Py_ssize_t i) {
  if (!n.marker_ours) return call_marker(n, seq, i);
  constexpr Py_ssize_t kIndexes = std::size(StateObjects{}.indexes);
  Ref big;  // a position past the interpreter's shared small ints
  PyObject *index;
  if (i < kIndexes) {
    index = n.st->indexes[i];
  } else {
    big = Ref::steal(PyLong_FromSsize_t(i));
    if (!big) return {};
    index = big.get();
  }
  auto *tp = reinterpret_cast<PyTypeObject *>(n.st->marker_cls);
  Ref marker = Ref::steal(tp->tp_alloc(tp, 0));
  if (!marker ||
      PyObject_GenericSetAttr(marker.get(), n.st->str_type_, reinterpret_cast<PyObject *>(Py_TYPE(seq))) < 0 ||
      PyObject_GenericSetAttr(marker.get(), n.st->str_index, index) < 0)
    return {};
  return marker;
}

// --- pairs ------------------------------------------------------------------------

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
    if (parts != nullptr && (capi::push(*parts, std::move(pair[0])) < 0 || capi::push(*parts, std::move(pair[1])) < 0))
      return -1;
  }
}

}  // namespace

#include "flatpath_walk.hpp"
#include "flatpath_rebuild.hpp"

namespace {

// --- class IndexMarker ------------------------------------------------------------

PyDoc_STRVAR(indexmarker_init_doc,
             "__init__($self, /, obj, index)\n--\n\n"
             "Remember the class of the sequence obj and the position int(index) in it.");

PyObject *indexmarker_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  State *st = capi::state_of<State>(self, &module_def);
  PyObject *argv[2];
  if (st == nullptr ||
      capi::parse_args({"IndexMarker.__init__", {"obj", "index"}, 2}, args, nargs, kwnames, argv) < 0)
    return nullptr;
  if (PyObject_SetAttr(self, st->str_type_, reinterpret_cast<PyObject *>(Py_TYPE(argv[0]))) < 0) return nullptr;
  Ref index = Ref::steal(PyNumber_Long(argv[1]));
  if (!index || PyObject_SetAttr(self, st->str_index, index.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(indexmarker_repr_doc,
             "__repr__($self, /)\n--\n\n"
             "The sequence class's name and the position, as in list[0] or tuple[2].");

PyObject *indexmarker_repr(PyObject *self, PyObject *) {
  State *st = capi::state_of<State>(self, &module_def);
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

PyMethodDef indexmarker_methods[] = {
    {.ml_name = "__init__", .ml_meth = capi::as_cfunc(indexmarker_init), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = indexmarker_init_doc},
    {.ml_name = "__repr__", .ml_meth = indexmarker_repr, .ml_flags = METH_NOARGS, .ml_doc = indexmarker_repr_doc},
    {},
};

// --- class FlatPath ---------------------------------------------------------------

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
  Ref list_args;  // list.__init__'s arguments
  if (capi::reject_keywords("FlatPath.__init__", kwnames) < 0) return nullptr;
  if (nargs == 1) {
    PyObject *module = capi::module_of(self, &module_def);
    Names n;
    if (module == nullptr || read_globals(module, kMapping, n) < 0) return nullptr;
    int mapping = is_mapping(n, args[0]);
    if (mapping < 0) return nullptr;
    if (mapping) {
      // list.__init__(self, FlatPath.__flatten__(args[0])), FlatPath as the global stands
      Ref cls = capi::global(module, n.st->str_FlatPath);
      if (!cls) return nullptr;
      if (Py_IS_TYPE(cls.get(), &PyType_Type) &&
          capi::method_is_ours(reinterpret_cast<PyTypeObject *>(cls.get()), n.st->str_flatten, n.st->flatten_static)) {
        // Our walk: the list is emptied, as list.__init__ does first, and the
        // pairs are appended as the walk makes them.
        if (PyList_GET_SIZE(self) != 0 && PyList_Type.tp_init(self, n.st->empty_tuple, nullptr) < 0) return nullptr;
        if (flatten_into(module, args[0], self) < 0) return nullptr;
        Py_RETURN_NONE;
      }
      Ref flatten = Ref::steal(PyObject_GetAttr(cls.get(), n.st->str_flatten));
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

// DictItem(path, obj) for the pair item, DictItem as the global stands.
Ref checked_item(PyObject *self, PyObject *item) {
  Ref parts[2];
  if (unpack_pair(item, parts) < 0) return {};
  PyObject *module = capi::module_of(self, &module_def);
  Names n;
  if (module == nullptr || read_globals(module, kDictItem, n) < 0) return {};
  return make_item(n, std::move(parts[0]), parts[1].get());
}

PyDoc_STRVAR(flatpath_append_doc,
             "append($self, /, item)\n--\n\n"
             "Append the path/value pair item as a DictItem.");

PyObject *flatpath_append(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *item = capi::one_arg("FlatPath.append", "item", args, nargs, kwnames);
  if (item == nullptr) return nullptr;
  Ref entry = checked_item(self, item);
  if (!entry || PyList_Append(self, entry.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(flatpath_extend_doc,
             "extend($self, /, items)\n--\n\n"
             "Append every path/value pair of items as a DictItem; if any entry is not a\n"
             "pair, nothing is added.");

PyObject *flatpath_extend(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *items = capi::one_arg("FlatPath.extend", "items", args, nargs, kwnames);
  if (items == nullptr) return nullptr;
  // One pass: check and keep the pairs, then build the items and add them at once.
  std::vector<Ref> pairs;
  if (collect_pairs(items, nullptr, &pairs) < 0) return nullptr;
  PyObject *module = capi::module_of(self, &module_def);
  Names n;
  if (module == nullptr || read_globals(module, kDictItem, n) < 0) return nullptr;
  Ref made = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size() / 2)));
  if (!made) return nullptr;
  for (size_t i = 0; i < pairs.size(); i += 2) {
    Ref item = make_item(n, std::move(pairs[i]), pairs[i + 1].get());
    if (!item) return nullptr;
    PyList_SET_ITEM(made.get(), static_cast<Py_ssize_t>(i / 2), item.release());
  }
  Py_ssize_t end = PyList_GET_SIZE(self);
  if (PyList_SetSlice(self, end, end, made.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(flatpath_insert_doc,
             "insert($self, /, index, item)\n--\n\n"
             "Insert the path/value pair item as a DictItem before index.");

PyObject *flatpath_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"FlatPath.insert", {"index", "item"}, 2}, args, nargs, kwnames, argv) < 0) return nullptr;
  Ref item = checked_item(self, argv[1]);
  if (!item) return nullptr;
  Ref index = Ref::steal(PyNumber_Index(argv[0]));
  if (!index) return nullptr;
  Py_ssize_t where = PyLong_AsSsize_t(index.get());
  if (where == -1 && PyErr_Occurred()) return nullptr;
  if (PyList_Insert(self, where, item.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(flatpath_reconstruct_doc,
             "reconstruct($self, /)\n--\n\n"
             "Build a new nested dictionary from the pairs, in list order.\n\n"
             "Lists and tuples are recreated where the paths' IndexMarker elements say;\n"
             "values are placed as they are, not copied. The list itself is not changed.");

PyObject *flatpath_reconstruct(PyObject *self, PyObject *) {
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  return rebuild(module, self).release();
}

// The class body in three parts: __flatten__ is installed between them as a
// static method bound to the class (capi::install_staticmethod).
PyMethodDef flatpath_init_method[] = {
    {.ml_name = "__init__", .ml_meth = capi::as_cfunc(flatpath_init), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = flatpath_init_doc},
    {},
};

PyMethodDef flatpath_flatten_def = {.ml_name = "__flatten__",
                                    .ml_meth = capi::as_cfunc(flatpath_flatten),
                                    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
                                    .ml_doc = flatpath_flatten_doc};

PyMethodDef flatpath_methods[] = {
    {.ml_name = "__setitem__", .ml_meth = capi::as_cfunc(flatpath_setitem),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS, .ml_doc = flatpath_setitem_doc},
    {.ml_name = "append", .ml_meth = capi::as_cfunc(flatpath_append), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = flatpath_append_doc},
    {.ml_name = "extend", .ml_meth = capi::as_cfunc(flatpath_extend), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = flatpath_extend_doc},
    {.ml_name = "insert", .ml_meth = capi::as_cfunc(flatpath_insert), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = flatpath_insert_doc},
    {.ml_name = "reconstruct", .ml_meth = flatpath_reconstruct, .ml_flags = METH_NOARGS,
     .ml_doc = flatpath_reconstruct_doc},
    {},
};

// --- module -----------------------------------------------------------------------

// The names and constants of the module state.
int fill_constants(State *st) {
  if (capi::intern_all({{&st->str_items, "items"},
                        {&st->str_get, "get"},
                        {&st->str_type_, "type_"},
                        {&st->str_index, "index"},
                        {&st->str_format, "format"},
                        {&st->str_flatten, "__flatten__"},
                        {&st->str_init, "__init__"},
                        {&st->str_new, "__new__"},
                        {&st->str_fields, "_fields"},
                        {&st->str_FlatPath, "FlatPath"},
                        {&st->str_DictItem, "DictItem"},
                        {&st->str_IndexMarker, "IndexMarker"},
                        {&st->str_MutableMapping, "MutableMapping"},
                        {&st->marker_template, "{type_}[{index}]"}}) < 0)
    return -1;
  st->format_kwnames = capi::tuple_of(st->str_type_, st->str_index).release();
  st->empty_tuple = PyTuple_New(0);
  st->full_slice = PySlice_New(nullptr, nullptr, nullptr);
  st->minus_one = PyLong_FromLong(-1);
  if (!st->format_kwnames || !st->empty_tuple || !st->full_slice || !st->minus_one) return -1;
  for (size_t i = 0; i < std::size(st->indexes); ++i)
    if ((st->indexes[i] = PyLong_FromSsize_t(static_cast<Py_ssize_t>(i))) == nullptr) return -1;
  return 0;
}

// DictItem = namedtuple('DictItem', ['path', 'value'])
int make_dictitem(PyObject *module, State *st, PyObject *namedtuple) {
  Ref name = Ref::steal(PyUnicode_FromString("DictItem"));
  Ref fields = Ref::steal(Py_BuildValue("[ss]", "path", "value"));
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  Ref kwnames = Ref::steal(Py_BuildValue("(s)", "module"));
  if (!name || !fields || !module_name || !kwnames) return -1;
  PyObject *argv[] = {nullptr, name.get(), fields.get(), module_name.get()};
  st->dictitem_cls = PyObject_Vectorcall(namedtuple, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get());
  if (st->dictitem_cls == nullptr) return -1;
  if (!PyType_Check(st->dictitem_cls)) {
    PyErr_SetString(PyExc_TypeError, "namedtuple() did not return a class");
    return -1;
  }
  st->dictitem_new = Py_XNewRef(capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(st->dictitem_cls), st->str_new));
  return capi::add_global(module, "DictItem", st->dictitem_cls);
}

// class IndexMarker
int make_indexmarker(PyObject *module, State *st) {
  Ref bases = capi::tuple_of(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
  if (!bases) return -1;
  Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(&PyType_Type), "IndexMarker", bases.get(), nullptr,
                             nullptr);
  if (!cls || capi::install_methods(cls.get(), indexmarker_methods) < 0) return -1;
  st->marker_init = Py_XNewRef(capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_init));
  if (capi::add_global(module, "IndexMarker", cls.get()) < 0) return -1;
  st->marker_cls = cls.release();
  return 0;
}

// class FlatPath(list)
int make_flatpath(PyObject *module, State *st) {
  Ref bases = capi::tuple_of(reinterpret_cast<PyObject *>(&PyList_Type));
  if (!bases) return -1;
  Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(&PyType_Type), "FlatPath", bases.get(),
                             flatpath_doc, nullptr);
  if (!cls || capi::install_methods(cls.get(), flatpath_init_method) < 0 ||
      capi::install_staticmethod(cls.get(), &flatpath_flatten_def) < 0 ||
      capi::install_methods(cls.get(), flatpath_methods) < 0)
    return -1;
  st->flatten_static = Py_XNewRef(capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_flatten));
  st->flatten_func = PyObject_GetAttr(cls.get(), st->str_flatten);
  if (st->flatten_func == nullptr || capi::add_global(module, "FlatPath", cls.get()) < 0) return -1;
  st->flatpath_cls = cls.release();
  return 0;
}

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (fill_constants(st) < 0) return -1;
  st->get_cache_token = capi::import_from("abc", "get_cache_token").release();
  if (st->get_cache_token == nullptr) return -1;
  st->iter_type = PyType_FromModuleAndSpec(module, &iter_spec, nullptr);
  if (st->iter_type == nullptr) return -1;
  Ref namedtuple = capi::import_from("collections", "namedtuple");
  if (!namedtuple || capi::add_global(module, "namedtuple", namedtuple.get()) < 0) return -1;
  Ref mutable_mapping = capi::import_from("collections.abc", "MutableMapping");
  if (!mutable_mapping || capi::add_global(module, "MutableMapping", mutable_mapping.get()) < 0) return -1;
  st->mutable_mapping = mutable_mapping.release();
  if (make_dictitem(module, st, namedtuple.get()) < 0 || make_indexmarker(module, st) < 0 ||
      make_flatpath(module, st) < 0)
    return -1;
  return 0;
}

PyDoc_STRVAR(module_doc,
             "Nested dictionaries as flat lists of (path, value) pairs, and the rebuild of a\n"
             "nested dictionary from such a list.");

PyModuleDef module_def = capi::module_def<State, module_exec>("dravix.datastructures.flatpath", module_doc);

}  // namespace

PyMODINIT_FUNC PyInit_flatpath(void) { return PyModuleDef_Init(&module_def); }
