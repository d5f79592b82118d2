// The code rule of one text column: distinct texts sorted byte-wise, numbered 0, 1, 2, ...
//
// Only the distinct texts are sorted. The rows go into sets of distinct texts (holding
// 4-byte ids; each text is hashed once, so neither lookups nor growth hash again; large
// columns are split by stretches of rows, or by hash into shards, filled in parallel),
// and each row's distinct id is kept in the cell that takes its code later. A distinct
// text is known by the first row that holds it (4 bytes, not a 16-byte view). The k
// distinct ids are sorted on an 8-byte key taken after the bytes that all texts share
// (most comparisons never touch the texts) and numbered; the texts are copied once, in
// byte order, into the store that the code table and the decode map share; then the
// rows' codes, the code table and the decode map are filled in parallel.
// Sorting all n rows would do the same job with n log n string comparisons; columns
// usually hold far fewer distinct texts than rows. Columns whose texts are nearly all
// distinct, as a sample of their rows tells, are the exception: their rows are sorted.
//
// A column is read the same way whether its texts were staged (TextColumn) or are
// borrowed where they lie (BorrowedTexts): the code below is written once for either.
//
// Memory: a nearly unique column's working arrays are as large as its tables, so each is
// freed as soon as it has been read for the last time, and the sorted order is one array
// that holds first the sort keys, then the stored texts.
#include "core/label_encode.hpp"
#include "core/distinct_sample.hpp"
#include "core/prefix_sort.hpp"
#include "core/text_order.hpp"
#include "core/worker_pool.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include <boost/unordered/unordered_flat_set.hpp>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>
#include <oneapi/tbb/parallel_reduce.h>

// The row hashes are computed inline, in the loop over the rows.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "core/row_loop.hpp"

namespace quorvel {
namespace {

// The NaN that marks a missing value in the results: the plain quiet NaN.
const double missing_code = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Below this many distinct texts sorting them in parallel costs more in task overhead
// than it saves (rows: see row_loop.hpp).
constexpr std::size_t parallel_sort_min = std::size_t{1} << 14;
// A column holds at most as many distinct texts as rows.
static_assert(serial_column_rows <= parallel_sort_min && serial_column_rows <= parallel_rows_min);
constexpr std::size_t small_column_rows = 4096;
constexpr std::size_t store_chunks = 8;  // of a large column's distinct texts, copied at once

// Each row's distinct id, kept in the row's cell of the codes until its code replaces it:
// a code takes 8 bytes, as much as any id, so the ids need no array of their own (which
// would be allocated, faulted in and read back besides the codes).
template <class Id>
struct RowIds {
    double* cells;
    std::size_t stride;

    Id operator[](std::size_t row) const noexcept {
        std::uint64_t id;
        std::memcpy(&id, cells + row * stride, sizeof id);
        return static_cast<Id>(id);
    }
    void set(std::size_t row, Id id) const noexcept {
        const std::uint64_t wide = id;
        std::memcpy(cells + row * stride, &wide, sizeof wide);
    }
};

// A row's text with its hash, computed once.
struct HashedText {
    std::string_view text;
    std::uint64_t hash;
};

// How the rows' hashes are had: computed as each row is taken, in the same pass that
// looks its text up (a large array of them would be written and read back), or read
// from such an array where rows are first grouped by their hashes.
struct HashedInPass {
    std::uint64_t seed;
    std::uint64_t operator()(std::size_t, std::string_view text) const noexcept {
        // XXH3's own steps for texts up to 128 bytes, the usual lengths, inlined into the
        // row loop (the full function is not: its long-text path is large). The hash is
        // the same as XXH3_64bits_withSeed's.
        const auto* bytes = reinterpret_cast<const xxh_u8*>(text.data());
        if (text.size() <= 16) return XXH3_len_0to16_64b(bytes, text.size(), XXH3_kSecret, seed);
        if (text.size() <= 128) {
            return XXH3_len_17to128_64b(bytes, text.size(), XXH3_kSecret, sizeof XXH3_kSecret, seed);
        }
        return XXH3_64bits_withSeed(text.data(), text.size(), seed);
    }
};
// A probe that stops at the first entry whose hash bits kept by the set itself match,
// without reading any text: it tells where a row's text most likely is, so that its
// record can be fetched while further rows are probed. The caller compares the text.
struct ProbeOnly {
    std::uint64_t hash;
};
struct HashedBefore {
    const BufferVector<std::uint64_t>* hashes;  // of every row
    std::uint64_t operator()(std::size_t row, std::string_view) const noexcept { return (*hashes)[row]; }
};

// The distinct texts found so far, numbered in order of first occurrence, each known by
// the first row that holds it, through which its text is read, and with its hash. A set
// of them holds one 4-byte entry per text: its slots stay small enough for the set to sit
// in cache, and a text is compared only when the set's own hash bits match.
//
// A column with many rows per distinct text finds most rows' texts already in the set, and
// each such find compares the row's text with the distinct one. Read through its first row,
// that text lies anywhere in the column (cache misses on the row's end offset and on its
// bytes, per row); so such columns also keep a compact copy of each distinct text, a
// record of its number, its length and its bytes, and a set entry is where the record
// starts: a find then reads one place besides the set's slot. Otherwise an entry is the
// text's number.
template <class Id, class Column>
struct DistinctRows {
    const Column* values;
    BufferVector<Id> first_rows;                // by distinct number
    BufferVector<std::uint64_t> hashes;         // by distinct number
    bool compact = false;                       // texts read from the records below
    std::vector<char> records;                  // number and length (4 bytes each), then the bytes
    BufferVector<std::uint32_t> record_at;      // by distinct number

