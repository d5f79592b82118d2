// Sizing of the worker pool: environment overrides, CPU affinity and cgroup CPU quota.
#include "core/pool_size.hpp"

#include <sched.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace quorvel {
namespace {

// A signed decimal integer with an optional leading '-', digits only; used for the
// numbers of cgroup files, which the kernel writes without blanks inside.
std::optional<std::int64_t> parse_signed(std::string_view text) {
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    const auto magnitude = parse_thread_count(text);
    if (!magnitude || *magnitude > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
    const auto value = static_cast<std::int64_t>(*magnitude);
    return negative ? -value : value;
}

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<std::size_t> quota_limit(std::int64_t quota, std::int64_t period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const auto q = static_cast<std::uint64_t>(quota);
    const auto p = static_cast<std::uint64_t>(period);
    const std::uint64_t cpus = q / p + (q % p != 0 ? 1 : 0);
    return static_cast<std::size_t>(cpus == 0 ? 1 : cpus);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return text;
}

// Processors in this process's affinity mask. The mask is grown until it is large
// enough for the kernel's CPU numbering (machines with more than CPU_SETSIZE CPUs).
std::optional<std::size_t> affinity_cpu_count() {
    for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
        const int error = errno;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? std::optional<std::size_t>(count) : std::nullopt;
        if (error != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

// This process's cgroup paths, per controller list, from /proc/self/cgroup
// ("hierarchy-id:controllers:path"; the v2 entry has an empty controller list).
struct CgroupPaths {
    std::optional<std::string> unified;  // v2
    std::optional<std::string> cpu;      // v1 hierarchy holding the "cpu" controller
};

CgroupPaths own_cgroup_paths() {
    CgroupPaths paths;
    const auto text = read_file("/proc/self/cgroup");
    if (!text) return paths;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const auto eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view{} : rest.substr(eol + 1);
        const auto first = line.find(':');
        if (first == std::string_view::npos) continue;
        const auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string path(line.substr(second + 1));
        if (controllers.empty()) {
            paths.unified = path;
            continue;
        }
        std::string_view list = controllers;
        while (!list.empty()) {
            const auto comma = list.find(',');
            if (list.substr(0, comma) == "cpu") paths.cpu = path;
            list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        }
    }
    return paths;
}

// The tightest CPU quota among the cgroup directories that may apply to this process:
// its own cgroup (when the hierarchy is visible at that path) and the mount root (what a
// container with its own cgroup namespace sees).
std::optional<std::size_t> cgroup_cpu_limit() {
    const CgroupPaths own = own_cgroup_paths();
    std::optional<std::size_t> limit;
    const auto lower = [&limit](std::optional<std::size_t> found) {
        if (found && (!limit || *found < *limit)) limit = found;
    };

    std::vector<std::string> v2_dirs{"/sys/fs/cgroup"};
    if (own.unified && *own.unified != "/") v2_dirs.push_back("/sys/fs/cgroup" + *own.unified);
    for (const auto& dir : v2_dirs) {
        if (const auto text = read_file(dir + "/cpu.max")) lower(cgroup_v2_cpu_limit(*text));
    }

    std::vector<std::string> v1_dirs{"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"};
    if (own.cpu && *own.cpu != "/") {
        v1_dirs.push_back("/sys/fs/cgroup/cpu" + *own.cpu);
        v1_dirs.push_back("/sys/fs/cgroup/cpu,cpuacct" + *own.cpu);
    }
    for (const auto& dir : v1_dirs) {
        const auto quota = read_file(dir + "/cpu.cfs_quota_us");
        const auto period = read_file(dir + "/cpu.cfs_period_us");
        if (quota && period) lower(cgroup_v1_cpu_limit(*quota, *period));
    }
    return limit;
}

std::optional<std::string_view> env_text(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    std::string_view digits = *text;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    std::size_t value = 0;
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;  // would overflow
        value = value * 10 + digit;
    }
    return value;
}

std::size_t choose_pool_size(std::optional<std::string_view> rayon_num_threads,
                             std::optional<std::string_view> rayon_rs_num_cpus,
                             std::size_t default_count) {
    if (const auto first = parse_thread_count(rayon_num_threads)) {
        // A valid 0 asks for the default explicitly; the second variable is not consulted.
        return *first > 0 ? *first : default_count;
    }
    if (const auto second = parse_thread_count(rayon_rs_num_cpus); second && *second > 0)
        return *second;
    return default_count;
}

std::optional<std::size_t> cgroup_v2_cpu_limit(std::string_view cpu_max) {
    const std::string_view text = trim(cpu_max);
    const auto space = text.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const std::string_view quota = text.substr(0, space);
    if (quota == "max") return std::nullopt;
    const auto q = parse_signed(quota);
    const auto p = parse_signed(text.substr(space + 1));
    if (!q || !p) return std::nullopt;
    return quota_limit(*q, *p);
}

std::optional<std::size_t> cgroup_v1_cpu_limit(std::string_view quota, std::string_view period) {
    const auto q = parse_signed(trim(quota));
    const auto p = parse_signed(trim(period));
    if (!q || !p) return std::nullopt;
    return quota_limit(*q, *p);  // the quota -1 (no limit) gives nothing here
}

std::size_t default_cpu_count() {
    std::size_t count = affinity_cpu_count().value_or(1);
    if (const auto limit = cgroup_cpu_limit(); limit && *limit < count) count = *limit;
    return count == 0 ? 1 : count;
}

std::size_t configured_pool_size() {
    return choose_pool_size(env_text("RAYON_NUM_THREADS"), env_text("RAYON_RS_NUM_CPUS"),
                            default_cpu_count());
}

}  // namespace quorvel
