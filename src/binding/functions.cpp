#include "binding/functions.hpp"

#include <malloc.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/declare.hpp"
#include "binding/parse.hpp"
#include "binding/result.hpp"
#include "binding/texts.hpp"
#include "measures/characters/cut_events.hpp"
#include "measures/characters/likelihood.hpp"
#include "measures/characters/parsimony.hpp"
#include "measures/phs/phs.hpp"
#include "measures/rf/rf_distance.hpp"
#include "measures/triplets/by_name.hpp"
#include "measures/triplets/by_position.hpp"
#include "measures/triplets/exact_by_name.hpp"
#include "runtime/chunk_plan.hpp"
#include "tree/tree.hpp"
#include "util/texts.hpp"

namespace cladorix::py {
namespace {

// ---- results ---------------------------------------------------------------------

// The four per-bin values every triplet variant reports, then how the
// result was obtained where the variant says so.
PyObject* triplet_dict(const TripletResult& r) {
  Dict d;
  d.bin0("all_triplets_correct", r.all_triplets_correct)
      .bin0("resolvable_triplets_correct", r.resolvable_triplets_correct)
      .bin0("unresolved_triplets_correct", r.unresolved_triplets_correct)
      .bin0("proportion_unresolvable", r.proportion_unresolvable);
  if (r.method_used) {
    d.str("method_used", r.method_used).u64("total_triplets_checked", r.total_triplets_checked);
    if (r.reports_chunks) d.u64("parallel_chunks_used", r.parallel_chunks_used);
  }
  return d.release();
}

// The four ratios, per depth and then over all triplets, with exact counts.
PyObject* exact_triplet_dict(const ExactTripletResult& r) {
  const size_t k = r.depths.size();
  std::vector<double> all(k), resolvable(k), unresolved(k), proportion(k);
  std::vector<u128> triplets(k);
  std::vector<Ref> depths;  // one int per depth for all five tables
  depths.reserve(k);
  for (size_t i = 0; i < k; ++i) {
    depths.push_back(check(PyLong_FromUnsignedLong(r.depths[i])));
    const ExactTripletRatios q = exact_triplet_ratios(r.by_depth[i]);
    all[i] = q.all_triplets_correct;
    resolvable[i] = q.resolvable_triplets_correct;
    unresolved[i] = q.unresolved_triplets_correct;
    proportion[i] = q.proportion_unresolvable;
    triplets[i] = r.by_depth[i].triplets;
  }
  const ExactTripletRatios q = exact_triplet_ratios(r.overall);
  const ExactTripletCounts& c = r.overall;
  return Dict()
      .by_depth("all_triplets_correct", depths, all)
      .by_depth("resolvable_triplets_correct", depths, resolvable)
      .by_depth("unresolved_triplets_correct", depths, unresolved)
      .by_depth("proportion_unresolvable", depths, proportion)
      .by_depth("triplets_at_depth", depths, triplets)
      .dict("overall", Dict()
                           .f64("all_triplets_correct", q.all_triplets_correct)
                           .f64("resolvable_triplets_correct", q.resolvable_triplets_correct)
                           .f64("unresolved_triplets_correct", q.unresolved_triplets_correct)
                           .f64("proportion_unresolvable", q.proportion_unresolvable))
      .dict("counts", Dict()
                          .u128("triplets", c.triplets)
                          .u128("correct", c.correct)
                          .u128("unresolved", c.unresolved)
                          .u128("unresolved_correct", c.unresolved_correct)
                          .u128("resolvable_correct", c.resolvable_correct))
      .str("method_used", texts::kExact)
      .u128("total_triplets_checked", c.triplets)
      .f64("computation_time_ms", r.computation_time_ms)
      .release();
}

// ---- the functions ---------------------------------------------------------------

const InternalStates* states(const std::optional<InternalStates>& s) { return s ? &*s : nullptr; }
//
// Every sampled triplet variant converts min_triplets_at_depth and then
// ignores it.

template <class S>
struct Original : Call<S> {
  static constexpr InternalErrors internal_errors = InternalErrors::Panic;
};

// The fields and parameters of the three single-threaded sampled variants.
template <class S>
struct SampledTriplets : Original<S> {
  std::string_view tree1_newick, tree2_newick;
  uint64_t number_of_trials = 0, min_triplets_at_depth = 0;
  std::optional<uint64_t> seed;

