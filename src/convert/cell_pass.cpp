// Matrix encoding: one sequential pass over the cells through Python, column by column;
// each text column is handed to the worker pool as soon as its last cell is read, so the
// pool encodes earlier columns while this thread reads later ones.
//
// The cell pass is the one interpreter-bound part of encoding, so each cell is made cheap:
// NumPy arrays of object, bool, integer and float dtypes are read straight from memory
// (an object cell is the stored object, exactly what item access returns; a numeric cell
// is the value Python's float() of the element gives), and so are a pandas DataFrame's
// own column arrays (see frame_columns.cpp). Any other source is read through item access
// with a (row, column) key. Numbers go straight into the matrix; texts are staged in one
// buffer per column.
#include "convert/cell_pass.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

#include "capi/errors.hpp"
#include "convert/arrow_text.hpp"
#include "convert/frame_columns.hpp"
#include "convert/input.hpp"
#include "core/column_pass.hpp"
#include "core/fault.hpp"
#include "core/number_text.hpp"
#include "core/parallel_range.hpp"

namespace quorvel::convert {
namespace {

using py::Ref;

// Columns shorter than this are staged plainly: there is little to save.
constexpr std::size_t repeat_rows_min = 4096;
// A segment of staged texts is handed over at this many bytes at the latest: segments
// then stay below the size at which buffers are mapped from the system afresh, and the
// memory of one is used again for the next.
constexpr std::size_t segment_bytes = std::size_t{3} << 18;
// How far ahead read_objects fetches the objects of later rows.
constexpr std::size_t prefetch_rows = 16;
// Beyond this many distinct objects the lookups leave the cache and cost the reading thread
// more than hashing the texts costs the worker pool.
constexpr std::size_t repeat_entries_max = 16384;

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

[[noreturn]] void unwrap_fault_here(std::source_location where) { unwrap_fault(take_error_text(), where); }

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

// A bool element is true for any non-zero byte (a uint8 array viewed as bool may hold 2
// or 255), as Python's float() of the element says.
double bool_as_double(const char* p) { return *reinterpret_cast<const unsigned char*>(p) != 0 ? 1.0 : 0.0; }

}  // namespace

// Numbers are read as Python's float() of the element gives them; only native byte order.
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

void unwrap_fault(std::source_location where) { unwrap_fault_here(where); }

namespace {

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


Ref item_at(PyObject* source, std::size_t i, std::size_t j) {
    Ref key = Ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j)));
    Ref cell = key ? Ref::steal(PyObject_GetItem(source, key.get())) : Ref{};
    if (!cell) unwrap_fault(take_error_text());
    return cell;
}

// Python's float() protocol without parsing texts; a failure is not an error here.
bool as_float(PyObject* cell, double& value) {
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

// Hands the UTF-8 text of a cell (its str()) to `take`, as a view valid during the call.
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

}  // namespace

void append_cell_text(std::string& out, PyObject* cell) {
    with_cell_text(cell, [&](std::string_view text) { out.append(text); });
}

CellPass::CellPass(Matrix& matrix, std::vector<TextColumn>& texts, std::function<void(std::size_t)> text_column_done)
    : matrix_(matrix),
      texts_(texts),
      text_mode_(matrix.cols, false),
      first_text_row_(matrix.cols, matrix.rows),
      text_column_done_(std::move(text_column_done)),
      keep_numeric_(matrix.cols, false) {}

void CellPass::set_sink(CellSink* sink, const CellPassOptions& options) {
    sink_ = sink;
    observe_numbers_ = options.observe_numbers;
    segment_rows_ = options.segment_rows;
    segment_start_.assign(matrix_.cols, 0);
    for (std::size_t j = 0; j < matrix_.cols; ++j) {
        keep_numeric_[j] = j < options.keep_numeric.size() && options.keep_numeric[j];
        if (j < options.start_text.size() && options.start_text[j] && !keep_numeric_[j]) start_in_text_mode(j);
    }
}

void CellPass::start_in_text_mode(std::size_t j) { switch_to_text(0, j); }

void CellPass::read_numbers(std::size_t j, const char* base, npy_intp stride, ElementReader read, PyArray_Descr* descr) {
    read_number_columns(&j, 1, base, 0, stride, read, descr);
}

