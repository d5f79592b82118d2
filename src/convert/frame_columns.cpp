// Reading a pandas DataFrame column by column from its own arrays: the block layout of
// pandas' BlockManager (each block a 2-D NumPy array of some columns, or one column's
// extension array) tells where each column lives.
#include "convert/frame_columns.hpp"

#include <cmath>
#include <cstring>
#include <string_view>

#include "capi/errors.hpp"
#include "core/fault.hpp"

namespace quorvel::convert {
namespace {

using py::Ref;

Ref attribute(PyObject* obj, const char* name) { return Ref::steal(PyObject_GetAttrString(obj, name)); }

bool type_name_is(PyObject* obj, std::string_view expected) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    return utf8 != nullptr && std::string_view(utf8, static_cast<std::size_t>(size)) == expected;
}

bool str_equals(PyObject* obj, std::string_view expected) {
    if (obj == nullptr || !PyUnicode_CheckExact(obj)) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    return utf8 != nullptr && std::string_view(utf8, static_cast<std::size_t>(size)) == expected;
}

// Whether this pandas always tracks data shared between frames (copy-on-write), which it
// does from version 3 on. Earlier versions may share data untracked, so that writing into
// one frame changes another.
bool always_copy_on_write(PyObject* pandas) {
    Ref version = attribute(pandas, "__version__");
    if (!version || !PyUnicode_Check(version.get())) return PyErr_Clear(), false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(version.get(), &size);
    if (utf8 == nullptr) return PyErr_Clear(), false;
    unsigned major = 0;
    Py_ssize_t i = 0;
    for (; i < size && i < 4 && utf8[i] >= '0' && utf8[i] <= '9'; ++i) major = major * 10 + static_cast<unsigned>(utf8[i] - '0');
    return i > 0 && (i == size || utf8[i] == '.') && major >= 3;
}

}  // namespace

FrameColumns::FrameColumns(PyObject* frame, std::size_t rows, std::size_t cols)
    : frame_(frame), rows_(rows), cols_(cols), columns_(cols) {
    const bool planned = plan_from_blocks();
    if (!planned) {
        PyErr_Clear();  // an unexpected layout is no error: the frame is read from `values`
        columns_.assign(cols, Column{});
        blocks_.clear();
        block_positions_.clear();
        arrow_.clear();
    }
    bool needs_values = !planned;
    for (const Column& column : columns_) needs_values = needs_values || column.source == Source::values;
    if (!needs_values) return;
    fetch_values();
    // `values` holds every column in one common dtype. When it is object, the columns read
    // at their source give its very cells (numbers become Python numbers exactly), and a
    // real numeric dtype holds their values exactly as read. Any other (complex numbers,
    // datetimes) changes the cells of every column: then all are read from `values`.
    const auto* array = reinterpret_cast<PyArrayObject*>(values_.get());
    if (!PyArray_Check(values_.get()) ||
        (PyArray_TYPE(array) != NPY_OBJECT && numeric_reader(PyArray_DESCR(array)) == nullptr)) {
        columns_.assign(cols, Column{});
    }
}

void FrameColumns::fetch_values() {
    values_ = attribute(frame_, "values");
    if (!values_) unwrap_fault();
    value_columns_.emplace(values_.get(), rows_, cols_);
}

// The frame's blocks, if it is a pandas DataFrame laid out as expected: every column in
// exactly one block, each block's arrays of the frame's length.
bool FrameColumns::plan_from_blocks() {
    Ref pandas = Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString("pandas")).get()));
    if (!pandas) return false;
    Ref frame_type = attribute(pandas.get(), "DataFrame");
    if (!frame_type || reinterpret_cast<PyObject*>(Py_TYPE(frame_)) != frame_type.get()) return false;
    copy_on_write_ = always_copy_on_write(pandas.get());
    Ref manager = attribute(frame_, "_mgr");
    if (!manager || !type_name_is(manager.get(), "BlockManager")) return false;
    Ref blocks = attribute(manager.get(), "blocks");
    if (!blocks || !PyTuple_Check(blocks.get())) return false;
    Ref string_dtype = attribute(pandas.get(), "StringDtype");
    Ref na = attribute(pandas.get(), "NA");
    if (!string_dtype || !na) return false;
    std::vector<bool> seen(cols_, false);
    for (Py_ssize_t b = 0; b < PyTuple_GET_SIZE(blocks.get()); ++b) {
        if (!plan_block(PyTuple_GET_ITEM(blocks.get(), b), string_dtype.get(), na.get(), seen)) return false;
    }
    for (bool covered : seen) {
        if (!covered) return false;
    }
    return true;
}

