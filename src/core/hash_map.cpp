// Seeds and hash functions for the project's hash maps.
#include "core/hash_map.hpp"

#include <atomic>
#include <random>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace quorvel {

std::uint64_t fresh_hash_seed() {
    // One random base per process, then a counter mixed through XXH3: cheap for the
    // many small maps of one encode call, and still a distinct seed for every map.
    static const std::uint64_t base = [] {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
    }();
    static std::atomic<std::uint64_t> counter{0};
    const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
    return XXH3_64bits_withSeed(&n, sizeof n, base);
}

std::size_t SeededHash::operator()(std::string_view text) const noexcept {
    return XXH3_64bits_withSeed(text.data(), text.size(), seed);
}

std::size_t SeededHash::operator()(std::uint64_t value) const noexcept {
    return XXH3_64bits_withSeed(&value, sizeof value, seed);
}

}  // namespace quorvel
