#include "runtime/pool.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>

#include "runtime/cancel.hpp"
#include "runtime/cpu_limits.hpp"
#include "util/errors.hpp"
#include "util/texts.hpp"

namespace cladorix {

// ---------------------------------------------------------------------------
// The workers.
//
// One operation at a time is published in Core::op. Workers claim indices
// from its atomic counter until it runs past the end, so pieces are spread
// over whoever is awake without any queue. The caller waits until every index
// has been claimed and every worker that joined the operation has left it;
// only then does the descriptor (on the caller's stack) go away.

namespace {

constexpr size_t kWorkerStack = size_t{4} << 20;  // pieces are loops, never deep recursion

struct Op {
  size_t count = 0;
  void* obj = nullptr;
  void (*call)(void*, size_t) = nullptr;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  size_t users = 0;          // workers inside the operation; guarded by Core::m
  std::exception_ptr error;  // first failure; guarded by Core::m
};

struct Core {
  explicit Core(size_t n) : workers(n) {}
  const size_t workers;
  // Serialise callers, one operation in the pool at a time: a flag under a
  // mutex rather than a timed mutex, whose steady-clock waits take the lock
  // in a way ThreadSanitizer cannot see.
  std::mutex submit_m;
  std::condition_variable submit_cv;
  bool submitting = false;  // guarded by submit_m
  std::mutex m;
  std::condition_variable work_cv;
  std::condition_variable done_cv;
  Op* op = nullptr;            // guarded by m
  uint64_t generation = 0;     // bumped per published operation; guarded by m
  size_t wakes_in_flight = 0;  // workers woken for op that have not joined it; guarded by m
  bool stop = false;           // only for a pool whose start failed half-way
};

thread_local bool t_is_worker = false;
// Set while this thread has an operation in the pool: a cancellation check
// it runs meanwhile may itself ask for the pool (a Python signal handler
// can), and must not wait for the operation its own thread is waiting on.
thread_local bool t_handing_over = false;

// How often a caller with a cancellation check looks at it while it waits.
constexpr auto kWaitSlice = std::chrono::milliseconds(10);

// Process-wide state. Nothing here has a destructor that touches the
// workers: at exit the pool is simply abandoned.
std::mutex g_create;  // creation, and held across fork() so no child sees it half done
std::atomic<WorkerPool*> g_pool{nullptr};
std::atomic<Core*> g_core{nullptr};
bool g_fork_hooks = false;  // guarded by g_create

[[noreturn]] void scheduling_failure() noexcept {
  ssize_t ignored = ::write(STDERR_FILENO, texts::kPoolAbort, std::strlen(texts::kPoolAbort));
  (void)ignored;
  std::abort();
}

void work_on(Core& c, Op& op) {
  for (;;) {
    const size_t i = op.next.fetch_add(1, std::memory_order_relaxed);
    if (i >= op.count) return;
    if (op.failed.load(std::memory_order_relaxed)) continue;  // winding down: skip
    try {
      op.call(op.obj, i);
    } catch (...) {
      std::lock_guard lk(c.m);
      if (!op.error) op.error = std::current_exception();
      op.failed.store(true, std::memory_order_relaxed);
      op.next.store(op.count, std::memory_order_relaxed);  // no more claims
    }
  }
}

void* worker_main(void* arg) {
  Core& c = *static_cast<Core*>(arg);
  t_is_worker = true;
  pthread_setname_np(pthread_self(), "cladorix-pool");
  try {
    uint64_t seen = 0;
    std::unique_lock lk(c.m);
    for (;;) {
      c.work_cv.wait(lk, [&] { return c.stop || (c.op != nullptr && c.generation != seen); });
      if (c.stop) return nullptr;
      seen = c.generation;
      Op& op = *c.op;
      ++op.users;
      if (c.wakes_in_flight > 0) --c.wakes_in_flight;
      // Wake up to two more while work is left, so that wake-ups spread as a
      // tree. Woken by a worker on a busy CPU rather than by the caller, a
      // sleeper lands on an idle CPU instead of queueing behind a busy one.
      const size_t wanted = std::min(op.count, c.workers);
      const size_t joining = op.users + c.wakes_in_flight;
      size_t wake = 0;
      if (op.next.load(std::memory_order_relaxed) < op.count && joining < wanted)
        wake = std::min<size_t>(2, wanted - joining);
      c.wakes_in_flight += wake;
      lk.unlock();
      for (size_t i = 0; i < wake; ++i) c.work_cv.notify_one();
      {
        // Pieces that poll for cancellation stop when the operation winds down.
        const CancelScope scope(
            {[](void* o) { return static_cast<Op*>(o)->failed.load(std::memory_order_relaxed); },
             &op});
        work_on(c, op);
      }
      lk.lock();
      if (--op.users == 0) c.done_cv.notify_one();
    }
  } catch (...) {
    scheduling_failure();
  }
}

// Publishes the operation and waits for it, running the caller's
// cancellation check every wait slice. When the check asks to stop, the
// operation winds down as after a failure (unstarted pieces are skipped,
// running ones see the stop at their next poll) and, once every worker has
// left it, Cancelled reaches the caller. Any other failure here would leave
// workers pointing at a dead descriptor, so it is fatal.
void hand_over(Core& c, Op& op) {
  bool cancelled = false;
  try {
    {
      std::lock_guard lk(c.m);
      c.op = &op;
      ++c.generation;
      c.wakes_in_flight = 1;  // the rest are woken by the workers that join
    }
    c.work_cv.notify_one();
    const bool checking = static_cast<bool>(current_cancel_check());
    const auto done = [&] {
      return op.users == 0 && op.next.load(std::memory_order_relaxed) >= op.count;
    };
    std::unique_lock lk(c.m);
    while (!done()) {
      if (!checking || cancelled) {
        c.done_cv.wait(lk, done);
        break;
      }
      if (c.done_cv.wait_for(lk, kWaitSlice, done)) break;
      lk.unlock();
      try {
        check_cancel_now();
      } catch (const Cancelled&) {
        cancelled = true;
        op.failed.store(true, std::memory_order_relaxed);
        op.next.store(op.count, std::memory_order_relaxed);
      }
      lk.lock();
    }
    c.op = nullptr;
  } catch (...) {
    scheduling_failure();
  }
  if (cancelled) throw Cancelled();
}

// The caller's turn to submit an operation; while another caller's
// operation holds the pool, waits looking at its cancellation check.
class SubmissionTurn {
 public:
  explicit SubmissionTurn(Core& c) : c_(c) {
    std::unique_lock lk(c.submit_m);
    const auto free = [&c] { return !c.submitting; };
    if (!current_cancel_check()) {
      c.submit_cv.wait(lk, free);
    } else {
      while (!c.submit_cv.wait_for(lk, kWaitSlice, free)) {
        lk.unlock();
        check_cancel_now();  // may throw Cancelled: the turn is not taken yet
        lk.lock();
      }
    }
    c.submitting = true;
  }
  ~SubmissionTurn() {
    {
      std::lock_guard lk(c_.submit_m);
      c_.submitting = false;
    }
    c_.submit_cv.notify_one();
  }
  SubmissionTurn(const SubmissionTurn&) = delete;
  SubmissionTurn& operator=(const SubmissionTurn&) = delete;

