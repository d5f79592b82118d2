// Byte order of texts, eight bytes at a time: for sorts and merges of many short texts.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

}  // namespace quorvel
