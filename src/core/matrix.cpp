// Allocation of the working matrix.
#include "core/matrix.hpp"

#include <cstdint>
#include <limits>
#include <new>

#include "core/fault.hpp"

namespace quorvel {
namespace {

// Byte size of the buffer, refusing sizes no allocation can have (the largest object
// size is PTRDIFF_MAX on our platforms).
std::size_t checked_bytes(std::size_t rows, std::size_t cols) {
    constexpr std::size_t max_bytes = static_cast<std::size_t>(PTRDIFF_MAX);
    if (cols != 0 && rows > max_bytes / sizeof(double) / cols) fault("capacity overflow");
    return rows * cols * sizeof(double);
}

}  // namespace

Matrix Matrix::zeros(std::size_t rows, std::size_t cols) {
    const std::size_t bytes = checked_bytes(rows, cols);
    // calloc: large buffers come as fresh zero pages, so zero-filling costs no pass.
    void* p = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (p == nullptr) throw std::bad_alloc();
    return Matrix{rows, cols, MatrixBuffer(static_cast<double*>(p))};
}

Matrix Matrix::uninitialised(std::size_t rows, std::size_t cols) {
    const std::size_t bytes = checked_bytes(rows, cols);
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return Matrix{rows, cols, MatrixBuffer(static_cast<double*>(p))};
}

}  // namespace quorvel
