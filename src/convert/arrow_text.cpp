// Reading an Arrow string column's chunks through the Arrow C stream interface.
#include "convert/arrow_text.hpp"

#include <string_view>

#include "capi/ref.hpp"

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
    return chunk.n_buffers == 3 && (chunk.buffers[1] != nullptr || chunk.length == 0);
}

std::optional<std::vector<TextChunk>> ArrowTextColumn::text_chunks() const {
    if (layout_ == Layout::string_view) return std::nullopt;
    for (const OwnedArray& owned : chunks_) {
        if (owned->buffers[2] == nullptr) return std::nullopt;  // no data: every text empty, read the plain way
    }
    std::vector<TextChunk> chunks;
    chunks.reserve(chunks_.size());
    for (const OwnedArray& owned : chunks_) {
        const ArrowArray& chunk = *owned;
        const auto* validity = chunk.null_count == 0 ? nullptr : static_cast<const std::uint8_t*>(chunk.buffers[0]);
        chunks.push_back({static_cast<const char*>(chunk.buffers[2]), chunk.buffers[1], layout_ == Layout::large_string,
                          validity, chunk.offset, static_cast<std::size_t>(chunk.length)});
    }
    return chunks;
}

std::size_t ArrowTextColumn::first_valid_row() const {
    std::size_t row = 0;
    for (const OwnedArray& owned : chunks_) {
        const ArrowArray& chunk = *owned;
        for (std::int64_t i = 0; i < chunk.length; ++i, ++row) {
            if (is_valid(chunk, i)) return row;
        }
    }
    return row;
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
        if (chunk->length != 0) column.chunks_.push_back(std::move(chunk));
    }
    if (total != rows) return std::nullopt;
    return column;
}

}  // namespace quorvel::convert
