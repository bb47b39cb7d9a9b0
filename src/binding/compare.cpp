// compare_to_reference and compare_all_pairs: many trees scored in one call,
// on the worker pool without the interpreter lock, or on a caller's
// concurrent.futures executor, with a progress bar or callback. Results are
// tables as dicts of equal-length columns.
#include "measures/compare/compare.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/declare.hpp"
#include "binding/functions.hpp"
#include "binding/result.hpp"
#include "binding/texts.hpp"
#include "runtime/chunk_plan.hpp"
#include "runtime/pool.hpp"
#include "util/errors.hpp"

namespace cladorix::py {
namespace {

// ---- arguments ---------------------------------------------------------------------

// The measures a call names: a sequence of names, or one name as a str
// (measures="rf" means what it says); absent, the default of `shown`.
std::vector<CompareMeasure> measures_of(PyObject* obj, const Names& fallback) {
  Names names;
  if (!obj) {
    names = fallback;
  } else if (PyUnicode_Check(obj)) {
    names.emplace_back(to_text(obj));
  } else {
    try {
      convert(obj, names);
    } catch (const ErrorAlreadySet&) {
      rewrap_type_error("measures");
      throw;
    }
  }
  std::vector<CompareMeasure> out;
  for (const std::string& name : names) {
    const CompareMeasure m = compare_measure(name);
    if (std::find(out.begin(), out.end(), m) == out.end()) out.push_back(m);
  }
  if (out.empty()) throw CallerError("measures is empty: name at least one measure");
  return out;
}

bool coerce_errors(std::string_view errors) {
  if (errors == "coerce") return true;
  if (errors == "raise") return false;
  throw CallerError("errors must be 'raise' or 'coerce', not '" + std::string(errors) + "'");
}

void check_threads(std::optional<uint64_t> max_threads) {
  if (max_threads == uint64_t{0}) throw CallerError(msg::kNoThreads);
}

// labels as a list, or an empty Ref for None.
Ref labels_list(const Object& labels) {
  if (labels.is_none()) return Ref();
  if (PyUnicode_Check(labels.obj)) throw CallerError("labels must be a sequence, not a str");
  return check(PySequence_List(labels.obj));
}

// ---- progress ------------------------------------------------------------------------

// A tqdm bar (progress=True), a callable given (done, total), or nothing.
class Progress {
 public:
  Progress(const Object& progress, Py_ssize_t total) : total_(total) {
    if (progress.is_none() || progress.obj == Py_False) return;
    Ref total_obj = total_ < 0 ? Ref::borrow(Py_None) : check(PyLong_FromSsize_t(total_));
    if (progress.obj == Py_True) {
      Ref tqdm = check(PyImport_ImportModule("tqdm"));
      Ref cls = check(PyObject_GetAttrString(tqdm.get(), "tqdm"));
      Ref kwargs = check(PyDict_New());
      if (PyDict_SetItemString(kwargs.get(), "total", total_obj.get()) < 0) throw_error_set();
      Ref unit = check(PyUnicode_FromString(" trees"));
      if (PyDict_SetItemString(kwargs.get(), "unit", unit.get()) < 0) throw_error_set();
      Ref args = check(PyTuple_New(0));
      bar_ = check(PyObject_Call(cls.get(), args.get(), kwargs.get()));
    } else if (PyCallable_Check(progress.obj)) {
      callback_ = Ref::borrow(progress.obj);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "progress must be None, True, False or a callable taking (done, total), "
                   "not '%s'",
                   Py_TYPE(progress.obj)->tp_name);
      throw_error_set();
    }
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() {
    if (!bar_) return;
    // Closing must not hide the exception that may be on its way out.
    HeldError held;
    Ref closed(PyObject_CallMethod(bar_.get(), "close", nullptr));
    if (!closed) PyErr_Clear();
    if (held.get()) held.restore();
  }

  void advance(Py_ssize_t n) {
    done_ += n;
    if (bar_) {
      check(PyObject_CallMethod(bar_.get(), "update", "n", n));
    } else if (callback_) {
      Ref total = total_ < 0 ? Ref::borrow(Py_None) : check(PyLong_FromSsize_t(total_));
      Ref done = check(PyLong_FromSsize_t(done_));
      check(PyObject_CallFunctionObjArgs(callback_.get(), done.get(), total.get(), nullptr));
    }
  }