void CellPass::read_number_matrix(PyArrayObject* array, ElementReader read) {
    std::vector<std::size_t> positions(matrix_.cols);
    for (std::size_t j = 0; j < matrix_.cols; ++j) positions[j] = j;
    read_number_columns(positions.data(), positions.size(), PyArray_BYTES(array), PyArray_STRIDE(array, 1),
                        PyArray_STRIDE(array, 0), read, PyArray_DESCR(array));
    if (sink_ == nullptr) return;  // encoding needs nothing more of numeric columns
    for (std::size_t j = 0; j < matrix_.cols; ++j) column_done(j);
}

namespace {

// A reader as a type of its own, so that the loops over a column inline it: a call
// through a pointer per element costs more than the conversion.
template <ElementReader Read>
struct Inlined {
    double operator()(const char* p) const { return Read(p); }
};
using ReadDouble = Inlined<element_as_double<double>>;

// Calls body(reader) with the reader as an Inlined type where it is one of the common
// ones, else with the pointer itself.
template <class Body>
void with_reader(ElementReader read, const Body& body) {
    const auto as = [&]<ElementReader R>(Inlined<R> inlined) {
        if (read != R) return false;
        body(inlined);
        return true;
    };
    if (as(ReadDouble{}) || as(Inlined<bool_as_double>{}) || as(Inlined<element_as_double<npy_long>>{}) ||
        as(Inlined<element_as_double<npy_longlong>>{}) || as(Inlined<element_as_double<npy_int>>{}) ||
        as(Inlined<element_as_double<float>>{}) || as(Inlined<element_as_double<npy_ubyte>>{}) ||
        as(Inlined<element_as_double<npy_byte>>{})) {
        return;
    }
    body(read);
}

// Copies in tiles of rows x columns: the matrix is row-major, so a column on its own
// touches one page per row; a tile keeps the pages it writes (and reads) few.
template <class Read>
void copy_number_tiles(Matrix& matrix, const std::size_t* positions, std::size_t count, const char* base,
                       npy_intp column_stride, npy_intp row_stride, Read read) {
    if (!matrix.row_major()) {
        // Each column is contiguous here: copied whole, the columns spread over the pool.
        // Reading numbers runs no Python code, so the workers may do it.
        const std::size_t rows = matrix.rows;
        const std::size_t min_parallel = rows == 0 ? count + 1 : (std::size_t{1} << 22) / rows + 2;
        for_each_range(count, min_parallel, [&](std::size_t k0, std::size_t k1) {
            for (std::size_t k = k0; k < k1; ++k) {
                double* out = matrix.column(positions[k]);
                const char* source = base + static_cast<npy_intp>(k) * column_stride;
                if (std::is_same_v<Read, ReadDouble> && row_stride == sizeof(double)) {
                    std::memcpy(out, source, rows * sizeof(double));
                    continue;
                }
                for (std::size_t i = 0; i < rows; ++i) out[i] = read(source + static_cast<npy_intp>(i) * row_stride);
            }
        });
        return;
    }
    constexpr std::size_t row_tile = 256, column_tile = 32;
    const std::size_t rows = matrix.rows, cols = matrix.cols;
    for (std::size_t i0 = 0; i0 < rows; i0 += row_tile) {
        const std::size_t i1 = std::min(rows, i0 + row_tile);
        for (std::size_t k0 = 0; k0 < count; k0 += column_tile) {
            const std::size_t k1 = std::min(count, k0 + column_tile);
            for (std::size_t i = i0; i < i1; ++i) {
                double* row = matrix.begin() + i * cols;
                const char* source = base + static_cast<npy_intp>(i) * row_stride;
                for (std::size_t k = k0; k < k1; ++k) row[positions[k]] = read(source + static_cast<npy_intp>(k) * column_stride);
            }
        }
    }
}

}  // namespace

void CellPass::read_number_columns(const std::size_t* positions, std::size_t count, const char* base,
                                   npy_intp column_stride, npy_intp row_stride, ElementReader read,
                                   PyArray_Descr* descr) {
    for (std::size_t k = 0; k < count; ++k) {
        if (positions[k] >= matrix_.cols || text_mode_[positions[k]] || !matrix_.stores(positions[k])) {
            fault("cell pass: numbers read into text column " + std::to_string(positions[k]));
        }
    }
    with_reader(read, [&](auto reader) {
        copy_number_tiles(matrix_, positions, count, base, column_stride, row_stride, reader);
    });
    if (!observe_numbers_) return;
    for (std::size_t k = 0; k < count; ++k) {
        sink_->numbers(positions[k], base + static_cast<npy_intp>(k) * column_stride, row_stride, descr);
    }
}

