// TextBuffer: builds one str from ASCII snippets and (parts of) other strs,
// without an intermediate object per piece.
//
//   capi::TextBuffer out;
//   if (!out.ascii("\n|-- ", 5) || !out.append(text, 0, PyUnicode_GET_LENGTH(text))) return nullptr;
//   return out.finish();
//
// The buffer keeps the width (1, 2 or 4 bytes per character) of the widest
// str written so far and widens in place when a wider one comes; finish()
// makes the canonical (narrowest) str. Every function that can fail returns
// false with MemoryError set; nothing throws.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace capi {

class TextBuffer {
  void *data_ = nullptr;
  Py_ssize_t len_ = 0;
  Py_ssize_t cap_ = 0;
  int kind_ = PyUnicode_1BYTE_KIND;

  template <class From, class To>
  static void convert(const void *src, void *dst, Py_ssize_t n) {
    const From *s = static_cast<const From *>(src);
    To *d = static_cast<To *>(dst);
    if constexpr (sizeof(From) == sizeof(To)) {
      std::memcpy(d, s, static_cast<size_t>(n) * sizeof(To));
    } else {
      for (Py_ssize_t i = 0; i < n; ++i) d[i] = static_cast<To>(s[i]);
    }
  }

  // Copies n characters of width `from` at src to dst, of width `to` (to >= from).
  static void copy(int from, const void *src, int to, void *dst, Py_ssize_t n) {
    switch (from * 8 + to) {
      case 1 * 8 + 1: convert<Py_UCS1, Py_UCS1>(src, dst, n); break;
      case 1 * 8 + 2: convert<Py_UCS1, Py_UCS2>(src, dst, n); break;
      case 1 * 8 + 4: convert<Py_UCS1, Py_UCS4>(src, dst, n); break;
      case 2 * 8 + 2: convert<Py_UCS2, Py_UCS2>(src, dst, n); break;
      case 2 * 8 + 4: convert<Py_UCS2, Py_UCS4>(src, dst, n); break;
      default: convert<Py_UCS4, Py_UCS4>(src, dst, n); break;
    }
  }

  bool reserve(Py_ssize_t extra) {
    if (extra <= cap_ - len_) return true;
    const Py_ssize_t limit = PY_SSIZE_T_MAX / 8;
    if (extra > limit - len_) {
      PyErr_NoMemory();
      return false;
    }
    Py_ssize_t need = len_ + extra;
    Py_ssize_t cap = cap_ < 256 ? 256 : cap_;
    while (cap < need) cap = cap > limit / 2 ? limit : cap * 2;
    void *p = PyMem_Realloc(data_, static_cast<size_t>(cap) * kind_);
    if (p == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    data_ = p;
    cap_ = cap;
    return true;
  }

  bool widen(int kind) {
    Py_ssize_t cap = cap_ < 256 ? 256 : cap_;
    void *p = PyMem_Malloc(static_cast<size_t>(cap) * kind);
    if (p == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    if (len_) copy(kind_, data_, kind, p, len_);
    PyMem_Free(data_);
    data_ = p;
    cap_ = cap;
    kind_ = kind;
    return true;
  }

 public:
  TextBuffer() = default;
  TextBuffer(const TextBuffer &) = delete;
  TextBuffer &operator=(const TextBuffer &) = delete;
  ~TextBuffer() { PyMem_Free(data_); }

  Py_ssize_t size() const noexcept { return len_; }

  // Appends n ASCII characters.
  bool ascii(const char *s, Py_ssize_t n) {
    if (n == 0) return true;
    if (!reserve(n)) return false;
    void *dst = static_cast<char *>(data_) + len_ * kind_;
    if (kind_ == PyUnicode_1BYTE_KIND)
      convert<Py_UCS1, Py_UCS1>(s, dst, n);
    else if (kind_ == PyUnicode_2BYTE_KIND)
      convert<Py_UCS1, Py_UCS2>(s, dst, n);
    else
      convert<Py_UCS1, Py_UCS4>(s, dst, n);
    len_ += n;
    return true;
  }

  // Appends text[start:end] (text a str, 0 <= start <= end <= len(text)).
  bool append(PyObject *text, Py_ssize_t start, Py_ssize_t end) {
    if (end <= start) return true;
    int kind = PyUnicode_KIND(text);
    if (kind > kind_ && !widen(kind)) return false;
    if (!reserve(end - start)) return false;
    copy(kind, static_cast<const char *>(PyUnicode_DATA(text)) + start * kind, kind_,
         static_cast<char *>(data_) + len_ * kind_, end - start);
    len_ += end - start;
    return true;
  }

  // The text written so far as a new str (new reference, or nullptr).
  PyObject *finish() {
    if (len_ == 0) return PyUnicode_FromStringAndSize("", 0);
    return PyUnicode_FromKindAndData(kind_, data_, len_);
  }
};

}  // namespace capi
