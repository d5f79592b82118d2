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
    run_on_pool([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                          [&](const tbb::blocked_range<std::size_t>& piece) { fn(piece.begin(), piece.end()); });
    });
}

}  // namespace quorvel
