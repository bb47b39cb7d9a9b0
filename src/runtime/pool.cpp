#include "runtime/pool.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>

#include "errors.hpp"

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
constexpr const char* kInitFailure = "The global thread pool has not been initialized.";

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
  std::mutex submit;  // serialises callers: one operation in the pool at a time
  std::mutex m;
  std::condition_variable work_cv;
  std::condition_variable done_cv;
  Op* op = nullptr;          // guarded by m
  uint64_t generation = 0;   // bumped per published operation; guarded by m
  size_t wakes_in_flight = 0;  // workers woken for op that have not joined it; guarded by m
  bool stop = false;         // only for a pool whose start failed half-way
};

thread_local bool t_is_worker = false;

// Process-wide state. Nothing here has a destructor that touches the
// workers: at exit the pool is simply abandoned.
std::mutex g_create;  // creation, and held across fork() so no child sees it half done
std::atomic<WorkerPool*> g_pool{nullptr};
std::atomic<Core*> g_core{nullptr};
bool g_fork_hooks = false;  // guarded by g_create

[[noreturn]] void scheduling_failure() noexcept {
  static const char msg[] = "Rayon: detected unexpected panic; aborting\n";
  ssize_t ignored = ::write(STDERR_FILENO, msg, sizeof msg - 1);
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
      work_on(c, op);
      lk.lock();
      if (--op.users == 0) c.done_cv.notify_one();
    }
  } catch (...) {
    scheduling_failure();
  }
}

// Publishes the operation and waits for it. A failure here would leave
// workers pointing at a dead descriptor, so it is fatal.
void hand_over(Core& c, Op& op) noexcept {
  try {
    {
      std::lock_guard lk(c.m);
      c.op = &op;
      ++c.generation;
      c.wakes_in_flight = 1;  // the rest are woken by the workers that join
    }
    c.work_cv.notify_one();
    std::unique_lock lk(c.m);
    c.done_cv.wait(lk, [&] { return op.users == 0 && op.next.load(std::memory_order_relaxed) >= op.count; });
    c.op = nullptr;
  } catch (...) {
    scheduling_failure();
  }
}

Core* start_core(size_t n) {
  auto* c = new Core(n);
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) {
    delete c;
    throw InternalError(std::string(kInitFailure) + " " + std::generic_category().message(rc));
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
    // The workers already running still read *c on their way out: leak it.
    {
      std::lock_guard lk(c->m);
      c->stop = true;
    }
    c->work_cv.notify_all();
    throw InternalError(std::string(kInitFailure) + " Starting worker " + std::to_string(started + 1) +
                        " of " + std::to_string(n) + " failed: " + std::generic_category().message(rc));
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
    pool = new WorkerPool(pool_sizing::decide_worker_count(pool_sizing::process_env,
                                                           pool_sizing::system_cpu_count));
    g_pool.store(pool, std::memory_order_release);
  }
  if (!g_fork_hooks) {
    if (int rc = pthread_atfork(before_fork, after_fork_parent, after_fork_child); rc != 0)
      throw InternalError(std::string(kInitFailure) + " " + std::generic_category().message(rc));
    g_fork_hooks = true;
  }
  if (g_core.load(std::memory_order_relaxed) == nullptr)
    g_core.store(start_core(pool->workers_), std::memory_order_release);
  return *pool;
}

void WorkerPool::run_erased(size_t k, TaskRef task) {
  if (k == 0) return;
  if (t_is_worker) {
    // A task asking for parallelism itself: handing over would wait on the
    // very workers that are busy, so run it here.
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
    std::lock_guard serial(c->submit);
    hand_over(*c, op);
  }
  if (op.error) std::rethrow_exception(op.error);
}

size_t WorkerPool::piece_count(size_t len, size_t piece) {
  if (piece == 0) fail("chunk size must be non-zero");
  return len / piece + (len % piece != 0 ? 1 : 0);
}

// ---------------------------------------------------------------------------
// Chunk planning.

uint64_t effective_thread_count(std::optional<uint64_t> max_threads, uint64_t worker_count) {
  return max_threads ? std::min(*max_threads, worker_count) : worker_count;
}

uint64_t effective_thread_count(std::optional<uint64_t> max_threads) {
  return effective_thread_count(max_threads, WorkerPool::global().worker_count());
}

