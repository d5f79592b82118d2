// Sizing of the worker pool from the environment and the processors the process may use.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quorvel {

/// Parses an unsigned decimal thread count: an optional leading "+", then digits only,
/// no blanks, no overflow. Returns nothing for an invalid or absent text.
std::optional<std::size_t> parse_thread_count(std::optional<std::string_view> text);

/// The pool size from the two variables' texts (absent when unset) and the default count:
/// RAYON_NUM_THREADS if valid and above 0; its valid 0 means the default without looking
/// further; otherwise RAYON_RS_NUM_CPUS if valid and above 0; otherwise the default.
std::size_t choose_pool_size(std::optional<std::string_view> rayon_num_threads,
                             std::optional<std::string_view> rayon_rs_num_cpus,
                             std::size_t default_count);

/// The CPU limit of a cgroup v2 `cpu.max` text ("max 100000" or "quota period"):
/// ceil(quota / period), at least 1; nothing for "max" or an unreadable text.
std::optional<std::size_t> cgroup_v2_cpu_limit(std::string_view cpu_max);

/// The CPU limit of cgroup v1 `cpu.cfs_quota_us` and `cpu.cfs_period_us` texts:
/// ceil(quota / period), at least 1; nothing for a quota of -1 or unreadable texts.
std::optional<std::size_t> cgroup_v1_cpu_limit(std::string_view quota, std::string_view period);

/// The processors this process may run on: the CPU affinity mask, lowered by a
/// control-group CPU quota (cgroup v2 cpu.max, v1 cpu.cfs_quota_us / cpu.cfs_period_us);
/// at least 1.
std::size_t default_cpu_count();

/// choose_pool_size applied to this process's environment and default_cpu_count().
std::size_t configured_pool_size();

}  // namespace quorvel
