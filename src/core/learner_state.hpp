// What a learner keeps of a table seen as consecutive row chunks: distinct texts, never rows.
#pragma once

#include <algorithm>
#include <compare>
#include <iterator>
#include <memory>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <type_traits>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/matrix.hpp"
#include "core/text_column.hpp"

namespace quorvel {

/// Distinct texts in ascending byte order, held compactly: their bytes back to back in
/// one buffer with the end of each, no allocation per text.
using TextSet = TextColumn;

/// The distinct texts of rows [begin, end) of a staged column. Uses the worker pool's
/// nested parallelism when called from a pool task.
TextSet distinct_texts(const TextColumn& texts, std::size_t begin, std::size_t end);

/// The same texts in order of first occurrence, not sorted (not a set in the sense of
/// TextSet's order: for PiecewiseSet::add_unsorted only).
TextSet distinct_texts_unsorted(const TextColumn& texts, std::size_t begin, std::size_t end);

/// Whether rows [begin, end) mostly repeat texts of the latest of the `learned` sets, as
/// a sample of them tells: a column whose chunks repeat each other's texts. Such chunks
/// are kept unsorted, and joined once before they are sorted (see PiecewiseSet), where
/// sorting each would sort most texts once per chunk.
bool repeats_learned(const TextColumn& texts, std::size_t begin, std::size_t end,
                     const std::vector<std::shared_ptr<const TextSet>>& learned);

/// The distinct texts of all the sets, sorted. Uses the worker pool's nested parallelism
/// when called from a pool task.
TextSet union_of_unsorted(const std::vector<std::shared_ptr<const TextSet>>& sets);

/// The bit patterns of the first `rows` numbers of matrix column j. Distinct and ascending
/// when `sorted` comes back true; otherwise, for mostly distinct numbers, every row's in
/// row order, for `sort_distinct` once they are needed (a column that stays numeric never
/// needs them).
std::vector<std::uint64_t> chunk_numbers(const Matrix& matrix, std::size_t j, std::size_t rows, bool& sorted);

/// Sorts bit patterns and drops their repeats.
void sort_distinct(std::vector<std::uint64_t>& values);

/// The union of two sets of distinct values, each ascending.
TextSet set_union_of(const TextSet& a, const TextSet& b);
template <class T>
std::vector<T> set_union_of(const std::vector<T>& a, const std::vector<T>& b) {
    std::vector<T> out;
    out.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

/// A numeric cell whose str() its value alone decides: the kind of the Python object
/// (a float or a NumPy float64, a bool, an integer) and its bits.
struct NumberKey {
    enum Kind : std::uint8_t { float64 = 0, boolean = 1, int64 = 2, uint64 = 3 };
    std::uint8_t kind;
    std::uint64_t bits;

    friend auto operator<=>(const NumberKey&, const NumberKey&) = default;
};

/// The key of a number whose cell is of `kind` (its value is exactly the cell's).
NumberKey key_of_number(std::uint8_t kind, double value);

/// str() of the cell a key stands for: Python's repr of a float ("1.0", "1e+16", "nan"),
/// "True"/"False", decimal digits.
std::string key_text(const NumberKey& key);

/// Runs body(k) for k in [0, count), in parallel when called from a pool task.
void for_each_pair(std::size_t count, const std::function<void(std::size_t)>& body);

/// A set of distinct values held as sorted pieces (each a `Piece`: a std::vector of
/// values or a TextSet), merged into one only when it is read: adding the values of one
/// more chunk costs that chunk's size, not the whole set's.
/// Pieces never change once added, so copies of a set share them: merging a learner into
/// another copies no values, however many pieces either holds.
template <class Piece>
class PiecewiseSet {
public:
    using Pieces = std::vector<std::shared_ptr<const Piece>>;

    /// Adds distinct values in ascending order.
    void add(Piece&& piece) {
        if (!piece.empty()) pieces_.push_back(std::make_shared<const Piece>(std::move(piece)));
    }
    /// Adds values in any order, repeats allowed: they are sorted only when the set is
    /// first read.
    void add_unsorted(Piece&& piece) {
        static_assert(std::is_same_v<Piece, std::vector<std::uint64_t>> || std::is_same_v<Piece, TextSet>,
                      "only bit patterns and texts are sorted when read");
        if (!piece.empty()) unsorted_.push_back(std::make_shared<const Piece>(std::move(piece)));
    }
    void add(PiecewiseSet&& other) {
        move_into(other.pieces_, pieces_);
        move_into(other.unsorted_, unsorted_);
    }
    bool empty() const noexcept { return pieces_.empty() && unsorted_.empty(); }
    /// The sorted pieces, not merged.
    const Pieces& pieces() const {
        sort_pieces();
        return pieces_;
    }
    /// The pieces added sorted so far, as they are: reading them changes nothing.
    const Pieces& sorted_pieces() const noexcept { return pieces_; }
    /// The distinct values, ascending. Merges with the worker pool's nested parallelism
    /// when called from a pool task.
    const Piece& values() const {
        static const Piece none;
        merge_pieces();
        return pieces_.empty() ? none : *pieces_.front();
    }

private:
    // Pairwise rounds, the pairs of a round merged in parallel: every value is copied
    // about log2(pieces) times. A merged pair replaces this set's pointers to the pair;
    // copies of the set still holding them are not affected.
    void merge_pieces() const {
        sort_pieces();
        while (pieces_.size() > 1) {
            Pieces next((pieces_.size() + 1) / 2);
            for_each_pair(pieces_.size() / 2, [&](std::size_t k) {
                next[k] = std::make_shared<const Piece>(set_union_of(*pieces_[2 * k], *pieces_[2 * k + 1]));
                pieces_[2 * k].reset();
                pieces_[2 * k + 1].reset();
            });
            if (pieces_.size() % 2 == 1) next.back() = std::move(pieces_.back());
            pieces_ = std::move(next);
        }
    }

    // Sorted copies of the unsorted pieces join the sorted ones (copies: the unsorted may
    // be shared with another set). Bit patterns: each piece sorted by its own task. Texts:
    // the pieces are those of chunks that repeat each other's texts, joined into one
    // piece first, so that each text is sorted once.
    void sort_pieces() const {
        if (unsorted_.empty()) return;
        if constexpr (std::is_same_v<Piece, std::vector<std::uint64_t>>) {
            const std::size_t first = pieces_.size();
            pieces_.resize(first + unsorted_.size());
            for_each_pair(unsorted_.size(), [&](std::size_t k) {
                Piece sorted = *unsorted_[k];
                sort_distinct(sorted);
                pieces_[first + k] = std::make_shared<const Piece>(std::move(sorted));
            });
        } else if constexpr (std::is_same_v<Piece, TextSet>) {
            pieces_.push_back(std::make_shared<const Piece>(union_of_unsorted(unsorted_)));
        }
        unsorted_.clear();
    }

    static void move_into(Pieces& from, Pieces& to) {
        to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
        from.clear();
    }

    mutable Pieces pieces_;
    mutable Pieces unsorted_;
};

/// One column of the rows a learner saw. Whether a number becomes its number text or its
/// str() depends on whether the column met a non-numeric cell in rows above it, which may
/// lie in rows another learner saw; so the numbers above this learner's first
/// non-numeric cell are kept both ways until a merge decides.
/// Both renderings are kept as values, turned into texts only when needed: a numeric
/// column that stays numeric is never rendered.
struct ColumnLearning {
    bool turned = false;  ///< a non-numeric cell occurred in these rows
    /// The numbers above the first non-numeric cell (all, if none), as bit patterns:
    /// their number texts.
    PiecewiseSet<std::vector<std::uint64_t>> numbers;
    /// The str() of the same cells: by key where the value decides it, as texts otherwise.
    PiecewiseSet<std::vector<NumberKey>> str_keys;
    /// When set, every cell of `numbers` is of this NumberKey kind, and their keys (not
    /// held in `str_keys`) follow from the numbers: a column of plain numbers keeps each
    /// value once.
    std::optional<std::uint8_t> numbers_kind;
    PiecewiseSet<TextSet> str_texts;
    PiecewiseSet<TextSet> texts;  ///< texts of the cells from the first non-numeric cell on

    /// The keys of every cell of `numbers`, and `str_keys`: ascending, distinct.
    std::vector<NumberKey> all_keys() const;
    /// Holds the keys of `numbers` in `str_keys` from now on.
    void keep_keys_apart();
};

/// A learner's state: what its rows teach, and for each chunk it saw which columns had
/// turned text in rows before that chunk (counted from this learner's first row).
struct LearnerState {
    bool has_shape = false;   ///< saw at least one chunk
    std::size_t cols = 0;
    bool teaches = false;     ///< some chunk was more than a float64 array
    std::vector<ColumnLearning> columns;
    std::vector<std::vector<std::size_t>> chunk_text_before;

    /// The state of one chunk, read with no text column known before it.
    static LearnerState of_chunk(bool teaches, std::vector<ColumnLearning> columns);

    /// Columns that turned text in these rows, ascending.
    std::vector<std::size_t> turned_columns() const;

    /// Folds in the state of the rows that follow these. The column counts must agree
    /// (the caller checks) unless one side saw no chunk.
    void append(const LearnerState& later);
    void append(LearnerState&& later);

    /// The encoding one encode of all these rows would learn, or nothing when no chunk
    /// taught anything.
    std::optional<EncodingInfo> encoding() const;

    /// A self-delimiting byte form, and back (an error text when the bytes are not one).
    std::string to_bytes() const;
    /// Merges every set held in pieces (with the worker pool's nested parallelism when
    /// called from a pool task), so that reading them later runs no parallel work.
    void merge_pieces() const;
    /// The byte form, written into the room `allocate(size)` gives.
    void write_bytes(const std::function<char*(std::size_t)>& allocate) const;
    static std::variant<LearnerState, std::string> from_bytes(std::string_view bytes);

};

}  // namespace quorvel
