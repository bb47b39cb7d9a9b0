#include "measures/characters/cut_events.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "runtime/cancel.hpp"
#include "util/clock.hpp"
#include "util/errors.hpp"
#include "util/hash.hpp"

namespace cladorix {
namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

size_t count_leaves(const Tree& tree) {
  size_t leaves = 0;
  for (uint32_t kids : tree.child_counts()) leaves += kids == 0;
  return leaves;
}

// ---- the count -------------------------------------------------------------------
//
// A node's signature at one site: `missing` when none of its leaves is
// observed, the edit s when its subtree is pure s, and `unedited` otherwise
// (an observed unedited leaf, or two different edits). The two markers are
// never edits, so one int32 holds all three cases.

inline bool is_edit(int32_t s, int32_t missing, int32_t unedited) {
  return s != missing && s != unedited;
}

// The per-site accumulators of the nodes still open, used as a stack: a node
// takes over the row of its largest child and only its other children push
// rows of their own, so at most log2(leaves) + 1 rows are ever held.
class Accumulators {
 public:
  explicit Accumulators(size_t sites) : sites_(sites) {}

  size_t push() {
    ++top_;
    if (top_ * sites_ > sig_.size()) {
      sig_.resize(top_ * sites_);
      edited_children_.resize(top_ * sites_);
    }
    peak_ = std::max(peak_, top_);
    return top_ - 1;
  }
  void pop() noexcept { --top_; }
  size_t top() const noexcept { return top_ - 1; }
  size_t peak() const noexcept { return peak_; }

  // A node's signature per site, and how many of its children so far have
  // an edit as their signature.
  int32_t* sig(size_t slot) noexcept { return sig_.data() + slot * sites_; }
  uint32_t* edited(size_t slot) noexcept { return edited_children_.data() + slot * sites_; }

 private:
  size_t sites_;
  size_t top_ = 0;
  size_t peak_ = 0;
  std::vector<int32_t> sig_;
  std::vector<uint32_t> edited_children_;
};

// ---- the lower bound -------------------------------------------------------------

// Distinct int32 values, open addressing with `empty` (the missing marker,
// never an edit) as the free slot.
class EditSet {
 public:
  explicit EditSet(int32_t empty) : empty_(empty), slots_(8, empty) {}

  void insert(int32_t v) {
    size_t mask = slots_.size() - 1;
    size_t i = mix64(static_cast<uint32_t>(v)) & mask;
    for (; slots_[i] != empty_; i = (i + 1) & mask)
      if (slots_[i] == v) return;
    slots_[i] = v;
    if (++count_ * 2 > slots_.size()) grow();
  }
  size_t size() const noexcept { return count_; }

 private:
  void grow() {
    std::vector<int32_t> old(slots_.size() * 2, empty_);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (int32_t v : old) {
      if (v == empty_) continue;
      size_t i = mix64(static_cast<uint32_t>(v)) & mask;
      while (slots_[i] != empty_) i = (i + 1) & mask;
      slots_[i] = v;
    }
  }

  int32_t empty_;
  size_t count_ = 0;
  std::vector<int32_t> slots_;
};

// Per site, the distinct edits it is shown.
class SiteEdits {
 public:
  SiteEdits(size_t sites, int32_t missing, int32_t unedited)
      : missing_(missing), unedited_(unedited), sets_(sites, EditSet(missing)) {}

  void add(size_t site, int32_t v) {
    if (is_edit(v, missing_, unedited_)) sets_[site].insert(v);
  }
  uint64_t total() const noexcept {
    uint64_t sum = 0;
    for (const EditSet& set : sets_) sum += set.size();
    return sum;
  }

 private:
  int32_t missing_, unedited_;
  std::vector<EditSet> sets_;
};

// ---- the kernels, four sites at a time ----------------------------------------
//
// Every node row is a pair of arrays over the sites: the signature, and how
// many children so far have an edit as theirs. Lanes of a comparison are all
// ones where it holds, so subtracting a mask adds one.

class Kernels {
 public:
  Kernels(size_t sites, int32_t missing, int32_t unedited)
      : sites_(sites),
        missing_(missing),
        unedited_(unedited),
        m_(_mm_set1_epi32(missing)),
        u_(_mm_set1_epi32(unedited)) {}

