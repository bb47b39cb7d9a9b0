// The single translation of C++ failures into Python exceptions.
#pragma once

#include "binding/py.hpp"

namespace cladorix::py {

// "pyo3_runtime.PanicException": internal failures; derives from
// BaseException so that `except Exception` does not swallow them. Created on
// first use and kept for the life of the process.
PyObject* panic_exception_type();

// Adds cladorix._restore_panic_exception (kept out of __all__), through which
// pickled PanicException instances are rebuilt in any process.
bool add_panic_restorer(PyObject* module);

// Sets the Python exception for the exception being handled (call only from
// a catch block): CallerError -> ValueError, InternalError and any other
// failure -> PanicException (also reported on standard error), or ValueError
// with the same message when `internal_as_value_error`, std::bad_alloc ->
// MemoryError, ErrorAlreadySet and Cancelled -> the Python exception already
// set.
void set_python_error_from_current_exception(bool internal_as_value_error) noexcept;

// Runs `body` and converts every C++ exception into a Python one, so that no
// exception ever crosses the C API. Returns NULL with an exception set on failure.
template <class F>
PyObject* guarded(bool internal_as_value_error, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_python_error_from_current_exception(internal_as_value_error);
    return nullptr;
  }
}

}  // namespace cladorix::py
