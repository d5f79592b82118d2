// The code rule of one text column: distinct texts sorted byte-wise, numbered 0, 1, 2, ...
//
// Only the distinct texts are sorted. Every row's hash is computed in parallel; each row
// then goes into a map of distinct texts (views into the column, keyed by the
// precomputed hash, so neither lookups nor growth hash again; large columns are split
// into shards filled in parallel) and the row's distinct id is remembered. The k distinct ids are sorted on an 8-byte prefix key
// of their texts (most comparisons never touch the text) and numbered; the texts are then
// copied once, in byte order, into the store that the code table and the decode map
// share, and the maps and the rows' codes are filled in parallel.
// Sorting all n rows would do the same job with n log n string comparisons; columns
// usually hold far fewer distinct texts than rows.
#include "core/label_encode.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include <boost/unordered/unordered_flat_map.hpp>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>
#include <oneapi/tbb/parallel_sort.h>

namespace quorvel {
namespace {

// The NaN that marks a missing value in the results: the plain quiet NaN.
const double missing_code = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Below these sizes the parallel algorithms cost more in task overhead than they save.
constexpr std::size_t parallel_sort_min = std::size_t{1} << 14;  // distinct texts
constexpr std::size_t parallel_rows_min = std::size_t{1} << 15;  // rows
constexpr std::size_t row_grain = std::size_t{1} << 12;

// A row's text with its hash, computed once.
struct HashedText {
    std::string_view text;
    std::uint64_t hash;
};

struct StoredHash {
    using is_avalanching = void;  // the stored hash is a seeded XXH3 value
    std::size_t operator()(const HashedText& key) const noexcept { return key.hash; }
};

struct SameText {
    bool operator()(const HashedText& a, const HashedText& b) const noexcept {
        return a.hash == b.hash && a.text == b.text;
    }
};

// The first 8 bytes of a text as a big-endian number, zero-padded: comparing these
// numbers orders texts as memcmp would, except that ties need the full comparison.
std::uint64_t prefix_key(std::string_view text) noexcept {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, text.data(), std::min<std::size_t>(text.size(), 8));
    std::uint64_t key = 0;
    for (unsigned char b : bytes) key = (key << 8) | b;
    return key;
}

// What the sort moves: the prefix key and the distinct id (the order of first
// occurrence), which finds the text when two prefixes tie.
template <class Id>
struct SortKey {
    std::uint64_t prefix;
    Id id;
};

template <class Body>
void for_rows(std::size_t n, Body&& body) {
    if (n >= parallel_rows_min) {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, row_grain),
                          [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    } else {
        body(0, n);
    }
}

// The number of distinct texts, estimated from the duplicate hashes in an even sample of
// the rows: s draws from K equally frequent texts hold about s²/2K duplicate pairs.
// Returns 0 when the column is small or the estimate is low: growing the map then costs
// little, while a map sized too large costs cache misses on every probe.
std::size_t estimated_distinct(const std::vector<std::uint64_t>& hashes) {
    constexpr std::size_t sample_size = 4096;
    constexpr std::size_t worth_reserving = std::size_t{1} << 16;
    const std::size_t n = hashes.size();
    if (n < 4 * worth_reserving) return 0;
    std::vector<std::uint64_t> sample(sample_size);
    const std::size_t step = n / sample_size;
    for (std::size_t i = 0; i < sample_size; ++i) sample[i] = hashes[i * step];
    std::sort(sample.begin(), sample.end());
    std::size_t duplicates = 0;
    for (std::size_t i = 1; i < sample_size; ++i) duplicates += sample[i] == sample[i - 1];
    const std::size_t estimate = sample_size * sample_size / (2 * std::max<std::size_t>(duplicates, 1));
    return estimate < worth_reserving ? 0 : std::min(n, estimate);
}

// Large columns are split into shards by hash bits that the maps themselves do not use
// for placement (those are the top bits) nor for their metadata (the low byte), so each
// shard's map is filled by its own task and still spreads evenly.
constexpr unsigned shard_bits = 4;
constexpr std::size_t shard_count = std::size_t{1} << shard_bits;

std::size_t shard_of(std::uint64_t hash) noexcept { return (hash >> 24) & (shard_count - 1); }

using IdMap = boost::unordered_flat_map<HashedText, std::uint32_t, StoredHash, SameText>;

// The distinct texts of the rows that `take(i)` selects, in order of first occurrence;
// `local[i]` receives each selected row's index into them.
template <class Take>
std::vector<std::string_view> distinct_of(const TextColumn& values, const std::vector<std::uint64_t>& hashes,
                                          std::size_t expected, std::vector<std::uint32_t>& local, Take&& take) {
    IdMap ids;
    std::vector<std::string_view> distinct;
    if (expected != 0) {
        ids.reserve(expected);
        distinct.reserve(expected);
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!take(i)) continue;
        const std::string_view text = values[i];
        const auto [it, inserted] = ids.try_emplace(HashedText{text, hashes[i]}, static_cast<std::uint32_t>(distinct.size()));
        if (inserted) distinct.push_back(text);
        local[i] = it->second;
    }
    return distinct;
}