    static constexpr std::size_t record_header = 2 * sizeof(std::uint32_t);

    std::uint32_t field(std::uint32_t entry, std::size_t at) const noexcept {
        std::uint32_t value;
        std::memcpy(&value, records.data() + entry + at, sizeof value);
        return value;
    }
    std::string_view entry_text(std::uint32_t entry) const noexcept {
        if (!compact) return (*values)[first_rows[entry]];
        return {records.data() + entry + record_header, field(entry, sizeof(std::uint32_t))};
    }
    std::uint32_t entry_id(std::uint32_t entry) const noexcept { return compact ? field(entry, 0) : entry; }

    std::string_view text(std::uint32_t id) const noexcept { return entry_text(compact ? record_at[id] : id); }
    std::uint64_t hash(std::uint32_t id) const noexcept { return hashes[id]; }
    // Starts fetching where text `id` is found: loops that read texts in a scattered order
    // call it some texts ahead.
    void prefetch(std::size_t id) const noexcept {
        if (compact) {
            __builtin_prefetch(&record_at[id]);
        } else {
            __builtin_prefetch(&first_rows[id]);
        }
    }

    // Adds the text of `row` as the next number; returns its set entry.
    std::uint32_t add(std::size_t row, std::string_view text, std::uint64_t hash) {
        const auto id = static_cast<std::uint32_t>(first_rows.size());
        first_rows.push_back(static_cast<Id>(row));
        hashes.push_back(hash);
        if (!compact) return id;
        const auto entry = static_cast<std::uint32_t>(records.size());
        const std::uint32_t header[2] = {id, static_cast<std::uint32_t>(text.size())};
        const auto* header_bytes = reinterpret_cast<const char*>(header);
        records.insert(records.end(), header_bytes, header_bytes + record_header);
        records.insert(records.end(), text.begin(), text.end());
        record_at.push_back(entry);
        return entry;
    }
};

template <class Id, class Column>
struct IdHash {
    using is_transparent = void;
    using is_avalanching = void;  // the stored hashes are seeded XXH3 values
    const DistinctRows<Id, Column>* distinct;
    std::size_t operator()(std::uint32_t entry) const noexcept { return distinct->hash(distinct->entry_id(entry)); }
    std::size_t operator()(const HashedText& key) const noexcept { return key.hash; }
    std::size_t operator()(ProbeOnly key) const noexcept { return key.hash; }
};

template <class Id, class Column>
struct SameText {
    using is_transparent = void;
    const DistinctRows<Id, Column>* distinct;
    bool operator()(std::uint32_t a, std::uint32_t b) const noexcept { return a == b; }  // distinct by construction
    bool operator()(const HashedText& key, std::uint32_t entry) const noexcept {
        // Nearly every row is compared once with the distinct text it repeats.
        return same_bytes(distinct->entry_text(entry), key.text);
    }
    bool operator()(std::uint32_t entry, const HashedText& key) const noexcept { return (*this)(key, entry); }
    bool operator()(ProbeOnly, std::uint32_t) const noexcept { return true; }
    bool operator()(std::uint32_t, ProbeOnly) const noexcept { return true; }
};

template <class Id, class Column>
using IdSet = boost::unordered_flat_set<std::uint32_t, IdHash<Id, Column>, SameText<Id, Column>>;

// One place of the byte order of the distinct texts. The array of them serves twice
// instead of allocating a second one: first it holds the sort keys (prefix key and
// distinct id, which finds the text when two prefixes tie), then the place's text as
// stored for the tables.
struct Slot {
    std::uint64_t word0;  // the prefix key, or the text's address
    std::uint64_t word1;  // the distinct id, or the text's length

    std::uint64_t prefix() const noexcept { return word0; }
    std::size_t id() const noexcept { return static_cast<std::size_t>(word1); }
    std::string_view text() const noexcept {
        return {reinterpret_cast<const char*>(static_cast<std::uintptr_t>(word0)), static_cast<std::size_t>(word1)};
    }
    void hold(std::string_view text) noexcept {
        word0 = reinterpret_cast<std::uintptr_t>(text.data());
        word1 = text.size();
    }
};

// Large columns are split into shards by hash bits that the maps themselves do not use
// for placement (those are the top bits) nor for their metadata (the low byte), so each
// shard's map is filled by its own task and still spreads evenly.
constexpr unsigned shard_bits = 4;
constexpr std::size_t shard_count = std::size_t{1} << shard_bits;

std::size_t shard_of(std::uint64_t hash) noexcept { return (hash >> 24) & (shard_count - 1); }

// Every row index 0..n-1, in order, without storing them.
struct AllRows {
    std::size_t n;
    std::size_t size() const noexcept { return n; }
    std::size_t operator[](std::size_t i) const noexcept { return i; }
};

// A slice of a list of row indices.
template <class Id>
struct SomeRows {
    const Id* begin;
    std::size_t n;
    std::size_t size() const noexcept { return n; }
    std::size_t operator[](std::size_t i) const noexcept { return begin[i]; }
};

// The distinct texts of some rows: each text's first row, in order of first occurrence,
// and the set that finds them. Not movable: the set's hash and equality read `distinct`.
template <class Id, class Column>
struct DistinctSet {
    DistinctRows<Id, Column> distinct;
    IdSet<Id, Column> ids;