  template <uint64_t kTrials>
  static auto sampled_params() {
    using Self = S;
    return std::tuple{ARG(tree1_newick), ARG(tree2_newick), ARG(number_of_trials, kTrials),
                      ARG(min_triplets_at_depth, 1), ARG(seed, None)};
  }
};

struct TripletsCorrect : SampledTriplets<TripletsCorrect> {
  static constexpr const char* name = "triplets_correct";
  static constexpr const char* doc = "Python wrapper for triplets_correct function";
  static auto params() { return sampled_params<1000>(); }
  PyObject* run() {
    const Tree& t1 = parse(tree1_newick, msg::kParseTree1);  // tree 1's failure comes first
    const Tree& t2 = parse(tree2_newick, msg::kParseTree2);
    return triplet_dict(cladorix::triplets_correct(t1, t2, number_of_trials, seed));
  }
};

struct TripletsCorrectFast : SampledTriplets<TripletsCorrectFast> {
  static constexpr const char* name = "triplets_correct_fast";
  static constexpr const char* doc = "Fast Python wrapper for triplets_correct function";
  static auto params() { return sampled_params<1000>(); }
  PyObject* run() {
    const Tree& t1 = parse(tree1_newick, msg::kParseTree1);  // tree 1's failure comes first
    const Tree& t2 = parse(tree2_newick, msg::kParseTree2);
    return triplet_dict(cladorix::triplets_correct_fast(t1, t2, number_of_trials, seed));
  }
};

struct TripletsCorrectUltra : SampledTriplets<TripletsCorrectUltra> {
  static constexpr const char* name = "triplets_correct_ultra";
  static constexpr const char* doc =
      "Ultra-fast Python wrapper with automatic exhaustive/sampling selection";
  static auto params() { return sampled_params<5000>(); }
  PyObject* run() {
    const Tree& t1 = parse(tree1_newick, msg::kParseTree1);  // tree 1's failure comes first
    const Tree& t2 = parse(tree2_newick, msg::kParseTree2);
    return triplet_dict(cladorix::triplets_correct_ultra(t1, t2, number_of_trials, seed));
  }
};

// The two pooled variants differ in their name, docstring and code path.
template <class S, const PositionVariant& variant>
struct PooledTriplets : Original<S> {
  std::string_view tree1_newick, tree2_newick;
  uint64_t number_of_trials = 0, min_triplets_at_depth = 0;
  std::optional<uint64_t> seed, max_threads;

  static auto params() {
    using Self = S;
    return std::tuple{ARG(tree1_newick),
                      ARG(tree2_newick),
                      ARG(number_of_trials, 10000),
                      ARG(min_triplets_at_depth, 1),
                      ARG(seed, None),
                      ARG(max_threads, None)};
  }
  PyObject* run() {
    const Tree& t1 = this->parse(tree1_newick, msg::kParseTree1);
    const Tree& t2 = this->parse(tree2_newick, msg::kParseTree2);
    return triplet_dict(triplets_by_position(variant, t1, t2, number_of_trials, seed, max_threads));
  }
};

struct TripletsCorrectParallel : PooledTriplets<TripletsCorrectParallel, kParallelVariant> {
  static constexpr const char* name = "triplets_correct_parallel";
  static constexpr const char* doc = "Parallel Python wrapper with rayon-based parallelization";
};

struct TripletsCorrectOptimized : PooledTriplets<TripletsCorrectOptimized, kOptimizedVariant> {
  static constexpr const char* name = "triplets_correct_optimized";
  static constexpr const char* doc = "Optimized Python wrapper using phylo-rs inspired techniques";
};

struct PhsOptimized : Original<PhsOptimized> {
  std::string_view tree_newick;
  CharacterMatrix character_matrix;
  InternalStates internal_character_states;
  std::optional<double> mutation_rate, collision_probability;
  int32_t missing_state = -1, unedited_state = 0;
  std::optional<uint64_t> max_threads;

