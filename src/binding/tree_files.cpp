// read_trees, iter_trees and read_tree: tree files as other tools write them,
// read through the core's TreeFileReader. Chunks are read from the file with
// the interpreter lock held and converted with it released; each tree becomes
// a str as soon as its ";" has been read.
#include "binding/tree_files.hpp"

#include <cmath>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/declare.hpp"
#include "tree/formats/tree_file.hpp"

namespace cladorix::py {
namespace {

// Bytes asked of the file at a time: the conversion between two reads
// takes about a millisecond, so Ctrl-C is seen at once.
constexpr Py_ssize_t kChunk = Py_ssize_t{1} << 20;

// ---- arguments ---------------------------------------------------------------------

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

TreeFileFormat format_from(std::string_view format) {
  if (format == "auto") return TreeFileFormat::kAuto;
  if (format == "newick") return TreeFileFormat::kNewick;
  if (format == "nexus") return TreeFileFormat::kNexus;
  throw CallerError("format must be 'auto', 'newick' or 'nexus', not " + quoted(format));
}

bool drop_from(std::string_view internal_labels) {
  if (internal_labels == "keep") return false;
  if (internal_labels == "drop") return true;
  throw CallerError("internal_labels must be 'keep' or 'drop', not " + quoted(internal_labels));
}

// {"length": x, "support": y}, either or both. Only exact dicts, ints and
// floats are read, so no Python code runs while the dict is walked.
void collapse_from(const Object& collapse, ConversionRules& rules) {
  if (collapse.is_none()) return;
  PyObject* d = collapse.obj;
  if (!PyDict_Check(d)) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'collapse': expected None or a dict such as {'length': 0.0}, not %s",
                 Py_TYPE(d)->tp_name);
    throw_error_set();
  }
  if (PyDict_Size(d) == 0) throw CallerError("collapse: give 'length', 'support' or both");
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(d, &pos, &key, &value)) {
    std::string_view name = PyUnicode_Check(key) ? to_text(key) : std::string_view();
    if (name != "length" && name != "support") {
      Ref shown(check(PyObject_Repr(key)));
      throw CallerError("collapse: unknown key " + std::string(to_text(shown.get())) +
                        " (the keys are 'length' and 'support')");
    }
    double v;
    if (PyFloat_Check(value)) {
      v = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_Check(value) && !PyBool_Check(value)) {
      v = PyLong_AsDouble(value);
      if (v == -1.0 && PyErr_Occurred()) throw_error_set();
    } else {
      PyErr_Format(PyExc_TypeError, "collapse['%s'] must be a number, not %s",
                   std::string(name).c_str(), Py_TYPE(value)->tp_name);
      throw_error_set();
    }
    if (std::isnan(v)) throw CallerError("collapse['" + std::string(name) + "'] is NaN");
    (name == "length" ? rules.collapse_max_length : rules.collapse_min_support) = v;
  }
}

// ---- the input -------------------------------------------------------------------

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// A path the function opens (and closes), or the caller's file object.
class Source {
 public:
  explicit Source(PyObject* source) {
    if (PyObject_HasAttrString(source, "read") && !PyUnicode_Check(source) &&
        !PyBytes_Check(source)) {
      file_ = Ref::borrow(source);
      Ref name(PyObject_GetAttrString(source, "name"));
      if (name && PyUnicode_Check(name.get())) name_ = to_text(name.get());
      PyErr_Clear();
      return;
    }
    Ref path(PyOS_FSPath(source));
    if (!path) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "argument 'source': expected a path (str or os.PathLike) or a file object "
                   "with read(), not %s",
                   Py_TYPE(source)->tp_name);
      throw_error_set();
    }
    Ref text(PyUnicode_Check(path.get())
                 ? Ref::borrow(path.get())
                 : check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path.get()),
                                                          PyBytes_GET_SIZE(path.get()))));
    name_ = to_text(text.get());
    // CPython's own modules open the file, so a missing or unreadable one
    // raises what Python raises, and .gz is decompressed on the way.
    Ref module(check(PyImport_ImportModule(ends_with(name_, ".gz") ? "gzip" : "io")));
    file_ = check(PyObject_CallMethod(module.get(), "open", "Os", path.get(), "rb"));
    owned_ = true;
  }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  ~Source() { close(); }

  const std::string& name() const noexcept { return name_; }

  // The next piece of the input (valid until the next call), empty at its
  // end. Needs the interpreter lock.
  std::string_view read() {
    chunk_ = check(PyObject_CallMethod(file_.get(), "read", "n", kChunk));
    PyObject* c = chunk_.get();
    if (PyBytes_Check(c)) return {PyBytes_AS_STRING(c), static_cast<size_t>(PyBytes_GET_SIZE(c))};
    if (PyUnicode_Check(c)) return to_text(c);
    PyErr_Format(PyExc_TypeError, "source.read() returned %s, not str or bytes",
                 Py_TYPE(c)->tp_name);
    throw_error_set();
  }

  // Closes a file the function opened, keeping any exception being raised.
  void close() noexcept {
    if (!owned_ || !file_) return;
    HeldError held;
    if (PyObject* r = PyObject_CallMethod(file_.get(), "close", nullptr)) {
      Py_DECREF(r);
    } else {
      PyErr_Clear();
    }
    file_ = Ref();
    held.restore();
  }

 private:
  Ref file_;
  bool owned_ = false;
  Ref chunk_;
  std::string name_ = "<stream>";
};