  // A node starts from a leaf child's row.
  void start(int32_t* sig, uint32_t* edited, const int32_t* row) const {
    size_t i = 0;
    for (; i + 4 <= sites_; i += 4) {
      const __m128i c = load(row + i);
      store(sig + i, c);
      store(edited + i, _mm_srli_epi32(edit_mask(c), 31));
    }
    for (; i < sites_; ++i) {
      sig[i] = row[i];
      edited[i] = is_edit(row[i], missing_, unedited_);
    }
  }

  // A finished node hands its row to its parent: its own events are
  // counted, the signature stays, and the edited count restarts as the
  // parent's count of this one child.
  void hand_over(int32_t* sig, uint32_t* edited, uint32_t* events) const {
    size_t i = 0;
    for (; i + 4 <= sites_; i += 4) {
      const __m128i c = load(sig + i);
      add_events(events + i, c, load(edited + i));
      store(edited + i, _mm_srli_epi32(edit_mask(c), 31));
    }
    for (; i < sites_; ++i) {
      events[i] += sig[i] == unedited_ ? edited[i] : 0;
      edited[i] = is_edit(sig[i], missing_, unedited_);
    }
  }

  // Folds a child into its parent's row: a leaf's row, or (child_edited
  // given) a finished node's row, whose own events are counted first. Where
  // the parent ends up impure, an edit on either side is the value of a
  // maximal pure subtree (the child, or the children folded in before):
  // `seen` gets it. Every observed edit lies in some maximal pure subtree,
  // so `seen` ends with exactly the distinct edits observed.
  void fold(int32_t* sig, uint32_t* edited, const int32_t* child, const uint32_t* child_edited,
            uint32_t* events, SiteEdits& seen) const {
    size_t i = 0;
    for (; i + 4 <= sites_; i += 4) {
      const __m128i c = load(child + i);
      const __m128i p = load(sig + i);
      if (child_edited) add_events(events + i, c, load(child_edited + i));
      const __m128i c_missing = _mm_cmpeq_epi32(c, m_);
      const __m128i p_missing = _mm_cmpeq_epi32(p, m_);
      const __m128i keep_p = _mm_or_si128(c_missing, _mm_cmpeq_epi32(c, p));
      const __m128i kept = _mm_or_si128(_mm_and_si128(keep_p, p), _mm_andnot_si128(keep_p, u_));
      const __m128i next =
          _mm_or_si128(_mm_and_si128(p_missing, c), _mm_andnot_si128(p_missing, kept));
      const __m128i c_edit = edit_mask(c);
      store(edited + i, _mm_sub_epi32(load(edited + i), c_edit));
      const __m128i any_edit = _mm_or_si128(c_edit, edit_mask(p));
      int record =
          _mm_movemask_ps(_mm_castsi128_ps(_mm_and_si128(_mm_cmpeq_epi32(next, u_), any_edit)));
      while (record != 0) {  // only where there are events
        const size_t lane = i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(record)));
        record &= record - 1;
        seen.add(lane, sig[lane]);
        seen.add(lane, child[lane]);
      }
      store(sig + i, next);
    }
    for (; i < sites_; ++i) {
      const int32_t c = child[i];
      const int32_t p = sig[i];
      if (child_edited && c == unedited_) events[i] += child_edited[i];
      const int32_t next = p == missing_ ? c : (c == missing_ || c == p) ? p : unedited_;
      edited[i] += is_edit(c, missing_, unedited_);
      if (next == unedited_) {
        seen.add(i, p);
        seen.add(i, c);
      }
      sig[i] = next;
    }
  }

 private:
  static __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

  // All ones where the signature is an edit.
  __m128i edit_mask(__m128i s) const {
    const __m128i plain = _mm_or_si128(_mm_cmpeq_epi32(s, m_), _mm_cmpeq_epi32(s, u_));
    return _mm_andnot_si128(plain, _mm_cmpeq_epi32(s, s));
  }
  // A finished node that is not pure (signature unedited) makes each of its
  // edited children a maximal pure subtree: one event each.
  void add_events(uint32_t* events, __m128i sig, __m128i edited) const {
    const __m128i mine = _mm_and_si128(edited, _mm_cmpeq_epi32(sig, u_));
    store(events, _mm_add_epi32(load(events), mine));
  }

  size_t sites_;
  int32_t missing_, unedited_;
  __m128i m_, u_;
};

// ---- the count ---------------------------------------------------------------------

