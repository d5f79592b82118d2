// DecodeMap: building in code order, sorting entries given in any order, and lookups.
#include "core/decode_map.hpp"

#include <algorithm>

#include "core/fault.hpp"

namespace quorvel {
namespace {

bool by_code(const DecodeMap::value_type& a, const DecodeMap::value_type& b) { return a.first < b.first; }

}  // namespace

DecodeMap::DecodeMap(std::vector<value_type> entries) : entries_(std::move(entries)) {
    if (std::is_sorted(entries_.begin(), entries_.end(), by_code) &&
        std::adjacent_find(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.first == b.first;
        }) == entries_.end()) {
        return;  // already in strict code order, as maps written by this system are
    }
    // Stable, so equal codes keep their given order; then the last of each run wins.
    std::stable_sort(entries_.begin(), entries_.end(), by_code);
    auto kept = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        const auto next = std::next(it);
        if (next != entries_.end() && next->first == it->first) continue;
        *kept++ = *it;
    }
    entries_.erase(kept, entries_.end());
}

void DecodeMap::push_back(std::uint64_t code, std::string_view text) {
    if (!entries_.empty() && code <= entries_.back().first) fault("decode map entries out of code order");
    entries_.emplace_back(code, text);
}

DecodeMap::const_iterator DecodeMap::find(std::uint64_t code) const noexcept {
    // A map of the codes 0..k-1 holds each code at its own index.
    if (code < entries_.size() && entries_[code].first == code) return entries_.begin() + static_cast<std::ptrdiff_t>(code);
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), value_type{code, {}}, by_code);
    return it != entries_.end() && it->first == code ? it : entries_.end();
}

std::string_view DecodeMap::at(std::uint64_t code) const {
    const auto it = find(code);
    if (it == end()) fault("no entry found for key");
    return it->second;
}

}  // namespace quorvel
