// Output assembly: the working matrix back into the caller's container kind.
#pragma once

#include <cstddef>

#include "capi/ref.hpp"
#include "convert/decoded_texts.hpp"
#include "convert/input.hpp"

namespace quorvel::convert {

/// Builds a new NumPy array or DataFrame from `matrix`. With an EncodingInfo, the codes of
/// its object_columns are turned back into texts, taking the strs of texts decoded before
/// from `kept` and keeping the new ones there (when given). Consumes `out`. The matrix may
/// be left empty (its buffer handed to the result) when no decoding is needed.
py::Ref arr_to_out(Matrix& matrix, OUT out, const EncodingInfo* encoding_info, DecodedTexts* kept = nullptr);

/// The texts of one encoded column as a new 1-D object array of `rows` cells: cell r
/// holds the str of the code codes[r * stride], or `missing` (borrowed; None or "NaN")
/// where that cell is NaN or its code has no text. Each distinct code's str is made once
/// and shared by its cells. `codes` may be null when `rows` is 0.
py::Ref decode_column(const double* codes, std::size_t rows, std::size_t stride, const DecodeMap& map,
                      PyObject* missing);

}  // namespace quorvel::convert
