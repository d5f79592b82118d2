// Applying a learned encoding: one pool task per text column, its rows looked up in parallel.
#include "core/apply_pass.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "core/hash_map.hpp"
#include "core/label_encode.hpp"
#include "core/number_text.hpp"
#include "core/row_loop.hpp"

namespace quorvel {
namespace {

const double missing_code = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// A text with its hash, computed once per text: it picks the shard and places the text
// in the shard's map.
struct HashedView {
    std::string_view text;
    std::uint64_t hash;
};

// A table's text as a map key: short texts (most codes' texts) are held in the key itself,
// so that a lookup reads no memory beyond the map's slot; longer ones are viewed where the
// table keeps them.
struct TableKey {
    static constexpr std::size_t inline_size = 20;

    std::uint64_t hash;
    std::uint32_t size;
    char bytes[inline_size];

    static TableKey of(std::string_view text, std::uint64_t hash) noexcept {
        TableKey key{hash, static_cast<std::uint32_t>(text.size()), {}};
        if (text.size() <= inline_size) {
            std::memcpy(key.bytes, text.data(), text.size());
        } else {
            const char* data = text.data();
            std::memcpy(key.bytes, &data, sizeof data);
        }
        return key;
    }

    std::string_view text() const noexcept {
        if (size <= inline_size) return {bytes, size};
        const char* data = nullptr;
        std::memcpy(&data, bytes, sizeof data);
        return {data, size};
    }
};

struct Prehashed {
    using is_transparent = void;
    using is_avalanching = void;  // XXH3 output is already well mixed
    std::size_t operator()(const TableKey& key) const noexcept { return key.hash; }
    std::size_t operator()(const HashedView& key) const noexcept { return key.hash; }
};

// Hash and size are checked first: text bytes are compared only for a likely match.
struct SameText {
    using is_transparent = void;
    bool operator()(const TableKey& a, const TableKey& b) const noexcept {
        return a.hash == b.hash && a.size == b.size && a.text() == b.text();
    }
    bool operator()(const TableKey& a, const HashedView& b) const noexcept {
        return a.hash == b.hash && a.size == b.text.size() && a.text() == b.text;
    }
    bool operator()(const HashedView& a, const TableKey& b) const noexcept { return (*this)(b, a); }
};

using ShardMap = boost::unordered_flat_map<TableKey, double, Prehashed, SameText>;

// Large tables are split into shards by hash bits that the maps themselves use neither
// for placement (the top bits) nor for their metadata (the low byte), so the shards are
// filled in parallel and each still spreads evenly.
constexpr unsigned shard_bits = 4;
constexpr std::size_t shard_count = std::size_t{1} << shard_bits;
constexpr std::size_t sharded_entries_min = std::size_t{1} << 15;
constexpr std::size_t sharded_rows_min = std::size_t{1} << 16;

std::size_t shard_of(std::uint64_t hash) noexcept { return (hash >> 24) & (shard_count - 1); }

double code_value(const std::optional<std::uint64_t>& code) {
    return code ? static_cast<double>(*code) : missing_code;
}

}  // namespace

/// A column's code table as hash maps from text to the code as a float (NaN for a
/// marker): rows are looked up at hash speed rather than by halving the sorted table.
class ColumnLookup {
public:
    ColumnLookup() : shards_(1) {}

    explicit ColumnLookup(const CodeTable& table) {
        const std::size_t n = table.size();
        const auto entries = table.begin();
        if (n < sharded_entries_min) {
            shards_.resize(1);
            shards_[0].reserve(n);
            for (const auto& [text, code] : table) shards_[0].emplace(TableKey::of(text, hasher_(text)), code_value(code));
            return;
        }
        BufferVector<std::uint64_t> hashes(n);
        for_range(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t e = begin; e < end; ++e) hashes[e] = hasher_(entries[static_cast<std::ptrdiff_t>(e)].first);
        });
        std::array<BufferVector<std::uint32_t>, shard_count> members;
        for (auto& member : members) member.reserve(n / shard_count + n / (4 * shard_count));
        for (std::size_t e = 0; e < n; ++e) members[shard_of(hashes[e])].push_back(static_cast<std::uint32_t>(e));
        shards_.resize(shard_count);
        tbb::parallel_for(std::size_t{0}, shard_count, [&](std::size_t s) {
            ShardMap& map = shards_[s];
            map.reserve(members[s].size());
            for (const std::uint32_t e : members[s]) {
                const auto& entry = entries[static_cast<std::ptrdiff_t>(e)];
                map.emplace(TableKey::of(entry.first, hashes[e]), code_value(entry.second));
            }
            release(members[s]);
        });
    }

    /// The code of `text`, or null when the table does not hold it.
    const double* find(std::string_view text) const noexcept { return find(text, hash(text)); }
    const double* find(std::string_view text, std::uint64_t hash) const noexcept {
        const ShardMap& map = shards_[sharded() ? shard_of(hash) : 0];
        const auto it = map.find(HashedView{text, hash});
        return it == map.end() ? nullptr : &it->second;
    }

    std::uint64_t hash(std::string_view text) const noexcept { return hasher_(text); }
    bool sharded() const noexcept { return shards_.size() > 1; }