 private:
  Py_ssize_t total_;
  Py_ssize_t done_ = 0;
  Ref bar_, callback_;
};

// ---- tables ------------------------------------------------------------------------

// Columns in the order they are first named; every row fills each of them.
class Table {
 public:
  void put(const char* name, Ref value) {
    if (next_ == columns_.size()) {
      if (rows_ > 0) fail(std::string("column ") + name + " appears after the first row");
      columns_.push_back({name, check(PyList_New(0))});
    }
    Column& c = columns_[next_++];
    if (c.name != std::string_view(name)) fail(std::string("column order differs at ") + name);
    if (PyList_Append(c.values.get(), value.get()) < 0) throw_error_set();
  }
  void end_row() {
    next_ = 0;
    ++rows_;
  }
  // Appends the columns of another table of the same shape (a dict of lists).
  void extend(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *values = nullptr;
    size_t i = 0;
    while (PyDict_Next(dict, &pos, &key, &values)) {
      if (i == columns_.size()) {
        Ref empty = check(PyList_New(0));
        columns_.push_back({std::string(to_text(key)), std::move(empty)});
      }
      Column& c = columns_[i++];
      if (c.name != to_text(key)) fail("the tables to join differ in their columns");
      Ref joined = check(PySequence_InPlaceConcat(c.values.get(), values));
    }
  }
  Ref release() {
    Ref d = check(PyDict_New());
    for (Column& c : columns_)
      if (PyDict_SetItemString(d.get(), c.name.c_str(), c.values.get()) < 0) throw_error_set();
    return d;
  }

