// Reading a pandas DataFrame column by column from its own arrays.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "capi/ref.hpp"
#include "convert/arrow_text.hpp"
#include "convert/cell_pass.hpp"

namespace quorvel::convert {

/// The columns of a DataFrame, each read where it lives when that gives exactly the cells
/// the frame's `values` would hold in that column:
/// - NumPy-backed numeric and bool columns from their arrays (the value each cell's float
///   conversion gives; such a column never turns to text);
/// - object columns from their arrays (the very objects `values` holds);
/// - Arrow-backed string columns (`str`, `string[pyarrow]`) from their Arrow buffers,
///   nulls counting as pandas' missing-value cell of the dtype;
/// - every other column from `values`, fetched only if some column needs it.
/// Only a frame of the exact class `pandas.DataFrame` whose layout is the expected one is
/// read this way; any other object named "DataFrame" is read entirely from `values`.
class FrameColumns {
public:
    /// Plans how to read each column of `frame` (borrowed; it must outlive this), which
    /// has `rows` x `cols` cells. Fetches `values` if some column needs it; failing to
    /// get it is an internal fault.
    FrameColumns(PyObject* frame, std::size_t rows, std::size_t cols);

    /// Reads every column, in ascending order, except those flagged in `skip` (empty, or
    /// one flag per column), which are left unread (and not told to a sink).
    void read_all(CellPass& pass, const std::vector<bool>& skip = {});

    /// The columns whose values the frame holds as native float64 NumPy arrays under
    /// pandas' copy-on-write tracking: a result may take such a column from the frame
    /// itself (through pandas, which then tracks the sharing) instead of a copy. One flag
    /// per column; all false when pandas does not track shared data.
    std::vector<bool> float64_columns() const;

private:
    enum class Source { values, numbers, objects, arrow };
    struct Column {
        Source source = Source::values;
        std::size_t block = 0;   // index into blocks_ (numbers, objects) or arrow_ (arrow)
        npy_intp index = 0;      // the column's row in its block's 2-D array
        bool missing_is_nan = false;
    };

    bool plan_from_blocks();
    bool plan_block(PyObject* block, PyObject* string_dtype, PyObject* na, std::vector<bool>& seen);
    void read_column(CellPass& pass, std::size_t j);
    void fetch_values();

    PyObject* frame_;
    std::size_t rows_, cols_;
    bool copy_on_write_ = false;  // pandas tracks data shared between frames
    std::vector<Column> columns_;
    std::vector<py::Ref> blocks_;         // the blocks' 2-D arrays, held while they are read
    std::vector<std::vector<std::size_t>> block_positions_;  // the frame column of each block row
    std::vector<ArrowTextColumn> arrow_;  // the Arrow string columns' chunks
    py::Ref values_;
    std::optional<ArrayColumns> value_columns_;
};

}  // namespace quorvel::convert
