// Reading an Arrow string column's chunks through the Arrow C stream interface.
#include "convert/arrow_text.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "capi/ref.hpp"
#include "core/parallel_range.hpp"
#include "core/utf8.hpp"

namespace quorvel::convert {
namespace {

using py::Ref;

struct SchemaGuard {
    ArrowSchema schema{};
    ~SchemaGuard() {
        if (schema.release != nullptr) schema.release(&schema);
    }
};

}  // namespace

// The buffers a chunk of the layout must have, present where its rows need them.
bool ArrowTextColumn::chunk_is_sound(const ArrowArray& chunk, Layout layout) {
    if (chunk.length < 0 || chunk.offset < 0 || chunk.n_children != 0 || chunk.buffers == nullptr) return false;
    if (chunk.null_count > 0 && chunk.buffers[0] == nullptr) return false;  // nulls without a bitmap
    if (layout == Layout::string_view) {
        // Validity, views, the data buffers, then the data buffers' sizes.
        if (chunk.n_buffers < 3) return false;
        for (std::int64_t b = 1; b < chunk.n_buffers - 1; ++b) {
            if (chunk.buffers[b] == nullptr && chunk.length != 0) return false;
        }
        return true;
    }
    // Data may be absent when every text is empty; offsets only when there are no rows.
    if (chunk.n_buffers != 3 || (chunk.buffers[1] == nullptr && chunk.length != 0)) return false;
    if (chunk.buffers[2] != nullptr || chunk.length == 0) return true;
    // Without data, the offsets of the first and the last row may not differ.
    const std::size_t width = layout == Layout::string ? sizeof(std::int32_t) : sizeof(std::int64_t);
    const char* first = static_cast<const char*>(chunk.buffers[1]) + static_cast<std::size_t>(chunk.offset) * width;
    const char* last = first + static_cast<std::size_t>(chunk.length) * width;
    return std::memcmp(first, last, width) == 0;
}

// The chunk with its offsets at an address their type may be read from.
ArrowTextColumn::Chunk ArrowTextColumn::hold(OwnedArray array, Layout layout) {
    Chunk held;
    if (layout != Layout::string_view) {
        const std::size_t width = layout == Layout::string ? sizeof(std::int32_t) : sizeof(std::int64_t);
        const char* first = static_cast<const char*>(array->buffers[1]) + static_cast<std::size_t>(array->offset) * width;
        held.offsets = first;
        if (reinterpret_cast<std::uintptr_t>(first) % width != 0) {
            // length + 1 offsets; an int64 vector is aligned for either width.
            const std::size_t bytes = (static_cast<std::size_t>(array->length) + 1) * width;
            held.aligned.resize((bytes + sizeof(std::int64_t) - 1) / sizeof(std::int64_t));
            std::memcpy(held.aligned.data(), first, bytes);
            held.offsets = held.aligned.data();
        }
    }
    held.array = std::move(array);
    return held;
}

std::size_t ArrowTextColumn::staged_bytes_bound() const noexcept {
    if (layout_ == Layout::string_view) return 0;
    std::size_t total = 0;
    for (const Chunk& held : chunks_) {
        const auto n = static_cast<std::size_t>(held.array->length);
        const auto span = [&](const auto* offsets) { return static_cast<std::size_t>(offsets[n] - offsets[0]); };
        total += layout_ == Layout::string ? span(static_cast<const std::int32_t*>(held.offsets))
                                           : span(static_cast<const std::int64_t*>(held.offsets));
        // A producer may leave the null count unknown (-1).
        total += 4 * (held.array->null_count < 0 ? n : static_cast<std::size_t>(held.array->null_count));
    }
    return total;
}

std::optional<std::size_t> ArrowTextColumn::first_present() const noexcept {
    std::size_t row = 0;
    for (const Chunk& held : chunks_) {
        const ArrowArray& chunk = *held.array;
        for (std::int64_t i = 0; i < chunk.length; ++i) {
            if (is_valid(chunk, i)) return row + static_cast<std::size_t>(i);
        }
        row += static_cast<std::size_t>(chunk.length);
    }
    return std::nullopt;
}

std::optional<BorrowedTexts> ArrowTextColumn::borrow(std::string_view missing, std::size_t leading_rows,
                                                     std::string_view leading_missing) const noexcept {
    if (layout_ != Layout::large_string || chunks_.size() != 1) return std::nullopt;
    const ArrowArray& chunk = *chunks_[0].array;
    const auto* validity = static_cast<const std::uint8_t*>(chunk.buffers[0]);
    if (chunk.null_count == 0) validity = nullptr;  // as is_valid reads it
    const char* data = chunk.buffers[2] != nullptr ? static_cast<const char*>(chunk.buffers[2]) : "";
    return BorrowedTexts(data, static_cast<const std::int64_t*>(chunks_[0].offsets), validity,
                         static_cast<std::size_t>(chunk.offset), static_cast<std::size_t>(chunk.length), missing,
                         leading_rows, leading_missing);
}

namespace {

// A stretch of one chunk's rows, staged by one task.
struct Piece {
    const ArrowArray* chunk;
    const void* offsets;     // of the chunk's row 0
    std::int64_t begin, end;  // rows of the chunk
    std::size_t bytes = 0;    // staged, markers included
    std::size_t at = 0;       // where its bytes start among those appended
    std::size_t row = 0;      // its first row among those appended
};

constexpr std::int64_t piece_rows = std::int64_t{1} << 16;

}  // namespace

bool ArrowTextColumn::stage_in_parallel(std::size_t first, std::string_view marker, TextColumn& texts) const {
    if (layout_ == Layout::string_view) return false;
    const bool large = layout_ == Layout::large_string;
    std::vector<Piece> pieces;
    std::size_t row = 0;
    for (const Chunk& held : chunks_) {
        const ArrowArray& chunk = *held.array;
        const auto length = static_cast<std::size_t>(chunk.length);
        if (row + length > first) {
            for (auto begin = static_cast<std::int64_t>(first > row ? first - row : 0); begin < chunk.length;
                 begin += piece_rows) {
                pieces.push_back({&chunk, held.offsets, begin, std::min(chunk.length, begin + piece_rows)});
            }
        }
        row += length;
    }
    // The offset of text k of a chunk; its length is that of k + 1 less this.
    const auto offset = [large](const Piece& piece, std::int64_t k) {
        return large ? static_cast<std::size_t>(static_cast<const std::int64_t*>(piece.offsets)[k])
                     : static_cast<std::size_t>(static_cast<const std::int32_t*>(piece.offsets)[k]);
    };
    const auto bytes_of = [&](Piece& piece) {
        const ArrowArray& chunk = *piece.chunk;
        if (chunk.null_count == 0) return offset(piece, piece.end) - offset(piece, piece.begin);
        std::size_t bytes = 0;
        for (std::int64_t k = piece.begin; k < piece.end; ++k) {
            bytes += is_valid(chunk, k) ? offset(piece, k + 1) - offset(piece, k) : marker.size();
        }
        return bytes;
    };
    for_each_range(pieces.size(), 2, [&](std::size_t p0, std::size_t p1) {
        for (std::size_t p = p0; p < p1; ++p) pieces[p].bytes = bytes_of(pieces[p]);
    });
    std::size_t bytes = 0, rows = 0;
    for (Piece& piece : pieces) {
        piece.at = bytes;
        piece.row = rows;
        bytes += piece.bytes;
        rows += static_cast<std::size_t>(piece.end - piece.begin);
    }
    const std::optional<TextColumn::InPlace> to = texts.append_in_place(rows, bytes);
    if (!to) return false;
    for_each_range(pieces.size(), 2, [&](std::size_t p0, std::size_t p1) {
        for (std::size_t p = p0; p < p1; ++p) {
            const Piece& piece = pieces[p];
            const ArrowArray& chunk = *piece.chunk;
            const char* data = chunk.buffers[2] != nullptr ? static_cast<const char*>(chunk.buffers[2]) : "";
            char* out = to->bytes + piece.at;
            std::uint32_t* ends = to->ends + piece.row;
            std::size_t end = to->start + piece.at;  // of the text before
            if (chunk.null_count == 0) {
                const std::size_t from = offset(piece, piece.begin);
                std::memcpy(out, data + from, offset(piece, piece.end) - from);
                for (std::int64_t k = piece.begin; k < piece.end; ++k) {
                    *ends++ = static_cast<std::uint32_t>(end + offset(piece, k + 1) - from);
                }
                continue;
            }
            for (std::int64_t k = piece.begin; k < piece.end; ++k) {
                std::string_view text = marker;
                if (is_valid(chunk, k)) text = {data + offset(piece, k), offset(piece, k + 1) - offset(piece, k)};
                copy_bytes(out, text.data(), text.size());
                out += text.size();
                end += text.size();
                *ends++ = static_cast<std::uint32_t>(end);
            }
        }
    });
    return true;
}

bool ArrowTextColumn::texts_are_utf8() const {
    if (layout_ == Layout::string_view) {
        for (const Chunk& held : chunks_) {
            const ArrowArray& chunk = *held.array;
            for (std::int64_t i = 0; i < chunk.length; ++i) {
                if (is_valid(chunk, i) && utf8_error(view_text(chunk, i))) return false;
            }
        }
        return true;
    }
    const bool large = layout_ == Layout::large_string;
    std::vector<Piece> pieces;
    for (const Chunk& held : chunks_) {
        for (std::int64_t begin = 0; begin < held.array->length; begin += piece_rows) {
            pieces.push_back({held.array.get(), held.offsets, begin, std::min(held.array->length, begin + piece_rows)});
        }
    }
    const auto offset = [large](const Piece& piece, std::int64_t k) {
        return large ? static_cast<std::size_t>(static_cast<const std::int64_t*>(piece.offsets)[k])
                     : static_cast<std::size_t>(static_cast<const std::int32_t*>(piece.offsets)[k]);
    };
    // A piece's rows lie back to back: their bytes are checked at once, ASCII (the usual
    // case) in one quick pass. Other bytes may also make a character out of the end of one
    // row and the start of the next, which neither holds alone: so no row may start with
    // a byte that continues a character. The bytes under nulls are checked too; a producer
    // leaves nothing there, or its junk, and then pandas reads the column instead.
    const auto piece_is_utf8 = [&](const Piece& piece) {
        const ArrowArray& chunk = *piece.chunk;
        const char* data = chunk.buffers[2] != nullptr ? static_cast<const char*>(chunk.buffers[2]) : "";
        const std::size_t from = offset(piece, piece.begin), to = offset(piece, piece.end);
        if (to < from) return false;
        const std::string_view bytes(data + from, to - from);
        if (is_ascii(bytes)) return true;
        if (utf8_error(bytes)) return false;
        for (std::int64_t k = piece.begin; k < piece.end; ++k) {
            const std::size_t start = offset(piece, k);
            if (start < from || start > to || (start < to && continues_utf8(data[start]))) return false;
        }
        return true;
    };
    std::atomic<bool> sound{true};
    for_each_range(pieces.size(), 2, [&](std::size_t p0, std::size_t p1) {
        for (std::size_t p = p0; p < p1 && sound.load(std::memory_order_relaxed); ++p) {
            if (!piece_is_utf8(pieces[p])) sound.store(false, std::memory_order_relaxed);
        }
    });
    return sound.load();
}

std::optional<ArrowTextColumn> ArrowTextColumn::open(PyObject* source, std::size_t rows) {
    Ref capsule = Ref::steal(PyObject_CallMethod(source, "__arrow_c_stream__", nullptr));
    if (!capsule || !PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
        PyErr_Clear();
        return std::nullopt;
    }
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (stream == nullptr || stream->release == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    ArrowTextColumn column;
    {
        SchemaGuard guard;
        if (stream->get_schema(stream, &guard.schema) != 0 || guard.schema.format == nullptr) return std::nullopt;
        const std::string_view format = guard.schema.format;
        if (guard.schema.n_children != 0 || guard.schema.dictionary != nullptr) return std::nullopt;
        if (format == "u") {
            column.layout_ = Layout::string;
        } else if (format == "U") {
            column.layout_ = Layout::large_string;
        } else if (format == "vu") {
            column.layout_ = Layout::string_view;
        } else {
            return std::nullopt;
        }
    }
    std::size_t total = 0;
    for (;;) {
        OwnedArray chunk(new ArrowArray{});
        if (stream->get_next(stream, chunk.get()) != 0) return std::nullopt;
        if (chunk->release == nullptr) break;  // end of stream
        if (!chunk_is_sound(*chunk, column.layout_)) return std::nullopt;
        total += static_cast<std::size_t>(chunk->length);
        if (chunk->length != 0) column.chunks_.push_back(hold(std::move(chunk), column.layout_));
    }
    if (total != rows || !column.texts_are_utf8()) return std::nullopt;
    return column;
}

}  // namespace quorvel::convert
