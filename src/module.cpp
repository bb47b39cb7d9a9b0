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
    &kCutEvents,
};
constexpr size_t kCount = std::size(kRegistered);

// The method records and their docs live for the process: each function
// object points at its record.
PyMethodDef g_methods[kCount];
std::string g_docs[kCount];

// Also checks every parameter list (required parameters first, keyword-only
// ones last), so that a malformed declaration fails the import.
bool fill_methods() {
  for (size_t i = 0; i < kCount; ++i) {
    const FunctionDef& def = *kRegistered[i];
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

// Appends the function's name to __all__ (created on first use) and sets it
// as a module attribute.
bool add_function(PyObject* module, PyMethodDef* def) {
  Ref modname(PyUnicode_FromString(msg::kModuleName));
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
    PyErr_SetString(PyExc_ImportError, msg::kSecondInit);
    return nullptr;
  }
  Ref module(PyModule_Create2(&kModule, 1013));
  if (!module) return nullptr;
  if (!fill_methods()) return nullptr;
  for (PyMethodDef& def : g_methods)
    if (!add_function(module.get(), &def)) return nullptr;
  if (!add_panic_restorer(module.get())) return nullptr;
  record_main_thread();
  g_module = Ref::borrow(module.get()).release();
  return module.release();
}