private:
    SeededHash hasher_;
    std::vector<ShardMap> shards_;
};

struct TableLookups::Slot {
    std::once_flag built;
    std::optional<ColumnLookup> lookup;
};

TableLookups::TableLookups(const EncodingInfo& info)
    : info_(info), slots_(std::make_unique<Slot[]>(info.object_columns.size())) {}

TableLookups::~TableLookups() = default;

const ColumnLookup& TableLookups::column(std::size_t j) const {
    const auto& columns = info_.object_columns;
    std::size_t k = 0;
    while (k < columns.size() && columns[k] != j) ++k;
    if (k == columns.size()) fault("table lookups: column " + std::to_string(j) + " was not learned as text");
    Slot& slot = slots_[k];
    std::call_once(slot.built, [&] {
        // Isolated: while this thread waits for the build's parallel parts it takes no
        // other task, which might want this same lookup.
        tbb::this_task_arena::isolate([&] {
            const auto table = info_.encode_maps.find(j);
            slot.lookup = table == info_.encode_maps.end() ? ColumnLookup() : ColumnLookup(table->second);
        });
    });
    return *slot.lookup;
}

std::shared_ptr<TableLookups> TableLookups::of(const EncodingInfo& info) {
    static std::mutex creating;
    const std::lock_guard<std::mutex> hold(creating);
    if (!info.lookups) info.lookups = std::make_shared<TableLookups>(info);
    return info.lookups;
}

ApplyPass::ApplyPass(const EncodingInfo& info, Matrix& matrix, std::vector<TextColumn>& texts,
                     std::vector<BufferVector<std::uint32_t>>* refs, double fill)
    : info_(info),
      lookups_(TableLookups::of(info)),
      matrix_(matrix),
      texts_(texts),
      refs_(refs),
      fill_(fill),
      unknown_(matrix.cols) {}

// A large column against a large table: the rows are looked up shard by shard, so that
// the probes of one shard's map (a fraction of the table) hit the cache, while the rows,
// in ascending order within a shard, are read front to back.
void ApplyPass::look_up_by_shard(std::size_t j, const ColumnLookup& lookup) {
    const TextColumn& texts = texts_[j];
    const std::size_t n = texts.size();
    BufferVector<std::uint64_t> hashes(n);
    for_range(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hashes[i] = lookup.hash(texts[i]);
    });
    // Row indices grouped by shard, each group ascending: blocks of rows count their
    // shards, then place their rows at the offsets the counts give.
    const std::size_t blocks = (n + row_grain - 1) / row_grain;
    std::vector<std::array<std::size_t, shard_count>> counts(blocks);
    const auto block_rows = [&](std::size_t b, auto&& visit) {
        for (std::size_t i = b * row_grain; i < std::min(n, (b + 1) * row_grain); ++i) visit(i);
    };
    tbb::parallel_for(std::size_t{0}, blocks, [&](std::size_t b) {
        counts[b].fill(0);
        block_rows(b, [&](std::size_t i) { ++counts[b][shard_of(hashes[i])]; });
    });
    std::array<std::size_t, shard_count + 1> starts{};
    std::size_t at = 0;
    for (std::size_t s = 0; s < shard_count; ++s) {
        starts[s] = at;
        for (auto& block : counts) at += std::exchange(block[s], at);
    }
    starts[shard_count] = at;
    BufferVector<std::uint32_t> grouped(n);
    tbb::parallel_for(std::size_t{0}, blocks, [&](std::size_t b) {
        block_rows(b, [&](std::size_t i) { grouped[counts[b][shard_of(hashes[i])]++] = static_cast<std::uint32_t>(i); });
    });
    const std::size_t step = matrix_.row_step();
    double* const column = matrix_.column(j);
    std::array<std::size_t, shard_count> first_unknown;
    first_unknown.fill(n);
    tbb::parallel_for(std::size_t{0}, shard_count, [&](std::size_t s) {
        // A shard's rows are spread over the column: fetch a row's hash and text some
        // rows ahead, so that their cache misses overlap the lookups in between.
        constexpr std::size_t hash_ahead = 16, text_ahead = 8;
        const std::size_t end = starts[s + 1];
        for (std::size_t g = starts[s]; g < end; ++g) {
            if (g + hash_ahead < end) __builtin_prefetch(&hashes[grouped[g + hash_ahead]]);
            if (g + text_ahead < end) __builtin_prefetch(texts[grouped[g + text_ahead]].data());
            const std::size_t i = grouped[g];
            const std::string_view text = texts[i];
            double code = missing_code;
            if (const double* found = lookup.find(text, hashes[i])) {
                code = *found;
            } else if (!is_missing_marker(text)) {
                code = fill_;
                first_unknown[s] = std::min(first_unknown[s], i);
            }
            column[i * step] = code;
        }
    });
    const std::size_t first = *std::min_element(first_unknown.begin(), first_unknown.end());
    if (first != n) unknown_[j] = UnknownCell{j, first, std::string(texts[first])};
}

