// The module root: PyInit_cladorix and the twelve Python-facing functions.
//
// Every function follows the same path: bind and convert the arguments from
// its parameter table, parse its Newick texts in parameter order, call the
// plain C++ measure, and build the result dict. `guarded` turns every C++
// failure into the Python exception it stands for.
#include <array>
#include <utility>

#include "binding/args.hpp"
#include "binding/exceptions.hpp"
#include "binding/parse.hpp"
#include "binding/py.hpp"
#include "binding/result.hpp"
#include "fast_triplets.hpp"
#include "likelihood.hpp"
#include "optimized_triplets.hpp"
#include "parallel_triplets.hpp"
#include "parsimony.hpp"
#include "phs.hpp"
#include "rf_distance.hpp"
#include "triplets.hpp"
#include "ultra_fast_triplets.hpp"

namespace cladorix::py {
namespace {

// ---- parameter tables --------------------------------------------------------

constexpr Param kTripletParams1000[] = {
    {"tree1_newick", Kind::Text},          {"tree2_newick", Kind::Text},
    {"number_of_trials", Kind::U64, 1000}, {"min_triplets_at_depth", Kind::U64, 1},
    {"seed", Kind::OptU64},
};
constexpr Param kTripletParams5000[] = {
    {"tree1_newick", Kind::Text},          {"tree2_newick", Kind::Text},
    {"number_of_trials", Kind::U64, 5000}, {"min_triplets_at_depth", Kind::U64, 1},
    {"seed", Kind::OptU64},
};
constexpr Param kPooledTripletParams[] = {
    {"tree1_newick", Kind::Text},           {"tree2_newick", Kind::Text},
    {"number_of_trials", Kind::U64, 10000}, {"min_triplets_at_depth", Kind::U64, 1},
    {"seed", Kind::OptU64},                 {"max_threads", Kind::OptU64},
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

// The four per-bin values every triplet variant reports, in their key order.
Dict triplet_dict(const TripletScores& s) {
  Dict d;
  d.bin0("all_triplets_correct", s.all_triplets_correct)
      .bin0("resolvable_triplets_correct", s.resolvable_triplets_correct)
      .bin0("unresolved_triplets_correct", s.unresolved_triplets_correct)
      .bin0("proportion_unresolvable", s.proportion_unresolvable);
  return d;
}

// The pooled variants add how the result was obtained.
PyObject* pooled_triplet_dict(const PooledTripletScores& r) {
  return triplet_dict(r)
      .str("method_used", r.method_used)
      .u64("total_triplets_checked", r.total_triplets_checked)
      .u64("parallel_chunks_used", r.parallel_chunks_used)
      .release();
}

// ---- the twelve functions ----------------------------------------------------

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* triplets_correct(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"triplets_correct", kTripletParams1000, 2};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree t1 = parse_tree(a.text(0), kTree1);
    SimpleRootedTree t2 = parse_tree(a.text(1), kTree2);
    // min_triplets_at_depth (argument 3) is converted and then ignored.
    return triplet_dict(cladorix::triplets_correct(t1, t2, a.u64(2), a.opt_u64(4))).release();
  });
}

PyObject* triplets_correct_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"triplets_correct_fast", kTripletParams1000, 2};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree t1 = parse_tree(a.text(0), kTree1);
    SimpleRootedTree t2 = parse_tree(a.text(1), kTree2);
    // min_triplets_at_depth (argument 3) is converted and then ignored.
    return triplet_dict(cladorix::triplets_correct_fast(t1, t2, a.u64(2), a.opt_u64(4))).release();
  });
}

PyObject* triplets_correct_ultra(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"triplets_correct_ultra", kTripletParams5000, 2};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree t1 = parse_tree(a.text(0), kTree1);
    SimpleRootedTree t2 = parse_tree(a.text(1), kTree2);
    // min_triplets_at_depth (argument 3) is converted and then ignored.
    UltraTripletScores r = cladorix::triplets_correct_ultra(t1, t2, a.u64(2), a.opt_u64(4));
    return triplet_dict(r)
        .str("method_used", r.method_used)
        .u64("total_triplets_checked", r.total_triplets_checked)
        .release();
  });
}

