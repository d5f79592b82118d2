// Checks that texts are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

/// Whether every byte of `text` is below 0x80 (ASCII text is UTF-8 as it stands).
bool is_ascii(std::string_view text) noexcept;

/// Nothing when `text` is well-formed UTF-8 (the byte sequences of Unicode scalar values:
/// no overlong forms, no surrogates, nothing above U+10FFFF); otherwise what is wrong and
/// where: the offset of the bad sequence's first byte and, for a bad sequence, the length
/// of its longest valid prefix (at least 1). A text that ends inside a sequence that was
/// valid so far is "incomplete" instead.
std::optional<std::string> utf8_error(std::string_view text);

/// Whether `byte` continues a UTF-8 sequence (10xxxxxx): no character starts there.
inline bool continues_utf8(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace quorvel
