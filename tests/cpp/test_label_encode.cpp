// Tests of the code rule of one text column.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/distinct_sample.hpp"
#include "core/label_encode.hpp"
#include "core/worker_pool.hpp"

using namespace quorvel;

namespace {

TextColumn column_of(const std::vector<std::string>& texts) {
    TextColumn column;
    column.reserve(texts.size());
    for (const auto& t : texts) column.push_back(t);
    return column;
}

LabelEncoded encode_on_pool(const TextColumn& column) {
    LabelEncoded result;
    run_on_pool([&] { result = label_encode(column); });
    return result;
}

constexpr std::uint64_t quiet_nan_bits = 0x7FF8000000000000;

bool is_quiet_nan(double value) { return std::bit_cast<std::uint64_t>(value) == quiet_nan_bits; }

// The code of a text in a table; CHECKs that the entry exists.
std::optional<std::uint64_t> code_in(const CodeTable& table, const std::string& text) {
    const auto it = table.find(text);
    CHECK(it != table.end());
    return it->second;
}

// Straightforward statement of the rule: sort copies of all rows by unsigned bytes,
// drop duplicates, number the non-markers in order.
struct Reference {
    std::vector<double> codes;
    std::vector<std::pair<std::string, std::optional<std::uint64_t>>> entries;
};

Reference reference_encode(const std::vector<std::string>& rows) {
    std::vector<std::string> sorted = rows;
    const auto bytewise = [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
    };
    std::sort(sorted.begin(), sorted.end(), bytewise);
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    Reference ref;
    std::uint64_t next = 0;
    for (const auto& text : sorted) {
        const bool marker = text == "<NA>" || text == "nan" || text == "NaN";
        ref.entries.emplace_back(text, marker ? std::nullopt : std::optional<std::uint64_t>(next));
        if (!marker) ++next;
    }
    for (const auto& row : rows) {
        const auto it = std::lower_bound(ref.entries.begin(), ref.entries.end(), row,
                                         [&](const auto& entry, const std::string& key) {
                                             return bytewise(entry.first, key);
                                         });
        ref.codes.push_back(it->second ? static_cast<double>(*it->second) : std::nan(""));
    }
    return ref;
}

bool same_codes(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(b[i]) ? !is_quiet_nan(a[i]) : a[i] != b[i]) return false;
    }
    return true;
}

bool same_table(const CodeTable& table, const Reference& ref) {
    if (table.size() != ref.entries.size()) return false;
    for (const auto& [text, code] : ref.entries) {
        const auto it = table.find(text);
        if (it == table.end() || it->second != code) return false;
    }
    return true;
}

// Whether label_encode_into, on the pool, gives `column` (whose rows hold `rows`) the codes
// and table of the reference rule, and the decode map of that table.
template <class Column>
bool encodes_as_reference(const Column& column, const std::vector<std::string>& rows) {
    std::vector<double> codes(rows.size());
    TextStore texts;
    DecodeMap decode;
    CodeTable table;
    run_on_pool([&] { table = label_encode_into(column, codes.data(), 1, texts, &decode); });
    const auto ref = reference_encode(rows);
    return same_codes(codes, ref.codes) && same_table(table, ref) && decode == make_decode_map(table);
}

// n rows drawn from k distinct random texts: random bytes over the whole 0..255 range
// (NUL and bytes >= 0x80 included), a few shared prefixes so comparisons go deep, and
// the markers mixed in.
std::vector<std::string> random_rows(std::mt19937_64& rng, std::size_t n, std::size_t k) {
    std::vector<std::string> pool;
    const std::vector<std::string> prefixes = {"", "a", "ab", "\xC3\xA9", "\xFF", "common-prefix-"};
    const std::vector<std::string> markers = {"<NA>", "nan", "NaN"};
    for (std::size_t i = 0; i < k; ++i) {
        if (i < 3 && k > 10) {
            pool.push_back(markers[i]);
            continue;
        }
        std::string text = prefixes[rng() % prefixes.size()];
        const std::size_t len = rng() % 9;
        for (std::size_t c = 0; c < len; ++c) text += static_cast<char>(rng() % 256);
        pool.push_back(std::move(text));
    }
    std::vector<std::string> rows(n);
    for (auto& row : rows) row = pool[rng() % pool.size()];
    return rows;
}

}  // namespace