    DistinctSet(const Column& values, std::size_t expected, bool compact)
        : distinct{&values, {}, {}, compact, {}, {}}, ids(0, IdHash<Id, Column>{&distinct}, SameText<Id, Column>{&distinct}) {
        if (expected != 0) {
            ids.reserve(expected);
            distinct.first_rows.reserve(expected);
            distinct.hashes.reserve(expected);
            if (compact) {
                distinct.record_at.reserve(expected);
                // Records as long as the column's texts are on average, so that the
                // records rarely move as they grow.
                const std::size_t mean_bytes = values.empty() ? 0 : values.bytes() / values.size();
                distinct.records.reserve(expected * (DistinctRows<Id, Column>::record_header + mean_bytes + 1));
            }
        }
    }
    DistinctSet(const DistinctSet&) = delete;
    DistinctSet& operator=(const DistinctSet&) = delete;

    static constexpr Id absent = std::numeric_limits<Id>::max();  // no id: ids are below the row count

    // The id of a text, or `absent`. Changes nothing, so finds may run at once.
    Id find(std::string_view text, std::uint64_t hash) const {
        const auto found = ids.find(HashedText{text, hash});
        return found != ids.end() ? static_cast<Id>(distinct.entry_id(*found)) : absent;
    }

    // The id of the text held by `row`, which is added when new.
    std::uint32_t id_of(std::size_t row, std::string_view text, std::uint64_t hash) {
        const auto found = ids.find(HashedText{text, hash});
        if (found != ids.end()) return distinct.entry_id(*found);
        const auto id = static_cast<std::uint32_t>(distinct.first_rows.size());
        ids.insert(distinct.add(row, text, hash));
        return id;
    }

    // Takes the given rows in order; `local[row]` receives each one's id.
    template <class Rows, class HashOf>
    void take(const Rows& rows, RowIds<Id> local, const HashOf& hash_of) {
        if (distinct.compact) return take_in_batches(rows, local, hash_of);
        const Column& values = *distinct.values;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const std::size_t i = rows[r];
            const std::string_view text = values[i];
            local.set(i, static_cast<Id>(id_of(i, text, hash_of(i, text))));
        }
    }

    // The same for rows that mostly repeat texts already found: reading a found text's
    // record is a cache miss per row, which would stall each find in turn. A batch of rows
    // is first probed by hash alone, each probe starting the fetch of the record it
    // points to, then their texts are compared; rows whose guess was wrong or absent (new
    // texts, and the few whose hash bits in the set matched another entry first) take
    // the full path.
    template <class Rows, class HashOf>
    void take_in_batches(const Rows& rows, RowIds<Id> local, const HashOf& hash_of) {
        const Column& values = *distinct.values;
        constexpr std::size_t batch = 16;
        // Records end below 4 GiB - 1 (see `distinct_texts`): no record starts here.
        constexpr std::uint32_t no_guess = std::numeric_limits<std::uint32_t>::max();
        std::array<std::string_view, batch> texts;
        std::array<std::uint64_t, batch> hashes;
        std::array<std::uint32_t, batch> guesses;
        for (std::size_t first = 0; first < rows.size(); first += batch) {
            const std::size_t m = std::min(batch, rows.size() - first);
            for (std::size_t j = 0; j < m; ++j) {
                const std::size_t i = rows[first + j];
                texts[j] = values[i];
                hashes[j] = hash_of(i, texts[j]);
            }
            for (std::size_t j = 0; j < m; ++j) {
                const auto found = ids.find(ProbeOnly{hashes[j]});
                guesses[j] = found != ids.end() ? *found : no_guess;
                if (guesses[j] != no_guess) __builtin_prefetch(distinct.records.data() + guesses[j]);
            }
            for (std::size_t j = 0; j < m; ++j) {
                const std::size_t i = rows[first + j];
                if (guesses[j] != no_guess && same_bytes(distinct.entry_text(guesses[j]), texts[j])) {
                    local.set(i, static_cast<Id>(distinct.entry_id(guesses[j])));
                } else {
                    local.set(i, static_cast<Id>(id_of(i, texts[j], hashes[j])));
                }
            }
        }
    }
};

// The distinct texts among the given rows, in order of first occurrence; `local[row]`
// receives each given row's index into them. (The set is done with: its texts move out.)
template <class Id, class Column, class Rows, class HashOf>
DistinctRows<Id, Column> distinct_of(const Column& values, const HashOf& hash_of, std::size_t expected, bool compact,
                             RowIds<Id> local, const Rows& rows) {
    DistinctSet<Id, Column> set(values, expected, compact);
    set.take(rows, local, hash_of);
    return std::move(set.distinct);
}

// The rows begin..end-1.
struct RowRange {
    std::size_t first, n;
    std::size_t size() const noexcept { return n; }
    std::size_t operator[](std::size_t i) const noexcept { return first + i; }
};

// Where a column's rows were taken by stretches (below), the rows of each later stretch
// hold ids of that stretch's own set: those from starts[s] on (up to the next start) are
// turned into the column's ids by renumber[s]. Empty where every row holds the column's
// id. Whoever reads the rows' ids next turns them, which saves a pass over the rows.
template <class Id>
struct LaterStretches {
    std::vector<std::size_t> starts;
    std::vector<BufferVector<Id>> renumber;

