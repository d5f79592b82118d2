// The cell pass of matrix encoding: every cell read once, numbers into the matrix, texts
// staged per column, and each finished text column handed to a column back end.
#pragma once

#include <Python.h>

#include <cstddef>
#include <functional>
#include <source_location>
#include <string_view>
#include <vector>

#include "convert/numpy.hpp"
#include "core/matrix.hpp"
#include "core/text_column.hpp"

namespace quorvel::convert {

class ArrowTextColumn;

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

    /// Column j is text from its first cell on (every cell takes its str()). Call before
    /// reading the column.
    void start_in_text_mode(std::size_t j);
    bool in_text_mode(std::size_t j) const { return text_mode_[j]; }

    /// A column of numbers in memory, element i at base + i * stride. The column must not
    /// be in text mode (the str() of its cells is not known here).
    void read_numbers(std::size_t j, const char* base, npy_intp stride, ElementReader read);

    /// `count` columns of numbers in memory at once, none in text mode: element i of the
    /// k-th goes to matrix column positions[k] from base + k * column_stride + i * row_stride.
    void read_number_columns(const std::size_t* positions, std::size_t count, const char* base,
                             npy_intp column_stride, npy_intp row_stride, ElementReader read);

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

    std::size_t rows() const { return matrix_.rows; }

private:
    void switch_to_text(std::size_t i, std::size_t j);
    void append_cell_text(std::size_t j, PyObject* cell);

    Matrix& matrix_;
    std::vector<TextColumn>& texts_;
    std::vector<bool> text_mode_;
    std::function<void(std::size_t)> text_column_done_;
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
