// Splitting a range of indices over the worker pool.
#pragma once

#include <cstddef>
#include <functional>

namespace quorvel {

/// Calls fn(begin, end) for pieces [begin, end) that together cover [0, count) once, on
/// the worker pool when the range is at least `min_parallel` long (one index per piece,
/// so an index should stand for a sizeable piece of work), else on this thread in one
/// piece. For the calling thread, not for pool tasks. Rethrows as run_on_pool.
void for_each_range(std::size_t count, std::size_t min_parallel,
                    const std::function<void(std::size_t, std::size_t)>& fn);

}  // namespace quorvel
