// TextBuffer: builds one str from ASCII snippets and (parts of) other strs,
// without an intermediate object per piece.
//
//   capi::TextBuffer out;
//   if (!out.ascii("\n|-- ", 5) || !out.append(text, 0, PyUnicode_GET_LENGTH(text))) return nullptr;
//   return out.finish();
//
// The text is kept in blocks, each at least as large as all before it
// together, so a block is never copied to make room and finish() copies every
// character once. The blocks have the width (1, 2 or 4 bytes per character)
// of the widest str written so far and are all widened when a wider one
// comes; finish() makes the canonical (narrowest) str, directly when every
// piece was ASCII. Every function that can fail returns false with
// MemoryError set; nothing throws.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace capi {

class TextBuffer {
  struct Block {
    void *data;
    Py_ssize_t len;
  };

  // The block being written: len_ of cap_ characters used.
  void *data_ = nullptr;
  Py_ssize_t len_ = 0;
  Py_ssize_t cap_ = 0;
  // The full blocks before it, and the characters they hold together.
  Block *full_ = nullptr;
  Py_ssize_t nfull_ = 0;
  Py_ssize_t full_cap_ = 0;
  Py_ssize_t full_len_ = 0;
  int kind_ = PyUnicode_1BYTE_KIND;
  bool ascii_ = true;  // every piece was ASCII

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

  // Room for `extra` more characters in one piece: the block being written,
  // or a new one after it.
  bool reserve(Py_ssize_t extra) {
    if (extra <= cap_ - len_) return true;
    const Py_ssize_t limit = PY_SSIZE_T_MAX / 8;
    const Py_ssize_t used = full_len_ + len_;
    if (extra > limit - used) {
      PyErr_NoMemory();
      return false;
    }
    Py_ssize_t cap = used < 256 ? 256 : used;
    if (cap < extra) cap = extra;
    if (len_ == 0) {
      // Nothing written to it yet: replace it.
      void *p = PyMem_Malloc(static_cast<size_t>(cap) * kind_);
      if (p == nullptr) {
        PyErr_NoMemory();
        return false;
      }
      PyMem_Free(data_);
      data_ = p;
      cap_ = cap;
      return true;
    }
    if (nfull_ == full_cap_) {
      Py_ssize_t n = full_cap_ ? 2 * full_cap_ : 8;
      void *p = PyMem_Realloc(full_, static_cast<size_t>(n) * sizeof(Block));
      if (p == nullptr) {
        PyErr_NoMemory();
        return false;
      }
      full_ = static_cast<Block *>(p);
      full_cap_ = n;
    }
    void *p = PyMem_Malloc(static_cast<size_t>(cap) * kind_);
    if (p == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    full_[nfull_++] = {data_, len_};
    full_len_ += len_;
    data_ = p;
    len_ = 0;
    cap_ = cap;
    return true;
  }

  // The blocks widened to `kind`: every block is converted into new storage
  // first, and only when all of it was allocated does the buffer change.
  bool widen(int kind) {
    void **fresh = static_cast<void **>(PyMem_Malloc(static_cast<size_t>(nfull_ + 1) * sizeof(void *)));
    if (fresh == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    const Py_ssize_t cap = cap_ < 256 ? 256 : cap_;
    for (Py_ssize_t i = 0; i <= nfull_; ++i) {
      const Py_ssize_t n = i < nfull_ ? full_[i].len : len_;
      fresh[i] = PyMem_Malloc(static_cast<size_t>(i < nfull_ ? n : cap) * kind);
      if (fresh[i] == nullptr) {
        for (Py_ssize_t j = 0; j < i; ++j) PyMem_Free(fresh[j]);
        PyMem_Free(fresh);
        PyErr_NoMemory();
        return false;
      }
      copy(kind_, i < nfull_ ? full_[i].data : data_, kind, fresh[i], n);
    }
    for (Py_ssize_t i = 0; i < nfull_; ++i) {
      PyMem_Free(full_[i].data);
      full_[i].data = fresh[i];
    }
    PyMem_Free(data_);
    data_ = fresh[nfull_];
    cap_ = cap;
    kind_ = kind;
    PyMem_Free(fresh);
    return true;
  }

 public:
  TextBuffer() = default;
  TextBuffer(const TextBuffer &) = delete;
  TextBuffer &operator=(const TextBuffer &) = delete;
  ~TextBuffer() {
    for (Py_ssize_t i = 0; i < nfull_; ++i) PyMem_Free(full_[i].data);
    PyMem_Free(full_);
    PyMem_Free(data_);
  }

  Py_ssize_t size() const noexcept { return full_len_ + len_; }

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
    if (!PyUnicode_IS_ASCII(text)) ascii_ = false;
    return true;
  }

  // The text written so far as a new str (new reference, or nullptr).
  PyObject *finish() {
    const Py_ssize_t total = full_len_ + len_;
    if (total == 0) return PyUnicode_FromStringAndSize("", 0);
    if (ascii_) {
      // All ASCII, so of width 1: the str is made as it is.
      PyObject *s = PyUnicode_New(total, 127);
      if (s == nullptr) return nullptr;
      char *dst = static_cast<char *>(PyUnicode_DATA(s));
      for (Py_ssize_t i = 0; i < nfull_; ++i) {
        std::memcpy(dst, full_[i].data, static_cast<size_t>(full_[i].len));
        dst += full_[i].len;
      }
      std::memcpy(dst, data_, static_cast<size_t>(len_));
      return s;
    }
    if (nfull_ == 0) return PyUnicode_FromKindAndData(kind_, data_, len_);
    // The blocks together, for the interpreter to find the narrowest width.
    char *all = static_cast<char *>(PyMem_Malloc(static_cast<size_t>(total) * kind_));
    if (all == nullptr) return PyErr_NoMemory();
    char *dst = all;
    for (Py_ssize_t i = 0; i < nfull_; ++i) {
      std::memcpy(dst, full_[i].data, static_cast<size_t>(full_[i].len) * kind_);
      dst += full_[i].len * kind_;
    }
    std::memcpy(dst, data_, static_cast<size_t>(len_) * kind_);
    PyObject *s = PyUnicode_FromKindAndData(kind_, all, total);
    PyMem_Free(all);
    return s;
  }
};

}  // namespace capi
