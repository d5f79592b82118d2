// Writer and reader of the Encoder state bytes: little-endian fixed-width fields, no header.
#include "core/state_format.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fault.hpp"

namespace quorvel {

namespace {

// ---------------------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------------------

constexpr std::size_t kTagBytes = 1;
constexpr std::size_t kU32Bytes = 4;
constexpr std::size_t kU64Bytes = 8;

using CodeEntry = CodeTable::value_type;
using DecodeEntry = DecodeMap::value_type;
using EncodeColumn = FlatMap<std::size_t, CodeTable>::value_type;
using DecodeColumn = FlatMap<std::size_t, DecodeMap>::value_type;

// Map entries in ascending key order. The hash maps iterate in a per-map random order, so
// writing them as iterated would make two equal encoders write different bytes; sorting
// pointers keeps the texts where they are.
template <class Map, class Less>
std::vector<const typename Map::value_type*> sorted_entries(const Map& map, Less less) {
    std::vector<const typename Map::value_type*> entries;
    entries.reserve(map.size());
    for (const auto& entry : map) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(),
              [&](const auto* a, const auto* b) { return less(a->first, b->first); });
    return entries;
}

// std::string's ordering goes through char_traits<char>::compare, which compares as
// unsigned char: the byte-wise order that the code tables are numbered in.
constexpr auto by_text = [](const std::string& a, const std::string& b) { return a < b; };
constexpr auto by_number = [](std::uint64_t a, std::uint64_t b) { return a < b; };

std::size_t text_size(const std::string& text) { return kU64Bytes + text.size(); }

std::size_t code_table_size(const CodeTable& table) {
    std::size_t size = kU64Bytes;
    for (const auto& [text, code] : table) size += text_size(text) + kTagBytes + (code ? kU64Bytes : 0);
    return size;
}

std::size_t decode_map_size(const DecodeMap& map) {
    std::size_t size = kU64Bytes;
    for (const auto& [code, text] : map) size += kU64Bytes + text_size(text);
    return size;
}

std::size_t state_size(const EncoderState& state) {
    std::size_t size = kTagBytes;
    if (const auto& info = state.encoding_info) {
        size += kU64Bytes + kU64Bytes * info->object_columns.size();
        size += kU64Bytes;
        for (const auto& [column, table] : info->encode_maps) size += kU64Bytes + code_table_size(table);
        size += kU64Bytes;
        for (const auto& [column, map] : info->decode_maps) size += kU64Bytes + decode_map_size(map);
    }
    return size + kU32Bytes;
}

// Writes into a buffer already sized by state_size; the size pass and the write pass
// must agree, which write_state checks at the end.
class Writer {
public:
    explicit Writer(char* out) : out_(out) {}

    void byte(std::uint8_t value) { *out_++ = static_cast<char>(value); }

    void u32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i) byte(static_cast<std::uint8_t>(value >> (8 * i)));
    }

    void u64(std::uint64_t value) {
        for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>(value >> (8 * i)));
    }

    void size(std::size_t value) { u64(static_cast<std::uint64_t>(value)); }

    void text(const std::string& value) {
        size(value.size());
        std::memcpy(out_, value.data(), value.size());
        out_ += value.size();
    }

    void code_table(const CodeTable& table) {
        size(table.size());
        for (const CodeEntry* entry : sorted_entries(table, by_text)) {
            text(entry->first);
            if (entry->second) {
                byte(1);
                u64(*entry->second);
            } else {
                byte(0);
            }
        }
    }

    void decode_map(const DecodeMap& map) {
        size(map.size());
        for (const DecodeEntry* entry : sorted_entries(map, by_number)) {
            u64(entry->first);
            text(entry->second);
        }
    }

    void info(const EncodingInfo& info) {
        size(info.object_columns.size());
        for (std::size_t column : info.object_columns) size(column);
        size(info.encode_maps.size());
        for (const EncodeColumn* entry : sorted_entries(info.encode_maps, by_number)) {
            size(entry->first);
            code_table(entry->second);
        }
        size(info.decode_maps.size());
        for (const DecodeColumn* entry : sorted_entries(info.decode_maps, by_number)) {
            size(entry->first);
            decode_map(entry->second);
        }
    }

    const char* position() const { return out_; }