    // Runs body(begin, end, turn) over rows begin..end-1 cut where stretches start; `turn`
    // is the stretch's renumbering, or null for rows that hold the column's ids.
    template <class Body>
    void for_rows(std::size_t begin, std::size_t end, const Body& body) const {
        auto s = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin());
        while (begin < end) {
            const std::size_t stop = s < starts.size() ? std::min(end, starts[s]) : end;
            body(begin, stop, s == 0 ? nullptr : renumber[s - 1].data());
            begin = stop;
            ++s;
        }
    }
};

// A column whose rows repeat their texts: each worker takes one stretch of consecutive
// rows into a set of its own (the rows are read in order, and a set of few texts stays in
// cache), then the later stretches' distinct texts are looked up in the first one's set,
// which gathers them all; `later` receives how their rows' ids turn into the column's.
// The lookups cost one per distinct text of a stretch, little where rows are many per text.
template <class Id, class Column, class HashOf>
DistinctRows<Id, Column> distinct_by_stretches(const Column& values, const HashOf& hash_of, std::size_t expected,
                                               bool compact, RowIds<Id> row_ids, std::size_t stretches,
                                               LaterStretches<Id>& later) {
    const std::size_t n = values.size();
    const auto start = [&](std::size_t c) { return n * c / stretches; };
    std::vector<std::unique_ptr<DistinctSet<Id, Column>>> sets(stretches);
    tbb::parallel_for(std::size_t{0}, stretches, [&](std::size_t c) {
        const std::size_t rows = start(c + 1) - start(c);
        sets[c] = std::make_unique<DistinctSet<Id, Column>>(values, std::min(expected, rows), compact);
        sets[c]->take(RowRange{start(c), rows}, row_ids, hash_of);
    });
    DistinctSet<Id, Column>& all = *sets[0];
    later.starts.clear();
    later.renumber.assign(stretches - 1, {});
    for (std::size_t c = 1; c < stretches; ++c) {
        const DistinctRows<Id, Column>& mine = sets[c]->distinct;
        const std::size_t k = mine.first_rows.size();
        later.starts.push_back(start(c));
        BufferVector<Id>& renumber = later.renumber[c - 1];
        renumber.resize(k);
        // Most of a stretch's texts are in the first set already: they are found at once
        // (finding changes no set), and only the rest are added, one after another.
        for_range(k, [&](std::size_t begin, std::size_t end) {
            for (std::size_t id = begin; id < end; ++id) {
                const auto mine_id = static_cast<std::uint32_t>(id);
                renumber[id] = all.find(mine.text(mine_id), mine.hash(mine_id));
            }
        });
        for (std::size_t id = 0; id < k; ++id) {
            if (renumber[id] != DistinctSet<Id, Column>::absent) continue;
            const auto mine_id = static_cast<std::uint32_t>(id);
            renumber[id] = static_cast<Id>(all.id_of(mine.first_rows[id], mine.text(mine_id), mine.hash(mine_id)));
        }
        sets[c].reset();
    }
    return std::move(all.distinct);
}

// The row indices grouped by shard, each group in row order; `starts[s]` is where shard
// s begins (and `starts[shard_count]` is n). A parallel counting sort: blocks of rows
// count their shards, then place their rows at the offsets that the counts give.
template <class Id>
BufferVector<Id> rows_by_shard(const BufferVector<std::uint64_t>& hashes, std::vector<std::size_t>& starts) {
    const std::size_t n = hashes.size();
    const std::size_t blocks = (n + row_grain - 1) / row_grain;
    std::vector<std::array<std::size_t, shard_count>> counts(blocks);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t b = r.begin(); b < r.end(); ++b) {
            counts[b].fill(0);
            for (std::size_t i = b * row_grain; i < std::min(n, (b + 1) * row_grain); ++i) ++counts[b][shard_of(hashes[i])];
        }
    });
    // Turn the counts into each block's first slot in each shard.
    starts.assign(shard_count + 1, 0);
    std::size_t at = 0;
    for (std::size_t s = 0; s < shard_count; ++s) {
        starts[s] = at;
        for (auto& block : counts) at += std::exchange(block[s], at);
    }
    starts[shard_count] = at;
    BufferVector<Id> rows(n);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t b = r.begin(); b < r.end(); ++b) {
            auto& next = counts[b];
            for (std::size_t i = b * row_grain; i < std::min(n, (b + 1) * row_grain); ++i) {
                rows[next[shard_of(hashes[i])]++] = static_cast<Id>(i);
            }
        }
    });
    return rows;
}