 private:
  struct Column {
    std::string name;
    Ref values;
  };
  std::vector<Column> columns_;
  size_t next_ = 0;
  size_t rows_ = 0;
};

Ref int_value(uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }
Ref float_value(double v) { return check(PyFloat_FromDouble(v)); }
Ref nan_value() { return float_value(std::nan("")); }

template <class T, class F>
Ref or_nan(const std::optional<T>& v, F&& make) {
  return v ? make(*v) : nan_value();
}

// The measure columns of one row, in the order the measures were named.
void put_measures(Table& t, const CompareRow& row, const CompareOptions& o, const char* only_first,
                  const char* only_second) {
  for (const CompareMeasure m : o.measures) {
    switch (m) {
      case CompareMeasure::Rf:
        t.put("rf_distance", or_nan(row.rf_distance, int_value));
        break;
      case CompareMeasure::RfNormalized:
        if (!o.wants(CompareMeasure::Rf)) t.put("rf_distance", or_nan(row.rf_distance, int_value));
        t.put("normalized_rf_distance", or_nan(row.normalized_rf_distance, float_value));
        t.put("max_possible_rf", or_nan(row.max_possible_rf, int_value));
        break;
      case CompareMeasure::TripletsExact: {
        std::optional<ExactTripletRatios> q;
        if (row.triplets) q = exact_triplet_ratios(*row.triplets);
        auto ratio = [&](double ExactTripletRatios::*f) {
          return q ? float_value((*q).*f) : nan_value();
        };
        t.put("all_triplets_correct", ratio(&ExactTripletRatios::all_triplets_correct));
        t.put("resolvable_triplets_correct",
              ratio(&ExactTripletRatios::resolvable_triplets_correct));
        t.put("unresolved_triplets_correct",
              ratio(&ExactTripletRatios::unresolved_triplets_correct));
        t.put("proportion_unresolvable", ratio(&ExactTripletRatios::proportion_unresolvable));
        t.put("n_triplets", row.triplets ? int_from_u128(row.triplets->triplets) : nan_value());
        t.put("n_triplets_correct",
              row.triplets ? int_from_u128(row.triplets->correct) : nan_value());
        break;
      }
      case CompareMeasure::Parsimony:
        t.put("parsimony_score", or_nan(row.parsimony_score, int_value));
        break;
      case CompareMeasure::Likelihood:
        t.put("log_likelihood", or_nan(row.log_likelihood, float_value));
        break;
      case CompareMeasure::CutEvents:
        t.put("cut_events", or_nan(row.cut_events, int_value));
        t.put("extra_events", or_nan(row.extra_events, int_value));
        break;
    }
  }
  if (o.common_leaves) {
    t.put("leaves_compared", or_nan(row.leaves_compared, int_value));
    t.put(only_first, or_nan(row.leaves_only_in_reference, int_value));
    t.put(only_second, or_nan(row.leaves_only_in_tree, int_value));
  }
  if (row.error.empty()) {
    t.put("error", Ref::borrow(Py_None));
  } else {
    t.put("error", check(PyUnicode_FromStringAndSize(row.error.data(),
                                                     static_cast<Py_ssize_t>(row.error.size()))));
  }
}

// One row per depth of the triplet count.
void put_depths(Table& t, const CompareRow& row, PyObject* label) {
  for (size_t i = 0; i < row.depths.size(); ++i) {
    const ExactTripletCounts& c = row.by_depth[i];
    const ExactTripletRatios q = exact_triplet_ratios(c);
    t.put("tree", Ref::borrow(label));
    t.put("depth", int_value(row.depths[i]));
    t.put("n_triplets", int_from_u128(c.triplets));
    t.put("n_triplets_correct", int_from_u128(c.correct));
    t.put("all_triplets_correct", float_value(q.all_triplets_correct));
    t.put("resolvable_triplets_correct", float_value(q.resolvable_triplets_correct));
    t.put("unresolved_triplets_correct", float_value(q.unresolved_triplets_correct));
    t.put("proportion_unresolvable", float_value(q.proportion_unresolvable));
    t.end_row();
  }
}

// "tree 'x': ..." for errors="raise".
[[noreturn]] void raise_row_error(PyObject* label, const std::string& error) {
  Ref shown = check(PyObject_Repr(label));
  PyErr_Format(PyExc_ValueError, "tree %U: %s", shown.get(), error.c_str());
  throw_error_set();
}

PyObject* result_dict(Table& rows, Table& depths, Ref reference) {
  Ref out = check(PyDict_New());
  Ref r = rows.release(), d = depths.release();
  if (PyDict_SetItemString(out.get(), "rows", r.get()) < 0 ||
      PyDict_SetItemString(out.get(), "by_depth", d.get()) < 0 ||
      PyDict_SetItemString(out.get(), "reference", reference.get()) < 0)
    throw_error_set();
  return out.release();
}

// The reference's own scores as a one-row table.
Ref reference_table(const CompareRow& own, const CompareOptions& o) {
  Table t;
  if (o.wants(CompareMeasure::Parsimony))
    t.put("parsimony_score", or_nan(own.parsimony_score, int_value));
  if (o.wants(CompareMeasure::Likelihood))
    t.put("log_likelihood", or_nan(own.log_likelihood, float_value));
  if (o.wants(CompareMeasure::CutEvents)) {
    t.put("cut_events", or_nan(own.cut_events, int_value));
    t.put("extra_events", or_nan(own.extra_events, int_value));
  }
  t.end_row();
  return t.release();
}

// Runs score(i) for i in [0, n) over up to `threads` workers, without the
// interpreter lock (the scores touch no Python object).
template <class F>
void score_on_pool(size_t n, std::optional<uint64_t> max_threads, F&& score) {
  const ReleaseLock unlocked;
  const size_t lanes = std::min<size_t>(n, effective_thread_count(max_threads));
  std::atomic<size_t> next{0};
  WorkerPool::global().run(lanes, [&](size_t) {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) score(i);
  });
}

// Splits n items into about 4 chunks per worker of the executor's caller,
// never fewer items than `min_chunk`.
size_t chunk_size(size_t n, size_t min_chunk) {
  const size_t workers = std::max<size_t>(1, WorkerPool::global().worker_count());
  return std::max(min_chunk, (n + 4 * workers - 1) / (4 * workers));
}

// Submits fn(*args, **kwargs) to the executor; the futures are cancelled if
// the caller stops waiting (an error, or Ctrl-C).
class Futures {
 public:
  explicit Futures(PyObject* executor) : executor_(executor) {
    if (!PyObject_HasAttrString(executor, "submit")) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'executor': '%s' object is no concurrent.futures.Executor (it has "
                   "no submit)",
                   Py_TYPE(executor)->tp_name);
      throw_error_set();
    }
  }
  Futures(const Futures&) = delete;
  Futures& operator=(const Futures&) = delete;
  ~Futures() {
    if (done_) return;
    HeldError held;
    for (Ref& f : futures_) {
      Ref r(PyObject_CallMethod(f.get(), "cancel", nullptr));
      if (!r) PyErr_Clear();
    }
    if (held.get()) held.restore();
  }

  void submit(PyObject* fn, PyObject* args, PyObject* kwargs) {
    Ref submit = check(PyObject_GetAttrString(executor_, "submit"));
    Ref all_args = check(PyTuple_New(PyTuple_GET_SIZE(args) + 1));
    Py_INCREF(fn);
    PyTuple_SET_ITEM(all_args.get(), 0, fn);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
      PyObject* a = PyTuple_GET_ITEM(args, i);
      Py_INCREF(a);
      PyTuple_SET_ITEM(all_args.get(), i + 1, a);
    }
    futures_.push_back(check(PyObject_Call(submit.get(), all_args.get(), kwargs)));
  }
  size_t size() const noexcept { return futures_.size(); }
  // The result of future i, waiting for it.
  Ref result(size_t i) { return check(PyObject_CallMethod(futures_[i].get(), "result", nullptr)); }
  void finished() { done_ = true; }

 private:
  PyObject* executor_;
  std::vector<Ref> futures_;
  bool done_ = false;
};

