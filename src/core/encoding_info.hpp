// The learned encoding of one input: which columns held text and their code tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/hash_map.hpp"
#include "core/sorted_map.hpp"
#include "core/text_store.hpp"

namespace quorvel {

class TableLookups;

/// A column's code table: each distinct text to its code; missing-value markers map to no
/// code. In byte order of the texts, which are views into a TextStore owned by whoever
/// holds the table.
using CodeTable = SortedMap<std::string_view, std::optional<std::uint64_t>>;

/// A column's decode map: the inverse of the coded entries of its code table, in code
/// order; its texts are views into the same store as the table's.
using DecodeMap = SortedMap<std::uint64_t, std::string_view>;

/// What one encode learned. A plain value: built once, then replaced whole by its holder.
/// It owns every text of its maps through `texts`, so it moves but is never copied.
struct EncodingInfo {
    /// Positions (not labels) of the text columns, ascending when built by encoding.
    std::vector<std::size_t> object_columns;
    /// Column position to that column's code table.
    FlatMap<std::size_t, CodeTable> encode_maps;
    /// Column position to that column's decode map.
    FlatMap<std::size_t, DecodeMap> decode_maps;
    /// The storage of all texts of both kinds of map.
    TextStore texts;
    /// Hash lookups of the code tables, built when rows are first coded with them and
    /// kept for later calls: they view `texts`, so they live and move with it. Not part
    /// of what was learned (never written, never compared).
    mutable std::shared_ptr<TableLookups> lookups;
};

/// The encoding strategy; `Label` is its only member (serial index 0).
enum class EncodingStrategy : std::uint32_t { Label = 0 };

}  // namespace quorvel
