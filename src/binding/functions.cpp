#include "binding/functions.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/exceptions.hpp"
#include "binding/parse.hpp"
#include "binding/result.hpp"
#include "binding/signals.hpp"
#include "measures/characters/likelihood.hpp"
#include "measures/characters/parsimony.hpp"
#include "measures/phs/phs.hpp"
#include "measures/rf/rf_distance.hpp"
#include "measures/triplets/by_name.hpp"
#include "measures/triplets/by_position.hpp"
#include "measures/triplets/exact_by_name.hpp"
#include "runtime/chunk_plan.hpp"
#include "util/texts.hpp"

namespace cladorix::py {
namespace {

// ---- parameter tables --------------------------------------------------------

constexpr Param kTripletParams1000[] = {
    {"tree1_newick", Kind::Text},
    {"tree2_newick", Kind::Text},
    {"number_of_trials", Kind::U64, 1000},
    {"min_triplets_at_depth", Kind::U64, 1},
    {"seed", Kind::OptU64},
};
constexpr Param kTripletParams5000[] = {
    {"tree1_newick", Kind::Text},
    {"tree2_newick", Kind::Text},
    {"number_of_trials", Kind::U64, 5000},
    {"min_triplets_at_depth", Kind::U64, 1},
    {"seed", Kind::OptU64},
};
constexpr Param kPooledTripletParams[] = {
    {"tree1_newick", Kind::Text},
    {"tree2_newick", Kind::Text},
    {"number_of_trials", Kind::U64, 10000},
    {"min_triplets_at_depth", Kind::U64, 1},
    {"seed", Kind::OptU64},
    {"max_threads", Kind::OptU64},
};
constexpr Param kPhsParams[] = {
    {"tree_newick", Kind::Text},
    {"character_matrix", Kind::Matrix},
    {"internal_character_states", Kind::States},
    {"mutation_rate", Kind::OptF64},
    {"collision_probability", Kind::OptF64},
    {"missing_state", Kind::I32, -1},
    {"unedited_state", Kind::I32, 0},
    {"max_threads", Kind::OptU64},
};
constexpr Param kTwoTreeParams[] = {
    {"tree1_newick", Kind::Text},
    {"tree2_newick", Kind::Text},
};
constexpr Param kParsimonyParams[] = {
    {"tree_newick", Kind::Text},
    {"character_matrix", Kind::Matrix},
    {"internal_character_states", Kind::OptStates},
    {"missing_state", Kind::I32, -1},
    {"unedited_state", Kind::I32, 0},
};
constexpr Param kPValueParams[] = {
    {"tree_newick", Kind::Text},
    {"character_matrix", Kind::Matrix},
    {"internal_character_states", Kind::OptStates},
    {"mutation_rate", Kind::OptF64},
    {"missing_state", Kind::I32, -1},
    {"unedited_state", Kind::I32, 0},
};
constexpr Param kLikelihoodParams[] = {
    {"tree_newick", Kind::Text},
    {"character_matrix", Kind::Matrix},
    {"internal_character_states", Kind::OptStates},
    {"mutation_rate", Kind::OptF64},
    {"collision_probability", Kind::OptF64},
    {"missing_state", Kind::I32, -1},
    {"unedited_state", Kind::I32, 0},
};
constexpr Param kLikelihoodDistanceParams[] = {
    {"reconstructed_tree_newick", Kind::Text},
    {"ground_truth_tree_newick", Kind::Text},
    {"character_matrix", Kind::Matrix},
    {"internal_states_reconstructed", Kind::OptStates},
    {"internal_states_ground_truth", Kind::OptStates},
    {"mutation_rate", Kind::OptF64},
    {"collision_probability", Kind::OptF64},
    {"missing_state", Kind::I32, -1},
    {"unedited_state", Kind::I32, 0},
};

// Below this size a text parses in a few milliseconds: not worth waking a worker.
constexpr size_t kParallelParseBytes = size_t{1} << 20;

constexpr Param kExactTripletParams[] = {
    {"tree1_newick", Kind::Text},
    {"tree2_newick", Kind::Text},
    {"max_threads", Kind::OptU64},
};

// Every function's frame: C++ failures become Python exceptions, and
// pending signals are looked for while the computation runs.
template <class Body>
PyObject* call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    const WatchSignals watch;
    Args a = bind_arguments(sig, args, nargs, kwnames);
    return body(a);
  });
}

