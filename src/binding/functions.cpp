#include "binding/functions.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/parse.hpp"
#include "binding/result.hpp"
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

// ---- parameters ------------------------------------------------------------------

constexpr Param kTree1{"tree1_newick", Kind::Text};
constexpr Param kTree2{"tree2_newick", Kind::Text};
constexpr Param kTree{"tree_newick", Kind::Text};
constexpr Param kMinTriplets{"min_triplets_at_depth", Kind::U64, 1};
constexpr Param kSeed{"seed", Kind::OptU64};
constexpr Param kMaxThreads{"max_threads", Kind::OptU64};
constexpr Param kMatrix{"character_matrix", Kind::Matrix};
constexpr Param kStates{"internal_character_states", Kind::OptStates};
constexpr Param kRate{"mutation_rate", Kind::OptF64};
constexpr Param kCollision{"collision_probability", Kind::OptF64};
constexpr Param kMissing{"missing_state", Kind::I32, -1};
constexpr Param kUnedited{"unedited_state", Kind::I32, 0};
constexpr Param trials(int64_t default_value) {
  return {"number_of_trials", Kind::U64, default_value};
}

constexpr Param kSampledParams1000[] = {kTree1, kTree2, trials(1000), kMinTriplets, kSeed};
constexpr Param kSampledParams5000[] = {kTree1, kTree2, trials(5000), kMinTriplets, kSeed};
constexpr Param kPooledParams[] = {kTree1, kTree2, trials(10000), kMinTriplets, kSeed, kMaxThreads};
constexpr Param kTwoTreeParams[] = {kTree1, kTree2};
constexpr Param kPhsParams[] = {kTree,     kMatrix,    {"internal_character_states", Kind::States},
                                kRate,     kCollision, kMissing,
                                kUnedited, kMaxThreads};
constexpr Param kParsimonyParams[] = {kTree, kMatrix, kStates, kMissing, kUnedited};
constexpr Param kPValueParams[] = {kTree, kMatrix, kStates, kRate, kMissing, kUnedited};
constexpr Param kLikelihoodParams[] = {kTree,      kMatrix,  kStates,  kRate,
                                       kCollision, kMissing, kUnedited};