// Pass 1: the first row of each distinct text (each text exactly once, in an order fixed
// by the rows), with the compact copies where they were kept, and each row's distinct
// id, an index into them once turned by `later`.
template <class Id, class Column>
DistinctRows<Id, Column> distinct_texts(const Column& values, RowIds<Id> row_ids, std::uint64_t seed,
                                        std::size_t expected, LaterStretches<Id>& later) {
    const std::size_t n = values.size();
    // Copies pay where rows repeat texts (a nearly unique column would only copy them all).
    // Their records are found by 4-byte offsets: they must stay below 4 GiB.
    const bool compact = n >= parallel_rows_min && expected * 4 <= n &&
                         values.bytes() + DistinctRows<Id, Column>::record_header * n < std::numeric_limits<std::uint32_t>::max();

    // A short column's map is sized for all its rows at once (a few tens of KiB at most),
    // and it never grows (each growth places every text found so far again). Few distinct
    // texts, or rows that repeat them: a set per stretch of rows stays in cache, and the
    // stretches' sets are small to join; splitting by hash would read the rows out of order.
    const HashedInPass in_pass{seed};
    if (n <= small_column_rows) return distinct_of(values, in_pass, n, false, row_ids, AllRows{n});
    if (n < parallel_rows_min) return distinct_of(values, in_pass, expected, compact, row_ids, AllRows{n});
    if (expected == 0 || compact) {
        const std::size_t stretches = std::min(pool_thread_count(), n / parallel_rows_min);
        if (stretches <= 1) return distinct_of(values, in_pass, expected, compact, row_ids, AllRows{n});
        return distinct_by_stretches(values, in_pass, expected, compact, row_ids, stretches, later);
    }

    BufferVector<std::uint64_t> hashes(n);
    for_range(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hashes[i] = in_pass(i, values[i]);
    });
    const HashedBefore before{&hashes};

    // Each shard task takes only its own rows, so it writes only their slots of `row_ids`:
    // their ids within the shard (32-bit, as one map would need over four billion
    // distinct texts to overflow them), made global below.
    std::vector<std::size_t> starts;
    BufferVector<Id> grouped = rows_by_shard<Id>(hashes, starts);

    std::vector<DistinctRows<Id, Column>> shards(shard_count);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, shard_count, 1), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t s = r.begin(); s < r.end(); ++s) {
            const SomeRows<Id> rows{grouped.data() + starts[s], starts[s + 1] - starts[s]};
            shards[s] = distinct_of(values, before, expected / shard_count, compact, row_ids, rows);
        }
    });
    release(grouped);
    std::vector<std::size_t> base(shard_count + 1, 0);
    for (std::size_t s = 0; s < shard_count; ++s) base[s + 1] = base[s] + shards[s].first_rows.size();
    DistinctRows<Id, Column> all{&values, {}, {}, false, {}, {}};
    all.first_rows.reserve(base[shard_count]);
    for (auto& shard : shards) {
        all.first_rows.insert(all.first_rows.end(), shard.first_rows.begin(), shard.first_rows.end());
        shard = {};
    }
    for_range(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) row_ids.set(i, row_ids[i] + static_cast<Id>(base[shard_of(hashes[i])]));
    });
    return all;
}

// The number of leading bytes that the texts text(0) .. text(k - 1) all share (0 for none
// or no texts). Distinct texts read in id order jump around the rows: many are split.
template <class TextOf>
std::size_t shared_prefix_length(std::size_t k, const TextOf& text) {
    if (k == 0) return 0;
    const std::string_view first = text(0);
    // How many of the first `shared` bytes of `first` the texts of ids begin..end share.
    const auto shared_by = [&](std::size_t begin, std::size_t end, std::size_t shared) {
        return shared_with(first, shared, begin, end, text);
    };
    if (k < parallel_rows_min) return shared_by(0, k, first.size());
    return tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, k, row_grain), first.size(),
        [&](const tbb::blocked_range<std::size_t>& r, std::size_t shared) { return shared_by(r.begin(), r.end(), shared); },
        [](std::size_t a, std::size_t b) { return std::min(a, b); });
}

// Sorts slots that hold prefix keys into the byte order of their texts; `text(id)` is the
// text of a slot's id, and texts whose keys tie agree on their first `tied` bytes.
template <class TextOf>
void sort_slots(BufferVector<Slot>& slots, const TextOf& text, std::size_t tied) {
    sort_by_prefix(
        slots.data(), slots.data() + slots.size(), [](const Slot& slot) { return slot.prefix(); },
        [&](const Slot& slot) { return text(slot.id()); }, tied);
}

