// Byte order of texts, eight bytes at a time: for sorts and merges of many short texts.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_reduce.h>

#include "core/row_loop.hpp"

namespace quorvel {

/// The first eight bytes of a text as a number that orders as the bytes do (missing bytes
/// as zeros): texts whose numbers differ are ordered by them.
inline std::uint64_t leading_bytes(std::string_view text) noexcept {
    static_assert(std::endian::native == std::endian::little, "bytes are loaded as a little-endian number");
    std::uint64_t value = 0;
    if (text.size() >= 8) {
        std::memcpy(&value, text.data(), 8);
    } else {
        for (std::size_t k = 0; k < text.size(); ++k) value |= std::uint64_t{static_cast<unsigned char>(text[k])} << (8 * k);
    }
    return __builtin_bswap64(value);
}

/// Whether text a comes before text b in byte order (unsigned bytes, a proper prefix
/// first), given that they agree on their first `from` bytes. Compares eight bytes at a
/// time, inline: sorts of identifiers that share a stem would otherwise call memcmp on
/// most comparisons.
inline bool below_from(std::string_view a, std::string_view b, std::size_t from) noexcept {
    for (std::size_t at = from;; at += 8) {
        // Past the end of either: the shorter one is a prefix of the other, or equal.
        if (at >= a.size() || at >= b.size()) return a.size() < b.size();
        const std::uint64_t x = leading_bytes(a.substr(at)), y = leading_bytes(b.substr(at));
        if (x != y) return x < y;
    }
}

/// How many of the first `shared` bytes of `first` the texts text(begin) .. text(end - 1)
/// all begin with: sorts key their texts after the bytes that all of them share.
template <class TextAt>
std::size_t shared_with(std::string_view first, std::size_t shared, std::size_t begin, std::size_t end,
                        const TextAt& text) {
    for (std::size_t k = begin; k < end && shared != 0; ++k) {
        const std::string_view other = text(k);
        const std::size_t limit = std::min(shared, other.size());
        shared = static_cast<std::size_t>(std::mismatch(first.begin(), first.begin() + limit, other.begin()).first - first.begin());
    }
    return shared;
}

/// Sort keys of texts that use few distinct byte values (hex digits, decimal digits, a
/// small alphabet): each byte is replaced by its rank among the byte values in use and
/// packed in as few bits as the ranks need, so one 64-bit key holds more than eight
/// bytes of a text (sixteen hexadecimal digits instead of eight). Keys order texts as
/// their bytes do wherever they differ; texts with equal keys agree on their first
/// span() bytes, or the longer one goes on from where the shorter ends with the smallest
/// byte in use up to there (as leading_bytes is for texts with NUL bytes).
class PackedKeys {
public:
    /// How far into each text the byte values are gathered: no key spans more.
    static constexpr std::size_t window = 16;

    /// Byte values in use: a flag per value (plain stores, no read of what was there).
    using ByteSet = std::array<std::uint8_t, 256>;

    /// Adds the byte values among the first `window` bytes of `text` to `seen`.
    static void gather(std::string_view text, ByteSet& seen) noexcept {
        const std::size_t n = std::min(text.size(), window);
        for (std::size_t i = 0; i < n; ++i) seen[static_cast<unsigned char>(text[i])] = 1;
    }

    /// Keys for texts whose first `window` bytes use only the byte values in `seen`.
    explicit PackedKeys(const ByteSet& seen) noexcept {
        unsigned used = 0;
        for (unsigned byte = 0; byte < 256; ++byte) {
            if (seen[byte] != 0) rank_[byte] = static_cast<std::uint8_t>(used++);
        }
        // A shorter text is padded with rank 0, the smallest byte in use, as leading bytes
        // pad with zeros: a text still sorts before its extensions, and equal keys leave
        // the rest to the full comparison.
        bits_ = std::max(1u, static_cast<unsigned>(std::bit_width(used == 0 ? 0u : used - 1)));
        // Packing pays only where it gains two bytes or more over plain leading bytes.
        if (bits_ > 6) bits_ = 8;
        span_ = bits_ == 8 ? 8 : std::min<std::size_t>(window, 64 / bits_);
    }

    /// Bytes of a text that its key covers.
    std::size_t span() const noexcept { return span_; }

    /// The key of `text`, which uses only the byte values these keys were made for among
    /// its first span() bytes.
    std::uint64_t key(std::string_view text) const noexcept {
        if (bits_ == 8) return leading_bytes(text);
        const std::size_t n = std::min(text.size(), span_);
        if (n == 0) return 0;
        std::uint64_t key = 0;
        for (std::size_t i = 0; i < n; ++i) key = key << bits_ | rank_[static_cast<unsigned char>(text[i])];
        return key << (bits_ * (span_ - n));
    }

private:
    std::array<std::uint8_t, 256> rank_{};  // of each byte value in use
    unsigned bits_ = 8;
    std::size_t span_ = 8;
};

/// The packed keys for the texts text(0) .. text(n - 1), their byte values gathered on
/// the pool when they are many (call it from pool work then).
template <class TextAt>
PackedKeys packed_keys_of(std::size_t n, const TextAt& text) {
    const auto gather = [&](std::size_t begin, std::size_t end, PackedKeys::ByteSet seen) {
        for (std::size_t i = begin; i < end; ++i) PackedKeys::gather(text(i), seen);
        return seen;
    };
    if (n < parallel_rows_min) return PackedKeys(gather(0, n, {}));
    return PackedKeys(tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, n, row_grain), PackedKeys::ByteSet{},
        [&](const tbb::blocked_range<std::size_t>& r, PackedKeys::ByteSet seen) { return gather(r.begin(), r.end(), seen); },
        [](PackedKeys::ByteSet a, const PackedKeys::ByteSet& b) {
            for (std::size_t v = 0; v < a.size(); ++v) a[v] |= b[v];
            return a;
        }));
}

}  // namespace quorvel
