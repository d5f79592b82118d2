// Reading an Arrow string column's chunks through the Arrow C stream interface.
#include "convert/arrow_text.hpp"

#include <cstdint>
#include <cstring>
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
    if (total != rows) return std::nullopt;
    return column;
}

}  // namespace quorvel::convert