// ---- reading ---------------------------------------------------------------------

PyObject* tree_object(NamedTree& t, bool with_names) {
  Ref newick(check(
      PyUnicode_DecodeUTF8(t.newick.data(), static_cast<Py_ssize_t>(t.newick.size()), nullptr)));
  std::string().swap(t.newick);
  if (!with_names) return newick.release();
  Ref name(
      check(PyUnicode_DecodeUTF8(t.name.data(), static_cast<Py_ssize_t>(t.name.size()), nullptr)));
  return check(PyTuple_Pack(2, name.get(), newick.get())).release();
}

// Reads one chunk and converts it (or ends the input); false at the end.
bool read_more(Source& source, TreeFileReader& reader, std::vector<NamedTree>& trees) {
  if (PyErr_CheckSignals() != 0) throw_error_set();
  const std::string_view chunk = source.read();
  const ReleaseLock unlocked;
  if (chunk.empty()) {
    reader.finish(trees);
    return false;
  }
  reader.feed(chunk, trees);
  return true;
}

// The arguments all three functions share.
template <class S>
struct ReadArguments : Call<S> {
  Object source;
  std::string_view format;
  bool with_names = false;
  std::string_view internal_labels;
  Object collapse;

  static auto params() {
    using Self = S;
    return std::tuple{ARG(source), ARG(format, std::string_view("auto")), KWARG(with_names, false),
                      KWARG(internal_labels, std::string_view("keep")), KWARG(collapse, None)};
  }
  TreeFileOptions options() const {
    TreeFileOptions o;
    o.format = format_from(format);
    o.rules.drop_internal_labels = drop_from(internal_labels);
    collapse_from(collapse, o.rules);
    return o;
  }
};

constexpr const char* kArgumentsDoc =
    "source: a path (str or os.PathLike; a name ending in .gz is decompressed) or a text\n"
    "file object. format: 'auto' (Nexus when the text starts with #NEXUS), 'newick' or\n"
    "'nexus'. internal_labels: 'keep', or 'drop' to remove every internal label (support\n"
    "values among them). collapse: None, or {'length': x} to contract internal edges of\n"
    "length at most x, {'support': y} for those whose numeric label is below y, or both.\n"
    "A bad file raises ValueError naming the file, the line and the column.";

struct ReadTrees : ReadArguments<ReadTrees> {
  static constexpr const char* name = "read_trees";
  static constexpr const char* doc =
      "Every tree of a standard Newick or Nexus file, in file order, as Newick text that\n"
      "the functions read: comments dropped, quoted labels unquoted with blanks as '_',\n"
      "TRANSLATE tables applied. with_names=True gives (name, newick) pairs (the Nexus\n"
      "tree name, or '1', '2', ... in Newick files).\n\n";
  PyObject* run() {
    TreeFileOptions opts = options();
    Source src(source.obj);
    TreeFileReader reader(src.name(), opts);
    Ref list(check(PyList_New(0)));
    std::vector<NamedTree> trees;
    bool more = true;
    while (more) {
      more = read_more(src, reader, trees);
      for (NamedTree& t : trees) {
        Ref item(tree_object(t, with_names));
        if (PyList_Append(list.get(), item.get()) < 0) throw_error_set();
      }
      trees.clear();
    }
    src.close();
    return list.release();
  }
};

