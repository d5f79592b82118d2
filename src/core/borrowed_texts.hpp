// The texts of one column read where they already lie, in another library's buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvel {

/// A column of texts in Arrow's `large_string` layout, borrowed: text i spans
/// data[offsets[i]] to data[offsets[i + 1]], or, where the validity bitmap (when there is
/// one) has bit `validity_offset + i` clear, is `leading_missing` for the rows before
/// `leading_rows` and `missing` for the others (a column may read its nulls before its
/// first value as another text than those after it). The label encoder reads it as
/// it reads a staged TextColumn, so a column need not be copied before it is encoded;
/// only its distinct texts are. Nothing is owned: the buffers, and the missing texts,
/// must outlive every reader.
class BorrowedTexts {
public:
    BorrowedTexts(const char* data, const std::int64_t* offsets, const std::uint8_t* validity,
                  std::size_t validity_offset, std::size_t count, std::string_view missing,
                  std::size_t leading_rows = 0, std::string_view leading_missing = {}) noexcept
        : data_(data),
          offsets_(offsets),
          validity_(validity),
          validity_offset_(validity_offset),
          count_(count),
          missing_(missing),
          leading_rows_(leading_rows),
          leading_missing_(leading_missing) {}

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    /// At least the bytes of the column's distinct texts together: those of its present
    /// values, and each missing text once.
    std::size_t bytes() const noexcept {
        return static_cast<std::size_t>(offsets_[count_] - offsets_[0]) + missing_.size() + leading_missing_.size();
    }

    std::string_view operator[](std::size_t i) const noexcept {
        if (validity_ != nullptr) {
            const std::size_t bit = validity_offset_ + i;
            if (((validity_[bit >> 3] >> (bit & 7)) & 1) == 0) return i < leading_rows_ ? leading_missing_ : missing_;
        }
        const auto begin = static_cast<std::size_t>(offsets_[i]);
        return {data_ + begin, static_cast<std::size_t>(offsets_[i + 1]) - begin};
    }

    /// Starts fetching where text i's bounds are kept (see TextColumn::prefetch_bounds).
    void prefetch_bounds(std::size_t i) const noexcept { __builtin_prefetch(offsets_ + i); }

private:
    const char* data_;
    const std::int64_t* offsets_;
    const std::uint8_t* validity_;  // null when every text is present
    std::size_t validity_offset_;
    std::size_t count_;
    std::string_view missing_;
    std::size_t leading_rows_;
    std::string_view leading_missing_;
};

}  // namespace quorvel
