// What an even sample of a column's rows tells about its distinct texts: how many there
// are, and whether nearly every row holds a text of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/borrowed_texts.hpp"
#include "core/text_column.hpp"

namespace quorvel {

/// The seeded hashes of an even sample of rows begin..end-1, sorted, so that equal texts
/// lie side by side; empty when the rows are too few for a sample to tell much.
std::vector<std::uint64_t> sorted_sample(const TextColumn& values, std::size_t begin, std::size_t end,
                                         std::uint64_t seed);
std::vector<std::uint64_t> sorted_sample(const BorrowedTexts& values, std::size_t begin, std::size_t end,
                                         std::uint64_t seed);

/// The number of distinct texts among `rows` rows, estimated from their sample, or 0 when
/// they are fewer than 2^18 or the estimate is low: growing a map then costs little,
/// while a map sized too large costs cache misses on every probe.
std::size_t estimated_distinct(const std::vector<std::uint64_t>& sample, std::size_t rows);

/// Whether at least half of `rows` rows hold texts that no other row holds, or nearly
/// none does, as their sample tells. Such rows cost less sorted one by one, equal texts
/// then side by side, than first deduplicated through a hash set.
bool nearly_unique(const std::vector<std::uint64_t>& sample, std::size_t rows);

}  // namespace quorvel
