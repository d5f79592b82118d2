// Maps held as one array of entries in key order: code tables and decode maps.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/buffer.hpp"
#include "core/fault.hpp"

namespace quorvel {

/// A map held as one array of entries sorted by key. Encoding produces its tables in key
/// order, so they are built by appending; whoever walks them in key order (decoding,
/// writing the state) reads the entries front to back; and an entry costs its own bytes,
/// with none of a hash table's empty slots. Lookups search by halves, except that an
/// integer-keyed map holding the keys 0..n-1 finds each key at its own index.
template <class Key, class Value>
class SortedMap {
public:
    using value_type = std::pair<Key, Value>;
    using entries_type = BufferVector<value_type>;
    using const_iterator = typename entries_type::const_iterator;

    SortedMap() = default;

    /// From entries in any order. Of entries with the same key, the last one is kept.
    explicit SortedMap(entries_type entries) : entries_(std::move(entries)) {
        if (strictly_ascending()) return;  // maps written by this system come in order
        // Stable, so entries with the same key keep their given order; the last one wins.
        std::stable_sort(entries_.begin(), entries_.end(), by_key);
        auto kept = entries_.begin();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            const auto next = std::next(it);
            if (next != entries_.end() && next->first == it->first) continue;
            *kept++ = std::move(*it);
        }
        entries_.erase(kept, entries_.end());
    }

    /// Adds an entry whose key is above every key held so far.
    void push_back(Key key, Value value) {
        if (!entries_.empty() && !(entries_.back().first < key)) fault("map entries out of key order");
        entries_.emplace_back(std::move(key), std::move(value));
    }
    void reserve(std::size_t count) { entries_.reserve(count); }

    /// The entry of `key`, or end().
    const_iterator find(const Key& key) const noexcept {
        if constexpr (std::is_integral_v<Key>) {
            if (key < entries_.size() && entries_[static_cast<std::size_t>(key)].first == key) {
                return entries_.begin() + static_cast<std::ptrdiff_t>(key);
            }
        }
        const auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                         [](const value_type& entry, const Key& k) { return entry.first < k; });
        return it != entries_.end() && it->first == key ? it : entries_.end();
    }

    /// The value of `key`; an internal fault when there is none.
    const Value& at(const Key& key) const {
        const auto it = find(key);
        if (it == end()) fault("no entry found for key");
        return it->second;
    }

    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    /// The largest key held; the map must not be empty.
    const Key& largest_key() const noexcept { return entries_.back().first; }

    friend bool operator==(const SortedMap&, const SortedMap&) = default;

private:
    static bool by_key(const value_type& a, const value_type& b) { return a.first < b.first; }

    bool strictly_ascending() const {
        return std::adjacent_find(entries_.begin(), entries_.end(), [](const value_type& a, const value_type& b) {
                   return !(a.first < b.first);
               }) == entries_.end();
    }

    entries_type entries_;
};

}  // namespace quorvel