// The four per-bin values every triplet variant reports, then how the
// result was obtained where the variant says so. min_triplets_at_depth
// (argument 3) is converted and then ignored by every variant.
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

}  // namespace

// ---- the twelve functions ----------------------------------------------------

PyObject* triplets_correct(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"triplets_correct", kTripletParams1000, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree t1 = parse_tree(a.text(0), texts::kParseTree1);
    const Tree t2 = parse_tree(a.text(1), texts::kParseTree2);
    return triplet_dict(cladorix::triplets_correct(t1, t2, a.u64(2), a.opt_u64(4)));
  });
}

PyObject* triplets_correct_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const Signature sig{"triplets_correct_fast", kTripletParams1000, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree t1 = parse_tree(a.text(0), texts::kParseTree1);
    const Tree t2 = parse_tree(a.text(1), texts::kParseTree2);
    return triplet_dict(cladorix::triplets_correct_fast(t1, t2, a.u64(2), a.opt_u64(4)));
  });
}

PyObject* triplets_correct_ultra(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static const Signature sig{"triplets_correct_ultra", kTripletParams5000, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree t1 = parse_tree(a.text(0), texts::kParseTree1);
    const Tree t2 = parse_tree(a.text(1), texts::kParseTree2);
    return triplet_dict(cladorix::triplets_correct_ultra(t1, t2, a.u64(2), a.opt_u64(4)));
  });
}

PyObject* triplets_correct_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  static const Signature sig{"triplets_correct_parallel", kPooledTripletParams, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree t1 = parse_tree(a.text(0), texts::kParseTree1);
    const Tree t2 = parse_tree(a.text(1), texts::kParseTree2);
    return triplet_dict(
        cladorix::triplets_correct_parallel(t1, t2, a.u64(2), a.opt_u64(4), a.opt_u64(5)));
  });
}

PyObject* triplets_correct_optimized(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static const Signature sig{"triplets_correct_optimized", kPooledTripletParams, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree t1 = parse_tree(a.text(0), texts::kParseTree1);
    const Tree t2 = parse_tree(a.text(1), texts::kParseTree2);
    return triplet_dict(
        cladorix::triplets_correct_optimized(t1, t2, a.u64(2), a.opt_u64(4), a.opt_u64(5)));
  });
}

PyObject* phs_optimized(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"phs_optimized", kPhsParams, 3};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree tree = parse_tree(a.text(0), texts::kParseTree);
    const PhsResult r =
        cladorix::phs_optimized(tree, std::move(a.matrix(1)), *a.states(2), a.opt_f64(3),
                                a.opt_f64(4), a.i32(5), a.i32(6), a.opt_u64(7));
    return Dict()
        .f64("phs_score", r.phs_score)
        .u64("total_pairs", r.total_pairs)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", r.method_used)
        .u64("parallel_chunks_used", r.parallel_chunks_used)
        .release();
  });
}

PyObject* robinson_foulds_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static const Signature sig{"robinson_foulds_distance", kTwoTreeParams, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree t1 = parse_tree(a.text(0), texts::kParseTree1);
    const Tree t2 = parse_tree(a.text(1), texts::kParseTree2);
    const RfResult r = rf_distance(t1, t2);
    return Dict()
        .u64("rf_distance", r.rf_distance)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", texts::kRfMethod)
        .release();
  });
}