void CellPass::read_objects(std::size_t j, PyArrayObject* array, npy_intp column, bool by_row) {
    const int column_axis = by_row ? 0 : 1, row_axis = by_row ? 1 : 0;
    if (refs_ != nullptr && matrix_.rows >= repeat_rows_min && matrix_.rows < std::numeric_limits<std::uint32_t>::max()) {
        referencing_ = j;
        (*refs_)[j].reserve(matrix_.rows);
    }
    for (std::size_t i = 0; i < matrix_.rows; ++i) {
        // Layout is read afresh for every cell: a cell's __str__ may have changed the array.
        if (PyArray_NDIM(array) != 2 || static_cast<std::size_t>(PyArray_DIM(array, row_axis)) <= i ||
            PyArray_DIM(array, column_axis) <= column) {
            const auto c = static_cast<std::size_t>(column);
            take_cell(i, j, item_at(reinterpret_cast<PyObject*>(array), by_row ? c : i, by_row ? i : c).get());
            continue;
        }
        const char* p = static_cast<const char*>(PyArray_DATA(array)) +
                        static_cast<npy_intp>(i) * PyArray_STRIDE(array, row_axis) +
                        column * PyArray_STRIDE(array, column_axis);
        // Distinct objects lie all over the heap: the object some rows ahead is fetched
        // into cache while this one is read, so the misses overlap.
        if (i + prefetch_rows < static_cast<std::size_t>(PyArray_DIM(array, row_axis))) {
            PyObject* ahead = nullptr;
            std::memcpy(&ahead, p + static_cast<npy_intp>(prefetch_rows) * PyArray_STRIDE(array, row_axis), sizeof ahead);
            if (ahead != nullptr) {
                __builtin_prefetch(ahead);
                __builtin_prefetch(reinterpret_cast<const char*>(ahead) + 64);
            }
        }
        PyObject* stored = nullptr;
        std::memcpy(&stored, p, sizeof stored);
        if (stored == nullptr) stored = Py_None;
        // Plain str and float cells run no Python code: take them without holding them.
        if (text_mode_[j] ? PyUnicode_CheckExact(stored) : PyFloat_CheckExact(stored)) {
            if (referencing_ == j && text_mode_[j]) {
                take_str_by_identity(j, stored);
            } else {
                take_cell(i, j, stored);
            }
            continue;
        }
        // Held for the duration of the cell: its methods may replace it in the array.
        Ref cell = Ref::borrow(stored);
        take_cell(i, j, cell.get());
    }
    if (referencing_ == j) {
        const bool keep = text_mode_[j];
        const std::size_t entries = texts_[j].size();
        release(seen_);
        release(held_);
        referencing_ = none;
        // Staging by reference pays only where rows repeat staged texts.
        if (!keep || entries == matrix_.rows) release((*refs_)[j]);
    }
    column_done(j);
}

// An exact str in a column staged by reference: a str object met before is known by its
// address (its text, unchangeable, is staged already).
void CellPass::take_str_by_identity(std::size_t j, PyObject* text) {
    BufferVector<std::uint32_t>& refs = (*refs_)[j];
    const auto [it, inserted] = seen_.try_emplace(text, static_cast<std::uint32_t>(texts_[j].size()));
    if (!inserted) {
        refs.push_back(it->second);
        if ((refs.size() & (refs.size() - 1)) == 0) check_repeats(j);
        return;
    }
    held_.push_back(Ref::borrow(text));
    with_cell_text(text, [&](std::string_view utf8) { texts_[j].push_back(utf8); });
    refs.push_back(it->second);
    check_repeats(j);
}

// Every text staged in a column read by reference gets its own place.
void CellPass::push_text(std::size_t j, std::string_view text) {
    texts_[j].push_back(text);
    if (referencing_ != j) {
        if (segment_rows_ != 0 && (texts_[j].size() >= segment_rows_ || texts_[j].bytes() >= segment_bytes)) hand_segment(j);
        return;
    }
    (*refs_)[j].push_back(static_cast<std::uint32_t>(texts_[j].size() - 1));
    check_repeats(j);
}

