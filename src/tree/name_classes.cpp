#include "tree/name_classes.hpp"

#include "runtime/cancel.hpp"

namespace cladorix {

namespace {

size_t table_size(size_t keys) {
  size_t size = 16;
  while (size < keys * 2) size <<= 1;
  return size;
}

}  // namespace

NameClasses::NameClasses(std::initializer_list<const Tree*> trees) {
  // Hash every name first (a sequential sweep over the name bytes), so the
  // table probes below can be prefetched ahead: they land at random in a
  // table far larger than the cache.
  struct Hashed {
    uint32_t tree;
    NodeId node;
    uint64_t hash;
  };
  std::vector<Hashed> hashed;
  uint32_t index = 0;
  CancelPoller poll;
  for (const Tree* tree : trees) {
    resize_polled(class_of_node_.emplace_back(), tree->size(), kNone);
    for (NodeId v = 0; v < tree->size(); ++v) {
      if (tree->has_name(v)) {
        const std::string_view name = tree->name(v);
        hashed.push_back({index, v, hash_bytes(name)});
        poll.tick(name.size() / 4 + 16);
      }
    }
    poll.tick(2 * uint64_t{tree->size()});
    ++index;
  }
  std::vector<const Tree*> by_index(trees);
  resize_polled(slots_, table_size(hashed.size()));
  const size_t mask = slots_.size() - 1;
  names_.reserve(hashed.size());
  constexpr size_t kLookahead = 16;
  for (size_t k = 0; k < hashed.size(); ++k) {
    poll.tick(64);
    if (k + kLookahead < hashed.size())
      __builtin_prefetch(&slots_[hashed[k + kLookahead].hash & mask], 1);
    const auto [t, v, h] = hashed[k];
    const std::string_view name = by_index[t]->name(v);
    std::vector<uint32_t>& class_of_node = class_of_node_[t];
    const uint64_t tag = h >> 32;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const uint64_t slot = slots_[i];
      if (slot == 0) {
        const uint32_t cls = static_cast<uint32_t>(names_.size());
        names_.push_back(name);
        slots_[i] = (tag << 32) | (uint64_t{cls} + 1);
        class_of_node[v] = cls;
        break;
      }
      const uint32_t cls = static_cast<uint32_t>(slot) - 1;
      if ((slot >> 32) == tag && names_[cls] == name) {
        class_of_node[v] = cls;
        break;
      }
    }
  }
}

uint32_t NameClasses::find(std::string_view name) const noexcept {
  const uint64_t h = hash_bytes(name);
  const uint64_t tag = h >> 32;
  const size_t mask = slots_.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const uint64_t slot = slots_[i];
    if (slot == 0) return kNone;
    const uint32_t cls = static_cast<uint32_t>(slot) - 1;
    if ((slot >> 32) == tag && names_[cls] == name) return cls;
  }
}

}  // namespace cladorix