// A node takes over the row of the child it visits first. That child is its
// first in text order, so that leaf rows are read in the order they lie in
// memory, unless another child has more than kFirstChildSlack times as many
// leaves: then the largest goes first. Every row held by a node visiting a
// later child is then one of a chain where each child has at most
// kFirstChildSlack / (kFirstChildSlack + 1) of its parent's leaves, which
// bounds the rows held at once by log(leaves) / log(1 + 1 / kFirstChildSlack)
// + 1 (228 rows at a million leaves) whatever the tree's shape.
constexpr uint64_t kFirstChildSlack = 16;
// How many leaves ahead rows are fetched.
constexpr size_t kRowsAhead = 8;

struct SiteCounts {
  std::vector<uint32_t> events;  // per site
  uint64_t distinct_edits = 0;   // summed over the sites
  size_t peak_rows = 0;
};

// The post-order pass over the tree (explicit stack).
class Walk {
 public:
  Walk(const Tree& tree, const RowTable& rows, std::span<const uint32_t> row_of_leaf,
       int32_t missing, int32_t unedited);

  SiteCounts run(size_t sites) const;

 private:
  struct Frame {
    NodeId first;  // the child whose row the node takes over
    NodeId next;   // the next child to visit, in text order, skipping `first`
    bool owns_row;
  };

  // Takes the pass's steps in order: steps.start(leaf) when a node starts
  // from a leaf child, steps.fold_leaf(leaf) for its other leaf children,
  // and for a finished node steps.hand_over() (its row becomes its parent's),
  // steps.fold_node() (it folds into its parent's row) or, at the root,
  // steps.root().
  template <class Steps>
  void traverse(Steps& steps, uint64_t work_per_step) const;

  const Tree& tree_;
  const RowTable& rows_;
  int32_t missing_, unedited_;
  std::vector<uint32_t> leaves_;       // below each node
  std::vector<uint32_t> row_of_node_;  // kNoRow for internal nodes and unmatched leaves
  // The rows in the order the pass reads them, when that is not the order
  // they lie in memory (rows matched by name): they are then fetched ahead.
  std::vector<uint32_t> rows_in_visit_order_;
};

Walk::Walk(const Tree& tree, const RowTable& rows, std::span<const uint32_t> row_of_leaf,
           int32_t missing, int32_t unedited)
    : tree_(tree), rows_(rows), missing_(missing), unedited_(unedited) {
  // Leaves below each node and each leaf's row, from the pre-order ids:
  // children come after their parent.
  const auto& parents = tree.parents();
  const auto& child_counts = tree.child_counts();
  resize_polled(leaves_, tree.size(), 0u);
  resize_polled(row_of_node_, tree.size(), kNoRow);
  CancelPoller poll;
  size_t k = 0;
  bool in_order = true;
  uint32_t last = 0;
  for (NodeId v = 0; v < tree.size(); ++v) {
    if (child_counts[v] != 0) continue;
    if (k >= row_of_leaf.size()) fail("cut_events: fewer row entries than leaves");
    const uint32_t r = row_of_leaf[k++];
    if (r == kNoRow) continue;
    if (r >= rows.rows.size()) fail("cut_events: row index out of range");
    row_of_node_[v] = r;
    in_order = in_order && r >= last;
    last = r;
  }
  if (k != row_of_leaf.size()) fail("cut_events: more row entries than leaves");
  for (size_t v = tree.size(); v-- > 1;) {
    leaves_[v] += child_counts[v] == 0;
    leaves_[parents[v]] += leaves_[v];
  }
  poll.tick(8 * uint64_t{tree.size()});
  if (in_order) return;
  struct Record {
    const Walk& walk;
    std::vector<uint32_t>& rows;
    void start(NodeId leaf) { rows.push_back(walk.row_of_node_[leaf]); }
    void fold_leaf(NodeId leaf) { rows.push_back(walk.row_of_node_[leaf]); }
    void hand_over() {}
    void fold_node() {}
    void root() {}
  } record{*this, rows_in_visit_order_};
  rows_in_visit_order_.reserve(k);
  traverse(record, 4);
}

