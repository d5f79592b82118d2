// Tests of the sort by leading-byte keys with tie-breaking.
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/prefix_sort.hpp"
#include "core/text_order.hpp"
#include "core/worker_pool.hpp"

using namespace quorvel;

// Random texts over alphabets of random byte values (NUL among them at times) with shared
// stems, so that keys tie often (texts alike in their first bytes, or over several keys'
// worth of bytes, texts that differ only by trailing NULs), at sizes below and above the
// split into parallel parts, keyed by their leading bytes and by packed keys: the result
// must equal a plain comparison sort.
TEST_CASE(sort_by_prefix_equals_a_comparison_sort) {
    const std::uint64_t seed = std::random_device{}();
    std::mt19937_64 rng(seed);
    struct Item {
        std::uint64_t key;
        std::size_t index;
    };
    for (const std::size_t n : {0, 1, 2, 1000, 20000, 200000}) {
        for (const unsigned alphabet : {1u, 3u, 14u, 16u, 40u, 100u, 256u}) {
            std::vector<unsigned char> bytes(256);
            for (unsigned b = 0; b < 256; ++b) bytes[b] = static_cast<unsigned char>(b);
            std::shuffle(bytes.begin(), bytes.end(), rng);
            std::vector<std::string> texts(n);
            for (auto& text : texts) {
                if (rng() % 4 == 0) {
                    text = "stem-stem";
                } else if (rng() % 3 == 0) {
                    text = "a group of texts with a long stem in common, ";  // ties key after key
                }
                const std::size_t len = rng() % 20;
                for (std::size_t c = 0; c < len; ++c) text += static_cast<char>(bytes[rng() % alphabet]);
            }
            std::vector<std::string> expected = texts;
            std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
                return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
                    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
                });
            });
            std::optional<PackedKeys> found;
            run_on_pool([&] { found = packed_keys_of(n, [&](std::size_t i) { return std::string_view(texts[i]); }); });
            const PackedKeys& packed = *found;
            for (const bool use_packed : {false, true}) {
                const std::size_t tied = use_packed ? packed.span() : 8;
                std::vector<Item> items(n);
                for (std::size_t i = 0; i < n; ++i) items[i] = {use_packed ? packed.key(texts[i]) : leading_bytes(texts[i]), i};
                run_on_pool([&] {
                    sort_by_prefix(
                        items.data(), items.data() + n, [](const Item& item) { return item.key; },
                        [&](const Item& item) { return std::string_view(texts[item.index]); }, tied);
                });
                bool same = true;
                for (std::size_t i = 0; i < n; ++i) same = same && texts[items[i].index] == expected[i];
                if (!same) {
                    std::cerr << "seed " << seed << ", n " << n << ", alphabet " << alphabet << ", packed " << use_packed
                              << "\n";
                    CHECK(false);
                }
            }
        }
    }
}
