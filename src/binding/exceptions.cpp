#include "binding/exceptions.hpp"

#include <cstring>
#include <new>
#include <string>

#include "binding/texts.hpp"
#include "util/errors.hpp"

namespace cladorix::py {
namespace {

PyObject* g_panic_type = nullptr;

// cladorix._restore_panic_exception, set when the module is initialised.
PyObject* g_restore = nullptr;

// "pyo3_runtime" exists only in the type's name, so pickle cannot find the
// type by reference. Instances reduce to cladorix._restore_panic_exception
// instead, which an unpickling process reaches by importing cladorix (also a
// process that never imported it before). Subclasses a caller derived keep
// the default reduction to their own type.
PyObject* panic_reduce(PyObject* self, PyObject*) {
  Ref args(PyObject_GetAttrString(self, "args"));
  if (!args) return nullptr;
  PyObject* rebuild = Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(g_panic_type) && g_restore
                          ? g_restore
                          : reinterpret_cast<PyObject*>(Py_TYPE(self));
  Ref dict(PyObject_GetAttrString(self, "__dict__"));
  if (!dict) return nullptr;
  // Attributes set on the instance (notes, say) travel as state, as with
  // any exception.
  if (PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0)
    return PyTuple_Pack(3, rebuild, args.get(), dict.get());
  return PyTuple_Pack(2, rebuild, args.get());
}

PyObject* restore_panic(PyObject*, PyObject* args) {
  PyObject* type = panic_exception_type();
  if (!type) return nullptr;
  return PyObject_Call(type, args, nullptr);
}

PyMethodDef kReduceDef = {"__reduce__", panic_reduce, METH_NOARGS,
                          "Pickles through cladorix._restore_panic_exception."};
PyMethodDef kRestoreDef = {"_restore_panic_exception", restore_panic, METH_VARARGS,
                           "Rebuilds a pickled PanicException from its arguments."};

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (!type) return;  // creating the type failed; that error is set
  PyObject* text =
      PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
  if (!text) return;
  PySys_FormatStderr("cladorix: internal error: %U\n", text);
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

PyObject* panic_exception_type() {
  if (!g_panic_type) {
    Ref type(PyErr_NewExceptionWithDoc(
        msg::kPanicTypeName,
        "Raised when an internal check of cladorix fails.\n\n"
        "It derives from BaseException, like SystemExit, so that a handler for\n"
        "Exception does not hide the failure.",
        PyExc_BaseException, nullptr));
    if (!type) return nullptr;
    Ref reduce(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), &kReduceDef));
    if (!reduce || PyObject_SetAttrString(type.get(), "__reduce__", reduce.get()) < 0)
      return nullptr;
    g_panic_type = type.release();
  }
  return g_panic_type;
}

bool add_panic_restorer(PyObject* module) {
  Ref modname(PyModule_GetNameObject(module));
  if (!modname) return false;
  Ref fn(PyCFunction_NewEx(&kRestoreDef, module, modname.get()));
  if (!fn || PyObject_SetAttrString(module, kRestoreDef.ml_name, fn.get()) < 0) return false;
  g_restore = fn.release();
  return true;
}

void set_python_error_from_current_exception(bool internal_as_value_error) noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) raise_panic("an error was reported without an exception");
  } catch (const Cancelled&) {
    // The signal check that stopped the computation set the exception (a
    // KeyboardInterrupt, or whatever the signal handler raised).
    if (!PyErr_Occurred()) raise_panic("computation cancelled without an exception");
  } catch (const CallerError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const InternalError& e) {
    if (internal_as_value_error)
      PyErr_SetString(PyExc_ValueError, e.what());
    else
      raise_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    if (internal_as_value_error)
      PyErr_SetString(PyExc_ValueError, e.what());
    else
      raise_panic(e.what());
  } catch (...) {
    raise_panic("internal failure without a message");
  }
}

}  // namespace cladorix::py
