// The fewest cut events that explain a character matrix on a rooted tree
// under irreversible editing. Unlike parsimony it infers no internal states
// and reads no internal labels, so it scores any tree as reconstruction
// tools write it: unlabelled, support values as labels, polytomies,
// single-child nodes.
//
// The model: every site starts unedited at the root; an event on an edge gives
// one edit to the whole subtree below it; an edited site never changes again;
// a missing value fits any state. For one site and one edit s, call a subtree
// pure s when its observed (non-missing) leaves all carry s and at least one
// does. Every observed s needs an event above it whose subtree is pure s, and
// the pure-s subtrees are nested or disjoint, so the minimum is
//
//   per site = the number of maximal pure subtrees rooted strictly below the
//              root (for any edit s), and cut_events = their sum over sites.
//
// A subtree whose leaves are all missing needs no event and counts nothing.
// Internal labels and the order of children never matter.
//
// extra_events = cut_events - (for every site, the number of distinct edits
// observed at leaves below the root), summed: the events a tree that kept
// every edit in one clade would not need (homoplasy), never negative.
//
// How the count is made in one pass for all sites, with memory that does not
// grow with the tree's depth: see NOTES.md beside this file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "measures/characters/character_states.hpp"
#include "tree/tree.hpp"

namespace cladorix {

// In a row_of_leaf list: the leaf has no row, every site of it is missing.
inline constexpr uint32_t kNoRow = UINT32_MAX;

struct CutEventsResult {
  uint64_t cut_events = 0;
  std::vector<uint64_t> per_site;  // one per character, summing to cut_events
  uint64_t extra_events = 0;
  uint64_t n_leaves = 0;      // leaves of the tree, matched or not
  uint64_t n_characters = 0;  // the length of every row (0 without rows)
  double computation_time_ms = 0.0;
  // Diagnostics: the most per-site accumulators (one row of n_characters
  // pairs each) held at once, never more than accumulator_bound(n_leaves)
  // whatever the shape.
  size_t peak_accumulators = 0;
};

// log(leaves) / log(17 / 16) + 1: at most 228 rows at a million leaves (see NOTES.md).
double accumulator_bound(uint64_t leaves);

// For each leaf in leaf order (ascending node id, the text order), the row of
// `matrix` it takes: row k for leaf k. CallerError when the matrix has another
// number of rows than the tree has leaves.
std::vector<uint32_t> rows_by_position(const Tree& tree, size_t n_rows);

// The same by name: leaf k takes the row whose cell name equals its name
// (cell_names[i] names row i, compared byte for byte). CallerError when the
// number of names differs from n_rows, when a cell name repeats, when a leaf
// has no name, and then, at the first leaf in text order where it happens,
// when its name is not among the cell names or an earlier leaf has the same
// name. Rows whose names match no leaf are not read.
std::vector<uint32_t> rows_by_name(const Tree& tree, std::span<const std::string_view> cell_names,
                                   size_t n_rows);

// The matrix as the count reads it: each row's `sites` states, wherever they
// lie (a matrix of separate rows, or a caller's 2-D array read in place).
struct RowTable {
  std::vector<const int32_t*> rows;
  size_t sites = 0;
};

// The rows of a matrix; CallerError when they differ in length.
RowTable row_table(const CharacterMatrix& matrix);

// The count over rows already matched to leaves: row_of_leaf holds one entry
// per leaf (a row index, or kNoRow for a leaf with no row). CallerError when
// the tree is not one rooted tree (an unclosed "("), when the two markers are
// equal, or when the matrix's rows differ in length (every row is checked,
// matched or not). Interruptible (polls for cancellation).
CutEventsResult cut_events_for_rows(const Tree& tree, const CharacterMatrix& matrix,
                                    std::span<const uint32_t> row_of_leaf, int32_t missing_state,
                                    int32_t unedited_state);
CutEventsResult cut_events_for_rows(const Tree& tree, const RowTable& rows,
                                    std::span<const uint32_t> row_of_leaf, int32_t missing_state,
                                    int32_t unedited_state);

// What the Python function computes: rows matched by name when cell_names is
// given, by position otherwise, then counted. computation_time_ms covers the
// matching and the count.
CutEventsResult cut_events(const Tree& tree, const CharacterMatrix& matrix,
                           std::optional<std::span<const std::string_view>> cell_names,
                           int32_t missing_state, int32_t unedited_state);
CutEventsResult cut_events(const Tree& tree, const RowTable& rows,
                           std::optional<std::span<const std::string_view>> cell_names,
                           int32_t missing_state, int32_t unedited_state);

}  // namespace cladorix
