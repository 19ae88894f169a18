// The CPU count available to this process: a control-group CPU quota (v2
// "cpu.max" or v1 "cpu.cfs_quota_us"/"cpu.cfs_period_us"), capped by the
// affinity mask. The parsing is pure functions over file contents so it can be
// tested with sample files; available_cpu_count() reads the real files once
// per process and caches the quota count.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace synaptor {

/// CPUs available to this process: the control-group quota (computed once per
/// process, thread-safe) capped by the affinity mask, else the affinity mask or
/// the online processor count, at least 1.
std::uint64_t available_cpu_count();

/// The process's group in the hierarchy that holds the cpu controller.
struct CgroupMembership {
    bool v2 = false;  ///< the unified hierarchy ("0::/path")
    std::string path;
};

/// From "/proc/self/cgroup": the v1 hierarchy listing the "cpu" controller if
/// there is one, else the v2 unified hierarchy.
std::optional<CgroupMembership> cpu_cgroup_membership(std::string_view proc_self_cgroup);

/// ceil(quota / period) in f64 from "cpu.max" ("max 100000" or "50000 100000");
/// nothing for an unlimited, zero or malformed quota.
std::optional<std::uint64_t> quota_count_from_cpu_max(std::string_view cpu_max);

/// The same from "cpu.cfs_quota_us" (-1 for unlimited) and "cpu.cfs_period_us".
std::optional<std::uint64_t> quota_count_from_cfs(std::string_view quota_us,
                                                  std::string_view period_us);

/// Reads a whole file; nothing when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

/// The quota count of the process's group: the group's directory is found from
/// "/proc/self/cgroup" and "/proc/self/mountinfo" contents; the group and its
/// ancestors up to the mount are searched (a quota on an enclosing group limits
/// the process too) and the smallest count is returned. Nothing when no
/// quota is set or the files cannot be read.
std::optional<std::uint64_t> cgroup_quota_count(std::string_view proc_self_cgroup,
                                                std::string_view mountinfo,
                                                const FileReader& read_file);

}  // namespace synaptor