Ref names_tuple(const Names& names) {
  Ref out = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  for (size_t i = 0; i < names.size(); ++i)
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i),
                     check(PyUnicode_FromString(names[i].c_str())).release());
  return out;
}

Ref module_function(const char* name) {
  Ref module = check(PyImport_ImportModule(msg::kModuleName));
  return check(PyObject_GetAttrString(module.get(), name));
}

void set_item(PyObject* d, const char* key, PyObject* value) {
  if (PyDict_SetItemString(d, key, value) < 0) throw_error_set();
}

// Rows whose error is set are raised, the first in input order, as the
// local run raises them.
void raise_first_error(PyObject* rows) {
  PyObject* errors = PyDict_GetItemString(rows, "error");
  PyObject* labels = PyDict_GetItemString(rows, "tree");
  if (!errors || !labels) return;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(errors); ++i) {
    PyObject* e = PyList_GET_ITEM(errors, i);
    if (e != Py_None) raise_row_error(PyList_GET_ITEM(labels, i), std::string(to_text(e)));
  }
}

// A matrix argument the body converts, named in its errors as the binding would.
CharacterMatrix matrix_argument(PyObject* obj) {
  CharacterMatrix out;
  try {
    convert(obj, out);
  } catch (const ErrorAlreadySet&) {
    rewrap_type_error("character_matrix");
    throw;
  }
  return out;
}

// What the character measures need, or nothing when none is asked for.
struct Characters {
  CharacterMatrix matrix;
  Names names;
  std::optional<CellRows> cells;

  // Arguments given are converted (and so checked) whether or not a
  // character measure is asked for.
  Characters(const std::vector<CompareMeasure>& measures, const Object& matrix_arg,
             const Object& cell_names, int32_t missing, int32_t unedited) {
    if (!matrix_arg.is_none()) matrix = matrix_argument(matrix_arg.obj);
    if (!cell_names.is_none()) {
      try {
        convert(cell_names.obj, names);
      } catch (const ErrorAlreadySet&) {
        rewrap_type_error("cell_names");
        throw;
      }
    }
    const bool wanted = std::find_if(measures.begin(), measures.end(), [](CompareMeasure m) {
                          return m == CompareMeasure::Parsimony ||
                                 m == CompareMeasure::Likelihood || m == CompareMeasure::CutEvents;
                        }) != measures.end();
    if (!wanted) return;
    if (matrix_arg.is_none() || cell_names.is_none())
      throw CallerError(
          "the character measures need character_matrix and cell_names (one cell name per "
          "row; pass frame.index for a pandas frame)");
    cells.emplace(matrix, names, missing, unedited);
  }
};

// A tree of the iterable: a str, or a (name, str) pair whose name labels it.
std::string_view tree_text(PyObject* item, Ref& label) {
  if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2 &&
      PyUnicode_Check(PyTuple_GET_ITEM(item, 1))) {
    label = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    return to_text(PyTuple_GET_ITEM(item, 1));
  }
  if (!PyUnicode_Check(item)) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'trees': items must be Newick strings or (name, newick) pairs, not "
                 "'%s'",
                 Py_TYPE(item)->tp_name);
    throw_error_set();
  }
  return to_text(item);
}

// Trees are taken from the iterable this many at a time (or fewer, once
// their texts pass kChunkBytes), so that a stream of large trees is held a
// chunk at a time.
constexpr size_t kChunkTrees = 256;
constexpr size_t kChunkBytes = size_t{64} << 20;

const Names kReferenceMeasures{"rf", "triplets_exact"};

struct CompareToReference : Call<CompareToReference> {
  std::string_view reference;
  Object trees, measures, labels, character_matrix, cell_names, progress, executor;
  bool common_leaves = false, by_depth = false;
  std::string_view errors;
  std::optional<uint64_t> max_threads;
  int32_t missing_state = -1, unedited_state = 0;

