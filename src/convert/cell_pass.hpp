// The cell pass of matrix encoding: every cell read once, numbers into the matrix, texts
// staged per column, and each finished text column handed to a column back end.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "convert/numpy.hpp"
#include "core/borrowed_texts.hpp"
#include "core/buffer.hpp"
#include "core/matrix.hpp"
#include "core/text_column.hpp"

namespace quorvel::convert {

class ArrowTextColumn;

/// What a cell pass fills: numbers go into the matrix, the texts of each column in text
/// mode are staged in `texts`.
struct CellColumns {
    Matrix matrix;
    std::vector<TextColumn> texts;
    /// With CellPassOptions::stage_by_reference, per column: empty, or the index into
    /// `texts[j]` of each row's text (see CellPass::stage_by_reference).
    std::vector<BufferVector<std::uint32_t>> refs;
};

/// How a cell pass treats particular columns; each vector is empty or has one flag per column.
struct CellPassOptions {
    /// Column read in text mode from its first row: every cell takes its str().
    std::vector<bool> start_text;
    /// Column that never turns text: a cell that is no number goes to CellSink::not_numeric
    /// with its text, and its matrix cell is left for the sink to fill.
    std::vector<bool> keep_numeric;
    /// Numeric cells (of columns not in text mode) are shown to the sink.
    bool observe_numbers = false;
    /// Repeated `str` objects are staged once, rows naming them in CellColumns::refs.
    bool stage_by_reference = false;
    /// When not 0, the texts of a column staged plainly (not by reference) are handed to
    /// the sink each time this many, or 768 KiB of them, are staged (CellSink::text_segment),
    /// so that it can work on them while later rows are read; `texts[j]` then holds only
    /// the rest.
    std::size_t segment_rows = 0;
};

/// A back end of the cell pass other than encoding's (applying learned tables, learning
/// from chunks): it is told about every column and, on request, about numeric cells.
class CellSink {
public:
    virtual ~CellSink() = default;
    /// The shape is known and `columns` sized; no cell is read yet. May set the options.
    virtual void begin(CellColumns& columns, CellPassOptions& options) = 0;
    /// Every cell of column j is read (called for every column, in ascending order).
    /// `first_text_row` is the row from which its cells took str() (rows above it hold
    /// number texts); the row count for a column that stayed numeric.
    virtual void column_done(std::size_t j, bool text_mode, std::size_t first_text_row) = 0;
    /// A cell of column j that converted to `value` (only with observe_numbers).
    virtual void numeric_cell(std::size_t /*i*/, std::size_t /*j*/, PyObject* /*cell*/, double /*value*/) {}
    /// Column j's numbers were read from memory: element i at base + i * stride, of
    /// `descr` (only with observe_numbers).
    virtual void numbers(std::size_t /*j*/, const char* /*base*/, npy_intp /*stride*/, PyArray_Descr* /*descr*/) {}
    /// The texts of rows first_row, first_row + 1, ... of column j, staged (only with
    /// segment_rows); later rows of the column follow in later segments or `texts[j]`.
    virtual void text_segment(std::size_t /*j*/, std::size_t /*first_row*/, TextColumn&& /*texts*/) {}
    /// Cell (i, j) of a column kept numeric is no number; `text` is its text.
    virtual void not_numeric(std::size_t /*i*/, std::size_t /*j*/, std::string_view /*text*/) {}
    /// Whether the result may take column j from the frame, unread, when the frame holds
    /// it as native float64 values: the sink would keep each of them as it is. Such a
    /// column is neither read nor told to the sink. Asked before begin().
    virtual bool may_share(std::size_t /*j*/) const { return false; }
};

/// Reads every cell of `obj` once into `columns` (sized here from `obj.shape`), column by
/// column, as encoding reads them, telling `sink` as it goes. Failures are internal
/// faults, or whatever the sink throws.
///
/// With `shared_copy`, a large pandas frame's float64 columns that the sink may share (as
/// encode_object_array shares them) are left out of the matrix, unread, and
/// `*shared_copy` receives the shallow copy of the frame that the result takes them from
/// (see OUT::DataFrame::source); it stays empty when no column is left out.
void read_cells(PyObject* obj, bool is_dataframe, CellColumns& columns, CellSink& sink,
                py::Ref* shared_copy = nullptr);

/// The text of a cell as the cell pass takes it: str(), as UTF-8, unpaired surrogates
/// each becoming three U+FFFD. Appended to `out`.
void append_cell_text(std::string& out, PyObject* cell);

/// Reads one element of a numeric NumPy array as the float Python's float() gives it.
using ElementReader = double (*)(const char*);

/// The reader for a numeric dtype that can be read straight from memory, or null.
ElementReader numeric_reader(PyArray_Descr* descr);

/// An internal fault "called `Result::unwrap()` on an `Err` value: ..." carrying the
/// pending Python error, which is cleared.
[[noreturn]] void unwrap_fault(std::source_location where = std::source_location::current());

/// Holds the one rule of a column's kind: a column is numeric while every cell converts
/// to a float, and turns to text at its first cell that does not, for good. The numbers
/// above that cell then take the number-to-text rule; that cell and every one below it
/// take their str(). Numbers go straight into the matrix; texts are staged in `texts[j]`.
///
/// Columns are read one at a time, each through one of the read_* readers (or cell by
/// cell with `take_*`, followed by column_done); text columns are completed in ascending
/// order. When a text column is complete, `text_column_done(j)` hands it to the back end
/// (label encoding on the worker pool, say), which may then consume texts[j].
class CellPass {
public:
    CellPass(Matrix& matrix, std::vector<TextColumn>& texts, std::function<void(std::size_t)> text_column_done);