// The distinct ids in byte-wise order of their texts (unsigned bytes, a proper prefix
// first). The texts are distinct, so an unstable sort cannot be observed. Texts often
// share their first bytes (a common stem of identifiers, a year of dates): the prefix
// keys are taken after what all texts share, so that they still tell most texts apart.
template <class TextOf>
BufferVector<Slot> sorted_ids(std::size_t k, const TextOf& text) {
    const std::size_t skip = shared_prefix_length(k, text);
    const PackedKeys keys = packed_keys_of(k, [&](std::size_t id) { return text(id).substr(skip); });
    BufferVector<Slot> slots(k);
    for_range(slots.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t id = begin; id < end; ++id) slots[id] = {keys.key(text(id).substr(skip)), id};
    });
    sort_slots(slots, text, skip + keys.span());
    return slots;
}

// Positions of the missing-value markers among the sorted texts, ascending; `text(j)`
// is the text at place j. The texts are sorted, so each marker is found by halving.
template <class TextAt>
std::vector<std::size_t> marker_positions(std::size_t k, const TextAt& text) {
    std::vector<std::size_t> found;
    for (const std::string_view marker : {std::string_view("<NA>"), std::string_view("NaN"), std::string_view("nan")}) {
        std::size_t low = 0, high = k;  // the first place whose text is not below the marker
        while (low < high) {
            const std::size_t mid = low + (high - low) / 2;
            if (text(mid) < marker) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        if (low < k && text(low) == marker) found.push_back(low);
    }
    return found;  // the markers are listed in byte order, so their positions ascend
}

// Runs body(c, begin, end, m) for the places 0..k-1 cut into `chunks` even chunks, all at
// once; m is the number of markers before `begin`. The code of a non-marker text at
// place j is then j minus the markers before it.
template <class Body>
void for_places(std::size_t k, std::size_t chunks, const std::vector<std::size_t>& markers, const Body& body) {
    const auto chunk = [&](std::size_t c) {
        const std::size_t begin = k * c / chunks, end = k * (c + 1) / chunks;
        const auto before = std::lower_bound(markers.begin(), markers.end(), begin) - markers.begin();
        body(c, begin, end, static_cast<std::size_t>(before));
    };
    if (chunks == 1) {
        chunk(0);
    } else {
        tbb::parallel_for(std::size_t{0}, chunks, chunk);
    }
}

// The decode map of a column's code table: its coded entries, keyed by code. Code c sits
// at place c plus the markers before it, so chunks of codes are filled at once.
DecodeMap decode_map_of(const CodeTable& table, const std::vector<std::size_t>& markers) {
    const std::size_t k = table.size();
    DecodeMap::entries_type coded(k - markers.size());
    const std::size_t chunks = k >= parallel_sort_min ? store_chunks : 1;
    for_places(k, chunks, markers, [&](std::size_t, std::size_t begin, std::size_t end, std::size_t m) {
        auto it = table.begin() + static_cast<std::ptrdiff_t>(begin);
        for (std::size_t j = begin; j < end; ++j, ++it) {
            if (m < markers.size() && markers[m] == j) {
                ++m;
            } else {
                coded[j - m] = {j - m, it->first};
            }
        }
    });
    return DecodeMap(std::move(coded));
}

// A column of nearly unique texts is sorted row by row: sorting every row costs little
// more than sorting the distinct texts, which are nearly as many, and it saves finding
// them first (a hash and a set probe per row), after which every walk over them would
// jump around the column. Equal texts end up side by side and take one code.
//
// The places are cut into chunks, each walked by its own task, three times: to mark where
// each run of equal texts starts; then, numbered from the runs of the chunks before, to
// copy each distinct text into the store and give every row its code; then, once the rows
// are freed, to fill the table and the decode map. In between, a chunk's stored texts are
// kept in its own first slots, which its walk has read by then: the peak holds no more
// than one array of slots besides the tables.
template <class Column>
CodeTable encode_sorted_rows(const Column& values, double* out, std::size_t stride, TextStore& texts,
                             DecodeMap* decode, const std::function<void()>& rows_read) {
    const std::size_t n = values.size();
    const std::size_t skip = shared_prefix_length(n, [&](std::size_t row) { return values[row]; });
    const PackedKeys keys = packed_keys_of(n, [&](std::size_t row) { return values[row].substr(skip); });
    BufferVector<Slot> slots(n);  // prefix key and row
    for_range(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) slots[i] = {keys.key(values[i].substr(skip)), i};
    });
    sort_slots(slots, [&](std::size_t row) { return values[row]; }, skip + keys.span());
    const auto text_at = [&](std::size_t j) { return values[slots[j].id()]; };

    const std::size_t chunks = std::max<std::size_t>(1, std::min(n / row_grain, 8 * pool_thread_count()));
    const auto chunk_begin = [&](std::size_t c) { return n * c / chunks; };
    BufferVector<std::uint8_t> starts_run(n);
    std::vector<std::size_t> runs_before(chunks + 1, 0);
    tbb::parallel_for(std::size_t{0}, chunks, [&](std::size_t c) {
        std::size_t runs = 0;
        for (std::size_t j = chunk_begin(c); j < chunk_begin(c + 1); ++j) {
            const bool starts = j == 0 || slots[j].prefix() != slots[j - 1].prefix() ||
                                !same_bytes(text_at(j), text_at(j - 1));
            starts_run[j] = starts;
            runs += starts;
        }
        runs_before[c + 1] = runs;
    });
    for (std::size_t c = 0; c < chunks; ++c) runs_before[c + 1] += runs_before[c];
    const std::size_t k = runs_before[chunks];  // distinct texts

    // The places (distinct numbers, in byte order) of the markers, ascending.
    std::vector<std::size_t> markers;
    for (const std::size_t j : marker_positions(n, text_at)) {
        // The runs that start in j's chunk up to j, after those of the chunks before.
        std::size_t chunk = 0;
        while (chunk_begin(chunk + 1) <= j) ++chunk;
        std::size_t runs = runs_before[chunk];
        for (std::size_t i = chunk_begin(chunk); i <= j; ++i) runs += starts_run[i];
        markers.push_back(runs - 1);
    }
    // The code of the text at `place`: its place less the markers before it.
    const auto code_at = [&](std::size_t place) {
        const auto before = static_cast<std::size_t>(std::lower_bound(markers.begin(), markers.end(), place) - markers.begin());
        return before < markers.size() && markers[before] == place ? missing_code : static_cast<double>(place - before);
    };

    std::vector<TextStore> chunk_texts(chunks);
    tbb::parallel_for(std::size_t{0}, chunks, [&](std::size_t c) {
        const std::size_t begin = chunk_begin(c), end = chunk_begin(c + 1);
        std::size_t place = runs_before[c];  // of the next run to start
        // A chunk may go on with the run of the chunk before, whose place is the one before.
        double code = begin < end && !starts_run[begin] ? code_at(place - 1) : missing_code;
        // The rows lie anywhere: fetch where a row's text is kept some places ahead, then
        // its bytes and its code's cell a few places ahead.
        constexpr std::size_t bounds_ahead = 32, text_ahead = 16;
        for (std::size_t j = begin; j < end; ++j) {
            if (j + bounds_ahead < end) values.prefetch_bounds(slots[j + bounds_ahead].id());
            if (j + text_ahead < end) {
                __builtin_prefetch(text_at(j + text_ahead).data());
                __builtin_prefetch(out + slots[j + text_ahead].id() * stride, 1);
            }
            const std::size_t row = slots[j].id();
            if (starts_run[j]) {
                code = code_at(place);
                // Slot begin + (place - runs_before[c]) is at most j: already read.
                slots[begin + place - runs_before[c]].hold(chunk_texts[c].add(values[row]));
                ++place;
            }
            out[row * stride] = code;
        }
    });
    for (TextStore& chunk : chunk_texts) texts.adopt(std::move(chunk));
    release(starts_run);
    if (rows_read) rows_read();  // from here on only the stored copies are read

    CodeTable::entries_type entries(k);
    tbb::parallel_for(std::size_t{0}, chunks, [&](std::size_t c) {
        std::size_t m = std::lower_bound(markers.begin(), markers.end(), runs_before[c]) - markers.begin();
        for (std::size_t place = runs_before[c]; place < runs_before[c + 1]; ++place) {
            const std::string_view text = slots[chunk_begin(c) + place - runs_before[c]].text();
            if (m < markers.size() && markers[m] == place) {
                ++m;
                entries[place] = {text, std::nullopt};
            } else {
                entries[place] = {text, place - m};
            }
        }
    });
    release(slots);  // before the decode map is made: its entries are larger than the slots
    const CodeTable table(std::move(entries));
    if (decode != nullptr) *decode = decode_map_of(table, markers);
    return table;
}

