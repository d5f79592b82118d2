// Output assembly: a new float64 array, object array or DataFrame from the working matrix.
#include "convert/output.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include "capi/errors.hpp"
#include "convert/numpy.hpp"
#include "core/fault.hpp"

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

// A str from a decoded text. Texts of plain ASCII, the common case, are copied straight
// into a new compact str, skipping the general decoder; the result is the same str.
Ref text_str(std::string_view text) {
    unsigned char any = 0;
    for (const char c : text) any |= static_cast<unsigned char>(c);
    if (any >= 0x80 || text.size() < 2) return py::make_str(text);  // short texts may be cached
    Ref str = checked(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_DATA(str.get()), text.data(), text.size());
    return str;
}

// The texts of one encoded column as Python str objects, made once per distinct code and
// shared by every cell holding that code.
class ColumnTexts {
public:
    /// `missing` stands for NaN cells and for codes without a text. With `kept` (the
    /// encoder's decoded texts, locked by the caller), the strs of a column whose texts are
    /// all made up front are taken from there, and those made now are kept there.
    ColumnTexts(const DecodeMap& map, std::size_t rows, PyObject* missing, DecodedTexts* kept = nullptr,
                std::size_t column = 0)
        : map_(map), missing_(missing) {
        // Codes learned by encoding are dense (0..k-1) and most of them occur when the rows
        // outnumber them: make every text up front and index the codes directly.
        if (map.empty() || map.largest_key() >= 2 * map.size() + 64 || map.size() > 2 * rows) return;
        const std::size_t size = map.largest_key() + 1;
        make_dense(size, kept != nullptr ? &kept->column(column, size) : nullptr);
    }

    /// The text of a cell (`missing` for NaN and for a code without a text), for a cell
    /// about to be written. Its reference is owned by that cell once `settle` has run.
    PyObject* cell(double value) {
        if (!dense_.empty()) {
            Slot& slot = dense_[slot_of(value)];
            ++slot.uses;
            return slot.text.get();
        }
        PyObject* text = lookup(value);
        if (text == nullptr) text = missing_;
        Py_INCREF(text);
        return text;
    }

    /// Hints that `cell(value)` comes soon: rows meet codes in any order, so fetching the
    /// slot some rows ahead overlaps its cache miss with the work in between.
    void prefetch(double value) const {
        if (!dense_.empty()) __builtin_prefetch(&dense_[slot_of(value)], 1);
    }

    /// Adds the references handed out by `cell` to the texts' counts, once per text: each
    /// str is touched once, in the order it was made, instead of once per cell. A text's
    /// own reference goes to one of its cells, so releasing the texts afterwards touches
    /// only those that no cell holds. Ends the use of `cell`.
    void settle() noexcept {
        for (Slot& slot : dense_) {
            if (slot.uses == 0) continue;
            PyObject* text = slot.text.release();
            Py_SET_REFCNT(text, Py_REFCNT(text) + slot.uses - 1);
            slot.uses = 0;
        }
    }

    /// Writes the text of codes[r * in_stride] to out[r * out_stride] for every row, one
    /// reference per cell.
    void fill(const double* codes, std::size_t rows, std::size_t in_stride, PyObject** out, std::size_t out_stride) {
        constexpr std::size_t ahead = 16;
        for (std::size_t r = 0; r < rows; ++r) {
            if (r + ahead < rows) prefetch(codes[(r + ahead) * in_stride]);
            out[r * out_stride] = cell(codes[r * in_stride]);
        }
        settle();
    }

private:
    // A text and the number of cells that the fill has pointed at it so far.
    struct Slot {
        Ref text;
        Py_ssize_t uses = 0;
    };

    // One slot per code below `size` plus a last one for "missing". The map holds its
    // entries in code order, and a learned map stores its texts in that order too, so the
    // texts are read front to back.
    void make_dense(std::size_t size, std::vector<Ref>* kept) {
        dense_.resize(size + 1);
        std::size_t code = 0;
        for (const auto& [next, text] : map_) {
            for (; code < next; ++code) dense_[code].text = Ref::borrow(missing_);
            if (kept == nullptr) {
                dense_[code++].text = text_str(text);
                continue;
            }
            Ref& str = (*kept)[code];
            if (!str) str = text_str(text);
            dense_[code++].text = Ref::borrow(str.get());
        }
        for (; code <= size; ++code) dense_[code].text = Ref::borrow(missing_);
    }

    std::size_t slot_of(double value) const {
        const std::size_t missing = dense_.size() - 1;
        if (std::isnan(value)) return missing;
        const std::uint64_t code = code_of(value);
        return code < missing ? code : missing;
    }

