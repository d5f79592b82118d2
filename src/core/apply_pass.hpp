// Applying a learned encoding to new rows: the learned code tables looked up, nothing learned.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

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

/// Codes the text columns of a matrix with the tables of `info`, on the worker pool, as
/// each column becomes complete. A text the column's table holds gets its code (NaN for a
/// missing-value marker, learned or not); any other text is unknown and gets `fill`.
/// Numeric columns are the caller's: it reports their unknown cells itself. finish()
/// waits and returns the first unknown cell, by column, then row. The destructor waits
/// for running tasks too.
class ApplyPass {
public:
    /// `info`, `matrix` and `texts` must outlive the pass; `texts` has one entry per column.
    ApplyPass(const EncodingInfo& info, Matrix& matrix, std::vector<TextColumn>& texts, double fill);

    /// Column j was learned as text and `texts[j]` holds the texts of all its rows.
    void text_column(std::size_t j);
    /// Column j was learned as text but its rows are all numbers, in the matrix: each is
    /// looked up by its number text.
    void number_column(std::size_t j);
    /// Cell (i, j) of a numeric column is no number; `text` is its text. Sets the cell to
    /// `fill`. Cells of one column must come in row order.
    void unknown_cell(std::size_t i, std::size_t j, std::string_view text);

    std::optional<UnknownCell> finish();

private:
    template <class TextOf>
    void look_up(std::size_t j, TextOf text_of);

    const EncodingInfo& info_;
    Matrix& matrix_;
    std::vector<TextColumn>& texts_;
    double fill_;
    std::vector<std::optional<UnknownCell>> unknown_;  // by column, written by its task only
    TaskBatch tasks_;                                  // declared last: waited for first
};

}  // namespace quorvel