  static constexpr const char* name = "compare_to_reference";
  static constexpr const char* doc =
      "Scores every tree of `trees` (Newick strings, or (name, newick) pairs) against\n"
      "`reference`: a dict of three tables, 'rows' (one row per tree, in input order),\n"
      "'by_depth' (with by_depth=True: one row per tree and depth of the reference) and\n"
      "'reference' (the reference's own character scores), each a dict of equal-length\n"
      "columns, ready for pandas.DataFrame.\n\n"
      "measures: 'rf' and 'rf_normalized' compare topologies (internal labels ignored);\n"
      "'triplets_exact' counts every triplet; 'parsimony', 'likelihood' and 'cut_events'\n"
      "take rows by cell name (cell_names, one per row of character_matrix); the first\n"
      "two need every node of a tree uniquely labelled. common_leaves=True compares each tree on "
      "the leaves it\n"
      "shares with the reference. errors='coerce' puts a failing tree's error in its\n"
      "row (NaN in its scores) instead of raising. Trees are scored on the worker pool\n"
      "without the GIL (max_threads caps it), or in chunks on `executor`, any\n"
      "concurrent.futures.Executor; progress=True shows a tqdm bar, a callable is given\n"
      "(done, total).";
  static auto params() {
    return std::tuple{ARG(reference),
                      ARG(trees),
                      ARG(measures, Object{}, "('rf', 'triplets_exact')"),
                      KWARG(labels, None),
                      KWARG(character_matrix, None),
                      KWARG(cell_names, None),
                      KWARG(common_leaves, false),
                      KWARG(by_depth, false),
                      KWARG(errors, "raise"),
                      KWARG(max_threads, None),
                      KWARG(progress, None),
                      KWARG(executor, None),
                      KWARG(missing_state, -1),
                      KWARG(unedited_state, 0)};
  }