// The texts staged so far go to the sink; the column's next texts start a new segment.
void CellPass::hand_segment(std::size_t j) {
    const std::size_t first_row = segment_start_[j], count = texts_[j].size();
    // The next segment is sized like this one, with some room: it is then staged without
    // growing its buffers, unless its texts are much longer.
    const std::size_t bytes = texts_[j].bytes() + texts_[j].bytes() / 8;
    segment_start_[j] += count;
    sink_->text_segment(j, first_row, std::move(texts_[j]));
    texts_[j] = TextColumn();
    texts_[j].reserve(std::min(segment_rows_, matrix_.rows - segment_start_[j]), bytes);
}

// Checked each time the rows read reach a power of two: a column whose rows often hold
// texts not staged before, or that holds many distinct objects, goes back to plain
// staging, as the references would cost more than they save.
void CellPass::check_repeats(std::size_t j) {
    const std::size_t rows = (*refs_)[j].size();
    if (rows < repeat_rows_min || (rows & (rows - 1)) != 0) return;
    const std::size_t entries = texts_[j].size();
    if (entries * 2 > rows || entries > repeat_entries_max) stop_referencing();
}

void CellPass::stop_referencing() {
    const std::size_t j = referencing_;
    BufferVector<std::uint32_t>& refs = (*refs_)[j];
    TextColumn plain;
    plain.reserve(matrix_.rows);
    for (std::uint32_t ref : refs) plain.push_back(texts_[j][ref]);
    texts_[j] = std::move(plain);
    release(refs);
    release(seen_);
    release(held_);
    referencing_ = none;
}

void CellPass::read_items(std::size_t j, PyObject* source, std::size_t column) {
    for (std::size_t i = 0; i < matrix_.rows; ++i) take_cell(i, j, item_at(source, i, column).get());
    column_done(j);
}

void CellPass::read_arrow_texts(std::size_t j, const ArrowTextColumn& column, bool missing_is_nan) {
    if (keep_numeric_[j]) return read_arrow_as_numbers(j, column, missing_is_nan);
    if (lend_arrow(j, column, missing_is_nan)) return;
    if (stage_arrow_in_parallel(j, column, missing_is_nan)) return column_done(j);
    TextColumn& texts = texts_[j];
    std::size_t i = 0;
    // Before a column's first text, a NaN cell is a number; every other cell is text.
    // The column's texts are then staged into one buffer of their known size, made
    // resident at once.
    auto begin_text = [&] {
        if (text_mode_[j]) return;
        texts.reserve(matrix_.rows, column.staged_bytes_bound(), Prefault::yes);
        switch_to_text(i, j);
    };
    auto run = [&](const char* data, const auto* offsets, std::size_t count) {
        begin_text();
        texts.append_run(data, offsets, count);
        i += count;
    };
    column.for_each_run(
        [&](const char* data, const std::int32_t* offsets, std::size_t count) { run(data, offsets, count); },
        [&](const char* data, const std::int64_t* offsets, std::size_t count) { run(data, offsets, count); },
        [&](std::string_view text) {
            begin_text();
            texts.push_back(text);
            ++i;
        },
        [&] {
            if (!missing_is_nan) {
                begin_text();
                texts.push_back("<NA>");
            } else if (text_mode_[j]) {
                texts.push_back("nan");  // str() of a float NaN
            } else {
                matrix_.at(i, j) = std::numeric_limits<double>::quiet_NaN();
            }
            ++i;
        });
    if (i != matrix_.rows) fault("cell pass: Arrow column " + std::to_string(j) + " has " + std::to_string(i) + " rows");
    column_done(j);
}

// A long column that can be read where it lies goes to the back end as it is: staging
// it would copy every row's text once more, and write and read back as many bytes again.
// It reads as staging gives it: a text per row, a null being "<NA>", or, where it stands
// for a float NaN, "nan" (str() of it) below the first value and the number's own text
// above it, where the column was still numeric. A column of nulls only stays numeric, so
// it is read row by row.
bool CellPass::lend_arrow(std::size_t j, const ArrowTextColumn& column, bool missing_is_nan) {
    constexpr std::size_t long_rows = std::size_t{1} << 17;
    if (!lend_ || sink_ != nullptr || matrix_.rows < long_rows || text_mode_[j] || !texts_[j].empty()) return false;
    const std::optional<std::size_t> first = missing_is_nan ? column.first_present() : std::size_t{0};
    if (!first) return false;
    static const std::string nan_number = number_text(std::numeric_limits<double>::quiet_NaN());
    const std::optional<BorrowedTexts> rows = column.borrow(missing_is_nan ? "nan" : "<NA>", *first, nan_number);
    if (!rows || rows->size() != matrix_.rows) return false;
    text_mode_[j] = true;
    first_text_row_[j] = *first;
    lend_(j, *rows);
    pool_busy_ = true;
    return true;
}

