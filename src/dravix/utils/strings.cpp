// dravix.utils.strings: the platform's text helpers used by the containers.
//
//   Python name        C++ function       what it does
//   typecast_str       typecast_str       configuration text turned into the value it spells
//   decode_cli_string  decode_cli_string  command-line text (str, bytes, bytearray) as str
#include "capi.hpp"

#include <cstring>
#include <string_view>

namespace {

using capi::Ref;

// --- typecast_str -----------------------------------------------------------

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An optional sign and digits without a leading zero (a lone "0" allowed).
bool is_canonical_int(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (s.empty()) return false;
  for (char c : s)
    if (!is_digit(c)) return false;
  return s.size() == 1 || s[0] != '0';
}

bool equals_folded(std::string_view s, const char *lower) {
  size_t n = std::strlen(lower);
  if (s.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Decides the common case without formatting the float: plain decimal text
// "-?I.F" with at most 15 significant digits (which survive the round trip
// through a double) in the range repr writes without an exponent. Such text is
// the repr of its float exactly when it has no superfluous zero.
// Returns 1 (it is), 0 (it is not) or -1 (undecided: format and compare).
int decimal_is_repr(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  const size_t int_start = i;
  while (i < s.size() && is_digit(s[i])) ++i;
  const size_t int_len = i - int_start;
  if (int_len == 0 || i >= s.size() || s[i] != '.') return -1;
  const size_t frac_start = ++i;
  while (i < s.size() && is_digit(s[i])) ++i;
  if (i != s.size()) return -1;  // an exponent or other characters
  const size_t frac_len = i - frac_start;
  if (frac_len == 0) return 0;                                 // "1." (repr: "1.0")
  if (int_len > 1 && s[int_start] == '0') return 0;            // "01.5"
  if (frac_len > 1 && s.back() == '0') return 0;               // "1.50"
  size_t significant = int_len + frac_len;
  if (int_len == 1 && s[int_start] == '0') {
    size_t zeros = 0;
    while (zeros < frac_len && s[frac_start + zeros] == '0') ++zeros;
    if (zeros == frac_len) return 1;  // "0.0", "-0.0"
    if (zeros >= 4) return -1;        // below 1e-4 repr switches to an exponent
    significant = frac_len - zeros;
  }
  return significant <= 15 ? 1 : -1;
}

// The float the text spells, when the shortest repr of that float is the text
// itself ("1.5", "-0.25", "1e+16"); nullptr without an error otherwise.
PyObject *float_if_repr(std::string_view s, const char *text) {
  const int decided = decimal_is_repr(s);
  if (decided == 0) return nullptr;
  if (decided == 1) {
    double value = PyOS_string_to_double(text, nullptr, nullptr);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(value);
  }
  bool digit = false;
  for (char c : s) {
    if (is_digit(c)) digit = true;
    else if (c != '.' && c != '-' && c != '+' && c != 'e') return nullptr;
  }
  if (!digit) return nullptr;
  char *end = nullptr;
  double value = PyOS_string_to_double(text, &end, nullptr);
  if (value == -1.0 && PyErr_Occurred()) {
    // Not a float literal (ValueError): the text stays text. Anything else
    // (MemoryError) propagates.
    if (PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    return nullptr;
  }
  if (end != text + s.size()) return nullptr;
  char *repr = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (repr == nullptr) return nullptr;
  bool same = std::string_view(repr) == s;
  PyMem_Free(repr);
  return same ? PyFloat_FromDouble(value) : nullptr;
}

PyDoc_STRVAR(typecast_str_doc,
             "typecast_str($module, value, /)\n--\n\n"
             "Return the value that a configuration text spells.\n\n"
             "Only an exact str is converted: a canonical decimal integer becomes an int,\n"
             "a float written as its own repr becomes a float, 'true'/'false' (any case)\n"
             "become booleans and 'none'/'null' (any case) become None. Any other text,\n"
             "and every value that is not a str, is returned unchanged (the same object).");

PyObject *typecast_str(PyObject *, PyObject *value) {
  if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) return Py_NewRef(value);
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return nullptr;
  std::string_view s(text, static_cast<size_t>(size));
  if (s.empty() || s.size() > 4300) return Py_NewRef(value);
  if (is_canonical_int(s)) return PyLong_FromString(text, nullptr, 10);
  if (equals_folded(s, "true")) Py_RETURN_TRUE;
  if (equals_folded(s, "false")) Py_RETURN_FALSE;
  if (equals_folded(s, "none") || equals_folded(s, "null")) Py_RETURN_NONE;
  if (PyObject *f = float_if_repr(s, text)) return f;
  if (PyErr_Occurred()) return nullptr;
  return Py_NewRef(value);
}

// --- decode_cli_string ------------------------------------------------------

PyDoc_STRVAR(decode_cli_string_doc,
             "decode_cli_string($module, string, /)\n--\n\n"
             "Return command-line text as str.\n\n"
             "A str is returned unchanged; bytes and bytearray are decoded with the\n"
             "file-system encoding and its error handler, as os.fsdecode does.");

PyObject *decode_cli_string(PyObject *, PyObject *string) {
  if (PyUnicode_Check(string)) return Py_NewRef(string);
  if (PyBytes_Check(string))
    return PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(string), PyBytes_GET_SIZE(string));
  if (PyByteArray_Check(string))
    return PyUnicode_DecodeFSDefaultAndSize(PyByteArray_AS_STRING(string), PyByteArray_GET_SIZE(string));
  return PyErr_Format(PyExc_TypeError, "decode_cli_string() argument must be str, bytes or bytearray, not %.100s",
                      Py_TYPE(string)->tp_name);
}

PyMethodDef module_functions[] = {
    {.ml_name = "typecast_str", .ml_meth = typecast_str, .ml_flags = METH_O, .ml_doc = typecast_str_doc},
    {.ml_name = "decode_cli_string", .ml_meth = decode_cli_string, .ml_flags = METH_O,
     .ml_doc = decode_cli_string_doc},
    {},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyDoc_STRVAR(module_doc,
             "Text helpers of the platform: conversion of configuration text and decoding of command-line text.");

// No state and nothing to run at import: the functions are the module.
PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "dravix.utils.strings",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = module_slots,
};

}  // namespace

PyMODINIT_FUNC PyInit_strings(void) { return PyModuleDef_Init(&module_def); }
