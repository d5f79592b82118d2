// Input recognition: which container the caller passed, and its working matrix.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/matrix.hpp"

namespace quorvel::convert {

/// The kind of container the caller passed, so the result can be built in the same kind.
struct OUT {
    struct NumPy {};
    struct DataFrame {
        std::vector<std::string> labels;  ///< the frame's column labels as texts
    };
    std::variant<NumPy, DataFrame> kind;

    bool is_dataframe() const noexcept { return std::holds_alternative<DataFrame>(kind); }
};

struct ExtractedInput {
    Matrix matrix;
    OUT out;
    std::optional<EncodingInfo> learned;  ///< absent on the float64 fast path
};

/// Recognises `obj` (borrowed) by its type's short name and extracts the working matrix:
/// a 2-D float64 array is copied as it is; everything else accepted goes through
/// encode_object_array. Throws PyErrorSet for Python errors and InternalFault for faults.
///
/// With `read_in_place`, a row-major float64 array is not copied: the matrix borrows its
/// buffer. Only for a caller that keeps `obj` alive, reads the matrix before any Python
/// code can run, and never writes to it.
ExtractedInput pyany_to_vec(PyObject* obj, bool can_encode_text, bool read_in_place = false);

/// The container kind of `obj` by its type's short name (with a DataFrame's labels);
/// TypeError (and the type's name on standard output) for any other kind.
OUT recognise(PyObject* obj);

/// True for a 2-D float64 NumPy array, which is taken over as it is and teaches nothing.
/// NumPy's API must be loaded (ensure_numpy).
bool takes_fast_path(PyObject* obj);

/// Reads every cell of `obj` once, encodes its text columns on the worker pool and
/// returns the matrix and what it learned. Failures are internal faults.
std::pair<Matrix, EncodingInfo> encode_object_array(PyObject* obj, bool is_dataframe);

}  // namespace quorvel::convert
