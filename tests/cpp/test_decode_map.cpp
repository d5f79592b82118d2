// Tests of DecodeMap: entries given in any order, lookups in dense and sparse maps.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/decode_map.hpp"
#include "core/fault.hpp"

using namespace quorvel;

namespace {

constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();

std::vector<std::pair<std::uint64_t, std::string>> entries_of(const DecodeMap& map) {
    return {map.begin(), map.end()};
}

bool faults(auto&& call) {
    try {
        call();
    } catch (const InternalFault&) {
        return true;
    }
    return false;
}

}  // namespace

TEST_CASE(decode_map_sorts_entries_and_keeps_the_last_of_a_repeated_code) {
    const DecodeMap map({{7, "seven"}, {kLargest, "top"}, {0, "zero"}, {7, "SEVEN"}, {3, "three"}, {7, "last"}});
    using Entries = std::vector<std::pair<std::uint64_t, std::string>>;
    CHECK(entries_of(map) == (Entries{{0, "zero"}, {3, "three"}, {7, "last"}, {kLargest, "top"}}));
    CHECK_EQ(map.largest_code(), kLargest);
    CHECK(DecodeMap({{1, "b"}, {0, "a"}}) == DecodeMap({{0, "a"}, {1, "b"}}));
    CHECK(DecodeMap(std::vector<DecodeMap::value_type>{}).empty());
}

TEST_CASE(decode_map_finds_codes_in_dense_and_sparse_maps) {
    DecodeMap dense;
    for (std::uint64_t code = 0; code < 1000; ++code) dense.push_back(code, code % 2 ? "odd" : "even");
    CHECK_EQ(dense.at(0), "even");
    CHECK_EQ(dense.at(999), "odd");
    CHECK(dense.find(1000) == dense.end());
    CHECK(dense.find(kLargest) == dense.end());

    // Codes with gaps: a code below the size is not at its own index.
    const DecodeMap sparse({{2, "two"}, {4, "four"}, {9, "nine"}, {kLargest, "top"}});
    CHECK_EQ(sparse.at(2), "two");
    CHECK_EQ(sparse.at(9), "nine");
    CHECK_EQ(sparse.at(kLargest), "top");
    for (std::uint64_t absent : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{5}, kLargest - 1}) {
        CHECK(sparse.find(absent) == sparse.end());
    }
    CHECK(faults([&] { (void)sparse.at(3); }));
    CHECK(DecodeMap{}.find(0) == DecodeMap{}.end());
}

TEST_CASE(decode_map_refuses_entries_pushed_out_of_code_order) {
    DecodeMap map;
    map.push_back(5, "five");
    CHECK(faults([&] { map.push_back(5, "again"); }));
    CHECK(faults([&] { map.push_back(4, "four"); }));
    map.push_back(6, "six");
    CHECK_EQ(map.size(), std::size_t{2});
}
