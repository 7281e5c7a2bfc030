// Converting item stores: a hook between the dotbag module and the classes
// derived from NestedDotBag in other modules.
//
// A class whose __setitem__ (a C++ method) only converts the value and passes
// the result on with super(Anchor, self).__setitem__(key, converted) can tell
// the dotbag module so. The merging and path algorithms of NestedDotBag then
// run, for an instance whose class still finds that very method, the
// conversion (the class's own code, looking up whatever it looks up at call
// time) followed by the store NestedDotBag.__setitem__ would make, instead of
// going through the subscript operator, the method call and the super() walk.
// When the class has changed meanwhile (the conversion may run any code), the
// class's own `pass_on` finishes the call as the method would.
//
// The hooks are reached through the dotbag module's state, whose first member
// is a capsule named kStoreHookCapsule holding a StoreHooks; no attribute or
// global is added anywhere.
//
//   capi::StoreHooks *hooks = capi::store_hooks(nested_dotbag_class);   // nullptr: none (no error)
//   if (hooks && hooks->add(dotbag_module, setitem_descriptor, &converting_setitem) < 0) ...
#pragma once

#include "capi.hpp"

#include <cstring>

namespace capi {

inline constexpr const char kStoreHookCapsule[] = "dravix.datastructures.dotbag._store_hooks";
inline constexpr const char kStoreHookModule[] = "dravix.datastructures.dotbag";

struct ConvertingSetitem {
  // The value self.__setitem__(key, value) passes on (new reference), or
  // nullptr with an error set: exactly what the method does first.
  PyObject *(*convert)(PyObject *self, PyObject *value);
  // As convert, when the conversion of this value is known to run no Python
  // code and not to fail; else nullptr with no error set (then convert is
  // called in its place, in the order the method would call it). Finding
  // that out reads what the method reads (a module global), which runs
  // Python code only through a hostile key of that dict: nullptr with the
  // error set when it raised. The caller checks the class again afterwards.
  PyObject *(*convert_quiet)(PyObject *self, PyObject *value);
  // The rest of the method: super(anchor, self).__setitem__(key, converted),
  // looked up at call time (anchor: the class the method was made for). 0, or
  // -1 with an error set.
  int (*pass_on)(PyObject *anchor, PyObject *self, PyObject *key, PyObject *converted);
  // The definition of the module whose class is the anchor: the methods find
  // their module (and the anchor) with PyType_GetModuleByDef(type(self), def).
  PyModuleDef *def;
};

struct StoreHooks {
  // Declares `descr`, the method descriptor installed as __setitem__ on the
  // class PyDescr_TYPE(descr) (the anchor, whose ht_module is its module), a
  // converting __setitem__. `conv` must outlive the interpreter (static).
  // 0, or -1 with an error set.
  int (*add)(PyObject *dotbag_module, PyObject *descr, const ConvertingSetitem *conv);
};

// The dotbag module (borrowed) of `cls`, a NestedDotBag class made by it, or
// nullptr (no error set) when cls has no such module attached.
inline PyObject *store_hook_module(PyObject *cls) {
  if (!PyType_Check(cls) || !PyType_HasFeature(reinterpret_cast<PyTypeObject *>(cls), Py_TPFLAGS_HEAPTYPE))
    return nullptr;
  PyObject *module = reinterpret_cast<PyHeapTypeObject *>(cls)->ht_module;
  if (module == nullptr || !PyModule_Check(module)) return nullptr;
  PyModuleDef *def = PyModule_GetDef(module);  // of a module: no error, nullptr when it has none
  if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, kStoreHookModule) != 0) return nullptr;
  return module;
}

// The hooks of the dotbag module of `cls`, or nullptr (no error set).
inline StoreHooks *store_hooks(PyObject *cls) {
  PyObject *module = store_hook_module(cls);
  if (module == nullptr) return nullptr;
  auto **state = static_cast<PyObject **>(PyModule_GetState(module));  // of a module: no error
  // PyCapsule_IsValid sets no error; once it holds, PyCapsule_GetPointer cannot fail.
  if (state == nullptr || state[0] == nullptr || !PyCapsule_IsValid(state[0], kStoreHookCapsule)) return nullptr;
  return static_cast<StoreHooks *>(PyCapsule_GetPointer(state[0], kStoreHookCapsule));
}

}  // namespace capi
