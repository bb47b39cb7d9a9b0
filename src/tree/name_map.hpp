// Open-addressing hash map from a name (bytes) to a 32-bit value. Keys are
// views: the map never owns the bytes, so they must outlive it (names live
// in a tree's name pool or in the caller's strings).
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace cladorix {

inline uint64_t hash_bytes(std::string_view s) noexcept {
  // 64-bit FNV-1a over 8-byte words, then a final avalanche; only equality of
  // keys reaches any result, so any well-spread hash works.
  uint64_t h = 0xcbf29ce484222325ULL ^ (s.size() * 0x9E3779B97F4A7C15ULL);
  const char* p = s.data();
  size_t n = s.size();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0x100000001b3ULL;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  h = (h ^ tail) * 0x100000001b3ULL;
  h ^= h >> 32;
  h *= 0xd6e8feb86659fd93ULL;
  h ^= h >> 32;
  return h;
}

class NameMap {
 public:
  NameMap() = default;
  explicit NameMap(size_t expected) { reserve(expected); }

  void reserve(size_t expected) {
    size_t want = 16;
    while (want < expected * 2 + 2) want <<= 1;
    if (want > slots_.size()) rehash(want);
  }

  // Inserts or overwrites; returns true when the key was new.
  bool insert_or_assign(std::string_view key, uint32_t value) {
    Slot& s = slot_for(key);
    const bool added = !s.used;
    if (added) {
      s.key = key;
      s.used = true;
      ++size_;
    }
    s.value = value;
    return added;
  }

  // Inserts only when absent; returns the value now stored.
  uint32_t insert_if_absent(std::string_view key, uint32_t value) {
    Slot& s = slot_for(key);
    if (!s.used) {
      s.key = key;
      s.value = value;
      s.used = true;
      ++size_;
    }
    return s.value;
  }

  const uint32_t* find(std::string_view key) const noexcept {
    if (size_ == 0) return nullptr;
    uint64_t h = hash_bytes(key);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (!s.used) return nullptr;
      if (s.hash == h && s.key == key) return &s.value;
    }
  }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Visits every entry in an unspecified order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_)
      if (s.used) f(s.key, s.value);
  }

 private:
  struct Slot {
    std::string_view key;
    uint32_t value = 0;
    uint64_t hash = 0;
    bool used = false;
  };

  // The slot holding `key`, or the empty slot where it belongs (its hash set).
  Slot& slot_for(std::string_view key) {
    if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    const uint64_t h = hash_bytes(key);
    const size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (!s.used) {
        s.hash = h;
        return s;
      }
      if (s.hash == h && s.key == key) return s;
    }
  }

  void rehash(size_t capacity) {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(capacity, Slot{});
    size_t mask = capacity - 1;
    for (const Slot& s : old) {
      if (!s.used) continue;
      size_t i = s.hash & mask;
      while (slots_[i].used) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace cladorix
