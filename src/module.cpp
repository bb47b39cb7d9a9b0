// The module root: PyInit_cladorix and the registration order of the Python
// functions (also the order of __all__). Each function is declared once, with
// its name, signature and docstring, beside its body in binding/.
#include <iterator>
#include <string>

#include "binding/exceptions.hpp"
#include "binding/functions.hpp"
#include "binding/py.hpp"
#include "binding/signals.hpp"
#include "binding/texts.hpp"
#include "binding/tree_files.hpp"

namespace cladorix::py {
namespace {

// ---- registration ------------------------------------------------------------

// Registration order, which is also the order of __all__: the twelve
// original functions, then those added since.
const FunctionDef* const kRegistered[] = {
    &kTripletsCorrect,
    &kTripletsCorrectFast,
    &kTripletsCorrectUltra,
    &kTripletsCorrectParallel,
    &kTripletsCorrectOptimized,
    &kPhsOptimized,
    &kRobinsonFoulds,
    &kRobinsonFouldsNormalized,
    &kParsimonyScore,
    &kParsimonyPValue,
    &kLikelihoodScore,
    &kLikelihoodDistance,
    &kTripletsCorrectExact,
    &kLeafNames,
    &kCompareToReference,
    &kCompareAllPairs,
    &kCutEvents,
    &kReadTrees,
    &kIterTrees,
    &kReadTree,
};
// Module attributes that are no part of the API, kept out of __all__.
const FunctionDef* const kHidden[] = {&kComparePairs};
constexpr size_t kListed = std::size(kRegistered);
constexpr size_t kCount = kListed + std::size(kHidden);

// The method records and their docs live for the process: each function
// object points at its record.
PyMethodDef g_methods[kCount];
std::string g_docs[kCount];

// Also checks every parameter list (required parameters first, keyword-only
// ones last), so that a malformed declaration fails the import.
bool fill_methods() {
  for (size_t i = 0; i < kCount; ++i) {
    const FunctionDef& def = i < kListed ? *kRegistered[i] : *kHidden[i - kListed];
    if (!guarded(false, [&] {
          def.layout();
          g_docs[i] = def.doc();
          return Py_None;
        }))
      return false;
    g_methods[i] = {def.name,
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(def.entry)),
                    METH_FASTCALL | METH_KEYWORDS, g_docs[i].c_str()};
  }
  return true;
}

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    msg::kModuleName,
    msg::kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module, once created, lives for the process; a second initialisation fails.
PyObject* g_module = nullptr;

// Sets the function as a module attribute and, when listed, appends its
// name to __all__ (created on first use).
bool add_function(PyObject* module, PyMethodDef* def, bool listed) {
  Ref modname(PyUnicode_FromString(msg::kModuleName));
  if (!modname) return false;
  Ref fn(PyCFunction_NewEx(def, module, modname.get()));
  if (!fn) return false;
  if (!listed) return PyObject_SetAttrString(module, def->ml_name, fn.get()) == 0;
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
    PyErr_SetString(PyExc_ImportError, msg::kSecondInit);
    return nullptr;
  }
  Ref module(PyModule_Create2(&kModule, 1013));
  if (!module) return nullptr;
  if (!fill_methods()) return nullptr;
  for (size_t i = 0; i < kCount; ++i)
    if (!add_function(module.get(), &g_methods[i], i < kListed)) return nullptr;
  if (!add_panic_restorer(module.get())) return nullptr;
  record_main_thread();
  g_module = Ref::borrow(module.get()).release();
  return module.release();
}
