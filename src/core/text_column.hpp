// The texts of one column, staged in one contiguous buffer (no allocation per text).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/buffer.hpp"

namespace quorvel {

/// Copies `n` bytes between buffers that do not overlap. Inline for texts of up to 32
/// bytes: two overlapping loads and stores of a fixed width, within the n bytes on both
/// sides, instead of a library call per text (staging and storing copy millions of short
/// texts).
[[gnu::always_inline]] inline void copy_bytes(char* to, const char* from, std::size_t n) noexcept {
    const auto pair = [&](auto width) {
        constexpr std::size_t w = sizeof width;
        decltype(width) head, tail;
        std::memcpy(&head, from, w);
        std::memcpy(&tail, from + n - w, w);
        std::memcpy(to, &head, w);
        std::memcpy(to + n - w, &tail, w);
    };
    struct Block {
        unsigned char bytes[16];
    };
    if (n > 32) {
        std::memcpy(to, from, n);
    } else if (n >= 16) {
        pair(Block{});
    } else if (n >= 8) {
        pair(std::uint64_t{});
    } else if (n >= 4) {
        pair(std::uint32_t{});
    } else {
        for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

/// Texts staged back to back in one buffer, with the end offset of each. An end is kept
/// as its low `OffsetBits` bits (half the memory of a full offset); each time the ends
/// pass another multiple of 2^OffsetBits, the row is noted, so offsets stay exact for a
/// column of any size. `TextColumn` uses 32 bits; smaller widths exist for tests.
template <unsigned OffsetBits>
class BasicTextColumn {
    static_assert(OffsetBits >= 1 && OffsetBits <= 32);

public:
    BasicTextColumn() = default;
    BasicTextColumn(BasicTextColumn&&) noexcept = default;
    BasicTextColumn& operator=(BasicTextColumn&&) noexcept = default;
    BasicTextColumn(const BasicTextColumn& other) : ends_(other.ends_), wraps_(other.wraps_) {
        append_bytes(other.bytes_.get(), other.used_);
    }
    BasicTextColumn& operator=(const BasicTextColumn& other) {
        if (this != &other) *this = BasicTextColumn(other);
        return *this;
    }

    void reserve(std::size_t count) { ends_.reserve(count); }
    /// Room for `count` texts of `bytes` bytes in all, so that staging them grows nothing.
    /// An empty column's buffer is made resident at once when asked (for a size known to
    /// be filled nearly whole: faulting it in page by page costs more than the copy).
    void reserve(std::size_t count, std::size_t bytes, Prefault prefault = Prefault::no) {
        ends_.reserve(count);
        if (bytes <= capacity_) return;
        if (used_ == 0) {
            bytes_ = make_byte_buffer(bytes, prefault);
        } else {
            grow_byte_buffer(bytes_, used_, bytes);
        }
        capacity_ = bytes;
    }
    /// The bytes of all texts held.
    std::size_t bytes() const noexcept { return used_; }

    /// Appends one text. Inline and free of library calls on the common path: the cell
    /// pass stages millions of short texts.
    void push_back(std::string_view text) {
        append_bytes(text.data(), text.size());
        if ((used_ >> OffsetBits) != wraps_.size()) note_wraps();
        ends_.push_back(static_cast<std::uint32_t>(used_ & kLowMask));
    }

    /// Appends `count` texts that lie back to back in `data`: text k spans
    /// data[offsets[k]] to data[offsets[k + 1]] (offsets ascending). One copy of the bytes
    /// for all of them, as Arrow's string layouts hold them.
    template <class Offset>
    void append_run(const char* data, const Offset* offsets, std::size_t count) {
        const auto first = static_cast<std::size_t>(offsets[0]);
        const std::size_t bytes = static_cast<std::size_t>(offsets[count]) - first;
        const std::size_t start = used_;
        if (((start + bytes) >> OffsetBits) != (start >> OffsetBits)) {
            // Passes a multiple of 2^OffsetBits: let push_back note where, text by text.
            for (std::size_t k = 0; k < count; ++k) {
                push_back({data + offsets[k], static_cast<std::size_t>(offsets[k + 1] - offsets[k])});
            }
            return;
        }
        append_bytes(data + first, bytes);
        const std::size_t base = start - first;
        const std::size_t size = ends_.size();
        ends_.resize(size + count);
        std::uint32_t* ends = ends_.data() + size;
        for (std::size_t k = 0; k < count; ++k) {
            ends[k] = static_cast<std::uint32_t>((base + static_cast<std::size_t>(offsets[k + 1])) & kLowMask);
        }
    }

    /// Where `count` more texts of `bytes` bytes in all go, for a caller that writes them
    /// itself, from several threads if it likes: their bytes back to back from `bytes`, and
    /// at ends[k] the end of text k as `start` plus its end within the new bytes (the low
    /// OffsetBits bits of it). Nothing when the column would pass 2^OffsetBits bytes, past
    /// which ends are no longer kept as they are.
    struct InPlace {
        char* bytes;
        std::uint32_t* ends;
        std::size_t start;
    };
    std::optional<InPlace> append_in_place(std::size_t count, std::size_t bytes) {
        if (!wraps_.empty() || ((used_ + bytes) >> OffsetBits) != 0) return std::nullopt;
        if (bytes > capacity_ - used_) grow(bytes);
        const std::size_t start = used_, size = ends_.size();
        ends_.resize(size + count);
        used_ += bytes;
        return InPlace{bytes_.get() + start, ends_.data() + size, start};
    }

    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    /// Text i. Small enough to be inlined into the loops over rows: a column of less than
    /// 2^OffsetBits bytes keeps its ends as they are.
    std::string_view operator[](std::size_t i) const noexcept {
        if (wraps_.empty()) [[likely]] {
            const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
            return {bytes_.get() + begin, ends_[i] - begin};
        }
        return wrapped_text(i);
    }

    /// Starts fetching where text i's bounds are kept into the cache: loops that read texts
    /// in a scattered order call it some texts ahead of reading them.
    void prefetch_bounds(std::size_t i) const noexcept { __builtin_prefetch(ends_.data() + i); }

private:
    static constexpr std::size_t kLowMask = (std::size_t{1} << OffsetBits) - 1;

    [[gnu::noinline]] std::string_view wrapped_text(std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : end_of(i - 1);
        return {bytes_.get() + begin, end_of(i) - begin};
    }

    std::size_t end_of(std::size_t i) const noexcept {
        std::size_t high = 0;
        if (!wraps_.empty()) high = static_cast<std::size_t>(std::upper_bound(wraps_.begin(), wraps_.end(), i) - wraps_.begin());
        return (high << OffsetBits) | ends_[i];
    }

    // The row about to be added ends past one or more further multiples of 2^OffsetBits.
    void note_wraps() {
        while (wraps_.size() < (used_ >> OffsetBits)) wraps_.push_back(ends_.size());
    }

    void append_bytes(const char* data, std::size_t n) {
        if (n > capacity_ - used_) grow(n);
        copy_bytes(bytes_.get() + used_, data, n);
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
    BufferVector<std::uint32_t> ends_;  // low bits of the end offset of text i in bytes_
    std::vector<std::size_t> wraps_;    // rows whose end passed another 2^OffsetBits, ascending
};

using TextColumn = BasicTextColumn<32>;

/// Whether two texts hold the same bytes. Inline: texts up to 32 bytes are compared as
/// overlapping words instead of through a library call.
[[gnu::always_inline]] inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const auto word = [](const char* p, auto width) {
        decltype(width) w;
        std::memcpy(&w, p, sizeof w);
        return w;
    };
    if (n > 32) return std::memcmp(a.data(), b.data(), n) == 0;
    if (n > 16) {
        // The first 16 bytes and the last 16, which overlap unless n is 32.
        const auto at = [&](std::size_t offset) {
            return word(a.data() + offset, std::uint64_t{}) ^ word(b.data() + offset, std::uint64_t{});
        };
        return (at(0) | at(8) | at(n - 16) | at(n - 8)) == 0;
    }
    if (n >= 8) {
        return word(a.data(), std::uint64_t{}) == word(b.data(), std::uint64_t{}) &&
               word(a.data() + n - 8, std::uint64_t{}) == word(b.data() + n - 8, std::uint64_t{});
    }
    if (n >= 4) {
        return word(a.data(), std::uint32_t{}) == word(b.data(), std::uint32_t{}) &&
               word(a.data() + n - 4, std::uint32_t{}) == word(b.data() + n - 4, std::uint32_t{});
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace quorvel
