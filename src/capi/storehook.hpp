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
// What it buys, for Configuration on a release build: without the hook,
// Configuration(nested) takes 2,473 instructions a leaf instead of 1,355
// (1.8x) and cfg.copy() 2,340 instead of 1,222 (1.9x; make bench-instr rows),
// cfg['a.b.c'] = 2 4,806 instead of 2,658.
//
// The dotbag module publishes its StoreHooks as the capsule named
// kStoreHooksCapsule, its private attribute `_store_hooks`:
//
//   const capi::StoreHooks *hooks = capi::import_store_hooks();     // nullptr: error set
//   if (!hooks || hooks->add(setitem_descriptor, &converting_setitem) < 0) ...
#pragma once

#include "capi.hpp"

namespace capi {

// "<module>.<attribute>", as PyCapsule_Import reads it.
inline constexpr const char kStoreHooksCapsule[] = "dravix.datastructures.dotbag._store_hooks";

struct ConvertingSetitem {
  // The value self.__setitem__(key, value) passes on (new reference), or
  // nullptr with an error set: exactly what the method does first.
  PyObject *(*convert)(PyObject *self, PyObject *value);
  // As convert, when the conversion of this value is the module's own (known
  // to run no Python code and not to fail); else nullptr with no error set
  // (then convert is called in its place, in the order the method would call
  // it). Finding that out reads what the method reads (a module global),
  // which runs Python code only through a hostile key of that dict: nullptr
  // with the error set when it raised. The caller checks the class again
  // afterwards.
  PyObject *(*convert_ours)(PyObject *self, PyObject *value);
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
  // class PyDescr_TYPE(descr) (the anchor, a subclass of NestedDotBag whose
  // ht_module is its module), a converting __setitem__, to the dotbag module
  // of that NestedDotBag. `conv` must outlive the interpreter (static). 0, or
  // -1 with an error set.
  int (*add)(PyObject *descr, const ConvertingSetitem *conv);
};

// The hooks of the dotbag module (imported if need be), or nullptr with the
// error set.
inline const StoreHooks *import_store_hooks() {
  return static_cast<const StoreHooks *>(PyCapsule_Import(kStoreHooksCapsule, 0));
}

}  // namespace capi