constexpr Param kExactParams[] = {kTree1, kTree2, kMaxThreads};
constexpr Param kLeafNamesParams[] = {kTree};
constexpr Param kLikelihoodDistanceParams[] = {{"reconstructed_tree_newick", Kind::Text},
                                               {"ground_truth_tree_newick", Kind::Text},
                                               kMatrix,
                                               {"internal_states_reconstructed", Kind::OptStates},
                                               {"internal_states_ground_truth", Kind::OptStates},
                                               kRate,
                                               kCollision,
                                               kMissing,
                                               kUnedited};

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
  for (size_t i = 0; i < k; ++i) {
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
      .by_depth("all_triplets_correct", r.depths, all)
      .by_depth("resolvable_triplets_correct", r.depths, resolvable)
      .by_depth("unresolved_triplets_correct", r.depths, unresolved)
      .by_depth("proportion_unresolvable", r.depths, proportion)
      .by_depth("triplets_at_depth", r.depths, triplets)
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

// ---- bodies ----------------------------------------------------------------------
//
// Every triplet variant converts min_triplets_at_depth (argument 3) and then
// ignores it.

struct TwoTrees {
  const Tree& first;
  const Tree& second;
  explicit TwoTrees(Args& a)
      : first(a.keep(parse_tree(a.text(0), texts::kParseTree1))),
        second(a.keep(parse_tree(a.text(1), texts::kParseTree2))) {}
};

PyObject* triplets_correct(Args& a) {
  const TwoTrees t(a);
  return triplet_dict(cladorix::triplets_correct(t.first, t.second, a.u64(2), a.opt_u64(4)));
}

PyObject* triplets_correct_fast(Args& a) {
  const TwoTrees t(a);
  return triplet_dict(cladorix::triplets_correct_fast(t.first, t.second, a.u64(2), a.opt_u64(4)));
}

PyObject* triplets_correct_ultra(Args& a) {
  const TwoTrees t(a);
  return triplet_dict(cladorix::triplets_correct_ultra(t.first, t.second, a.u64(2), a.opt_u64(4)));
}

template <const PositionVariant& variant>
PyObject* pooled_triplets(Args& a) {
  const TwoTrees t(a);
  return triplet_dict(
      triplets_by_position(variant, t.first, t.second, a.u64(2), a.opt_u64(4), a.opt_u64(5)));
}

PyObject* phs_optimized(Args& a) {
  const Tree& tree = a.keep(parse_tree(a.text(0), texts::kParseTree));
  const CharacterModel model{a.opt_f64(3), a.opt_f64(4), a.i32(5), a.i32(6)};
  const PhsResult r =
      cladorix::phs_optimized(tree, std::move(a.matrix(1)), *a.states(2), model, a.opt_u64(7));
  return Dict()
      .f64("phs_score", r.phs_score)
      .u64("total_pairs", r.total_pairs)
      .f64("computation_time_ms", r.computation_time_ms)
      .str("method_used", r.method_used)
      .u64("parallel_chunks_used", r.parallel_chunks_used)
      .release();
}

// Texts this long are read side by side when the call may use two workers.
constexpr size_t kParallelParseBytes = size_t{1} << 20;

// Both trees read and compared without the interpreter lock (the texts are
// views into str objects the caller holds), side by side when large.
template <class Measure>
auto two_trees_unlocked(Args& a, Measure&& measure) {
  const ReleaseLock unlocked;
  const bool on_pool = std::min(a.text(0).size(), a.text(1).size()) >= kParallelParseBytes &&
                       effective_thread_count(std::nullopt) >= 2;
  const auto [t1, t2] = parse_two_trees(a.text(0), a.text(1), on_pool);
  return measure(t1, t2);
}

PyObject* robinson_foulds(Args& a) {
  const RfResult r =
      two_trees_unlocked(a, [](const Tree& t1, const Tree& t2) { return rf_distance(t1, t2); });
  return Dict()
      .u64("rf_distance", r.rf_distance)
      .f64("computation_time_ms", r.computation_time_ms)
      .str("method_used", texts::kRfMethod)
      .release();
}

PyObject* robinson_foulds_normalized(Args& a) {
  const RfNormalizedResult r = two_trees_unlocked(
      a, [](const Tree& t1, const Tree& t2) { return rf_distance_normalized(t1, t2); });
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

PyObject* parsimony_score(Args& a) {
  const Tree& tree = a.keep(parse_tree(a.text(0), texts::kParseTree));
  const ParsimonyResult r = parsimony(tree, a.matrix(1), a.states(2), a.i32(3), a.i32(4));
  return Dict()
      .u64("parsimony_score", r.parsimony_score)
      .u64("total_mutations", r.total_mutations)
      .f64("computation_time_ms", r.computation_time_ms)
      .str("method_used", r.method_used)
      .boolean("internal_states_inferred", r.internal_states_inferred)
      .release();
}

PyObject* parsimony_p_value(Args& a) {
  const Tree& tree = a.keep(parse_tree(a.text(0), texts::kParseTree));
  const CharacterModel model{a.opt_f64(3), std::nullopt, a.i32(4), a.i32(5)};
  const ParsimonyPValueResult r =
      cladorix::parsimony_p_value(tree, a.matrix(1), a.states(2), model);
  return Dict()
      .f64("p_value", r.p_value)
      .u64("parsimony_score", r.parsimony_score)
      .f64("computation_time_ms", r.computation_time_ms)
      .str("method_used", r.method_used)
      .release();
}

PyObject* likelihood_score(Args& a) {
  const Tree& tree = a.keep(parse_tree(a.text(0), texts::kParseTree));
  const CharacterModel model{a.opt_f64(3), a.opt_f64(4), a.i32(5), a.i32(6)};
  const LikelihoodResult r = likelihood(tree, a.matrix(1), a.states(2), model);
  return Dict()
      .f64("log_likelihood", r.log_likelihood)
      .f64("likelihood", r.likelihood)
      .f64("computation_time_ms", r.computation_time_ms)
      .str("method_used", r.method_used)
      .u64("n_characters", r.n_characters)
      .u64("n_leaves", r.n_leaves)
      .release();
}

PyObject* likelihood_distance(Args& a) {
  const Tree& reconstructed = a.keep(parse_tree(a.text(0), texts::kParseReconstructed));
  const Tree& ground_truth = a.keep(parse_tree(a.text(1), texts::kParseGroundTruth));
  const CharacterModel model{a.opt_f64(5), a.opt_f64(6), a.i32(7), a.i32(8)};
  const LikelihoodDistanceResult r = cladorix::likelihood_distance(
      reconstructed, ground_truth, a.matrix(2), a.states(3), a.states(4), model);
  return Dict().f64("likelihood_distance", r.likelihood_distance).release();
}

// ---- beyond the measures ------------------------------------------------------

PyObject* triplets_correct_exact(Args& a) {
  ExactTripletResult r;
  {
    // The texts are views into str objects the caller holds; nothing from
    // here to the dict touches Python.
    const ReleaseLock unlocked;
    const bool on_pool = std::min(a.text(0).size(), a.text(1).size()) >= kParallelParseBytes &&
                         effective_thread_count(a.opt_u64(2)) >= 2;
    const auto [t1, t2] = parse_two_trees(a.text(0), a.text(1), on_pool);
    r = cladorix::triplets_correct_exact(t1, t2, a.opt_u64(2));
  }
  return exact_triplet_dict(r);
}

PyObject* leaf_names(Args& a) {
  const Tree& tree = a.keep(parse_tree(a.text(0), texts::kParseTree));
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

}  // namespace

// ---- the functions ---------------------------------------------------------------

constinit const Function kTripletsCorrect{{"triplets_correct", kSampledParams1000, 2},
                                          triplets_correct};
constinit const Function kTripletsCorrectFast{{"triplets_correct_fast", kSampledParams1000, 2},
                                              triplets_correct_fast};
constinit const Function kTripletsCorrectUltra{{"triplets_correct_ultra", kSampledParams5000, 2},
                                               triplets_correct_ultra};
constinit const Function kTripletsCorrectParallel{{"triplets_correct_parallel", kPooledParams, 2},
                                                  pooled_triplets<kParallelVariant>};
constinit const Function kTripletsCorrectOptimized{{"triplets_correct_optimized", kPooledParams, 2},
                                                   pooled_triplets<kOptimizedVariant>};
constinit const Function kPhsOptimized{{"phs_optimized", kPhsParams, 3}, phs_optimized};
constinit const Function kRobinsonFoulds{{"robinson_foulds_distance", kTwoTreeParams, 2},
                                         robinson_foulds};
constinit const Function kRobinsonFouldsNormalized{
    {"robinson_foulds_distance_normalized", kTwoTreeParams, 2}, robinson_foulds_normalized};
constinit const Function kParsimonyScore{{"parsimony_score", kParsimonyParams, 2}, parsimony_score};
constinit const Function kParsimonyPValue{{"parsimony_p_value", kPValueParams, 2},
                                          parsimony_p_value};
constinit const Function kLikelihoodScore{{"likelihood_score", kLikelihoodParams, 2},
                                          likelihood_score};
constinit const Function kLikelihoodDistance{{"likelihood_distance", kLikelihoodDistanceParams, 3},
                                             likelihood_distance};
constinit const Function kTripletsCorrectExact{{"triplets_correct_exact", kExactParams, 2},
                                               triplets_correct_exact};
constinit const Function kLeafNames{{"leaf_names", kLeafNamesParams, 1}, leaf_names};

}  // namespace cladorix::py