    // The text of a cell, made on first use (the map is searched once per code); null for
    // NaN and for a code without a text.
    PyObject* lookup(double value) {
        if (std::isnan(value)) return nullptr;
        const std::uint64_t code = code_of(value);
        auto cached = sparse_.find(code);
        if (cached == sparse_.end()) cached = sparse_.emplace(code, make(code)).first;
        return cached->second.get() == Py_None ? nullptr : cached->second.get();
    }

    // A new str for the code, or None standing for "no text" (so the miss is cached too).
    Ref make(std::uint64_t code) {
        auto found = map_.find(code);
        return found == map_.end() ? Ref::borrow(Py_None) : text_str(found->second);
    }

    const DecodeMap& map_;
    PyObject* missing_;
    std::vector<Slot> dense_;
    FlatMap<std::uint64_t, Ref> sparse_;
};

const DecodeMap& decode_map_of(const EncodingInfo& info, std::size_t column) {
    auto found = info.decode_maps.find(column);
    if (found == info.decode_maps.end()) fault("no entry found for key");
    return found->second;
}

// decode_column, taking and keeping column c's strs in `kept` (locked by the caller) when given.
Ref column_array(const double* codes, std::size_t rows, std::size_t stride, const DecodeMap& map, PyObject* missing,
                 DecodedTexts* kept, std::size_t c) {
    ensure_numpy();
    npy_intp length = static_cast<npy_intp>(rows);
    Ref array = checked(PyArray_SimpleNew(1, &length, NPY_OBJECT));  // cells start as null
    if (rows > 0) {
        auto** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        ColumnTexts(map, rows, missing, kept, c).fill(codes, rows, stride, cells, 1);
    }
    return array;
}

// Python floats for the cells of one plain column. Equal values met recently share one
// object: floats are immutable, and columns of flags or small counts then cost one object
// per distinct value instead of one per cell. The slots borrow: every object they point
// to is owned by a cell already written.
class ColumnFloats {
public:
    PyObject* cell(double value) {
        if (!sharing_) return py::require(PyFloat_FromDouble(value));
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)];
        if (slot.object != nullptr && slot.bits == bits) {
            ++shared_;
            Py_INCREF(slot.object);
            return slot.object;
        }
        // A column whose values rarely repeat stops looking: the search would only cost.
        if (++made_ == kTrial && shared_ < kTrial / 4) sharing_ = false;
        slot = Slot{bits, py::require(PyFloat_FromDouble(value))};
        return slot.object;
    }

private:
    static constexpr unsigned kSlotBits = 4;
    static constexpr std::size_t kTrial = 1024;  // new objects made before judging the column
    bool sharing_ = true;
    std::size_t made_ = 0;
    std::size_t shared_ = 0;
    struct Slot {
        std::uint64_t bits = 0;
        PyObject* object = nullptr;
    };
    std::array<Slot, std::size_t{1} << kSlotBits> slots_{};
};

// A float for each plain cell, the column's text for each encoded one. Rows go in blocks
// small enough for their cells to stay in cache while each column of the block is
// written by its own tight loop.
void write_cells(const Matrix& matrix, std::vector<std::optional<ColumnTexts>>& texts, PyObject** cells) {
    constexpr std::size_t block = 256, ahead = 16;
    std::vector<ColumnFloats> floats(matrix.cols);
    const std::size_t cols = matrix.cols, step = matrix.row_step();
    for (std::size_t start = 0; start < matrix.rows; start += block) {
        const std::size_t end = std::min(matrix.rows, start + block);
        for (std::size_t c = 0; c < cols; ++c) {
            const double* in = matrix.column(c);
            PyObject** out = cells + c;
            if (ColumnTexts* column = texts[c] ? &*texts[c] : nullptr) {
                for (std::size_t r = start; r < end; ++r) {
                    if (r + ahead < matrix.rows) column->prefetch(in[(r + ahead) * step]);
                    out[r * cols] = column->cell(in[r * step]);
                }
            } else {
                for (std::size_t r = start; r < end; ++r) out[r * cols] = floats[c].cell(in[r * step]);
            }
        }
    }
}

