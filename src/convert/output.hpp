// Output assembly: the working matrix back into the caller's container kind.
#pragma once

#include "convert/input.hpp"
#include "py/ref.hpp"

namespace quorvel::convert {

/// Builds a new NumPy array or DataFrame from `matrix`. With an EncodingInfo, the codes of
/// its object_columns are turned back into texts. Consumes `out`. The matrix may be left
/// empty (its buffer handed to the result) when no decoding is needed.
py::Ref arr_to_out(Matrix& matrix, OUT out, const EncodingInfo* encoding_info);

}  // namespace quorvel::convert