  static constexpr const char* name = "phs_optimized";
  static constexpr const char* doc = "Optimized PHS (Pairwise Homoplasy Score) calculation";
  static auto params() {
    return std::tuple{ARG(tree_newick),
                      ARG(character_matrix),
                      ARG(internal_character_states),
                      ARG(mutation_rate, None),
                      ARG(collision_probability, None),
                      ARG(missing_state, -1, "..."),
                      ARG(unedited_state, 0),
                      ARG(max_threads, None)};
  }
  PyObject* run() {
    const Tree& tree = parse(tree_newick, msg::kParseTree);
    const CharacterModel model{mutation_rate, collision_probability, missing_state, unedited_state};
    const PhsResult r = cladorix::phs_optimized(tree, std::move(character_matrix),
                                                internal_character_states, model, max_threads);
    return Dict()
        .f64("phs_score", r.phs_score)
        .u64("total_pairs", r.total_pairs)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", r.method_used)
        .u64("parallel_chunks_used", r.parallel_chunks_used)
        .release();
  }
};

template <class S>
struct TwoTrees : Original<S> {
  std::string_view tree1_newick, tree2_newick;
  static auto params() {
    using Self = S;
    return std::tuple{ARG(tree1_newick), ARG(tree2_newick)};
  }
};

// Texts this long are read side by side when the call may use two workers.
constexpr size_t kParallelParseBytes = size_t{1} << 20;

// Both trees read side by side on the pool when large, tree 1's failure
// first, tree 2 read only when tree 1 was. The twelve original functions
// keep the interpreter lock while they run (the workers never touch Python).
template <class Measure>
auto two_trees_side_by_side(std::string_view text1, std::string_view text2, Measure&& measure) {
  const bool on_pool = std::min(text1.size(), text2.size()) >= kParallelParseBytes &&
                       effective_thread_count(std::nullopt) >= 2;
  auto [t1, t2] = parse_two_trees(text1, text2, on_pool, false);
  auto result = measure(t1, t2);
  t1.release_polled();
  t2.release_polled();
  return result;
}

struct RobinsonFoulds : TwoTrees<RobinsonFoulds> {
  static constexpr const char* name = "robinson_foulds_distance";
  static constexpr const char* doc = "Python wrapper for Robinson-Foulds distance calculation";
  PyObject* run() {
    const RfResult r =
        two_trees_side_by_side(tree1_newick, tree2_newick,
                               [](const Tree& t1, const Tree& t2) { return rf_distance(t1, t2); });
    return Dict()
        .u64("rf_distance", r.rf_distance)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", texts::kRfMethod)
        .release();
  }
};

struct RobinsonFouldsNormalized : TwoTrees<RobinsonFouldsNormalized> {
  static constexpr const char* name = "robinson_foulds_distance_normalized";
  static constexpr const char* doc =
      "Python wrapper for normalized Robinson-Foulds distance calculation";
  PyObject* run() {
    const RfNormalizedResult r = two_trees_side_by_side(
        tree1_newick, tree2_newick,
        [](const Tree& t1, const Tree& t2) { return rf_distance_normalized(t1, t2); });
    return Dict()
        .u64("rf_distance", r.base.rf_distance)
        .f64("normalized_rf_distance", r.normalized_rf_distance)
        .f64("computation_time_ms", r.base.computation_time_ms)
        .str("method_used", texts::kRfMethod)
        .u64("max_possible_rf", r.max_possible_rf)
        .u64("tree1_leaves", r.tree1_leaves)
        .u64("tree2_leaves", r.tree2_leaves)
        .release();
  }
};

struct ParsimonyScore : Original<ParsimonyScore> {
  std::string_view tree_newick;
  CharacterMatrix character_matrix;
  std::optional<InternalStates> internal_character_states;
  int32_t missing_state = -1, unedited_state = 0;

