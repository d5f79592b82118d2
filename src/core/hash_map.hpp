// Hash maps of the encoding core: open-addressing maps whose hash is seeded per map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include <boost/unordered/unordered_flat_map.hpp>

namespace quorvel {

/// A new random hash seed. Every map draws its own, so iteration order is arbitrary and
/// differs between maps and between processes; nothing may depend on it.
std::uint64_t fresh_hash_seed();

/// XXH3 keyed with a seed drawn when the hasher (and so the map) is created.
/// Transparent, so a map keyed by std::string can be searched with a std::string_view.
struct SeededHash {
    using is_transparent = void;
    using is_avalanching = void;  // XXH3 output is already well mixed

    std::uint64_t seed = fresh_hash_seed();

    std::size_t operator()(std::string_view text) const noexcept;
    std::size_t operator()(std::uint64_t value) const noexcept;
};

/// The one hash map type of the project.
template <class Key, class Value>
using FlatMap = boost::unordered_flat_map<Key, Value, SeededHash, std::equal_to<>>;

}  // namespace quorvel
