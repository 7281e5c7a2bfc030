// dravix.datastructures.configuration: the configuration tree and its loaders.
//
//   cfg = Configuration()
//   cfg.load_yamls('service.yaml')          # nested mappings become levels
//   cfg.load_cfgs('service.ini')            # sections become levels, dotted names paths
//   cfg.load_entrypoint('myapp.config')     # objects published by installed packages
//   cfg['server.port'], cfg.server.port
//
// Python name                     C++ function                   what it does
// Configuration.copy              configuration_copy             type(self)(self): nested levels copied
// Configuration.__setitem__       configuration_setitem          typecast_str(value), then the
//                                                                NestedDotBag store (super())
// Configuration.load_cfgs         configuration_load_cfgs        merges INI-style files
// Configuration.load_yamls        configuration_load_yamls       merges YAML files
// Configuration.load_entrypoint   configuration_load_entrypoint  merges what entry points publish,
//                                                                logging the ones that fail
// iter_entry_points               (Python, entry_points_source)  entry points of installed packages
//
// Configuration is a NestedDotBag (sibling module dotbag) whose item assignment
// passes every value through typecast_str, read from the module globals at each
// call. The loaders merge what they read with the class's own update, in the
// order the sources are given.
#include "capi.hpp"
#include "storehook.hpp"

#include <atomic>
#include <cstdint>

