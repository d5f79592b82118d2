// Matrix encoding: one sequential pass over the cells through Python, column by column;
// each text column is handed to the worker pool as soon as its last cell is read, so the
// pool encodes earlier columns while this thread reads later ones.
//
// The cell pass is the one interpreter-bound part of encoding, so each cell is made cheap:
// NumPy arrays of object, bool, integer and float dtypes are read straight from memory
// (an object cell is the stored object, exactly what item access returns; a numeric cell
// is the value Python's float() of the element gives). Any other source is read through
// item access with a (row, column) key. Numbers go straight into the matrix; texts are
// staged in one buffer per column.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "convert/cell_pass.hpp"
#include "convert/input.hpp"
#include "convert/numpy.hpp"
#include "core/column_pass.hpp"
#include "core/fault.hpp"
#include "core/number_text.hpp"
#include "core/text_column.hpp"
#include "py/errors.hpp"

namespace quorvel::convert {
namespace {

using py::Ref;

// "TypeName: message" of the pending Python error, which is cleared.
std::string take_error_text() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(traceback);
    std::string text = owned_type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "unknown error";
    if (owned_value) {
        if (Ref message = Ref::steal(PyObject_Str(value))) {
            Py_ssize_t size = 0;
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(message.get(), &size)) {
                text += ": ";
                text.append(utf8, static_cast<std::size_t>(size));
            }
        }
    }
    PyErr_Clear();
    return text;
}

[[noreturn]] void unwrap_fault(std::string detail, std::source_location where = std::source_location::current()) {
    throw InternalFault("called `Result::unwrap()` on an `Err` value: " + detail, where);
}

std::size_t read_dimension(PyObject* item) {
    Ref index = Ref::steal(PyNumber_Index(item));
    const std::size_t value = index ? PyLong_AsSize_t(index.get()) : static_cast<std::size_t>(-1);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) unwrap_fault(take_error_text());
    return value;
}

std::pair<std::size_t, std::size_t> read_shape(PyObject* obj) {
    Ref shape = Ref::steal(PyObject_GetAttrString(obj, "shape"));
    if (!shape) unwrap_fault(take_error_text());
    if (!PyTuple_Check(shape.get())) unwrap_fault("'" + py::type_qualname(shape.get()) + "' object is not a tuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(shape.get());
    if (length != 2) unwrap_fault("expected a tuple of length 2, got length " + std::to_string(length));
    return {read_dimension(PyTuple_GET_ITEM(shape.get(), 0)), read_dimension(PyTuple_GET_ITEM(shape.get(), 1))};
}

// float16 bits to double, exactly.
double half_to_double(std::uint16_t bits) {
    const int sign = bits >> 15, exponent = (bits >> 10) & 0x1F, mantissa = bits & 0x3FF;
    double magnitude;
    if (exponent == 0) {
        magnitude = std::ldexp(mantissa, -24);
    } else if (exponent == 31) {
        magnitude = mantissa == 0 ? INFINITY : NAN;
    } else {
        magnitude = std::ldexp(mantissa | 0x400, exponent - 25);
    }
    return sign ? -magnitude : magnitude;
}

template <class T>
double element_as_double(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return static_cast<double>(value);
}

// A separate reader: float16 bits share their C type with unsigned short elements.
double half_as_double(const char* p) {
    std::uint16_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return half_to_double(bits);
}

using ElementReader = double (*)(const char*);

// A bool element is true for any non-zero byte (a uint8 array viewed as bool may hold 2
// or 255), as Python's float() of the element says.
double bool_as_double(const char* p) { return *reinterpret_cast<const unsigned char*>(p) != 0 ? 1.0 : 0.0; }

// The reader for a numeric dtype that can be read straight from memory, or null.
ElementReader numeric_reader(PyArray_Descr* descr) {
    if (!PyArray_ISNBO(descr->byteorder)) return nullptr;
    switch (descr->type_num) {
        case NPY_BOOL: return bool_as_double;
        case NPY_BYTE: return element_as_double<npy_byte>;
        case NPY_UBYTE: return element_as_double<npy_ubyte>;
        case NPY_SHORT: return element_as_double<npy_short>;
        case NPY_USHORT: return element_as_double<npy_ushort>;
        case NPY_INT: return element_as_double<npy_int>;
        case NPY_UINT: return element_as_double<npy_uint>;
        case NPY_LONG: return element_as_double<npy_long>;
        case NPY_ULONG: return element_as_double<npy_ulong>;
        case NPY_LONGLONG: return element_as_double<npy_longlong>;
        case NPY_ULONGLONG: return element_as_double<npy_ulonglong>;
        case NPY_HALF: return half_as_double;
        case NPY_FLOAT: return element_as_double<float>;
        case NPY_DOUBLE: return element_as_double<double>;
        default: return nullptr;
    }
}

// The source array when it can be read straight from memory with the expected shape.
// Only arrays whose item access is NumPy's own qualify: a subclass that overrides
// __getitem__ decides itself what its cells are.
PyArrayObject* direct_array(PyObject* source, std::size_t rows, std::size_t cols) {
    if (!PyArray_Check(source)) return nullptr;
    const PyMappingMethods* mapping = Py_TYPE(source)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript != PyArray_Type.tp_as_mapping->mp_subscript) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(source);
    if (PyArray_NDIM(array) != 2) return nullptr;
    if (static_cast<std::size_t>(PyArray_DIM(array, 0)) != rows || static_cast<std::size_t>(PyArray_DIM(array, 1)) != cols) {
        return nullptr;
    }
    return array;
}

