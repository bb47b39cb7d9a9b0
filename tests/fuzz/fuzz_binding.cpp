// libFuzzer target for the module's argument binding, with CPython embedded.
//
// The Python side (binding_target.py) turns the fuzz bytes into a call of one
// of the module's functions and judges the outcome; it raises when the call
// ended in a way the module does not document. The module is built with
// clang's coverage instrumentation and imported before fuzzing starts, so its
// counters guide libFuzzer; the interpreter itself is not instrumented.
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

namespace {

PyObject* g_one_input = nullptr;

[[noreturn]] void fail_python(const char* what) {
  std::fprintf(stderr, "fuzz_binding: %s\n", what);
  // The target silences sys.stderr during calls; report on the real one.
  if (PyObject* real = PySys_GetObject("__stderr__")) PySys_SetObject("stderr", real);
  if (PyErr_Occurred()) PyErr_Print();
  std::fflush(stderr);
  std::abort();
}

void check_status(PyStatus status) {
  if (PyStatus_Exception(status)) {
    std::fprintf(stderr, "fuzz_binding: interpreter start failed: %s\n",
                 status.err_msg ? status.err_msg : "?");
    std::abort();
  }
}

PyObject* new_ref(PyObject* o) {  // Py_NewRef is 3.10+
  Py_INCREF(o);
  return o;
}

// checked_call(fn, args, kwargs): calls fn through its vectorcall entry and
// turns the two broken endings of a C function, a result with an exception
// set and NULL without one, into SystemError. CPython checks this only in
// debug builds or on some call paths; here every call is checked.
PyObject* checked_call(PyObject*, PyObject* const* argv, Py_ssize_t argc) {
  if (argc != 3 || !PyTuple_CheckExact(argv[1]) || !PyDict_CheckExact(argv[2])) {
    PyErr_SetString(PyExc_TypeError, "checked_call(fn, tuple, dict)");
    return nullptr;
  }
  PyObject* fn = argv[0];
  const vectorcallfunc call = PyVectorcall_Function(fn);
  if (!call) {
    PyErr_SetString(PyExc_TypeError, "checked_call: fn has no vectorcall entry");
    return nullptr;
  }
  const Py_ssize_t nargs = PyTuple_GET_SIZE(argv[1]);
  const Py_ssize_t nkw = PyDict_GET_SIZE(argv[2]);
  std::vector<PyObject*> stack;  // owned references
  for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(new_ref(PyTuple_GET_ITEM(argv[1], i)));
  PyObject* kwnames = nkw ? PyTuple_New(nkw) : nullptr;
  if (nkw && !kwnames) return nullptr;
  Py_ssize_t pos = 0, i = 0;
  PyObject *key, *value;
  while (PyDict_Next(argv[2], &pos, &key, &value)) {
    PyTuple_SET_ITEM(kwnames, i++, new_ref(key));
    stack.push_back(new_ref(value));
  }

  PyObject* result = call(fn, stack.data(), static_cast<size_t>(nargs), kwnames);

  for (PyObject* o : stack) Py_DECREF(o);
  Py_XDECREF(kwnames);
  if (result && PyErr_Occurred()) {
    PyObject *type, *exc, *tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set: %R", fn, exc);
    Py_XDECREF(type);
    Py_XDECREF(exc);
    Py_XDECREF(tb);
    Py_DECREF(result);
    return nullptr;
  }
  if (!result && !PyErr_Occurred())
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", fn);
  return result;
}

PyMethodDef g_checked_call = {"checked_call", reinterpret_cast<PyCFunction>(checked_call),
                              METH_FASTCALL, nullptr};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Objects come from malloc so that ASan sees every Python object the module
  // touches after its release, not just those too large for the small-object pools.
  PyPreConfig pre;
  PyPreConfig_InitPythonConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;
  check_status(Py_PreInitialize(&pre));

  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.parse_argv = 0;
  // libFuzzer owns SIGINT and SIGALRM (its per-input timeout).
  config.install_signal_handlers = 0;
  // Reproducible dict and set orders, so a crash replays.
  config.use_hash_seed = 1;
  config.hash_seed = 0;
  // Run as the interpreter the module was built for (its venv and site-packages).
  check_status(PyConfig_SetBytesString(&config, &config.program_name, CLADORIX_FUZZ_PYTHON));
  check_status(Py_InitializeFromConfig(&config));
  PyConfig_Clear(&config);

  PyObject* path = PySys_GetObject("path");  // borrowed
  for (const char* dir : {CLADORIX_FUZZ_SCRIPT_DIR, CLADORIX_FUZZ_MODULE_DIR}) {
    PyObject* d = PyUnicode_FromString(dir);
    if (!d || PyList_Insert(path, 0, d) < 0) fail_python("cannot extend sys.path");
    Py_DECREF(d);
  }
  PyObject* target = PyImport_ImportModule("binding_target");
  if (!target) fail_python("cannot import binding_target");
  PyObject* checker = PyCFunction_New(&g_checked_call, nullptr);
  if (!checker || PyObject_SetAttrString(target, "checked_call", checker) < 0)
    fail_python("cannot install checked_call");
  Py_DECREF(checker);
  PyObject* setup = PyObject_CallMethod(target, "setup", "s", CLADORIX_FUZZ_MODULE_DIR);
  if (!setup) fail_python("binding_target.setup failed");
  Py_DECREF(setup);
  g_one_input = PyObject_GetAttrString(target, "one_input");
  if (!g_one_input) fail_python("binding_target has no one_input");
  Py_DECREF(target);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PyObject* bytes =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
  if (!bytes) fail_python("cannot build the input bytes");
  PyObject* result = PyObject_CallOneArg(g_one_input, bytes);
  Py_DECREF(bytes);
  if (!result) fail_python("a call ended in a way the module does not document");
  Py_DECREF(result);
  return 0;
}
