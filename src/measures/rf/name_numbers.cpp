#include "measures/rf/name_numbers.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <string_view>

#include "runtime/cancel.hpp"
#include "runtime/pool.hpp"
#include "util/errors.hpp"
#include "util/hash.hpp"

namespace cladorix {
namespace {

constexpr uint64_t kNamesPerBucket = 256;

inline size_t bucket_of(uint64_t hash, unsigned bits) {
  return bits == 0 ? 0 : static_cast<size_t>(hash >> (64 - bits));
}

}  // namespace

unsigned NameBuckets::bits_for(uint64_t names1, uint64_t names2) {
  const uint64_t most = std::max(names1, names2);
  unsigned bits = 0;
  while (bits < 40 && (kNamesPerBucket << bits) < most) ++bits;
  return bits;
}

NameBuckets::NameBuckets(const Tree& tree, unsigned bits) : nodes_(tree.size()) {
  const size_t buckets = size_t{1} << bits;
  std::vector<uint64_t> count(buckets + 1, 0);
  // The bucket of every named node, in id order, so names are hashed once.
  std::vector<uint32_t> bucket;
  bucket.reserve(tree.naming_order().size());
  CancelPoller poll;
  for (NodeId v = 0; v < tree.size(); ++v) {
    if (!tree.has_name(v)) continue;
    const std::string_view name = tree.name(v);
    const size_t b = bucket_of(hash_bytes(name), bits);
    bucket.push_back(static_cast<uint32_t>(b));
    ++count[b + 1];
    poll.tick(name.size() / 4 + 8);
  }
  for (size_t b = 0; b < buckets; ++b) count[b + 1] += count[b];
  start_ = count;
  resize_polled(entries_, bucket.size());
  size_t k = 0;
  for (NodeId v = 0; v < tree.size(); ++v) {
    if (!tree.has_name(v)) continue;
    const std::string_view name = tree.name(v);
    entries_[count[bucket[k++]]++] = {name.data(), static_cast<uint32_t>(name.size()), v};
    poll.tick(8);
  }
}

NameNumbers::NameNumbers(NameBuckets&& tree1, NameBuckets&& tree2, size_t pieces) {
  NameBuckets* trees[2] = {&tree1, &tree2};
  const size_t buckets = tree1.start_.size() - 1;
  if (tree2.start_.size() - 1 != buckets) fail("name buckets of different widths");
  pieces = std::clamp<size_t>(pieces, 1, buckets);
  std::vector<uint32_t> names_in(buckets);  // distinct names per bucket
  struct Counts {
    uint64_t distinct[2] = {0, 0};
  };
  std::vector<Counts> counts(pieces);

  // Within a bucket: every name gets the bucket's next number on its first
  // appearance (tree 1 first); equal hashes are confirmed byte for byte.
  auto match_piece = [&](size_t piece) {
    const size_t first = buckets * piece / pieces, last = buckets * (piece + 1) / pieces;
    struct Name {
      const char* bytes;
      uint32_t length;
      uint8_t in[2];
    };
    std::vector<Name> names;
    std::vector<uint64_t> slots;  // hash tag << 32 | number + 1; 0 when empty
    CancelPoller poll;
    for (size_t b = first; b < last; ++b) {
      const uint64_t size = tree1.start_[b + 1] - tree1.start_[b] + tree2.start_[b + 1] -
                            tree2.start_[b];
      const size_t table = std::bit_ceil(std::max<uint64_t>(16, 2 * size));
      slots.assign(table, 0);
      names.clear();
      const size_t mask = table - 1;
      for (int t = 0; t < 2; ++t) {
        NameBuckets& tree = *trees[t];
        for (uint64_t k = tree.start_[b]; k < tree.start_[b + 1]; ++k) {
          NameBuckets::Entry& e = tree.entries_[k];
          const std::string_view name(e.bytes, e.value);
          const uint64_t h = hash_bytes(name);
          const uint64_t tag = h >> 32;
          for (size_t i = h & mask;; i = (i + 1) & mask) {
            const uint64_t slot = slots[i];
            if (slot == 0) {
              e.value = static_cast<uint32_t>(names.size());
              slots[i] = (tag << 32) | (uint64_t{e.value} + 1);
              names.push_back({name.data(), static_cast<uint32_t>(name.size()), {0, 0}});
              break;
            }
            const Name& known = names[static_cast<uint32_t>(slot) - 1];
            if ((slot >> 32) == tag && known.length == name.size() &&
                std::memcmp(known.bytes, name.data(), name.size()) == 0) {
              e.value = static_cast<uint32_t>(slot) - 1;
              break;
            }
          }
          names[e.value].in[t] = 1;
          poll.tick(name.size() / 4 + 16);
        }
      }
      names_in[b] = static_cast<uint32_t>(names.size());
      for (const Name& n : names) {
        counts[piece].distinct[0] += n.in[0];
        counts[piece].distinct[1] += n.in[1];
      }
    }
  };

  std::vector<uint64_t> offset(buckets + 1, 0);
  for (int t = 0; t < 2; ++t) of[t].clear();
  auto number_piece = [&](size_t piece) {
    const size_t first = buckets * piece / pieces, last = buckets * (piece + 1) / pieces;
    CancelPoller poll;
    for (int t = 0; t < 2; ++t) {
      const NameBuckets& tree = *trees[t];
      for (size_t b = first; b < last; ++b) {
        const auto base = static_cast<uint32_t>(offset[b]);
        for (uint64_t k = tree.start_[b]; k < tree.start_[b + 1]; ++k)
          of[t][tree.entries_[k].node] = base + tree.entries_[k].value;
        poll.tick(4 * (tree.start_[b + 1] - tree.start_[b]) + 4);
      }
    }
  };

  // Both steps in pieces of buckets; errors surface in piece order.
  auto run = [&](auto&& step) {
    if (pieces == 1) return step(0);
    std::vector<std::exception_ptr> errors(pieces);
    WorkerPool::global().run(pieces, [&](size_t p) {
      try {
        step(p);
      } catch (...) {
        errors[p] = std::current_exception();
      }
    });
    for (const std::exception_ptr& e : errors)
      if (e) std::rethrow_exception(e);
  };

  run(match_piece);
  for (size_t b = 0; b < buckets; ++b) offset[b + 1] = offset[b] + names_in[b];
  if (offset[buckets] >= kUnnamed) fail("too many distinct names");
  count = static_cast<uint32_t>(offset[buckets]);
  for (const Counts& c : counts) {
    distinct[0] += c.distinct[0];
    distinct[1] += c.distinct[1];
  }
  for (int t = 0; t < 2; ++t) resize_polled(of[t], trees[t]->nodes_, kUnnamed);
  run(number_piece);
  for (NameBuckets* tree : trees) {
    tree->entries_ = {};
    tree->start_ = {};
  }
}

}  // namespace cladorix
