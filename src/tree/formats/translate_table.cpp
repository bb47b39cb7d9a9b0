#include "tree/formats/translate_table.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

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

constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

template <class T>
T* HugePageAllocator<T>::allocate(size_t n) {
  const size_t bytes = n * sizeof(T);
  if (bytes < 2 * kHugePage) return static_cast<T*>(::operator new(bytes));
  void* p = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
  if (p == nullptr) throw std::bad_alloc();
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without it the pages are small
  return static_cast<T*>(p);
}

template <class T>
void HugePageAllocator<T>::deallocate(T* p, size_t n) noexcept {
  if (n * sizeof(T) < 2 * kHugePage) {
    ::operator delete(p);
  } else {
    std::free(p);
  }
}

void TranslateTable::reserve(size_t entries, size_t bytes) {
  by_number_.reserve(by_number_.size() + entries + 1);
  bytes_.reserve(bytes_.size() + bytes);
}

std::string_view TranslateTable::name(const Slot& s) const noexcept {
  if (s.length != Slot::kElsewhere) return std::string_view(s.bytes, s.length);
  uint64_t offset;
  uint32_t length;
  std::memcpy(&offset, s.bytes, sizeof offset);
  std::memcpy(&length, s.bytes + sizeof offset, sizeof length);
  return std::string_view(bytes_).substr(offset, length);
}

bool TranslateTable::add(std::string_view token, std::string_view name, std::string_view original) {
  if (token.size() >= UINT32_MAX || name.size() >= UINT32_MAX)
    throw CallerError("a TRANSLATE token or name of 4 GiB or more");
  if (size_ >= UINT32_MAX - 1) throw CallerError("a TRANSLATE table of 2^32 entries");
  if (name.empty()) fail("an empty TRANSLATE name");
  const int64_t v = number(token);
  // Values up to a few times the number of entries stay dense.
  if (v >= 0 && static_cast<uint64_t>(v) < 4 * size_ + 1024) {
    const auto at = static_cast<size_t>(v);
    if (at < by_number_.size() && by_number_[at].length != 0) return false;
    if (at >= by_number_.size()) by_number_.resize(std::max(at + 1, by_number_.size() * 3 / 2));
    Slot& s = by_number_[at];
    if (name.size() < Slot::kElsewhere && name.size() <= sizeof s.bytes) {
      s.length = static_cast<uint8_t>(name.size());
      std::memcpy(s.bytes, name.data(), name.size());
    } else {
      const uint64_t offset = bytes_.size();
      const auto length = static_cast<uint32_t>(name.size());
      bytes_.append(name);
      s.length = Slot::kElsewhere;
      std::memcpy(s.bytes, &offset, sizeof offset);
      std::memcpy(s.bytes + sizeof offset, &length, sizeof length);
    }
  } else {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    const uint64_t h = hash_bytes(token);
    const uint64_t tag = h & kTagMask;
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(h) & mask;
    for (; slots_[i] != 0; i = (i + 1) & mask) {
      if ((slots_[i] & kTagMask) == tag &&
          token == this->token(entries_[(slots_[i] & ~kTagMask) - 1]))
        return false;
    }
    entries_.push_back(Entry{bytes_.size(), static_cast<uint32_t>(token.size()),
                             static_cast<uint32_t>(name.size())});
    bytes_.append(token);
    bytes_.append(name);
    slots_[i] = tag | entries_.size();
    numbers_hashed_ = numbers_hashed_ || v >= 0;
  }
  ++size_;
  token_bytes_ += token.size();
  name_bytes_ += name.size();
  if (!original.empty()) originals_.emplace(std::string(token), std::string(original));
  return true;
}

bool TranslateTable::find(std::string_view token, Found& found) const noexcept {
  if (size_ == 0) return false;
  found.name = {};
  const int64_t v = number(token);
  if (v >= 0 && static_cast<size_t>(v) < by_number_.size() &&
      by_number_[static_cast<size_t>(v)].length != 0) {
    found.name = name(by_number_[static_cast<size_t>(v)]);
  } else if ((v < 0 || numbers_hashed_) && !slots_.empty()) {
    const uint64_t h = hash_bytes(token);
    const uint64_t tag = h & kTagMask;
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(h) & mask; slots_[i] != 0; i = (i + 1) & mask) {
      if ((slots_[i] & kTagMask) != tag) continue;
      const Entry& e = entries_[(slots_[i] & ~kTagMask) - 1];
      if (token != this->token(e)) continue;
      found.name = std::string_view(bytes_).substr(e.token_offset + e.token_length, e.name_length);
      break;
    }
  }
  if (found.name.empty()) return false;
  found.original = {};
  if (!originals_.empty()) {
    const auto it = originals_.find(std::string(token));
    if (it != originals_.end()) found.original = it->second;
  }
  return true;
}

double TranslateTable::growth_per_leaf() const noexcept {
  if (size_ == 0) return 0;
  const double names = static_cast<double>(name_bytes_);
  const double tokens = static_cast<double>(token_bytes_);
  return std::max(0.0, (names - tokens) / static_cast<double>(size_));
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
  size_ = 0;
  token_bytes_ = name_bytes_ = 0;
  decltype(by_number_)().swap(by_number_);
  numbers_hashed_ = false;
  std::vector<Entry>().swap(entries_);
  std::vector<uint64_t>().swap(slots_);
  originals_.clear();
}

template struct HugePageAllocator<TranslateTable::Slot>;

}  // namespace cladorix
