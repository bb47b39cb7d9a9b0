// Building result dicts: keys in insertion order, values from plain C++.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "binding/py.hpp"

namespace cladorix::py {

// An exact count as a Python int, also beyond 64 bits.
inline Ref int_from_u128(unsigned __int128 v) {
  const unsigned long long lo = static_cast<unsigned long long>(v);
  const unsigned long long hi = static_cast<unsigned long long>(v >> 64);
  if (hi == 0) return check(PyLong_FromUnsignedLongLong(lo));
  Ref high = check(PyLong_FromUnsignedLongLong(hi));
  Ref shift = check(PyLong_FromLong(64));
  Ref shifted = check(PyNumber_Lshift(high.get(), shift.get()));
  Ref low = check(PyLong_FromUnsignedLongLong(lo));
  return check(PyNumber_Or(shifted.get(), low.get()));
}

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

  // A list of counts, in order.
  Dict& u64_list(const char* key, std::span<const uint64_t> values) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (size_t i = 0; i < values.size(); ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      check(PyLong_FromUnsignedLongLong(values[i])).release());
    return set(key, std::move(list));
  }
  // An exact count as a Python int, also beyond 64 bits.
  Dict& u128(const char* key, unsigned __int128 v) { return set(key, int_from_u128(v)); }
  // {depth: value} in the order given (ascending depths).
  Dict& by_depth(const char* key, std::span<const uint32_t> depths,
                 std::span<const double> values) {
    Ref inner = check(PyDict_New());
    for (size_t i = 0; i < depths.size(); ++i) {
      Ref k = check(PyLong_FromUnsignedLong(depths[i]));
      Ref v = check(PyFloat_FromDouble(values[i]));
      if (PyDict_SetItem(inner.get(), k.get(), v.get()) < 0) throw_error_set();
    }
    return set(key, std::move(inner));
  }
  Dict& by_depth(const char* key, std::span<const uint32_t> depths,
                 std::span<const unsigned __int128> values) {
    Ref inner = check(PyDict_New());
    for (size_t i = 0; i < depths.size(); ++i) {
      Ref k = check(PyLong_FromUnsignedLong(depths[i]));
      Ref v = int_from_u128(values[i]);
      if (PyDict_SetItem(inner.get(), k.get(), v.get()) < 0) throw_error_set();
    }
    return set(key, std::move(inner));
  }
  // The same with the key objects made once by the caller, shared by every
  // such table of a result (a caterpillar has a million depths).
  // A value equal (bit for bit) to the one before it shares its float.
  Dict& by_depth(const char* key, std::span<const Ref> keys, std::span<const double> values) {
    Ref inner = check(PyDict_New());
    Ref v;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i == 0 || std::memcmp(&values[i], &values[i - 1], sizeof(double)) != 0)
        v = check(PyFloat_FromDouble(values[i]));
      if (PyDict_SetItem(inner.get(), keys[i].get(), v.get()) < 0) throw_error_set();
    }
    return set(key, std::move(inner));
  }
  Dict& by_depth(const char* key, std::span<const Ref> keys,
                 std::span<const unsigned __int128> values) {
    Ref inner = check(PyDict_New());
    for (size_t i = 0; i < keys.size(); ++i) {
      Ref v = int_from_u128(values[i]);
      if (PyDict_SetItem(inner.get(), keys[i].get(), v.get()) < 0) throw_error_set();
    }
    return set(key, std::move(inner));
  }
  // Nests `inner` (a temporary built in place) under key.
  Dict& dict(const char* key, Dict& inner) { return set(key, Ref(inner.release())); }

  PyObject* release() noexcept { return d_.release(); }

 private:
  Dict& set(const char* key, Ref value) {
    if (PyDict_SetItemString(d_.get(), key, value.get()) < 0) throw_error_set();
    return *this;
  }
  Ref d_;
};

}  // namespace cladorix::py
