// The Python-facing functions. Each is a Function: the signature its
// arguments are bound to and a body that runs on the converted arguments
// (parse the Newick texts in parameter order, call the plain C++ measure,
// build the result dict). `entry<fn>` is what CPython calls.
#pragma once

#include "binding/args.hpp"
#include "binding/exceptions.hpp"
#include "binding/py.hpp"
#include "binding/signals.hpp"

namespace cladorix::py {

struct Function {
  Signature sig;
  PyObject* (*body)(Args& args);
};

// C++ failures become Python exceptions, and pending signals are looked for
// while the computation runs.
template <const Function& fn>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    const WatchSignals watch;
    Args a = bind_arguments(fn.sig, args, nargs, kwnames);
    Ref result(fn.body(a));
    if (result) a.release();
    return result.release();
  });
}

extern const Function kTripletsCorrect;
extern const Function kTripletsCorrectFast;
extern const Function kTripletsCorrectUltra;
extern const Function kTripletsCorrectParallel;
extern const Function kTripletsCorrectOptimized;
extern const Function kPhsOptimized;
extern const Function kRobinsonFoulds;
extern const Function kRobinsonFouldsNormalized;
extern const Function kParsimonyScore;
extern const Function kParsimonyPValue;
extern const Function kLikelihoodScore;
extern const Function kLikelihoodDistance;
extern const Function kTripletsCorrectExact;
extern const Function kLeafNames;

}  // namespace cladorix::py
