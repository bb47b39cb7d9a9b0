// One declaration per Python function: a struct whose fields are the
// converted arguments, with its name, docstring, parameter list (names come
// from the fields themselves, with kinds from their types and defaults
// written beside them) and the body that reads the fields by name.
//
//   struct RobinsonFoulds : Call<RobinsonFoulds> {
//     std::string_view tree1_newick, tree2_newick;
//     static constexpr const char* name = "robinson_foulds_distance";
//     static constexpr const char* doc = "...";
//     static auto params() { return std::tuple{ARG(tree1_newick), ARG(tree2_newick)}; }
//     PyObject* run();
//   };
//
// The text signature, the required count, keyword binding and conversion
// are all derived from that one list; `define<S>()` makes what the module
// registers.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/exceptions.hpp"
#include "binding/parse.hpp"
#include "binding/py.hpp"
#include "binding/signals.hpp"
#include "tree/tree.hpp"

namespace cladorix::py {

// The default `None` of a parameter that admits None.
struct NoneDefault {};
inline constexpr NoneDefault None{};

// C is the class that declares the field: the function's struct or a base of it.
template <class C, class T>
struct Param {
  const char* name;
  T C::*field;
  bool required = true;
  bool keyword_only = false;
  T fallback{};       // the value when the argument is absent
  std::string shown;  // the default as the text signature shows it
};

// A parameter named after its field: ARG(seed, None), ARG(number_of_trials,
// 1000), ARG(missing_state, -1, "...") (shown as "..." in the signature).
// KWARG declares a keyword-only one.
#define ARG(field, ...) ::cladorix::py::param(#field, &Self::field __VA_OPT__(, ) __VA_ARGS__)
#define KWARG(field, ...) ::cladorix::py::keyword_only(ARG(field __VA_OPT__(, ) __VA_ARGS__))

// ---- defaults as the signature shows them ----------------------------------

inline std::string shown(uint64_t v) { return std::to_string(v); }
inline std::string shown(int32_t v) { return std::to_string(v); }
inline std::string shown(bool v) { return v ? "True" : "False"; }
inline std::string shown(std::string_view v) { return "'" + std::string(v) + "'"; }
inline std::string shown(const std::vector<std::string>& v) {
  std::string out = "(";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", '" : "'") + v[i] + "'";
  return out + (v.size() == 1 ? ",)" : ")");
}

template <class C, class T>
Param<C, T> param(const char* name, T C::*field) {
  return {name, field, true, false, T{}, ""};
}
template <class C, class T>
Param<C, T> param(const char* name, T C::*field, NoneDefault) {
  return {name, field, false, false, T{}, "None"};
}
template <class C, class T, class V>
Param<C, T> param(const char* name, T C::*field, V fallback) {
  T value = T(fallback);
  std::string text = shown(value);
  return {name, field, false, false, std::move(value), std::move(text)};
}
template <class C, class T, class V>
Param<C, T> param(const char* name, T C::*field, V fallback, const char* as_shown) {
  return {name, field, false, false, T(fallback), as_shown};
}
template <class C, class T>
Param<C, T> keyword_only(Param<C, T> p) {
  p.keyword_only = true;
  return p;
}

// What an internal failure becomes: the twelve original functions raise
// PanicException; every function added since raises ValueError.
enum class InternalErrors { Panic, AsValueError };

// The base of every declaration: `Self` for ARG, and the trees parsed from
// the arguments, kept until the result is built and then freed polled.
template <class S>
struct Call {
  using Self = S;
  static constexpr InternalErrors internal_errors = InternalErrors::AsValueError;

  const Tree& keep(Tree&& tree) { return kept_.emplace_back(std::move(tree)); }
  std::deque<Tree>& kept() { return kept_; }

  // Parses a Newick argument and keeps the tree; the error names the tree's
  // role (a msg::kParse* prefix).
  const Tree& parse(std::string_view text, const char* role) {
    return keep(parse_tree(text, role, S::internal_errors == InternalErrors::AsValueError));
  }

 private:
  std::deque<Tree> kept_;  // stable addresses as trees are added
};

// ---- derived from the parameter list -----------------------------------------

template <class S>
const Layout& layout() {
  static const Layout out = std::apply(
      [](const auto&... p) {
        Layout l;
        l.function = S::name;
        (l.params.push_back({p.name, p.required, p.keyword_only}), ...);
        l.finish();
        return l;
      },
      S::params());
  return out;
}

// "name(a, b=1, *, c=None)\n--\n\n" followed by the docstring: CPython shows
// the part before the separator as __text_signature__.
template <class S>
std::string doc_with_signature() {
  std::string out = std::string(S::name) + "(";
  bool first = true, keyword_section = false;
  std::apply(
      [&](const auto&... p) {
        (
            [&] {
              if (!first) out += ", ";
              first = false;
              if (p.keyword_only && !keyword_section) {
                out += "*, ";
                keyword_section = true;
              }
              out += p.name;
              if (!p.required) out += "=" + p.shown;
            }(),
            ...);
      },
      S::params());
  return out + ")\n--\n\n" + S::doc;
}

// Converts the bound slots into the fields, in parameter order; a failure
// names its parameter (see rewrap_type_error).
template <class S>
void convert_all(S& call, PyObject* const* slots) {
  size_t i = 0;
  std::apply(
      [&](const auto&... p) {
        (
            [&] {
              PyObject* obj = slots[i++];
              auto& field = call.*(p.field);
              if (!obj) {
                field = p.fallback;
                return;
              }
              try {
                convert(obj, field);
              } catch (const ErrorAlreadySet&) {
                rewrap_type_error(p.name);
                throw;
              }
            }(),
            ...);
      },
      S::params());
}

// Frees large arguments and the kept trees piece by piece, polling for
// signals: millions of rows or nodes take tens of milliseconds to free.
template <class S>
void release_polled(S& call) {
  SignalPoll poll;
  std::apply([&](const auto&... p) { (release_polled(call.*(p.field), poll), ...); }, S::params());
  for (Tree& tree : call.kept()) tree.release_polled();
  call.kept().clear();
}

// What CPython calls: binds, converts, runs the body, and turns every C++
// failure into a Python exception while pending signals are watched.
template <class S>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded(S::internal_errors == InternalErrors::AsValueError, [&]() -> PyObject* {
    const WatchSignals watch;
    std::vector<PyObject*> slots = bind_slots(layout<S>(), args, nargs, kwnames);
    S call{};
    convert_all(call, slots.data());
    Ref result(call.run());
    if (result) release_polled(call);
    return result.release();
  });
}

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// What the module registers for one function.
struct FunctionDef {
  const char* name;
  FastFunction entry;
  std::string (*doc)();       // text signature, separator, docstring
  const Layout& (*layout)();  // throws InternalError for a malformed list
};

template <class S>
constexpr FunctionDef define() {
  return {S::name, &entry<S>, &doc_with_signature<S>, &layout<S>};
}

}  // namespace cladorix::py
