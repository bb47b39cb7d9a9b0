#include "binding/signals.hpp"

#include <pythread.h>

#include <atomic>

namespace cladorix::py {
namespace {

std::atomic<unsigned long> g_main_thread{0};

bool signal_pending_with_lock(void*) { return PyErr_CheckSignals() != 0; }

bool signal_pending_without_lock(void* saved) {
  if (PyThread_get_thread_ident() != g_main_thread.load(std::memory_order_relaxed)) return false;
  PyEval_RestoreThread(static_cast<PyThreadState*>(saved));
  // The exception a handler raises stays set in this thread's state.
  const bool stop = PyErr_CheckSignals() != 0;
  PyEval_SaveThread();
  return stop;
}

}  // namespace

void record_main_thread() {
  // The thread that imports the module is not always the main one: ask
  // threading, and fall back on this thread when that fails.
  unsigned long ident = PyThread_get_thread_ident();
  if (PyObject* threading = PyImport_ImportModule("threading")) {
    if (PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr)) {
      if (PyObject* id = PyObject_GetAttrString(main, "ident")) {
        const unsigned long v = PyLong_AsUnsignedLong(id);
        if (!(v == static_cast<unsigned long>(-1) && PyErr_Occurred())) ident = v;
        Py_DECREF(id);
      }
      Py_DECREF(main);
    }
    Py_DECREF(threading);
  }
  PyErr_Clear();
  g_main_thread.store(ident, std::memory_order_relaxed);
}

WatchSignals::WatchSignals() noexcept : scope_({&signal_pending_with_lock, nullptr}) {}

ReleaseLock::ReleaseLock() noexcept
    : saved_(PyEval_SaveThread()), scope_({&signal_pending_without_lock, saved_}) {}

ReleaseLock::~ReleaseLock() { PyEval_RestoreThread(saved_); }

}  // namespace cladorix::py