// A long column's texts are staged by the pool, cut into pieces: the same texts as the
// row-by-row reading below gives. Nulls before the first value are numbers (NaN) where
// they stand for a float NaN, and turn into its text when the column turns text there.
// Only while the pool has no column's work yet: otherwise this thread staging the column
// as the pool encodes the columns before it keeps both busy, where waiting for the pool
// to stage it would leave this thread idle.
bool CellPass::stage_arrow_in_parallel(std::size_t j, const ArrowTextColumn& column, bool missing_is_nan) {
    constexpr std::size_t parallel_rows = std::size_t{1} << 17;
    TextColumn& texts = texts_[j];
    if (pool_busy_ || matrix_.rows < parallel_rows || text_mode_[j] || !texts.empty()) return false;
    const std::size_t bound = column.staged_bytes_bound();
    if (bound == 0 || (bound >> 32) != 0) return false;  // string views; texts past 4 GiB
    const std::optional<std::size_t> first = missing_is_nan ? column.first_present() : std::size_t{0};
    if (!first) return false;  // all null: numbers, read row by row
    for (std::size_t i = 0; i < *first; ++i) matrix_.at(i, j) = std::numeric_limits<double>::quiet_NaN();
    // Not made resident here: the pieces fault their own pages in, in parallel.
    texts.reserve(matrix_.rows, bound, Prefault::no);
    switch_to_text(*first, j);
    if (!column.stage_in_parallel(*first, missing_is_nan ? "nan" : "<NA>", texts) || texts.size() != matrix_.rows) {
        fault("cell pass: Arrow column " + std::to_string(j) + " staged " + std::to_string(texts.size()) + " rows");
    }
    return true;
}

// A column kept numeric: every text is a cell that is no number; a null is NaN when it
// stands for a float NaN.
void CellPass::read_arrow_as_numbers(std::size_t j, const ArrowTextColumn& column, bool missing_is_nan) {
    std::size_t i = 0;
    auto run = [&](const char* data, const auto* offsets, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k, ++i) {
            const auto begin = static_cast<std::size_t>(offsets[k]), end = static_cast<std::size_t>(offsets[k + 1]);
            not_numeric(i, j, std::string_view(data + begin, end - begin));
        }
    };
    column.for_each_run(
        [&](const char* data, const std::int32_t* offsets, std::size_t count) { run(data, offsets, count); },
        [&](const char* data, const std::int64_t* offsets, std::size_t count) { run(data, offsets, count); },
        [&](std::string_view text) { not_numeric(i++, j, text); },
        [&] {
            if (missing_is_nan) {
                matrix_.at(i, j) = std::numeric_limits<double>::quiet_NaN();
            } else {
                not_numeric(i, j, "<NA>");
            }
            ++i;
        });
    if (i != matrix_.rows) fault("cell pass: Arrow column " + std::to_string(j) + " has " + std::to_string(i) + " rows");
    column_done(j);
}

void CellPass::not_numeric(std::size_t i, std::size_t j, std::string_view text) { sink_->not_numeric(i, j, text); }

void CellPass::take_cell(std::size_t i, std::size_t j, PyObject* cell) {
    if (text_mode_[j]) return append_cell_text(j, cell);
    double value;
    if (as_float(cell, value)) {
        matrix_.at(i, j) = value;
        if (observe_numbers_) sink_->numeric_cell(i, j, cell, value);
        return;
    }
    if (keep_numeric_[j]) {
        return with_cell_text(cell, [&](std::string_view text) { not_numeric(i, j, text); });
    }
    switch_to_text(i, j);
    append_cell_text(j, cell);
}

void CellPass::take_number(std::size_t i, std::size_t j, double value) {
    if (text_mode_[j]) fault("cell pass: a number taken into text column " + std::to_string(j));
    matrix_.at(i, j) = value;
}

void CellPass::take_text(std::size_t i, std::size_t j, std::string_view text) {
    if (keep_numeric_[j]) return not_numeric(i, j, text);
    if (!text_mode_[j]) switch_to_text(i, j);
    push_text(j, text);
}

