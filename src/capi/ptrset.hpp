// PointerSet and PointerMap: tables keyed by object address, for walks over
// user data (a set of the objects on an explicit stack, to notice one that
// turns up again below itself; a map from an object we made to its record).
// Open addressing with linear probing and backward-shift deletion, so add and
// remove stay O(1) however the table grows and shrinks. Both share one table;
// the map keeps a value beside each address, the set keeps nothing.
//
//   capi::PointerSet on_path;
//   int added = on_path.add(node);   // 1 added, 0 already there, -1 MemoryError
//   on_path.remove(node);
//
//   capi::PointerMap<size_t> index_of;
//   if (index_of.put(list, i) < 0) ...  // -1 MemoryError
//   const size_t *at = index_of.get(list);  // nullptr when absent
//
// The tables hold plain addresses, no references: the caller keeps each
// object alive while it is in the table. Nothing throws.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace capi {

namespace detail {

struct NoValue {};

template <class Value>
class AddressTable {
  static_assert(std::is_trivially_copyable_v<Value>, "slots are moved as bytes and start zeroed");

 protected:
  struct Slot {
    const void *key;  // nullptr: empty
    [[no_unique_address]] Value value;
  };
  Slot *slots_ = nullptr;
  size_t bits_ = 0;  // capacity is 1 << bits_ (0: nothing allocated yet)
  size_t size_ = 0;

  size_t mask() const noexcept { return (size_t{1} << bits_) - 1; }
  size_t home(const void *p) const noexcept {
    uint64_t x = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(x >> (64 - bits_));
  }
  // Slot holding p, or the empty slot where it would go (bits_ != 0).
  size_t find(const void *p) const noexcept {
    size_t i = home(p);
    while (slots_[i].key != nullptr && slots_[i].key != p) i = (i + 1) & mask();
    return i;
  }
  bool grow() {
    size_t bits = bits_ ? bits_ + 1 : 4;
    if (bits >= 60) {
      PyErr_NoMemory();
      return false;
    }
    auto *fresh = static_cast<Slot *>(PyMem_Calloc(size_t{1} << bits, sizeof(Slot)));
    if (fresh == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    Slot *old = slots_;
    size_t old_cap = bits_ ? (size_t{1} << bits_) : 0;
    slots_ = fresh;
    bits_ = bits;
    for (size_t i = 0; i < old_cap; ++i)
      if (old[i].key != nullptr) slots_[find(old[i].key)] = old[i];
    PyMem_Free(old);
    return true;
  }
  // The slot for p, made when absent (*added tells which); nullptr with
  // MemoryError set.
  Slot *slot_for(const void *p, bool *added) {
    if ((size_ + 1) * 2 > (bits_ ? (size_t{1} << bits_) : 0) && !grow()) return nullptr;
    Slot *s = &slots_[find(p)];
    *added = s->key == nullptr;
    if (*added) {
      s->key = p;
      ++size_;
    }
    return s;
  }
  const Slot *slot_of(const void *p) const noexcept {
    if (bits_ == 0) return nullptr;
    const Slot *s = &slots_[find(p)];
    return s->key != nullptr ? s : nullptr;
  }

 public:
  AddressTable() = default;
  AddressTable(const AddressTable &) = delete;
  AddressTable &operator=(const AddressTable &) = delete;
  ~AddressTable() { PyMem_Free(slots_); }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  bool contains(const void *p) const noexcept { return slot_of(p) != nullptr; }

  void remove(const void *p) noexcept {
    if (bits_ == 0) return;
    size_t i = find(p);
    if (slots_[i].key == nullptr) return;
    // Backward shift: pull later members of the probe run into the hole
    // when their home slot does not lie after the hole.
    size_t j = i;
    for (;;) {
      j = (j + 1) & mask();
      if (slots_[j].key == nullptr) break;
      size_t k = home(slots_[j].key);
      bool movable = (i <= j) ? (k <= i || k > j) : (k <= i && k > j);
      if (movable) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = Slot{};
    --size_;
  }
};

}  // namespace detail

class PointerSet : public detail::AddressTable<detail::NoValue> {
 public:
  // 1 when p was added, 0 when it was already there, -1 with MemoryError set.
  int add(const void *p) {
    bool added = false;
    if (slot_for(p, &added) == nullptr) return -1;
    return added ? 1 : 0;
  }
};

template <class Value>
class PointerMap : public detail::AddressTable<Value> {
 public:
  // Maps p to value (replacing what it had): 0, or -1 with MemoryError set.
  int put(const void *p, Value value) {
    bool added = false;
    auto *s = this->slot_for(p, &added);
    if (s == nullptr) return -1;
    s->value = value;
    return 0;
  }
  // The value p maps to, or nullptr when p is not in the map.
  const Value *get(const void *p) const noexcept {
    auto *s = this->slot_of(p);
    return s ? &s->value : nullptr;
  }
};

}  // namespace capi
