// Output assembly: a new float64 array, object array or DataFrame from the working matrix.
#include "convert/output.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "convert/numpy.hpp"
#include "core/fault.hpp"
#include "py/errors.hpp"

namespace quorvel::convert {
namespace {

using py::checked;
using py::Ref;

// The lookup code of a cell: truncated toward zero, saturating at 0 and 2^64 - 1.
std::uint64_t code_of(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

// The texts of one encoded column as Python str objects, made once per distinct code and
// shared by every cell holding that code.
class ColumnTexts {
public:
    ColumnTexts(const DecodeMap& map, std::size_t rows) : map_(map) {
        std::uint64_t largest = 0;
        for (const auto& entry : map) largest = std::max(largest, entry.first);
        // Codes learned by encoding are dense (0..k-1): index them directly.
        if (map.empty() || largest >= 2 * map.size() + 64) return;
        dense_.resize(largest + 1);
        // When the rows will meet most codes anyway, make every text up front, walking the
        // map in memory order rather than looking codes up one by one.
        eager_ = map.size() <= 2 * rows;
        if (eager_) {
            for (const auto& [code, text] : map) dense_[code] = py::make_str(text);
        }
    }

    /// Writes a new reference to the text of row r's code (`missing` for NaN and for a
    /// code without a text) to out[r * stride], for every row of matrix column c.
    void fill(const Matrix& matrix, std::size_t c, PyObject** out, std::size_t stride, PyObject* missing) {
        if (eager_) return fill_dense(matrix, c, out, stride, missing);
        for (std::size_t r = 0; r < matrix.rows; ++r) {
            PyObject* text = lookup(matrix.at(r, c));
            if (text == nullptr) text = missing;
            Py_INCREF(text);
            out[r * stride] = text;
        }
    }

private:
    const Ref* dense_slot(double value) const {
        if (std::isnan(value)) return nullptr;
        const std::uint64_t code = code_of(value);
        return code < dense_.size() ? &dense_[code] : nullptr;
    }

    // All texts exist already. Rows meet codes in any order, so each row costs two
    // dependent cache misses (its slot, then its str); prefetching rows ahead overlaps
    // them instead of paying them one after the other.
    void fill_dense(const Matrix& matrix, std::size_t c, PyObject** out, std::size_t stride, PyObject* missing) {
        constexpr std::size_t slot_ahead = 16, text_ahead = 8;
        const std::size_t rows = matrix.rows;
        for (std::size_t r = 0; r < rows; ++r) {
            if (r + slot_ahead < rows) {
                if (const Ref* slot = dense_slot(matrix.at(r + slot_ahead, c))) __builtin_prefetch(slot);
            }
            if (r + text_ahead < rows) {
                const Ref* slot = dense_slot(matrix.at(r + text_ahead, c));
                if (slot != nullptr && *slot) __builtin_prefetch(slot->get(), 1);
            }
            const Ref* slot = dense_slot(matrix.at(r, c));
            PyObject* text = slot != nullptr && *slot ? slot->get() : missing;
            Py_INCREF(text);
            out[r * stride] = text;
        }
    }

    // The text of a cell, made on first use (the map is searched once per code); null for
    // NaN and for a code without a text.
    PyObject* lookup(double value) {
        if (std::isnan(value)) return nullptr;
        const std::uint64_t code = code_of(value);
        if (code < dense_.size()) {
            Ref& slot = dense_[code];
            if (!slot) slot = make(code);
            return known(slot);
        }
        auto cached = sparse_.find(code);
        if (cached == sparse_.end()) cached = sparse_.emplace(code, make(code)).first;
        return known(cached->second);
    }

    // A new str for the code, or None standing for "no text" (so the miss is cached too).
    Ref make(std::uint64_t code) {
        auto found = map_.find(code);
        return found == map_.end() ? Ref::borrow(Py_None) : py::make_str(found->second);
    }

    static PyObject* known(const Ref& slot) { return slot.get() == Py_None ? nullptr : slot.get(); }

    const DecodeMap& map_;
    bool eager_ = false;
    std::vector<Ref> dense_;
    FlatMap<std::uint64_t, Ref> sparse_;
};

const DecodeMap& decode_map_of(const EncodingInfo& info, std::size_t column) {
    auto found = info.decode_maps.find(column);
    if (found == info.decode_maps.end()) fault("no entry found for key");
    return found->second;
}

// Object array: encoded columns hold their texts ("NaN" where there is none), every other
// cell a Python float. Built directly; equal to astype("object") followed by writing the
// texts, without creating floats only to replace them.
Ref object_array(const Matrix& matrix, const EncodingInfo& info) {
    std::vector<const DecodeMap*> decoded(matrix.cols, nullptr);
    for (std::size_t c : info.object_columns) {
        const DecodeMap& map = decode_map_of(info, c);
        if (matrix.rows == 0) continue;
        if (c >= matrix.cols) fault("ndarray: index out of bounds");
        decoded[c] = &map;  // a column listed twice is decoded once: the result is the same
    }
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
    Ref array = checked(PyArray_SimpleNew(2, dims, NPY_OBJECT));  // cells start as null
    auto** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    Ref nan_text = py::make_str("NaN");
    // Floats row by row, so the cells are written front to back; then each encoded column.
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        for (std::size_t c = 0; c < matrix.cols; ++c) {
            if (decoded[c] == nullptr) cells[r * matrix.cols + c] = py::require(PyFloat_FromDouble(matrix.at(r, c)));
        }
    }
    for (std::size_t c = 0; c < matrix.cols; ++c) {
        if (decoded[c] != nullptr) {
            ColumnTexts(*decoded[c], matrix.rows).fill(matrix, c, cells + c, matrix.cols, nan_text.get());
        }
    }
    return array;
}

// The rendering of one encoded column for a DataFrame: str, or None where there is no text.
Ref column_list(const Matrix& matrix, std::size_t c, const DecodeMap& map) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(matrix.rows)));
    if (matrix.rows > 0 && c >= matrix.cols) fault("ndarray: index out of bounds");
    // The list's item array is filled in place, as PyList_SET_ITEM would one by one.
    if (matrix.rows > 0) ColumnTexts(map, matrix.rows).fill(matrix, c, &PyList_GET_ITEM(list.get(), 0), 1, Py_None);
    return list;
}

