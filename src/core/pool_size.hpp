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

/// The processors this process may run on: the CPU affinity mask, lowered by a
/// control-group CPU quota (cgroup v2 cpu.max, v1 cpu.cfs_quota_us / cpu.cfs_period_us);
/// at least 1.
std::size_t default_cpu_count();

/// choose_pool_size applied to this process's environment and default_cpu_count().
std::size_t configured_pool_size();

}  // namespace quorvel
