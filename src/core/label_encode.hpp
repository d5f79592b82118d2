// The code rule of one text column: distinct texts sorted byte-wise, numbered 0, 1, 2, ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "core/borrowed_texts.hpp"
#include "core/buffer.hpp"
#include "core/encoding_info.hpp"
#include "core/text_column.hpp"

namespace quorvel {

/// True for the missing-value markers "<NA>", "nan" and "NaN" (whole text, exact bytes).
bool is_missing_marker(std::string_view text) noexcept;

struct LabelEncoded {
    std::vector<double> codes;  ///< one per input text, row order; NaN for a marker
    CodeTable table;            ///< one entry per distinct text
    TextStore texts;            ///< the table's texts
};

/// Columns of fewer rows than this run none of their work in parallel.
inline constexpr std::size_t serial_column_rows = std::size_t{1} << 14;

/// Learns and applies the code table of one column. Uses the worker pool's nested
/// parallelism (call it from inside run_on_pool). Cannot fail.
LabelEncoded label_encode(const TextColumn& values);

/// label_encode writing its codes straight into a strided destination: code i goes to
/// `out[i * stride]` (a matrix column is `&data[j]` with stride `cols`). Returns the
/// code table. Saves the result vector and a copy pass when encoding into a matrix.
/// The distinct texts are copied once, into `texts`, which the table's (and the decode
/// map's) views point into. When `decode` is given, the column's decode map is built into
/// it at the same time (equal to make_decode_map of the table, without a second walk).
/// `rows_read`, when given, is called as soon as `values` is no longer read (before the
/// table is built), so a caller that owns the rows can free them early. A column of fewer
/// than serial_column_rows rows is encoded without any oneTBB call, so it may be encoded
/// on a thread outside the pool.
CodeTable label_encode_into(const TextColumn& values, double* out, std::size_t stride, TextStore& texts,
                            DecodeMap* decode = nullptr, const std::function<void()>& rows_read = {});

/// label_encode_into for texts read where they lie: the same code table, decode map and
/// codes as for the same texts staged.
CodeTable label_encode_into(const BorrowedTexts& values, double* out, std::size_t stride, TextStore& texts,
                            DecodeMap* decode = nullptr);

/// label_encode_into for a column staged by reference: row i holds the text
/// `texts[refs[i]]` (several entries of `texts` may hold equal texts). Only the staged
/// texts are hashed and sorted; each row's code is then looked up through its reference.
/// The code table, decode map and codes equal those of the rows' texts staged one by one.
/// `rows_read` is called once `texts` is no longer read; `refs` is read to the end. Calls
/// no oneTBB code either when both `texts` and `refs` hold fewer than serial_column_rows.
CodeTable label_encode_refs(const TextColumn& texts, const BufferVector<std::uint32_t>& refs, double* out,
                            std::size_t stride, TextStore& store, DecodeMap* decode = nullptr,
                            const std::function<void()>& rows_read = {});

/// The decode map of a code table: code -> text for every entry that has a code (views
/// into the same storage as the table's texts).
DecodeMap make_decode_map(const CodeTable& table);

}  // namespace quorvel
