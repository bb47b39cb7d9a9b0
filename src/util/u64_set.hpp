// Open-addressing set of 64-bit keys (UINT64_MAX is reserved as the empty slot).
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/cancel.hpp"
#include "util/hash.hpp"

namespace cladorix {

class U64Set {
 public:
  static constexpr uint64_t kEmpty = UINT64_MAX;

  explicit U64Set(size_t expected = 0) { rehash(capacity_for(expected)); }

  // Returns true when the key was not present.
  bool insert(uint64_t key) {
    if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    size_t mask = slots_.size() - 1;
    for (size_t i = mix64(key) & mask;; i = (i + 1) & mask) {
      if (slots_[i] == kEmpty) {
        slots_[i] = key;
        ++size_;
        return true;
      }
      if (slots_[i] == key) return false;
    }
  }

  bool contains(uint64_t key) const noexcept {
    size_t mask = slots_.size() - 1;
    for (size_t i = mix64(key) & mask;; i = (i + 1) & mask) {
      if (slots_[i] == kEmpty) return false;
      if (slots_[i] == key) return true;
    }
  }

  size_t size() const noexcept { return size_; }

 private:
  static size_t capacity_for(size_t expected) {
    size_t c = 16;
    while (c < expected * 2 + 2) c <<= 1;
    return c;
  }
  void rehash(size_t capacity) {
    std::vector<uint64_t> old;
    old.swap(slots_);
    resize_polled(slots_, capacity, kEmpty);
    size_ = 0;
    CancelPoller poll;
    for (uint64_t k : old) {
      if (k != kEmpty) insert(k);
      poll.tick(16);
    }
  }

  std::vector<uint64_t> slots_;
  size_t size_ = 0;
};

}  // namespace cladorix