template <class TextOf>
void ApplyPass::look_up(std::size_t j, TextOf text_of) {
    const ColumnLookup& lookup = lookups_->column(j);
    // The first unknown row and its text, kept as it is met: a number column's cell is
    // overwritten by its code right after its text is made.
    std::mutex first_lock;
    std::optional<UnknownCell> first_unknown;
    const std::size_t step = matrix_.row_step();
    double* const column = matrix_.rows == 0 ? nullptr : matrix_.column(j);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, matrix_.rows, row_grain),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                          std::string scratch;
                          std::optional<UnknownCell> first;
                          for (std::size_t i = r.begin(); i != r.end(); ++i) {
                              const std::string_view text = text_of(i, scratch);
                              double code = missing_code;
                              if (const double* found = lookup.find(text)) {
                                  code = *found;
                              } else if (!is_missing_marker(text)) {
                                  code = fill_;
                                  if (!first) first = UnknownCell{j, i, std::string(text)};
                              }
                              column[i * step] = code;
                          }
                          if (!first) return;
                          const std::lock_guard<std::mutex> hold(first_lock);
                          if (!first_unknown || first->row < first_unknown->row) first_unknown = std::move(first);
                      });
    unknown_[j] = std::move(first_unknown);
}

// A column staged by reference: each staged text is looked up once, then every row takes
// its text's code. Texts are staged in order of first use, so the first unknown text is
// that of the first unknown row.
void ApplyPass::look_up_refs(std::size_t j) {
    const ColumnLookup& lookup = lookups_->column(j);
    const TextColumn& texts = texts_[j];
    BufferVector<std::uint32_t>& refs = (*refs_)[j];
    const std::size_t staged = texts.size();
    BufferVector<double> codes(staged);
    std::size_t first_unknown = staged;
    for (std::size_t e = 0; e < staged; ++e) {
        const std::string_view text = texts[e];
        double code = missing_code;
        if (const double* found = lookup.find(text)) {
            code = *found;
        } else if (!is_missing_marker(text)) {
            code = fill_;
            if (first_unknown == staged) first_unknown = e;
        }
        codes[e] = code;
    }
    const std::size_t step = matrix_.row_step();
    double* const column = matrix_.rows == 0 ? nullptr : matrix_.column(j);
    for_range(refs.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) column[i * step] = codes[refs[i]];
    });
    if (first_unknown != staged) {
        std::size_t row = 0;
        while (refs[row] != first_unknown) ++row;
        unknown_[j] = UnknownCell{j, row, std::string(texts[first_unknown])};
    }
    release(refs);
}

void ApplyPass::text_column(std::size_t j) {
    tasks_.submit([this, j] {
        if (refs_ != nullptr && !(*refs_)[j].empty()) {
            look_up_refs(j);
        } else {
            const TextColumn& texts = texts_[j];
            const ColumnLookup& lookup = lookups_->column(j);
            if (lookup.sharded() && texts.size() >= sharded_rows_min &&
                texts.size() <= std::numeric_limits<std::uint32_t>::max()) {
                look_up_by_shard(j, lookup);
            } else {
                look_up(j, [&](std::size_t i, std::string&) { return texts[i]; });
            }
        }
        texts_[j] = TextColumn();  // the staged texts are done with
    });
}

void ApplyPass::number_column(std::size_t j) {
    tasks_.submit([this, j] {
        // Each number is read before its cell is overwritten with the code: same task, same cell.
        look_up(j, [&](std::size_t i, std::string& scratch) {
            scratch.clear();
            append_number_text(scratch, matrix_.at(i, j));
            return std::string_view(scratch);
        });
    });
}

void ApplyPass::unknown_cell(std::size_t i, std::size_t j, std::string_view text) {
    matrix_.at(i, j) = fill_;
    if (!unknown_[j]) unknown_[j] = UnknownCell{j, i, std::string(text)};
}

std::optional<UnknownCell> ApplyPass::finish() {
    tasks_.wait();
    for (auto& unknown : unknown_) {
        if (unknown) return std::move(unknown);
    }
    return std::nullopt;
}

}  // namespace quorvel
