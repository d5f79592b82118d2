// The persisted state of an Encoder: a flat little-endian byte layout.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/encoding_info.hpp"

namespace quorvel {

struct EncoderState {
    std::optional<EncodingInfo> encoding_info;
    EncodingStrategy encoding_strat = EncodingStrategy::Label;
};

/// The state bytes of an encoder: allocated once at the exact size, map entries sorted
/// by key so that equal encoders write equal bytes.
std::string write_state(const EncoderState& state);

/// Reads a state; on failure returns the error text (e.g. "io error: unexpected end of
/// file"). Trailing bytes after the strategy index are ignored.
std::variant<EncoderState, std::string> read_state(std::string_view bytes);

}  // namespace quorvel
