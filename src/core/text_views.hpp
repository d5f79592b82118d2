// The texts of one column read where they lie, in Arrow's string layouts: no copy.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel {

/// One chunk of a column in Arrow's `string` (32-bit offsets) or `large_string` (64-bit)
/// layout: row r of the chunk is data[offsets[offset + r]] to data[offsets[offset + r + 1]],
/// present when bit offset + r of `validity` is set (or `validity` is null).
struct TextChunk {
    const char* data = nullptr;
    const void* offsets = nullptr;
    bool wide = false;  // 64-bit offsets
    const std::uint8_t* validity = nullptr;
    std::int64_t offset = 0;
    std::size_t length = 0;
};

/// A column of texts read in place from its chunks (the caller keeps their buffers alive
/// while this is read). A row without a value reads as a stand-in text: `missing_before`
/// above row `first_text_row`, `missing_after` from there on.
class ChunkedTexts {
public:
    ChunkedTexts() = default;
    ChunkedTexts(std::vector<TextChunk> chunks, std::size_t first_text_row, std::string_view missing_before,
                 std::string_view missing_after)
        : chunks_(std::move(chunks)),
          first_text_row_(first_text_row),
          missing_before_(missing_before),
          missing_after_(missing_after) {
        starts_.reserve(chunks_.size() + 1);
        std::size_t rows = 0;
        for (const TextChunk& chunk : chunks_) {
            starts_.push_back(rows);
            rows += chunk.length;
        }
        starts_.push_back(rows);
        rows_ = rows;
    }

    std::size_t size() const noexcept { return rows_; }

    std::string_view operator[](std::size_t i) const noexcept {
        std::size_t c = 0;
        if (chunks_.size() != 1) [[unlikely]] {
            c = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), i) - starts_.begin()) - 1;
        }
        const TextChunk& chunk = chunks_[c];
        const std::int64_t at = chunk.offset + static_cast<std::int64_t>(i - starts_[c]);
        if (chunk.validity != nullptr && ((chunk.validity[at >> 3] >> (at & 7)) & 1) == 0) {
            return i < first_text_row_ ? missing_before_ : missing_after_;
        }
        std::int64_t begin, end;
        if (chunk.wide) {
            const auto* offsets = static_cast<const std::int64_t*>(chunk.offsets);
            begin = offsets[at];
            end = offsets[at + 1];
        } else {
            const auto* offsets = static_cast<const std::int32_t*>(chunk.offsets);
            begin = offsets[at];
            end = offsets[at + 1];
        }
        if (begin == end) return {};  // the data buffer may be absent when every text is empty
        return {chunk.data + begin, static_cast<std::size_t>(end - begin)};
    }

private:
    std::vector<TextChunk> chunks_;
    std::vector<std::size_t> starts_;  // the first row of each chunk, then the row count
    std::size_t rows_ = 0;
    std::size_t first_text_row_ = 0;
    std::string_view missing_before_, missing_after_;
};

}  // namespace quorvel
