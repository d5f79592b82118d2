// Tests of the parallel column pass that encodes text columns into the working matrix.
#include <dirent.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/column_pass.hpp"
#include "core/fault.hpp"
#include "core/label_encode.hpp"
#include "core/worker_pool.hpp"

using namespace quorvel;

namespace {

using quorvel::testing::process_thread_count;

struct Table {
    Matrix matrix;
    std::vector<TextColumn> texts;
    std::vector<bool> text_mode;
};

// A rows x cols table whose numeric cells hold 1000*i + j and whose text columns
// (`text_columns`) are filled by `text_of(i, j)`.
template <class TextOf>
Table make_table(std::size_t rows, std::size_t cols, const std::vector<std::size_t>& text_columns,
                 TextOf text_of) {
    Table t{Matrix::zeros(rows, cols), std::vector<TextColumn>(cols), std::vector<bool>(cols, false)};
    for (const auto j : text_columns) t.text_mode[j] = true;
    for (std::size_t j = 0; j < cols; ++j) {
        for (std::size_t i = 0; i < rows; ++i) {
            if (t.text_mode[j])
                t.texts[j].push_back(text_of(i, j));
            else
                t.matrix.at(i, j) = 1000.0 * static_cast<double>(i) + static_cast<double>(j);
        }
    }
    return t;
}

bool same_cell(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// A canonical dump of a pass's outcome: the matrix bits and the tables sorted by text.
std::string describe(const Matrix& matrix, const EncodingInfo& info) {
    std::ostringstream out;
    out << std::hex;
    for (std::size_t i = 0; i < matrix.size(); ++i) out << std::bit_cast<std::uint64_t>(matrix.begin()[i]) << ' ';
    for (const auto j : info.object_columns) {
        out << "\ncolumn " << j << ':';
        std::vector<std::pair<std::string, std::int64_t>> entries;
        for (const auto& [text, code] : info.encode_maps.at(j))
            entries.emplace_back(text, code ? static_cast<std::int64_t>(*code) : -1);
        std::sort(entries.begin(), entries.end());
        for (const auto& [text, code] : entries) out << ' ' << text.size() << ':' << text << '=' << code;
        std::vector<std::pair<std::uint64_t, std::string>> decode(info.decode_maps.at(j).begin(),
                                                                  info.decode_maps.at(j).end());
        std::sort(decode.begin(), decode.end());
        for (const auto& [code, text] : decode) out << ' ' << code << "->" << text;
    }
    return out.str();
}

// 64-bit FNV-1a, to print a short fingerprint of a dump.
std::uint64_t fingerprint(const std::string& text) {
    std::uint64_t h = 0xcbf29ce484222325;
    for (const unsigned char c : text) h = (h ^ c) * 0x100000001b3;
    return h;
}

}  // namespace

TEST_CASE(column_pass_encodes_text_columns_in_place) {
    // Column 1 and 3 are text; 0 and 2 numeric and must be left as they are.
    const std::vector<std::vector<std::string>> column_texts = {
        {}, {"b", "a", "NaN", "b", "", "c"}, {}, {"x", "x", "<NA>", "y", "1", "10"}};
    Table t = make_table(6, 4, {1, 3}, [&](std::size_t i, std::size_t j) { return column_texts[j][i]; });
    const std::vector<TextColumn> texts = t.texts;  // the pass releases the texts it encoded
    const EncodingInfo info = encode_text_columns(t.matrix, t.texts, t.text_mode);
    for (const auto j : info.object_columns) CHECK(t.texts[j].empty());

    CHECK(info.object_columns == (std::vector<std::size_t>{1, 3}));
    CHECK_EQ(info.encode_maps.size(), std::size_t{2});
    CHECK_EQ(info.decode_maps.size(), std::size_t{2});
    for (const auto j : info.object_columns) {
        LabelEncoded expected;
        run_on_pool([&] { expected = label_encode(texts[j]); });
        CHECK(info.encode_maps.at(j) == expected.table);
        CHECK(info.decode_maps.at(j) == make_decode_map(expected.table));
        for (std::size_t i = 0; i < 6; ++i) CHECK(same_cell(t.matrix.at(i, j), expected.codes[i]));
    }
    const std::vector<double> column3 = {2, 2, std::nan(""), 3, 0, 1};
    for (std::size_t i = 0; i < 6; ++i) {
        CHECK(same_cell(t.matrix.at(i, 1), std::vector<double>{2, 1, std::nan(""), 2, 0, 3}[i]));
        CHECK(same_cell(t.matrix.at(i, 3), column3[i]));
        CHECK_EQ(t.matrix.at(i, 0), 1000.0 * static_cast<double>(i));
        CHECK_EQ(t.matrix.at(i, 2), 1000.0 * static_cast<double>(i) + 2);
    }
    CHECK(info.decode_maps.at(3).at(1) == "10");
}

TEST_CASE(column_pass_empty_shapes) {
    struct Case {
        std::size_t rows, cols;
        std::vector<std::size_t> text_columns;
    };
    for (const auto& c : std::vector<Case>{{0, 0, {}}, {0, 3, {0, 2}}, {5, 0, {}}, {0, 2, {}}}) {
        Table t = make_table(c.rows, c.cols, c.text_columns, [](std::size_t, std::size_t) { return "t"; });
        const EncodingInfo info = encode_text_columns(t.matrix, t.texts, t.text_mode);
        CHECK(info.object_columns == c.text_columns);  // a text column with 0 rows is still text
        CHECK_EQ(info.encode_maps.size(), c.text_columns.size());
        CHECK_EQ(info.decode_maps.size(), c.text_columns.size());
        for (const auto j : c.text_columns) {
            CHECK(info.encode_maps.at(j).empty());
            CHECK(info.decode_maps.at(j).empty());
        }
    }
}

// A table without text columns is done without starting the pool: this test runs in a
// fresh process, so no worker thread may appear.
TEST_CASE(column_pass_without_text_leaves_pool_alone) {
    Table t = make_table(600, 30, {}, [](std::size_t, std::size_t) { return ""; });
    const EncodingInfo info = encode_text_columns(t.matrix, t.texts, t.text_mode);
    CHECK(info.object_columns.empty());
    CHECK(info.encode_maps.empty() && info.decode_maps.empty());
    CHECK_EQ(t.matrix.at(599, 29), 599029.0);
    CHECK_EQ(process_thread_count(), std::size_t{1});
}

TEST_CASE(column_pass_refuses_inconsistent_input) {
    struct Case {
        std::size_t texts, flags, rows_of_text_column;
    };
    for (const auto& c : std::vector<Case>{{2, 3, 4}, {3, 2, 4}, {3, 3, 5}, {3, 3, 0}}) {
        Matrix matrix = Matrix::zeros(4, 3);
        std::vector<TextColumn> texts(c.texts);
        std::vector<bool> text_mode(c.flags, false);
        if (c.flags > 1) text_mode[1] = true;
        if (c.texts > 1)
            for (std::size_t i = 0; i < c.rows_of_text_column; ++i) texts[1].push_back("v");
        bool faulted = false;
        try {
            encode_text_columns(matrix, texts, text_mode);
        } catch (const InternalFault&) {
            faulted = true;
        }
        CHECK(faulted);
    }
}

// Many text columns of different sizes of distinct sets, checked against label_encode of
// each column. Prints a fingerprint of the whole outcome, which tests/test_pool.py
// compares between pools of 1 and of many threads.
TEST_CASE(column_pass_fingerprint) {
    const std::size_t rows = 40000, cols = 12;
    std::mt19937_64 rng(20240611);  // fixed: the fingerprint must not vary between runs
    std::vector<std::vector<std::string>> pools(cols);
    for (std::size_t j = 0; j < cols; ++j) {
        const std::size_t distinct = std::size_t{1} << (j * 2 % 18);  // 1 .. 65536
        for (std::size_t d = 0; d < distinct; ++d) pools[j].push_back(std::to_string(rng() % (distinct * 3)));
        pools[j].push_back("nan");
    }
    std::vector<std::size_t> text_columns;
    for (std::size_t j = 0; j < cols; ++j)
        if (j % 4 != 2) text_columns.push_back(j);
    Table t = make_table(rows, cols, text_columns,
                         [&](std::size_t, std::size_t j) { return pools[j][rng() % pools[j].size()]; });
    const std::vector<TextColumn> texts = t.texts;
    const EncodingInfo info = encode_text_columns(t.matrix, t.texts, t.text_mode);

    CHECK(info.object_columns == text_columns);
    for (const auto j : text_columns) {
        LabelEncoded expected;
        run_on_pool([&] { expected = label_encode(texts[j]); });
        CHECK(info.encode_maps.at(j) == expected.table);
        for (std::size_t i = 0; i < rows; ++i) CHECK(same_cell(t.matrix.at(i, j), expected.codes[i]));
    }
    std::cout << "fingerprint " << std::hex << std::setw(16) << std::setfill('0')
              << fingerprint(describe(t.matrix, info)) << "\n";
}

// Short columns wait for finish() and are encoded in a few tasks together: every row
// count around that limit, with more text columns than workers, gives label_encode's
// result for every column, and every column's texts are released.
TEST_CASE(column_pass_short_columns_match_label_encode) {
    std::mt19937_64 rng(7);
    for (const std::size_t rows : {std::size_t{1}, std::size_t{3}, std::size_t{600}, std::size_t{2049},
                                   std::size_t{4095}, std::size_t{4096}, std::size_t{5000}}) {
        const std::size_t cols = 23;
        std::vector<std::size_t> text_columns;
        for (std::size_t j = 0; j < cols; ++j)
            if (j % 5 != 1) text_columns.push_back(j);
        Table t = make_table(rows, cols, text_columns, [&](std::size_t, std::size_t j) {
            const std::uint64_t r = rng() % (j * 7 + 2);
            return r == 0 ? std::string("nan") : "v" + std::to_string(r);
        });
        const std::vector<TextColumn> texts = t.texts;
        const EncodingInfo info = encode_text_columns(t.matrix, t.texts, t.text_mode);
        CHECK(info.object_columns == text_columns);
        for (std::size_t j = 0; j < cols; ++j) {
            if (!t.text_mode[j]) {
                for (std::size_t i = 0; i < rows; ++i) CHECK_EQ(t.matrix.at(i, j), 1000.0 * static_cast<double>(i) + static_cast<double>(j));
                continue;
            }
            CHECK(t.texts[j].empty());
            LabelEncoded expected;
            run_on_pool([&] { expected = label_encode(texts[j]); });
            CHECK(info.encode_maps.at(j) == expected.table);
            CHECK(info.decode_maps.at(j) == make_decode_map(expected.table));
            for (std::size_t i = 0; i < rows; ++i) CHECK(same_cell(t.matrix.at(i, j), expected.codes[i]));
        }
    }
}

// Codes written into a column-major matrix that stores only some columns are the codes a
// row-major matrix gets, cell for cell; the stored number columns are left as they are,
// and a column the matrix does not store cannot be encoded into it.
TEST_CASE(column_pass_into_stored_columns_of_a_column_major_matrix) {
    for (const std::size_t rows : {std::size_t{7}, std::size_t{5000}}) {
        const std::size_t cols = 6;
        const std::vector<std::size_t> text_columns = {1, 2, 5};
        auto text_of = [](std::size_t i, std::size_t j) { return "t" + std::to_string((i * 7919 + j) % (j + 3)); };
        Table by_rows = make_table(rows, cols, text_columns, text_of);
        const EncodingInfo expected = encode_text_columns(by_rows.matrix, by_rows.texts, by_rows.text_mode);

        const std::vector<bool> stored = {false, true, true, true, false, true};
        Table by_columns{Matrix::by_columns(rows, stored), std::vector<TextColumn>(cols), by_rows.text_mode};
        CHECK(!by_columns.matrix.row_major() && by_columns.matrix.stored_columns() == 4);
        for (std::size_t i = 0; i < rows; ++i) {
            for (const auto j : text_columns) by_columns.texts[j].push_back(text_of(i, j));
            by_columns.matrix.at(i, 3) = -static_cast<double>(i);
        }
        const EncodingInfo info = encode_text_columns(by_columns.matrix, by_columns.texts, by_columns.text_mode);
        CHECK(info.object_columns == expected.object_columns);
        for (const auto j : text_columns) {
            CHECK(info.encode_maps.at(j) == expected.encode_maps.at(j));
            const double* column = by_columns.matrix.column(j);
            for (std::size_t i = 0; i < rows; ++i) CHECK(same_cell(column[i], by_rows.matrix.at(i, j)));
        }
        for (std::size_t i = 0; i < rows; ++i) CHECK_EQ(by_columns.matrix.at(i, 3), -static_cast<double>(i));

        Table absent{Matrix::by_columns(rows, stored), std::vector<TextColumn>(cols), std::vector<bool>(cols, false)};
        absent.text_mode[4] = true;
        for (std::size_t i = 0; i < rows; ++i) absent.texts[4].push_back("x");
        bool faulted = false;
        try {
            encode_text_columns(absent.matrix, absent.texts, absent.text_mode);
        } catch (const InternalFault&) {
            faulted = true;
        }
        CHECK(faulted);
    }
}