// A str with unpaired surrogates: encoded with surrogatepass, decoded leniently, so each
// surrogate becomes three U+FFFD.
std::string lossy_utf8(PyObject* text) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) fault("cant convert to str: " + take_error_text());
    Ref repaired = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    Py_ssize_t size = 0;
    const char* utf8 = repaired ? PyUnicode_AsUTF8AndSize(repaired.get(), &size) : nullptr;
    if (utf8 == nullptr) fault("cant convert to str: " + take_error_text());
    return std::string(utf8, static_cast<std::size_t>(size));
}

// Hands the UTF-8 text of a cell to `take` (a view valid only during the call).
template <class Take>
void with_cell_text(PyObject* cell, Take&& take) {
    Ref owned;
    PyObject* text = cell;
    if (!PyUnicode_CheckExact(cell)) {
        owned = Ref::steal(PyObject_Str(cell));
        if (!owned) fault("cant convert to str: " + take_error_text());
        text = owned.get();
    }
    if (PyUnicode_IS_COMPACT_ASCII(text)) {  // ASCII is its own UTF-8: read it in place
        take(std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                              static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))));
        return;
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        take(std::string_view(utf8, static_cast<std::size_t>(size)));
    } else {
        PyErr_Clear();
        const std::string repaired = lossy_utf8(text);
        take(std::string_view(repaired));
    }
}

class CellPass {
public:
    CellPass(CellColumns& columns, CellSink& sink, const CellPassOptions& options)
        : matrix_(columns.matrix),
          texts_(columns.texts),
          text_mode_(columns.text_mode),
          first_text_row_(columns.first_text_row),
          sink_(sink),
          keep_numeric_(options.keep_numeric),
          observe_numbers_(options.observe_numbers) {
        keep_numeric_.resize(matrix_.cols, false);
        for (std::size_t j = 0; j < matrix_.cols; ++j) {
            if (j < options.start_text.size() && options.start_text[j]) switch_to_text(0, j);
        }
    }

    /// Numbers from a numeric array: no Python call, every column stays numeric.
    void read_numeric(PyArrayObject* array, ElementReader read) {
        const char* data = static_cast<const char*>(PyArray_DATA(array));
        const npy_intp s0 = PyArray_STRIDE(array, 0), s1 = PyArray_STRIDE(array, 1);
        for (std::size_t i = 0; i < matrix_.rows; ++i) {
            const char* row = data + static_cast<npy_intp>(i) * s0;
            for (std::size_t j = 0; j < matrix_.cols; ++j) matrix_.at(i, j) = read(row + static_cast<npy_intp>(j) * s1);
        }
        sink_.numeric_array(reinterpret_cast<PyObject*>(array));
        for (std::size_t j = 0; j < matrix_.cols; ++j) column_done(j);
    }

    /// Cells of an object array, column by column, each the stored object itself.
    void read_objects(PyArrayObject* array, PyObject* source) {
        for (std::size_t j = 0; j < matrix_.cols; ++j) {
            for (std::size_t i = 0; i < matrix_.rows; ++i) {
                // Layout is read afresh for every cell: a cell's __str__ may have changed the array.
                if (PyArray_NDIM(array) != 2 || static_cast<std::size_t>(PyArray_DIM(array, 0)) <= i ||
                    static_cast<std::size_t>(PyArray_DIM(array, 1)) <= j) {
                    take(i, j, item_at(source, i, j).get());
                    continue;
                }
                const char* p = static_cast<const char*>(PyArray_DATA(array)) + static_cast<npy_intp>(i) * PyArray_STRIDE(array, 0) +
                                static_cast<npy_intp>(j) * PyArray_STRIDE(array, 1);
                PyObject* stored = nullptr;
                std::memcpy(&stored, p, sizeof stored);
                if (stored == nullptr) stored = Py_None;
                // Plain str and float cells run no Python code: take them without holding them.
                if (text_mode_[j] ? PyUnicode_CheckExact(stored) : PyFloat_CheckExact(stored)) {
                    take(i, j, stored);
                    continue;
                }
                // Held for the duration of the cell: its methods may replace it in the array.
                Ref cell = Ref::borrow(stored);
                take(i, j, cell.get());
            }
            column_done(j);
        }
    }

    /// Cells through item access with a (row, column) key.
    void read_items(PyObject* source) {
        for (std::size_t j = 0; j < matrix_.cols; ++j) {
            for (std::size_t i = 0; i < matrix_.rows; ++i) take(i, j, item_at(source, i, j).get());
            column_done(j);
        }
    }

private:
    void column_done(std::size_t j) { sink_.column_done(j); }

