// Large working buffers, mapped from the system directly.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace quorvel {

/// Buffers of at least this size are mapped and unmapped directly instead of coming from
/// malloc, in whole huge pages where the system has them. Freed, they go back to the
/// system at once. malloc would keep them: memory freed by a worker thread stays in that
/// thread's arena, and freeing a large block raises malloc's own threshold for mapping,
/// so the working memory of one encode would stay with the process after the call.
inline constexpr std::size_t kMappedBufferMin = std::size_t{1} << 20;

/// The size of the huge pages that large buffers ask for.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

/// Whether a mapped buffer's pages are made resident at once. Prefaulting is faster for
/// a buffer that will be filled; a buffer that may stay partly unused should not, since
/// every page made resident counts as used memory whether it is written or not.
enum class Prefault : bool { no, yes };

/// `bytes` of uninitialised memory; std::bad_alloc when they cannot be had.
void* allocate_buffer(std::size_t bytes, Prefault prefault = Prefault::yes);
/// Asks the system to back the whole 2 MiB pages within [memory, memory + bytes) by huge
/// pages, for a large buffer about to be filled that did not come from allocate_buffer
/// (which does the same for its own). Does nothing for small buffers.
void prefer_huge_pages(void* memory, std::size_t bytes) noexcept;
/// Frees a buffer from allocate_buffer, given the same size.
void free_buffer(void* buffer, std::size_t bytes) noexcept;

/// An allocator over allocate_buffer, for the containers whose size scales with the rows
/// or the distinct texts of a column.
template <class T>
struct BufferAllocator {
    using value_type = T;
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "mapped pages and operator new align this far");

    BufferAllocator() noexcept = default;
    template <class U>
    BufferAllocator(const BufferAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_buffer(count * sizeof(T)));
    }
    void deallocate(T* buffer, std::size_t count) noexcept { free_buffer(buffer, count * sizeof(T)); }

    template <class U>
    friend bool operator==(const BufferAllocator&, const BufferAllocator<U>&) noexcept {
        return true;
    }
};

template <class T>
using BufferVector = std::vector<T, BufferAllocator<T>>;

/// Frees a container's memory now. (`v = {}` would not: it assigns an empty list and
/// keeps the capacity.)
template <class Container>
void release(Container& container) noexcept {
    Container().swap(container);
}

/// Frees a byte buffer from allocate_buffer; it knows the buffer's size.
struct BufferDeleter {
    std::size_t bytes = 0;
    void operator()(char* buffer) const noexcept { free_buffer(buffer, bytes); }
};

/// An owned byte buffer of fixed size, uninitialised when made.
using ByteBuffer = std::unique_ptr<char[], BufferDeleter>;

inline ByteBuffer make_byte_buffer(std::size_t bytes, Prefault prefault = Prefault::yes) {
    return ByteBuffer(static_cast<char*>(allocate_buffer(bytes, prefault)), BufferDeleter{bytes});
}

/// Grows `buffer` to `bytes`, keeping its first `used` bytes. A mapped buffer is grown by
/// remapping its pages, which copies nothing; a small one is copied into a new buffer.
void grow_byte_buffer(ByteBuffer& buffer, std::size_t used, std::size_t bytes);

}  // namespace quorvel