template <class Steps>
void Walk::traverse(Steps& steps, uint64_t work_per_step) const {
  const auto& child_counts = tree_.child_counts();
  const auto& first_children = tree_.first_children();
  const auto& next_siblings = tree_.next_siblings();
  if (child_counts[tree_.root()] == 0) return;  // no edge at all
  std::vector<Frame> frames;
  const auto open = [&](NodeId v) {
    const NodeId head = first_children[v];
    NodeId largest = head;
    for (NodeId c = next_siblings[head]; c != kNoNode; c = next_siblings[c])
      if (leaves_[c] > leaves_[largest]) largest = c;
    const bool slack = uint64_t{leaves_[head]} * kFirstChildSlack >= leaves_[largest];
    frames.push_back({slack ? head : largest, head, false});
  };
  CancelPoller poll;
  open(tree_.root());
  while (true) {
    poll.tick(work_per_step);
    Frame& f = frames.back();
    if (!f.owns_row) {
      const NodeId first = f.first;
      if (child_counts[first] != 0) {
        open(first);  // its row becomes this node's when it finishes
        continue;
      }
      f.owns_row = true;
      steps.start(first);
    }
    Frame& g = frames.back();
    NodeId c = g.next;
    if (c == g.first) c = next_siblings[c];
    if (c != kNoNode) {
      g.next = next_siblings[c];
      if (child_counts[c] != 0)
        open(c);
      else
        steps.fold_leaf(c);
      continue;
    }
    // Every child is in: the node is finished.
    frames.pop_back();
    if (frames.empty()) {
      steps.root();
      return;
    }
    Frame& parent = frames.back();
    if (!parent.owns_row) {
      parent.owns_row = true;
      steps.hand_over();
    } else {
      steps.fold_node();
    }
  }
}

SiteCounts Walk::run(size_t sites) const {
  struct Count {
    const Walk& walk;
    size_t sites;
    uint32_t* events;
    SiteEdits seen;
    Accumulators acc;
    Kernels kernels;
    std::vector<int32_t> all_missing;
    size_t leaves_read = 0;

    const int32_t* row(NodeId leaf) {
      const std::vector<uint32_t>& ahead = walk.rows_in_visit_order_;
      const size_t k = leaves_read++;
      if (k + 2 * kRowsAhead < ahead.size() && ahead[k + 2 * kRowsAhead] != kNoRow)
        __builtin_prefetch(&walk.rows_.rows[ahead[k + 2 * kRowsAhead]]);
      if (k + kRowsAhead < ahead.size() && ahead[k + kRowsAhead] != kNoRow) {
        const char* p = reinterpret_cast<const char*>(walk.rows_.rows[ahead[k + kRowsAhead]]);
        for (size_t b = 0; b < sites * sizeof(int32_t) && b < 256; b += 64)
          __builtin_prefetch(p + b);
      }
      const uint32_t r = walk.row_of_node_[leaf];
      return r == kNoRow ? nullptr : walk.rows_.rows[r];
    }
    void start(NodeId leaf) {
      const int32_t* r = row(leaf);
      const size_t slot = acc.push();
      kernels.start(acc.sig(slot), acc.edited(slot), r ? r : all_missing.data());
    }
    void fold_leaf(NodeId leaf) {
      if (const int32_t* r = row(leaf))
        kernels.fold(acc.sig(acc.top()), acc.edited(acc.top()), r, nullptr, events, seen);
    }
    void hand_over() { kernels.hand_over(acc.sig(acc.top()), acc.edited(acc.top()), events); }
    void fold_node() {
      const size_t top = acc.top();
      kernels.fold(acc.sig(top - 1), acc.edited(top - 1), acc.sig(top), acc.edited(top), events,
                   seen);
      acc.pop();
    }
    // The root is unedited by definition: each edited child is maximal, and
    // where the root's own signature is an edit, that is their value.
    void root() {
      const uint32_t* edited = acc.edited(acc.top());
      const int32_t* sig = acc.sig(acc.top());
      for (size_t i = 0; i < sites; ++i) {
        events[i] += edited[i];
        seen.add(i, sig[i]);
      }
    }
  };
  SiteCounts out;
  out.events.assign(sites, 0);
  Count count{*this,
              sites,
              out.events.data(),
              SiteEdits(sites, missing_, unedited_),
              Accumulators(sites),
              Kernels(sites, missing_, unedited_),
              std::vector<int32_t>(sites, missing_)};
  traverse(count, sites + 8);
  out.distinct_edits = count.seen.total();
  out.peak_rows = count.acc.peak();
  return out;
}

}  // namespace

double accumulator_bound(uint64_t leaves) {
  const double slack = static_cast<double>(kFirstChildSlack);
  return std::log(static_cast<double>(std::max<uint64_t>(leaves, 1))) / std::log1p(1.0 / slack) +
         1.0;
}