  static constexpr const char* name = "parsimony_score";
  static constexpr const char* doc = "Python wrapper for parsimony calculation";
  static auto params() {
    return std::tuple{ARG(tree_newick), ARG(character_matrix), ARG(internal_character_states, None),
                      ARG(missing_state, -1, "..."), ARG(unedited_state, 0)};
  }
  PyObject* run() {
    const Tree& tree = parse(tree_newick, msg::kParseTree);
    const ParsimonyResult r = parsimony(tree, character_matrix, states(internal_character_states),
                                        missing_state, unedited_state);
    return Dict()
        .u64("parsimony_score", r.parsimony_score)
        .u64("total_mutations", r.total_mutations)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", r.method_used)
        .boolean("internal_states_inferred", r.internal_states_inferred)
        .release();
  }
};

struct ParsimonyPValue : Original<ParsimonyPValue> {
  std::string_view tree_newick;
  CharacterMatrix character_matrix;
  std::optional<InternalStates> internal_character_states;
  std::optional<double> mutation_rate;
  int32_t missing_state = -1, unedited_state = 0;

  static constexpr const char* name = "parsimony_p_value";
  static constexpr const char* doc = "Python wrapper for parsimony p-value calculation  ";
  static auto params() {
    return std::tuple{ARG(tree_newick),
                      ARG(character_matrix),
                      ARG(internal_character_states, None),
                      ARG(mutation_rate, None),
                      ARG(missing_state, -1, "..."),
                      ARG(unedited_state, 0)};
  }
  PyObject* run() {
    const Tree& tree = parse(tree_newick, msg::kParseTree);
    const CharacterModel model{mutation_rate, std::nullopt, missing_state, unedited_state};
    const ParsimonyPValueResult r = cladorix::parsimony_p_value(
        tree, character_matrix, states(internal_character_states), model);
    return Dict()
        .f64("p_value", r.p_value)
        .u64("parsimony_score", r.parsimony_score)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", r.method_used)
        .release();
  }
};

struct LikelihoodScore : Original<LikelihoodScore> {
  std::string_view tree_newick;
  CharacterMatrix character_matrix;
  std::optional<InternalStates> internal_character_states;
  std::optional<double> mutation_rate, collision_probability;
  int32_t missing_state = -1, unedited_state = 0;

  static constexpr const char* name = "likelihood_score";
  static constexpr const char* doc = "Python wrapper for likelihood calculation";
  static auto params() {
    return std::tuple{ARG(tree_newick),
                      ARG(character_matrix),
                      ARG(internal_character_states, None),
                      ARG(mutation_rate, None),
                      ARG(collision_probability, None),
                      ARG(missing_state, -1, "..."),
                      ARG(unedited_state, 0)};
  }
  PyObject* run() {
    const Tree& tree = parse(tree_newick, msg::kParseTree);
    const CharacterModel model{mutation_rate, collision_probability, missing_state, unedited_state};
    const LikelihoodResult r =
        likelihood(tree, character_matrix, states(internal_character_states), model);
    return Dict()
        .f64("log_likelihood", r.log_likelihood)
        .f64("likelihood", r.likelihood)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", r.method_used)
        .u64("n_characters", r.n_characters)
        .u64("n_leaves", r.n_leaves)
        .release();
  }
};

struct LikelihoodDistance : Original<LikelihoodDistance> {
  std::string_view reconstructed_tree_newick, ground_truth_tree_newick;
  CharacterMatrix character_matrix;
  std::optional<InternalStates> internal_states_reconstructed, internal_states_ground_truth;
  std::optional<double> mutation_rate, collision_probability;
  int32_t missing_state = -1, unedited_state = 0;