// Pass 1: the distinct texts (each exactly once, in an order fixed by the rows) and each
// row's distinct id, an index into them.
template <class Id>
std::vector<std::string_view> distinct_texts(const TextColumn& values, std::vector<Id>& row_ids) {
    const std::size_t n = values.size();
    const SeededHash hasher;  // a fresh seed for this column's maps
    std::vector<std::uint64_t> hashes(n);
    for_rows(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hashes[i] = hasher(values[i]);
    });
    const std::size_t expected = estimated_distinct(hashes);

    // Local ids are 32-bit: one map would need over four billion distinct texts to
    // overflow them, far beyond the memory such a column would take.
    std::vector<std::uint32_t> local(n);
    // Few distinct texts: one map stays in cache and one pass beats the shards' rescans.
    if (n < parallel_rows_min || expected == 0) {
        std::vector<std::string_view> distinct = distinct_of(values, hashes, expected, local, [](std::size_t) { return true; });
        for (std::size_t i = 0; i < n; ++i) row_ids[i] = static_cast<Id>(local[i]);
        return distinct;
    }

    // Each shard task reads every hash but keeps only its own rows, so it writes only its
    // own rows' slots of `local`.
    std::vector<std::vector<std::string_view>> shards(shard_count);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, shard_count, 1), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t s = r.begin(); s < r.end(); ++s) {
            shards[s] = distinct_of(values, hashes, expected / shard_count, local,
                                    [&](std::size_t i) { return shard_of(hashes[i]) == s; });
        }
    });
    std::vector<std::size_t> base(shard_count + 1, 0);
    for (std::size_t s = 0; s < shard_count; ++s) base[s + 1] = base[s] + shards[s].size();
    std::vector<std::string_view> distinct;
    distinct.reserve(base[shard_count]);
    for (auto& shard : shards) {
        distinct.insert(distinct.end(), shard.begin(), shard.end());
        shard = {};
    }
    for_rows(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) row_ids[i] = static_cast<Id>(base[shard_of(hashes[i])] + local[i]);
    });
    return distinct;
}

// Byte-wise order (unsigned bytes, a proper prefix first). The entries are distinct, so
// an unstable sort cannot be observed.
template <class Id>
std::vector<SortKey<Id>> sorted_ids(const std::vector<std::string_view>& distinct) {
    std::vector<SortKey<Id>> keys(distinct.size());
    for (std::size_t id = 0; id < distinct.size(); ++id) keys[id] = {prefix_key(distinct[id]), static_cast<Id>(id)};
    const auto by_text = [&distinct](const SortKey<Id>& a, const SortKey<Id>& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return distinct[a.id] < distinct[b.id];  // char_traits<char> compares unsigned bytes
    };
    if (keys.size() >= parallel_sort_min) {
        tbb::parallel_sort(keys.begin(), keys.end(), by_text);
    } else {
        std::sort(keys.begin(), keys.end(), by_text);
    }
    return keys;
}