    /// Another back end, told about every column (see CellSink), with its options.
    void set_sink(CellSink* sink, const CellPassOptions& options);

    /// Stages repeated `str` objects of object columns once: while read_objects reads a
    /// column, each exact `str` object's text is staged at its first row only, and
    /// `refs[j]` then names each row's staged text. Columns with few repeats go back to
    /// plain staging (refs[j] left empty). For back ends that take staging by reference.
    void stage_by_reference(std::vector<BufferVector<std::uint32_t>>* refs) { refs_ = refs; }

    /// Hands long Arrow string columns that can be read where they lie (see
    /// ArrowTextColumn::borrow) to `start` instead of staging them: `start(j, rows)` is
    /// called in place of the back end's text_column_done(j), and texts[j] stays empty.
    /// The Arrow column must outlive the back end's use of `rows`.
    void lend_arrow_texts(std::function<void(std::size_t, const BorrowedTexts&)> start) { lend_ = std::move(start); }

    /// Column j is text from its first cell on (every cell takes its str()). Call before
    /// reading the column.
    void start_in_text_mode(std::size_t j);
    bool in_text_mode(std::size_t j) const { return text_mode_[j]; }

    /// A column of numbers in memory, element i at base + i * stride. The column must not
    /// be in text mode (the str() of its cells is not known here).
    void read_numbers(std::size_t j, const char* base, npy_intp stride, ElementReader read,
                      PyArray_Descr* descr = nullptr);

    /// `count` columns of numbers in memory at once, none in text mode: element i of the
    /// k-th goes to matrix column positions[k] from base + k * column_stride + i * row_stride.
    void read_number_columns(const std::size_t* positions, std::size_t count, const char* base,
                             npy_intp column_stride, npy_intp row_stride, ElementReader read,
                             PyArray_Descr* descr = nullptr);

    /// Whether columns must be read strictly in ascending order (a sink is told of each).
    bool needs_column_order() const { return sink_ != nullptr; }

    /// Every column of a numeric 2-D array of the matrix's shape, none in text mode.
    void read_number_matrix(PyArrayObject* array, ElementReader read);

