// The code rule of one text column: distinct texts sorted byte-wise, numbered 0, 1, 2, ...
//
// Only the distinct texts are sorted. A sequential pass hashes every row into a map of
// distinct texts (views into the column, nothing copied) and remembers each row's
// distinct id; the k distinct views are sorted, numbered, and copied once into the code
// table; the codes of all rows are then filled in parallel from their ids. Sorting all n
// rows would do the same job at O(n log n) string comparisons; columns usually hold far
// fewer distinct texts than rows.
#include "core/label_encode.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>

namespace quorvel {
namespace {

// The NaN that marks a missing value in the results: the plain quiet NaN.
const double missing_code = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Below these sizes the parallel algorithms cost more in task overhead than they save.
constexpr std::size_t parallel_sort_min = std::size_t{1} << 14;  // distinct texts
constexpr std::size_t parallel_fill_min = std::size_t{1} << 15;  // rows
constexpr std::size_t fill_grain = std::size_t{1} << 12;

template <class Id>
struct Distinct {
    std::string_view text;
    Id id;  // the order of first occurrence, which indexes the per-id code
};

// The work of label_encode_into, with row ids as narrow as the row count allows (4-byte
// ids halve the id vector and the sort entries for the usual column sizes).
template <class Id>
CodeTable encode_column(const TextColumn& values, double* out, std::size_t stride) {
    const std::size_t n = values.size();

    // Pass 1 (sequential): distinct texts in order of first occurrence, and each row's id.
    FlatMap<std::string_view, Id> ids;
    std::vector<Distinct<Id>> distinct;
    std::vector<Id> row_ids(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view text = values[i];
        const auto [it, inserted] = ids.try_emplace(text, static_cast<Id>(distinct.size()));
        if (inserted) distinct.push_back({text, it->second});
        row_ids[i] = it->second;
    }
    ids = {};  // release the id map before the table is built

    // Byte-wise order: std::string_view compares through char_traits<char>, i.e. memcmp
    // (bytes as unsigned values), and a proper prefix sorts first. Equal texts never
    // occur here (the entries are distinct), so an unstable sort is fine.
    const auto by_text = [](const Distinct<Id>& a, const Distinct<Id>& b) { return a.text < b.text; };
    if (distinct.size() >= parallel_sort_min)
        tbb::parallel_sort(distinct.begin(), distinct.end(), by_text);
    else
        std::sort(distinct.begin(), distinct.end(), by_text);

    // The owned copies of the distinct texts. For many texts they are made in parallel
    // first (allocation and copying dominate), then moved into the table below.
    const std::size_t k = distinct.size();
    std::vector<std::string> copies;
    if (k >= parallel_sort_min) {
        copies.resize(k);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, k, fill_grain),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t t = r.begin(); t < r.end(); ++t) copies[t] = distinct[t].text;
                          });
    }
    const auto owned = [&](std::size_t t) {
        return copies.empty() ? std::string(distinct[t].text) : std::move(copies[t]);
    };

    // Number the distinct texts in order; markers get no code and use up no number.
    CodeTable table;
    table.reserve(k);
    std::vector<double> code_of_id(k);
    std::uint64_t next = 0;
    for (std::size_t t = 0; t < k; ++t) {
        const Distinct<Id>& entry = distinct[t];
        if (is_missing_marker(entry.text)) {
            table.emplace(owned(t), std::nullopt);
            code_of_id[entry.id] = missing_code;
        } else {
            table.emplace(owned(t), next);
            code_of_id[entry.id] = static_cast<double>(next);
            ++next;
        }
    }
    copies = {};

    // Pass 2: every row's code from its id. Each row writes only its own slot.
    const auto fill = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i * stride] = code_of_id[row_ids[i]];
    };
    if (n >= parallel_fill_min) {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, fill_grain),
                          [&](const tbb::blocked_range<std::size_t>& r) { fill(r.begin(), r.end()); });
    } else {
        fill(0, n);
    }
    return table;
}

}  // namespace

bool is_missing_marker(std::string_view text) noexcept {
    return text == "<NA>" || text == "nan" || text == "NaN";
}

CodeTable label_encode_into(const TextColumn& values, double* out, std::size_t stride) {
    if (values.size() <= std::numeric_limits<std::uint32_t>::max())
        return encode_column<std::uint32_t>(values, out, stride);
    return encode_column<std::uint64_t>(values, out, stride);
}

LabelEncoded label_encode(const TextColumn& values) {
    LabelEncoded result;
    result.codes.resize(values.size());
    result.table = label_encode_into(values, result.codes.data(), 1);
    return result;
}

DecodeMap make_decode_map(const CodeTable& table) {
    DecodeMap decode;
    decode.reserve(table.size());
    for (const auto& [text, code] : table)
        if (code) decode.emplace(*code, text);
    return decode;
}

}  // namespace quorvel
