#include "binding/args.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "binding/matrix_buffer.hpp"
#include "binding/signals.hpp"
#include "binding/texts.hpp"
#include "util/errors.hpp"

namespace cladorix::py {
namespace {

// Items reserved ahead on the strength of a __len__ alone.
constexpr size_t kTrustedHint = 4096;

// ---- messages --------------------------------------------------------------

std::string type_name(PyObject* obj) {
  PyObject* q = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  std::string out = msg::kUnknownTypeName;
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
  PyErr_Format(PyExc_TypeError, msg::kCannotConvert, name.c_str(), target);
  throw_error_set();
}

// ---- conversions -----------------------------------------------------------

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
    PyErr_SetString(PyExc_TypeError, msg::kStrToVec);
    throw_error_set();
  }
  if (!PySequence_Check(obj)) raise_cannot_convert(obj, msg::kTargetSequence);
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

// ---- 2-D tables -------------------------------------------------------------
//
// A pandas DataFrame iterates over its column labels, not its rows: a table is
// read through its values (to_numpy(), or __array__()) and never iterated.

// numpy arrays and their subclasses iterate over their rows (a masked array
// yields `masked` for a hidden value, which fails as it should).
bool is_ndarray(PyObject* obj) {
  for (PyTypeObject* t = Py_TYPE(obj); t; t = t->tp_base)
    if (std::strcmp(t->tp_name, "numpy.ndarray") == 0) return true;
  return false;
}

// Anything but a list, tuple, memoryview or numpy array with ndim == 2 and
// to_numpy or __array__: a DataFrame, a 2-D xarray.
bool is_table(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj) || PyUnicode_Check(obj) ||
      Py_TYPE(obj) == &PyMemoryView_Type || is_ndarray(obj))
    return false;
  Ref ndim(PyObject_GetAttrString(obj, "ndim"));
  if (!ndim) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    return false;
  }
  if (!PyLong_CheckExact(ndim.get()) || PyLong_AsLong(ndim.get()) != 2) {
    PyErr_Clear();
    return false;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  return PyObject_HasAttrString(obj, "to_numpy") || PyObject_HasAttrString(type, "__array__");
}

// pandas.NA, known by its type's name so that pandas need not be imported.
bool is_na(PyObject* item) {
  const char* name = Py_TYPE(item)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return std::strcmp(dot ? dot + 1 : name, "NAType") == 0;
}

// The rows of tolist(), converted as lists of ints are, except that a
// missing value of a nullable column is named by its position rather than
// failing as an object that is no integer.
CharacterMatrix matrix_from_value_rows(PyObject* rows) {
  if (!PyList_CheckExact(rows)) return matrix_by_iteration(rows);
  CharacterMatrix out;
  out.reserve(static_cast<size_t>(PyList_GET_SIZE(rows)));
  SignalPoll poll;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
    Ref row = Ref::borrow(PyList_GET_ITEM(rows, i));
    if (!PyList_CheckExact(row.get())) {
      out.push_back(to_i32_vec(row.get(), poll));
      continue;
    }
    std::vector<int32_t> states;
    states.reserve(static_cast<size_t>(PyList_GET_SIZE(row.get())));
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(row.get()); ++j) {
      PyObject* item = PyList_GET_ITEM(row.get(), j);
      if (is_na(item)) {
        PyErr_Format(PyExc_TypeError, msg::kMissingInTable, i, j);
        throw_error_set();
      }
      states.push_back(to_i32(item));
    }
    poll.tick(states.size() + 1);
    out.push_back(std::move(states));
  }
  return out;
}

// Integer values are read from their buffer; any others as their tolist()
// is, with the same results and errors.
bool matrix_from_table(PyObject* obj, CharacterMatrix& out) {
  if (!is_table(obj)) return false;
  Ref values;
  if (PyObject_HasAttrString(obj, "to_numpy")) {
    values = check(PyObject_CallMethod(obj, "to_numpy", nullptr));
  } else {
    Ref method =
        check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__array__"));
    values = check(PyObject_CallOneArg(method.get(), obj));
  }
  if (matrix_from_buffer(values.get(), out)) return true;
  Ref rows(PyObject_CallMethod(values.get(), "tolist", nullptr));
  if (!rows) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    raise_cannot_convert(obj, msg::kTargetSequence);
  }
  out = matrix_from_value_rows(rows.get());
  return true;
}

// Integer arrays are read straight from their buffers and 2-D tables
// through their values; everything else is iterated. A TypeError from
// iterating may still be rescued by __array__ (see matrix_from_array_method).
CharacterMatrix to_matrix(PyObject* obj) {
  CharacterMatrix out;
  if (matrix_from_buffer(obj, out)) return out;
  if (matrix_from_table(obj, out)) return out;
  try {
    return matrix_by_iteration(obj);
  } catch (const ErrorAlreadySet&) {
    if (matrix_from_array_method(obj, out)) return out;
    throw;
  }
}

InternalStates to_states(PyObject* obj) {
  if (!PyDict_Check(obj)) raise_cannot_convert(obj, msg::kTargetDict);
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

[[noreturn]] void raise_too_many_positional(const Layout& l, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (l.required == l.positional)
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                 l.function, l.positional, given, verb);
  else
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given", l.function,
                 l.required, l.positional, given, verb);
  throw_error_set();
}

[[noreturn]] void raise_missing(const Layout& l, const std::vector<const char*>& missing) {
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
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", l.function,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
  throw_error_set();
}

}  // namespace

