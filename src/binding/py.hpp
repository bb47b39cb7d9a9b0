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

}  // namespace cladorix::py
