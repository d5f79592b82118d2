// The parallel column pass of matrix encoding: encodes every text column into the matrix.
#pragma once

#include <vector>

#include "core/encoding_info.hpp"
#include "core/matrix.hpp"
#include "core/text_column.hpp"

namespace quorvel {

/// `texts[j]` holds the rows texts of column j when column j is in text mode, and is
/// empty (size 0) otherwise; numeric columns are already in `matrix`. Runs one task per
/// column on the worker pool; each text column is label-encoded and its codes written
/// into its matrix column. Returns the EncodingInfo: object_columns ascending (the text
/// columns), encode_maps and decode_maps keyed by exactly those columns.
/// `text_mode[j]` says which columns are text (a text column with 0 rows is still text).
EncodingInfo encode_text_columns(Matrix& matrix, const std::vector<TextColumn>& texts,
                                 const std::vector<bool>& text_mode);

}  // namespace quorvel