std::string_view to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, msg::kTargetString);
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s) throw_error_set();
  return std::string_view(s, static_cast<size_t>(len));
}

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
    PyErr_SetString(PyExc_OverflowError, msg::kI32Overflow);
    throw_error_set();
  }
  return static_cast<int32_t>(v);
}

void rewrap_type_error(const char* param) {
  HeldError held;
  PyObject* exc = held.get();
  if (!exc || Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    held.restore();
    return;
  }
  // Without a replacement, the failure to build it is the error now.
  Ref text(PyObject_Str(exc));
  if (!text) return;
  Ref msg(PyUnicode_FromFormat(msg::kArgumentPrefix, param, text.get()));
  if (!msg) return;
  PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, msg.get());
  if (!replacement) return;
  PyException_SetCause(replacement, PyException_GetCause(exc));
  HeldError::raise(replacement);
}

void convert(PyObject* obj, std::string_view& out) { out = to_text(obj); }
void convert(PyObject* obj, uint64_t& out) { out = to_u64(obj); }
void convert(PyObject* obj, int32_t& out) { out = to_i32(obj); }
void convert(PyObject* obj, bool& out) {
  if (!PyBool_Check(obj)) raise_cannot_convert(obj, msg::kTargetBool);
  out = obj == Py_True;
}
void convert(PyObject* obj, std::optional<uint64_t>& out) {
  out = obj == Py_None ? std::nullopt : std::optional<uint64_t>(to_u64(obj));
}
void convert(PyObject* obj, std::optional<double>& out) {
  out = obj == Py_None ? std::nullopt : std::optional<double>(to_f64(obj));
}
void convert(PyObject* obj, CharacterMatrix& out) { out = to_matrix(obj); }
void convert(PyObject* obj, InternalStates& out) { out = to_states(obj); }
void convert(PyObject* obj, std::optional<InternalStates>& out) {
  if (obj == Py_None)
    out.reset();
  else
    out = to_states(obj);
}
void convert(PyObject* obj, Names& out) {
  out.clear();
  out.reserve(sequence_hint(obj));
  SignalPoll poll;
  for_each_item(obj, poll, [&](PyObject* item) { out.emplace_back(to_text(item)); });
}
void convert(PyObject* obj, std::optional<Names>& out) {
  if (obj == Py_None) {
    out.reset();
    return;
  }
  convert(obj, out.emplace());
}

void release_polled(CharacterMatrix& rows, SignalPoll& poll) {
  // In allocation order, as the vector's own destructor frees them.
  for (std::vector<int32_t>& row : rows) {
    poll.tick(1 + row.size() / 64);
    std::vector<int32_t>().swap(row);
  }
  CharacterMatrix().swap(rows);
}

void release_polled(InternalStates& states, SignalPoll& poll) {
  for (auto it = states.begin(); it != states.end();) {
    poll.tick(1 + it->second.size() / 64);
    it = states.erase(it);
  }
}

void convert(PyObject* obj, MatrixRows& out) {
  out.held_ = int32_rows_in_place(obj);
  out.table_.reset();
  if (!out.held_) out.owned_ = to_matrix(obj);
}

const RowTable& MatrixRows::table() {
  if (table_) return *table_;
  if (!held_) return table_.emplace(row_table(owned_));
  RowTable t;
  const Py_buffer& v = *held_;
  const size_t rows = static_cast<size_t>(v.shape[0]);
  const Py_ssize_t stride = v.strides ? v.strides[0] : v.shape[1] * v.itemsize;
  t.sites = static_cast<size_t>(v.shape[1]);
  t.rows.resize(rows);
  const char* base = static_cast<const char*>(v.buf);
  for (size_t r = 0; r < rows; ++r)
    t.rows[r] = reinterpret_cast<const int32_t*>(base + static_cast<Py_ssize_t>(r) * stride);
  return table_.emplace(std::move(t));
}

void release_polled(MatrixRows& rows, SignalPoll& poll) { release_polled(rows.owned(), poll); }

void release_polled(std::optional<InternalStates>& states, SignalPoll& poll) {
  if (states) release_polled(*states, poll);
}

void Layout::finish() {
  required = 0;
  positional = 0;
  bool optional_seen = false, keyword_seen = false;
  for (const Entry& e : params) {
    if (e.keyword_only) {
      if (e.required)
        fail(std::string(function) + ": a keyword-only parameter must have a default");
      keyword_seen = true;
      continue;
    }
    if (keyword_seen) fail(std::string(function) + ": keyword-only parameters must come last");
    ++positional;
    if (e.required) {
      if (optional_seen) fail(std::string(function) + ": required parameters must come first");
      ++required;
    } else {
      optional_seen = true;
    }
  }
}

std::vector<PyObject*> bind_slots(const Layout& l, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  const size_t nparams = l.params.size();
  std::vector<PyObject*> slots(nparams, nullptr);  // borrowed

  if (static_cast<size_t>(nargs) > l.positional) raise_too_many_positional(l, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    size_t found = nparams;
    for (size_t p = 0; p < nparams; ++p) {
      if (PyUnicode_CompareWithASCIIString(name, l.params[p].name) == 0) {
        found = p;
        break;
      }
    }
    if (found == nparams) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", l.function,
                   name);
      throw_error_set();
    }
    if (slots[found]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", l.function, name);
      throw_error_set();
    }
    slots[found] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (size_t p = 0; p < l.required; ++p)
    if (!slots[p]) missing.push_back(l.params[p].name);
  if (!missing.empty()) raise_missing(l, missing);
  return slots;
}

}  // namespace cladorix::py
