// Tests of SortedMap, the array-backed map of code tables and decode maps.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/encoding_info.hpp"
#include "core/fault.hpp"

using namespace quorvel;

namespace {

constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();

template <class Map>
auto entries_of(const Map& map) {
    return std::vector<typename Map::value_type>(map.begin(), map.end());
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

TEST_CASE(sorted_map_sorts_entries_and_keeps_the_last_of_a_repeated_key) {
    const DecodeMap map({{7, "seven"}, {kLargest, "top"}, {0, "zero"}, {7, "SEVEN"}, {3, "three"}, {7, "last"}});
    CHECK(entries_of(map) == (std::vector<DecodeMap::value_type>{{0, "zero"}, {3, "three"}, {7, "last"}, {kLargest, "top"}}));
    CHECK_EQ(map.largest_key(), kLargest);

    // Texts in byte order: bytes above 0x7F after ASCII, a proper prefix first.
    const CodeTable table({{"b", 1}, {"\xc3\xa9", 3}, {"", std::nullopt}, {"ab", 2}, {"a", 0}, {"b", std::nullopt}});
    const std::vector<CodeTable::value_type> expected = {
        {"", std::nullopt}, {"a", 0}, {"ab", 2}, {"b", std::nullopt}, {"\xc3\xa9", 3}};
    CHECK(entries_of(table) == expected);

    CHECK(DecodeMap({{1, "b"}, {0, "a"}}) == DecodeMap({{0, "a"}, {1, "b"}}));
    CHECK(CodeTable(CodeTable::entries_type{}).empty());
}

TEST_CASE(sorted_map_finds_keys_in_dense_and_sparse_maps) {
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

    const CodeTable table({{"nan", std::nullopt}, {"b", 1}, {"a", 0}});
    CHECK(table.at("a") == std::optional<std::uint64_t>(0));
    CHECK(table.at("nan") == std::nullopt);
    CHECK(table.find("c") == table.end());
    CHECK(table.find("") == table.end());
    CHECK(faults([&] { (void)table.at("na"); }));
}

TEST_CASE(sorted_map_refuses_entries_pushed_out_of_key_order) {
    DecodeMap map;
    map.push_back(5, "five");
    CHECK(faults([&] { map.push_back(5, "again"); }));
    CHECK(faults([&] { map.push_back(4, "four"); }));
    map.push_back(6, "six");
    CHECK_EQ(map.size(), std::size_t{2});

    CodeTable table;
    table.push_back("a", 0);
    CHECK(faults([&] { table.push_back("a", 1); }));
    CHECK(faults([&] { table.push_back("", 1); }));
    table.push_back("a\x80", std::nullopt);  // 0x80 sorts after every ASCII byte
    CHECK_EQ(table.size(), std::size_t{2});
}