  static constexpr const char* name = "likelihood_distance";
  static constexpr const char* doc = "Python wrapper for likelihood distance calculation";
  static auto params() {
    return std::tuple{ARG(reconstructed_tree_newick),
                      ARG(ground_truth_tree_newick),
                      ARG(character_matrix),
                      ARG(internal_states_reconstructed, None),
                      ARG(internal_states_ground_truth, None),
                      ARG(mutation_rate, None),
                      ARG(collision_probability, None),
                      ARG(missing_state, -1, "..."),
                      ARG(unedited_state, 0)};
  }
  PyObject* run() {
    const Tree& reconstructed = parse(reconstructed_tree_newick, msg::kParseReconstructed);
    const Tree& ground_truth = parse(ground_truth_tree_newick, msg::kParseGroundTruth);
    const CharacterModel model{mutation_rate, collision_probability, missing_state, unedited_state};
    const LikelihoodDistanceResult r = cladorix::likelihood_distance(
        reconstructed, ground_truth, character_matrix, states(internal_states_reconstructed),
        states(internal_states_ground_truth), model);
    return Dict().f64("likelihood_distance", r.likelihood_distance).release();
  }
};

// ---- beyond the measures ------------------------------------------------------

// A share of no workers is refused up front, whatever the input's size.
void check_max_threads(std::optional<uint64_t> max_threads) {
  if (max_threads == uint64_t{0}) throw CallerError(msg::kNoThreads);
}

// From texts this long (some 400,000 leaves) on, the exact count hands the
// memory its trees and scratch leave in the workers' arenas back before
// building its result.
constexpr size_t kTrimBytes = size_t{1} << 22;

struct TripletsCorrectExact : Call<TripletsCorrectExact> {
  std::string_view tree1_newick, tree2_newick;
  std::optional<uint64_t> max_threads;

  static constexpr const char* name = "triplets_correct_exact";
  static constexpr const char* doc =
      "Exact triplet agreement of two rooted trees whose leaves are matched by name.\n"
      "Counts all C(n, 3) triplets, each at the depth in tree1 (the reference) of its\n"
      "leaves' lowest common ancestor: the four ratios per depth and overall, exact counts.\n"
      "Runs without the GIL; max_threads caps the share of the worker pool (None: all).";
  static auto params() {
    return std::tuple{ARG(tree1_newick), ARG(tree2_newick), ARG(max_threads, None)};
  }
  PyObject* run() {
    check_max_threads(max_threads);
    ExactTripletResult r;
    {
      // The texts are views into str objects the caller holds; nothing from
      // here to the dict touches Python.
      const ReleaseLock unlocked;
      const bool on_pool =
          std::min(tree1_newick.size(), tree2_newick.size()) >= kParallelParseBytes &&
          effective_thread_count(max_threads) >= 2;
      auto [t1, t2] = parse_two_trees(tree1_newick, tree2_newick, on_pool, true);
      r = cladorix::triplets_correct_exact(t1, t2, max_threads);
      t1.release_polled();
      t2.release_polled();
    }
    // The trees and the count's scratch, freed by now, may sit in the
    // workers' malloc arenas, where the result's Python objects cannot reuse
    // them: handed back first, the peak is the larger of the two, not their
    // sum.
    if (std::min(tree1_newick.size(), tree2_newick.size()) >= kTrimBytes) malloc_trim(0);
    return exact_triplet_dict(r);
  }
};

struct LeafNames : Call<LeafNames> {
  std::string_view tree_newick;