namespace {

using capi::Ref;

// --- module state ---------------------------------------------------------------

struct StateObjects {
  PyObject *Configuration;  // the class, start of the __setitem__ super lookup
  PyObject *typecast_str;   // typecast_str as imported (the global may be rebound)
  PyObject *typecast_seen;  // the global typecast_str as last read (see GlobalsWatch)
  // module globals read at call time
  PyObject *str_typecast_str;
  PyObject *str_os;
  PyObject *str_yaml;
  PyObject *str_configparser;
  PyObject *str_open;
  PyObject *str_iter_entry_points;
  PyObject *str_logger;
  // attribute names
  PyObject *str_setitem;
  PyObject *str_update;
  PyObject *str_pop;
  PyObject *str_read;
  PyObject *str_path;
  PyObject *str_isfile;
  PyObject *str_ConfigParser;
  PyObject *str_DEFAULTSECT;
  PyObject *str_CSafeLoader;
  PyObject *str_load;
  PyObject *str_safe_load;
  PyObject *str_enter;
  PyObject *str_exit;
  PyObject *str_dist;
  PyObject *str_exception;
  // constants
  PyObject *str_r;             // "r", the mode the files are opened with
  PyObject *str_empty;         // "", the empty format string the log message is formatted with
  PyObject *str_failed;        // "Failed to load configuration from entrypoint: "
  PyObject *parser_kwnames;    // ("delimiters", "comment_prefixes")
  PyObject *parser_delimiters; // ("=",)
  PyObject *parser_comments;   // ("#",)
  PyObject *loader_kwnames;    // ("Loader",)
  PyObject *group_kwnames;     // ("group",)
};

// Every value is passed through the module global typecast_str, read at the
// time of the call. The module dict is watched: any change to it (by any code,
// C or Python) bumps this counter, and the global as last read stays valid
// while the counter is unchanged.
//
// The module's one piece of state kept across calls: a lookup in the module
// dict costs about 260 instructions a value (the name's probe sequence meets
// other keys of the module). Without it, on a release build with
// PYTHONHASHSEED=0 (make bench-instr rows): Configuration(nested) 1,641
// instructions a leaf instead of 1,355 (+21 %), cfg.copy() 1,508 instead of
// 1,222 (+23 %); with hash seeds 1 to 7 (bench/instr.py, 1,000 leaves) +18.6 %
// and +20.7 % at the least. Configuration(flat) with 20 plain values: +30 %
// (+22 % at the least). A single cfg['z'] = 5: +18 %, but +14 % with most
// other seeds.
std::atomic<std::uint64_t> globals_changes{0};

int globals_changed(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
  globals_changes.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

struct GlobalsWatch {
  bool active;           // the module dict is watched by `watcher`
  bool seen;             // typecast_seen is the global as read when the counter was `changes`
  int watcher;
  std::uint64_t changes;
};

struct State : StateObjects {
  using Objects = StateObjects;
  GlobalsWatch watch;  // plain C data that no Python code can reach
};

GlobalsWatch *globals_watch(State *st) { return st->watch.active ? &st->watch : nullptr; }

extern PyModuleDef module_def;

// The positional arguments of a call as a new tuple (*files).
Ref tuple_from(PyObject *const *args, Py_ssize_t nargs) {
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return {};
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  return tuple;
}

// --- class Configuration -------------------------------------------------------

PyDoc_STRVAR(configuration_copy_doc,
             "copy($self, /)\n--\n\n"
             "Return a new configuration of the same class, built from this one.\n\n"
             "Unlike the usual shallow mapping copy, every nested configuration block is\n"
             "copied too, so a component that takes a copy and adjusts it for its own use\n"
             "cannot change the configuration it copied. Values that are not mappings\n"
             "(lists included) are shared, and are stored through item assignment again.");

PyObject *configuration_copy(PyObject *self, PyObject *) {
  return PyObject_CallOneArg(reinterpret_cast<PyObject *>(Py_TYPE(self)), self);
}

PyDoc_STRVAR(configuration_setitem_doc, "__setitem__($self, /, key, value)\n--\n\n");

// True for the imported typecast_str, a METH_O function written in C (which
// runs no Python code): its C body can be called directly.
inline bool is_imported_typecast(State *st, PyObject *typecast) {
  return typecast == st->typecast_str && PyCFunction_Check(typecast) && PyCFunction_GET_FLAGS(typecast) == METH_O;
}

Ref call_typecast(State *st, PyObject *typecast, PyObject *value) {
  if (is_imported_typecast(st, typecast))
    return Ref::steal(PyCFunction_GET_FUNCTION(typecast)(PyCFunction_GET_SELF(typecast), value));
  return capi::call(typecast, value);
}

// The global typecast_str as found in the module dict (new reference into
// *out): 1, 0 when the dict has none, -1 on error. While the dict is unchanged
// since the last look, that look's answer is used.
int typecast_in_module(State *st, PyObject *module, Ref &out) {
  GlobalsWatch *watch = globals_watch(st);
  const std::uint64_t changes = globals_changes.load(std::memory_order_acquire);
  if (watch != nullptr && watch->seen && watch->changes == changes) {
    out = Ref::borrow(st->typecast_seen);
    return 1;
  }
  PyObject *found = nullptr;
  int r = PyDict_GetItemRef(PyModule_GetDict(module), st->str_typecast_str, &found);
  if (r <= 0) return r;
  out = Ref::steal(found);
  if (watch != nullptr) {
    // `changes` was read before the lookup: a change made during it makes the
    // next call look again. The old value goes last, when the state is whole
    // again (its release may run any code).
    PyObject *old = st->typecast_seen;
    st->typecast_seen = Py_NewRef(found);
    watch->seen = true;
    watch->changes = changes;
    Py_XDECREF(old);
  }
  return 1;
}

// typecast_str(value), with typecast_str read from the module globals now
// (the module dict, then the builtins), as the function body reads it.
Ref cast_value(State *st, PyObject *module, PyObject *value) {
  GlobalsWatch *watch = globals_watch(st);
  if (watch != nullptr && watch->seen && watch->changes == globals_changes.load(std::memory_order_acquire) &&
      is_imported_typecast(st, st->typecast_seen)) {
    // The common case, without a reference of our own: st->typecast_str holds
    // the function, whose body runs no Python code.
    PyObject *typecast = st->typecast_seen;
    return Ref::steal(PyCFunction_GET_FUNCTION(typecast)(PyCFunction_GET_SELF(typecast), value));
  }
  Ref typecast;
  int r = typecast_in_module(st, module, typecast);
  if (r < 0) return {};
  if (r == 0) typecast = capi::global(module, st->str_typecast_str);  // the builtins, or NameError
  if (!typecast) return {};
  return call_typecast(st, typecast.get(), value);
}

PyObject *configuration_setitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"__setitem__", {"key", "value"}, 2}, args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  State *st = capi::state_of<State>(module);
  Ref value = cast_value(st, module, argv[1]);
  if (!value || !capi::call_super_args(st->Configuration, self, st->str_setitem, argv[0], value.get())) return nullptr;
  Py_RETURN_NONE;
}

// __setitem__ in two halves, for the merging algorithms of NestedDotBag (see
// capi/storehook.hpp): they run the first, then store the value themselves
// where the second would reach NestedDotBag.__setitem__.
PyObject *setitem_convert(PyObject *self, PyObject *value) {
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  return cast_value(capi::state_of<State>(module), module, value).release();
}

