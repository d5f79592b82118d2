// Loops over the rows of a column, split over the worker pool when they are many.
#pragma once

#include <cstddef>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

namespace quorvel {

/// Below this many rows a loop runs in one piece: splitting it costs more in task
/// overhead than it saves.
inline constexpr std::size_t parallel_rows_min = std::size_t{1} << 15;
/// The rows of one piece of a split loop.
inline constexpr std::size_t row_grain = std::size_t{1} << 12;

/// Calls body(begin, end) for pieces [begin, end) that together cover [0, n) once: split
/// over the pool (tbb::parallel_for, for code running as pool work) when n is at least
/// parallel_rows_min, else in one piece on this thread, which then calls no oneTBB code.
template <class Body>
void for_range(std::size_t n, Body&& body) {
    if (n >= parallel_rows_min) {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, row_grain),
                          [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    } else {
        body(0, n);
    }
}

}  // namespace quorvel