void CellPass::column_done(std::size_t j) {
    if (text_mode_[j] && text_column_done_) {
        text_column_done_(j);
        pool_busy_ = true;
    }
    if (sink_ != nullptr) {
        sink_->column_done(j, text_mode_[j], first_text_row_[j]);
        pool_busy_ = true;
    }
}

// The numbers above row i become texts by the number-to-text rule.
void CellPass::switch_to_text(std::size_t i, std::size_t j) {
    text_mode_[j] = true;
    first_text_row_[j] = i;
    TextColumn& column = texts_[j];
    column.reserve(matrix_.rows);
    std::string scratch;
    for (std::size_t r = 0; r < i; ++r) {
        scratch.clear();
        append_number_text(scratch, matrix_.at(r, j));
        push_text(j, scratch);
    }
}

void CellPass::append_cell_text(std::size_t j, PyObject* cell) {
    with_cell_text(cell, [&](std::string_view text) { push_text(j, text); });
}

ArrayColumns::ArrayColumns(PyObject* source, std::size_t rows, std::size_t cols) : source_(source), cols_(cols) {
    array_ = direct_array(source, rows, cols);
    if (array_ != nullptr) {
        numbers_ = numeric_reader(PyArray_DESCR(array_));
        if (numbers_ == nullptr && PyArray_DESCR(array_)->type_num != NPY_OBJECT) array_ = nullptr;
    }
}

void ArrayColumns::read_column(CellPass& pass, std::size_t j) const {
    if (array_ == nullptr || (numbers_ != nullptr && pass.in_text_mode(j))) {
        // A numeric element's str() is its NumPy scalar's: item access gives that scalar.
        return pass.read_items(j, source_, j);
    }
    if (numbers_ == nullptr) return pass.read_objects(j, array_, static_cast<npy_intp>(j), false);
    const char* base = static_cast<const char*>(PyArray_DATA(array_)) + static_cast<npy_intp>(j) * PyArray_STRIDE(array_, 1);
    pass.read_numbers(j, base, PyArray_STRIDE(array_, 0), numbers_, PyArray_DESCR(array_));
    pass.column_done(j);
}

void ArrayColumns::read_all(CellPass& pass) const {
    bool any_text = false;
    for (std::size_t j = 0; j < cols_; ++j) any_text = any_text || pass.in_text_mode(j);
    if (array_ != nullptr && numbers_ != nullptr && !any_text) return pass.read_number_matrix(array_, numbers_);
    for (std::size_t j = 0; j < cols_; ++j) read_column(pass, j);
}

namespace {

// Whether a result should take the `shared` columns from the input frame rather than
// copy them: each other column then costs a few pandas calls of its own (as much time as
// copying about half a MiB), while the shared ones cost nothing.
bool worth_sharing(const std::vector<bool>& shared, std::size_t rows) {
    constexpr std::size_t bytes_per_own_column = std::size_t{1} << 19;
    std::size_t count = 0;
    for (bool flag : shared) count += flag;
    const std::size_t own = shared.size() - count;
    return rows > 0 && count > 0 && count * rows * sizeof(double) / bytes_per_own_column >= own;
}

// pandas' shallow copy of a frame of pandas' own class, DataFrame(frame), which shares
// its columns under copy-on-write tracking; empty (no error pending) if it cannot be had
// or the frame is of another class.
Ref shallow_copy(PyObject* frame) {
    Ref pandas = Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString("pandas")).get()));
    Ref constructor = pandas ? Ref::steal(PyObject_GetAttrString(pandas.get(), "DataFrame")) : Ref{};
    Ref copy;
    if (constructor && reinterpret_cast<PyObject*>(Py_TYPE(frame)) == constructor.get()) {
        copy = Ref::steal(PyObject_CallOneArg(constructor.get(), frame));
    }
    PyErr_Clear();  // the columns are then copied instead
    return copy;
}

// Frames of fewer cells are not worth a shallow copy: their float64 columns are copied.
constexpr std::size_t shared_cells_min = std::size_t{1} << 16;

// A frame read from pandas' shallow copy of it when its float64 columns may go to the
// result unread (`shared_copy` given, the frame large enough): the copy is this call's
// own, made before any cell is read, and pandas copies the caller's data before anything
// (a cell's str(), another thread) writes into the frame, so what is read and what the
// result takes stay as they were at the start.
struct FrameSource {
    Ref snapshot;
    FrameColumns columns;
    std::vector<bool> shared;  // the columns the result takes from `snapshot`, left unread

