#include "binding/matrix_buffer.hpp"

#include <bit>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "binding/args.hpp"
#include "binding/signals.hpp"
#include "util/errors.hpp"

namespace cladorix::py {
namespace {

// ---- which objects ---------------------------------------------------------

bool is_ndarray(const PyTypeObject* t) { return std::strcmp(t->tp_name, "numpy.ndarray") == 0; }

// numpy.memmap overrides indexing only to change the type of what it returns.
bool is_memmap(PyTypeObject* t) {
  if (!t->tp_base || !is_ndarray(t->tp_base) || std::strcmp(t->tp_name, "memmap") != 0)
    return false;
  PyObject* module = t->tp_dict ? PyDict_GetItemString(t->tp_dict, "__module__") : nullptr;
  return module && PyUnicode_Check(module) &&
         PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
}

// Types whose iteration yields exactly the elements of their buffer, as
// Python ints or as numpy integer scalars that convert to the same ints.
bool iterates_as_buffer(PyObject* obj, bool row) {
  PyTypeObject* t = Py_TYPE(obj);
  if (t == &PyMemoryView_Type || is_ndarray(t) || is_memmap(t)) return true;
  return row && std::strcmp(t->tp_name, "array.array") == 0;
}

// ---- the buffer ------------------------------------------------------------

enum class Elem { I8, U8, I16, U16, I32, U32, I64, U64 };

// A single integer code of the struct syntax with an optional byte-order
// prefix: '@' (or none) for native sizes, '=', '<', '>' and '!' for standard
// ones. The item size must agree, and the bytes must be in the host's order
// (arrays in the other order are rare enough to be iterated instead).
// Anything else (floats, '?', 'c', repeat counts, structures) is no integer
// format.
std::optional<Elem> integer_format(const char* f, Py_ssize_t itemsize) {
  if (!f) f = "B";  // an exporter that gives no format has unsigned bytes
  constexpr bool kHostBig = std::endian::native == std::endian::big;
  bool native = true;
  bool big = kHostBig;
  switch (*f) {
    case '@':
      ++f;
      break;
    case '=':
      native = false;
      ++f;
      break;
    case '<':
      native = false;
      big = false;
      ++f;
      break;
    case '>':
    case '!':
      native = false;
      big = true;
      ++f;
      break;
    default:
      break;
  }
  if (f[0] == '\0' || f[1] != '\0') return std::nullopt;
  const bool is_signed = f[0] >= 'a';
  size_t size = 0;
  switch (f[0]) {
    case 'b':
    case 'B':
      size = 1;
      break;
    case 'h':
    case 'H':
      size = native ? sizeof(short) : 2;
      break;
    case 'i':
    case 'I':
      size = native ? sizeof(int) : 4;
      break;
    case 'l':
    case 'L':
      size = native ? sizeof(long) : 4;
      break;
    case 'q':
    case 'Q':
      size = native ? sizeof(long long) : 8;
      break;
    case 'n':
    case 'N':
      if (!native) return std::nullopt;
      size = sizeof(Py_ssize_t);
      break;
    default:
      return std::nullopt;
  }
  if (itemsize < 0 || static_cast<size_t>(itemsize) != size) return std::nullopt;
  if (size > 1 && big != kHostBig) return std::nullopt;
  switch (size) {
    case 1:
      return is_signed ? Elem::I8 : Elem::U8;
    case 2:
      return is_signed ? Elem::I16 : Elem::U16;
    case 4:
      return is_signed ? Elem::I32 : Elem::U32;
    case 8:
      return is_signed ? Elem::I64 : Elem::U64;
    default:
      return std::nullopt;
  }
}

// A buffer held for one read, released on every way out.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Asks for a strided buffer with its format. False, with the exporter's
  // error cleared, when it refuses (numpy does for datetimes, for instance).
  bool acquire(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Acquires the integer buffer of `obj` with `ndim` dimensions and no
// suboffsets, or says no.
bool acquire_integer(PyObject* obj, int ndim, bool row, Buffer& buf, Elem& format) {
  if (!iterates_as_buffer(obj, row) || !buf.acquire(obj)) return false;
  const Py_buffer& v = buf.view();
  if (v.ndim != ndim || v.suboffsets || !v.shape) return false;
  const std::optional<Elem> f = integer_format(v.format, v.itemsize);
  if (!f) return false;
  // A memoryview iterates (and lists) only formats in native sizes.
  if (Py_TYPE(obj) == &PyMemoryView_Type && v.format && std::strchr("=<>!", v.format[0]))
    return false;
  format = *f;
  return true;
}

// ---- reading ---------------------------------------------------------------

template <class T>
T load(const char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
constexpr bool kMayLeaveI32 = sizeof(T) > 4 || (sizeof(T) == 4 && std::is_unsigned_v<T>);

// Non-zero when v is outside the signed 32-bit range; a shift rather than
// comparisons, so that the loops below can OR it up in vector registers.
template <class T>
uint64_t outside_bits(T v) noexcept {
  if constexpr (!kMayLeaveI32<T>)
    return 0;
  else if constexpr (std::is_signed_v<T>)
    return (static_cast<uint64_t>(v) + uint64_t{0x80000000}) >> 32;
  else
    return static_cast<uint64_t>(v) >> 31;
}

template <class T>
bool outside_i32(T v) noexcept {
  return outside_bits(v) != 0;
}

// Raises what the element conversion raises for the first element of the
// row outside the 32-bit range, given as the Python int iteration yields;
// returns when there is none.
template <class T>
void raise_first_outside(const char* p, Py_ssize_t stride, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    const T v = load<T>(p + i * stride);
    if (!outside_i32(v)) continue;
    Ref value = check(std::is_signed_v<T>
                          ? PyLong_FromLongLong(static_cast<long long>(v))
                          : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
    to_i32(value.get());  // throws
    fail("a matrix element outside the 32-bit range converted without error");
  }
}

template <class T>
void read_row(const char* p, Py_ssize_t stride, Py_ssize_t n, std::vector<int32_t>& row) {
  if constexpr (std::is_same_v<T, int32_t>) {
    if (stride == static_cast<Py_ssize_t>(sizeof(T)) &&
        reinterpret_cast<uintptr_t>(p) % alignof(int32_t) == 0) {
      const int32_t* first = reinterpret_cast<const int32_t*>(p);
      row.assign(first, first + n);
      return;
    }
  }
  row.resize(static_cast<size_t>(n));
  int32_t* out = row.data();
  uint64_t outside = 0;
  // Equal strides apart, but the common contiguous case gets a loop the
  // compiler can vectorise.
  if (stride == static_cast<Py_ssize_t>(sizeof(T))) {
    for (Py_ssize_t i = 0; i < n; ++i) {
      const T v = load<T>(p + i * static_cast<Py_ssize_t>(sizeof(T)));
      out[i] = static_cast<int32_t>(v);
      outside |= outside_bits(v);
    }
  } else {
    for (Py_ssize_t i = 0; i < n; ++i) {
      const T v = load<T>(p + i * stride);
      out[i] = static_cast<int32_t>(v);
      outside |= outside_bits(v);
    }
  }
  if (outside) {
    raise_first_outside<T>(p, stride, n);
    fail("a matrix row flagged outside the 32-bit range has no such element");
  }
}

// Calls fn.template operator()<T>() for the element type.
template <class F>
void with_element_type(Elem e, F&& fn) {
  switch (e) {
    case Elem::I8:
      return fn.template operator()<int8_t>();
    case Elem::U8:
      return fn.template operator()<uint8_t>();
    case Elem::I16:
      return fn.template operator()<int16_t>();
    case Elem::U16:
      return fn.template operator()<uint16_t>();
    case Elem::I32:
      return fn.template operator()<int32_t>();
    case Elem::U32:
      return fn.template operator()<uint32_t>();
    case Elem::I64:
      return fn.template operator()<int64_t>();
    case Elem::U64:
      return fn.template operator()<uint64_t>();
  }
}

}  // namespace

bool matrix_from_buffer(PyObject* obj, CharacterMatrix& out) {
  Buffer buf;
  Elem format{};
  if (!acquire_integer(obj, 2, false, buf, format)) return false;
  const Py_buffer& v = buf.view();
  const Py_ssize_t rows = v.shape[0], cols = v.shape[1];
  const Py_ssize_t row_stride = v.strides ? v.strides[0] : cols * v.itemsize;
  const Py_ssize_t col_stride = v.strides ? v.strides[1] : v.itemsize;
  const char* base = static_cast<const char*>(v.buf);
  out.clear();
  out.reserve(static_cast<size_t>(rows));
  SignalPoll poll;
  with_element_type(format, [&]<class T>() {
    for (Py_ssize_t r = 0; r < rows; ++r) {
      std::vector<int32_t> row;
      read_row<T>(base + r * row_stride, col_stride, cols, row);
      out.push_back(std::move(row));
      poll.tick(static_cast<uint64_t>(cols) + 1);
    }
  });
  return true;
}

std::shared_ptr<const Py_buffer> int32_rows_in_place(PyObject* obj) {
  auto held = std::make_shared<Buffer>();
  Elem format{};
  if (!acquire_integer(obj, 2, false, *held, format) || format != Elem::I32) return nullptr;
  const Py_buffer& v = held->view();
  const bool rows_contiguous =
      !v.strides || v.strides[1] == static_cast<Py_ssize_t>(sizeof(int32_t));
  const bool aligned =
      reinterpret_cast<uintptr_t>(v.buf) % alignof(int32_t) == 0 &&
      (!v.strides || v.strides[0] % static_cast<Py_ssize_t>(alignof(int32_t)) == 0);
  if (!rows_contiguous || !aligned) return nullptr;
  return std::shared_ptr<const Py_buffer>(held, &held->view());
}

bool row_from_buffer(PyObject* obj, std::vector<int32_t>& out) {
  Buffer buf;
  Elem format{};
  if (!acquire_integer(obj, 1, true, buf, format)) return false;
  const Py_buffer& v = buf.view();
  const Py_ssize_t stride = v.strides ? v.strides[0] : v.itemsize;
  const char* base = static_cast<const char*>(v.buf);
  with_element_type(format, [&]<class T>() { read_row<T>(base, stride, v.shape[0], out); });
  return true;
}

bool matrix_from_array_method(PyObject* obj, CharacterMatrix& out) {
  if (PyErr_Occurred() != PyExc_TypeError || PyObject_CheckBuffer(obj)) return false;
  HeldError original;
  // Looked up on the type, so that no instance __getattr__ runs.
  Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__array__"));
  Ref array;
  if (method) array = Ref(PyObject_CallOneArg(method.get(), obj));
  if (!array) {
    // An interrupt while __array__ ran stands; any other failure of this
    // second try is forgotten in favour of the original error.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    original.restore();
    return false;
  }
  // An element out of range, or an interrupt, raises here and stands.
  if (matrix_from_buffer(array.get(), out)) return true;
  original.restore();
  return false;
}

}  // namespace cladorix::py
