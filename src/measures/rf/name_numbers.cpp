// Names into hash buckets per tree, matched bucket by bucket.
#include "measures/rf/name_numbers.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <string_view>

#include "runtime/cancel.hpp"
#include "runtime/pool.hpp"
#include "util/errors.hpp"
#include "util/hash.hpp"
#include "util/huge_pages.hpp"

namespace cladorix {
namespace {

constexpr uint64_t kNamesPerBucket = 4096;
// Marks a matched tree 2 name that is no leaf of tree 1: its value is then
// its place among such names of its bucket.
constexpr uint32_t kOtherName = uint32_t{1} << 31;

inline size_t bucket_of(uint64_t hash, unsigned bits) {
  return bits == 0 ? 0 : static_cast<size_t>(hash >> (64 - bits));
}

// A short copy without a library call: two overlapping loads and stores.
inline void copy_name(char* to, const char* from, size_t n) {
  if (n >= 8 && n <= 16) {
    uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else if (n > 16) {
    std::memcpy(to, from, n);
  } else {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

// Runs step(0..k-1), on the pool when k > 1; errors surface in index order.
template <class F>
void run_pieces(size_t k, F&& step) {
  if (k == 1) return step(0);
  std::vector<std::exception_ptr> errors(k);
  WorkerPool::global().run(k, [&](size_t i) {
    try {
      step(i);
    } catch (...) {
      errors[i] = std::current_exception();
    }
  });
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
}

}  // namespace

unsigned NameBuckets::bits_for(uint64_t names1, uint64_t names2) {
  const uint64_t most = std::max(names1, names2);
  unsigned bits = 0;
  while (bits < 40 && (kNamesPerBucket << bits) < most) ++bits;
  return bits;
}

NameBuckets::NameBuckets(const Tree& tree, NodeId reachable, unsigned bits, bool first)
    : tree_(&tree), nodes_(tree.size()) {
  // One pass into buckets sized for the expected share with ample slack;
  // should one overflow, two passes that count first.
  if (!fill(tree, reachable, bits, first, false)) fill(tree, reachable, bits, first, true);
  if (first) bucket_.reset();  // only tree 2's results go back to nodes
}

bool NameBuckets::fill(const Tree& tree, NodeId reachable, unsigned bits, bool first, bool exact) {
  // Names are read in naming order, back to back in the tree.
  const std::vector<NodeId>& order = tree.naming_order();
  const size_t named = order.size();
  const size_t buckets = size_t{1} << bits;
  const auto& child_count = tree.child_counts();
  const uint64_t total_bytes =
      named == 0
          ? 0
          : static_cast<uint64_t>(tree.given_name(named - 1).data() - tree.given_name(0).data()) +
                tree.given_name(named - 1).size();
  bucket_ = huge_array<uint32_t>(named);
  uint32_t* bucket = bucket_.get();
  CancelPoller poll;
  begin_.assign(buckets, 0);
  bytes_begin_.assign(buckets, 0);
  uint64_t entry_room = 0, byte_room = 0;  // per bucket, in the one-pass layout
  if (exact) {
    std::vector<uint64_t> count(buckets + 1, 0), bytes(buckets + 1, 0);
    for (size_t k = 0; k < named; ++k) {
      if (!tree.naming_is_current(k)) {
        bucket[k] = kStale;
        continue;
      }
      const std::string_view name = tree.given_name(k);
      const size_t b = bucket_of(hash_bytes(name), bits);
      bucket[k] = static_cast<uint32_t>(b);
      ++count[b + 1];
      bytes[b + 1] += name.size();
      poll.tick(name.size() / 4 + 8);
    }
    for (size_t b = 0; b < buckets; ++b) {
      if (bytes[b + 1] > UINT32_MAX) unusable_ = true;
      count[b + 1] += count[b];
      bytes[b + 1] += bytes[b];
    }
    std::copy(count.begin(), count.end() - 1, begin_.begin());
    std::copy(bytes.begin(), bytes.end() - 1, bytes_begin_.begin());
    entries_ = huge_array<Entry>(count[buckets]);
    bytes_ = huge_array<char>(bytes[buckets]);
  } else {
    // Mean plus eight standard deviations of a bucket's share, and room for
    // names of the average length; the rare overflow falls back to counting.
    const double mean = static_cast<double>(named) / static_cast<double>(buckets);
    entry_room = static_cast<uint64_t>(mean + 8 * std::sqrt(mean)) + 16;
    const uint64_t average = named == 0 ? 1 : total_bytes / named + 1;
    byte_room = std::min<uint64_t>(UINT32_MAX, entry_room * average + 256);
    for (size_t b = 0; b < buckets; ++b) {
      begin_[b] = b * entry_room;
      bytes_begin_[b] = b * byte_room;
    }
    entries_ = huge_array<Entry>(buckets * entry_room);
    bytes_ = huge_array<char>(buckets * byte_room);
  }
  end_ = begin_;
  std::vector<uint64_t> used(buckets, 0);  // bytes of each bucket so far
  uint32_t leaves = 0;
  NodeId last_leaf = 0;
  bool out_of_order = false;
  for (size_t k = 0; k < named; ++k) {
    uint32_t b;
    if (exact) {
      b = bucket[k];
      if (b == kStale) continue;
    } else if (!tree.naming_is_current(k)) {
      bucket[k] = kStale;
      continue;
    }
    const std::string_view name = tree.given_name(k);
    const uint64_t h = hash_bytes(name);
    if (!exact) {
      b = static_cast<uint32_t>(bucket_of(h, bits));
      bucket[k] = b;
      if (end_[b] - begin_[b] == entry_room || used[b] + name.size() > byte_room) return false;
    }
    const NodeId v = order[k];
    uint32_t payload = v;
    if (first) {
      payload = kNoLeaf;
      if (v < reachable && child_count[v] == 0) {
        // Leaves are named as they close, in ascending id: their order here
        // is their order in the tree.
        out_of_order |= leaves > 0 && v <= last_leaf;
        last_leaf = v;
        payload = leaves++;
      }
    }
    entries_[end_[b]++] = {static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(used[b]),
                           static_cast<uint32_t>(name.size()), payload};
    copy_name(bytes_.get() + bytes_begin_[b] + used[b], name.data(), name.size());
    used[b] += name.size();
    poll.tick(name.size() / 4 + 8);
  }
  leaves_ = leaves;
  unusable_ |= out_of_order;
  return true;
}

NameNumbers::NameNumbers(NameBuckets& tree1, NameBuckets& tree2, size_t pieces) {
  NameBuckets* trees[2] = {&tree1, &tree2};
  const size_t buckets = tree1.begin_.size();
  if (tree2.begin_.size() != buckets) fail("name buckets of different widths");
  leaves1 = tree1.leaves_;
  if (leaves1 >= kOtherName || tree1.unusable_ || tree2.unusable_) {
    usable = false;
    return;
  }
  pieces = std::clamp<size_t>(pieces, 1, buckets);
  std::vector<uint32_t> others_in(buckets);  // names no leaf of tree 1 carries, per bucket
  struct Counts {
    uint64_t names = 0, distinct[2] = {0, 0};
    bool repeated = false;
  };
  std::vector<Counts> counts(pieces);

  // Within a bucket: every name gets a slot on its first appearance (tree 1
  // first); equal hashes are confirmed byte for byte. Tree 2's entries then
  // learn their number: the tree 1 leaf's order, or a place among the other
  // names of the bucket.
  auto match_piece = [&](size_t piece) {
    const size_t first = buckets * piece / pieces, last = buckets * (piece + 1) / pieces;
    struct Name {
      const char* bytes;
      uint32_t length;
      uint32_t number;  // tree 1 leaf order, or kOtherName | place
      uint8_t in[2];
    };
    std::vector<Name> names;
    std::vector<uint64_t> slots;  // hash tag << 32 | slot + 1; 0 when empty
    Counts& c = counts[piece];
    CancelPoller poll;
    for (size_t b = first; b < last; ++b) {
      const uint64_t size = tree1.end_[b] - tree1.begin_[b] + tree2.end_[b] - tree2.begin_[b];
      const size_t table = std::bit_ceil(std::max<uint64_t>(16, 2 * size));
      slots.assign(table, 0);
      names.clear();
      const size_t mask = table - 1;
      for (int t = 0; t < 2; ++t) {
        NameBuckets& tree = *trees[t];
        const char* bytes = tree.bytes_.get() + tree.bytes_begin_[b];
        for (uint64_t k = tree.begin_[b]; k < tree.end_[b]; ++k) {
          NameBuckets::Entry& e = tree.entries_[k];
          const std::string_view name(bytes + e.offset, e.value);
          const uint64_t tag = e.tag;  // its top bits choose the bucket; the others the slot
          uint32_t slot_of_name;
          for (size_t i = tag & mask;; i = (i + 1) & mask) {
            const uint64_t slot = slots[i];
            if (slot == 0) {
              slot_of_name = static_cast<uint32_t>(names.size());
              slots[i] = (tag << 32) | (uint64_t{slot_of_name} + 1);
              names.push_back(
                  {name.data(), static_cast<uint32_t>(name.size()), NameBuckets::kNoLeaf, {0, 0}});
              break;
            }
            const Name& known = names[static_cast<uint32_t>(slot) - 1];
            if ((slot >> 32) == tag && known.length == name.size() &&
                std::memcmp(known.bytes, name.data(), name.size()) == 0) {
              slot_of_name = static_cast<uint32_t>(slot) - 1;
              break;
            }
          }
          Name& n = names[slot_of_name];
          n.in[t] = 1;
          if (t == 0 && e.payload != NameBuckets::kNoLeaf) {
            if (n.number != NameBuckets::kNoLeaf) c.repeated = true;
            n.number = e.payload;
          }
          e.value = slot_of_name;
          poll.tick(name.size() / 4 + 16);
        }
      }
      uint32_t others = 0;
      for (Name& n : names) {
        if (n.number == NameBuckets::kNoLeaf) n.number = kOtherName | others++;
        c.distinct[0] += n.in[0];
        c.distinct[1] += n.in[1];
      }
      c.names += names.size();
      others_in[b] = others;
      // Tree 2's numbers: final for names of tree 1's leaves; the others
      // wait for their bucket's offset.
      for (uint64_t k = tree2.begin_[b]; k < tree2.end_[b]; ++k) {
        NameBuckets::Entry& e = tree2.entries_[k];
        e.value = names[e.value].number;
      }
    }
  };
  run_pieces(pieces, match_piece);

  uint64_t names = 0;
  for (const Counts& c : counts) {
    names += c.names;
    distinct[0] += c.distinct[0];
    distinct[1] += c.distinct[1];
    usable = usable && !c.repeated;
  }
  if (names >= kUnnamed) fail("too many distinct names");
  count = static_cast<uint32_t>(names);
  offset_.assign(buckets + 1, leaves1);  // first number of each bucket's others
  for (size_t b = 0; b < buckets; ++b) offset_[b + 1] = offset_[b] + others_in[b];
  tree1.entries_.reset();
  tree1.bytes_.reset();
  tree2.bytes_.reset();
  if (usable) tree2_ = &tree2;
}

std::vector<uint32_t> NameNumbers::numbers2() {
  if (tree2_ == nullptr) fail("tree 2's numbers are not available");
  NameBuckets& tree2 = *tree2_;
  tree2_ = nullptr;
  // Back to the nodes: naming order again, each bucket's entries taken in
  // turn (they were laid out in naming order), so every stream is read and
  // written in sequence.
  std::vector<uint32_t> of2;
  reserve_huge(of2, tree2.nodes_);
  resize_polled(of2, tree2.nodes_, kUnnamed);
  const std::vector<NodeId>& order = tree2.tree_->naming_order();
  std::vector<uint64_t> next = tree2.begin_;
  CancelPoller poll;
  for (size_t k = 0; k < order.size(); ++k) {
    poll.tick(8);
    const uint32_t b = tree2.bucket_[k];
    if (b == NameBuckets::kStale) continue;
    const uint32_t value = tree2.entries_[next[b]++].value;
    of2[order[k]] =
        value & kOtherName ? static_cast<uint32_t>(offset_[b]) + (value & ~kOtherName) : value;
  }
  tree2.entries_.reset();
  tree2.bucket_.reset();
  return of2;
}

}  // namespace cladorix
