#include "binding/args.hpp"

#include <algorithm>
#include <climits>
#include <string>

#include "binding/matrix_buffer.hpp"
#include "binding/signals.hpp"
#include "util/texts.hpp"

namespace cladorix::py {
namespace {

// Items reserved ahead on the strength of a __len__ alone.
constexpr size_t kTrustedHint = 4096;

// ---- messages --------------------------------------------------------------

std::string type_name(PyObject* obj) {
  PyObject* q = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  std::string out = texts::kUnknownTypeName;
  if (q && PyUnicode_Check(q)) {
    Py_ssize_t len = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(q, &len)) out.assign(s, static_cast<size_t>(len));
  }
  Py_XDECREF(q);
  if (PyErr_Occurred()) PyErr_Clear();
  return out;
}

[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target) {
  std::string name = type_name(obj);
  PyErr_Format(PyExc_TypeError, texts::kCannotConvert, name.c_str(), target);
  throw_error_set();
}

// A conversion that failed with exactly TypeError is reported as
// "argument '<name>': <message>", keeping the original's __cause__ only.
void rewrap_type_error(const char* param) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc);
    return;
  }
  PyObject* value = exc;
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (!value || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(type, value, tb);
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(tb);
#endif
  PyObject* text = PyObject_Str(value);
  PyObject* replacement = nullptr;
  if (text) {
    PyObject* msg = PyUnicode_FromFormat(texts::kArgumentPrefix, param, text);
    Py_DECREF(text);
    if (msg) {
      replacement = PyObject_CallOneArg(PyExc_TypeError, msg);
      Py_DECREF(msg);
    }
  }
  if (replacement) {
    PyException_SetCause(replacement, PyException_GetCause(value));
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(replacement);
#else
    Py_INCREF(PyExc_TypeError);
    PyErr_Restore(PyExc_TypeError, replacement, nullptr);
#endif
  }
  Py_DECREF(value);  // without a replacement, the failure to build it is the error now
}

// ---- conversions -----------------------------------------------------------

std::string_view to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, texts::kTargetString);
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s) throw_error_set();
  return std::string_view(s, static_cast<size_t>(len));
}

// Integers go through __index__ unless they already are ints.
Ref as_index(PyObject* obj) {
  if (PyLong_Check(obj)) return Ref::borrow(obj);
  return check(PyNumber_Index(obj));
}

uint64_t to_u64(PyObject* obj) {
  Ref num = as_index(obj);
  unsigned long long v = PyLong_AsUnsignedLongLong(num.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
  return v;
}

double to_f64(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw_error_set();
  return v;
}

// Calls f(item) for every element taken by iteration. Exact lists and tuples
// are read by index with the size re-read each step, which is exactly what
// their iterators do. One poll counts the items of a whole argument: a matrix
// of short rows, or a dict of short lists, reaches its stride as surely as
// one long sequence.
// Lists and tuples tick once per block of items: f calls into the
// interpreter, so a tick per item would update the poll in memory on every
// element.
template <class F>
void for_each_item(PyObject* seq, SignalPoll& poll, F&& f) {
  constexpr Py_ssize_t kBlock = 256;
  if (PyList_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq);) {
      const Py_ssize_t first = i;
      for (; i < PyList_GET_SIZE(seq) && i - first < kBlock; ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(seq, i));
        f(item.get());
      }
      poll.tick(static_cast<uint64_t>(i - first));
    }
    return;
  }
  if (PyTuple_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq);) {
      const Py_ssize_t first = i;
      for (; i < PyTuple_GET_SIZE(seq) && i - first < kBlock; ++i) f(PyTuple_GET_ITEM(seq, i));
      poll.tick(static_cast<uint64_t>(i - first));
    }
    return;
  }
  Ref it = check(PyObject_GetIter(seq));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    f(item.get());
    poll.tick();
  }
  if (PyErr_Occurred()) throw_error_set();
}

// The outer checks of every sequence argument: str refused, then the
// interpreter's sequence check; the length is only a size hint. A hint is
// trusted only as far as it cannot cost much: a sequence may claim far more
// items than it yields, so beyond kTrustedHint the storage grows with the
// items actually delivered. Exact lists and tuples report their true size.
size_t sequence_hint(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, texts::kStrToVec);
    throw_error_set();
  }
  if (!PySequence_Check(obj)) raise_cannot_convert(obj, texts::kTargetSequence);
  if (PyList_CheckExact(obj)) return static_cast<size_t>(PyList_GET_SIZE(obj));
  if (PyTuple_CheckExact(obj)) return static_cast<size_t>(PyTuple_GET_SIZE(obj));
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<size_t>(n), kTrustedHint);
}

std::vector<int32_t> to_i32_vec(PyObject* obj, SignalPoll& poll) {
  std::vector<int32_t> out;
  out.reserve(sequence_hint(obj));
  for_each_item(obj, poll, [&](PyObject* item) { out.push_back(to_i32(item)); });
  return out;
}