TEST_CASE(label_encode_worked_example) {
    const auto result = encode_on_pool(column_of({"b", "a", "NaN", "b", "", "c"}));
    CHECK_EQ(result.codes.size(), std::size_t{6});
    CHECK_EQ(result.codes[0], 2.0);
    CHECK_EQ(result.codes[1], 1.0);
    CHECK(is_quiet_nan(result.codes[2]));
    CHECK_EQ(result.codes[3], 2.0);
    CHECK_EQ(result.codes[4], 0.0);
    CHECK_EQ(result.codes[5], 3.0);
    CHECK_EQ(result.table.size(), std::size_t{5});
    CHECK(code_in(result.table, "") == std::optional<std::uint64_t>(0));
    CHECK(code_in(result.table, "NaN") == std::nullopt);
    CHECK(code_in(result.table, "a") == std::optional<std::uint64_t>(1));
    CHECK(code_in(result.table, "b") == std::optional<std::uint64_t>(2));
    CHECK(code_in(result.table, "c") == std::optional<std::uint64_t>(3));
}

TEST_CASE(label_encode_empty_column) {
    const auto result = encode_on_pool(TextColumn{});
    CHECK(result.codes.empty());
    CHECK(result.table.empty());
}

TEST_CASE(label_encode_missing_markers) {
    struct Case {
        std::vector<std::string> rows;
        std::vector<std::optional<std::uint64_t>> codes;  // per row
    };
    const auto none = std::nullopt;
    const std::vector<Case> cases = {
        // markers never use up a code
        {{"<NA>", "a", "nan", "b"}, {none, 0, none, 1}},
        // a column of markers only: no code is used at all
        {{"nan", "NaN", "<NA>", "nan", "NaN"}, {none, none, none, none, none}},
        // look-alikes are ordinary texts; the empty text, when present, takes code 0
        {{"NAN", "Nan", "None", "null", "nan ", " nan", "", "<na>", "nan"},
         {3, 4, 5, 7, 6, 1, 0, 2, none}},
    };
    for (const auto& c : cases) {
        const auto result = encode_on_pool(column_of(c.rows));
        CHECK_EQ(result.codes.size(), c.rows.size());
        for (std::size_t i = 0; i < c.rows.size(); ++i) {
            if (c.codes[i]) {
                CHECK_EQ(result.codes[i], static_cast<double>(*c.codes[i]));
                CHECK(code_in(result.table, c.rows[i]) == c.codes[i]);
            } else {
                CHECK(is_quiet_nan(result.codes[i]));
                CHECK(code_in(result.table, c.rows[i]) == std::nullopt);
                CHECK(is_missing_marker(c.rows[i]));
            }
        }
    }
}

// Each case lists distinct texts in the expected code order; the column holds them
// reversed and repeated, and each must get its position as its code.
TEST_CASE(label_encode_byte_order) {
    const std::vector<std::vector<std::string>> cases = {
        {"B", "a"},                                  // upper case before lower case
        {"1", "10", "2", "9"},                       // numbers as text
        {"-1", "0", "A", "a"},                       // digits before letters
        {"", "a", "a ", "ab", "abc"},                // prefix first, trailing space differs
        {"a", std::string("a\0", 2), std::string("a\0b", 3), "a\x01"},  // NUL is a byte
        {"\x7F", "\x80", "\xFF"},                    // bytes compared as unsigned values
        {"z", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"},  // UTF-8: code-point order
        {"e\xCC\x81", "\xC3\xA9"},                   // decomposed vs precomposed e-acute
        {"\xC3\xBF", "\xC4\x80"},                    // U+00FF before U+0100
    };
    for (const auto& order : cases) {
        std::vector<std::string> rows;
        for (int rep = 0; rep < 3; ++rep) rows.insert(rows.end(), order.rbegin(), order.rend());
        const auto result = encode_on_pool(column_of(rows));
        CHECK_EQ(result.table.size(), order.size());
        for (std::size_t code = 0; code < order.size(); ++code)
            CHECK(code_in(result.table, order[code]) == std::optional<std::uint64_t>(code));
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto expected = order.size() - 1 - i % order.size();
            CHECK_EQ(result.codes[i], static_cast<double>(expected));
        }
    }
}

// Large columns against the reference: k above the parallel-sort threshold, rows above
// the parallel-fill threshold, many duplicates.
TEST_CASE(label_encode_matches_reference_on_random_columns) {
    const std::uint64_t seed = std::random_device{}();
    std::mt19937_64 rng(seed);
    struct Size {
        std::size_t rows, distinct;
    };
    // The larger sizes are found in parallel: those with few distinct texts or many rows
    // per text by stretches of rows (their texts compared as copies), the nearly unique
    // ones in shards by hash.
    for (const Size size : {Size{1, 1}, Size{1000, 7}, Size{100000, 50}, Size{200000, 40000},
                            Size{150000, 150000}, Size{300000, 120000}, Size{300000, 300000},
                            Size{600000, 100000}}) {
        const auto rows = random_rows(rng, size.rows, size.distinct);
        TextColumn column = column_of(rows);
        const auto result = encode_on_pool(column);
        const auto ref = reference_encode(rows);
        if (!same_codes(result.codes, ref.codes) || !same_table(result.table, ref)) {
            std::cerr << "seed " << seed << ", rows " << size.rows << ", distinct " << size.distinct << "\n";
            CHECK(false);
        }
    }
}