template <class Id>
CodeTable encode_column(const TextColumn& values, double* out, std::size_t stride, TextStore& texts,
                        DecodeMap* decode, const std::function<void()>& rows_read) {
    const std::size_t n = values.size();
    std::vector<Id> row_ids(n);
    std::vector<std::string_view> distinct = distinct_texts(values, row_ids);  // by id
    std::vector<SortKey<Id>> sorted = sorted_ids<Id>(distinct);

    // Number the distinct texts in order; markers get no code and use up no number.
    // Position j is the j-th distinct text in byte order.
    const std::size_t k = distinct.size();
    constexpr std::uint64_t no_code = std::numeric_limits<std::uint64_t>::max();
    std::vector<std::uint64_t> code_of_id(k);
    std::vector<std::uint64_t> code_at(k);
    std::uint64_t next = 0;
    const auto number = [&] {
        // A marker's prefix key is its own bytes, zero-padded: only those few keys need a
        // look at the text itself.
        static const std::uint64_t marker_keys[] = {prefix_key("<NA>"), prefix_key("nan"), prefix_key("NaN")};
        for (std::size_t j = 0; j < k; ++j) {
            const SortKey<Id>& entry = sorted[j];
            const bool may_be_marker = std::find(std::begin(marker_keys), std::end(marker_keys), entry.prefix) !=
                                       std::end(marker_keys);
            code_at[j] = may_be_marker && is_missing_marker(distinct[entry.id]) ? no_code : next++;
            code_of_id[entry.id] = code_at[j];
        }
    };
    // The one owned copy of each distinct text, shared by the table and the decode map.
    // Copied in byte order, so that whoever walks the codes later (building the maps now,
    // decoding or writing the state later) reads the texts front to back.
    std::vector<std::string_view> ordered(k);
    const auto store = [&] {
        // The reads jump around the column buffer: start fetching a few texts ahead.
        constexpr std::size_t ahead = 8;
        for (std::size_t j = 0; j < k; ++j) {
            if (j + ahead < k) __builtin_prefetch(distinct[sorted[j + ahead].id].data());
            ordered[j] = texts.add(distinct[sorted[j].id]);
        }
    };
    if (k >= parallel_sort_min) {
        tbb::parallel_invoke(number, store);
    } else {
        number();
        store();
    }
    sorted = {};
    distinct = {};
    if (rows_read) rows_read();  // from here on only the stored copies are read

    // The table, the decode map and the rows' codes are independent: build them at once.
    CodeTable table;
    const auto build_table = [&] {
        table.reserve(k);
        for (std::size_t j = 0; j < k; ++j) {
            table.push_back(ordered[j], code_at[j] == no_code ? std::nullopt : std::optional<std::uint64_t>(code_at[j]));
        }
    };
    const auto build_decode = [&] {
        if (decode == nullptr) return;
        decode->reserve(next);
        for (std::size_t j = 0; j < k; ++j) {
            if (code_at[j] != no_code) decode->push_back(code_at[j], ordered[j]);
        }
    };
    const auto fill_rows = [&] {
        for_rows(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint64_t code = code_of_id[row_ids[i]];
                out[i * stride] = code == no_code ? missing_code : static_cast<double>(code);
            }
        });
    };
    if (n >= parallel_rows_min) {
        tbb::parallel_invoke(build_table, build_decode, fill_rows);
    } else {
        build_table();
        build_decode();
        fill_rows();
    }
    return table;
}

}  // namespace

bool is_missing_marker(std::string_view text) noexcept {
    return text == "<NA>" || text == "nan" || text == "NaN";
}

CodeTable label_encode_into(const TextColumn& values, double* out, std::size_t stride, TextStore& texts,
                            DecodeMap* decode, const std::function<void()>& rows_read) {
    if (values.size() <= std::numeric_limits<std::uint32_t>::max()) {
        return encode_column<std::uint32_t>(values, out, stride, texts, decode, rows_read);
    }
    return encode_column<std::uint64_t>(values, out, stride, texts, decode, rows_read);
}

LabelEncoded label_encode(const TextColumn& values) {
    LabelEncoded result;
    result.codes.resize(values.size());
    result.table = label_encode_into(values, result.codes.data(), 1, result.texts);
    return result;
}

DecodeMap make_decode_map(const CodeTable& table) {
    std::vector<DecodeMap::value_type> entries;
    entries.reserve(table.size());
    for (const auto& [text, code] : table) {
        if (code) entries.emplace_back(*code, text);
    }
    return DecodeMap(std::move(entries));
}

}  // namespace quorvel