    static Ref item_at(PyObject* source, std::size_t i, std::size_t j) {
        Ref key = Ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j)));
        Ref cell = key ? Ref::steal(PyObject_GetItem(source, key.get())) : Ref{};
        if (!cell) unwrap_fault(take_error_text());
        return cell;
    }

    void take(std::size_t i, std::size_t j, PyObject* cell) {
        if (text_mode_[j]) return append_text(j, cell);
        double value;
        if (as_float(cell, value)) {
            matrix_.at(i, j) = value;
            if (observe_numbers_) sink_.numeric_cell(i, j, cell, value);
            return;
        }
        if (keep_numeric_[j]) return sink_.not_numeric(i, j, cell);
        switch_to_text(i, j);
        append_text(j, cell);
    }

    // Python's float() protocol without parsing texts; a failure is not an error here.
    static bool as_float(PyObject* cell, double& value) {
        if (PyFloat_CheckExact(cell)) {
            value = PyFloat_AS_DOUBLE(cell);
            return true;
        }
        if (PyUnicode_CheckExact(cell)) return false;  // a plain str never converts
        if (PyFloat_Check(cell)) {
            // A float subclass: float() honours a __float__ of its own (PyFloat_AsDouble
            // would read the stored value past it).
            Ref converted = Ref::steal(PyNumber_Float(cell));
            if (!converted) {
                PyErr_Clear();
                return false;
            }
            value = PyFloat_AS_DOUBLE(converted.get());
            return true;
        }
        value = (PyLong_CheckExact(cell) || PyBool_Check(cell)) ? PyLong_AsDouble(cell) : PyFloat_AsDouble(cell);
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }

    // The numbers above row i become texts by the number-to-text rule.
    void switch_to_text(std::size_t i, std::size_t j) {
        text_mode_[j] = true;
        first_text_row_[j] = i;
        TextColumn& column = texts_[j];
        column.reserve(matrix_.rows);
        std::string scratch;
        for (std::size_t r = 0; r < i; ++r) {
            scratch.clear();
            append_number_text(scratch, matrix_.at(r, j));
            column.push_back(scratch);
        }
    }

    void append_text(std::size_t j, PyObject* cell) {
        with_cell_text(cell, [&](std::string_view text) { texts_[j].push_back(text); });
    }

    Matrix& matrix_;
    std::vector<TextColumn>& texts_;
    std::vector<bool>& text_mode_;
    std::vector<std::size_t>& first_text_row_;
    CellSink& sink_;
    std::vector<bool> keep_numeric_;
    bool observe_numbers_;
};

// Encoding's back end: a finished text column is encoded on the worker pool while later
// columns are read.
class EncodeSink final : public CellSink {
public:
    void begin(CellColumns& columns, CellPassOptions&) override {
        columns_ = &columns;
        pass_.emplace(columns.matrix, columns.texts);
    }
    void column_done(std::size_t j) override {
        if (columns_->text_mode[j]) pass_->start_column(j);
    }
    /// Waits for the column tasks and returns what they learned.
    EncodingInfo finish() { return pass_->finish(); }

private:
    CellColumns* columns_ = nullptr;
    std::optional<ColumnPass> pass_;  // on failure, waits for its tasks before the texts go
};

}  // namespace

void append_cell_text(std::string& out, PyObject* cell) {
    with_cell_text(cell, [&](std::string_view text) { out.append(text); });
}

void read_cells(PyObject* obj, bool is_dataframe, CellColumns& columns, CellSink& sink) {
    const auto [rows, cols] = read_shape(obj);
    columns.matrix = Matrix::zeros(rows, cols);
    columns.texts.assign(cols, TextColumn());
    columns.text_mode.assign(cols, false);
    columns.first_text_row.assign(cols, rows);
    CellPassOptions options;
    sink.begin(columns, options);
    Ref values;
    if (is_dataframe) {
        values = Ref::steal(PyObject_GetAttrString(obj, "values"));
        if (!values) unwrap_fault(take_error_text());
    }
    PyObject* source = is_dataframe ? values.get() : obj;

    CellPass pass(columns, sink, options);
    if (PyArrayObject* array = direct_array(source, rows, cols)) {
        if (ElementReader read = numeric_reader(PyArray_DESCR(array))) {
            pass.read_numeric(array, read);
        } else if (PyArray_DESCR(array)->type_num == NPY_OBJECT) {
            pass.read_objects(array, source);
        } else {
            pass.read_items(source);
        }
    } else {
        pass.read_items(source);
    }
}

std::pair<Matrix, EncodingInfo> encode_object_array(PyObject* obj, bool is_dataframe) {
    CellColumns columns;
    EncodeSink sink;  // after the columns: destroyed (its tasks waited for) before them
    // A frame's values array (often millions of objects) is released once every cell is
    // read, while the pool is still encoding, rather than after the pool is done.
    read_cells(obj, is_dataframe, columns, sink);
    EncodingInfo info = sink.finish();
    return {std::move(columns.matrix), std::move(info)};
}

}  // namespace quorvel::convert
