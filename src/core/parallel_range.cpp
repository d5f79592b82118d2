// Splitting a range of indices over the worker pool.
#include "core/parallel_range.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/worker_pool.hpp"

namespace quorvel {

void for_each_range(std::size_t count, std::size_t min_parallel,
                    const std::function<void(std::size_t, std::size_t)>& fn) {
    if (count == 0) return;
    if (count < min_parallel) return fn(0, count);
    // Each index is a task of its own (callers pass coarse items: blocks of megabytes,
    // stretches of many rows, whole columns). A worker then holds one item at a time, so
    // when the system stops it for a while, the other workers take every item left; with
    // the range cut into a few large pieces they would wait for the rest of its piece.
    run_on_pool([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, count, 1),
            [&](const tbb::blocked_range<std::size_t>& piece) { fn(piece.begin(), piece.end()); },
            tbb::simple_partitioner{});
    });
}

}  // namespace quorvel
