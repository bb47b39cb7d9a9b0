#include "tree/formats/translate_table.hpp"

#include "util/errors.hpp"
#include "util/hash.hpp"

namespace cladorix {

bool TranslateTable::add(std::string_view token, std::string_view name, std::string_view original) {
  if (token.size() >= UINT32_MAX || name.size() >= UINT32_MAX)
    throw CallerError("a TRANSLATE token or name of 4 GiB or more");
  if ((entries_.size() + 1) * 2 > slots_.size()) grow();
  const uint64_t h = hash_bytes(token);
  const uint64_t tag = h & 0xFFFFFFFF00000000ULL;
  const size_t mask = slots_.size() - 1;
  size_t i = static_cast<size_t>(h) & mask;
  while (slots_[i] != 0) {
    if ((slots_[i] & 0xFFFFFFFF00000000ULL) == tag &&
        token == this->token(entries_[(slots_[i] & 0xFFFFFFFFULL) - 1]))
      return false;
    i = (i + 1) & mask;
  }
  const Entry e{bytes_.size(), bytes_.size() + token.size(), static_cast<uint32_t>(token.size()),
                static_cast<uint32_t>(name.size())};
  bytes_.append(token);
  bytes_.append(name);
  if (entries_.size() >= UINT32_MAX - 1) throw CallerError("a TRANSLATE table of 2^32 entries");
  entries_.push_back(e);
  slots_[i] = tag | entries_.size();
  if (!original.empty())
    originals_.emplace(static_cast<uint32_t>(entries_.size() - 1), std::string(original));
  return true;
}

bool TranslateTable::find(std::string_view token, Found& found) const noexcept {
  if (entries_.empty()) return false;
  const uint64_t h = hash_bytes(token);
  const uint64_t tag = h & 0xFFFFFFFF00000000ULL;
  const size_t mask = slots_.size() - 1;
  for (size_t i = static_cast<size_t>(h) & mask; slots_[i] != 0; i = (i + 1) & mask) {
    if ((slots_[i] & 0xFFFFFFFF00000000ULL) != tag) continue;
    const size_t index = (slots_[i] & 0xFFFFFFFFULL) - 1;
    const Entry& e = entries_[index];
    if (token != this->token(e)) continue;
    found.name = std::string_view(bytes_).substr(e.name_offset, e.name_length);
    found.original = {};
    if (!originals_.empty()) {
      const auto it = originals_.find(static_cast<uint32_t>(index));
      if (it != originals_.end()) found.original = it->second;
    }
    return true;
  }
  return false;
}

void TranslateTable::grow() {
  const size_t size = slots_.empty() ? 64 : slots_.size() * 2;
  std::vector<uint64_t> slots(size, 0);
  const size_t mask = size - 1;
  for (size_t index = 0; index < entries_.size(); ++index) {
    const uint64_t h = hash_bytes(token(entries_[index]));
    size_t i = static_cast<size_t>(h) & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = (h & 0xFFFFFFFF00000000ULL) | (index + 1);
  }
  slots_.swap(slots);
}

void TranslateTable::clear() {
  std::string().swap(bytes_);
  std::vector<Entry>().swap(entries_);
  std::vector<uint64_t>().swap(slots_);
  originals_.clear();
}

}  // namespace cladorix
