// Allocation of the working matrix.
#include "core/matrix.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "core/buffer.hpp"
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

// A buffer for `bytes` bytes, freeable with std::free. Large buffers ask for transparent
// huge pages: the first write then faults in 2 MiB at a time instead of 4 KiB. Only the
// whole huge pages inside the buffer take them; its unaligned ends keep small pages.
// A zeroed buffer comes from calloc, which skips the clearing for fresh pages from the
// system (already zero), so each page is written once, by whoever fills its cells.
double* allocate(std::size_t bytes, bool zeroed = false) {
    void* p = zeroed ? std::calloc(1, bytes == 0 ? 1 : bytes) : std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    prefer_huge_pages(p, bytes);
    return static_cast<double*>(p);
}

}  // namespace

Matrix Matrix::zeros(std::size_t rows, std::size_t cols) {
    return Matrix{rows, cols, MatrixBuffer(allocate(checked_bytes(rows, cols), true)), {}};
}

Matrix Matrix::uninitialised(std::size_t rows, std::size_t cols) {
    return Matrix{rows, cols, MatrixBuffer(allocate(checked_bytes(rows, cols))), {}};
}

Matrix Matrix::by_columns(std::size_t rows, const std::vector<bool>& stored, bool zeroed) {
    std::vector<std::size_t> slots(stored.size(), absent);
    std::size_t count = 0;
    for (std::size_t c = 0; c < stored.size(); ++c) {
        if (stored[c]) slots[c] = count++;
    }
    return Matrix{rows, stored.size(), MatrixBuffer(allocate(checked_bytes(rows, count), zeroed)), std::move(slots)};
}

std::size_t Matrix::stored_columns() const noexcept {
    if (slots.empty()) return cols;
    std::size_t count = 0;
    for (std::size_t slot : slots) count += slot != absent;
    return count;
}

}  // namespace quorvel