PyObject* triplets_correct_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  static const Signature sig{"triplets_correct_parallel", kPooledTripletParams, 2};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree t1 = parse_tree(a.text(0), kTree1);
    SimpleRootedTree t2 = parse_tree(a.text(1), kTree2);
    // min_triplets_at_depth (argument 3) is converted and then ignored.
    return pooled_triplet_dict(
        cladorix::triplets_correct_parallel(t1, t2, a.u64(2), a.opt_u64(4), a.opt_u64(5)));
  });
}

PyObject* triplets_correct_optimized(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static const Signature sig{"triplets_correct_optimized", kPooledTripletParams, 2};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree t1 = parse_tree(a.text(0), kTree1);
    SimpleRootedTree t2 = parse_tree(a.text(1), kTree2);
    // min_triplets_at_depth (argument 3) is converted and then ignored.
    return pooled_triplet_dict(
        cladorix::triplets_correct_optimized(t1, t2, a.u64(2), a.opt_u64(4), a.opt_u64(5)));
  });
}

PyObject* phs_optimized(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"phs_optimized", kPhsParams, 3};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree tree = parse_tree(a.text(0), kTree);
    PhsResult r = cladorix::phs_optimized(tree, std::move(a.matrix(1)), *a.states(2), a.opt_f64(3),
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

PyObject* robinson_foulds_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"robinson_foulds_distance", kTwoTreeParams, 2};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree t1 = parse_tree(a.text(0), kTree1);
    SimpleRootedTree t2 = parse_tree(a.text(1), kTree2);
    RfResult r = calculate_rf_distance(t1, t2);
    return Dict()
        .u64("rf_distance", r.rf_distance)
        .f64("computation_time_ms", r.computation_time_ms)
        .str("method_used", kRfMethod)
        .release();
  });
}

PyObject* robinson_foulds_distance_normalized(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  static const Signature sig{"robinson_foulds_distance_normalized", kTwoTreeParams, 2};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree t1 = parse_tree(a.text(0), kTree1);
    SimpleRootedTree t2 = parse_tree(a.text(1), kTree2);
    RfNormalizedResult r = calculate_rf_distance_normalized(t1, t2);
    return Dict()
        .u64("rf_distance", r.base.rf_distance)
        .f64("normalized_rf_distance", r.normalized_rf_distance)
        .f64("computation_time_ms", r.base.computation_time_ms)
        .str("method_used", kRfMethod)
        .u64("max_possible_rf", r.max_possible_rf)
        .u64("tree1_leaves", r.tree1_leaves)
        .u64("tree2_leaves", r.tree2_leaves)
        .release();
  });
}

PyObject* parsimony_score(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"parsimony_score", kParsimonyParams, 2};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree tree = parse_tree(a.text(0), kTree);
    ParsimonyResult r = calculate_parsimony(tree, a.matrix(1), a.states(2), a.i32(3), a.i32(4));
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
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree tree = parse_tree(a.text(0), kTree);
    ParsimonyPValueResult r =
        cladorix::parsimony_p_value(tree, a.matrix(1), a.states(2), a.opt_f64(3), a.i32(4), a.i32(5));
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
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree tree = parse_tree(a.text(0), kTree);
    LikelihoodResult r = calculate_likelihood(tree, a.matrix(1), a.states(2), a.opt_f64(3),
                                              a.opt_f64(4), a.i32(5), a.i32(6));
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

PyObject* likelihood_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"likelihood_distance", kLikelihoodDistanceParams, 3};
  return guarded([&]() -> PyObject* {
    Args a = bind_arguments(sig, args, nargs, kwnames);
    SimpleRootedTree reconstructed = parse_tree(a.text(0), kReconstructed);
    SimpleRootedTree ground_truth = parse_tree(a.text(1), kGroundTruth);
    LikelihoodDistanceResult r = cladorix::likelihood_distance(
        reconstructed, ground_truth, a.matrix(2), a.states(3), a.states(4), a.opt_f64(5),
        a.opt_f64(6), a.i32(7), a.i32(8));
    return Dict().f64("likelihood_distance", r.likelihood_distance).release();
  });
}

// ---- registration ------------------------------------------------------------

#define CLADORIX_METHOD(fn, signature, doc) \
  PyMethodDef { #fn, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(static_cast<FastFn>(fn))), \
                METH_FASTCALL | METH_KEYWORDS, signature "\n--\n\n" doc }

