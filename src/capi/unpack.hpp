// Unpacking an object into a fixed number of values, as `a, b = obj` does.
//
//   capi::Ref parts[2];
//   if (capi::unpack_exact(entry, parts, 2) < 0) return nullptr;   // ValueError/TypeError set
//
// The errors and their messages are the interpreter's own ("cannot unpack
// non-iterable int object", "not enough values to unpack (expected 2, got 1)",
// "too many values to unpack (expected 2)"), so callers that let them
// propagate, or keep them as the context of an error of their own, show what
// a Python assignment would. Tuples and lists of the right length are read
// directly; everything else is iterated.
#pragma once

#include "capi.hpp"

namespace capi {

// Fills out[0..n) with owned references. Returns 0, or -1 with the error set
// (then the out slots are left empty).
inline int unpack_exact(PyObject *obj, Ref *out, Py_ssize_t n) {
  PyTypeObject *tp = Py_TYPE(obj);
  if ((PyTuple_Check(obj) && tp->tp_iter == PyTuple_Type.tp_iter && PyTuple_GET_SIZE(obj) == n) ||
      (PyList_CheckExact(obj) && PyList_GET_SIZE(obj) == n)) {
    PyObject **items = PyTuple_Check(obj) ? &PyTuple_GET_ITEM(obj, 0) : &PyList_GET_ITEM(obj, 0);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
    return 0;
  }
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && tp->tp_iter == nullptr && !PySequence_Check(obj)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", tp->tp_name);
    }
    return -1;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
      for (Py_ssize_t j = 0; j < i; ++j) out[j].reset();
      return -1;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra || PyErr_Occurred()) {
    if (extra) {
      if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyDict_CheckExact(obj)) {
        Py_ssize_t size = PyDict_CheckExact(obj) ? PyDict_GET_SIZE(obj) : Py_SIZE(obj);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd, got %zd)", n, size);
      } else {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
      }
    }
    for (Py_ssize_t j = 0; j < n; ++j) out[j].reset();
    return -1;
  }
  return 0;
}

}  // namespace capi