// setitem_convert when the global typecast_str is still the imported function
// and value is not an exact str: the function returns such a value unchanged.
// Else nullptr, with no error set. Looking the global up runs no Python code
// unless the module dict holds a key that is not a str; nullptr with the
// error set when such a key's comparison raised.
PyObject *setitem_convert_ours(PyObject *self, PyObject *value) {
  if (PyUnicode_CheckExact(value)) return nullptr;
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  State *st = capi::state_of<State>(module);
  Ref typecast;
  if (typecast_in_module(st, module, typecast) < 0) return nullptr;
  if (!typecast || !is_imported_typecast(st, typecast.get())) return nullptr;
  return call_typecast(st, typecast.get(), value).release();
}

int setitem_pass_on(PyObject *anchor, PyObject *self, PyObject *key, PyObject *converted) {
  PyObject *module = PyType_GetModule(reinterpret_cast<PyTypeObject *>(anchor));
  if (module == nullptr) return -1;
  State *st = capi::state_of<State>(module);
  return capi::call_super_args(anchor, self, st->str_setitem, key, converted) ? 0 : -1;
}

const capi::ConvertingSetitem converting_setitem = {setitem_convert, setitem_convert_ours, setitem_pass_on,
                                                     &module_def};

PyDoc_STRVAR(configuration_load_cfgs_doc, "load_cfgs($self, /, *files)\n--\n\n");

PyObject *configuration_load_cfgs(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::reject_keywords("Configuration.load_cfgs", kwnames) < 0) return nullptr;
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  State *st = capi::state_of<State>(module);
  Ref files = tuple_from(args, nargs);
  if (!files) return nullptr;

  Ref configparser = capi::global(module, st->str_configparser);
  if (!configparser) return nullptr;
  Ref parser_class = Ref::steal(PyObject_GetAttr(configparser.get(), st->str_ConfigParser));
  if (!parser_class) return nullptr;
  PyObject *options[] = {st->parser_delimiters, st->parser_comments};
  Ref config = Ref::steal(PyObject_Vectorcall(parser_class.get(), options, 0, st->parser_kwnames));
  if (!config) return nullptr;

  Ref loaded_files = capi::call_method(config.get(), st->str_read, files.get());
  if (!loaded_files) return nullptr;
  if (!capi::call_class_method(self, st->str_update, config.get())) return nullptr;

  configparser = capi::global(module, st->str_configparser);
  if (!configparser) return nullptr;
  Ref default_section = Ref::steal(PyObject_GetAttr(configparser.get(), st->str_DEFAULTSECT));
  if (!default_section || !capi::call_class_method(self, st->str_pop, default_section.get())) return nullptr;
  return loaded_files.release();
}

// The end of a with block: calls exit(None, None, None), or, when the block
// raised `raised` (owned, may be nullptr), exit(type, value, traceback) and
// re-raises unless exit returns true. Returns 0 when the block counts as
// completed, -1 with an exception set otherwise.
int leave_with(PyObject *exit, PyObject *raised) {
  if (raised == nullptr) {
    PyObject *argv[] = {Py_None, Py_None, Py_None};
    Ref result = Ref::steal(PyObject_Vectorcall(exit, argv, 3, nullptr));
    return result ? 0 : -1;
  }
  Ref exc = Ref::steal(raised);
  Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
  PyObject *argv[] = {reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get(),
                      traceback ? traceback.get() : Py_None};
  Ref result = Ref::steal(PyObject_Vectorcall(exit, argv, 3, nullptr));
  if (!result) {
    // exit itself failed: its exception carries the block's as context.
    PyObject *failure = PyErr_GetRaisedException();
    Ref context = Ref::steal(PyException_GetContext(failure));
    if (!context) PyException_SetContext(failure, exc.release());
    PyErr_SetRaisedException(failure);
    return -1;
  }
  int suppress = PyObject_IsTrue(result.get());
  if (suppress < 0) return -1;
  if (suppress) return 0;
  PyErr_SetRaisedException(exc.release());
  return -1;
}

