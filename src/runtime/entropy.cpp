#include "runtime/entropy.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "util/errors.hpp"
#include "util/texts.hpp"

namespace cladorix {

namespace {

[[noreturn]] void entropy_failed(const std::string& what) { fail(texts::kEntropyFailed + what); }

[[noreturn]] void entropy_failed_errno(int err) {
  char text[256];
  const char* msg = strerror_r(err, text, sizeof text);
  entropy_failed(std::string(msg) + " (os error " + std::to_string(err) + ")");
}

// Fills dst completely from `read_some`, which returns what read(2) returns.
// EINTR retries; any other error, or a read that makes no progress, fails.
template <typename ReadSome>
void fill_exact(unsigned char* dst, size_t len, ReadSome read_some) {
  while (len > 0) {
    const long got = read_some(dst, len);
    if (got < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      entropy_failed_errno(err);
    }
    if (got == 0 || size_t(got) > len) entropy_failed("unexpected situation");
    dst += got;
    len -= size_t(got);
  }
}

long sys_getrandom(void* dst, size_t len) { return syscall(SYS_getrandom, dst, len, 0u); }

// Which route this process uses; decided once by an empty getrandom request.
enum : int { kRouteUnknown = 0, kRouteSyscall = 1, kRouteDevices = 2 };
std::atomic<int> g_entropy_route{kRouteUnknown};

bool use_getrandom() {
  int route = g_entropy_route.load(std::memory_order_relaxed);
  if (route == kRouteUnknown) {
    unsigned char probe = 0;
    const long r = sys_getrandom(&probe, 0);
    const bool missing = r < 0 && (errno == ENOSYS || errno == EPERM);
    route = missing ? kRouteDevices : kRouteSyscall;
    g_entropy_route.store(route, std::memory_order_relaxed);
  }
  return route == kRouteSyscall;
}

std::mutex g_device_mutex;
std::atomic<int> g_urandom_fd{-1};

int open_readonly(const char* path) {
  for (;;) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    const int err = errno;
    if (err != EINTR) entropy_failed_errno(err);
  }
}

// /dev/urandom never blocks, even before the kernel's pool is seeded, so wait
// once for /dev/random to become readable first.
void wait_until_pool_seeded() {
  const int fd = open_readonly("/dev/random");
  pollfd pfd{fd, POLLIN, 0};
  for (;;) {
    if (poll(&pfd, 1, -1) >= 0) break;
    const int err = errno;
    if (err == EINTR || err == EAGAIN) continue;
    close(fd);
    entropy_failed_errno(err);
  }
  close(fd);
}

// The process keeps one /dev/urandom descriptor for good.
int urandom_fd() {
  int fd = g_urandom_fd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  std::lock_guard<std::mutex> lock(g_device_mutex);
  fd = g_urandom_fd.load(std::memory_order_relaxed);
  if (fd >= 0) return fd;
  wait_until_pool_seeded();
  fd = open_readonly("/dev/urandom");
  g_urandom_fd.store(fd, std::memory_order_release);
  return fd;
}

}  // namespace

namespace random_detail {

void fill_from_device_files(unsigned char* dst, size_t len) {
  const int fd = urandom_fd();
  fill_exact(dst, len, [fd](unsigned char* p, size_t n) { return long(read(fd, p, n)); });
}

}  // namespace random_detail

void fill_entropy(unsigned char* dst, size_t len) {
  if (use_getrandom()) {
    fill_exact(dst, len, [](unsigned char* p, size_t n) { return sys_getrandom(p, n); });
  } else {
    random_detail::fill_from_device_files(dst, len);
  }
}

}  // namespace cladorix