namespace {

// ---- matching by name ------------------------------------------------------------

// Cell name -> row, open addressing on the names' hashes. The build and the
// lookups each take a whole list of names, hashed first in one sweep, so
// that the probes, which land at random in a table far larger than the
// cache, and then the names they lead to, can be fetched ahead.
class CellIndex {
 public:
  explicit CellIndex(std::span<const std::string_view> names) : names_(names) {
    size_t size = 16;
    while (size < names.size() * 2) size <<= 1;
    resize_polled(slots_, size);
    mask_ = size - 1;
    const std::vector<uint64_t> hashes = hash_all(names);
    CancelPoller poll;
    for (uint32_t row = 0; row < names.size(); ++row) {
      poll.tick(64);
      if (row + kAhead < names.size()) __builtin_prefetch(&slots_[hashes[row + kAhead] & mask_], 1);
      const uint64_t h = hashes[row];
      for (size_t i = h & mask_;; i = (i + 1) & mask_) {
        if (slots_[i] == 0) {
          slots_[i] = (h >> 32 << 32) | (uint64_t{row} + 1);
          break;
        }
        if (same(slots_[i], h, names[row]))
          throw CallerError("cell_names holds " + quoted(names[row]) + " more than once");
      }
    }
  }

  // The row of each name, kNoRow where there is none.
  std::vector<uint32_t> find_all(std::span<const std::string_view> names) const {
    const std::vector<uint64_t> hashes = hash_all(names);
    std::vector<uint32_t> out(names.size());
    CancelPoller poll;
    for (size_t k = 0; k < names.size(); ++k) {
      poll.tick(64);
      // Three stages ahead: the slot, then the name view it points to, then
      // that name's bytes (a guess from the first slot probed).
      if (k + kAhead < names.size()) __builtin_prefetch(&slots_[hashes[k + kAhead] & mask_]);
      if (k + kAhead / 2 < names.size()) {
        if (const uint64_t slot = slots_[hashes[k + kAhead / 2] & mask_]; slot != 0)
          __builtin_prefetch(&names_[static_cast<uint32_t>(slot) - 1]);
      }
      if (k + kAhead / 4 < names.size()) {
        if (const uint64_t slot = slots_[hashes[k + kAhead / 4] & mask_]; slot != 0)
          __builtin_prefetch(names_[static_cast<uint32_t>(slot) - 1].data());
      }
      out[k] = kNoRow;
      const uint64_t h = hashes[k];
      for (size_t i = h & mask_; slots_[i] != 0; i = (i + 1) & mask_) {
        if (same(slots_[i], h, names[k])) {
          out[k] = static_cast<uint32_t>(slots_[i]) - 1;
          break;
        }
      }
    }
    return out;
  }

 private:
  static constexpr size_t kAhead = 16;

  static std::vector<uint64_t> hash_all(std::span<const std::string_view> names) {
    std::vector<uint64_t> out(names.size());
    CancelPoller poll;
    for (size_t k = 0; k < names.size(); ++k) {
      out[k] = hash_bytes(names[k]);
      poll.tick(names[k].size() / 4 + 8);
    }
    return out;
  }

  // High half: the hash's high half; low half: row + 1 (0: empty).
  bool same(uint64_t slot, uint64_t h, std::string_view name) const noexcept {
    return (slot >> 32) == (h >> 32) && names_[static_cast<uint32_t>(slot) - 1] == name;
  }

  std::span<const std::string_view> names_;
  std::vector<uint64_t> slots_;
  size_t mask_ = 0;
};

}  // namespace

std::vector<uint32_t> rows_by_position(const Tree& tree, size_t n_rows) {
  const size_t leaves = count_leaves(tree);
  if (n_rows != leaves)
    throw CallerError("character_matrix has " + std::to_string(n_rows) + " rows but the tree has " +
                      std::to_string(leaves) +
                      " leaves; rows are matched to leaves by position (pass cell_names to "
                      "match them by name)");
  std::vector<uint32_t> out;
  resize_polled(out, leaves);
  for (size_t k = 0; k < leaves; ++k) out[k] = static_cast<uint32_t>(k);
  return out;
}