// Columns of mostly unique texts are sorted row by row. Frequent texts among them (markers,
// the empty text, texts that differ only by trailing NUL bytes) make runs of equal rows
// that cross the pieces the sorted rows are cut into; the unique texts share a stem of 9
// bytes, so sort keys tie and the bytes after them decide.
TEST_CASE(label_encode_mostly_unique_rows_with_frequent_texts) {
    const std::uint64_t seed = std::random_device{}();
    std::mt19937_64 rng(seed);
    const std::vector<std::string> frequent = {"nan", "", std::string("a\0", 2), "a", "<NA>", "\xFF", "NaN", "stem-0000"};
    for (const std::size_t frequent_share : {0, 1, 4}) {  // tenths of the rows
        std::vector<std::string> rows(300000);
        for (auto& row : rows) {
            if (rng() % 10 < frequent_share) {
                row = frequent[rng() % frequent.size()];
                continue;
            }
            row = "stem-0000";
            const std::size_t len = rng() % 12;
            for (std::size_t c = 0; c < len; ++c) row += static_cast<char>(rng() % 3 == 0 ? rng() % 256 : 'a' + rng() % 26);
        }
        if (!encodes_as_reference(column_of(rows), rows)) {
            std::cerr << "seed " << seed << ", frequent share " << frequent_share << "\n";
            CHECK(false);
        }
    }
}

// Texts that all share their first bytes (identifiers with a common stem), the bare stem
// among them: the order must come from the bytes after the stem, and a stem that spells a
// missing-value marker must still leave that marker without a code.
TEST_CASE(label_encode_texts_sharing_a_stem) {
    const std::uint64_t seed = std::random_device{}();
    std::mt19937_64 rng(seed);
    for (const std::string stem : {"row-000", "nan", "<NA>", "\xC3\xA9t\xC3\xA9-"}) {
        for (const std::size_t n : {std::size_t{50}, std::size_t{300000}}) {
            std::vector<std::string> rows;
            rows.push_back(stem);
            while (rows.size() < n) {
                std::string text = stem;
                const std::size_t len = 1 + rng() % 10;
                for (std::size_t c = 0; c < len; ++c) text += static_cast<char>(rng() % 4 == 0 ? rng() % 256 : '0' + rng() % 10);
                rows.push_back(std::move(text));
            }
            std::shuffle(rows.begin(), rows.end(), rng);
            const auto result = encode_on_pool(column_of(rows));
            const auto ref = reference_encode(rows);
            if (!same_codes(result.codes, ref.codes) || !same_table(result.table, ref)) {
                std::cerr << "seed " << seed << ", stem " << stem << ", rows " << n << "\n";
                CHECK(false);
            }
        }
    }
}

// The rule depends only on the set of distinct texts, not on the row order.
TEST_CASE(label_encode_row_order_does_not_matter) {
    const std::uint64_t seed = std::random_device{}();
    std::mt19937_64 rng(seed);
    auto rows = random_rows(rng, 60000, 20000);
    const auto first = encode_on_pool(column_of(rows));
    std::vector<std::size_t> perm(rows.size());
    for (std::size_t i = 0; i < perm.size(); ++i) perm[i] = i;
    std::shuffle(perm.begin(), perm.end(), rng);
    std::vector<std::string> shuffled;
    for (const auto i : perm) shuffled.push_back(rows[i]);
    const auto second = encode_on_pool(column_of(shuffled));
    CHECK(first.table == second.table);
    for (std::size_t i = 0; i < perm.size(); ++i) {
        const double a = first.codes[perm[i]];
        const double b = second.codes[i];
        CHECK(std::isnan(a) ? is_quiet_nan(b) : a == b);
    }
}

TEST_CASE(label_encode_into_writes_only_its_strided_slots) {
    const std::vector<std::string> rows = {"x", "nan", "a", "x"};
    const std::size_t stride = 3;
    std::vector<double> dest(rows.size() * stride, -7.0);
    TextColumn column = column_of(rows);
    CodeTable table;
    TextStore texts;
    run_on_pool([&] { table = label_encode_into(column, dest.data() + 1, stride, texts); });
    column = TextColumn();  // the table's texts are its own copies, not views into the rows
    CHECK_EQ(table.size(), std::size_t{3});
    CHECK(table.at("x") == std::optional<std::uint64_t>(1));
    for (std::size_t i = 0; i < dest.size(); ++i) {
        if (i % stride != 1) CHECK_EQ(dest[i], -7.0);
    }
    CHECK_EQ(dest[1], 1.0);
    CHECK(is_quiet_nan(dest[4]));
    CHECK_EQ(dest[7], 0.0);
    CHECK_EQ(dest[10], 1.0);
}

