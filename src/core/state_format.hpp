// The persisted state of an Encoder: a flat little-endian byte layout.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/encoding_info.hpp"

namespace quorvel {

struct EncoderState {
    std::optional<EncodingInfo> encoding_info;
    EncodingStrategy encoding_strat = EncodingStrategy::Label;
};

/// The exact length of the state bytes of an encoder.
std::size_t state_size(const EncoderState& state);

/// Writes the state bytes of an encoder into the buffer that `allocate(size)` returns:
/// called once, on the calling thread, with the exact size, once it is known. Large
/// states are sized and written in parallel on the worker pool. Map entries are sorted by
/// key so that equal encoders write equal bytes.
void write_state(const EncoderState& state, const std::function<char*(std::size_t)>& allocate);

/// Writes the state bytes of an encoder into `out`, whose size must be state_size(state):
/// map entries sorted by key so that equal encoders write equal bytes.
void write_state(const EncoderState& state, std::span<char> out);

/// The state bytes of an encoder in a new string, allocated once at the exact size.
std::string write_state(const EncoderState& state);

/// Reads a state; on failure returns the error text (e.g. "io error: unexpected end of
/// file"). Trailing bytes after the strategy index are ignored.
std::variant<EncoderState, std::string> read_state(std::string_view bytes);

}  // namespace quorvel