uint64_t chunk_count(uint64_t work, uint64_t d1, uint64_t d2, uint64_t cap) {
  if (d1 == 0 || d2 == 0) fail("attempt to divide by zero");
  const double root = std::sqrt(static_cast<double>(work / d1) * static_cast<double>(work / d2));
  // Saturating conversion: the root of the largest product rounds up to 2^64.
  const uint64_t s = root >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(root);
  return std::min(cap, std::max<uint64_t>(1, s));
}

uint64_t piece_size(uint64_t len, uint64_t chunks, uint64_t divisor) {
  if (chunks == 0 || divisor == 0) fail("attempt to divide by zero");
  return std::max<uint64_t>(1, (len / chunks) / divisor);
}

// ---------------------------------------------------------------------------
// Pool size.

namespace pool_sizing {

namespace {

std::vector<std::string_view> split_ws(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    const size_t b = i;
    while (i < s.size() && !(s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    if (i > b) out.push_back(s.substr(b, i - b));
  }
  return out;
}

std::vector<std::string_view> split_char(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  size_t b = 0;
  for (;;) {
    const size_t e = s.find(sep, b);
    out.push_back(s.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b));
    if (e == std::string_view::npos) return out;
    b = e + 1;
  }
}

// mountinfo writes blanks and backslashes in paths as \ooo.
std::string unescape_octal(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const auto octal = [&](size_t j) { return j < s.size() && s[j] >= '0' && s[j] <= '7'; };
    if (s[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

struct Mount {
  std::string root;   // the cgroup this mount shows at its mount point
  std::string point;  // where it is mounted
};

void parse_mountinfo(std::string_view text, std::vector<Mount>& v2, std::vector<Mount>& v1_cpu) {
  for (std::string_view line : split_char(text, '\n')) {
    const auto f = split_ws(line);
    size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (dash + 1 >= f.size()) continue;
    const std::string_view fstype = f[dash + 1];
    if (fstype == "cgroup2") {
      v2.push_back({unescape_octal(f[3]), unescape_octal(f[4])});
    } else if (fstype == "cgroup" && dash + 3 < f.size()) {
      for (std::string_view opt : split_char(f[dash + 3], ','))
        if (opt == "cpu") {
          v1_cpu.push_back({unescape_octal(f[3]), unescape_octal(f[4])});
          break;
        }
    }
  }
}

void keep_min(std::optional<uint64_t>& best, std::optional<uint64_t> v) {
  if (v && (!best || *v < *best)) best = v;
}

// Reads the limit at the process's cgroup directory under `m` and at every
// ancestor up to the mount point; each level caps everything below it.
template <class LimitAt>
void walk_up(const Mount& m, std::string_view path, std::optional<uint64_t>& best, LimitAt limit_at) {
  std::string rel;
  if (m.root == "/") {
    rel = path;
  } else if (path == m.root || (path.substr(0, m.root.size()) == m.root && path.size() > m.root.size() &&
                                path[m.root.size()] == '/')) {
    rel = path.substr(m.root.size());
  }  // else: the process's cgroup is outside this view; only the mount point applies
  while (!rel.empty() && rel.back() == '/') rel.pop_back();
  std::string point = m.point;
  while (point.size() > 1 && point.back() == '/') point.pop_back();
  std::string dir = point + rel;
  for (;;) {
    keep_min(best, limit_at(dir));
    if (dir.size() <= point.size()) break;
    dir.resize(dir.rfind('/'));
    if (dir.size() < point.size()) break;
  }
}

std::optional<std::string> read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

}  // namespace

std::optional<uint64_t> parse_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t v = 0;
  for (const char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(ch - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

size_t decide_worker_count(const EnvLookup& env, const std::function<size_t()>& cpu_count) {
  const auto clamp = [](uint64_t v) {
    return static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(v, 1), kMaxWorkers));
  };
  if (const auto text = env("RAYON_NUM_THREADS")) {
    if (const auto v = parse_count(*text)) return clamp(*v > 0 ? *v : cpu_count());
  }
  if (const auto text = env("RAYON_RS_NUM_CPUS")) {
    if (const auto v = parse_count(*text); v && *v > 0) return clamp(*v);
  }
  return clamp(cpu_count());
}

std::optional<uint64_t> cgroup_v2_limit(std::string_view cpu_max) {
  const auto f = split_ws(cpu_max);
  if (f.size() != 2 || f[0] == "max") return std::nullopt;
  const auto quota = parse_count(f[0]);
  const auto period = parse_count(f[1]);
  if (!quota || !period || *period == 0) return std::nullopt;
  return std::max<uint64_t>(1, *quota / *period);
}

std::optional<uint64_t> cgroup_v1_limit(std::string_view quota_text, std::string_view period_text) {
  const auto q = split_ws(quota_text);
  const auto p = split_ws(period_text);
  if (q.size() != 1 || p.size() != 1 || q[0].front() == '-') return std::nullopt;  // -1: no quota
  const auto quota = parse_count(q[0]);
  const auto period = parse_count(p[0]);
  if (!quota || !period || *period == 0) return std::nullopt;
  return std::max<uint64_t>(1, *quota / *period);
}

std::optional<uint64_t> cgroup_cpu_limit(const FileReader& read) {
  const auto cgroups = read("/proc/self/cgroup");
  if (!cgroups) return std::nullopt;
  std::vector<Mount> v2, v1;
  if (const auto mountinfo = read("/proc/self/mountinfo")) parse_mountinfo(*mountinfo, v2, v1);
  if (v2.empty()) v2 = {{"/", "/sys/fs/cgroup"}, {"/", "/sys/fs/cgroup/unified"}};
  if (v1.empty()) v1 = {{"/", "/sys/fs/cgroup/cpu"}, {"/", "/sys/fs/cgroup/cpu,cpuacct"}};

  const auto v2_at = [&](const std::string& dir) -> std::optional<uint64_t> {
    const auto text = read(dir + "/cpu.max");
    return text ? cgroup_v2_limit(*text) : std::nullopt;
  };
  const auto v1_at = [&](const std::string& dir) -> std::optional<uint64_t> {
    const auto quota = read(dir + "/cpu.cfs_quota_us");
    if (!quota) return std::nullopt;
    const auto period = read(dir + "/cpu.cfs_period_us");
    return period ? cgroup_v1_limit(*quota, *period) : std::nullopt;
  };

  std::optional<uint64_t> best;
  for (std::string_view line : split_char(*cgroups, '\n')) {
    // hierarchy-id:controllers:path (the path may itself contain ':')
    const size_t a = line.find(':');
    if (a == std::string_view::npos) continue;
    const size_t b = line.find(':', a + 1);
    if (b == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, a);
    const std::string_view controllers = line.substr(a + 1, b - a - 1);
    const std::string_view path = line.substr(b + 1);
    if (path.empty() || path.front() != '/') continue;
    if (id == "0" && controllers.empty()) {
      for (const Mount& m : v2) walk_up(m, path, best, v2_at);
    } else {
      for (std::string_view c : split_char(controllers, ','))
        if (c == "cpu") {
          for (const Mount& m : v1) walk_up(m, path, best, v1_at);
          break;
        }
    }
  }
  return best;
}

size_t cpu_count(size_t affinity, std::optional<uint64_t> cgroup_limit) {
  if (affinity == 0) return 1;
  if (cgroup_limit) return static_cast<size_t>(std::min<uint64_t>(affinity, std::max<uint64_t>(1, *cgroup_limit)));
  return affinity;
}

size_t system_cpu_count() {
  size_t affinity = 0;
  // The mask may be wider than cpu_set_t on very large machines: grow on EINVAL.
  for (size_t ncpu = 1024; ncpu <= (size_t{1} << 20); ncpu *= 2) {
    cpu_set_t* set = CPU_ALLOC(ncpu);
    if (set == nullptr) break;
    const size_t bytes = CPU_ALLOC_SIZE(ncpu);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      affinity = static_cast<size_t>(CPU_COUNT_S(bytes, set));
      CPU_FREE(set);
      break;
    }
    const int err = errno;
    CPU_FREE(set);
    if (err != EINVAL) break;
  }
  if (affinity == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) affinity = static_cast<size_t>(online);
  }
  return cpu_count(affinity, cgroup_cpu_limit(read_whole_file));
}

std::optional<std::string> process_env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

}  // namespace pool_sizing

}  // namespace cladorix
