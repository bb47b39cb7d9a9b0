#include "binding/exceptions.hpp"

#include <cstring>
#include <new>
#include <string>

#include "util/errors.hpp"
#include "util/texts.hpp"

namespace cladorix::py {
namespace {

PyObject* g_panic_type = nullptr;

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
    g_panic_type = PyErr_NewExceptionWithDoc(
        texts::kPanicTypeName,
        "Raised when an internal check of cladorix fails.\n\n"
        "It derives from BaseException, like SystemExit, so that a handler for\n"
        "Exception does not hide the failure.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void set_python_error_from_current_exception() noexcept {
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
    raise_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("internal failure without a message");
  }
}

}  // namespace cladorix::py
