#include "tree/formats/translate_table.hpp"

#include <algorithm>

#include "util/errors.hpp"
#include "util/hash.hpp"

namespace cladorix {
namespace {

constexpr uint64_t kTagMask = 0xFFFFFFFF00000000ULL;

// The value of a token written as a number without leading zeros (at most
// nine digits), or -1.
int64_t number(std::string_view token) noexcept {
  if (token.empty() || token.size() > 9 || (token[0] == '0' && token.size() > 1)) return -1;
  int64_t v = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

void TranslateTable::reserve(size_t entries, size_t bytes) {
  entries_.reserve(entries_.size() + entries);
  bytes_.reserve(bytes_.size() + bytes);
}

bool TranslateTable::add(std::string_view token, std::string_view name, std::string_view original) {
  if (token.size() >= UINT32_MAX || name.size() >= UINT32_MAX)
    throw CallerError("a TRANSLATE token or name of 4 GiB or more");
  if (entries_.size() >= UINT32_MAX - 1) throw CallerError("a TRANSLATE table of 2^32 entries");
  const int64_t v = number(token);
  // Values up to a few times the number of entries stay dense.
  const bool dense = v >= 0 && static_cast<uint64_t>(v) < 4 * entries_.size() + 1024;
  size_t slot = 0;
  uint64_t tag = 0;
  if (dense) {
    if (static_cast<size_t>(v) < by_number_.size() && by_number_[static_cast<size_t>(v)] != 0)
      return false;
  } else {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    const uint64_t h = hash_bytes(token);
    tag = h & kTagMask;
    const size_t mask = slots_.size() - 1;
    for (slot = static_cast<size_t>(h) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
      if ((slots_[slot] & kTagMask) == tag &&
          token == this->token(entries_[(slots_[slot] & ~kTagMask) - 1]))
        return false;
    }
  }
  const Entry e{bytes_.size(), static_cast<uint32_t>(token.size()),
                static_cast<uint32_t>(name.size())};
  token_bytes_ += token.size();
  bytes_.append(token);
  bytes_.append(name);
  entries_.push_back(e);
  const auto index = static_cast<uint32_t>(entries_.size());  // + 1
  if (dense) {
    if (static_cast<size_t>(v) >= by_number_.size())
      by_number_.resize(std::max(static_cast<size_t>(v) + 1, by_number_.size() * 3 / 2), 0);
    by_number_[static_cast<size_t>(v)] = index;
  } else {
    slots_[slot] = tag | index;
    numbers_hashed_ = numbers_hashed_ || v >= 0;
  }
  if (!original.empty()) originals_.emplace(index - 1, std::string(original));
  return true;
}

bool TranslateTable::find(std::string_view token, Found& found) const noexcept {
  if (entries_.empty()) return false;
  const int64_t v = number(token);
  if (v >= 0) {
    if (static_cast<size_t>(v) < by_number_.size() && by_number_[static_cast<size_t>(v)] != 0)
      return this->found(by_number_[static_cast<size_t>(v)] - 1, found);
    if (!numbers_hashed_) return false;
  }
  if (slots_.empty()) return false;
  const uint64_t h = hash_bytes(token);
  const uint64_t tag = h & kTagMask;
  const size_t mask = slots_.size() - 1;
  for (size_t i = static_cast<size_t>(h) & mask; slots_[i] != 0; i = (i + 1) & mask) {
    if ((slots_[i] & kTagMask) != tag) continue;
    const size_t index = (slots_[i] & ~kTagMask) - 1;
    if (token == this->token(entries_[index])) return this->found(index, found);
  }
  return false;
}

bool TranslateTable::found(size_t index, Found& found) const noexcept {
  const Entry& e = entries_[index];
  found.name = std::string_view(bytes_).substr(e.token_offset + e.token_length, e.name_length);
  found.original = {};
  if (!originals_.empty()) {
    const auto it = originals_.find(static_cast<uint32_t>(index));
    if (it != originals_.end()) found.original = it->second;
  }
  return true;
}

double TranslateTable::growth_per_leaf() const noexcept {
  if (entries_.empty()) return 0;
  const double names = static_cast<double>(bytes_.size() - token_bytes_);
  const double tokens = static_cast<double>(token_bytes_);
  return std::max(0.0, (names - tokens) / static_cast<double>(entries_.size()));
}

void TranslateTable::grow() {
  const size_t size = slots_.empty() ? 64 : slots_.size() * 2;
  std::vector<uint64_t> slots(size, 0);
  const size_t mask = size - 1;
  for (const uint64_t old : slots_) {
    if (old == 0) continue;
    const uint64_t h = hash_bytes(token(entries_[(old & ~kTagMask) - 1]));
    size_t i = static_cast<size_t>(h) & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = old;
  }
  slots_.swap(slots);
}

void TranslateTable::clear() {
  std::string().swap(bytes_);
  token_bytes_ = 0;
  std::vector<Entry>().swap(entries_);
  std::vector<uint64_t>().swap(slots_);
  std::vector<uint32_t>().swap(by_number_);
  numbers_hashed_ = false;
  originals_.clear();
}

}  // namespace cladorix
