// Owned storage for the texts of code tables and decode maps: large blocks that never move.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "core/buffer.hpp"
#include "core/text_column.hpp"

namespace quorvel {

/// Texts copied back to back into blocks. A stored text never moves, also when the store
/// itself is moved, so maps can key on views into it: one allocation per block instead of
/// one per text, and a column's code table and decode map share each text. Move-only.
class TextStore {
public:
    TextStore() = default;
    TextStore(TextStore&&) noexcept = default;
    TextStore& operator=(TextStore&&) noexcept = default;
    TextStore(const TextStore&) = delete;
    TextStore& operator=(const TextStore&) = delete;

    /// A stable copy of `text`.
    std::string_view add(std::string_view text) {
        if (text.empty()) return {"", 0};  // never a null pointer: callers may memcpy from it
        if (text.size() > left_) grow(text.size());
        char* at = next_;
        copy_bytes(at, text.data(), text.size());
        next_ += text.size();
        left_ -= text.size();
        return {at, text.size()};
    }

    /// Makes room for at least `bytes` more bytes of texts in one block. Its pages are
    /// not made resident ahead, so room left unused costs no memory.
    void reserve(std::size_t bytes) {
        if (bytes <= left_) return;
        blocks_.push_back(make_byte_buffer(bytes, Prefault::no));
        next_ = blocks_.back().get();
        left_ = bytes;
    }

    /// Takes over every block of `other` (views into it stay valid).
    void adopt(TextStore&& other) {
        for (auto& block : other.blocks_) blocks_.push_back(std::move(block));
        other = TextStore();
    }

private:
    static constexpr std::size_t first_block = std::size_t{1} << 12;
    static constexpr std::size_t largest_block = std::size_t{1} << 22;

    void grow(std::size_t needed) {
        block_size_ = std::min(largest_block, block_size_ == 0 ? first_block : block_size_ * 2);
        const std::size_t size = std::max(block_size_, needed);
        // Not prefaulted: the last block is usually filled only in part.
        blocks_.push_back(make_byte_buffer(size, Prefault::no));
        next_ = blocks_.back().get();
        left_ = size;
    }

    std::vector<ByteBuffer> blocks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
    std::size_t block_size_ = 0;
};

}  // namespace quorvel