template <class Id, class Column>
CodeTable encode_column(const Column& values, double* out, std::size_t stride, TextStore& texts,
                        DecodeMap* decode, const std::function<void()>& rows_read) {
    const std::size_t n = values.size();
    const std::uint64_t seed = SeededHash{}.seed;  // a fresh seed for this column's maps
    const std::vector<std::uint64_t> sample = sorted_sample(values, 0, n, seed);
    if (n >= parallel_rows_min && nearly_unique(sample, n)) {
        return encode_sorted_rows(values, out, stride, texts, decode, rows_read);
    }
    const std::size_t expected = estimated_distinct(sample, n);
    const RowIds<Id> row_ids{out, stride};
    LaterStretches<Id> later;
    DistinctRows<Id, Column> distinct = distinct_texts(values, row_ids, seed, expected, later);  // by distinct id
    release(distinct.hashes);
    // Read from the compact copies where they were kept: they lie close together.
    const auto text_of = [&](std::size_t id) { return distinct.text(static_cast<std::uint32_t>(id)); };
    BufferVector<Slot> sorted = sorted_ids(distinct.first_rows.size(), text_of);
    const std::size_t k = sorted.size();
    const auto staged_text = [&](std::size_t j) { return text_of(sorted[j].id()); };
    const std::vector<std::size_t> markers = marker_positions(k, staged_text);

    // Walk the distinct texts in byte order: number them (markers get no code and use up
    // no number) and copy each once into the store, its place then holding the stored
    // copy. The store holds the texts front to back in byte order, so whoever walks the
    // codes later (decoding, writing the state) reads the texts in sequence. Large
    // columns are copied in chunks of places at once, each chunk into a store of its own,
    // joined in order afterwards.
    // Codes are below k, which is at most the row count that Id can hold, so the largest
    // Id is free to mark a text without a code.
    constexpr Id no_code = std::numeric_limits<Id>::max();
    BufferVector<Id> code_of_id(k);
    const std::size_t chunks = k >= parallel_sort_min ? store_chunks : 1;
    std::vector<TextStore> chunk_texts(chunks);
    for_places(k, chunks, markers, [&](std::size_t c, std::size_t begin, std::size_t end, std::size_t m) {
        // The reads jump around: fetch where a text is found some places ahead, the text
        // itself a few ahead.
        constexpr std::size_t row_ahead = 32, text_ahead = 16;
        for (std::size_t j = begin; j < end; ++j) {
            if (j + row_ahead < end) distinct.prefetch(sorted[j + row_ahead].id());
            if (j + text_ahead < end) __builtin_prefetch(staged_text(j + text_ahead).data());
            const std::size_t id = sorted[j].id();
            sorted[j].hold(chunk_texts[c].add(text_of(id)));
            if (m < markers.size() && markers[m] == j) {
                ++m;
                code_of_id[id] = no_code;
            } else {
                code_of_id[id] = static_cast<Id>(j - m);
            }
        }
    });
    for (TextStore& chunk : chunk_texts) texts.adopt(std::move(chunk));
    distinct = {};
    if (rows_read) rows_read();  // from here on only the stored copies are read

    // Each later stretch's renumbering becomes the codes of its own ids: one lookup per
    // distinct text of the stretch, where turning the rows' ids would take one per row.
    for (BufferVector<Id>& turn : later.renumber) {
        for_range(turn.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t id = begin; id < end; ++id) turn[id] = code_of_id[turn[id]];
        });
    }

    // The rows' codes and the code table are independent: fill them at once.
    CodeTable::entries_type entries;
    const auto fill_rows = [&] {
        for_range(n, [&](std::size_t first, std::size_t last) {
            later.for_rows(first, last, [&](std::size_t begin, std::size_t end, const Id* codes) {
                if (codes == nullptr) codes = code_of_id.data();
                for (std::size_t i = begin; i < end; ++i) {
                    const Id code = codes[row_ids[i]];
                    out[i * stride] = code == no_code ? missing_code : static_cast<double>(code);
                }
            });
        });
    };
    const auto fill_table = [&] {
        entries.resize(k);
        for_places(k, chunks, markers, [&](std::size_t, std::size_t begin, std::size_t end, std::size_t m) {
            for (std::size_t j = begin; j < end; ++j) {
                if (m < markers.size() && markers[m] == j) {
                    ++m;
                    entries[j] = {sorted[j].text(), std::nullopt};
                } else {
                    entries[j] = {sorted[j].text(), j - m};
                }
            }
        });
    };
    if (n >= parallel_rows_min) {
        tbb::parallel_invoke(fill_rows, fill_table);
    } else {
        fill_rows();
        fill_table();
    }
    later = {};
    release(code_of_id);
    release(sorted);
    const CodeTable table(std::move(entries));

    if (decode != nullptr) *decode = decode_map_of(table, markers);
    return table;
}

}  // namespace