TEST_CASE(make_decode_map_inverts_coded_entries) {
    const auto result = encode_on_pool(column_of({"q", "<NA>", "b", "nan", "b", "zz", ""}));
    const DecodeMap decode = make_decode_map(result.table);
    CHECK_EQ(decode.size(), std::size_t{4});  // "", "b", "q", "zz"; markers have no code
    for (const auto& [text, code] : result.table) {
        if (!code) continue;
        const auto it = decode.find(*code);
        CHECK(it != decode.end());
        CHECK_EQ(it->second, text);
    }
    CHECK(make_decode_map(CodeTable{}).empty());
}

// A column read where it lies, in Arrow's large_string layout, encodes as the same texts
// staged: each null reads as the missing text (another one in a leading run of nulls), the
// bitmap starts mid-byte (a slice), and the sizes reach every route (serial, stretches
// with compact copies, shards, sorted rows).
TEST_CASE(label_encode_borrowed_texts_match_reference) {
    const std::uint64_t seed = std::random_device{}();
    std::mt19937_64 rng(seed);
    struct Case {
        std::size_t rows, distinct, null_per_mille;
        const char* missing;
        std::size_t leading = 0;  // rows that start the column as nulls reading "NaN"
    };
    for (const Case c : {Case{0, 1, 0, "nan"}, Case{9, 3, 500, "<NA>", 2}, Case{5000, 40, 0, "nan"},
                         Case{300000, 2000, 10, "nan", 140000}, Case{300000, 120000, 300, "<NA>"},
                         Case{300000, 300000, 10, "nan", 7}, Case{600000, 100000, 1000, "<NA>"}}) {
        const std::size_t bit_offset = rng() % 8;
        std::vector<std::string> rows = random_rows(rng, c.rows, c.distinct);
        std::string data;
        std::vector<std::int64_t> offsets{static_cast<std::int64_t>(rng() % 5)};  // data before row 0
        data.assign(static_cast<std::size_t>(offsets[0]), 'z');
        std::vector<std::uint8_t> validity((c.rows + bit_offset + 7) / 8 + 1, 0xFF);
        for (std::size_t i = 0; i < c.rows; ++i) {
            if (i < c.leading || static_cast<std::size_t>(rng() % 1000) < c.null_per_mille) {
                const std::size_t bit = bit_offset + i;
                validity[bit >> 3] &= static_cast<std::uint8_t>(~(1u << (bit & 7)));
                data += "junk";  // a null's bytes, if any, are not its text
                rows[i] = i < c.leading ? "NaN" : c.missing;
            } else {
                data += rows[i];
            }
            offsets.push_back(static_cast<std::int64_t>(data.size()));
        }
        const bool nulls = c.null_per_mille != 0 || c.leading != 0;
        const BorrowedTexts borrowed(data.data(), offsets.data(), nulls ? validity.data() : nullptr, bit_offset,
                                     c.rows, c.missing, c.leading, "NaN");
        if (!encodes_as_reference(borrowed, rows)) {
            std::cerr << "seed " << seed << ", rows " << c.rows << ", distinct " << c.distinct << "\n";
            CHECK(false);
        }
    }
}

// The estimate of a column's distinct texts sizes its maps before the rows are read. A
// frequent text (missing values, a default) must not drag it down: each share of rows
// below holds one text, the rest are drawn evenly from `distinct` others. (The bounds
// allow for the sample: a few thousand draws hold some tens of pairs.)
TEST_CASE(distinct_estimate_holds_with_a_frequent_text) {
    std::mt19937_64 rng(5);
    constexpr std::size_t rows = 400000;
    for (const std::size_t distinct : {std::size_t{90000}, std::size_t{200000}}) {
        std::vector<std::string> pool(distinct);
        for (std::size_t i = 0; i < distinct; ++i) pool[i] = "text-" + std::to_string(rng());
        for (const unsigned frequent_percent : {0u, 1u, 10u, 40u}) {
            TextColumn column;
            column.reserve(rows);
            for (std::size_t i = 0; i < rows; ++i) {
                column.push_back(rng() % 100 < frequent_percent ? std::string_view("nan") : pool[rng() % distinct]);
            }
            // Distinct texts among the rows themselves (a few of the pool's are never drawn).
            std::vector<std::string_view> seen(column.size());
            for (std::size_t i = 0; i < rows; ++i) seen[i] = column[i];
            std::sort(seen.begin(), seen.end());
            const auto actual = static_cast<double>(std::unique(seen.begin(), seen.end()) - seen.begin());
            const auto estimate = static_cast<double>(estimated_distinct(sorted_sample(column, 0, rows, 11), rows));
            if (estimate < 0.6 * actual || estimate > 1.6 * actual) {
                std::cerr << "distinct " << actual << ", frequent " << frequent_percent << "%: estimated " << estimate
                          << "\n";
                CHECK(false);
            }
        }
    }
}