  static constexpr const char* name = "leaf_names";
  static constexpr const char* doc =
      "The names of the tree's leaves (None for an unnamed leaf) in node order.\n\n"
      "Row k of a character_matrix belongs to the k-th leaf of this list, so\n"
      "frame.loc[leaf_names(tree)] puts a frame indexed by leaf name in row order.";
  static auto params() { return std::tuple{ARG(tree_newick)}; }
  PyObject* run() {
    const Tree& tree = parse(tree_newick, msg::kParseTree);
    const std::vector<std::optional<std::string_view>> names = cladorix::leaf_names(tree);
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(names.size())));
    SignalPoll poll;  // a str per leaf: millions of leaves take a while
    for (size_t i = 0; i < names.size(); ++i) {
      PyObject* item = Py_None;
      if (names[i]) {
        item = PyUnicode_DecodeUTF8(names[i]->data(), static_cast<Py_ssize_t>(names[i]->size()),
                                    nullptr);
        if (!item) throw_error_set();
      } else {
        Py_INCREF(item);
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
      poll.tick();
    }
    return list.release();
  }
};

struct CutEvents : Call<CutEvents> {
  std::string_view tree_newick;
  MatrixRows character_matrix;
  std::optional<Names> cell_names;
  int32_t missing_state = -1, unedited_state = 0;

  static constexpr const char* name = "cut_events";
  static constexpr const char* doc =
      "The fewest cut events that explain character_matrix on the tree under irreversible\n"
      "editing: per site, the maximal subtrees below the root whose observed leaves all carry\n"
      "one edit. Needs no internal labels or states; polytomies and single-child nodes are fine.\n"
      "Rows follow the leaves in text order (as many rows as leaves), or, with cell_names (one\n"
      "str per row, e.g. frame.index), the leaf of that name. Returns cut_events, per_site,\n"
      "extra_events (beyond one event per distinct edit and site), n_leaves, n_characters and\n"
      "computation_time_ms. Runs without the GIL.";
  static auto params() {
    return std::tuple{ARG(tree_newick), ARG(character_matrix), KWARG(cell_names, None),
                      KWARG(missing_state, -1), KWARG(unedited_state, 0)};
  }
  PyObject* run() {
    CutEventsResult r;
    {
      // The text is a view into a str the caller holds and everything else
      // is converted: nothing from here to the dict touches Python.
      const ReleaseLock unlocked;
      Tree tree = parse_tree(tree_newick, msg::kParseTree, true);
      std::optional<std::vector<std::string_view>> names;
      if (cell_names) names.emplace(cell_names->begin(), cell_names->end());
      r = cladorix::cut_events(
          tree, character_matrix.table(),
          names ? std::optional<std::span<const std::string_view>>(*names) : std::nullopt,
          missing_state, unedited_state);
      tree.release_polled();
    }
    return Dict()
        .u64("cut_events", r.cut_events)
        .u64_list("per_site", r.per_site)
        .u64("extra_events", r.extra_events)
        .u64("n_leaves", r.n_leaves)
        .u64("n_characters", r.n_characters)
        .f64("computation_time_ms", r.computation_time_ms)
        .release();
  }
};

}  // namespace

const FunctionDef kTripletsCorrect = define<TripletsCorrect>();
const FunctionDef kTripletsCorrectFast = define<TripletsCorrectFast>();
const FunctionDef kTripletsCorrectUltra = define<TripletsCorrectUltra>();
const FunctionDef kTripletsCorrectParallel = define<TripletsCorrectParallel>();
const FunctionDef kTripletsCorrectOptimized = define<TripletsCorrectOptimized>();
const FunctionDef kPhsOptimized = define<PhsOptimized>();
const FunctionDef kRobinsonFoulds = define<RobinsonFoulds>();
const FunctionDef kRobinsonFouldsNormalized = define<RobinsonFouldsNormalized>();
const FunctionDef kParsimonyScore = define<ParsimonyScore>();
const FunctionDef kParsimonyPValue = define<ParsimonyPValue>();
const FunctionDef kLikelihoodScore = define<LikelihoodScore>();
const FunctionDef kLikelihoodDistance = define<LikelihoodDistance>();
const FunctionDef kTripletsCorrectExact = define<TripletsCorrectExact>();
const FunctionDef kLeafNames = define<LeafNames>();
const FunctionDef kCutEvents = define<CutEvents>();

}  // namespace cladorix::py
