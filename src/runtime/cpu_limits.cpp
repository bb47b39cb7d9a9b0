#include "runtime/cpu_limits.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace cladorix {

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
      out.push_back(
          static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
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
void walk_up(const Mount& m, std::string_view path, std::optional<uint64_t>& best,
             LimitAt limit_at) {
  std::string rel;
  if (m.root == "/") {
    rel = path;
  } else if (path == m.root || (path.substr(0, m.root.size()) == m.root &&
                                path.size() > m.root.size() && path[m.root.size()] == '/')) {
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
  if (cgroup_limit)
    return static_cast<size_t>(std::min<uint64_t>(affinity, std::max<uint64_t>(1, *cgroup_limit)));
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
