// A column's decode map: code to text, kept as one array sorted by code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel {

/// The inverse of the coded entries of a code table. The texts are views into the store
/// that owns the table's texts.
///
/// The entries sit in one array in code order. A map learned by encoding holds the codes
/// 0..k-1, so a code is its own index; walking the codes (decoding a column, writing the
/// state) reads the entries, and their texts, front to back; and an entry costs its
/// 24 bytes, with no empty slots as in a hash table.
class DecodeMap {
public:
    using value_type = std::pair<std::uint64_t, std::string_view>;
    using const_iterator = std::vector<value_type>::const_iterator;

    DecodeMap() = default;
    /// From entries in any order. Of entries with the same code, the last one is kept.
    explicit DecodeMap(std::vector<value_type> entries);

    /// Adds an entry whose code is above every code held so far; building in code order
    /// needs no sort.
    void push_back(std::uint64_t code, std::string_view text);
    void reserve(std::size_t count) { entries_.reserve(count); }

    /// The entry of `code`, or end().
    const_iterator find(std::uint64_t code) const noexcept;
    /// The text of `code`; an internal fault when there is none.
    std::string_view at(std::uint64_t code) const;

    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    /// The largest code held; the map must not be empty.
    std::uint64_t largest_code() const noexcept { return entries_.back().first; }

    friend bool operator==(const DecodeMap&, const DecodeMap&) = default;

private:
    std::vector<value_type> entries_;
};

}  // namespace quorvel