// Parses one open YAML stream: with yaml's C safe loader when the yaml module
// has one, else with yaml.safe_load.
Ref parse_yaml(State *st, PyObject *module, PyObject *stream) {
  Ref yaml = capi::global(module, st->str_yaml);
  if (!yaml) return {};
  PyObject *loader = nullptr;
  if (PyObject_GetOptionalAttr(yaml.get(), st->str_CSafeLoader, &loader) < 0) return {};
  Ref c_loader = Ref::steal(loader);
  if (!c_loader) return capi::call_method(yaml.get(), st->str_safe_load, stream);
  Ref load = Ref::steal(PyObject_GetAttr(yaml.get(), st->str_load));
  if (!load) return {};
  PyObject *argv[] = {stream, c_loader.get()};
  return Ref::steal(PyObject_Vectorcall(load.get(), argv, 1, st->loader_kwnames));
}

// Loads one existing file into self inside `with open(file, 'r') as f`.
int load_yaml_file(PyObject *self, State *st, PyObject *module, PyObject *file) {
  Ref open = capi::global(module, st->str_open);
  if (!open) return -1;
  Ref manager = capi::call(open.get(), file, st->str_r);
  if (!manager) return -1;
  Ref exit = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(manager.get())), st->str_exit));
  if (!exit) return -1;
  PyObject *exit_bound = nullptr;
  {
    // type(manager).__exit__ bound to the manager, as the with statement takes it
    if (descrgetfunc get = Py_TYPE(exit.get())->tp_descr_get) {
      exit_bound = get(exit.get(), manager.get(), reinterpret_cast<PyObject *>(Py_TYPE(manager.get())));
      if (exit_bound == nullptr) return -1;
    } else {
      exit_bound = Py_NewRef(exit.get());
    }
  }
  Ref bound_exit = Ref::steal(exit_bound);
  Ref stream = capi::call_class_method(manager.get(), st->str_enter);
  if (!stream) return -1;

  bool ok = false;
  {
    Ref document = parse_yaml(st, module, stream.get());
    if (document) {
      // An empty document (None) merges nothing.
      ok = document.get() == Py_None || static_cast<bool>(capi::call_class_method(self, st->str_update, document.get()));
    }
  }
  return leave_with(bound_exit.get(), ok ? nullptr : PyErr_GetRaisedException());
}

PyDoc_STRVAR(configuration_load_yamls_doc, "load_yamls($self, /, *files)\n--\n\n");

PyObject *configuration_load_yamls(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (capi::reject_keywords("Configuration.load_yamls", kwnames) < 0) return nullptr;
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  State *st = capi::state_of<State>(module);
  Ref files = tuple_from(args, nargs);
  Ref loaded = Ref::steal(PyList_New(0));
  if (!files || !loaded) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyObject *file = PyTuple_GET_ITEM(files.get(), i);  // borrowed, held by files
    Ref os = capi::global(module, st->str_os);
    if (!os) return nullptr;
    Ref path = Ref::steal(PyObject_GetAttr(os.get(), st->str_path));
    if (!path) return nullptr;
    Ref isfile = capi::call_method(path.get(), st->str_isfile, file);
    if (!isfile) return nullptr;
    int exists = PyObject_IsTrue(isfile.get());
    if (exists < 0) return nullptr;
    if (!exists) continue;
    if (load_yaml_file(self, st, module, file) < 0) return nullptr;
    if (PyList_Append(loaded.get(), file) < 0) return nullptr;
  }
  return PyList_AsTuple(loaded.get());
}

PyDoc_STRVAR(configuration_load_entrypoint_doc,
             "load_entrypoint($self, /, group)\n--\n\n"
             "Merge the objects that installed distributions publish under an entry-point group.\n\n"
             "This lets configuration be spread over several packages and picked up as soon as\n"
             "they are installed. Each entry point must name a dictionary-like or\n"
             "Configuration-like object, which is merged with update in the order the entry\n"
             "points are found. A package with much configuration may keep it in an INI-style\n"
             "file of its own and load that file in the module the entry point names.\n\n"
             "An entry point that fails to load or merge is logged with its traceback and\n"
             "skipped. Returns the list of entry points that were loaded.");