    /// A column of an object array: cell i is the object stored at element [i, column]
    /// of `array` (at [column, i] when `by_row`); the caller holds `array`. If Python
    /// code run by a cell reshapes the array, the rest is read by item access.
    void read_objects(std::size_t j, PyArrayObject* array, npy_intp column, bool by_row);

    /// A column read through item access on `source` with the key (i, column).
    void read_items(std::size_t j, PyObject* source, std::size_t column);

    /// An Arrow string column. A null is the cell pandas shows there: a float NaN when
    /// `missing_is_nan` (the `str` dtype), otherwise pandas' NA, whose str() is "<NA>".
    void read_arrow_texts(std::size_t j, const ArrowTextColumn& column, bool missing_is_nan);

    /// One cell of column j, row i (rows in order from 0).
    void take_cell(std::size_t i, std::size_t j, PyObject* cell);
    void take_number(std::size_t i, std::size_t j, double value);
    void take_text(std::size_t i, std::size_t j, std::string_view text);

    /// Column j is complete: a text column goes to the back end.
    void column_done(std::size_t j);

    /// The row from which column j took str() of its cells; the row count while numeric.
    std::size_t first_text_row(std::size_t j) const { return first_text_row_[j]; }

    std::size_t rows() const { return matrix_.rows; }

private:
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    void push_text(std::size_t j, std::string_view text);
    void hand_segment(std::size_t j);
    void take_str_by_identity(std::size_t j, PyObject* text);
    void check_repeats(std::size_t j);
    void stop_referencing();
    void switch_to_text(std::size_t i, std::size_t j);
    void append_cell_text(std::size_t j, PyObject* cell);
    void not_numeric(std::size_t i, std::size_t j, std::string_view text);
    void read_arrow_as_numbers(std::size_t j, const ArrowTextColumn& column, bool missing_is_nan);
    bool stage_arrow_in_parallel(std::size_t j, const ArrowTextColumn& column, bool missing_is_nan);
    bool lend_arrow(std::size_t j, const ArrowTextColumn& column, bool missing_is_nan);

    Matrix& matrix_;
    std::vector<TextColumn>& texts_;
    std::vector<bool> text_mode_;
    std::vector<std::size_t> first_text_row_;
    std::function<void(std::size_t)> text_column_done_;
    std::function<void(std::size_t, const BorrowedTexts&)> lend_;
    bool pool_busy_ = false;  // some column has been handed on for encoding
    CellSink* sink_ = nullptr;
    std::vector<bool> keep_numeric_;
    bool observe_numbers_ = false;
    std::size_t segment_rows_ = 0;
    std::vector<std::size_t> segment_start_;  // per column: the row of texts_[j]'s first text
    // Staging by reference: the column being read so, the `str` objects met in it (held,
    // so no other object can take the address of one while it is in the map) and the
    // place of each one's text.
    std::vector<BufferVector<std::uint32_t>>* refs_ = nullptr;
    std::size_t referencing_ = none;
    boost::unordered_flat_map<PyObject*, std::uint32_t> seen_;
    std::vector<py::Ref> held_;
};

/// The columns of a 2-D source, read by position: a NumPy array straight from memory
/// where its dtype allows, anything else through item access with (row, column) keys.
class ArrayColumns {
public:
    /// `source` is borrowed and must outlive this; it has `rows` x `cols` cells.
    ArrayColumns(PyObject* source, std::size_t rows, std::size_t cols);

    /// Reads column j.
    void read_column(CellPass& pass, std::size_t j) const;

    /// Reads every column, in ascending order.
    void read_all(CellPass& pass) const;

private:
    PyObject* source_;
    PyArrayObject* array_ = nullptr;   // the source, when it can be read from memory
    ElementReader numbers_ = nullptr;  // its reader, for a numeric dtype
    std::size_t cols_;
};

}  // namespace quorvel::convert
