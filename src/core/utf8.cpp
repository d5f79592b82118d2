// Checks that texts are UTF-8.
#include "core/utf8.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorvel {

bool is_ascii(std::string_view text) noexcept {
    const char* at = text.data();
    const std::size_t n = text.size();
    // Four words at a time, their high bits gathered: one test per 32 bytes.
    constexpr std::uint64_t high_bits = 0x8080808080808080u;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t words[4];
        std::memcpy(words, at + i, sizeof words);
        if (((words[0] | words[1] | words[2] | words[3]) & high_bits) != 0) return false;
    }
    std::uint64_t high = 0;
    for (; i < n; ++i) high |= static_cast<unsigned char>(at[i]);
    return (high & high_bits) == 0;
}

std::optional<std::string> utf8_error(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII runs eight bytes at a time, up to the first byte that is not ASCII.
        while (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            const std::uint64_t high = word & 0x8080808080808080u;
            if (high != 0) {
                const int bits = std::endian::native == std::endian::little ? std::countr_zero(high) : std::countl_zero(high);
                i += static_cast<std::size_t>(bits) / 8;
                break;
            }
            i += 8;
        }
        if (i == n) break;
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char second_lo = 0x80, second_hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) second_lo = 0xA0;  // overlong below U+0800
            if (lead == 0xED) second_hi = 0x9F;  // surrogates U+D800..U+DFFF
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) second_lo = 0x90;  // overlong below U+10000
            if (lead == 0xF4) second_hi = 0x8F;  // beyond U+10FFFF
        } else {
            // Stray continuation byte, C0/C1 (always overlong) or F5..FF.
            return "invalid utf-8 sequence of 1 bytes from index " + std::to_string(i);
        }
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= n) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
            const unsigned char lo = k == 1 ? second_lo : 0x80;
            const unsigned char hi = k == 1 ? second_hi : 0xBF;
            if (bytes[i + k] < lo || bytes[i + k] > hi)
                return "invalid utf-8 sequence of " + std::to_string(k) + " bytes from index " +
                       std::to_string(i);
        }
        i += length;
    }
    return std::nullopt;
}

}  // namespace quorvel
