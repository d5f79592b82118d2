// The learned encoding of one input: which columns held text and their code tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/hash_map.hpp"

namespace quorvel {

/// A column's code table: each distinct text to its code; missing-value markers map to no code.
using CodeTable = FlatMap<std::string, std::optional<std::uint64_t>>;

/// A column's decode map: the inverse of the coded entries of its code table.
using DecodeMap = FlatMap<std::uint64_t, std::string>;

/// What one encode learned. A plain value: built once, then replaced whole by its holder.
struct EncodingInfo {
    /// Positions (not labels) of the text columns, ascending when built by encoding.
    std::vector<std::size_t> object_columns;
    /// Column position to that column's code table.
    FlatMap<std::size_t, CodeTable> encode_maps;
    /// Column position to that column's decode map.
    FlatMap<std::size_t, DecodeMap> decode_maps;
};

/// The encoding strategy; `Label` is its only member (serial index 0).
enum class EncodingStrategy : std::uint32_t { Label = 0 };

}  // namespace quorvel