  PyObject* run() {
    CompareOptions o;
    o.measures = measures_of(measures.obj, kReferenceMeasures);
    o.common_leaves = common_leaves;
    o.by_depth = by_depth;
    const bool coerce = coerce_errors(errors);
    check_threads(max_threads);
    Ref given_labels = labels_list(labels);
    const Py_ssize_t total = PyObject_LengthHint(trees.obj, -1);
    if (total == -1 && PyErr_Occurred()) throw_error_set();
    Characters characters(o.measures, character_matrix, cell_names, missing_state, unedited_state);
    o.cells = characters.cells ? &*characters.cells : nullptr;

    std::optional<ReferenceComparison> ref;
    {
      const ReleaseLock unlocked;
      ref.emplace(reference, o);
    }
    Ref reference_entry = reference_table(ref->reference_scores(), o);
    Progress bar(progress, total);
    if (!executor.is_none())
      return on_executor(given_labels, std::move(reference_entry), coerce, bar);

    Table rows, depths;
    Ref it = check(PyObject_GetIter(trees.obj));
    size_t index = 0;
    bool exhausted = false;
    while (!exhausted) {
      // A chunk of texts, held by the items until its rows are built.
      std::vector<Ref> items, chunk_labels;
      std::vector<std::string_view> texts;
      size_t bytes = 0;
      while (texts.size() < kChunkTrees && bytes < kChunkBytes) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
          if (PyErr_Occurred()) throw_error_set();
          exhausted = true;
          break;
        }
        Ref label;
        texts.push_back(tree_text(item.get(), label));
        bytes += texts.back().size();
        const size_t i = index + texts.size() - 1;
        if (given_labels) {
          if (i >= static_cast<size_t>(PyList_GET_SIZE(given_labels.get())))
            throw CallerError("labels has fewer entries than trees has trees");
          label = Ref::borrow(PyList_GET_ITEM(given_labels.get(), static_cast<Py_ssize_t>(i)));
        } else if (!label) {
          label = check(PyLong_FromSize_t(i));
        }
        items.push_back(std::move(item));
        chunk_labels.push_back(std::move(label));
      }
      std::vector<CompareRow> scored(texts.size());
      score_on_pool(texts.size(), max_threads, [&](size_t i) { scored[i] = ref->score(texts[i]); });
      for (size_t i = 0; i < scored.size(); ++i) {
        if (!coerce && !scored[i].error.empty())
          raise_row_error(chunk_labels[i].get(), scored[i].error);
        rows.put("tree", Ref::borrow(chunk_labels[i].get()));
        put_measures(rows, scored[i], o, "leaves_only_in_reference", "leaves_only_in_tree");
        rows.end_row();
        if (by_depth) put_depths(depths, scored[i], chunk_labels[i].get());
      }
      index += texts.size();
      if (!texts.empty()) bar.advance(static_cast<Py_ssize_t>(texts.size()));
    }
    if (given_labels && index != static_cast<size_t>(PyList_GET_SIZE(given_labels.get())))
      throw CallerError("labels has more entries than trees has trees");
    return result_dict(rows, depths, std::move(reference_entry));
  }

 private:
  // Chunks of trees, each sent with the reference and every option to this
  // same function on the executor (errors coerced there, so that a failing
  // tree comes back as its row); rows joined in input order.
  PyObject* on_executor(Ref& given_labels, Ref reference_entry, bool coerce, Progress& bar) {
    Ref items = check(PySequence_List(trees.obj));
    const size_t n = static_cast<size_t>(PyList_GET_SIZE(items.get()));
    if (given_labels && static_cast<size_t>(PyList_GET_SIZE(given_labels.get())) != n)
      throw CallerError("labels has " + std::to_string(PyList_GET_SIZE(given_labels.get())) +
                        " entries for " + std::to_string(n) + " trees");
    Ref fn = module_function(name);
    Ref kwargs = check(PyDict_New());
    set_item(kwargs.get(), "character_matrix",
             character_matrix.obj ? character_matrix.obj : Py_None);
    set_item(kwargs.get(), "common_leaves", common_leaves ? Py_True : Py_False);
    set_item(kwargs.get(), "by_depth", by_depth ? Py_True : Py_False);
    Ref coerce_text = check(PyUnicode_FromString("coerce"));
    set_item(kwargs.get(), "errors", coerce_text.get());
    set_item(kwargs.get(), "cell_names", cell_names.obj ? cell_names.obj : Py_None);
    Ref threads = max_threads ? int_value(*max_threads) : Ref::borrow(Py_None);
    set_item(kwargs.get(), "max_threads", threads.get());
    Ref missing = check(PyLong_FromLong(missing_state)),
        unedited = check(PyLong_FromLong(unedited_state));
    set_item(kwargs.get(), "missing_state", missing.get());
    set_item(kwargs.get(), "unedited_state", unedited.get());
    Ref ref_text = check(
        PyUnicode_FromStringAndSize(reference.data(), static_cast<Py_ssize_t>(reference.size())));
    Ref measures_value = measures.obj ? Ref::borrow(measures.obj) : names_tuple(kReferenceMeasures);

    Futures futures(executor.obj);
    std::vector<Py_ssize_t> sizes;
    const size_t step = chunk_size(n, 1);
    for (size_t begin = 0; begin < n; begin += step) {
      const Py_ssize_t b = static_cast<Py_ssize_t>(begin);
      const Py_ssize_t e = static_cast<Py_ssize_t>(std::min(n, begin + step));
      Ref chunk = check(PyList_GetSlice(items.get(), b, e));
      // Labels travel with the chunk: given ones, names of (name, newick)
      // pairs, or positions in the whole input.
      Ref chunk_labels = check(PyList_New(e - b));
      for (Py_ssize_t i = b; i < e; ++i) {
        Ref label;
        if (given_labels) {
          label = Ref::borrow(PyList_GET_ITEM(given_labels.get(), i));
        } else {
          tree_text(PyList_GET_ITEM(items.get(), i), label);
          if (!label) label = check(PyLong_FromSsize_t(i));
        }
        PyList_SET_ITEM(chunk_labels.get(), i - b, label.release());
      }
      set_item(kwargs.get(), "labels", chunk_labels.get());
      Ref args = check(PyTuple_Pack(3, ref_text.get(), chunk.get(), measures_value.get()));
      Ref kw = check(PyDict_Copy(kwargs.get()));
      futures.submit(fn.get(), args.get(), kw.get());
      sizes.push_back(e - b);
    }
    Table rows, depths;
    for (size_t i = 0; i < futures.size(); ++i) {
      Ref part = futures.result(i);
      rows.extend(PyDict_GetItemString(part.get(), "rows"));
      depths.extend(PyDict_GetItemString(part.get(), "by_depth"));
      bar.advance(sizes[i]);
    }
    futures.finished();
    Ref joined = rows.release();
    if (!coerce) raise_first_error(joined.get());
    Ref out = check(PyDict_New());
    Ref d = depths.release();
    set_item(out.get(), "rows", joined.get());
    set_item(out.get(), "by_depth", d.get());
    set_item(out.get(), "reference", reference_entry.get());
    return out.release();
  }
};

// ---- compare_all_pairs -----------------------------------------------------------------

const Names kPairMeasures{"rf"};

std::vector<CompareMeasure> pair_measures(PyObject* obj) {
  std::vector<CompareMeasure> out = measures_of(obj, kPairMeasures);
  for (const CompareMeasure m : out)
    if (m == CompareMeasure::Parsimony || m == CompareMeasure::Likelihood ||
        m == CompareMeasure::CutEvents)
      throw CallerError(
          "compare_all_pairs compares trees with each other: 'parsimony', 'likelihood' and "
          "'cut_events' score one tree (use compare_to_reference)");
  return out;
}