PyObject* robinson_foulds_distance_normalized(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  static const Signature sig{"robinson_foulds_distance_normalized", kTwoTreeParams, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree t1 = parse_tree(a.text(0), texts::kParseTree1);
    const Tree t2 = parse_tree(a.text(1), texts::kParseTree2);
    const RfNormalizedResult r = rf_distance_normalized(t1, t2);
    return Dict()
        .u64("rf_distance", r.base.rf_distance)
        .f64("normalized_rf_distance", r.normalized_rf_distance)
        .f64("computation_time_ms", r.base.computation_time_ms)
        .str("method_used", texts::kRfMethod)
        .u64("max_possible_rf", r.max_possible_rf)
        .u64("tree1_leaves", r.tree1_leaves)
        .u64("tree2_leaves", r.tree2_leaves)
        .release();
  });
}

PyObject* parsimony_score(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"parsimony_score", kParsimonyParams, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree tree = parse_tree(a.text(0), texts::kParseTree);
    const ParsimonyResult r = parsimony(tree, a.matrix(1), a.states(2), a.i32(3), a.i32(4));
    return Dict()
        .u64("parsimony_score", r.parsimony_score)
        .u64("total_mutations", r.total_mutations)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", r.method_used)
        .boolean("internal_states_inferred", r.internal_states_inferred)
        .release();
  });
}

PyObject* parsimony_p_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"parsimony_p_value", kPValueParams, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree tree = parse_tree(a.text(0), texts::kParseTree);
    const ParsimonyPValueResult r = cladorix::parsimony_p_value(tree, a.matrix(1), a.states(2),
                                                                a.opt_f64(3), a.i32(4), a.i32(5));
    return Dict()
        .f64("p_value", r.p_value)
        .u64("parsimony_score", r.parsimony_score)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", r.method_used)
        .release();
  });
}

PyObject* likelihood_score(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"likelihood_score", kLikelihoodParams, 2};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree tree = parse_tree(a.text(0), texts::kParseTree);
    const LikelihoodResult r =
        likelihood(tree, a.matrix(1), a.states(2), a.opt_f64(3), a.opt_f64(4), a.i32(5), a.i32(6));
    return Dict()
        .f64("log_likelihood", r.log_likelihood)
        .f64("likelihood", r.likelihood)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", r.method_used)
        .u64("n_characters", r.n_characters)
        .u64("n_leaves", r.n_leaves)
        .release();
  });
}

PyObject* likelihood_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static const Signature sig{"likelihood_distance", kLikelihoodDistanceParams, 3};
  return call(sig, args, nargs, kwnames, [](Args& a) {
    const Tree reconstructed = parse_tree(a.text(0), texts::kParseReconstructed);
    const Tree ground_truth = parse_tree(a.text(1), texts::kParseGroundTruth);
    const LikelihoodDistanceResult r =
        cladorix::likelihood_distance(reconstructed, ground_truth, a.matrix(2), a.states(3),
                                      a.states(4), a.opt_f64(5), a.opt_f64(6), a.i32(7), a.i32(8));
    return Dict().f64("likelihood_distance", r.likelihood_distance).release();
  });
}

// ---- beyond the twelve ---------------------------------------------------------

PyObject* triplets_correct_exact(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static const Signature sig{"triplets_correct_exact", kExactTripletParams, 2};
  return guarded([&]() -> PyObject* {
    const Args a = bind_arguments(sig, args, nargs, kwnames);
    ExactTripletResult r;
    {
      // The texts are views into str objects the caller holds; nothing from
      // here to the dict touches Python.
      const ReleaseLock unlocked;
      // Large texts are read side by side when the call may use two workers.
      const bool on_pool = std::min(a.text(0).size(), a.text(1).size()) >= kParallelParseBytes &&
                           effective_thread_count(a.opt_u64(2)) >= 2;
      const auto [t1, t2] = parse_two_trees(a.text(0), a.text(1), on_pool);
      r = cladorix::triplets_correct_exact(t1, t2, a.opt_u64(2));
    }
    return exact_triplet_dict(r);
  });
}

}  // namespace cladorix::py
