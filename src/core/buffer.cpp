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

// Buffers from elsewhere ask for 2 MiB pages from this size on: a large buffer is filled
// at once, and faulting it in 4 KiB pages costs more than the writes themselves.
constexpr std::size_t kHugePageMin = std::size_t{4} << 20;

std::uintptr_t round_up(std::uintptr_t value, std::size_t step) noexcept { return (value + step - 1) & ~(step - 1); }

// The length of the mapping that holds a mapped buffer of `bytes`: whole huge pages, so
// that none of it is faulted in 4 KiB pages (on a virtual machine, making 8 MiB resident
// takes about 3 ms in small pages, against 0.25 ms in huge pages). The waste is under
// one huge page.
std::size_t mapped_length(std::size_t bytes) noexcept { return round_up(bytes, kHugePage); }

// A mapping of `length` bytes (whole huge pages) that starts on a huge page boundary, so
// that all of it can take huge pages. The system aligns nothing: one huge page more is
// mapped, and the ends beyond the aligned stretch are given back.
void* map_huge_pages(std::size_t length) {
    const std::size_t asked = length + kHugePage;
    void* mapping = mmap(nullptr, asked, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t start = round_up(begin, kHugePage);
    if (start > begin) munmap(mapping, start - begin);
    const std::uintptr_t stop = start + length, end = begin + asked;
    if (end > stop) munmap(reinterpret_cast<void*>(stop), end - stop);
    void* buffer = reinterpret_cast<void*>(start);
    // Advice only: where the system has no such pages, nothing changes.
    madvise(buffer, length, MADV_HUGEPAGE);
    return buffer;
}

}  // namespace

void prefer_huge_pages(void* memory, std::size_t bytes) noexcept {
    if (bytes < kHugePageMin) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t first = round_up(begin, kHugePage);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    // Advice only: where the system has no such pages, nothing changes.
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void* allocate_buffer(std::size_t bytes, Prefault prefault) {
    if (bytes < kMappedBufferMin) return ::operator new(bytes == 0 ? 1 : bytes);
    // No object is larger (and rounding such a size up to huge pages would wrap).
    if (bytes > static_cast<std::size_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    const std::size_t length = mapped_length(bytes);
    void* buffer = map_huge_pages(length);
    // Made resident in one call (an older kernel without it faults the pages as they are
    // first written instead).
    if (prefault == Prefault::yes) madvise(buffer, length, MADV_POPULATE_WRITE);
    return buffer;
}

void grow_byte_buffer(ByteBuffer& buffer, std::size_t used, std::size_t bytes) {
    const std::size_t old_bytes = buffer.get_deleter().bytes;
    if (bytes > static_cast<std::size_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    if (buffer && old_bytes >= kMappedBufferMin) {
        void* moved = mremap(buffer.get(), mapped_length(old_bytes), mapped_length(bytes), MREMAP_MAYMOVE);
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
        munmap(buffer, mapped_length(bytes));
    }
}

}  // namespace quorvel
