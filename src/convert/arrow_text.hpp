// One Arrow string column, read through the Arrow C stream interface.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "convert/arrow_abi.hpp"
#include "core/borrowed_texts.hpp"
#include "core/text_column.hpp"

namespace quorvel::convert {

/// The chunks of one Arrow string column (`string`, `large_string` or `string_view`),
/// taken from an object's `__arrow_c_stream__` PyCapsule. The chunks are owned (released
/// through their own release callbacks) and read without any Python call.
class ArrowTextColumn {
public:
    /// Reads every chunk of `source`'s stream. Nothing (and no pending Python error) when
    /// the stream cannot be had, fails, is not a string column, does not hold exactly
    /// `rows` values, or holds a text that is not UTF-8 (Arrow requires it, but a producer
    /// may skip the check; encoded, such texts could be neither decoded nor read back from
    /// a saved state): the caller then reads the column another way.
    static std::optional<ArrowTextColumn> open(PyObject* source, std::size_t rows);

    /// Visits the rows in order: `run32(data, offsets, count)` / `run64(...)` for each
    /// stretch of present values in the `string` / `large_string` layouts (text k spans
    /// data[offsets[k]] to data[offsets[k + 1]], so a stretch can be copied as one block),
    /// `text(std::string_view)` for each present value of a `string_view` column, and
    /// `missing()` for each null.
    template <class Run32, class Run64, class Text, class Missing>
    void for_each_run(Run32&& run32, Run64&& run64, Text&& text, Missing&& missing) const;

    /// At most the bytes that staging the column takes: every text's bytes, and 4 for each
    /// null, the longest marker it may stand as. 0 for string views, whose texts do not
    /// lie back to back.
    std::size_t staged_bytes_bound() const noexcept;

    /// The first row that holds a value (not a null), if any.
    std::optional<std::size_t> first_present() const noexcept;

    /// Appends the rows from `first` on to `texts` as for_each_run gives them, each present
    /// value's bytes and `marker` for each null, split over the worker pool (for the calling
    /// thread, not for pool tasks). False, with nothing appended, for string views and where
    /// `texts` cannot take them in place (see TextColumn::append_in_place).
    bool stage_in_parallel(std::size_t first, std::string_view marker, TextColumn& texts) const;

    /// The column as it lies, each null reading as `missing`, or as `leading_missing` before
    /// row `leading_rows` (the texts must outlive the result, as this column must): for a
    /// column of one chunk in the `large_string` layout, the one pandas' string dtypes use.
    /// Nothing for any other.
    std::optional<BorrowedTexts> borrow(std::string_view missing, std::size_t leading_rows,
                                        std::string_view leading_missing) const noexcept;

private:
    enum class Layout { string, large_string, string_view };

    struct ArrayDeleter {
        void operator()(ArrowArray* array) const noexcept {
            if (array->release != nullptr) array->release(array);
            delete array;
        }
    };
    using OwnedArray = std::unique_ptr<ArrowArray, ArrayDeleter>;

    static bool is_valid(const ArrowArray& chunk, std::int64_t i) noexcept {
        const auto* bits = static_cast<const std::uint8_t*>(chunk.buffers[0]);
        if (chunk.null_count == 0 || bits == nullptr) return true;
        const std::int64_t at = chunk.offset + i;
        return (bits[at >> 3] >> (at & 7)) & 1;
    }

    // A view is 16 bytes: its length, then the text itself when it is at most 12 bytes,
    // otherwise a 4-byte prefix, the data buffer's index and the offset in that buffer.
    static std::string_view view_text(const ArrowArray& chunk, std::int64_t i) noexcept {
        const char* view = static_cast<const char*>(chunk.buffers[1]) + (chunk.offset + i) * 16;
        std::int32_t length, buffer, offset;
        std::memcpy(&length, view, 4);
        if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        const auto* data = static_cast<const char*>(chunk.buffers[2 + buffer]);
        return {data + offset, static_cast<std::size_t>(length)};
    }

    static bool chunk_is_sound(const ArrowArray& chunk, Layout layout);
    // Whether every text, and whatever lies under nulls, is UTF-8 (split over the pool).
    bool texts_are_utf8() const;

    /// A chunk and where its first offset lies. Producers need not align their buffers
    /// (Arrow only recommends it; buffers rebuilt from a byte stream, as Dask's workers
    /// receive them, can sit at any address), and reading an int32/int64 through a
    /// misaligned pointer is undefined: such offsets are copied once to aligned memory.
    struct Chunk {
        OwnedArray array;
        const void* offsets = nullptr;  // the offset of row 0 of the chunk
        std::vector<std::int64_t> aligned;  // the copy, when the chunk's own are misaligned
    };
    static Chunk hold(OwnedArray array, Layout layout);

    Layout layout_ = Layout::string;
    std::vector<Chunk> chunks_;
};

template <class Run32, class Run64, class Text, class Missing>
void ArrowTextColumn::for_each_run(Run32&& run32, Run64&& run64, Text&& text, Missing&& missing) const {
    for (const Chunk& held : chunks_) {
        const ArrowArray& chunk = *held.array;
        if (layout_ == Layout::string_view) {
            for (std::int64_t i = 0; i < chunk.length; ++i) {
                if (is_valid(chunk, i)) {
                    text(view_text(chunk, i));
                } else {
                    missing();
                }
            }
            continue;
        }
        const char* data = chunk.buffers[2] != nullptr ? static_cast<const char*>(chunk.buffers[2]) : "";
        std::int64_t i = 0;
        while (i < chunk.length) {
            if (!is_valid(chunk, i)) {
                missing();
                ++i;
                continue;
            }
            std::int64_t end = i + 1;
            while (end < chunk.length && is_valid(chunk, end)) ++end;
            const auto count = static_cast<std::size_t>(end - i);
            if (layout_ == Layout::string) {
                run32(data, static_cast<const std::int32_t*>(held.offsets) + i, count);
            } else {
                run64(data, static_cast<const std::int64_t*>(held.offsets) + i, count);
            }
            i = end;
        }
    }
}

}  // namespace quorvel::convert