// Turns column `label` of df into dtype object and assigns the decoded texts through loc.
void assign_decoded(PyObject* df, PyObject* label, PyObject* texts) {
    Ref column = checked(PyObject_GetItem(df, label));
    Ref as_object = checked(PyObject_CallMethod(column.get(), "astype", "s", "object"));
    Ref set = checked(PyObject_CallMethod(df, "__setitem__", "OO", label, as_object.get()));
    Ref loc = checked(PyObject_GetAttrString(df, "loc"));
    Ref all_rows = checked(PySlice_New(nullptr, nullptr, nullptr));
    Ref key = checked(PyTuple_Pack(2, all_rows.get(), label));
    py::require_ok(PyObject_SetItem(loc.get(), key.get(), texts));
}

Ref dataframe(Matrix& matrix, const std::vector<std::string>& labels, const EncodingInfo* info) {
    Ref pandas = checked(PyImport_ImportModule("pandas"));
    Ref kwargs = checked(PyDict_New());
    Ref label_list = checked(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t i = 0; i < labels.size(); ++i) {
        PyList_SET_ITEM(label_list.get(), static_cast<Py_ssize_t>(i), py::make_str(labels[i]).release());
    }
    py::require_ok(PyDict_SetItemString(kwargs.get(), "columns", label_list.get()));
    Ref constructor = checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    const bool decodes = info != nullptr && !info->object_columns.empty();
    // The matrix is still read when decoding; otherwise the array takes over its buffer.
    Ref array = decodes ? array_copy_of_matrix(matrix) : array_from_matrix(std::move(matrix));
    Ref args = checked(PyTuple_Pack(1, array.get()));
    Ref df = checked(PyObject_Call(constructor.get(), args.get(), kwargs.get()));
    if (!decodes) return df;
    for (std::size_t c : info->object_columns) {
        Ref texts = column_list(matrix, c, decode_map_of(*info, c));
        if (c >= labels.size()) {
            fault("index out of bounds: the len is " + std::to_string(labels.size()) + " but the index is " + std::to_string(c));
        }
        assign_decoded(df.get(), py::make_str(labels[c]).get(), texts.get());
    }
    return df;
}

}  // namespace

Ref arr_to_out(Matrix& matrix, OUT out, const EncodingInfo* encoding_info) {
    ensure_numpy();
    if (auto* frame = std::get_if<OUT::DataFrame>(&out.kind)) return dataframe(matrix, frame->labels, encoding_info);
    if (encoding_info == nullptr) return array_from_matrix(std::move(matrix));
    return object_array(matrix, *encoding_info);
}

}  // namespace quorvel::convert