// Object array: encoded columns hold their texts ("NaN" where there is none), every other
// cell a Python float. Built directly; equal to astype("object") followed by writing the
// texts, without creating floats only to replace them.
Ref object_array(const Matrix& matrix, const EncodingInfo& info, DecodedTexts* kept) {
    if (matrix.stored_columns() != matrix.cols) fault("output: decoding a matrix that lacks columns");
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
    std::vector<std::optional<ColumnTexts>> texts(matrix.cols);
    {
        std::unique_lock<std::mutex> hold;
        if (kept != nullptr) hold = kept->lock();
        for (std::size_t c = 0; c < matrix.cols; ++c) {
            if (decoded[c] != nullptr) texts[c].emplace(*decoded[c], matrix.rows, nan_text.get(), kept, c);
        }
    }
    // Every str exists before the cells are written, so one pass over the rows writes all
    // the cells of each block of rows together, and each cache line of the array is filled
    // while it is in cache.
    auto settle_all = [&texts] {
        for (auto& column : texts) {
            if (column) column->settle();
        }
    };
    try {
        write_cells(matrix, texts, cells);
    } catch (...) {
        settle_all();  // cells written so far own their references before the array goes
        throw;
    }
    settle_all();
    return array;
}

// A new C-ordered float64 array holding the matrix's transpose: each column of the matrix
// becomes one contiguous row. That is the layout pandas gives the float block of a frame
// it builds from a 2-D array, so the frame takes this array as its block without a copy.
Ref column_major_copy(const Matrix& matrix) {
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.cols), static_cast<npy_intp>(matrix.rows)};
    Ref array = checked(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    // Tiles small enough for their rows to stay in cache on both sides of the transpose.
    constexpr std::size_t tile = 64;
    if (!matrix.row_major()) fault("output: a column-major matrix read as row-major");
    for (std::size_t r0 = 0; r0 < matrix.rows; r0 += tile) {
        const std::size_t r1 = std::min(matrix.rows, r0 + tile);
        for (std::size_t c0 = 0; c0 < matrix.cols; c0 += tile) {
            const std::size_t c1 = std::min(matrix.cols, c0 + tile);
            for (std::size_t c = c0; c < c1; ++c) {
                for (std::size_t r = r0; r < r1; ++r) out[c * matrix.rows + r] = matrix.at(r, c);
            }
        }
    }
    return array;
}

