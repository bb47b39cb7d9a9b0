// Argument binding and conversion. Which conversion a parameter gets follows
// from the type of its field (see declare.hpp):
//   std::string_view                     str, as UTF-8 (the str outlives the call)
//   uint64_t, int32_t                    integers (ints directly, else __index__)
//   std::optional<uint64_t>, <double>    None or a number
//   bool                                 True or False
//   CharacterMatrix                      sequence of sequences of integers, or a 2-D table
//   InternalStates, optional<...>        dict str -> sequence of integers (or None)
//   Names, std::optional<Names>          sequence of str (or None)
//   Object                               any object, borrowed for the call
//   MatrixRows                           a matrix, read in place where it can be
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py.hpp"
#include "binding/signals.hpp"
#include "measures/characters/character_states.hpp"
#include "measures/characters/cut_events.hpp"

namespace cladorix::py {

// Any argument the body converts itself; nullptr when absent.
struct Object {
  PyObject* obj = nullptr;
  bool is_none() const noexcept { return !obj || obj == Py_None; }
};

using Names = std::vector<std::string>;

// A character matrix as a table of row pointers: a 2-D numpy array of native
// 32-bit integers with contiguous rows is read in place (its buffer held for
// the call), anything else converted as every matrix argument is.
class MatrixRows {
 public:
  // The rows; CallerError when converted rows differ in length.
  const RowTable& table();
  CharacterMatrix& owned() noexcept { return owned_; }

 private:
  friend void convert(PyObject* obj, MatrixRows& out);
  std::shared_ptr<const Py_buffer> held_;
  CharacterMatrix owned_;
  std::optional<RowTable> table_;
};

// The binding-relevant part of a parameter list.
struct Layout {
  struct Entry {
    const char* name;
    bool required;
    bool keyword_only;
  };
  const char* function = "";
  std::vector<Entry> params;
  size_t required = 0;    // leading parameters without a default
  size_t positional = 0;  // parameters that may be given by position

  // Derives the counts; required parameters must lead and keyword-only ones
  // must trail.
  void finish();
};

// Binds fast-call arguments to the layout's parameters: one borrowed object
// per parameter, nullptr where absent. Throws ErrorAlreadySet with a
// TypeError in CPython's wording for too many positional arguments, unknown
// or repeated keywords and missing required arguments.
std::vector<PyObject*> bind_slots(const Layout& layout, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

// A conversion that failed with exactly TypeError is reported as
// "argument '<name>': <message>", keeping the original's __cause__ only.
void rewrap_type_error(const char* param);

// One conversion per field type; each throws ErrorAlreadySet with the
// interpreter's or the documented exception set.
void convert(PyObject* obj, std::string_view& out);
void convert(PyObject* obj, uint64_t& out);
void convert(PyObject* obj, int32_t& out);
void convert(PyObject* obj, bool& out);
void convert(PyObject* obj, std::optional<uint64_t>& out);
void convert(PyObject* obj, std::optional<double>& out);
void convert(PyObject* obj, CharacterMatrix& out);
void convert(PyObject* obj, InternalStates& out);
void convert(PyObject* obj, std::optional<InternalStates>& out);
void convert(PyObject* obj, Names& out);
void convert(PyObject* obj, std::optional<Names>& out);
inline void convert(PyObject* obj, Object& out) { out.obj = obj; }
void convert(PyObject* obj, MatrixRows& out);

// One Python integer as a signed 32-bit value, as every I32 argument and
// every matrix or state element is converted. Throws ErrorAlreadySet: the
// interpreter's TypeError or OverflowError, or OverflowError "out of range
// integral type conversion attempted" outside -2^31..2^31-1.
int32_t to_i32(PyObject* obj);

// A str as a UTF-8 view into it; TypeError "'T' object cannot be converted
// to 'PyString'" for anything else.
std::string_view to_text(PyObject* obj);

// Frees what may be large, polling between pieces; nothing for the rest.
void release_polled(CharacterMatrix& rows, SignalPoll& poll);
void release_polled(InternalStates& states, SignalPoll& poll);
void release_polled(std::optional<InternalStates>& states, SignalPoll& poll);
void release_polled(MatrixRows& rows, SignalPoll& poll);
template <class T>
void release_polled(T&, SignalPoll&) {}

}  // namespace cladorix::py
