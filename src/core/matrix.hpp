// The working matrix: rows x columns 64-bit floats in one contiguous buffer, row-major,
// or column-major holding only some of the columns.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

namespace quorvel {

/// Frees a buffer obtained from std::calloc/std::malloc. The buffer may be handed on to
/// a NumPy array, whose owner then frees it with std::free as well. A borrowed buffer
/// (another owner's, read in place) is left alone.
struct FreeDeleter {
    bool owned = true;
    void operator()(double* p) const noexcept {
        if (owned) std::free(p);
    }
};

using MatrixBuffer = std::unique_ptr<double[], FreeDeleter>;

struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    MatrixBuffer data;
    /// Empty for a row-major matrix. Otherwise the matrix is column-major: column c's rows
    /// lie contiguously at data[slots[c] * rows], or, when slots[c] is `absent`, column c
    /// is not stored at all (its values live elsewhere and are never read or written here).
    std::vector<std::size_t> slots;

    static constexpr std::size_t absent = static_cast<std::size_t>(-1);

    /// A zero-filled rows x cols matrix, allocated once at its final size. Fails with the
    /// internal fault "capacity overflow" when the byte size does not fit an allocation,
    /// and with std::bad_alloc when the memory cannot be had.
    static Matrix zeros(std::size_t rows, std::size_t cols);

    /// A rows x cols matrix whose contents the caller fills completely.
    static Matrix uninitialised(std::size_t rows, std::size_t cols);

    /// A column-major matrix storing the columns c with stored[c] set (`stored` has one
    /// flag per column), one after the other, each contiguous. Its contents are
    /// zero-filled when `zeroed`, else not initialised: the caller then writes every cell
    /// of every stored column. Fails as zeros() does.
    static Matrix by_columns(std::size_t rows, const std::vector<bool>& stored, bool zeroed = false);

    /// A read-only matrix over another owner's row-major buffer, which must outlive it and
    /// stay unchanged while it is read. Nothing is copied, and nothing may be written.
    static Matrix borrowing(const double* data, std::size_t rows, std::size_t cols) {
        return Matrix{rows, cols, MatrixBuffer(const_cast<double*>(data), FreeDeleter{false}), {}};
    }

    /// False for a matrix made by `borrowing`: its buffer cannot be handed on.
    bool owns_buffer() const noexcept { return data.get_deleter().owned; }

    bool row_major() const noexcept { return slots.empty(); }
    /// Whether column c has cells here (every column of a row-major matrix has).
    bool stores(std::size_t c) const noexcept { return slots.empty() || slots[c] != absent; }
    /// Number of stored columns.
    std::size_t stored_columns() const noexcept;

    /// Cell count of a row-major matrix (rows x cols).
    std::size_t size() const noexcept { return rows * cols; }
    double* begin() noexcept { return data.get(); }
    const double* begin() const noexcept { return data.get(); }

    /// Distance between the cells of two consecutive rows of one column.
    std::size_t row_step() const noexcept { return slots.empty() ? cols : 1; }
    /// The cell of row 0 of column c, which must be stored; column c's row r is at
    /// column(c)[r * row_step()].
    double* column(std::size_t c) noexcept { return data.get() + column_offset(c); }
    const double* column(std::size_t c) const noexcept { return data.get() + column_offset(c); }
    std::size_t column_offset(std::size_t c) const noexcept { return slots.empty() ? c : slots[c] * rows; }

    double& at(std::size_t r, std::size_t c) noexcept { return column(c)[r * row_step()]; }
    double at(std::size_t r, std::size_t c) const noexcept { return column(c)[r * row_step()]; }

    /// Gives up the buffer (to be freed with std::free by its new owner).
    double* release() noexcept { return data.release(); }
};

}  // namespace quorvel