// The conversion by iteration, row by row, except that rows of an exact list or
// tuple that are 1-D integer arrays are read from their buffers.
CharacterMatrix matrix_by_iteration(PyObject* obj) {
  CharacterMatrix out;
  out.reserve(sequence_hint(obj));
  const bool rows_may_be_arrays = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
  SignalPoll poll;  // rows read from buffers count here too, item by item
  for_each_item(obj, poll, [&](PyObject* row) {
    std::vector<int32_t> states;
    const bool plain = PyList_CheckExact(row) || PyTuple_CheckExact(row);
    if (rows_may_be_arrays && !plain && row_from_buffer(row, states)) {
      poll.tick(states.size());
    } else {
      states = to_i32_vec(row, poll);
    }
    out.push_back(std::move(states));
  });
  return out;
}

// Integer arrays are read straight from their buffers; everything else is
// iterated. A TypeError from iterating may still be rescued by __array__
// (see matrix_from_array_method).
CharacterMatrix to_matrix(PyObject* obj) {
  CharacterMatrix out;
  if (matrix_from_buffer(obj, out)) return out;
  try {
    return matrix_by_iteration(obj);
  } catch (const ErrorAlreadySet&) {
    if (matrix_from_array_method(obj, out)) return out;
    throw;
  }
}

InternalStates to_states(PyObject* obj) {
  if (!PyDict_Check(obj)) raise_cannot_convert(obj, texts::kTargetDict);
  InternalStates out;
  out.reserve(static_cast<size_t>(PyDict_Size(obj)));
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  const Py_ssize_t size = PyDict_Size(obj);
  SignalPoll poll;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    Ref k = Ref::borrow(key), v = Ref::borrow(value);
    std::string_view name = to_text(k.get());
    std::vector<int32_t> states = to_i32_vec(v.get(), poll);
    poll.tick();
    // Element conversion can run Python code; never walk a dict that changed.
    if (PyDict_Size(obj) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      throw_error_set();
    }
    out.insert_or_assign(std::string(name), std::move(states));
  }
  return out;
}

// ---- binding ---------------------------------------------------------------

[[noreturn]] void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.params.size())
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                 sig.function, sig.params.size(), given, verb);
  else
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given", sig.function,
                 sig.required, sig.params.size(), given, verb);
  throw_error_set();
}

[[noreturn]] void raise_missing(const Signature& sig, const std::vector<const char*>& missing) {
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) list += ",";
      list += i + 1 == missing.size() ? " and " : " ";
    }
    list += "'";
    list += missing[i];
    list += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", sig.function,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
  throw_error_set();
}

}  // namespace

int32_t to_i32(PyObject* obj) {
  long long v;
  if (PyLong_CheckExact(obj)) {
    v = PyLong_AsLongLong(obj);
  } else {
    Ref num = as_index(obj);
    v = PyLong_AsLongLong(num.get());
  }
  if (v == -1 && PyErr_Occurred()) throw_error_set();
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, texts::kI32Overflow);
    throw_error_set();
  }
  return static_cast<int32_t>(v);
}

void Args::release() {
  SignalPoll poll;
  for (auto& value : values_) {
    if (auto* rows = std::get_if<CharacterMatrix>(&value)) {
      // In allocation order, as the vector's own destructor frees them.
      for (std::vector<int32_t>& row : *rows) {
        poll.tick(1 + row.size() / 64);
        std::vector<int32_t>().swap(row);
      }
      CharacterMatrix().swap(*rows);
    } else if (auto* states = std::get_if<InternalStates>(&value)) {
      for (auto it = states->begin(); it != states->end();) {
        poll.tick(1 + it->second.size() / 64);
        it = states->erase(it);
      }
    }
  }
  for (Tree& tree : trees_) tree.release_polled();
  trees_.clear();
}

Args bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  const size_t nparams = sig.params.size();
  std::vector<PyObject*> slots(nparams, nullptr);  // borrowed

  if (static_cast<size_t>(nargs) > nparams) raise_too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    size_t found = nparams;
    for (size_t p = 0; p < nparams; ++p) {
      if (PyUnicode_CompareWithASCIIString(name, sig.params[p].name) == 0) {
        found = p;
        break;
      }
    }
    if (found == nparams) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function,
                   name);
      throw_error_set();
    }
    if (slots[found]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.function,
                   name);
      throw_error_set();
    }
    slots[found] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (size_t p = 0; p < sig.required; ++p)
    if (!slots[p]) missing.push_back(sig.params[p].name);
  if (!missing.empty()) raise_missing(sig, missing);

  Args out;
  out.values_.resize(nparams);
  for (size_t p = 0; p < nparams; ++p) {
    const Param& param = sig.params[p];
    PyObject* obj = slots[p];
    auto& value = out.values_[p];
    try {
      switch (param.kind) {
        case Kind::Text:
          value = to_text(obj);
          break;
        case Kind::U64:
          value = obj ? to_u64(obj) : static_cast<uint64_t>(param.default_value);
          break;
        case Kind::OptU64:
          if (obj && obj != Py_None) value = to_u64(obj);
          break;
        case Kind::OptF64:
          if (obj && obj != Py_None) value = to_f64(obj);
          break;
        case Kind::I32:
          value = obj ? to_i32(obj) : static_cast<int32_t>(param.default_value);
          break;
        case Kind::Matrix:
          value = to_matrix(obj);
          break;
        case Kind::OptStates:
          if (obj && obj != Py_None) value = to_states(obj);
          break;
        case Kind::States:
          value = to_states(obj);
          break;
      }
    } catch (const ErrorAlreadySet&) {
      rewrap_type_error(param.name);
      throw;
    }
  }
  return out;
}

}  // namespace cladorix::py
