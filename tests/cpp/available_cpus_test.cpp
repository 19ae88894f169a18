#include "util/available_cpus.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <map>
#include <thread>
#include <vector>

namespace synaptor {
namespace {

const char* kHybridCgroup =
    "9:name=systemd:/\n8:pids:/\n4:memory:/x\n2:cpuacct:/\n1:cpu:/batch/job7\n0::/\n";
const char* kHybridMountinfo =
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "33 31 0:30 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
const char* kUnifiedCgroup = "0::/user.slice/session-1.scope\n";
const char* kUnifiedMountinfo =
    "22 1 0:5 / /proc rw - proc proc rw\n"
    "30 22 0:26 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n";

FileReader fake_files(std::map<std::string, std::string> files) {
    return [files = std::move(files)](const std::string& path) -> std::optional<std::string> {
        const auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
}

TEST(AvailableCpus, FindsTheHierarchyHoldingTheCpuController) {
    const auto v1 = cpu_cgroup_membership(kHybridCgroup);
    ASSERT_TRUE(v1.has_value());
    EXPECT_FALSE(v1->v2);
    EXPECT_EQ(v1->path, "/batch/job7");
    const auto combined = cpu_cgroup_membership("3:cpu,cpuacct:/docker/abc\n0::/\n");
    ASSERT_TRUE(combined.has_value());
    EXPECT_EQ(combined->path, "/docker/abc");
    EXPECT_FALSE(combined->v2);
    const auto v2 = cpu_cgroup_membership(kUnifiedCgroup);
    ASSERT_TRUE(v2.has_value());
    EXPECT_TRUE(v2->v2);
    EXPECT_EQ(v2->path, "/user.slice/session-1.scope");
    EXPECT_FALSE(cpu_cgroup_membership("").has_value());
    EXPECT_FALSE(cpu_cgroup_membership("4:memory:/x\n").has_value());
}

TEST(AvailableCpus, ParsesQuotaFiles) {
    EXPECT_EQ(quota_count_from_cpu_max("max 100000\n"), std::nullopt);
    EXPECT_EQ(quota_count_from_cpu_max("150000 100000\n"), std::optional<std::uint64_t>(2));
    EXPECT_EQ(quota_count_from_cpu_max("100000 100000"), std::optional<std::uint64_t>(1));
    EXPECT_EQ(quota_count_from_cpu_max("50000 100000"), std::optional<std::uint64_t>(1));
    EXPECT_EQ(quota_count_from_cpu_max("0 100000"), std::nullopt);
    EXPECT_EQ(quota_count_from_cpu_max("12 zero"), std::nullopt);
    EXPECT_EQ(quota_count_from_cpu_max(""), std::nullopt);
    EXPECT_EQ(quota_count_from_cfs("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(quota_count_from_cfs("250000\n", "100000\n"), std::optional<std::uint64_t>(3));
    EXPECT_EQ(quota_count_from_cfs("250000\n", "0\n"), std::nullopt);
}

TEST(AvailableCpus, ReadsQuotaOfGroupAndItsAncestors) {
    // v2: the quota sits on the parent slice, not on the process's own scope.
    EXPECT_EQ(cgroup_quota_count(
                  kUnifiedCgroup, kUnifiedMountinfo,
                  fake_files({{"/sys/fs/cgroup/user.slice/session-1.scope/cpu.max", "max 100000\n"},
                              {"/sys/fs/cgroup/user.slice/cpu.max", "300000 100000\n"}})),
              std::optional<std::uint64_t>(3));
    // The smallest quota on the way up wins.
    EXPECT_EQ(
        cgroup_quota_count(
            kUnifiedCgroup, kUnifiedMountinfo,
            fake_files({{"/sys/fs/cgroup/user.slice/session-1.scope/cpu.max", "100000 100000\n"},
                        {"/sys/fs/cgroup/user.slice/cpu.max", "300000 100000\n"}})),
        std::optional<std::uint64_t>(1));
    EXPECT_EQ(cgroup_quota_count(kUnifiedCgroup, kUnifiedMountinfo, fake_files({})), std::nullopt);
    // v1 in a hybrid layout.
    EXPECT_EQ(cgroup_quota_count(
                  kHybridCgroup, kHybridMountinfo,
                  fake_files({{"/sys/fs/cgroup/cpu/batch/job7/cpu.cfs_quota_us", "450000"},
                              {"/sys/fs/cgroup/cpu/batch/job7/cpu.cfs_period_us", "100000"}})),
              std::optional<std::uint64_t>(5));
    // A container sees its own group mounted as the root of the hierarchy.
    EXPECT_EQ(cgroup_quota_count("0::/docker/abc\n",
                                 "40 30 0:26 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n",
                                 fake_files({{"/sys/fs/cgroup/cpu.max", "200000 100000\n"}})),
              std::optional<std::uint64_t>(2));
    // Escaped mount points.
    EXPECT_EQ(cgroup_quota_count("0::/\n", "30 22 0:26 / /my\\040cgroup rw - cgroup2 cgroup2 rw\n",
                                 fake_files({{"/my cgroup/cpu.max", "100000 50000"}})),
              std::optional<std::uint64_t>(2));
    EXPECT_EQ(cgroup_quota_count(kHybridCgroup, "", fake_files({})), std::nullopt);
}

TEST(AvailableCpus, CountIsCachedConsistentAndWithinTheAffinityMask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const auto mask = static_cast<std::uint64_t>(CPU_COUNT(&set));
    std::vector<std::uint64_t> seen(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = available_cpu_count(); });
    }
    for (auto& t : threads) t.join();
    for (const std::uint64_t n : seen) {
        EXPECT_EQ(n, seen[0]);
        EXPECT_GE(n, 1u);
        EXPECT_LE(n, mask);
    }
}

}  // namespace
}  // namespace synaptor
