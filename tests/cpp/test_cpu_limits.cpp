#include <gtest/gtest.h>
#include <sched.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "runtime/cpu_limits.hpp"

namespace cladorix {
namespace {

using namespace pool_sizing;

struct FakeEnv {
  std::map<std::string, std::string> vars;
  std::vector<std::string> asked{};
  EnvLookup lookup() {
    return [this](const char* name) -> std::optional<std::string> {
      asked.emplace_back(name);
      auto it = vars.find(name);
      if (it == vars.end()) return std::nullopt;
      return it->second;
    };
  }
};

size_t decide(FakeEnv& env, size_t cpus) {
  return decide_worker_count(env.lookup(), [cpus] { return cpus; });
}

TEST(PoolSize, ParseCountAcceptsOnlyPlainUnsignedDecimals) {
  EXPECT_EQ(parse_count("3"), 3u);
  EXPECT_EQ(parse_count("+4"), 4u);
  EXPECT_EQ(parse_count("007"), 7u);
  EXPECT_EQ(parse_count("0"), 0u);
  EXPECT_EQ(parse_count("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "+", " 4", "4 ", "4x", "-1", "-0", "++4", "0x10",
                          "18446744073709551616", "99999999999999999999", "4\n"})
    EXPECT_EQ(parse_count(bad), std::nullopt) << '"' << bad << '"';
}

TEST(PoolSize, RayonNumThreadsDecidesFirst) {
  FakeEnv env{{{"RAYON_NUM_THREADS", "3"}, {"RAYON_RS_NUM_CPUS", "2"}}};
  EXPECT_EQ(decide(env, 8), 3u);
  env.vars["RAYON_NUM_THREADS"] = "+4";
  EXPECT_EQ(decide(env, 8), 4u);
}

TEST(PoolSize, ZeroMeansTheCpuCountWithoutConsultingTheSecondVariable) {
  FakeEnv env{{{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "2"}}};
  EXPECT_EQ(decide(env, 5), 5u);
  EXPECT_EQ(env.asked, std::vector<std::string>{"RAYON_NUM_THREADS"});
}

TEST(PoolSize, UnsetOrInvalidFallsToRayonRsNumCpus) {
  FakeEnv env{{{"RAYON_RS_NUM_CPUS", "2"}}};
  EXPECT_EQ(decide(env, 5), 2u);
  for (const char* bad : {" 4", "4x", "-1", "", "18446744073709551616"}) {
    env.vars["RAYON_NUM_THREADS"] = bad;
    EXPECT_EQ(decide(env, 5), 2u) << '"' << bad << '"';
  }
}

TEST(PoolSize, SecondVariableZeroOrInvalidMeansTheCpuCount) {
  FakeEnv env;
  EXPECT_EQ(decide(env, 6), 6u);
  env.vars["RAYON_RS_NUM_CPUS"] = "0";
  EXPECT_EQ(decide(env, 6), 6u);
  env.vars["RAYON_RS_NUM_CPUS"] = "two";
  EXPECT_EQ(decide(env, 6), 6u);
}

TEST(PoolSize, ClampedToOneThrough65535) {
  FakeEnv env{{{"RAYON_NUM_THREADS", "100000"}}};
  EXPECT_EQ(decide(env, 2), 65535u);
  env.vars["RAYON_NUM_THREADS"] = "65535";
  EXPECT_EQ(decide(env, 2), 65535u);
  env.vars = {{"RAYON_RS_NUM_CPUS", "18446744073709551615"}};
  EXPECT_EQ(decide(env, 2), 65535u);
  env.vars.clear();
  EXPECT_EQ(decide(env, 70000), 65535u);
  EXPECT_EQ(decide(env, 0), 1u);
}

TEST(PoolSize, CgroupQuotaFiles) {
  EXPECT_EQ(cgroup_v2_limit("max 100000\n"), std::nullopt);
  EXPECT_EQ(cgroup_v2_limit("150000 100000\n"), 1u);
  EXPECT_EQ(cgroup_v2_limit("250000 100000"), 2u);
  EXPECT_EQ(cgroup_v2_limit("50000 100000\n"), 1u);  // a fraction of a CPU still gets one
  EXPECT_EQ(cgroup_v2_limit("100000 0"), std::nullopt);
  EXPECT_EQ(cgroup_v2_limit(""), std::nullopt);
  EXPECT_EQ(cgroup_v1_limit("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(cgroup_v1_limit("400000\n", "100000\n"), 4u);
  EXPECT_EQ(cgroup_v1_limit("150000", "100000"), 1u);
  EXPECT_EQ(cgroup_v1_limit("150000", "garbage"), std::nullopt);
}

struct FakeFs {
  std::map<std::string, std::string> files;
  FileReader reader() {
    return [this](const std::string& path) -> std::optional<std::string> {
      auto it = files.find(path);
      if (it == files.end()) return std::nullopt;
      return it->second;
    };
  }
};

TEST(PoolSize, CgroupV2TakesTheTightestLimitUpTheHierarchy) {
  FakeFs fs{{{"/proc/self/cgroup", "0::/user.slice/app.scope\n"},
             {"/proc/self/mountinfo",
              "24 30 0:22 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n"},
             {"/sys/fs/cgroup/user.slice/app.scope/cpu.max", "max 100000\n"},
             {"/sys/fs/cgroup/user.slice/cpu.max", "250000 100000\n"},
             {"/sys/fs/cgroup/cpu.max", "800000 100000\n"}}};
  EXPECT_EQ(cgroup_cpu_limit(fs.reader()), 2u);
  fs.files["/sys/fs/cgroup/user.slice/app.scope/cpu.max"] = "150000 100000\n";
  EXPECT_EQ(cgroup_cpu_limit(fs.reader()), 1u);
}

TEST(PoolSize, CgroupV1UnderAContainerMountRoot) {
  // Without a cgroup namespace the path names the host's cgroup, while the
  // container sees that cgroup at the mount point itself.
  FakeFs fs{{{"/proc/self/cgroup", "4:memory:/docker/abc\n2:cpu,cpuacct:/docker/abc\n0::/\n"},
             {"/proc/self/mountinfo",
              "40 31 0:37 /docker/abc /sys/fs/cgroup/cpu,cpuacct ro,nosuid - cgroup cgroup "
              "rw,cpu,cpuacct\n"
              "41 31 0:38 /docker/abc /sys/fs/cgroup/memory ro,nosuid - cgroup cgroup rw,memory\n"},
             {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "250000\n"},
             {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}}};
  EXPECT_EQ(cgroup_cpu_limit(fs.reader()), 2u);
  fs.files["/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us"] = "-1\n";
  EXPECT_EQ(cgroup_cpu_limit(fs.reader()), std::nullopt);
}

TEST(PoolSize, CgroupWithoutMountinfoUsesTheUsualPlaces) {
  FakeFs fs{{{"/proc/self/cgroup", "1:cpu:/batch\n"},
             {"/sys/fs/cgroup/cpu/batch/cpu.cfs_quota_us", "300000"},
             {"/sys/fs/cgroup/cpu/batch/cpu.cfs_period_us", "100000"}}};
  EXPECT_EQ(cgroup_cpu_limit(fs.reader()), 3u);

  FakeFs v2{{{"/proc/self/cgroup", "0::/job\n"}, {"/sys/fs/cgroup/job/cpu.max", "200000 100000"}}};
  EXPECT_EQ(cgroup_cpu_limit(v2.reader()), 2u);

  FakeFs none{{{"/proc/self/cgroup", "0::/\n"}}};
  EXPECT_EQ(cgroup_cpu_limit(none.reader()), std::nullopt);
  FakeFs unreadable;
  EXPECT_EQ(cgroup_cpu_limit(unreadable.reader()), std::nullopt);
}

TEST(PoolSize, MountinfoPathsAreUnescaped) {
  FakeFs fs{{{"/proc/self/cgroup", "0::/a\n"},
             {"/proc/self/mountinfo", "24 30 0:22 / /mnt/cg\\040two rw - cgroup2 cgroup2 rw\n"},
             {"/mnt/cg two/a/cpu.max", "300000 100000"}}};
  EXPECT_EQ(cgroup_cpu_limit(fs.reader()), 3u);
}

TEST(PoolSize, CpuCountCombinesAffinityAndQuota) {
  EXPECT_EQ(cpu_count(4, std::nullopt), 4u);
  EXPECT_EQ(cpu_count(4, 2), 2u);
  EXPECT_EQ(cpu_count(2, 16), 2u);
  EXPECT_EQ(cpu_count(4, 0), 1u);
  EXPECT_EQ(cpu_count(0, 3), 1u);  // undeterminable
}

TEST(PoolSize, SystemCpuCountStaysWithinTheAffinityMask) {
  const size_t cpus = pool_sizing::system_cpu_count();
  EXPECT_GE(cpus, 1u);
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_LE(cpus, static_cast<size_t>(CPU_COUNT(&set)));
}

}  // namespace
}  // namespace cladorix
