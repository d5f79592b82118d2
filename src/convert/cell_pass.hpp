// The cell pass with pluggable back ends: encode, apply and the learner read cells alike.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "core/matrix.hpp"
#include "core/text_column.hpp"

namespace quorvel::convert {

/// What the cell pass fills: numbers go into the matrix, the texts of each column in text
/// mode are staged in `texts`. `first_text_row[j]` is the row from which column j took
/// str() of its cells (rows above it, if any, hold number texts); `rows` for a column
/// that stayed numeric.
struct CellColumns {
    Matrix matrix;
    std::vector<TextColumn> texts;
    std::vector<bool> text_mode;
    std::vector<std::size_t> first_text_row;
};

/// How the cell pass treats particular columns; each vector is empty or has one flag per column.
struct CellPassOptions {
    /// Column read in text mode from its first row: every cell takes its str().
    std::vector<bool> start_text;
    /// Column that never turns text: a cell that is no number goes to CellSink::not_numeric
    /// and its matrix cell is left for the sink to fill.
    std::vector<bool> keep_numeric;
    /// Numeric cells (of columns not in text mode) are shown to CellSink::numeric_cell.
    bool observe_numbers = false;
};

/// The back end of one cell pass.
class CellSink {
public:
    virtual ~CellSink() = default;
    /// The shape is known and `columns` sized; no cell is read yet. May set the options.
    virtual void begin(CellColumns& columns, CellPassOptions& options) = 0;
    /// Every cell of column j is read (called for every column, in ascending order).
    virtual void column_done(std::size_t j) = 0;
    virtual void numeric_cell(std::size_t /*i*/, std::size_t /*j*/, PyObject* /*cell*/, double /*value*/) {}
    virtual void not_numeric(std::size_t /*i*/, std::size_t /*j*/, PyObject* /*cell*/) {}
    /// The cells were read straight from a numeric array (before any column_done).
    virtual void numeric_array(PyObject* /*array*/) {}
};

/// Reads every cell of `obj` once (from `obj.values` for a DataFrame), column by column,
/// into `columns`, telling `sink` as it goes. Failures are internal faults, or whatever
/// the sink throws.
void read_cells(PyObject* obj, bool is_dataframe, CellColumns& columns, CellSink& sink);

/// The text of a cell as the cell pass takes it: str(), as UTF-8, unpaired surrogates
/// each becoming three U+FFFD. Appended to `out`.
void append_cell_text(std::string& out, PyObject* cell);

}  // namespace quorvel::convert
