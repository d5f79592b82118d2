// Applying a learned encoding: one pool task per text column, its rows looked up in parallel.
#include "core/apply_pass.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/hash_map.hpp"
#include "core/label_encode.hpp"
#include "core/number_text.hpp"
#include "core/row_loop.hpp"

namespace quorvel {
namespace {

const double missing_code = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// A text with its hash, computed once per lookup.
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

// Hash and size are checked first: text bytes are compared only for a likely match, and
// inline (almost every lookup of a known text ends in one such comparison).
struct SameText {
    using is_transparent = void;
    bool operator()(const TableKey& a, const TableKey& b) const noexcept {
        return a.hash == b.hash && a.size == b.size && same_bytes(a.text(), b.text());
    }
    bool operator()(const TableKey& a, const HashedView& b) const noexcept {
        return a.hash == b.hash && a.size == b.text.size() && same_bytes(a.text(), b.text);
    }
    bool operator()(const HashedView& a, const TableKey& b) const noexcept { return (*this)(b, a); }
};

double code_value(const std::optional<std::uint64_t>& code) {
    return code ? static_cast<double>(*code) : missing_code;
}

}  // namespace

/// A column's code table as a hash map from text to the code as a float (NaN for a
/// marker): rows are looked up at hash speed rather than by halving the sorted table.
/// One map, probed in row order: measured against maps split by hash bits and probed
/// shard by shard, it was faster for tables of up to a million texts.
class ColumnLookup {
public:
    ColumnLookup() = default;

    explicit ColumnLookup(const CodeTable& table) {
        map_.reserve(table.size());
        for (const auto& [text, code] : table) map_.emplace(TableKey::of(text, hasher_(text)), code_value(code));
    }

    /// The code of `text`, or null when the table does not hold it.
    const double* find(std::string_view text) const noexcept {
        const auto it = map_.find(HashedView{text, hasher_(text)});
        return it == map_.end() ? nullptr : &it->second;
    }

    /// The codes of `count` texts (at most `lookup_batch`) at once, as `find` gives them.
    /// A large table's slots are cache misses: the texts are hashed first and then probed
    /// in a tight loop of their own, so that the misses of several probes overlap instead
    /// of each stalling the work of the next row.
    void find(const std::string_view* texts, std::size_t count, const double** found) const noexcept {
        std::array<std::uint64_t, lookup_batch> hashes;
        for (std::size_t l = 0; l < count; ++l) hashes[l] = hasher_(texts[l]);
        for (std::size_t l = 0; l < count; ++l) {
            const auto it = map_.find(HashedView{texts[l], hashes[l]});
            found[l] = it == map_.end() ? nullptr : &it->second;
        }
    }

    static constexpr std::size_t lookup_batch = 16;

private:
    SeededHash hasher_;
    // Large tables' slots are read in random order: on huge pages they cost far fewer
    // address translation misses.
    boost::unordered_flat_map<TableKey, double, Prehashed, SameText, BufferAllocator<std::pair<const TableKey, double>>>
        map_;
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
        const auto table = info_.encode_maps.find(j);
        slot.lookup = table == info_.encode_maps.end() ? ColumnLookup() : ColumnLookup(table->second);
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

// Keeps the unknown cell of the lowest row of its column.
void ApplyPass::note_unknown(UnknownCell&& unknown) {
    const std::lock_guard<std::mutex> hold(unknown_lock_);
    std::optional<UnknownCell>& first = unknown_[unknown.column];
    if (!first || unknown.row < first->row) first = std::move(unknown);
}

template <class TextOf>
void ApplyPass::look_up(std::size_t j, std::size_t begin, std::size_t end, TextOf text_of) {
    // No rows need no lookup: building a large table's lookup for nothing would cost more
    // than a partition's whole apply (an empty frame is how callers ask for the labels).
    if (begin >= end) return;
    const ColumnLookup& lookup = lookups_->column(j);
    // The first unknown row and its text, kept as it is met: a number column's cell is
    // overwritten by its code right after its text is made.
    std::mutex first_lock;
    std::optional<UnknownCell> first_unknown;
    const std::size_t step = matrix_.row_step();
    double* const column = matrix_.rows == 0 ? nullptr : matrix_.column(j);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(begin, end, row_grain),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                          constexpr std::size_t batch = ColumnLookup::lookup_batch;
                          std::array<std::string, batch> scratch;  // a number's text, per row of a batch
                          std::array<std::string_view, batch> texts;
                          std::array<const double*, batch> found;
                          std::optional<UnknownCell> first;
                          for (std::size_t i0 = r.begin(); i0 < r.end(); i0 += batch) {
                              const std::size_t count = std::min(batch, r.end() - i0);
                              for (std::size_t l = 0; l < count; ++l) texts[l] = text_of(i0 + l, scratch[l]);
                              lookup.find(texts.data(), count, found.data());
                              for (std::size_t l = 0; l < count; ++l) {
                                  double code = missing_code;
                                  if (found[l] != nullptr) {
                                      code = *found[l];
                                  } else if (!is_missing_marker(texts[l])) {
                                      code = fill_;
                                      if (!first) first = UnknownCell{j, i0 + l, std::string(texts[l])};
                                  }
                                  column[(i0 + l) * step] = code;
                              }
                          }
                          if (!first) return;
                          const std::lock_guard<std::mutex> hold(first_lock);
                          if (!first_unknown || first->row < first_unknown->row) first_unknown = std::move(first);
                      });
    if (first_unknown) note_unknown(std::move(*first_unknown));
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
        note_unknown(UnknownCell{j, row, std::string(texts[first_unknown])});
    }
    release(refs);
}

void ApplyPass::text_column(std::size_t j, std::size_t first_row) {
    tasks_.submit([this, j, first_row] {
        if (refs_ != nullptr && !(*refs_)[j].empty()) {
            look_up_refs(j);
        } else {
            const TextColumn& texts = texts_[j];
            look_up(j, first_row, matrix_.rows, [&](std::size_t i, std::string&) { return texts[i - first_row]; });
        }
        texts_[j] = TextColumn();  // the staged texts are done with
    });
}

void ApplyPass::text_segment(std::size_t j, std::size_t first_row, TextColumn&& texts) {
    auto segment = std::make_shared<TextColumn>(std::move(texts));
    tasks_.submit([this, j, first_row, segment] {
        look_up(j, first_row, first_row + segment->size(),
                [&](std::size_t i, std::string&) { return (*segment)[i - first_row]; });
    });
}

void ApplyPass::number_column(std::size_t j) {
    tasks_.submit([this, j] {
        // Each number is read before its cell is overwritten with the code: same task, same cell.
        look_up(j, 0, matrix_.rows, [&](std::size_t i, std::string& scratch) {
            scratch.clear();
            append_number_text(scratch, matrix_.at(i, j));
            return std::string_view(scratch);
        });
    });
}

void ApplyPass::unknown_cell(std::size_t i, std::size_t j, std::string_view text) {
    matrix_.at(i, j) = fill_;
    note_unknown(UnknownCell{j, i, std::string(text)});
}

std::optional<UnknownCell> ApplyPass::finish() {
    tasks_.wait();
    for (auto& unknown : unknown_) {
        if (unknown) return std::move(unknown);
    }
    return std::nullopt;
}

}  // namespace quorvel
