// Argument binding and conversion, driven by one table per function.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "binding/py.hpp"
#include "measures/characters/character_states.hpp"
#include "tree/tree.hpp"

namespace cladorix::py {

enum class Kind {
  Text,       // str -> UTF-8 view (the str outlives the call)
  U64,        // unsigned 64-bit integer with an integer default
  OptU64,     // None or unsigned 64-bit integer
  OptF64,     // None or float
  I32,        // signed 32-bit integer with an integer default
  Matrix,     // sequence of sequences of signed 32-bit integers
  OptStates,  // None or dict str -> sequence of signed 32-bit integers
  States,     // dict str -> sequence of signed 32-bit integers (required)
};

struct Param {
  const char* name;
  Kind kind;
  int64_t default_value = 0;  // for U64 and I32 when the argument is absent
};

struct Signature {
  const char* function;
  std::span<const Param> params;
  size_t required;  // the leading parameters without a default
};

// Converted arguments, indexed like the signature's parameters.
class Args {
 public:
  std::string_view text(size_t i) const { return std::get<std::string_view>(values_[i]); }
  uint64_t u64(size_t i) const { return std::get<uint64_t>(values_[i]); }
  std::optional<uint64_t> opt_u64(size_t i) const { return optional<uint64_t>(i); }
  std::optional<double> opt_f64(size_t i) const { return optional<double>(i); }
  int32_t i32(size_t i) const { return std::get<int32_t>(values_[i]); }
  CharacterMatrix& matrix(size_t i) { return std::get<CharacterMatrix>(values_[i]); }
  // nullptr when absent.
  const InternalStates* states(size_t i) const {
    return std::holds_alternative<InternalStates>(values_[i])
               ? &std::get<InternalStates>(values_[i])
               : nullptr;
  }

  // Holds a tree parsed from the arguments until release().
  const Tree& keep(Tree&& tree) { return trees_.emplace_back(std::move(tree)); }

  // Frees the matrix rows, state lists and kept trees piece by piece,
  // looking for pending signals in between: millions of rows, or the columns
  // of trees with millions of nodes, take tens of milliseconds to free.
  // Throws ErrorAlreadySet (or Cancelled) when a signal handler raises.
  void release();

 private:
  friend Args bind_arguments(const Signature&, PyObject* const*, Py_ssize_t, PyObject*);
  template <class T>
  std::optional<T> optional(size_t i) const {
    if (std::holds_alternative<T>(values_[i])) return std::get<T>(values_[i]);
    return std::nullopt;
  }
  std::vector<std::variant<std::monostate, std::string_view, uint64_t, double, int32_t,
                           CharacterMatrix, InternalStates>>
      values_;
  std::deque<Tree> trees_;  // stable addresses as trees are added
};

// One Python integer as a signed 32-bit value, as every I32 argument and
// every matrix or state element is converted (ints directly, anything else
// through __index__). Throws ErrorAlreadySet: the interpreter's TypeError or
// OverflowError, or OverflowError "out of range integral type conversion
// attempted" outside -2^31..2^31-1.
int32_t to_i32(PyObject* obj);

// Binds fast-call arguments to the signature's parameters and converts them
// in parameter order. Throws ErrorAlreadySet with the Python exception set
// (TypeError for binding, conversion errors as described per kind).
Args bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

}  // namespace cladorix::py