// Logs the failure of one entry point. `raised` (owned) is the failure; it is
// the handled exception while the message is built and logged, so that
// logger.exception finds it and anything raised meanwhile carries it as
// context. The caller's own handled exception is restored afterwards.
int log_entrypoint_failure(State *st, PyObject *module, PyObject *ep, PyObject *raised) {
  Ref exc = Ref::steal(raised);
  Ref previous = Ref::steal(PyErr_GetHandledException());
  PyErr_SetHandledException(exc.get());
  bool ok = false;
  {
    Ref dist = Ref::steal(PyObject_GetAttr(ep, st->str_dist));
    Ref text = dist ? Ref::steal(PyObject_Format(dist.get(), st->str_empty)) : Ref();
    Ref message = text ? Ref::steal(PyUnicode_Concat(st->str_failed, text.get())) : Ref();
    Ref logger = message ? capi::global(module, st->str_logger) : Ref();
    ok = logger && static_cast<bool>(capi::call_method(logger.get(), st->str_exception, message.get()));
  }
  PyErr_SetHandledException(previous.get());
  return ok ? 0 : -1;
}

PyObject *configuration_load_entrypoint(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                        PyObject *kwnames) {
  PyObject *group = capi::one_arg("load_entrypoint", "group", args, nargs, kwnames);
  if (group == nullptr) return nullptr;
  PyObject *module = capi::module_of(self, &module_def);
  if (module == nullptr) return nullptr;
  State *st = capi::state_of<State>(module);
  Ref loaded_eps = Ref::steal(PyList_New(0));
  if (!loaded_eps) return nullptr;

  Ref finder = capi::global(module, st->str_iter_entry_points);
  if (!finder) return nullptr;
  Ref found = Ref::steal(PyObject_Vectorcall(finder.get(), &group, 0, st->group_kwnames));
  if (!found) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(found.get()));
  if (!it) return nullptr;
  while (Ref ep = Ref::steal(PyIter_Next(it.get()))) {
    Ref obj = capi::call_method(ep.get(), st->str_load);
    bool merged = obj && static_cast<bool>(capi::call_class_method(self, st->str_update, obj.get()));
    if (merged) {
      if (PyList_Append(loaded_eps.get(), ep.get()) < 0) return nullptr;
      continue;
    }
    if (!capi::error_is_ordinary()) return nullptr;
    if (log_entrypoint_failure(st, module, ep.get(), PyErr_GetRaisedException()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return loaded_eps.release();
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef configuration_methods[] = {
    {.ml_name = "copy", .ml_meth = configuration_copy, .ml_flags = METH_NOARGS, .ml_doc = configuration_copy_doc},
    {.ml_name = "__setitem__", .ml_meth = capi::as_cfunc(configuration_setitem), .ml_flags = kFastKw,
     .ml_doc = configuration_setitem_doc},
    {.ml_name = "load_cfgs", .ml_meth = capi::as_cfunc(configuration_load_cfgs), .ml_flags = kFastKw,
     .ml_doc = configuration_load_cfgs_doc},
    {.ml_name = "load_yamls", .ml_meth = capi::as_cfunc(configuration_load_yamls), .ml_flags = kFastKw,
     .ml_doc = configuration_load_yamls_doc},
    {.ml_name = "load_entrypoint", .ml_meth = capi::as_cfunc(configuration_load_entrypoint), .ml_flags = kFastKw,
     .ml_doc = configuration_load_entrypoint_doc},
    {},
};

// --- iter_entry_points ------------------------------------------------------------
//
// Entry points come from importlib.metadata. The objects handed out keep the
// shape the loaders and their callers rely on: name, load() and dist, whose
// text is "<name> <version>". Compiled into a namespace of its own at import,
// so only iter_entry_points becomes a module global. It stays Python because
// what load_entrypoint logs depends on it: a failing entry point is logged
// with its traceback, which runs through EntryPoint.load into the import of
// the module the entry point names, frame by frame as a Python caller's would.

const char entry_points_source[] = R"PY(
class Distribution:
    """The distribution that publishes an entry point; its text is "<name> <version>"."""

    __slots__ = ("_dist",)

    def __init__(self, dist):
        self._dist = dist

    @property
    def project_name(self):
        return self._dist.name

    @property
    def version(self):
        return self._dist.version

    def __str__(self):
        return "%s %s" % (self._dist.name, self._dist.version)

    def __repr__(self):
        return "<Distribution %s>" % (self,)


class EntryPoint:
    """An entry point of an installed distribution: name, group, value, dist and load()."""

    __slots__ = ("_ep",)

    def __init__(self, ep):
        self._ep = ep

    @property
    def name(self):
        return self._ep.name

    @property
    def group(self):
        return self._ep.group

    @property
    def value(self):
        return self._ep.value

    @property
    def dist(self):
        dist = self._ep.dist
        return None if dist is None else Distribution(dist)

    def load(self):
        """Import the module the entry point names and return the object it names."""
        return self._ep.load()

    def __repr__(self):
        return "EntryPoint(name=%r, value=%r, group=%r)" % (self.name, self.value, self.group)


def iter_entry_points(group, name=None):
    """Yield the entry points that installed distributions publish under group
    (only those called name, when name is given)."""
    from importlib.metadata import entry_points

    for ep in entry_points(group=group):
        if name is None or ep.name == name:
            yield EntryPoint(ep)
)PY";

Ref make_iter_entry_points(PyObject *module) {
  Ref code = Ref::steal(Py_CompileString(entry_points_source, "<dravix.datastructures.configuration entry points>",
                                         Py_file_input));
  Ref ns = Ref::steal(PyDict_New());
  if (!code || !ns) return {};
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name || PyDict_SetItemString(ns.get(), "__name__", name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
    return {};
  if (!Ref::steal(PyEval_EvalCode(code.get(), ns.get(), ns.get()))) return {};
  PyObject *func = nullptr;
  if (PyDict_GetItemStringRef(ns.get(), "iter_entry_points", &func) <= 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "iter_entry_points was not defined");
    return {};
  }
  return Ref::steal(func);
}

// --- module -----------------------------------------------------------------

// import module_name; module.module_name = it
int import_global(PyObject *module, const char *module_name) {
  Ref imported = Ref::steal(PyImport_ImportModule(module_name));
  return imported ? capi::add_global(module, module_name, imported.get()) : -1;
}

// from .sibling import name, relative to the package of `module`.
Ref import_relative(PyObject *module, const char *sibling, const char *name) {
  Ref fromlist = Ref::steal(Py_BuildValue("(s)", name));
  if (!fromlist) return {};
  Ref imported = Ref::steal(PyImport_ImportModuleLevel(sibling, PyModule_GetDict(module), nullptr, fromlist.get(), 1));
  if (!imported) return {};
  PyObject *value = nullptr;
  if (PyObject_GetOptionalAttrString(imported.get(), name, &value) < 0) return {};
  if (value == nullptr) {
    Ref where = Ref::steal(PyModule_GetNameObject(imported.get()));
    if (!where) return {};
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", name, where.get());
    return {};
  }
  return Ref::steal(value);
}

int keep_names(State *st) {
  if (capi::intern_all({
          {&st->str_typecast_str, "typecast_str"},
          {&st->str_os, "os"},
          {&st->str_yaml, "yaml"},
          {&st->str_configparser, "configparser"},
          {&st->str_open, "open"},
          {&st->str_iter_entry_points, "iter_entry_points"},
          {&st->str_logger, "logger"},
          {&st->str_setitem, "__setitem__"},
          {&st->str_update, "update"},
          {&st->str_pop, "pop"},
          {&st->str_read, "read"},
          {&st->str_path, "path"},
          {&st->str_isfile, "isfile"},
          {&st->str_ConfigParser, "ConfigParser"},
          {&st->str_DEFAULTSECT, "DEFAULTSECT"},
          {&st->str_CSafeLoader, "CSafeLoader"},
          {&st->str_load, "load"},
          {&st->str_safe_load, "safe_load"},
          {&st->str_enter, "__enter__"},
          {&st->str_exit, "__exit__"},
          {&st->str_dist, "dist"},
          {&st->str_exception, "exception"},
          {&st->str_r, "r"},
          {&st->str_empty, ""},
          {&st->str_failed, "Failed to load configuration from entrypoint: "},
      }) < 0)
    return -1;
  st->parser_kwnames = Py_BuildValue("(ss)", "delimiters", "comment_prefixes");
  st->parser_delimiters = Py_BuildValue("(s)", "=");
  st->parser_comments = Py_BuildValue("(s)", "#");
  st->loader_kwnames = Py_BuildValue("(s)", "Loader");
  st->group_kwnames = Py_BuildValue("(s)", "group");
  if (!st->parser_kwnames || !st->parser_delimiters || !st->parser_comments || !st->loader_kwnames ||
      !st->group_kwnames)
    return -1;
  return 0;
}

// Starts watching the module dict (see globals_changes). Without a free
// watcher the global is simply read on every call.
int watch_globals(State *st, PyObject *module) {
  int watcher = PyDict_AddWatcher(globals_changed);
  if (watcher < 0) {
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return -1;
    PyErr_Clear();  // no watcher left
    return 0;
  }
  if (PyDict_Watch(watcher, PyModule_GetDict(module)) < 0) {
    PyDict_ClearWatcher(watcher);
    return -1;
  }
  st->watch = {true, false, watcher, 0};
  return 0;
}

// Stops watching the module dict and gives the watcher back.
void unwatch_globals(PyObject *module) {
  State *st = capi::state_of<State>(module);
  GlobalsWatch *watch = st ? globals_watch(st) : nullptr;
  if (watch == nullptr) return;
  watch->active = false;
  // Both fail only for a watcher or dict not in use (ValueError), which leaves nothing to undo.
  PyObject *raised = PyErr_GetRaisedException();
  PyObject *dict = PyModule_GetDict(module);
  if (dict != nullptr && PyDict_Unwatch(watch->watcher, dict) < 0 && PyErr_ExceptionMatches(PyExc_ValueError))
    PyErr_Clear();
  if (PyDict_ClearWatcher(watch->watcher) < 0 && PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
  PyErr_SetRaisedException(raised);
}

int module_clear(PyObject *module) {
  unwatch_globals(module);
  return capi::state_clear<State>(module);
}

void module_free(void *module) {
  unwatch_globals(static_cast<PyObject *>(module));
  capi::state_free<State>(module);
}

// class Configuration(NestedDotBag), and its __setitem__ declared to the
// dotbag module as one that converts and passes the value on.
int make_configuration(PyObject *module, State *st, PyObject *base) {
  Ref bases = capi::tuple_of(base);
  if (!bases) return -1;
  Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(Py_TYPE(base)), "Configuration", bases.get(),
                             nullptr, nullptr);
  if (!cls || capi::install_methods(cls.get(), configuration_methods) < 0) return -1;
  if (capi::update_abstract_methods(cls.get()) < 0) return -1;
  PyObject *descr = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(cls.get())->tp_dict, st->str_setitem);
  if (descr == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Configuration has no own __setitem__");
    return -1;
  }
  const capi::StoreHooks *hooks = capi::import_store_hooks();
  if (hooks == nullptr || hooks->add(descr, &converting_setitem) < 0) return -1;
  st->Configuration = Py_NewRef(cls.get());
  return capi::add_global(module, "Configuration", cls.get());
}

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (keep_names(st) < 0) return -1;
  if (watch_globals(st, module) < 0) return -1;

  for (const char *name : {"os", "yaml", "logging", "configparser"})
    if (import_global(module, name) < 0) return -1;

  Ref iter_entry_points = make_iter_entry_points(module);
  if (!iter_entry_points || capi::add_global(module, "iter_entry_points", iter_entry_points.get()) < 0) return -1;

  Ref mapping = capi::import_from("collections.abc", "Mapping");
  if (!mapping || capi::add_global(module, "Mapping", mapping.get()) < 0) return -1;

  Ref base = import_relative(module, "dotbag", "NestedDotBag");
  if (!base || capi::add_global(module, "NestedDotBag", base.get()) < 0) return -1;

  Ref typecast = capi::import_from("dravix.utils.strings", "typecast_str");
  if (!typecast || capi::add_global(module, "typecast_str", typecast.get()) < 0) return -1;
  st->typecast_str = Py_NewRef(typecast.get());

  Ref get_logger = capi::import_from("logging", "getLogger");
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!get_logger || !module_name) return -1;
  Ref logger = capi::call(get_logger.get(), module_name.get());
  if (!logger || capi::add_global(module, "logger", logger.get()) < 0) return -1;

  return make_configuration(module, st, base.get());
}

PyDoc_STRVAR(module_doc,
             "The configuration tree: a nested dotted-key dictionary that converts the values\n"
             "stored in it and loads YAML files, INI-style files and entry points.");

PyModuleDef module_def = [] {
  PyModuleDef def = capi::module_def<State, module_exec>("dravix.datastructures.configuration", module_doc);
  def.m_clear = module_clear;  // both stop watching the module dict first
  def.m_free = module_free;
  return def;
}();

}  // namespace

PyMODINIT_FUNC PyInit_configuration(void) { return PyModuleDef_Init(&module_def); }
