// A Nexus TRANSLATE table: tokens (as the trees write leaf labels) to names.
//
// Built for a million entries read in the random order of a tree's leaves.
// Tokens are nearly always the numbers 1..n: those index a dense array of
// 16-byte slots that hold short names in place, so a lookup costs one cache
// line. Other tokens (and long names) live in one buffer of bytes, found
// through an open-addressing index of hashes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cladorix {

// Memory of large arrays read at random: backed by 2 MiB pages where the
// system offers them, so that a lookup misses the cache once, not also the
// address translation.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}
  T* allocate(size_t n);
  void deallocate(T* p, size_t n) noexcept;
  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

class TranslateTable {
 public:
  struct Found {
    std::string_view name;      // as the measures read it (blanks became "_")
    std::string_view original;  // the quoted name as written, when blanks became "_"; else empty
  };

  // Maps `token` to `name` (not empty); false when the token is mapped already.
  bool add(std::string_view token, std::string_view name, std::string_view original = {});
  // The name `token` maps to; false when it maps to none. The views hold
  // until the table changes.
  bool find(std::string_view token, Found& found) const noexcept;

  // Starts fetching the entry of the numeric token `value` into the cache.
  void prefetch(uint64_t value) const noexcept {
    if (value >= by_number_.size()) return;
    const Slot* slot = &by_number_[value];
    __builtin_prefetch(slot);
    // A prefetch is no side effect to the optimizer, which would drop the
    // whole look-ahead that computes `value`: this empty statement is one.
    asm volatile("" : : "r"(slot));
  }

  // Room for about `entries` more entries of `bytes` more bytes.
  void reserve(size_t entries, size_t bytes);

  bool empty() const noexcept { return size_ == 0; }
  size_t size() const noexcept { return size_; }
  // How much longer a name is than its token, on average (at least 0): what
  // a translated leaf adds to a tree's text.
  double growth_per_leaf() const noexcept;
  // Empties the table and gives its memory back.
  void clear();

 private:
  // A numeric token's name: up to 15 bytes in place, else where it stands in bytes_.
  struct Slot {
    static constexpr uint8_t kElsewhere = 0xFF;
    uint8_t length = 0;  // 0: no name
    char bytes[15];
  };
  struct Entry {
    uint64_t token_offset;  // the name follows the token in bytes_
    uint32_t token_length;
    uint32_t name_length;
  };

  std::string_view token(const Entry& e) const noexcept {
    return std::string_view(bytes_).substr(e.token_offset, e.token_length);
  }
  std::string_view name(const Slot& s) const noexcept;
  void grow();

  std::string bytes_;
  size_t size_ = 0;
  uint64_t token_bytes_ = 0, name_bytes_ = 0;
  std::vector<Slot, HugePageAllocator<Slot>> by_number_;  // by a numeric token's value
  bool numbers_hashed_ = false;  // some numeric token went to the hash index (too large)
  std::vector<Entry> entries_;   // the other tokens
  // Slot: the hash's upper 32 bits, then the entry's index + 1 (0: empty).
  std::vector<uint64_t> slots_;
  std::unordered_map<std::string, std::string> originals_;  // by token; rare
};

}  // namespace cladorix