PyMethodDef kMethods[] = {
    CLADORIX_METHOD(triplets_correct,
                    "triplets_correct(tree1_newick, tree2_newick, number_of_trials=1000, "
                    "min_triplets_at_depth=1, seed=None)",
                    "Python wrapper for triplets_correct function"),
    CLADORIX_METHOD(triplets_correct_fast,
                    "triplets_correct_fast(tree1_newick, tree2_newick, number_of_trials=1000, "
                    "min_triplets_at_depth=1, seed=None)",
                    "Fast Python wrapper for triplets_correct function"),
    CLADORIX_METHOD(triplets_correct_ultra,
                    "triplets_correct_ultra(tree1_newick, tree2_newick, number_of_trials=5000, "
                    "min_triplets_at_depth=1, seed=None)",
                    "Ultra-fast Python wrapper with automatic exhaustive/sampling selection"),
    CLADORIX_METHOD(triplets_correct_parallel,
                    "triplets_correct_parallel(tree1_newick, tree2_newick, number_of_trials=10000, "
                    "min_triplets_at_depth=1, seed=None, max_threads=None)",
                    "Parallel Python wrapper with rayon-based parallelization"),
    CLADORIX_METHOD(triplets_correct_optimized,
                    "triplets_correct_optimized(tree1_newick, tree2_newick, number_of_trials=10000, "
                    "min_triplets_at_depth=1, seed=None, max_threads=None)",
                    "Optimized Python wrapper using phylo-rs inspired techniques"),
    CLADORIX_METHOD(phs_optimized,
                    "phs_optimized(tree_newick, character_matrix, internal_character_states, "
                    "mutation_rate=None, collision_probability=None, missing_state=..., "
                    "unedited_state=0, max_threads=None)",
                    "Optimized PHS (Pairwise Homoplasy Score) calculation"),
    CLADORIX_METHOD(robinson_foulds_distance, "robinson_foulds_distance(tree1_newick, tree2_newick)",
                    "Python wrapper for Robinson-Foulds distance calculation"),
    CLADORIX_METHOD(robinson_foulds_distance_normalized,
                    "robinson_foulds_distance_normalized(tree1_newick, tree2_newick)",
                    "Python wrapper for normalized Robinson-Foulds distance calculation"),
    CLADORIX_METHOD(parsimony_score,
                    "parsimony_score(tree_newick, character_matrix, internal_character_states=None, "
                    "missing_state=..., unedited_state=0)",
                    "Python wrapper for parsimony calculation"),
    CLADORIX_METHOD(parsimony_p_value,
                    "parsimony_p_value(tree_newick, character_matrix, internal_character_states=None, "
                    "mutation_rate=None, missing_state=..., unedited_state=0)",
                    "Python wrapper for parsimony p-value calculation  "),
    CLADORIX_METHOD(likelihood_score,
                    "likelihood_score(tree_newick, character_matrix, internal_character_states=None, "
                    "mutation_rate=None, collision_probability=None, missing_state=..., "
                    "unedited_state=0)",
                    "Python wrapper for likelihood calculation"),
    CLADORIX_METHOD(likelihood_distance,
                    "likelihood_distance(reconstructed_tree_newick, ground_truth_tree_newick, "
                    "character_matrix, internal_states_reconstructed=None, "
                    "internal_states_ground_truth=None, mutation_rate=None, "
                    "collision_probability=None, missing_state=..., unedited_state=0)",
                    "Python wrapper for likelihood distance calculation"),
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "cladorix", "Python module definition", 0, nullptr, nullptr, nullptr, nullptr,
    nullptr,
};

// The module, once created, lives for the process; a second initialisation fails.
PyObject* g_module = nullptr;

// Appends the function's name to __all__ (created on first use) and sets it
// as a module attribute.
bool add_function(PyObject* module, PyMethodDef* def) {
  Ref modname(PyUnicode_FromString("cladorix"));
  if (!modname) return false;
  Ref fn(PyCFunction_NewEx(def, module, modname.get()));
  if (!fn) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref name(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!name) return false;
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), fn.get()) == 0;
}

}  // namespace
}  // namespace cladorix::py

PyMODINIT_FUNC PyInit_cladorix(void) {
  using namespace cladorix::py;
  if (g_module) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
                    "interpreter process");
    return nullptr;
  }
  Ref module(PyModule_Create2(&kModule, 1013));
  if (!module) return nullptr;
  for (PyMethodDef& def : kMethods)
    if (!add_function(module.get(), &def)) return nullptr;
  g_module = Ref::borrow(module.get()).release();
  return module.release();
}
