// The working matrix: rows x columns 64-bit floats in one contiguous row-major buffer.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

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

    /// A zero-filled rows x cols matrix, allocated once at its final size. Fails with the
    /// internal fault "capacity overflow" when the byte size does not fit an allocation,
    /// and with std::bad_alloc when the memory cannot be had.
    static Matrix zeros(std::size_t rows, std::size_t cols);

    /// A rows x cols matrix whose contents the caller fills completely.
    static Matrix uninitialised(std::size_t rows, std::size_t cols);

    /// A read-only matrix over another owner's row-major buffer, which must outlive it and
    /// stay unchanged while it is read. Nothing is copied, and nothing may be written.
    static Matrix borrowing(const double* data, std::size_t rows, std::size_t cols) {
        return Matrix{rows, cols, MatrixBuffer(const_cast<double*>(data), FreeDeleter{false})};
    }

    /// False for a matrix made by `borrowing`: its buffer cannot be handed on.
    bool owns_buffer() const noexcept { return data.get_deleter().owned; }

    std::size_t size() const noexcept { return rows * cols; }
    double* begin() noexcept { return data.get(); }
    const double* begin() const noexcept { return data.get(); }
    double& at(std::size_t r, std::size_t c) noexcept { return data[r * cols + c]; }
    double at(std::size_t r, std::size_t c) const noexcept { return data[r * cols + c]; }

    /// Gives up the buffer (to be freed with std::free by its new owner).
    double* release() noexcept { return data.release(); }
};

}  // namespace quorvel
