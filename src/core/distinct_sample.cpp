// Estimates from a sample of rows: s draws from K equally frequent texts hold about s²/2K
// duplicate pairs.
#include "core/distinct_sample.hpp"

#include <algorithm>

// The sample's hashes are computed inline.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace quorvel {
namespace {

constexpr std::size_t sample_size = 4096;
// Fewer rows are not sampled: a sample would hold most of them.
constexpr std::size_t sampled_rows_min = std::size_t{1} << 15;

template <class Column>
std::vector<std::uint64_t> sample_of(const Column& values, std::size_t begin, std::size_t end, std::uint64_t seed) {
    const std::size_t n = end - begin;
    if (n < sampled_rows_min) return {};
    std::vector<std::uint64_t> sample(sample_size);
    const std::size_t step = n / sample_size;
    for (std::size_t i = 0; i < sample_size; ++i) {
        const std::string_view text = values[begin + i * step];
        sample[i] = XXH3_64bits_withSeed(text.data(), text.size(), seed);
    }
    std::sort(sample.begin(), sample.end());
    return sample;
}

}  // namespace

std::vector<std::uint64_t> sorted_sample(const TextColumn& values, std::size_t begin, std::size_t end,
                                         std::uint64_t seed) {
    return sample_of(values, begin, end, seed);
}

std::vector<std::uint64_t> sorted_sample(const BorrowedTexts& values, std::size_t begin, std::size_t end,
                                         std::uint64_t seed) {
    return sample_of(values, begin, end, seed);
}

std::size_t estimated_distinct(const std::vector<std::uint64_t>& sample, std::size_t rows) {
    constexpr std::size_t worth_reserving = std::size_t{1} << 16;
    if (sample.empty() || rows < 4 * worth_reserving) return 0;
    // A text drawn more than three times is frequent (a missing marker, a default): at
    // the sizes worth reserving for, evenly drawn texts almost never are. Frequent texts
    // count once each and stay out of the pairs, which they would swell by the square of
    // their draws: 1% of missing rows alone would cut the estimate by a third.
    std::size_t frequent = 0, drawn = 0, pairs = 0;
    for (std::size_t i = 0; i < sample.size();) {
        std::size_t j = i + 1;
        while (j < sample.size() && sample[j] == sample[i]) ++j;
        const std::size_t draws = j - i;
        if (draws > 3) {
            ++frequent;
        } else {
            drawn += draws;
            pairs += draws * (draws - 1) / 2;
        }
        i = j;
    }
    const std::size_t estimate = frequent + drawn * drawn / (2 * std::max<std::size_t>(pairs, 1));
    return estimate < worth_reserving ? 0 : std::min(rows, estimate);
}

// A few frequent texts (a missing marker, a default) would make the estimate above small,
// so they are set aside: the rest of the sample must be mostly texts drawn once, with few
// enough pairs for half the rows or more to be distinct.
bool nearly_unique(const std::vector<std::uint64_t>& sample, std::size_t rows) {
    if (sample.empty()) return false;
    std::size_t singles = 0, pairs = 0;
    for (std::size_t i = 0; i < sample.size();) {
        std::size_t j = i + 1;
        while (j < sample.size() && sample[j] == sample[i]) ++j;
        singles += j - i == 1;
        pairs += j - i == 2;
        i = j;
    }
    if (2 * singles < sample.size()) return false;
    const std::size_t drawn = singles + 2 * pairs;  // draws of texts seen at most twice
    return drawn * drawn / (2 * std::max<std::size_t>(pairs, 1)) >= rows / 2;
}

}  // namespace quorvel
