// Learner state: distinct texts per column, merged in row order; encodings built from them.
#include "core/learner_state.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <boost/sort/spreadsort/integer_sort.hpp>
#include <boost/unordered/unordered_flat_set.hpp>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>

#include "core/distinct_sample.hpp"
#include "core/fault.hpp"
#include "core/hash_map.hpp"
#include "core/label_encode.hpp"
#include "core/number_text.hpp"
#include "core/prefix_sort.hpp"
#include "core/text_order.hpp"

namespace quorvel {
namespace {

// Texts made one by one, as a set: sorted, duplicates dropped (NaNs of any payload are
// one text).
TextSet sorted_set(std::vector<std::string> texts) {
    tbb::parallel_sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    TextSet set;
    set.reserve(texts.size());
    for (const auto& text : texts) set.push_back(text);
    return set;
}

TextSet texts_of_numbers(const std::vector<std::uint64_t>& numbers) {
    std::vector<std::string> out;
    out.reserve(numbers.size());
    for (const auto bits : numbers) out.push_back(number_text(std::bit_cast<double>(bits)));
    return sorted_set(std::move(out));
}

TextSet texts_of_keys(const std::vector<NumberKey>& keys) {
    std::vector<std::string> out;
    out.reserve(keys.size());
    for (const auto& key : keys) out.push_back(key_text(key));
    return sorted_set(std::move(out));
}

// Byte order of two texts (unsigned bytes, a proper prefix first): <0, 0 or >0.
int compare_texts(std::string_view a, std::string_view b) noexcept {
    const std::uint64_t x = leading_bytes(a), y = leading_bytes(b);
    if (x != y) return x < y ? -1 : 1;
    return a.compare(b);
}

// Every text of two ascending sets once, in order, as views into them.
template <class Visit>
void merge_texts(const TextSet& a, const TextSet& b, Visit&& visit) {
    std::size_t i = 0, k = 0;
    while (i < a.size() && k < b.size()) {
        const std::string_view x = a[i], y = b[k];
        const int order = compare_texts(x, y);
        if (order < 0) {
            visit(x);
            ++i;
        } else if (order > 0) {
            visit(y);
            ++k;
        } else {
            visit(x);
            ++i;
            ++k;
        }
    }
    for (; i < a.size(); ++i) visit(a[i]);
    for (; k < b.size(); ++k) visit(b[k]);
}

// Python's repr of a float: the shortest round-trip digits, positional with a ".0" when
// integral for decimal exponents from -4 up to 16, scientific ("1e+16", "1.5e-05") beyond.
std::string float_repr(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    const auto done = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
    const std::string_view sci(buffer, static_cast<std::size_t>(done.ptr - buffer));
    const std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    const int exponent = std::stoi(std::string(sci.substr(e + 1)));
    const int point = exponent + 1;  // digits before the decimal point
    std::string out = std::signbit(value) ? "-" : "";
    const int n = static_cast<int>(digits.size());
    if (point <= -4 || point > 16) {
        out += digits[0];
        if (n > 1) out += "." + digits.substr(1);
        const int shown = point - 1;
        out += shown < 0 ? "e-" : "e+";
        const std::string magnitude = std::to_string(shown < 0 ? -shown : shown);
        if (magnitude.size() < 2) out += '0';
        return out + magnitude;
    }
    if (point <= 0) return out + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    if (point >= n) return out + digits + std::string(static_cast<std::size_t>(point - n), '0') + ".0";
    return out + digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
}

// --- the code tables of an encoding -----------------------------------------------------

// Merges below this many texts are not cut into ranges.
constexpr std::size_t parallel_merge_min = std::size_t{1} << 14;
constexpr std::size_t merge_ranges_max = 32;

// The first place in `set` whose text is not below `text`.
std::size_t lower_place(const TextSet& set, std::string_view text) {
    std::size_t low = 0, high = set.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (compare_texts(set[mid], text) < 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

// Every text of places [begin[s], end[s]) of each ascending set s once, in byte order:
// a heap of the sets' next texts, their leading bytes beside them.
std::vector<std::string_view> merge_places(const std::vector<const TextSet*>& sets, const std::vector<std::size_t>& begin,
                                           const std::vector<std::size_t>& end) {
    struct Head {
        std::uint64_t prefix;
        std::string_view text;
        std::size_t set;
        std::size_t at;
    };
    const auto later = [](const Head& a, const Head& b) {
        return a.prefix != b.prefix ? a.prefix > b.prefix : below_from(b.text, a.text, 8);
    };
    std::vector<Head> heads;
    std::size_t total = 0;
    for (std::size_t s = 0; s < sets.size(); ++s) {
        total += end[s] - begin[s];
        if (begin[s] < end[s]) {
            const std::string_view text = (*sets[s])[begin[s]];
            heads.push_back({leading_bytes(text), text, s, begin[s]});
        }
    }
    std::make_heap(heads.begin(), heads.end(), later);
    std::vector<std::string_view> out;
    out.reserve(total);
    while (!heads.empty()) {
        std::pop_heap(heads.begin(), heads.end(), later);
        Head& head = heads.back();
        if (out.empty() || !same_bytes(out.back(), head.text)) out.push_back(head.text);
        if (++head.at < end[head.set]) {
            head.text = (*sets[head.set])[head.at];
            head.prefix = leading_bytes(head.text);
            std::push_heap(heads.begin(), heads.end(), later);
        } else {
            heads.pop_back();
        }
    }
    return out;
}

// One text column's code table and decode map, built from the ascending sets of texts
// it learned, and the stores holding their texts (in byte order of the texts).
struct ColumnTables {
    CodeTable table;
    DecodeMap decode;
    std::vector<TextStore> stores;
};

// The union of the sets is cut into ranges of texts by splitters taken from the largest
// set; each range is merged, numbered and copied at once with the others, into a store
// of its own. Markers get no code and use up no number.
ColumnTables column_tables(const std::vector<const TextSet*>& sets) {
    const TextSet* largest = sets.front();
    std::size_t total = 0;
    for (const TextSet* set : sets) {
        total += set->size();
        if (set->size() > largest->size()) largest = set;
    }
    const std::size_t ranges = total < parallel_merge_min ? 1 : std::min(merge_ranges_max, total / (parallel_merge_min / 2));
    // bounds[r][s]: where range r starts in set s; range r ends where r + 1 starts.
    std::vector<std::vector<std::size_t>> bounds(ranges + 1, std::vector<std::size_t>(sets.size()));
    for (std::size_t s = 0; s < sets.size(); ++s) bounds[ranges][s] = sets[s]->size();
    for_each_pair(ranges - 1, [&](std::size_t r) {
        const std::string_view splitter = (*largest)[largest->size() * (r + 1) / ranges];
        for (std::size_t s = 0; s < sets.size(); ++s) bounds[r + 1][s] = lower_place(*sets[s], splitter);
    });
    // Each range merged, its bytes and markers counted.
    std::vector<std::vector<std::string_view>> merged(ranges);
    std::vector<std::size_t> bytes(ranges, 0), markers(ranges, 0);
    for_each_pair(ranges, [&](std::size_t r) {
        merged[r] = merge_places(sets, bounds[r], bounds[r + 1]);
        for (const auto text : merged[r]) {
            bytes[r] += text.size();
            markers[r] += is_missing_marker(text) ? 1 : 0;
        }
    });

    // Where each range's places and codes start.
    std::vector<std::size_t> first_place(ranges + 1, 0), first_code(ranges + 1, 0);
    for (std::size_t r = 0; r < ranges; ++r) {
        first_place[r + 1] = first_place[r] + merged[r].size();
        first_code[r + 1] = first_code[r] + merged[r].size() - markers[r];
    }
    CodeTable::entries_type entries(first_place[ranges]);
    DecodeMap::entries_type codes(first_code[ranges]);
    ColumnTables out;
    out.stores.resize(ranges);
    for_each_pair(ranges, [&](std::size_t r) {
        TextStore& store = out.stores[r];
        store.reserve(bytes[r]);
        std::size_t place = first_place[r], code = first_code[r];
        for (const auto text : merged[r]) {
            const std::string_view stored = store.add(text);
            if (is_missing_marker(stored)) {
                entries[place++] = {stored, std::nullopt};
            } else {
                entries[place++] = {stored, code};
                codes[code] = {code, stored};
                ++code;
            }
        }
        release(merged[r]);
    });
    out.table = CodeTable(std::move(entries));
    out.decode = DecodeMap(std::move(codes));
    return out;
}

std::vector<std::size_t> index_union(const std::vector<std::size_t>& a, const std::vector<std::size_t>& b) {
    std::vector<std::size_t> out;
    out.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

// --- byte form: little-endian u64 sizes, texts as length + bytes ---------------------

constexpr std::uint8_t format_version = 2;

// Writes into room sized beforehand.
struct Writer {
    char* at;

    void byte(std::uint8_t value) { *at++ = static_cast<char>(value); }
    void u64(std::uint64_t value) {
        static_assert(std::endian::native == std::endian::little, "sizes are stored little-endian");
        std::memcpy(at, &value, 8);
        at += 8;
    }
    void numbers(const std::vector<std::uint64_t>& values) {
        u64(values.size());
        for (const auto bits : values) u64(bits);
    }
    void keys(const std::vector<NumberKey>& values) {
        u64(values.size());
        for (const auto& key : values) {
            byte(key.kind);
            u64(key.bits);
        }
    }
    void set(const TextSet& texts) {
        u64(texts.size());
        for (std::size_t k = 0; k < texts.size(); ++k) {
            const std::string_view text = texts[k];
            u64(text.size());
            if (!text.empty()) std::memcpy(at, text.data(), text.size());
            at += text.size();
        }
    }
};

struct Reader {
    std::string_view bytes;
    std::size_t at = 0;
    std::string error;

    bool fail(std::string text) {
        if (error.empty()) error = std::move(text);
        return false;
    }
    bool byte(std::uint8_t& value) {
        if (at + 1 > bytes.size()) return fail("unexpected end of the learner state");
        value = static_cast<std::uint8_t>(bytes[at++]);
        return true;
    }
    bool u64(std::uint64_t& value) {
        if (bytes.size() - at < 8) return fail("unexpected end of the learner state");
        value = 0;
        for (int k = 0; k < 8; ++k) value |= std::uint64_t{static_cast<unsigned char>(bytes[at + k])} << (8 * k);
        at += 8;
        return true;
    }
    // A count of items each at least `item_bytes` long: never more than the bytes left.
    bool count(std::uint64_t& value, std::size_t item_bytes) {
        if (!u64(value)) return false;
        if (value > (bytes.size() - at) / item_bytes) return fail("a count runs past the end of the learner state");
        return true;
    }
    bool set(TextSet& out) {
        std::uint64_t n = 0;
        if (!count(n, 8)) return false;
        out.reserve(n);
        for (std::uint64_t k = 0; k < n; ++k) {
            std::uint64_t length = 0;
            if (!count(length, 1)) return false;
            out.push_back(bytes.substr(at, length));
            at += length;
            if (k > 0 && compare_texts(out[k - 1], out[k]) >= 0) return fail("texts out of order in the learner state");
        }
        return true;
    }
    bool numbers(std::vector<std::uint64_t>& out) {
        std::uint64_t n = 0;
        if (!count(n, 8)) return false;
        out.reserve(n);
        for (std::uint64_t k = 0; k < n; ++k) {
            std::uint64_t bits = 0;
            if (!u64(bits)) return false;
            if (!out.empty() && bits <= out.back()) return fail("numbers out of order in the learner state");
            out.push_back(bits);
        }
        return true;
    }
    bool keys(std::vector<NumberKey>& out) {
        std::uint64_t n = 0;
        if (!count(n, 9)) return false;
        out.reserve(n);
        for (std::uint64_t k = 0; k < n; ++k) {
            NumberKey key{};
            if (!byte(key.kind) || !u64(key.bits)) return false;
            if (key.kind > NumberKey::uint64) return fail("bad number kind in the learner state");
            if (!out.empty() && !(out.back() < key)) return fail("numbers out of order in the learner state");
            out.push_back(key);
        }
        return true;
    }
    bool indices(std::vector<std::size_t>& out, std::size_t cols) {
        std::uint64_t n = 0;
        if (!count(n, 8)) return false;
        for (std::uint64_t k = 0; k < n; ++k) {
            std::uint64_t j = 0;
            if (!u64(j)) return false;
            if (j >= cols || (!out.empty() && j <= out.back())) return fail("bad column positions in the learner state");
            out.push_back(static_cast<std::size_t>(j));
        }
        return true;
    }
};

}  // namespace

namespace {

// A text to sort with a key of its first bytes beside it.
struct Keyed {
    std::uint64_t prefix;
    std::string_view text;
};

// Most texts repeat one already seen: the equality test of the sets below is inlined.
struct SameText {
    bool operator()(std::string_view a, std::string_view b) const noexcept { return same_bytes(a, b); }
};
using ViewSet = boost::unordered_flat_set<std::string_view, SeededHash, SameText>;

// The texts sorted into a set, each copied once. Views are sorted with a key of their
// first bytes beside them (most comparisons end there, without reading the texts). The
// keys are taken after what all texts share (a common stem of identifiers) and packed by
// the byte values in use, so that they still tell most texts apart. With `repeats`,
// equal texts may be among them: they end up side by side, and the first is kept.
TextSet sorted_set_of(std::vector<Keyed>& keyed, bool repeats) {
    const std::size_t skip =
        keyed.empty() ? 0
                      : shared_with(keyed.front().text, keyed.front().text.size(), 1, keyed.size(),
                                    [&](std::size_t k) { return keyed[k].text; });
    const PackedKeys keys = packed_keys_of(keyed.size(), [&](std::size_t k) { return keyed[k].text.substr(skip); });
    for (auto& entry : keyed) entry.prefix = keys.key(entry.text.substr(skip));
    const std::size_t tied = skip + keys.span();  // bytes that texts with equal keys agree on
    sort_by_prefix(
        keyed.data(), keyed.data() + keyed.size(), [](const Keyed& entry) { return entry.prefix; },
        [](const Keyed& entry) { return entry.text; }, tied);
    TextSet set;
    set.reserve(keyed.size());
    for (std::size_t k = 0; k < keyed.size(); ++k) {
        if (repeats && k > 0 && keyed[k].prefix == keyed[k - 1].prefix && same_bytes(keyed[k].text, keyed[k - 1].text)) {
            continue;
        }
        set.push_back(keyed[k].text);
    }
    return set;
}

// Whether `text` is in the sorted set.
bool holds(const TextSet& set, std::string_view text) {
    const std::size_t place = lower_place(set, text);
    return place < set.size() && set[place] == text;
}

}  // namespace

TextSet distinct_texts(const TextColumn& texts, std::size_t begin, std::size_t end) {
    std::vector<Keyed> keyed;
    // Rows that nearly all hold texts of their own are sorted as they are, equal texts
    // then side by side. Other rows go through a hash set first; the set's order jumps
    // around the rows, which costs more than sorting them all when it would hold nearly all.
    const bool all_rows = nearly_unique(sorted_sample(texts, begin, end, fresh_hash_seed()), end - begin);
    if (all_rows) {
        keyed.resize(end - begin);
        for (std::size_t i = begin; i < end; ++i) keyed[i - begin].text = texts[i];
    } else {
        ViewSet seen;
        for (std::size_t i = begin; i < end; ++i) seen.insert(texts[i]);
        keyed.reserve(seen.size());
        for (const auto text : seen) keyed.push_back({0, text});
    }
    return sorted_set_of(keyed, all_rows);
}

TextSet distinct_texts_unsorted(const TextColumn& texts, std::size_t begin, std::size_t end) {
    ViewSet seen;
    TextSet set;
    for (std::size_t i = begin; i < end; ++i) {
        if (seen.insert(texts[i]).second) set.push_back(texts[i]);
    }
    return set;
}

bool repeats_learned(const TextColumn& texts, std::size_t begin, std::size_t end,
                     const std::vector<std::shared_ptr<const TextSet>>& learned) {
    // Rows spread evenly over the chunk, looked up in the latest sets learned by halving.
    constexpr std::size_t sampled = 64, recent_sets = 4;
    if (end - begin < std::size_t{1} << 14 || learned.empty()) return false;
    const std::size_t first_set = learned.size() - std::min(learned.size(), recent_sets);
    std::size_t found = 0;
    for (std::size_t s = 0; s < sampled; ++s) {
        const std::string_view text = texts[begin + (end - begin) * s / sampled];
        for (std::size_t k = first_set; k < learned.size(); ++k) {
            if (holds(*learned[k], text)) {
                ++found;
                break;
            }
        }
    }
    return 2 * found >= sampled;
}

TextSet union_of_unsorted(const std::vector<std::shared_ptr<const TextSet>>& sets) {
    std::size_t total = 0;
    for (const auto& set : sets) total += set->size();
    // The sets repeat each other's texts: sized for twice the first one's, the joined set
    // rarely grows (each growth hashes every text in it again).
    ViewSet seen;
    seen.reserve(std::min<std::size_t>(total, sets.empty() ? 0 : 2 * sets.front()->size()));
    for (const auto& set : sets) {
        for (std::size_t k = 0; k < set->size(); ++k) seen.insert((*set)[k]);
    }
    std::vector<Keyed> keyed;
    keyed.reserve(seen.size());
    for (const auto text : seen) keyed.push_back({0, text});
    return sorted_set_of(keyed, false);
}

void sort_distinct(std::vector<std::uint64_t>& values) {
    // A radix sort: bit patterns sort several times faster by their digits than by
    // comparisons.
    boost::sort::spreadsort::integer_sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

std::vector<std::uint64_t> chunk_numbers(const Matrix& matrix, std::size_t j, std::size_t rows, bool& sorted) {
    // A few distinct values stay in a small hash set. Where the first rows are mostly
    // distinct, sorting every row's bits costs less than hashing them first.
    constexpr std::size_t probe_rows = 4096;
    // A value equal to the row's above is not looked up again: columns of runs (flags,
    // sorted keys, a constant) then cost a comparison per row.
    boost::unordered_flat_set<std::uint64_t, SeededHash> seen;
    std::size_t i = 0;
    std::uint64_t above = 0;
    for (; i < rows; ++i) {
        const auto bits = std::bit_cast<std::uint64_t>(matrix.at(i, j));
        if (i == 0 || bits != above) seen.insert(bits);
        above = bits;
        if (i == probe_rows && seen.size() * 2 > probe_rows) break;
    }
    std::vector<std::uint64_t> out;
    if (i < rows) {
        // Mostly distinct: every row's, sorted only if a merge or the tables need them.
        seen = {};
        out.resize(rows);
        for (std::size_t r = 0; r < rows; ++r) out[r] = std::bit_cast<std::uint64_t>(matrix.at(r, j));
        sorted = false;
        return out;
    }
    out.assign(seen.begin(), seen.end());
    sort_distinct(out);
    sorted = true;
    return out;
}

NumberKey key_of_number(std::uint8_t kind, double value) {
    switch (kind) {
        case NumberKey::float64: return NumberKey{NumberKey::float64, std::bit_cast<std::uint64_t>(value)};
        case NumberKey::boolean: return NumberKey{NumberKey::boolean, value != 0.0 ? 1u : 0u};
        default: return NumberKey{NumberKey::int64, static_cast<std::uint64_t>(static_cast<std::int64_t>(value))};
    }
}

std::vector<NumberKey> ColumnLearning::all_keys() const {
    const std::vector<NumberKey>& kept = str_keys.values();
    if (!numbers_kind) return kept;
    const std::vector<std::uint64_t>& values = numbers.values();
    std::vector<NumberKey> keys;
    keys.reserve(values.size());
    if (*numbers_kind == NumberKey::float64) {
        // A float's key is its bits: the keys are the numbers, in their order.
        for (const auto bits : values) keys.push_back(NumberKey{NumberKey::float64, bits});
    } else {
        // Keys of one kind order by their bits, which a radix sort orders fastest.
        std::vector<std::uint64_t> bits;
        bits.reserve(values.size());
        for (const auto value : values) bits.push_back(key_of_number(*numbers_kind, std::bit_cast<double>(value)).bits);
        boost::sort::spreadsort::integer_sort(bits.begin(), bits.end());
        bits.erase(std::unique(bits.begin(), bits.end()), bits.end());
        for (const auto key_bits : bits) keys.push_back(NumberKey{*numbers_kind, key_bits});
    }
    return set_union_of(kept, keys);
}

void ColumnLearning::keep_keys_apart() {
    if (!numbers_kind) return;
    std::vector<NumberKey> keys = all_keys();
    str_keys = {};
    str_keys.add(std::move(keys));
    numbers_kind.reset();
}

std::string key_text(const NumberKey& key) {
    switch (key.kind) {
        case NumberKey::float64: return float_repr(std::bit_cast<double>(key.bits));
        case NumberKey::boolean: return key.bits != 0 ? "True" : "False";
        case NumberKey::int64: return std::to_string(static_cast<std::int64_t>(key.bits));
        default: return std::to_string(key.bits);
    }
}

TextSet set_union_of(const TextSet& a, const TextSet& b) {
    TextSet out;
    out.reserve(a.size() + b.size());
    merge_texts(a, b, [&](std::string_view text) { out.push_back(text); });
    return out;
}

void for_each_pair(std::size_t count, const std::function<void(std::size_t)>& body) {
    if (count > 1) {
        tbb::parallel_for(std::size_t{0}, count, [&](std::size_t k) { body(k); });
    } else if (count == 1) {
        body(0);
    }
}

LearnerState LearnerState::of_chunk(bool teaches, std::vector<ColumnLearning> columns) {
    LearnerState state;
    state.has_shape = true;
    state.cols = columns.size();
    state.teaches = teaches;
    state.columns = std::move(columns);
    state.chunk_text_before.emplace_back();
    return state;
}

std::vector<std::size_t> LearnerState::turned_columns() const {
    std::vector<std::size_t> out;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        if (columns[j].turned) out.push_back(j);
    }
    return out;
}

void LearnerState::append(const LearnerState& later) {
    LearnerState copy = later;
    append(std::move(copy));
}

void LearnerState::append(LearnerState&& later) {
    if (!later.has_shape) return;
    if (!has_shape) {
        *this = std::move(later);
        return;
    }
    if (later.cols != cols) fault("learners of different column counts merged");
    const std::vector<std::size_t> before = turned_columns();
    for (const auto& chunk : later.chunk_text_before) chunk_text_before.push_back(index_union(before, chunk));
    teaches = teaches || later.teaches;
    for (std::size_t j = 0; j < cols; ++j) {
        ColumnLearning& mine = columns[j];
        ColumnLearning& next = later.columns[j];
        if (mine.turned) {
            // Every cell of the later rows comes after a non-numeric cell: all take str().
            mine.texts.add(texts_of_keys(next.all_keys()));
            mine.texts.add(std::move(next.str_texts));
            mine.texts.add(std::move(next.texts));
            continue;
        }
        // The later numbers above its first non-numeric cell are still above the column's.
        // The keys of both sides' numbers follow from them while both are of one kind.
        if (next.numbers.empty() || mine.numbers_kind == next.numbers_kind) {
        } else if (mine.numbers.empty()) {
            mine.numbers_kind = next.numbers_kind;
        } else {
            mine.keep_keys_apart();
            next.keep_keys_apart();
        }
        mine.numbers.add(std::move(next.numbers));
        mine.str_keys.add(std::move(next.str_keys));
        mine.str_texts.add(std::move(next.str_texts));
        if (next.turned) {
            mine.turned = true;
            mine.texts = std::move(next.texts);
        }
    }
}

std::optional<EncodingInfo> LearnerState::encoding() const {
    if (!teaches) return std::nullopt;
    const std::vector<std::size_t> turned = turned_columns();
    // Each turned column's tables at once with the others'.
    std::vector<ColumnTables> tables(turned.size());
    for_each_pair(turned.size(), [&](std::size_t t) {
        const ColumnLearning& column = columns[turned[t]];
        const TextSet numbers = texts_of_numbers(column.numbers.values());
        std::vector<const TextSet*> sets{&numbers};
        for (const auto& piece : column.texts.pieces()) sets.push_back(piece.get());
        tables[t] = column_tables(sets);
    });
    EncodingInfo info;
    for (std::size_t t = 0; t < turned.size(); ++t) {
        for (TextStore& store : tables[t].stores) info.texts.adopt(std::move(store));
        info.object_columns.push_back(turned[t]);
        info.encode_maps.try_emplace(turned[t], std::move(tables[t].table));
        info.decode_maps.try_emplace(turned[t], std::move(tables[t].decode));
    }
    return info;
}

std::string LearnerState::to_bytes() const {
    std::string out;
    write_bytes([&out](std::size_t size) {
        out.resize(size);
        return out.data();
    });
    return out;
}

void LearnerState::merge_pieces() const {
    for (const auto& column : columns) {
        column.numbers.values();
        column.str_keys.values();
        column.str_texts.values();
        column.texts.values();
    }
}

void LearnerState::write_bytes(const std::function<char*(std::size_t)>& allocate) const {
    // Sized first, then written once into that room.
    std::vector<std::vector<NumberKey>> keys(columns.size());
    std::size_t size = 2 + 8 + 8;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        const ColumnLearning& column = columns[j];
        keys[j] = column.all_keys();
        const TextSet& str_texts = column.str_texts.values();
        const TextSet& texts = column.texts.values();
        size += 1 + 8 + 8 * column.numbers.values().size() + 8 + 9 * keys[j].size();
        size += 16 + 8 * (str_texts.size() + texts.size()) + str_texts.bytes() + texts.bytes();
    }
    for (const auto& chunk : chunk_text_before) size += 8 + 8 * chunk.size();
    char* const start = allocate(size);
    Writer put{start};
    put.byte(format_version);
    put.byte((has_shape ? 1 : 0) | (teaches ? 2 : 0));
    put.u64(cols);
    for (std::size_t j = 0; j < columns.size(); ++j) {
        const ColumnLearning& column = columns[j];
        put.byte(column.turned ? 1 : 0);
        put.numbers(column.numbers.values());
        put.keys(keys[j]);
        put.set(column.str_texts.values());
        put.set(column.texts.values());
    }
    put.u64(chunk_text_before.size());
    for (const auto& chunk : chunk_text_before) {
        put.u64(chunk.size());
        for (std::size_t j : chunk) put.u64(j);
    }
    if (put.at != start + size) fault("learner state writer disagrees with its size pass");
}

std::variant<LearnerState, std::string> LearnerState::from_bytes(std::string_view bytes) {
    Reader in{bytes, 0, {}};
    LearnerState state;
    std::uint8_t version = 0, flags = 0;
    std::uint64_t cols = 0, chunks = 0;
    if (!in.byte(version)) return in.error;
    if (version != format_version) return "unknown learner state version " + std::to_string(version);
    if (!in.byte(flags) || !in.count(cols, 33)) return in.error;
    if (flags > 3) return std::string("bad flags in the learner state");
    state.has_shape = (flags & 1) != 0;
    state.teaches = (flags & 2) != 0;
    state.cols = static_cast<std::size_t>(cols);
    state.columns.resize(state.cols);
    for (auto& column : state.columns) {
        std::uint8_t turned = 0;
        if (!in.byte(turned)) return in.error;
        if (turned > 1) return std::string("bad column flag in the learner state");
        column.turned = turned == 1;
        std::vector<std::uint64_t> numbers;
        std::vector<NumberKey> keys;
        TextSet str_texts, texts;
        if (!in.numbers(numbers) || !in.keys(keys) || !in.set(str_texts) || !in.set(texts)) return in.error;
        column.numbers.add(std::move(numbers));
        column.str_keys.add(std::move(keys));
        column.str_texts.add(std::move(str_texts));
        column.texts.add(std::move(texts));
    }
    if (!in.count(chunks, 8)) return in.error;
    for (std::uint64_t k = 0; k < chunks; ++k) {
        std::vector<std::size_t> before;
        if (!in.indices(before, state.cols)) return in.error;
        state.chunk_text_before.push_back(std::move(before));
    }
    if (in.at != bytes.size()) return std::string("trailing bytes after the learner state");
    if (!state.has_shape && (state.cols != 0 || state.teaches || chunks != 0)) {
        return std::string("a learner state without rows holds data");
    }
    return state;
}

}  // namespace quorvel
