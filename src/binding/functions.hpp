// The Python-facing functions, one thin wrapper each: bind and convert the
// arguments, parse the Newick texts in parameter order, call the plain C++
// measure with signals watched, build the result dict.
#pragma once

#include "binding/py.hpp"

namespace cladorix::py {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

#define CLADORIX_FUNCTION(name) \
  PyObject* name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

CLADORIX_FUNCTION(triplets_correct);
CLADORIX_FUNCTION(triplets_correct_fast);
CLADORIX_FUNCTION(triplets_correct_ultra);
CLADORIX_FUNCTION(triplets_correct_parallel);
CLADORIX_FUNCTION(triplets_correct_optimized);
CLADORIX_FUNCTION(phs_optimized);
CLADORIX_FUNCTION(robinson_foulds_distance);
CLADORIX_FUNCTION(robinson_foulds_distance_normalized);
CLADORIX_FUNCTION(parsimony_score);
CLADORIX_FUNCTION(parsimony_p_value);
CLADORIX_FUNCTION(likelihood_score);
CLADORIX_FUNCTION(likelihood_distance);
CLADORIX_FUNCTION(triplets_correct_exact);

#undef CLADORIX_FUNCTION

}  // namespace cladorix::py
