#include "util/available_cpus.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <vector>

#include "util/projection_geometry.hpp"

namespace synaptor {
namespace {

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = s.find(sep, start);
        parts.push_back(s.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::string_view trim(std::string_view s) {
    const auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && ws(s.front())) s.remove_prefix(1);
    while (!s.empty() && ws(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<std::int64_t> parse_int(std::string_view s) {
    s = trim(s);
    std::int64_t v = 0;
    const auto res = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || res.ec != std::errc() || res.ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<std::uint64_t> quota_count(std::int64_t quota, std::int64_t period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return saturating_u64(std::ceil(static_cast<double>(quota) / static_cast<double>(period)));
}

/// Mount points escape space, tab, newline and backslash as three octal digits.
std::string unescape_mount_path(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const auto o = [&](std::size_t k) { return s[i + k] >= '0' && s[i + k] <= '7'; };
            if (o(1) && o(2) && o(3)) {
                out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 +
                                         (s[i + 3] - '0'));
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

struct CgroupMount {
    std::string root;
    std::string mount_point;
};

/// The mount of the hierarchy: "cgroup2", or "cgroup" with the cpu super option.
std::optional<CgroupMount> find_mount(std::string_view mountinfo, bool v2) {
    for (std::string_view line : split(mountinfo, '\n')) {
        const std::vector<std::string_view> fields = split(trim(line), ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (dash == fields.end() || dash - fields.begin() < 5 || fields.end() - dash < 4) continue;
        const std::string_view fstype = dash[1];
        if (v2) {
            if (fstype != "cgroup2") continue;
        } else {
            if (fstype != "cgroup") continue;
            const std::vector<std::string_view> opts = split(dash[3], ',');
            if (std::find(opts.begin(), opts.end(), "cpu") == opts.end()) continue;
        }
        return CgroupMount{unescape_mount_path(fields[3]), unescape_mount_path(fields[4])};
    }
    return std::nullopt;
}

}  // namespace

std::optional<CgroupMembership> cpu_cgroup_membership(std::string_view proc_self_cgroup) {
    std::optional<CgroupMembership> unified;
    for (std::string_view line : split(proc_self_cgroup, '\n')) {
        // hierarchy-id:controller-list:path; the path may itself contain ':'.
        const std::size_t c1 = line.find(':');
        if (c1 == std::string_view::npos) continue;
        const std::size_t c2 = line.find(':', c1 + 1);
        if (c2 == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, c1);
        const std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
        const std::string path(trim(line.substr(c2 + 1)));
        if (id == "0" && controllers.empty()) {
            unified = CgroupMembership{true, path};
            continue;
        }
        const std::vector<std::string_view> names = split(controllers, ',');
        if (std::find(names.begin(), names.end(), "cpu") != names.end()) {
            return CgroupMembership{false, path};
        }
    }
    return unified;
}

std::optional<std::uint64_t> quota_count_from_cpu_max(std::string_view cpu_max) {
    const std::vector<std::string_view> parts = split(trim(cpu_max), ' ');
    if (parts.size() != 2 || parts[0] == "max") return std::nullopt;
    const auto quota = parse_int(parts[0]);
    const auto period = parse_int(parts[1]);
    if (!quota || !period) return std::nullopt;
    return quota_count(*quota, *period);
}

std::optional<std::uint64_t> quota_count_from_cfs(std::string_view quota_us,
                                                  std::string_view period_us) {
    const auto quota = parse_int(quota_us);
    const auto period = parse_int(period_us);
    if (!quota || !period) return std::nullopt;
    return quota_count(*quota, *period);
}

std::optional<std::uint64_t> cgroup_quota_count(std::string_view proc_self_cgroup,
                                                std::string_view mountinfo,
                                                const FileReader& read_file) {
    const std::optional<CgroupMembership> group = cpu_cgroup_membership(proc_self_cgroup);
    if (!group) return std::nullopt;
    const std::optional<CgroupMount> mount = find_mount(mountinfo, group->v2);
    if (!mount) return std::nullopt;
    // The group path is relative to the hierarchy's root; below a mount of a
    // subtree (a container) only the part under the mount's root is visible.
    std::string relative = group->path;
    if (mount->root != "/" && relative.compare(0, mount->root.size(), mount->root) == 0) {
        relative = relative.substr(mount->root.size());
    }
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    std::optional<std::uint64_t> best;
    for (;;) {
        const std::string dir = mount->mount_point + relative;
        std::optional<std::uint64_t> count;
        if (group->v2) {
            if (auto content = read_file(dir + "/cpu.max"))
                count = quota_count_from_cpu_max(*content);
        } else {
            auto quota = read_file(dir + "/cpu.cfs_quota_us");
            auto period = read_file(dir + "/cpu.cfs_period_us");
            if (quota && period) count = quota_count_from_cfs(*quota, *period);
        }
        if (count && (!best || *count < *best)) best = count;
        const std::size_t slash = relative.rfind('/');
        if (relative.empty() || slash == std::string::npos) break;
        relative.erase(slash);
    }
    return best;
}

namespace {

std::optional<std::string> read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content;
    // Bounded: these are small kernel files; a huge mountinfo is cut, not slurped.
    constexpr std::size_t kMax = std::size_t{1} << 22;
    char buf[4096];
    while (in && content.size() < kMax) {
        in.read(buf, sizeof buf);
        content.append(buf, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) return std::nullopt;
    return content;
}

std::uint64_t affinity_or_online_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::uint64_t>(n);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::uint64_t>(online) : 1;
}

std::optional<std::uint64_t> compute_quota_limit() {
    const auto cgroup = read_whole_file("/proc/self/cgroup");
    const auto mountinfo = read_whole_file("/proc/self/mountinfo");
    if (!cgroup || !mountinfo) return std::nullopt;
    const std::optional<std::uint64_t> quota =
        cgroup_quota_count(*cgroup, *mountinfo, read_whole_file);
    if (!quota) return std::nullopt;
    return std::max<std::uint64_t>(1, std::min(*quota, affinity_or_online_count()));
}

}  // namespace

std::uint64_t available_cpu_count() {
    // The one process-wide cache: computed once; concurrent first callers wait
    // for that computation (function-local static initialization).
    static const std::optional<std::uint64_t> quota_limit = compute_quota_limit();
    if (quota_limit) return *quota_limit;
    return affinity_or_online_count();
}

}  // namespace synaptor
