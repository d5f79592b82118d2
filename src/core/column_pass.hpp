// The parallel column pass of matrix encoding: encodes every text column into the matrix.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/borrowed_texts.hpp"
#include "core/buffer.hpp"
#include "core/encoding_info.hpp"
#include "core/matrix.hpp"
#include "core/text_column.hpp"
#include "core/worker_pool.hpp"

namespace quorvel {

/// Encodes text columns on the worker pool as soon as each one is complete, so the pool
/// works while the caller is still reading later columns. Short columns (a few thousand
/// rows) are encoded in microseconds, less than a task's hand-off to the pool takes: they
/// wait for finish() and go to the pool together, in one task per worker at most. Column
/// j's encoding label-encodes `texts[j]`, writes its codes into matrix column j (no other cell), builds its decode
/// map and then releases the column's texts. finish() waits for every task and returns
/// the EncodingInfo: object_columns ascending, encode_maps and decode_maps keyed by
/// exactly those columns. If the caller fails before finish(), the destructor still
/// waits for the running tasks, so nothing they use is freed under them.
class ColumnPass {
public:
    /// `texts` must have one entry per matrix column and must not be resized while
    /// tasks run; the matrix buffer must stay where it is.
    ///
    /// With `refs`, a column j whose refs[j] is not empty is staged by reference: row i
    /// holds the text texts[j][refs[j][i]] (see label_encode_refs).
    ColumnPass(Matrix& matrix, std::vector<TextColumn>& texts,
               std::vector<BufferVector<std::uint32_t>>* refs = nullptr);

    /// Starts encoding column j, whose rows texts are complete and will not change.
    void start_column(std::size_t j);

    /// Starts encoding column j from texts read where they lie instead of texts[j], which
    /// stays empty. Their buffers must outlive finish() (or the destructor, on failure).
    void start_borrowed(std::size_t j, const BorrowedTexts& rows);

    /// Waits for all columns and assembles what they learned. Rethrows a task's failure.
    EncodingInfo finish();

private:
    struct Learned {
        CodeTable table;
        DecodeMap decode;
        TextStore texts;
    };

    enum class Staged { plainly, by_reference, borrowed };

    void submit(std::size_t j, Staged staged);
    void encode(std::size_t j, Staged staged);

    struct Waiting {
        std::size_t column;
        Staged staged;
    };

    Matrix& matrix_;
    std::vector<TextColumn>& texts_;
    std::vector<BufferVector<std::uint32_t>>* refs_;
    std::vector<std::size_t> started_;  // text columns, ascending
    std::vector<Learned> learned_;      // by column, written by that column's task only
    std::vector<std::optional<BorrowedTexts>> borrowed_;  // by column: the texts of those started borrowed
    std::vector<Waiting> waiting_;      // started short columns, not yet handed to the pool
    TaskBatch tasks_;                   // declared last: destroyed (waited for) first
};

/// All text columns at once: `texts[j]` holds the rows texts of column j when
/// `text_mode[j]` is set (a text column with 0 rows is still a text column); numeric
/// columns are already in `matrix`.
EncodingInfo encode_text_columns(Matrix& matrix, std::vector<TextColumn>& texts, const std::vector<bool>& text_mode);

}  // namespace quorvel
