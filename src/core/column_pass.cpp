// The parallel column pass of matrix encoding: encodes every text column into the matrix.
#include "core/column_pass.hpp"

#include <string>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include "core/fault.hpp"
#include "core/label_encode.hpp"
#include "core/worker_pool.hpp"

namespace quorvel {
namespace {

// What the task of one text column hands back.
struct ColumnResult {
    CodeTable table;
    DecodeMap decode;
};

}  // namespace

EncodingInfo encode_text_columns(Matrix& matrix, const std::vector<TextColumn>& texts,
                                 const std::vector<bool>& text_mode) {
    const std::size_t cols = matrix.cols;
    if (texts.size() != cols || text_mode.size() != cols)
        fault("column pass: " + std::to_string(texts.size()) + " text lists and " +
              std::to_string(text_mode.size()) + " flags for " + std::to_string(cols) + " columns");

    EncodingInfo info;
    for (std::size_t j = 0; j < cols; ++j) {
        if (!text_mode[j]) continue;
        if (texts[j].size() != matrix.rows)
            fault("column pass: text column " + std::to_string(j) + " has " +
                  std::to_string(texts[j].size()) + " texts for " + std::to_string(matrix.rows) + " rows");
        info.object_columns.push_back(j);
    }
    // Without text columns there is nothing to encode: numbers are already in place, and
    // the pool (its start and its hand-off) is not worth touching.
    if (info.object_columns.empty()) return info;

    const std::vector<std::size_t>& columns = info.object_columns;
    std::vector<ColumnResult> results(columns.size());
    double* const data = matrix.begin();
    run_on_pool([&] {
        // One task per text column (simple_partitioner with grain 1 never groups
        // columns); each task writes only cells of its own column and its own result
        // slot, so no locking is needed. label_encode nests its own parallel work.
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, columns.size(), 1),
            [&](const tbb::blocked_range<std::size_t>& range) {
                for (std::size_t t = range.begin(); t < range.end(); ++t) {
                    const std::size_t j = columns[t];
                    ColumnResult& result = results[t];
                    double* const column = matrix.rows == 0 ? nullptr : data + j;
                    result.table = label_encode_into(texts[j], column, cols, &result.decode);
                }
            },
            tbb::simple_partitioner());
    });

    info.encode_maps.reserve(cols);
    info.decode_maps.reserve(cols);
    for (std::size_t t = 0; t < columns.size(); ++t) {
        info.encode_maps.emplace(columns[t], std::move(results[t].table));
        info.decode_maps.emplace(columns[t], std::move(results[t].decode));
    }
    return info;
}

}  // namespace quorvel
