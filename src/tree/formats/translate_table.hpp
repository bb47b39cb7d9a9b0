// A Nexus TRANSLATE table: tokens (as the trees write leaf labels) to names.
// Built for a million entries: the bytes of all tokens and names in one
// buffer, entries as offsets. Tokens are nearly always the numbers 1..n:
// those are found by their value in a dense index, without hashing; any
// other token goes through an open-addressing index of hashes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cladorix {

class TranslateTable {
 public:
  struct Found {
    std::string_view name;      // as the measures read it (blanks became "_")
    std::string_view original;  // the quoted name as written, when blanks became "_"; else empty
  };

  // Maps `token` to `name`; false when the token is mapped already.
  bool add(std::string_view token, std::string_view name, std::string_view original = {});
  // The name `token` maps to; false when it maps to none.
  bool find(std::string_view token, Found& found) const noexcept;

  // Room for about `entries` more entries of `bytes` more bytes.
  void reserve(size_t entries, size_t bytes);

  bool empty() const noexcept { return entries_.empty(); }
  // How much longer a name is than its token, on average (at least 0): what
  // a translated leaf adds to a tree's text.
  double growth_per_leaf() const noexcept;
  size_t size() const noexcept { return entries_.size(); }
  // Empties the table and gives its memory back.
  void clear();

 private:
  struct Entry {
    uint64_t token_offset;  // the name follows the token in bytes_
    uint32_t token_length;
    uint32_t name_length;
  };

  std::string_view token(const Entry& e) const noexcept {
    return std::string_view(bytes_).substr(e.token_offset, e.token_length);
  }
  bool found(size_t index, Found& found) const noexcept;
  void grow();

  std::string bytes_;
  uint64_t token_bytes_ = 0;
  std::vector<Entry> entries_;
  // Slot: the hash's upper 32 bits, then the entry's index + 1 (0: empty).
  std::vector<uint64_t> slots_;
  // By a numeric token's value: the entry's index + 1 (0: none).
  std::vector<uint32_t> by_number_;
  bool numbers_hashed_ = false;  // some numeric token went to slots_ (too large)
  std::unordered_map<uint32_t, std::string> originals_;  // by entry index; rare
};

}  // namespace cladorix
