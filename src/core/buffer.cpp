// Large working buffers: mapped pages above a size, operator new below it.
#include "core/buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

// Linux 5.14 and later; older headers lack the name, older kernels refuse the advice.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace quorvel {

namespace {

// Buffers from this size on ask for 2 MiB pages: a large buffer is filled at once, and
// faulting it in 4 KiB pages costs more than the writes themselves.
constexpr std::size_t kHugePageMin = std::size_t{4} << 20;

}  // namespace

void prefer_huge_pages(void* memory, std::size_t bytes) noexcept {
    if (bytes < kHugePageMin) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    // Advice only: where the system has no such pages, nothing changes.
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void* allocate_buffer(std::size_t bytes, Prefault prefault) {
    if (bytes < kMappedBufferMin) return ::operator new(bytes == 0 ? 1 : bytes);
    void* buffer = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer == MAP_FAILED) throw std::bad_alloc();
    prefer_huge_pages(buffer, bytes);
    // Made resident in one call (an older kernel without it faults the pages as they are
    // first written instead).
    if (prefault == Prefault::yes) madvise(buffer, bytes, MADV_POPULATE_WRITE);
    return buffer;
}

void grow_byte_buffer(ByteBuffer& buffer, std::size_t used, std::size_t bytes) {
    const std::size_t old_bytes = buffer.get_deleter().bytes;
    if (buffer && old_bytes >= kMappedBufferMin) {
        void* moved = mremap(buffer.get(), old_bytes, bytes, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        buffer.release();
        buffer = ByteBuffer(static_cast<char*>(moved), BufferDeleter{bytes});
        return;
    }
    ByteBuffer grown = make_byte_buffer(bytes, Prefault::no);  // filled only in part as yet
    if (used != 0) std::memcpy(grown.get(), buffer.get(), used);
    buffer = std::move(grown);
}

void free_buffer(void* buffer, std::size_t bytes) noexcept {
    if (buffer == nullptr) return;
    if (bytes < kMappedBufferMin) {
        ::operator delete(buffer);
    } else {
        munmap(buffer, bytes);
    }
}

}  // namespace quorvel