private:
    char* out_;
};

// ---------------------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------------------

constexpr std::uint64_t kMaxSize = std::numeric_limits<std::size_t>::max();

// A declared count only caps the first reservation at 1 MiB worth of elements; a state
// that lies about its counts then fails at the end of its bytes instead of allocating.
template <class Element>
std::size_t reservation(std::size_t declared) {
    constexpr std::size_t cap = std::size_t{1} << 20;
    return std::min(declared, cap / sizeof(Element));
}

// Checks UTF-8 by the well-formed byte sequences of Unicode. On an error, reports the
// offset of the sequence's first byte and, for a bad sequence, the length of its maximal
// valid prefix (at least 1); a text that ends inside a sequence that was valid so far is
// "incomplete" instead.
std::optional<std::string> utf8_error(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char second_lo = 0x80, second_hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) second_lo = 0xA0;  // overlong below U+0800
            if (lead == 0xED) second_hi = 0x9F;  // surrogates U+D800..U+DFFF
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) second_lo = 0x90;  // overlong below U+10000
            if (lead == 0xF4) second_hi = 0x8F;  // beyond U+10FFFF
        } else {
            // Stray continuation byte, C0/C1 (always overlong) or F5..FF.
            return "invalid utf-8 sequence of 1 bytes from index " + std::to_string(i);
        }
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= n) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
            const unsigned char lo = k == 1 ? second_lo : 0x80;
            const unsigned char hi = k == 1 ? second_hi : 0xBF;
            if (bytes[i + k] < lo || bytes[i + k] > hi)
                return "invalid utf-8 sequence of " + std::to_string(k) + " bytes from index " +
                       std::to_string(i);
        }
        i += length;
    }
    return std::nullopt;
}

// One forward pass over the bytes. Every read checks the bytes left before it advances;
// the first failure stores its text and makes every read function return false.
class Reader {
public:
    explicit Reader(std::string_view bytes)
        : pos_(reinterpret_cast<const unsigned char*>(bytes.data())), end_(pos_ + bytes.size()) {}

    const std::string& error() const { return error_; }

    bool byte(std::uint8_t& out) {
        if (!have(1)) return eof();
        out = *pos_++;
        return true;
    }

    bool u32(std::uint32_t& out) {
        if (!have(4)) return eof();
        out = 0;
        for (int i = 0; i < 4; ++i) out |= std::uint32_t{pos_[i]} << (8 * i);
        pos_ += 4;
        return true;
    }

    bool u64(std::uint64_t& out) {
        if (!have(8)) return eof();
        out = 0;
        for (int i = 0; i < 8; ++i) out |= std::uint64_t{pos_[i]} << (8 * i);
        pos_ += 8;
        return true;
    }

    // A count or a text length.
    bool size(std::size_t& out) {
        std::uint64_t value;
        if (!u64(value)) return false;
        if (value > kMaxSize)
            return fail("Invalid size " + std::to_string(value) + ": sizes must fit in a usize (0 to " +
                        std::to_string(kMaxSize) + ")");
        out = static_cast<std::size_t>(value);
        return true;
    }

    bool column(std::size_t& out) {
        std::uint64_t value;
        if (!u64(value)) return false;
        if (value > kMaxSize)
            return fail("invalid value: integer `" + std::to_string(value) + "`, expected usize");
        out = static_cast<std::size_t>(value);
        return true;
    }