std::vector<uint32_t> rows_by_name(const Tree& tree, std::span<const std::string_view> cell_names,
                                   size_t n_rows) {
  if (cell_names.size() != n_rows)
    throw CallerError("cell_names has " + std::to_string(cell_names.size()) +
                      " names but character_matrix has " + std::to_string(n_rows) + " rows");
  if (n_rows >= kNoRow) throw CallerError("character_matrix has too many rows");
  const CellIndex index(cell_names);
  const auto& child_counts = tree.child_counts();
  std::vector<std::string_view> leaf_names;
  CancelPoller poll;
  for (NodeId v = 0; v < tree.size(); ++v) {
    if (child_counts[v] != 0) continue;
    if (!tree.has_name(v))
      throw CallerError("the tree has a leaf without a name (leaf " +
                        std::to_string(leaf_names.size() + 1) +
                        " in text order); rows are matched to leaves by name");
    leaf_names.push_back(tree.name(v));
  }
  poll.tick(4 * uint64_t{tree.size()});
  std::vector<uint32_t> out = index.find_all(leaf_names);
  std::vector<uint8_t> taken(n_rows, 0);
  for (size_t k = 0; k < out.size(); ++k) {
    poll.tick(4);
    if (out[k] == kNoRow)
      throw CallerError("leaf " + quoted(leaf_names[k]) +
                        " has no row: cell_names does not hold it");
    if (taken[out[k]])
      throw CallerError("the tree has more than one leaf named " + quoted(leaf_names[k]));
    taken[out[k]] = 1;
  }
  return out;
}

namespace {

// What both entry points check before anything is matched or counted.
void check_inputs(const Tree& tree, int32_t missing_state, int32_t unedited_state) {
  if (!tree.fully_connected())
    throw CallerError("tree is not one rooted tree: an opening parenthesis is never closed");
  if (missing_state == unedited_state)
    throw CallerError("missing_state and unedited_state are both " + std::to_string(missing_state) +
                      "; they must differ");
}

CutEventsResult count_checked(const Tree& tree, const RowTable& rows,
                              std::span<const uint32_t> row_of_leaf, int32_t missing_state,
                              int32_t unedited_state) {
  const size_t sites = rows.sites;
  CutEventsResult out;
  out.n_leaves = row_of_leaf.size();
  out.n_characters = sites;
  const Walk walk(tree, rows, row_of_leaf, missing_state, unedited_state);
  const SiteCounts counts = walk.run(sites);
  out.per_site.assign(counts.events.begin(), counts.events.end());
  out.peak_accumulators = counts.peak_rows;
  for (uint64_t e : out.per_site) out.cut_events += e;
  // Every distinct edit needs an event of its own, so this never underflows.
  out.extra_events = out.cut_events - counts.distinct_edits;
  return out;
}

}  // namespace

RowTable row_table(const CharacterMatrix& matrix) {
  RowTable out;
  out.sites = matrix.empty() ? 0 : matrix[0].size();
  resize_polled(out.rows, matrix.size());
  CancelPoller poll;
  for (size_t r = 0; r < matrix.size(); ++r) {
    poll.tick(4);
    if (matrix[r].size() != out.sites)
      throw CallerError("character_matrix rows differ in length: row 0 has " +
                        std::to_string(out.sites) + " states, row " + std::to_string(r) + " has " +
                        std::to_string(matrix[r].size()));
    out.rows[r] = matrix[r].data();
  }
  return out;
}

CutEventsResult cut_events_for_rows(const Tree& tree, const RowTable& rows,
                                    std::span<const uint32_t> row_of_leaf, int32_t missing_state,
                                    int32_t unedited_state) {
  check_inputs(tree, missing_state, unedited_state);
  return count_checked(tree, rows, row_of_leaf, missing_state, unedited_state);
}

CutEventsResult cut_events_for_rows(const Tree& tree, const CharacterMatrix& matrix,
                                    std::span<const uint32_t> row_of_leaf, int32_t missing_state,
                                    int32_t unedited_state) {
  check_inputs(tree, missing_state, unedited_state);
  return count_checked(tree, row_table(matrix), row_of_leaf, missing_state, unedited_state);
}

CutEventsResult cut_events(const Tree& tree, const RowTable& rows,
                           std::optional<std::span<const std::string_view>> cell_names,
                           int32_t missing_state, int32_t unedited_state) {
  const Instant start = monotonic_now();
  check_inputs(tree, missing_state, unedited_state);
  const size_t n_rows = rows.rows.size();
  const std::vector<uint32_t> row_of_leaf =
      cell_names ? rows_by_name(tree, *cell_names, n_rows) : rows_by_position(tree, n_rows);
  CutEventsResult out = count_checked(tree, rows, row_of_leaf, missing_state, unedited_state);
  out.computation_time_ms = elapsed_ms(start, monotonic_now());
  return out;
}

CutEventsResult cut_events(const Tree& tree, const CharacterMatrix& matrix,
                           std::optional<std::span<const std::string_view>> cell_names,
                           int32_t missing_state, int32_t unedited_state) {
  check_inputs(tree, missing_state, unedited_state);
  return cut_events(tree, row_table(matrix), cell_names, missing_state, unedited_state);
}

}  // namespace cladorix