bool is_missing_marker(std::string_view text) noexcept {
    return text == "<NA>" || text == "nan" || text == "NaN";
}

namespace {

template <class Column>
CodeTable encode_any_column(const Column& values, double* out, std::size_t stride, TextStore& texts,
                            DecodeMap* decode, const std::function<void()>& rows_read) {
    if (values.size() <= std::numeric_limits<std::uint32_t>::max()) {
        return encode_column<std::uint32_t>(values, out, stride, texts, decode, rows_read);
    }
    return encode_column<std::uint64_t>(values, out, stride, texts, decode, rows_read);
}

}  // namespace

CodeTable label_encode_into(const TextColumn& values, double* out, std::size_t stride, TextStore& texts,
                            DecodeMap* decode, const std::function<void()>& rows_read) {
    return encode_any_column(values, out, stride, texts, decode, rows_read);
}

CodeTable label_encode_into(const BorrowedTexts& values, double* out, std::size_t stride, TextStore& texts,
                            DecodeMap* decode) {
    return encode_any_column(values, out, stride, texts, decode, {});
}

CodeTable label_encode_refs(const TextColumn& texts, const BufferVector<std::uint32_t>& refs, double* out,
                            std::size_t stride, TextStore& store, DecodeMap* decode,
                            const std::function<void()>& rows_read) {
    BufferVector<double> codes(texts.size());
    CodeTable table = label_encode_into(texts, codes.data(), 1, store, decode, rows_read);
    for_range(refs.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i * stride] = codes[refs[i]];
    });
    return table;
}

LabelEncoded label_encode(const TextColumn& values) {
    LabelEncoded result;
    result.codes.resize(values.size());
    result.table = label_encode_into(values, result.codes.data(), 1, result.texts);
    return result;
}

DecodeMap make_decode_map(const CodeTable& table) {
    DecodeMap::entries_type entries;
    entries.reserve(table.size());
    for (const auto& [text, code] : table) {
        if (code) entries.emplace_back(*code, text);
    }
    return DecodeMap(std::move(entries));
}

}  // namespace quorvel