    // A tag byte of an optional value: false for 0, true for 1.
    bool tag(bool& present) {
        std::uint8_t value;
        if (!byte(value)) return false;
        if (value > 1) return fail("tag for enum is not valid, found " + std::to_string(value));
        present = value == 1;
        return true;
    }

    bool text(std::string& out) {
        std::size_t length;
        if (!size(length)) return false;
        if (!have(length)) return fail("io error: ");
        const std::string_view bytes(reinterpret_cast<const char*>(pos_), length);
        if (auto error = utf8_error(bytes)) return fail("string is not valid utf8: " + *error);
        out.assign(bytes);
        pos_ += length;
        return true;
    }

    bool code_table(CodeTable& table) {
        std::size_t count;
        if (!size(count)) return false;
        table.reserve(reservation<CodeEntry>(count));
        for (std::size_t i = 0; i < count; ++i) {
            std::string text_value;
            bool present;
            std::uint64_t code = 0;
            if (!text(text_value) || !tag(present) || (present && !u64(code))) return false;
            table.insert_or_assign(std::move(text_value),
                                   present ? std::optional<std::uint64_t>(code) : std::nullopt);
        }
        return true;
    }

    bool decode_map(DecodeMap& map) {
        std::size_t count;
        if (!size(count)) return false;
        map.reserve(reservation<DecodeEntry>(count));
        for (std::size_t i = 0; i < count; ++i) {
            std::uint64_t code;
            std::string text_value;
            if (!u64(code) || !text(text_value)) return false;
            map.insert_or_assign(code, std::move(text_value));
        }
        return true;
    }

    bool info(EncodingInfo& info) {
        std::size_t count;
        if (!size(count)) return false;
        info.object_columns.reserve(reservation<std::size_t>(count));
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t index;
            if (!column(index)) return false;
            info.object_columns.push_back(index);
        }

        if (!size(count)) return false;
        info.encode_maps.reserve(reservation<EncodeColumn>(count));
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t index;
            CodeTable table;
            if (!column(index) || !code_table(table)) return false;
            info.encode_maps.insert_or_assign(index, std::move(table));
        }

        if (!size(count)) return false;
        info.decode_maps.reserve(reservation<DecodeColumn>(count));
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t index;
            DecodeMap map;
            if (!column(index) || !decode_map(map)) return false;
            info.decode_maps.insert_or_assign(index, std::move(map));
        }
        return true;
    }

    bool strategy(EncodingStrategy& out) {
        std::uint32_t index;
        if (!u32(index)) return false;
        if (index != 0)
            return fail("invalid value: integer `" + std::to_string(index) +
                        "`, expected variant index 0 <= i < 1");
        out = EncodingStrategy::Label;
        return true;
    }

private:
    bool have(std::size_t count) const { return static_cast<std::size_t>(end_ - pos_) >= count; }
    bool eof() { return fail("io error: unexpected end of file"); }

    bool fail(std::string text) {
        error_ = std::move(text);
        return false;
    }

    const unsigned char* pos_;
    const unsigned char* end_;
    std::string error_;
};

}  // namespace

std::string write_state(const EncoderState& state) {
    const std::size_t size = state_size(state);
    std::string out;
    out.resize(size);
    Writer writer(out.data());
    writer.byte(state.encoding_info ? 1 : 0);
    if (state.encoding_info) writer.info(*state.encoding_info);
    writer.u32(static_cast<std::uint32_t>(state.encoding_strat));
    if (writer.position() != out.data() + size) fault("state writer disagrees with its size pass");
    return out;
}

std::variant<EncoderState, std::string> read_state(std::string_view bytes) {
    Reader reader(bytes);
    EncoderState state;
    bool present;
    if (!reader.tag(present)) return reader.error();
    if (present) {
        EncodingInfo info;
        if (!reader.info(info)) return reader.error();
        state.encoding_info = std::move(info);
    }
    if (!reader.strategy(state.encoding_strat)) return reader.error();
    return state;
}

}  // namespace quorvel
