// The parallel column pass of matrix encoding: one pool task per text column, and a few
// tasks for all the short columns together.
#include "core/column_pass.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/fault.hpp"
#include "core/label_encode.hpp"

namespace quorvel {
namespace {

// Columns shorter than this wait for finish() and are encoded there, several per task.
constexpr std::size_t batch_rows_max = 4096;
static_assert(batch_rows_max <= serial_column_rows, "a batch of short columns may be encoded outside the pool");
// Rows of short columns worth a pool task of their own: a second task wakes another
// worker, which pays only for about a millisecond of work or more (and on a busy machine,
// a thread that waits for a core slows the call down more than it helps).
constexpr std::size_t batch_task_rows = std::size_t{1} << 16;

}  // namespace

ColumnPass::ColumnPass(Matrix& matrix, std::vector<TextColumn>& texts, std::vector<BufferVector<std::uint32_t>>* refs)
    : matrix_(matrix), texts_(texts), refs_(refs), learned_(matrix.cols), borrowed_(matrix.cols) {
    if (texts.size() != matrix.cols || (refs != nullptr && refs->size() != matrix.cols)) {
        fault("column pass: " + std::to_string(texts.size()) + " text lists for " + std::to_string(matrix.cols) +
              " columns");
    }
}

void ColumnPass::start_column(std::size_t j) {
    const bool by_reference = refs_ != nullptr && j < matrix_.cols && !(*refs_)[j].empty();
    submit(j, by_reference ? Staged::by_reference : Staged::plainly);
}

void ColumnPass::start_borrowed(std::size_t j, const BorrowedTexts& rows) {
    if (j < matrix_.cols) borrowed_[j] = rows;
    submit(j, Staged::borrowed);
}

void ColumnPass::submit(std::size_t j, Staged staged) {
    if (j >= matrix_.cols || !matrix_.stores(j) || (!started_.empty() && j <= started_.back())) {
        fault("column pass: column " + std::to_string(j) + " started out of order");
    }
    const std::size_t rows = staged == Staged::borrowed       ? borrowed_[j]->size()
                             : staged == Staged::by_reference ? (*refs_)[j].size()
                                                              : texts_[j].size();
    if (rows != matrix_.rows) {
        fault("column pass: text column " + std::to_string(j) + " has " + std::to_string(rows) + " texts for " +
              std::to_string(matrix_.rows) + " rows");
    }
    started_.push_back(j);
    if (matrix_.rows < batch_rows_max) {
        waiting_.push_back({j, staged});
        return;
    }
    // Each task writes only cells (i, j) of its own column and its own slot of learned_,
    // so no locking is needed; label_encode nests its own parallel work in the pool.
    tasks_.submit([this, j, staged] { encode(j, staged); });
}

void ColumnPass::encode(std::size_t j, Staged staged) {
    double* const column = matrix_.rows == 0 ? nullptr : matrix_.column(j);
    const std::size_t step = matrix_.row_step();
    Learned& learned = learned_[j];
    switch (staged) {
        case Staged::borrowed:
            learned.table = label_encode_into(*borrowed_[j], column, step, learned.texts, &learned.decode);
            return;
        case Staged::by_reference:
            learned.table = label_encode_refs(texts_[j], (*refs_)[j], column, step, learned.texts,
                                              &learned.decode, [this, j] { texts_[j] = TextColumn(); });
            release((*refs_)[j]);
            return;
        case Staged::plainly:
            // The staged texts are freed as soon as their copies are stored: keeps the peak down.
            learned.table = label_encode_into(texts_[j], column, step, learned.texts, &learned.decode,
                                              [this, j] { texts_[j] = TextColumn(); });
            return;
    }
}

EncodingInfo ColumnPass::finish() {
    if (!waiting_.empty()) {
        // The short columns go to the pool in a few tasks of about the same number of rows:
        // one per worker at most, and only as many as have rows enough to be worth a task.
        const std::size_t rows = std::max<std::size_t>(matrix_.rows, 1);
        const std::size_t columns_per_task = std::max<std::size_t>(1, batch_task_rows / rows);
        const std::size_t tasks =
            std::min(pool_thread_count(), (waiting_.size() + columns_per_task - 1) / columns_per_task);
        for (std::size_t t = 0; t < tasks; ++t) {
            const std::size_t begin = waiting_.size() * t / tasks, end = waiting_.size() * (t + 1) / tasks;
            const auto batch = [this, begin, end] {
                for (std::size_t k = begin; k < end; ++k) encode(waiting_[k].column, waiting_[k].staged);
            };
            // A single batch is encoded here: this thread would only wait for it, and the
            // hand-off alone (waking a worker, then being woken) takes longer than short
            // columns take to encode, much longer on a busy machine. Short columns start
            // no parallel algorithm, so this thread still never calls oneTBB.
            if (tasks == 1) {
                tasks_.run_here(batch);
            } else {
                tasks_.submit(batch);
            }
        }
    }
    tasks_.wait();
    EncodingInfo info;
    info.object_columns = started_;
    info.encode_maps.reserve(matrix_.cols);
    info.decode_maps.reserve(matrix_.cols);
    for (std::size_t j : started_) {
        info.encode_maps.try_emplace(j, std::move(learned_[j].table));
        info.decode_maps.try_emplace(j, std::move(learned_[j].decode));
        info.texts.adopt(std::move(learned_[j].texts));
    }
    return info;
}

EncodingInfo encode_text_columns(Matrix& matrix, std::vector<TextColumn>& texts, const std::vector<bool>& text_mode) {
    if (text_mode.size() != matrix.cols) {
        fault("column pass: " + std::to_string(text_mode.size()) + " flags for " + std::to_string(matrix.cols) +
              " columns");
    }
    ColumnPass pass(matrix, texts);
    for (std::size_t j = 0; j < matrix.cols; ++j) {
        if (text_mode[j]) pass.start_column(j);
    }
    return pass.finish();
}

}  // namespace quorvel
