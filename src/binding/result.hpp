// Building result dicts: keys in insertion order, values from plain C++.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/py.hpp"

namespace cladorix::py {

class Dict {
 public:
  Dict() : d_(check(PyDict_New())) {}

  Dict& u64(const char* key, uint64_t v) { return set(key, check(PyLong_FromUnsignedLongLong(v))); }
  Dict& f64(const char* key, double v) { return set(key, check(PyFloat_FromDouble(v))); }
  Dict& str(const char* key, std::string_view v) {
    return set(key,
               check(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()))));
  }
  Dict& boolean(const char* key, bool v) { return set(key, Ref::borrow(v ? Py_True : Py_False)); }
  // A table keyed by a count holding the single depth bin 0.
  Dict& bin0(const char* key, double v) {
    Ref inner = check(PyDict_New());
    Ref zero = check(PyLong_FromUnsignedLongLong(0));
    Ref value = check(PyFloat_FromDouble(v));
    if (PyDict_SetItem(inner.get(), zero.get(), value.get()) < 0) throw_error_set();
    return set(key, std::move(inner));
  }

  PyObject* release() noexcept { return d_.release(); }

 private:
  Dict& set(const char* key, Ref value) {
    if (PyDict_SetItemString(d_.get(), key, value.get()) < 0) throw_error_set();
    return *this;
  }
  Ref d_;
};

}  // namespace cladorix::py