bool FrameColumns::plan_block(PyObject* block, PyObject* string_dtype, PyObject* na, std::vector<bool>& seen) {
    Ref placement = attribute(block, "mgr_locs");
    Ref locs = placement ? attribute(placement.get(), "as_array") : Ref{};
    if (!locs || !PyArray_Check(locs.get())) return false;
    auto* positions = reinterpret_cast<PyArrayObject*>(locs.get());
    if (PyArray_NDIM(positions) != 1 || PyArray_TYPE(positions) != NPY_INTP) return false;
    const npy_intp count = PyArray_DIM(positions, 0);
    std::vector<std::size_t> at(static_cast<std::size_t>(count));
    for (npy_intp k = 0; k < count; ++k) {
        npy_intp position;
        std::memcpy(&position, PyArray_BYTES(positions) + k * PyArray_STRIDE(positions, 0), sizeof position);
        if (position < 0 || static_cast<std::size_t>(position) >= cols_ || seen[static_cast<std::size_t>(position)]) {
            return false;
        }
        seen[static_cast<std::size_t>(position)] = true;
        at[static_cast<std::size_t>(k)] = static_cast<std::size_t>(position);
    }
    Ref values = attribute(block, "values");
    if (!values) return false;

    if (PyArray_CheckExact(values.get())) {
        auto* array = reinterpret_cast<PyArrayObject*>(values.get());
        if (PyArray_NDIM(array) != 2 || PyArray_DIM(array, 0) != count ||
            static_cast<std::size_t>(PyArray_DIM(array, 1)) != rows_) {
            return false;
        }
        Source source = Source::values;
        if (numeric_reader(PyArray_DESCR(array)) != nullptr) {
            source = Source::numbers;
        } else if (PyArray_TYPE(array) == NPY_OBJECT) {
            source = Source::objects;
        }
        if (source == Source::values) return true;  // a NumPy dtype whose cells `values` makes
        for (npy_intp k = 0; k < count; ++k) columns_[at[static_cast<std::size_t>(k)]] = {source, blocks_.size(), k, false};
        blocks_.push_back(std::move(values));
        block_positions_.push_back(std::move(at));
        return true;
    }

    // One column's extension array: read from Arrow when it is a string dtype stored there.
    if (count != 1) return true;
    Ref dtype = attribute(values.get(), "dtype");
    if (!dtype) return false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(dtype.get())) != string_dtype) return true;
    Ref storage = attribute(dtype.get(), "storage");
    if (!str_equals(storage.get(), "pyarrow") && !str_equals(storage.get(), "pyarrow_numpy")) return bool(storage);
    Ref na_value = attribute(dtype.get(), "na_value");
    if (!na_value) return false;
    bool missing_is_nan;
    if (na_value.get() == na) {
        missing_is_nan = false;
    } else if (PyFloat_CheckExact(na_value.get()) && std::isnan(PyFloat_AS_DOUBLE(na_value.get()))) {
        missing_is_nan = true;
    } else {
        return true;
    }
    Ref chunked = attribute(values.get(), "_pa_array");
    if (!chunked) {
        PyErr_Clear();
        return true;
    }
    std::optional<ArrowTextColumn> column = ArrowTextColumn::open(chunked.get(), rows_);
    if (!column) return true;
    columns_[at[0]] = {Source::arrow, arrow_.size(), 0, missing_is_nan};
    arrow_.push_back(std::move(*column));
    return true;
}

std::vector<bool> FrameColumns::float64_columns() const {
    std::vector<bool> flags(cols_, false);
    if (!copy_on_write_) return flags;
    for (std::size_t j = 0; j < cols_; ++j) {
        const Column& column = columns_[j];
        if (column.source != Source::numbers) continue;
        auto* array = reinterpret_cast<PyArrayObject*>(blocks_[column.block].get());
        flags[j] = PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array);
    }
    return flags;
}

void FrameColumns::read_all(CellPass& pass, const std::vector<bool>& skip) {
    // Numeric blocks first, each in one pass over its 2-D array (numbers run no Python code
    // and start no column task, so the text columns still complete in ascending order).
    std::vector<bool> read(cols_, false);
    if (!skip.empty()) {
        if (skip.size() != cols_) fault("frame columns: columns skipped out of place");
        read = skip;
    }
    for (std::size_t b = 0; b < blocks_.size() && !pass.needs_column_order(); ++b) {
        const std::vector<std::size_t>& positions = block_positions_[b];
        bool skipped = true;
        for (std::size_t j : positions) skipped = skipped && read[j];
        if (skipped) continue;
        auto* array = reinterpret_cast<PyArrayObject*>(blocks_[b].get());
        const ElementReader reader = numeric_reader(PyArray_DESCR(array));
        bool plain = reader != nullptr && !positions.empty();
        for (std::size_t j : positions) {
            plain = plain && columns_[j].source == Source::numbers && !pass.in_text_mode(j) && !read[j];
        }
        if (!plain) continue;
        pass.read_number_columns(positions.data(), positions.size(), PyArray_BYTES(array), PyArray_STRIDE(array, 0),
                                 PyArray_STRIDE(array, 1), reader, PyArray_DESCR(array));
        for (std::size_t j : positions) read[j] = true;
    }
    for (std::size_t j = 0; j < cols_; ++j) {
        if (!read[j]) read_column(pass, j);
    }
    // Every cell is read: `values` (often millions of objects) goes now, while the pool
    // is still encoding, rather than after it is done.
    value_columns_.reset();
    values_ = Ref();
}

void FrameColumns::read_column(CellPass& pass, std::size_t j) {
    const Column& column = columns_[j];
    switch (column.source) {
        case Source::numbers: {
            auto* array = reinterpret_cast<PyArrayObject*>(blocks_[column.block].get());
            if (pass.in_text_mode(j)) break;  // the str() of its cells is `values`' to give
            const char* base = PyArray_BYTES(array) + column.index * PyArray_STRIDE(array, 0);
            pass.read_numbers(j, base, PyArray_STRIDE(array, 1), numeric_reader(PyArray_DESCR(array)),
                              PyArray_DESCR(array));
            return pass.column_done(j);
        }
        case Source::objects:
            return pass.read_objects(j, reinterpret_cast<PyArrayObject*>(blocks_[column.block].get()), column.index, true);
        case Source::arrow:
            return pass.read_arrow_texts(j, arrow_[column.block], column.missing_is_nan);
        case Source::values:
            break;
    }
    if (!value_columns_) fetch_values();  // a numeric column asked to start as text
    value_columns_->read_column(pass, j);
}

}  // namespace quorvel::convert
