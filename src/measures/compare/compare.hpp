// Many trees scored in one go: each against one reference, or every pair.
//
// Leaves are matched by name: every leaf of a compared tree must be named,
// once. Robinson-Foulds compares topologies (internal labels play no part);
// the exact triplet count is per depth of the reference (the first tree of a
// pair); the character scores take each tree's rows by cell name; parsimony
// and the likelihood hold internal states by node name, so they need every
// node uniquely named, while the cut events read no internal label.
//
// Each tree is parsed once, and what every comparison needs of it (its
// leaves numbered over the names of all trees, its bipartitions, its
// preparation as a triplet reference) is built once.
//
// A tree's own failure (it does not parse, its leaves differ from the
// reference's, a measure refuses it) is that row's error text; only the
// reference's failures, cancellation and memory exhaustion are thrown.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "measures/characters/character_states.hpp"
#include "measures/rf/bipartitions.hpp"
#include "measures/triplets/exact_by_name.hpp"
#include "tree/tree.hpp"

namespace cladorix {

enum class CompareMeasure : uint8_t {
  Rf,             // rf_distance
  RfNormalized,   // normalized_rf_distance, max_possible_rf
  TripletsExact,  // the four ratios, n_triplets, n_triplets_correct
  Parsimony,      // parsimony_score
  Likelihood,     // log_likelihood
  CutEvents,      // cut_events, extra_events
};

// The measure of a user's name ("rf", "rf_normalized", "triplets_exact",
// "parsimony", "likelihood", "cut_events"); CallerError naming the known
// ones otherwise.
CompareMeasure compare_measure(std::string_view name);

// A matrix whose rows are found by cell name.
struct CellRows {
  const CharacterMatrix* matrix = nullptr;
  std::unordered_map<std::string_view, uint32_t> row_of;  // views into the names given
  int32_t missing_state = -1;
  int32_t unedited_state = 0;

  // CallerError for a row count that differs from the name count, a name
  // given twice, or rows of unequal length.
  CellRows(const CharacterMatrix& matrix, const std::vector<std::string>& cell_names,
           int32_t missing_state, int32_t unedited_state);
};

struct CompareOptions {
  std::vector<CompareMeasure> measures;
  bool common_leaves = false;
  bool by_depth = false;
  const CellRows* cells = nullptr;  // needed by the character measures
  // Shares of the worker pool within one tree's count (the trees themselves
  // are spread over the pool by the caller).
  std::optional<uint64_t> max_threads_per_tree = 1;

  bool wants(CompareMeasure m) const;
  bool wants_rf() const;
};

struct CompareRow {
  std::optional<uint64_t> rf_distance;
  std::optional<double> normalized_rf_distance;
  std::optional<uint64_t> max_possible_rf;
  std::optional<ExactTripletCounts> triplets;
  std::optional<uint64_t> parsimony_score;
  std::optional<double> log_likelihood;
  std::optional<uint64_t> cut_events, extra_events;
  // With common leaves.
  std::optional<uint64_t> leaves_compared, leaves_only_in_reference, leaves_only_in_tree;
  // Per depth of the reference, with by_depth.
  std::vector<uint32_t> depths;
  std::vector<ExactTripletCounts> by_depth;
  std::string error;  // empty when the row holds its scores
};

// A tree parsed and checked once, its leaves numbered over a shared set of
// names, with its bipartitions and triplet preparation when asked for.
struct ComparedTree {
  Tree tree;
  std::vector<NodeId> leaves;  // ascending id
  std::vector<uint32_t> ids;   // per leaf: its name's number in the shared set
  // Its leaf set's numbering (numbers 0..n-1 over exactly its own names),
  // shared by every tree of the same leaf set; the bipartitions use it.
  uint32_t leaf_set = 0;
  std::optional<Bipartitions> bipartitions;
  std::unique_ptr<ExactReference> as_reference;  // the tree as a pair's first
  std::vector<uint32_t> depths;                  // per node, for restricted references

  // CallerError when the text does not parse, a "(" is left open or a leaf
  // has no name.
  explicit ComparedTree(std::string_view newick);
};

class ReferenceComparison {
 public:
  // CallerError for a reference that fails as ComparedTree does or repeats
  // a leaf name, or, when a character measure is asked for, lacks unique
  // internal labels or a row.
  ReferenceComparison(std::string_view reference, const CompareOptions& options);
  ~ReferenceComparison();

  // One tree against the reference; thread-safe. Throws only Cancelled and
  // std::bad_alloc: every other failure is the row's error.
  CompareRow score(std::string_view newick) const;

  // The reference's own character scores, where asked for.
  const CompareRow& reference_scores() const noexcept { return own_; }

 private:
  CompareOptions options_;
  std::unique_ptr<ComparedTree> reference_;
  std::unordered_map<std::string_view, uint32_t> number_of_;  // leaf name -> leaf position
  CompareRow own_;
};

// Every tree of a set parsed once, for scoring pairs.
class PairComparison {
 public:
  // Trees that fail keep their error for every pair they are in.
  PairComparison(const std::vector<std::string_view>& newicks, const CompareOptions& options);
  ~PairComparison();

  size_t size() const noexcept { return trees_.size(); }
  // Tree a as the reference of tree b (depths are tree a's); thread-safe.
  CompareRow score(size_t a, size_t b) const;

 private:
  CompareOptions options_;
  std::vector<std::unique_ptr<ComparedTree>> trees_;
  std::vector<std::string> errors_;
  uint32_t names_ = 0;  // names of all trees' leaves
};

}  // namespace cladorix