// The texts of a list of trees, and each tree's label: given, the name of a
// (name, newick) pair, or its position.
struct TreeList {
  Ref items;
  std::vector<std::string_view> texts;
  std::vector<Ref> labels;

  TreeList(PyObject* trees, const Object& labels_arg) {
    items = check(PySequence_List(trees));
    Ref given = labels_list(labels_arg);
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    if (given && PyList_GET_SIZE(given.get()) != n)
      throw CallerError("labels has " + std::to_string(PyList_GET_SIZE(given.get())) +
                        " entries for " + std::to_string(n) + " trees");
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref label;
      texts.push_back(tree_text(PyList_GET_ITEM(items.get(), i), label));
      if (given) label = Ref::borrow(PyList_GET_ITEM(given.get(), i));
      if (!label) label = check(PyLong_FromSsize_t(i));
      labels.push_back(std::move(label));
    }
  }
};

// Pairs (a, b) with a in [first_row, last_row) and a < b < n, in that order,
// as a table; trees before first_row are never parsed.
Ref pairs_table(const TreeList& trees, size_t first_row, size_t last_row, const CompareOptions& o,
                bool coerce, std::optional<uint64_t> max_threads, Progress* bar) {
  const size_t n = trees.texts.size();
  std::vector<std::string_view> kept(trees.texts.begin() + static_cast<ptrdiff_t>(first_row),
                                     trees.texts.end());
  std::optional<PairComparison> pairs;
  {
    const ReleaseLock unlocked;
    pairs.emplace(kept, o);
  }
  Table t;
  constexpr size_t kBlock = 4096;  // pairs scored between two looks at Python
  std::vector<std::pair<uint32_t, uint32_t>> block;
  auto flush = [&] {
    std::vector<CompareRow> scored(block.size());
    score_on_pool(block.size(), max_threads, [&](size_t i) {
      scored[i] = pairs->score(block[i].first - first_row, block[i].second - first_row);
    });
    for (size_t i = 0; i < block.size(); ++i) {
      PyObject* a = trees.labels[block[i].first].get();
      PyObject* b = trees.labels[block[i].second].get();
      if (!coerce && !scored[i].error.empty()) {
        Ref pair = check(PyTuple_Pack(2, a, b));
        raise_row_error(pair.get(), scored[i].error);
      }
      t.put("tree_a", Ref::borrow(a));
      t.put("tree_b", Ref::borrow(b));
      put_measures(t, scored[i], o, "leaves_only_in_a", "leaves_only_in_b");
      t.end_row();
    }
    if (bar) bar->advance(static_cast<Py_ssize_t>(block.size()));
    block.clear();
  };
  for (size_t a = first_row; a < last_row; ++a)
    for (size_t b = a + 1; b < n; ++b) {
      block.emplace_back(static_cast<uint32_t>(a), static_cast<uint32_t>(b));
      if (block.size() == kBlock) flush();
    }
  if (!block.empty()) flush();
  return t.release();
}

struct CompareAllPairs : Call<CompareAllPairs> {
  Object trees, measures, labels, progress, executor;
  bool common_leaves = false;
  std::string_view errors;
  std::optional<uint64_t> max_threads;

  static constexpr const char* name = "compare_all_pairs";
  static constexpr const char* doc =
      "Scores every unordered pair of `trees` (Newick strings, or (name, newick) pairs):\n"
      "a dict of equal-length columns with one row per pair i < j, 'tree_a' and 'tree_b'\n"
      "(labels, names or positions), the measures' columns and 'error'.\n\n"
      "measures: a name or a sequence of names: 'rf', 'rf_normalized' (topologies:\n"
      "internal labels ignored) and 'triplets_exact' (tree_a as the reference). Every\n"
      "tree is parsed once.\n"
      "common_leaves, errors, max_threads, progress and executor as in\n"
      "compare_to_reference.";
  static auto params() {
    return std::tuple{ARG(trees),
                      ARG(measures, Object{}, "'rf'"),
                      KWARG(labels, None),
                      KWARG(common_leaves, false),
                      KWARG(errors, "raise"),
                      KWARG(max_threads, None),
                      KWARG(progress, None),
                      KWARG(executor, None)};
  }