struct ReadTree : ReadArguments<ReadTree> {
  static constexpr const char* name = "read_tree";
  static constexpr const char* doc =
      "The one tree of a file that holds exactly one, as read_trees reads it; ValueError\n"
      "for a file of none or several.\n\n";
  PyObject* run() {
    TreeFileOptions opts = options();
    opts.single_tree = true;
    Source src(source.obj);
    TreeFileReader reader(src.name(), opts);
    std::vector<NamedTree> trees;
    while (read_more(src, reader, trees)) {
    }
    src.close();
    return tree_object(trees.at(0), with_names);
  }
};

// ---- iter_trees ------------------------------------------------------------------

struct IterState {
  IterState(PyObject* source, const TreeFileOptions& options, bool with_names)
      : src(source), reader(src.name(), options), with_names(with_names) {}
  Source src;
  TreeFileReader reader;
  bool with_names;
  std::vector<NamedTree> trees;  // converted, not yet handed out
  size_t next = 0;
  bool at_end = false;
  bool running = false;
};

struct TreeIterator {
  PyObject_HEAD IterState* state;
};

void iterator_dealloc(PyObject* self) {
  auto* it = reinterpret_cast<TreeIterator*>(self);
  delete it->state;  // closes the file the function opened
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* iterator_next(PyObject* self) {
  IterState* s = reinterpret_cast<TreeIterator*>(self)->state;
  if (s == nullptr) return nullptr;  // done, or stopped by an error
  if (s->running) {
    PyErr_SetString(PyExc_ValueError, "iter_trees: the iterator is already running in a thread");
    return nullptr;
  }
  PyObject* out = guarded(true, [&]() -> PyObject* {
    s->running = true;
    struct Done {
      IterState* s;
      ~Done() { s->running = false; }
    } done{s};
    while (s->next == s->trees.size() && !s->at_end) {
      s->trees.clear();
      s->next = 0;
      s->at_end = !read_more(s->src, s->reader, s->trees);
    }
    if (s->next == s->trees.size()) return nullptr;  // StopIteration
    return tree_object(s->trees[s->next++], s->with_names);
  });
  if (out == nullptr) {
    // Exhausted or failed: the iterator ends here and lets its file go.
    reinterpret_cast<TreeIterator*>(self)->state = nullptr;
    delete s;
  }
  return out;
}

PyTypeObject* iterator_type() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&iterator_dealloc)},
      {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(&iterator_next)},
      {Py_tp_doc, const_cast<char*>("Trees of a file, one at a time (see iter_trees).")},
      {0, nullptr},
  };
  static PyType_Spec definition = {"cladorix.tree_iterator", sizeof(TreeIterator), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
  type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&definition)).release());
  return type;
}

struct IterTrees : ReadArguments<IterTrees> {
  static constexpr const char* name = "iter_trees";
  static constexpr const char* doc =
      "The trees of a file one at a time, as read_trees gives them, holding one tree's\n"
      "text at a time: thousands of posterior trees stream in constant memory. The file\n"
      "is opened now and closed when the iterator is exhausted or dropped.\n\n";
  PyObject* run() {
    const TreeFileOptions opts = options();
    PyTypeObject* type = iterator_type();
    auto state = std::make_unique<IterState>(source.obj, opts, with_names);
    Ref it(check(type->tp_alloc(type, 0)));
    reinterpret_cast<TreeIterator*>(it.get())->state = state.release();
    return it.release();
  }
};

template <class S>
std::string doc_with_arguments() {
  return doc_with_signature<S>() + kArgumentsDoc;
}

template <class S>
constexpr FunctionDef define_reader() {
  FunctionDef def = define<S>();
  def.doc = &doc_with_arguments<S>;
  return def;
}

}  // namespace

const FunctionDef kReadTrees = define_reader<ReadTrees>();
const FunctionDef kIterTrees = define_reader<IterTrees>();
const FunctionDef kReadTree = define_reader<ReadTree>();

}  // namespace cladorix::py