    // `allowed(j)`: whether column j may be shared at all.
    template <class Allowed>
    FrameSource(PyObject* frame, std::size_t rows, std::size_t cols, py::Ref* shared_copy, Allowed allowed)
        : snapshot(shared_copy != nullptr && rows * cols >= shared_cells_min ? shallow_copy(frame) : Ref{}),
          columns(snapshot ? snapshot.get() : frame, rows, cols),
          shared(cols, false) {
        if (!snapshot) return;
        shared = columns.float64_columns();
        for (std::size_t j = 0; j < cols; ++j) shared[j] = shared[j] && allowed(j);
        if (worth_sharing(shared, rows)) {
            *shared_copy = Ref::borrow(snapshot.get());
        } else {
            shared.assign(cols, false);
        }
    }

    std::vector<bool> stored() const {
        std::vector<bool> flags(shared.size());
        for (std::size_t j = 0; j < shared.size(); ++j) flags[j] = !shared[j];
        return flags;
    }
};

// Reads every cell into `matrix`, encoding text columns on the pool as they complete.
template <class ReadAll>
EncodingInfo encode_into(Matrix& matrix, ReadAll read_all) {
    const std::size_t cols = matrix.cols;
    std::vector<TextColumn> texts(cols);
    std::vector<BufferVector<std::uint32_t>> refs(cols);
    ColumnPass columns(matrix, texts, &refs);  // declared after texts: on failure it waits for its tasks first
    CellPass pass(matrix, texts, [&columns](std::size_t j) { columns.start_column(j); });
    pass.stage_by_reference(&refs);
    // The frame, and so its Arrow columns, outlives `columns`.
    pass.lend_arrow_texts([&columns](std::size_t j, const BorrowedTexts& rows) { columns.start_borrowed(j, rows); });
    read_all(pass);
    return columns.finish();
}

}  // namespace

std::pair<Matrix, EncodingInfo> encode_object_array(PyObject* obj, bool is_dataframe, py::Ref* shared_copy) {
    const auto [rows, cols] = read_shape(obj);
    if (!is_dataframe) {
        Matrix matrix = Matrix::zeros(rows, cols);
        EncodingInfo info = encode_into(matrix, [&](CellPass& pass) { ArrayColumns(obj, rows, cols).read_all(pass); });
        return {std::move(matrix), std::move(info)};
    }
    // Read straight from the frame's own arrays where they give the cells of its
    // `values`; `values` itself is fetched only for the columns that need it, and
    // released as soon as every cell is read, while the pool is still encoding.
    FrameSource frame(obj, rows, cols, shared_copy, [](std::size_t) { return true; });
    // Column-major, the layout of the result frame's float block: each column is written
    // once, contiguously, and the result takes the buffer as it is. Every stored cell is
    // written by the reading or the encoding, so the buffer starts uninitialised.
    Matrix matrix = Matrix::by_columns(rows, frame.stored());
    EncodingInfo info = encode_into(matrix, [&](CellPass& pass) { frame.columns.read_all(pass, frame.shared); });
    return {std::move(matrix), std::move(info)};
}

void read_cells(PyObject* obj, bool is_dataframe, CellColumns& columns, CellSink& sink, py::Ref* shared_copy) {
    const auto [rows, cols] = read_shape(obj);
    std::optional<FrameSource> frame;
    if (is_dataframe) frame.emplace(obj, rows, cols, shared_copy, [&sink](std::size_t j) { return sink.may_share(j); });
    // A frame's matrix is column-major, the layout of a result frame's float block. It
    // starts zero-filled: a sink may leave cells of its own to fill later.
    columns.matrix = is_dataframe ? Matrix::by_columns(rows, frame->stored(), true) : Matrix::zeros(rows, cols);
    columns.texts.assign(cols, TextColumn());
    columns.refs.clear();
    CellPassOptions options;
    sink.begin(columns, options);
    CellPass pass(columns.matrix, columns.texts, nullptr);
    if (options.stage_by_reference) {
        columns.refs.resize(cols);
        pass.stage_by_reference(&columns.refs);
    }
    pass.set_sink(&sink, options);
    if (is_dataframe) {
        frame->columns.read_all(pass, frame->shared);
    } else {
        ArrayColumns(obj, rows, cols).read_all(pass);
    }
}

}  // namespace quorvel::convert
