// Large working buffers: mapped pages above a size, operator new below it.
#include "core/buffer.hpp"

#include <sys/mman.h>

#include <cstring>

namespace quorvel {

void* allocate_buffer(std::size_t bytes, Prefault prefault) {
    if (bytes < kMappedBufferMin) return ::operator new(bytes == 0 ? 1 : bytes);
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (prefault == Prefault::yes ? MAP_POPULATE : 0);
    void* buffer = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (buffer == MAP_FAILED) throw std::bad_alloc();
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
