// Minimal helpers over the CPython C API shared by the binding files.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

namespace cladorix::py {

// Thrown after a Python exception has been set; the boundary returns NULL.
struct ErrorAlreadySet : std::exception {
  const char* what() const noexcept override { return "Python error already set"; }
};

[[noreturn]] inline void throw_error_set() { throw ErrorAlreadySet(); }

// Owned reference, released on scope exit (also when an exception unwinds).
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Checks a new reference from the C API: throws when it is NULL.
inline Ref check(PyObject* owned) {
  if (!owned) throw_error_set();
  return Ref(owned);
}

// The exception set now, held aside (and cleared) while something else is
// tried; dropped unless restored. The one place that knows how each Python
// version stores a raised exception.
class HeldError {
 public:
  HeldError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    exc_ = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &exc_, &tb);
    PyErr_NormalizeException(&type, &exc_, &tb);
    if (exc_ && tb) PyException_SetTraceback(exc_, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
#endif
  }
  HeldError(const HeldError&) = delete;
  HeldError& operator=(const HeldError&) = delete;
  ~HeldError() { Py_XDECREF(exc_); }

  // The exception instance, or nullptr when none was set.
  PyObject* get() const noexcept { return exc_; }
  void restore() noexcept { raise(std::exchange(exc_, nullptr)); }

  // Sets `exc` (an exception instance; the reference is stolen) as the
  // current exception, as it is, with no implicit chaining.
  static void raise(PyObject* exc) noexcept {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
  }

 private:
  PyObject* exc_ = nullptr;
};

}  // namespace cladorix::py
