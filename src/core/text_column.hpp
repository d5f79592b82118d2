// The texts of one column, staged in one contiguous buffer (no allocation per text).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "core/buffer.hpp"

namespace quorvel {

class TextColumn {
public:
    TextColumn() = default;
    TextColumn(TextColumn&&) noexcept = default;
    TextColumn& operator=(TextColumn&&) noexcept = default;
    TextColumn(const TextColumn& other) : ends_(other.ends_) { append_bytes(other.bytes_.get(), other.used_); }
    TextColumn& operator=(const TextColumn& other) {
        if (this != &other) *this = TextColumn(other);
        return *this;
    }

    void reserve(std::size_t count) { ends_.reserve(count); }

    /// Appends one text. Inline and free of library calls on the common path: the cell
    /// pass stages millions of short texts.
    void push_back(std::string_view text) {
        append_bytes(text.data(), text.size());
        ends_.push_back(used_);
    }

    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {bytes_.get() + begin, ends_[i] - begin};
    }

private:
    void append_bytes(const char* data, std::size_t n) {
        if (n > capacity_ - used_) grow(n);
        if (n != 0) std::memcpy(bytes_.get() + used_, data, n);
        used_ += n;
    }

    // Doubles the buffer (at least enough for `n` more bytes). Large buffers grow by
    // remapping, so staged texts are not copied again.
    void grow(std::size_t n) {
        const std::size_t capacity = std::max({capacity_ * 2, used_ + n, std::size_t{4096}});
        grow_byte_buffer(bytes_, used_, capacity);
        capacity_ = capacity;
    }

    ByteBuffer bytes_;  // all texts, back to back
    std::size_t used_ = 0;
    std::size_t capacity_ = 0;
    BufferVector<std::size_t> ends_;  // end offset of text i in bytes_
};

}  // namespace quorvel
