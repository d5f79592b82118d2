// Input recognition: which container the caller passed, and its working matrix.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "capi/ref.hpp"
#include "core/encoding_info.hpp"
#include "core/matrix.hpp"

namespace quorvel::convert {

/// The kind of container the caller passed, so the result can be built in the same kind.
struct OUT {
    struct NumPy {};
    struct DataFrame {
        std::vector<std::string> labels;  ///< the frame's column labels as texts
        /// When the matrix leaves some of the frame's columns out: pandas' own shallow copy
        /// of the caller's frame, made before any of its cells was read, from which the
        /// result takes those columns (pandas tracks the sharing). Otherwise empty.
        py::Ref source;
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
///
/// With `share_columns`, the float64 columns of a pandas frame may be left out of the
/// matrix (see encode_object_array); `out` then holds the frame, for a result that takes
/// them from it. Only for a caller that builds a plain result from the matrix, without
/// reading the cells of those columns.
ExtractedInput pyany_to_vec(PyObject* obj, bool can_encode_text, bool read_in_place = false,
                            bool share_columns = false);

/// The container kind of `obj` by its type's short name (with a DataFrame's labels);
/// TypeError (and the type's name on standard output) for any other kind.
OUT recognise(PyObject* obj);

/// True for a 2-D float64 NumPy array, which is taken over as it is and teaches nothing.
/// NumPy's API must be loaded (ensure_numpy).
bool takes_fast_path(PyObject* obj);

/// Reads every cell of `obj` once, encodes its text columns on the worker pool and
/// returns the matrix and what it learned. Failures are internal faults.
///
/// The matrix of a DataFrame is column-major. Given `shared_copy`, the columns that the
/// frame holds as float64 under pandas' copy-on-write tracking are left out of it (not
/// stored, not read) where taking them from the frame saves more than it costs; then
/// `*shared_copy` is set to pandas' shallow copy of the frame, made before any cell is
/// read (so Python code run by a cell cannot change what the result takes from it).
std::pair<Matrix, EncodingInfo> encode_object_array(PyObject* obj, bool is_dataframe, py::Ref* shared_copy = nullptr);

}  // namespace quorvel::convert
