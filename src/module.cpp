// The module root: PyInit_cladorix and the method table, which gives each
// Python function its name, text signature and docstring, in registration
// order (also the order of __all__). The functions themselves are in
// binding/functions.cpp.
#include "binding/exceptions.hpp"
#include "binding/functions.hpp"
#include "binding/py.hpp"
#include "binding/signals.hpp"
#include "util/texts.hpp"

namespace cladorix::py {
namespace {

// ---- registration ------------------------------------------------------------

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef method(const char* name, FastFunction fn, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// The name is the one the function binds its arguments under; the
// interpreter shows the part of the doc before "\n--\n\n" as the text
// signature.
#define CLADORIX_METHOD(fn, signature, doc) \
  method(fn.sig.function, &entry<fn>, signature "\n--\n\n" doc)

PyMethodDef kMethods[] = {
    CLADORIX_METHOD(kTripletsCorrect,
                    "triplets_correct(tree1_newick, tree2_newick, number_of_trials=1000, "
                    "min_triplets_at_depth=1, seed=None)",
                    "Python wrapper for triplets_correct function"),
    CLADORIX_METHOD(kTripletsCorrectFast,
                    "triplets_correct_fast(tree1_newick, tree2_newick, number_of_trials=1000, "
                    "min_triplets_at_depth=1, seed=None)",
                    "Fast Python wrapper for triplets_correct function"),
    CLADORIX_METHOD(kTripletsCorrectUltra,
                    "triplets_correct_ultra(tree1_newick, tree2_newick, number_of_trials=5000, "
                    "min_triplets_at_depth=1, seed=None)",
                    "Ultra-fast Python wrapper with automatic exhaustive/sampling selection"),
    CLADORIX_METHOD(kTripletsCorrectParallel,
                    "triplets_correct_parallel(tree1_newick, tree2_newick, number_of_trials=10000, "
                    "min_triplets_at_depth=1, seed=None, max_threads=None)",
                    "Parallel Python wrapper with rayon-based parallelization"),
    CLADORIX_METHOD(
        kTripletsCorrectOptimized,
        "triplets_correct_optimized(tree1_newick, tree2_newick, number_of_trials=10000, "
        "min_triplets_at_depth=1, seed=None, max_threads=None)",
        "Optimized Python wrapper using phylo-rs inspired techniques"),
    CLADORIX_METHOD(kPhsOptimized,
                    "phs_optimized(tree_newick, character_matrix, internal_character_states, "
                    "mutation_rate=None, collision_probability=None, missing_state=..., "
                    "unedited_state=0, max_threads=None)",
                    "Optimized PHS (Pairwise Homoplasy Score) calculation"),
    CLADORIX_METHOD(kRobinsonFoulds, "robinson_foulds_distance(tree1_newick, tree2_newick)",
                    "Python wrapper for Robinson-Foulds distance calculation"),
    CLADORIX_METHOD(kRobinsonFouldsNormalized,
                    "robinson_foulds_distance_normalized(tree1_newick, tree2_newick)",
                    "Python wrapper for normalized Robinson-Foulds distance calculation"),
    CLADORIX_METHOD(
        kParsimonyScore,
        "parsimony_score(tree_newick, character_matrix, internal_character_states=None, "
        "missing_state=..., unedited_state=0)",
        "Python wrapper for parsimony calculation"),
    CLADORIX_METHOD(
        kParsimonyPValue,
        "parsimony_p_value(tree_newick, character_matrix, internal_character_states=None, "
        "mutation_rate=None, missing_state=..., unedited_state=0)",
        "Python wrapper for parsimony p-value calculation  "),
    CLADORIX_METHOD(
        kLikelihoodScore,
        "likelihood_score(tree_newick, character_matrix, internal_character_states=None, "
        "mutation_rate=None, collision_probability=None, missing_state=..., "
        "unedited_state=0)",
        "Python wrapper for likelihood calculation"),
    CLADORIX_METHOD(kLikelihoodDistance,
                    "likelihood_distance(reconstructed_tree_newick, ground_truth_tree_newick, "
                    "character_matrix, internal_states_reconstructed=None, "
                    "internal_states_ground_truth=None, mutation_rate=None, "
                    "collision_probability=None, missing_state=..., unedited_state=0)",
                    "Python wrapper for likelihood distance calculation"),
    // Beyond the twelve: the exact measure, then helpers.
    CLADORIX_METHOD(
        kTripletsCorrectExact,
        "triplets_correct_exact(tree1_newick, tree2_newick, max_threads=None)",
        "Exact triplet agreement of two rooted trees whose leaves are matched by name.\n"
        "Counts all C(n, 3) triplets, each at the depth in tree1 (the reference) of its\n"
        "leaves' lowest common ancestor: the four ratios per depth and overall, exact counts.\n"
        "Runs without the GIL; max_threads caps the share of the worker pool (None: all)."),
    CLADORIX_METHOD(kLeafNames, "leaf_names(tree_newick)",
                    "The names of the tree's leaves (None for an unnamed leaf) in node order.\n\n"
                    "Row k of a character_matrix belongs to the k-th leaf of this list, so\n"
                    "frame.loc[leaf_names(tree)] puts a frame indexed by leaf name in row order."),
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    texts::kModuleName,
    texts::kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module, once created, lives for the process; a second initialisation fails.
PyObject* g_module = nullptr;

// Appends the function's name to __all__ (created on first use) and sets it
// as a module attribute.
bool add_function(PyObject* module, PyMethodDef* def) {
  Ref modname(PyUnicode_FromString(texts::kModuleName));
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
    PyErr_SetString(PyExc_ImportError, cladorix::texts::kSecondInit);
    return nullptr;
  }
  Ref module(PyModule_Create2(&kModule, 1013));
  if (!module) return nullptr;
  for (PyMethodDef& def : kMethods)
    if (!add_function(module.get(), &def)) return nullptr;
  if (!add_panic_restorer(module.get())) return nullptr;
  record_main_thread();
  g_module = Ref::borrow(module.get()).release();
  return module.release();
}
