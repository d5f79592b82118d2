// What a learner keeps of a table seen as consecutive row chunks: distinct texts, never rows.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/matrix.hpp"
#include "core/text_column.hpp"

namespace quorvel {

/// Distinct texts in ascending byte order.
using TextSet = std::vector<std::string>;

/// The distinct texts of rows [begin, end) of a staged column. Uses the worker pool's
/// nested parallelism when called from a pool task.
TextSet distinct_texts(const TextColumn& texts, std::size_t begin, std::size_t end);

/// The distinct number texts of the first `rows` numbers of matrix column j.
TextSet distinct_number_texts(const Matrix& matrix, std::size_t j, std::size_t rows);

/// The union of two text sets.
TextSet text_union(const TextSet& a, const TextSet& b);

/// One column of the rows a learner saw. Whether a number becomes its number text or its
/// str() depends on whether the column met a non-numeric cell in rows above it, which may
/// lie in rows another learner saw; so the numbers above this learner's first
/// non-numeric cell are kept both ways until a merge decides.
struct ColumnLearning {
    bool turned = false;     ///< a non-numeric cell occurred in these rows
    TextSet number_texts;    ///< number texts of the numbers above the first non-numeric cell (all, if none)
    TextSet str_texts;       ///< str() of the same cells
    TextSet texts;           ///< texts of the cells from the first non-numeric cell on

    friend bool operator==(const ColumnLearning&, const ColumnLearning&) = default;
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

    /// The encoding one encode of all these rows would learn, or nothing when no chunk
    /// taught anything.
    std::optional<EncodingInfo> encoding() const;

    /// A self-delimiting byte form, and back (an error text when the bytes are not one).
    std::string to_bytes() const;
    static std::variant<LearnerState, std::string> from_bytes(std::string_view bytes);

    friend bool operator==(const LearnerState&, const LearnerState&) = default;
};

}  // namespace quorvel
