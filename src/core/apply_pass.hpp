// Applying a learned encoding to new rows: the learned code tables looked up, nothing learned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/buffer.hpp"
#include "core/encoding_info.hpp"
#include "core/matrix.hpp"
#include "core/text_column.hpp"
#include "core/worker_pool.hpp"

namespace quorvel {

/// A cell whose text the encoding did not learn for its column.
struct UnknownCell {
    std::size_t column;
    std::size_t row;
    std::string text;
};

class ColumnLookup;

/// The hash lookups of an encoding's code tables, one per text column, each built on its
/// first use (by one thread; others wanting it wait) and then shared by every later use.
class TableLookups {
public:
    explicit TableLookups(const EncodingInfo& info);
    ~TableLookups();

    /// The lookup of text column j (an empty one for a column without a table).
    const ColumnLookup& column(std::size_t j) const;

    /// The lookups of `info`, created on first use and kept in it.
    static std::shared_ptr<TableLookups> of(const EncodingInfo& info);

private:
    struct Slot;
    const EncodingInfo& info_;
    std::unique_ptr<Slot[]> slots_;  // by position in info.object_columns
};

/// Codes the text columns of a matrix with the tables of `info`, on the worker pool, as
/// each column becomes complete. A text the column's table holds gets its code (NaN for a
/// missing-value marker, learned or not); any other text is unknown and gets `fill`.
/// Numeric columns are the caller's: it reports their unknown cells itself. finish()
/// waits and returns the first unknown cell, by column, then row. The destructor waits
/// for running tasks too.
class ApplyPass {
public:
    /// `info`, `matrix`, `texts` and `refs` must outlive the pass; `texts` has one entry
    /// per column, and so has `refs` unless it is null.
    ApplyPass(const EncodingInfo& info, Matrix& matrix, std::vector<TextColumn>& texts,
              std::vector<BufferVector<std::uint32_t>>* refs, double fill);

    /// Column j was learned as text and `texts[j]` holds the texts of its rows from
    /// `first_row` on (the rows above came in segments), or, when `refs[j]` is not empty,
    /// row i's text is `texts[j][refs[j][i]]`.
    void text_column(std::size_t j, std::size_t first_row = 0);
    /// The texts of rows first_row, first_row + 1, ... of column j, learned as text: they
    /// are looked up while later rows are read.
    void text_segment(std::size_t j, std::size_t first_row, TextColumn&& texts);
    /// Column j was learned as text but its rows are all numbers, in the matrix: each is
    /// looked up by its number text.
    void number_column(std::size_t j);
    /// Cell (i, j) of a numeric column is no number; `text` is its text. Sets the cell to
    /// `fill`. Cells of one column must come in row order.
    void unknown_cell(std::size_t i, std::size_t j, std::string_view text);

    std::optional<UnknownCell> finish();

private:
    template <class TextOf>
    void look_up(std::size_t j, std::size_t begin, std::size_t end, TextOf text_of);
    void note_unknown(UnknownCell&& unknown);
    void look_up_refs(std::size_t j);

    const EncodingInfo& info_;
    std::shared_ptr<TableLookups> lookups_;
    Matrix& matrix_;
    std::vector<TextColumn>& texts_;
    std::vector<BufferVector<std::uint32_t>>* refs_;
    double fill_;
    std::mutex unknown_lock_;
    std::vector<std::optional<UnknownCell>> unknown_;  // by column, the first row's, under unknown_lock_
    TaskBatch tasks_;                                  // declared last: waited for first
};

}  // namespace quorvel