  PyObject* run() {
    CompareOptions o;
    o.measures = pair_measures(measures.obj);
    o.common_leaves = common_leaves;
    const bool coerce = coerce_errors(errors);
    check_threads(max_threads);
    const TreeList list(trees.obj, labels);
    const size_t n = list.texts.size();
    const size_t total = n < 2 ? 0 : n * (n - 1) / 2;
    Progress bar(progress, static_cast<Py_ssize_t>(total));
    if (executor.is_none()) return pairs_table(list, 0, n, o, coerce, max_threads, &bar).release();

    // Blocks of first trees with about equal numbers of pairs, each sent
    // with every tree from its first on.
    Ref fn = module_function("_compare_pairs");
    Ref measures_value = measures.obj ? Ref::borrow(measures.obj) : names_tuple(kPairMeasures);
    Ref texts = check(PyList_New(static_cast<Py_ssize_t>(n)));
    Ref all_labels = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < n; ++i) {
      PyList_SET_ITEM(
          texts.get(), static_cast<Py_ssize_t>(i),
          check(PyUnicode_FromStringAndSize(list.texts[i].data(),
                                            static_cast<Py_ssize_t>(list.texts[i].size())))
              .release());
      PyList_SET_ITEM(all_labels.get(), static_cast<Py_ssize_t>(i),
                      Ref::borrow(list.labels[i].get()).release());
    }
    const size_t per_block = chunk_size(total, 1);
    Futures futures(executor.obj);
    std::vector<Py_ssize_t> sizes;
    for (size_t first = 0; first + 1 < n;) {
      size_t last = first, pairs = 0;
      while (last + 1 < n && (pairs == 0 || pairs + (n - 1 - last) <= per_block))
        pairs += n - 1 - last++;
      Ref tail =
          check(PyList_GetSlice(texts.get(), static_cast<Py_ssize_t>(first), PY_SSIZE_T_MAX));
      Ref tail_labels =
          check(PyList_GetSlice(all_labels.get(), static_cast<Py_ssize_t>(first), PY_SSIZE_T_MAX));
      Ref rows = check(PyLong_FromSize_t(last - first));
      Ref args =
          check(PyTuple_Pack(4, tail.get(), rows.get(), measures_value.get(), tail_labels.get()));
      Ref kwargs = check(PyDict_New());
      set_item(kwargs.get(), "common_leaves", common_leaves ? Py_True : Py_False);
      Ref threads = max_threads ? int_value(*max_threads) : Ref::borrow(Py_None);
      set_item(kwargs.get(), "max_threads", threads.get());
      futures.submit(fn.get(), args.get(), kwargs.get());
      sizes.push_back(static_cast<Py_ssize_t>(pairs));
      first = last;
    }
    Table t;
    for (size_t i = 0; i < futures.size(); ++i) {
      Ref part = futures.result(i);
      t.extend(part.get());
      bar.advance(sizes[i]);
    }
    futures.finished();
    Ref joined = t.release();
    if (!coerce) {
      // As the local run raises: the first failing pair in order.
      PyObject* errors_col = PyDict_GetItemString(joined.get(), "error");
      PyObject* a = PyDict_GetItemString(joined.get(), "tree_a");
      PyObject* b = PyDict_GetItemString(joined.get(), "tree_b");
      for (Py_ssize_t i = 0; errors_col && i < PyList_GET_SIZE(errors_col); ++i) {
        PyObject* e = PyList_GET_ITEM(errors_col, i);
        if (e == Py_None) continue;
        Ref pair = check(PyTuple_Pack(2, PyList_GET_ITEM(a, i), PyList_GET_ITEM(b, i)));
        raise_row_error(pair.get(), std::string(to_text(e)));
      }
    }
    return joined.release();
  }
};

// The executor's share of compare_all_pairs: the pairs whose first tree is
// one of the first `rows` trees given, errors coerced. Not part of the API.
struct ComparePairs : Call<ComparePairs> {
  Object trees, measures, labels;
  uint64_t rows = 0;
  bool common_leaves = false;
  std::optional<uint64_t> max_threads;

  static constexpr const char* name = "_compare_pairs";
  static constexpr const char* doc =
      "compare_all_pairs' work on an executor: pairs (a, b), a < rows, a < b.";
  static auto params() {
    return std::tuple{ARG(trees),
                      ARG(rows),
                      ARG(measures),
                      ARG(labels),
                      KWARG(common_leaves, false),
                      KWARG(max_threads, None)};
  }
  PyObject* run() {
    CompareOptions o;
    o.measures = pair_measures(measures.obj);
    o.common_leaves = common_leaves;
    check_threads(max_threads);
    const TreeList list(trees.obj, labels);
    const size_t last = std::min<size_t>(rows, list.texts.size());
    return pairs_table(list, 0, last, o, true, max_threads, nullptr).release();
  }
};

}  // namespace

const FunctionDef kCompareToReference = define<CompareToReference>();
const FunctionDef kCompareAllPairs = define<CompareAllPairs>();
const FunctionDef kComparePairs = define<ComparePairs>();

}  // namespace cladorix::py