 private:
  Core& c_;
};

Core* start_core(size_t n) {
  auto* c = new Core(n);
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) {
    delete c;
    throw InternalError(std::string(texts::kPoolNotStarted) + " " +
                        std::generic_category().message(rc));
  }
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kWorkerStack);
  // Workers inherit a fully blocked signal mask, so signals (SIGINT for the
  // interpreter) keep going to the threads that handle them.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  int rc = 0;
  size_t started = 0;
  for (; started < n; ++started) {
    pthread_t tid;
    rc = pthread_create(&tid, &attr, worker_main, c);
    if (rc != 0) break;
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    const std::string why = std::generic_category().message(rc);
    if (started == 0) {
      delete c;  // no thread ever saw it
    } else {
      // The workers already running still read *c on their way out: leak it.
      {
        std::lock_guard lk(c->m);
        c->stop = true;
      }
      c->work_cv.notify_all();
    }
    throw InternalError(std::string(texts::kPoolNotStarted) + " Starting worker " +
                        std::to_string(started + 1) + " of " + std::to_string(n) +
                        " failed: " + why);
  }
  return c;
}

// fork() copies only the calling thread. The child abandons the parent's
// workers (their mutex and condition variables may be mid-use in threads
// that no longer exist) and starts its own on the next pooled call.
void before_fork() { g_create.lock(); }
void after_fork_parent() { g_create.unlock(); }
void after_fork_child() {
  g_core.store(nullptr, std::memory_order_relaxed);
  g_create.unlock();
}

}  // namespace

WorkerPool& WorkerPool::global() {
  WorkerPool* pool = g_pool.load(std::memory_order_acquire);
  if (pool != nullptr && g_core.load(std::memory_order_acquire) != nullptr) return *pool;

  std::lock_guard lk(g_create);
  pool = g_pool.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    // Sized once per process: a restart after fork keeps the count.
    pool = new WorkerPool(
        pool_sizing::decide_worker_count(pool_sizing::process_env, pool_sizing::system_cpu_count));
    g_pool.store(pool, std::memory_order_release);
  }
  if (!g_fork_hooks) {
    if (int rc = pthread_atfork(before_fork, after_fork_parent, after_fork_child); rc != 0)
      throw InternalError(std::string(texts::kPoolNotStarted) + " " +
                          std::generic_category().message(rc));
    g_fork_hooks = true;
  }
  if (g_core.load(std::memory_order_relaxed) == nullptr)
    g_core.store(start_core(pool->workers_), std::memory_order_release);
  return *pool;
}

void WorkerPool::run_erased(size_t k, TaskRef task) {
  if (k == 0) return;
  if (t_is_worker || t_handing_over) {
    // A task (or a cancellation check run while this thread waits) asking
    // for parallelism itself: handing over would wait on the very workers
    // that are busy, so run it here.
    for (size_t i = 0; i < k; ++i) task.call(task.obj, i);
    return;
  }
  Core* c = g_core.load(std::memory_order_acquire);
  if (c == nullptr) {  // first use, or first use in a forked child
    global();
    c = g_core.load(std::memory_order_acquire);
  }
  Op op;
  op.count = k;
  op.obj = task.obj;
  op.call = task.call;
  {
    const SubmissionTurn turn(*c);
    t_handing_over = true;
    try {
      hand_over(*c, op);
    } catch (...) {
      t_handing_over = false;
      throw;
    }
    t_handing_over = false;
  }
  if (op.error) std::rethrow_exception(op.error);
}

size_t WorkerPool::piece_count(size_t len, size_t piece) {
  if (piece == 0) fail("chunk size must be non-zero");
  return len / piece + (len % piece != 0 ? 1 : 0);
}

}  // namespace cladorix