// The frame of the float matrix with the given labels and the default index; its one
// float block is `column_major`'s data, taken over without a copy.
Ref float_frame(PyObject* pandas, PyObject* labels, Ref column_major) {
    Ref transposed = checked(PyArray_Transpose(reinterpret_cast<PyArrayObject*>(column_major.get()), nullptr));
    Ref kwargs = checked(PyDict_New());
    py::require_ok(PyDict_SetItemString(kwargs.get(), "columns", labels));
    py::require_ok(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
    Ref constructor = checked(PyObject_GetAttrString(pandas, "DataFrame"));
    Ref args = checked(PyTuple_Pack(1, transposed.get()));
    return checked(PyObject_Call(constructor.get(), args.get(), kwargs.get()));
}

// Puts the decoded texts of column `c` into df at that position. An object Series is
// handed over rather than the bare array: pandas would infer a string dtype from an
// object array of str, while the column must stay dtype object. The position, never the
// label, says where the column goes: labels may repeat.
void put_decoded(PyObject* pandas, PyObject* df, std::size_t c, PyObject* texts) {
    Ref series_type = checked(PyObject_GetAttrString(pandas, "Series"));
    Ref kwargs = checked(PyDict_New());
    Ref object_name = py::make_str("object");
    py::require_ok(PyDict_SetItemString(kwargs.get(), "dtype", object_name.get()));
    py::require_ok(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
    Ref args = checked(PyTuple_Pack(1, texts));
    Ref series = checked(PyObject_Call(series_type.get(), args.get(), kwargs.get()));
    Ref position = checked(PyLong_FromSize_t(c));
    Ref done = checked(PyObject_CallMethod(df, "isetitem", "OO", position.get(), series.get()));
}

// The frame of a matrix whose columns all stand in one column-major buffer: the frame's
// float block is the buffer itself, taken over without a copy.
Ref own_float_frame(PyObject* pandas, PyObject* labels, Matrix& matrix) {
    Ref owner = take_matrix_buffer(matrix);
    const npy_intp dims[2] = {static_cast<npy_intp>(matrix.cols), static_cast<npy_intp>(matrix.rows)};
    return float_frame(pandas, labels, float64_array_over(matrix.begin(), 2, dims, owner.get()));
}

// The result of encoding a frame whose float64 columns the matrix left out: pandas' own
// shallow copy of the input (`copy`), which tracks the columns it shares with it (writing
// into either frame copies first), relabelled and re-indexed like a new frame, with every
// column the matrix holds put in at its position. No float64 column is copied.
Ref shared_frame(PyObject* pandas, Ref copy, PyObject* labels, Matrix& matrix) {
    if (!copy) fault("output: no frame to take the left-out columns from");
    Ref frame = std::move(copy);
    py::require_ok(PyObject_SetAttrString(frame.get(), "columns", labels));
    Ref range_type = checked(PyObject_GetAttrString(pandas, "RangeIndex"));
    Ref rows = checked(PyLong_FromSize_t(matrix.rows));
    Ref index = checked(PyObject_CallOneArg(range_type.get(), rows.get()));
    py::require_ok(PyObject_SetAttrString(frame.get(), "index", index.get()));
    if (matrix.stored_columns() == 0) return frame;
    // Each column goes in as a Series over its part of the buffer: pandas keeps a Series
    // it is given as it is, where it would copy a bare array.
    Ref owner = take_matrix_buffer(matrix);
    Ref series_type = checked(PyObject_GetAttrString(pandas, "Series"));
    Ref kwargs = checked(PyDict_New());
    py::require_ok(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
    const npy_intp length = static_cast<npy_intp>(matrix.rows);
    for (std::size_t c = 0; c < matrix.cols; ++c) {
        if (!matrix.stores(c)) continue;
        Ref column = float64_array_over(matrix.column(c), 1, &length, owner.get());
        Ref args = checked(PyTuple_Pack(1, column.get()));
        Ref series = checked(PyObject_Call(series_type.get(), args.get(), kwargs.get()));
        Ref position = checked(PyLong_FromSize_t(c));
        Ref done = checked(PyObject_CallMethod(frame.get(), "isetitem", "OO", position.get(), series.get()));
    }
    return frame;
}

Ref dataframe(Matrix& matrix, OUT::DataFrame& out, const EncodingInfo* info, DecodedTexts* kept) {
    const std::vector<std::string>& labels = out.labels;
    Ref pandas = checked(PyImport_ImportModule("pandas"));
    Ref label_list = checked(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t i = 0; i < labels.size(); ++i) {
        PyList_SET_ITEM(label_list.get(), static_cast<Py_ssize_t>(i), py::make_str(labels[i]).release());
    }
    const bool decodes = info != nullptr && !info->object_columns.empty();
    if (matrix.stored_columns() != matrix.cols) {
        if (decodes) fault("output: decoding a matrix that lacks columns");
        return shared_frame(pandas.get(), std::move(out.source), label_list.get(), matrix);
    }
    if (!decodes) {
        if (!matrix.row_major()) return own_float_frame(pandas.get(), label_list.get(), matrix);
        // The array takes over the matrix's buffer; pandas lays out its block itself.
        Ref kwargs = checked(PyDict_New());
        py::require_ok(PyDict_SetItemString(kwargs.get(), "columns", label_list.get()));
        Ref constructor = checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
        Ref array = array_from_matrix(std::move(matrix));
        Ref args = checked(PyTuple_Pack(1, array.get()));
        return checked(PyObject_Call(constructor.get(), args.get(), kwargs.get()));
    }
    // The decoded columns are made first, while the matrix is still this routine's own;
    // then the frame takes the matrix (a column-major one without a copy).
    std::vector<std::pair<std::size_t, Ref>> decoded;
    decoded.reserve(info->object_columns.size());
    std::unique_lock<std::mutex> hold;
    if (kept != nullptr) hold = kept->lock();
    for (std::size_t c : info->object_columns) {
        const DecodeMap& map = decode_map_of(*info, c);
        if (matrix.rows > 0 && c >= matrix.cols) fault("ndarray: index out of bounds");
        const double* codes = matrix.rows > 0 ? matrix.column(c) : nullptr;
        Ref texts = column_array(codes, matrix.rows, matrix.row_step(), map, Py_None, kept, c);
        if (c >= labels.size()) {
            fault("index out of bounds: the len is " + std::to_string(labels.size()) + " but the index is " + std::to_string(c));
        }
        decoded.emplace_back(c, std::move(texts));
    }
    if (hold) hold.unlock();  // before pandas runs: it may decode with this encoder again
    Ref df = matrix.row_major() ? float_frame(pandas.get(), label_list.get(), column_major_copy(matrix))
                                : own_float_frame(pandas.get(), label_list.get(), matrix);
    for (const auto& [c, texts] : decoded) put_decoded(pandas.get(), df.get(), c, texts.get());
    return df;
}

}  // namespace

Ref decode_column(const double* codes, std::size_t rows, std::size_t stride, const DecodeMap& map, PyObject* missing) {
    return column_array(codes, rows, stride, map, missing, nullptr, 0);
}

Ref arr_to_out(Matrix& matrix, OUT out, const EncodingInfo* encoding_info, DecodedTexts* kept) {
    ensure_numpy();
    if (auto* frame = std::get_if<OUT::DataFrame>(&out.kind)) return dataframe(matrix, *frame, encoding_info, kept);
    if (encoding_info == nullptr) return array_from_matrix(std::move(matrix));
    return object_array(matrix, *encoding_info, kept);
}

}  // namespace quorvel::convert
