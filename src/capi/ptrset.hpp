// PointerSet: a set of object addresses, for walks over user data that keep
// an explicit stack and must notice when an object turns up again below
// itself (a cycle). Open addressing with linear probing and backward-shift
// deletion, so add and remove stay O(1) however the stack grows and shrinks.
//
//   capi::PointerSet on_path;
//   int added = on_path.add(node);   // 1 added, 0 already there, -1 MemoryError
//   ...
//   on_path.remove(node);
//
// The set holds plain addresses, no references: the caller keeps each object
// alive while it is in the set. Nothing throws.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace capi {

class PointerSet {
  const void **slots_ = nullptr;
  size_t bits_ = 0;  // capacity is 1 << bits_ (0: nothing allocated yet)
  size_t size_ = 0;

  size_t mask() const noexcept { return (size_t{1} << bits_) - 1; }
  size_t home(const void *p) const noexcept {
    uint64_t x = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(x >> (64 - bits_));
  }
  // Slot holding p, or the empty slot where it would go.
  size_t find(const void *p) const noexcept {
    size_t i = home(p);
    while (slots_[i] != nullptr && slots_[i] != p) i = (i + 1) & mask();
    return i;
  }
  bool grow() {
    size_t bits = bits_ ? bits_ + 1 : 4;
    if (bits >= 60) {
      PyErr_NoMemory();
      return false;
    }
    auto **fresh = static_cast<const void **>(PyMem_Calloc(size_t{1} << bits, sizeof(void *)));
    if (fresh == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    const void **old = slots_;
    size_t old_cap = bits_ ? (size_t{1} << bits_) : 0;
    slots_ = fresh;
    bits_ = bits;
    for (size_t i = 0; i < old_cap; ++i)
      if (old[i] != nullptr) slots_[find(old[i])] = old[i];
    PyMem_Free(old);
    return true;
  }

 public:
  PointerSet() = default;
  PointerSet(const PointerSet &) = delete;
  PointerSet &operator=(const PointerSet &) = delete;
  ~PointerSet() { PyMem_Free(slots_); }

  size_t size() const noexcept { return size_; }

  bool contains(const void *p) const noexcept { return bits_ != 0 && slots_[find(p)] != nullptr; }

  // 1 when p was added, 0 when it was already there, -1 with MemoryError set.
  int add(const void *p) {
    if ((size_ + 1) * 2 > (bits_ ? (size_t{1} << bits_) : 0) && !grow()) return -1;
    size_t i = find(p);
    if (slots_[i] != nullptr) return 0;
    slots_[i] = p;
    ++size_;
    return 1;
  }

  void remove(const void *p) noexcept {
    if (bits_ == 0) return;
    size_t i = find(p);
    if (slots_[i] == nullptr) return;
    // Backward shift: pull later members of the probe run into the hole
    // when their home slot does not lie after the hole.
    size_t j = i;
    for (;;) {
      j = (j + 1) & mask();
      if (slots_[j] == nullptr) break;
      size_t k = home(slots_[j]);
      bool movable = (i <= j) ? (k <= i || k > j) : (k <= i && k > j);
      if (movable) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = nullptr;
    --size_;
  }
};

}  // namespace capi
