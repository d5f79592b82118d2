// Writer and reader of the Encoder state bytes: little-endian fixed-width fields, no header.
#include "core/state_format.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tbb/parallel_invoke.h>

#include "core/fault.hpp"
#include "core/worker_pool.hpp"

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

// The outer maps hold one entry per text column: few, sorted plainly.
template <class Map>
std::vector<const typename Map::value_type*> column_order(const Map& map) {
    std::vector<const typename Map::value_type*> entries;
    entries.reserve(map.size());
    for (const auto& entry : map) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    return entries;
}

std::size_t code_table_size(const CodeTable& table) {
    std::size_t size = kU64Bytes;
    for (const auto& [text, code] : table) size += kU64Bytes + text.size() + kTagBytes + (code ? kU64Bytes : 0);
    return size;
}

std::size_t decode_map_size(const DecodeMap& map) {
    std::size_t size = kU64Bytes;
    for (const auto& [code, text] : map) size += kU64Bytes + kU64Bytes + text.size();
    return size;
}

// Little-endian stores that return the position after the value.
char* put_u64(char* out, std::uint64_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &value, kU64Bytes);
    } else {
        for (std::size_t i = 0; i < kU64Bytes; ++i) out[i] = static_cast<char>(value >> (8 * i));
    }
    return out + kU64Bytes;
}

char* put_u32(char* out, std::uint32_t value) {
    for (std::size_t i = 0; i < kU32Bytes; ++i) out[i] = static_cast<char>(value >> (8 * i));
    return out + kU32Bytes;
}

char* put_text(char* out, std::string_view text) {
    out = put_u64(out, text.size());
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* put_code_table(char* out, const CodeTable& table) {
    out = put_u64(out, table.size());
    for (const auto& [text, code] : table) {  // held in byte order of the texts
        out = put_text(out, text);
        if (code) {
            *out++ = 1;
            out = put_u64(out, *code);
        } else {
            *out++ = 0;
        }
    }
    return out;
}

char* put_decode_map(char* out, const DecodeMap& map) {
    out = put_u64(out, map.size());
    for (const auto& [code, text] : map) {  // held in code order
        out = put_u64(out, code);
        out = put_text(out, text);
    }
    return out;
}

char* put_info(char* out, const EncodingInfo& info) {
    out = put_u64(out, info.object_columns.size());
    for (std::size_t column : info.object_columns) out = put_u64(out, column);
    out = put_u64(out, info.encode_maps.size());
    for (const EncodeColumn* entry : column_order(info.encode_maps)) {
        out = put_u64(out, entry->first);
        out = put_code_table(out, entry->second);
    }
    out = put_u64(out, info.decode_maps.size());
    for (const DecodeColumn* entry : column_order(info.decode_maps)) {
        out = put_u64(out, entry->first);
        out = put_decode_map(out, entry->second);
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------------------

constexpr std::uint64_t kMaxSize = std::numeric_limits<std::size_t>::max();

// Room reserved for a declared count. A count is never trusted: the first reservation is
// at most 1 MiB worth of elements (and never more than the bytes left could hold). Past
// it, a container grows only as elements arrive, doubling its room, so its memory stays
// within a small factor of the entries actually read: a state that lies about a count
// fails at the end of its bytes, having used memory for the entries it really held.
template <class Element>
std::size_t reservation(std::size_t declared, std::size_t bytes_left, std::size_t min_entry_bytes) {
    constexpr std::size_t cap = std::size_t{1} << 20;
    return std::min({declared, bytes_left / min_entry_bytes, cap / sizeof(Element)});
}

// Smallest encoded entry of each list or map: a column index; a column index and an
// inner count; a text length and a tag byte; a code and a text length.
constexpr std::size_t kMinColumnBytes = kU64Bytes;
constexpr std::size_t kMinOuterEntryBytes = 2 * kU64Bytes;
constexpr std::size_t kMinCodeEntryBytes = kU64Bytes + kTagBytes;
constexpr std::size_t kMinDecodeEntryBytes = 2 * kU64Bytes;

// Checks UTF-8 by the well-formed byte sequences of Unicode. On an error, reports the
// offset of the sequence's first byte and, for a bad sequence, the length of its maximal
// valid prefix (at least 1); a text that ends inside a sequence that was valid so far is
// "incomplete" instead.
std::optional<std::string> utf8_error(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII runs eight bytes at a time.
        while (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            if (word & 0x8080808080808080u) break;
            i += 8;
        }
        if (i == n) break;
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
    explicit Reader(std::string_view bytes, std::size_t start = 0)
        : pos_(reinterpret_cast<const unsigned char*>(bytes.data()) + start),
          end_(reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size()) {}

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

    // A text's bytes, checked, without copying them.
    bool text(std::string_view& out) {
        std::size_t length;
        if (!size(length)) return false;
        if (!have(length)) return fail("io error: ");
        const std::string_view bytes(reinterpret_cast<const char*>(pos_), length);
        if (auto error = utf8_error(bytes)) return fail("string is not valid utf8: " + *error);
        out = bytes;
        pos_ += length;
        return true;
    }

    bool code_table(CodeTable& table, TextStore& texts) {
        std::size_t count;
        if (!size(count)) return false;
        CodeTable::entries_type entries;
        entries.reserve(reservation<CodeEntry>(count, bytes_left(), kMinCodeEntryBytes));
        for (std::size_t i = 0; i < count; ++i) {  // beyond the reservation, grows by doubling
            std::string_view text_value;
            bool present;
            std::uint64_t code = 0;
            if (!text(text_value) || !tag(present) || (present && !u64(code))) return false;
            entries.emplace_back(texts.add(text_value), present ? std::optional<std::uint64_t>(code) : std::nullopt);
        }
        table = CodeTable(std::move(entries));  // a repeated text keeps the later code
        return true;
    }

    bool decode_map(DecodeMap& map, TextStore& texts) {
        std::size_t count;
        if (!size(count)) return false;
        DecodeMap::entries_type entries;
        entries.reserve(reservation<DecodeEntry>(count, bytes_left(), kMinDecodeEntryBytes));
        for (std::size_t i = 0; i < count; ++i) {  // beyond the reservation, grows by doubling
            std::uint64_t code;
            std::string_view text_value;
            if (!u64(code) || !text(text_value)) return false;
            entries.emplace_back(code, texts.add(text_value));
        }
        map = DecodeMap(std::move(entries));  // a repeated code keeps the later text
        return true;
    }

    bool object_columns(EncodingInfo& info) {
        std::size_t count;
        if (!size(count)) return false;
        info.object_columns.reserve(reservation<std::size_t>(count, bytes_left(), kMinColumnBytes));
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t index;
            if (!column(index)) return false;
            info.object_columns.push_back(index);
        }
        return true;
    }

    bool encode_maps(EncodingInfo& info, TextStore& texts) {
        std::size_t count;
        if (!size(count)) return false;
        info.encode_maps.reserve(reservation<EncodeColumn>(count, bytes_left(), kMinOuterEntryBytes));
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t index;
            CodeTable table;
            if (!column(index) || !code_table(table, texts)) return false;
            info.encode_maps.insert_or_assign(index, std::move(table));
        }
        return true;
    }

    bool decode_maps(EncodingInfo& info, TextStore& texts) {
        std::size_t count;
        if (!size(count)) return false;
        info.decode_maps.reserve(reservation<DecodeColumn>(count, bytes_left(), kMinOuterEntryBytes));
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t index;
            DecodeMap map;
            if (!column(index) || !decode_map(map, texts)) return false;
            info.decode_maps.insert_or_assign(index, std::move(map));
        }
        return true;
    }

    bool info(EncodingInfo& info) {
        return object_columns(info) && encode_maps(info, info.texts) && decode_maps(info, info.texts);
    }

    // Walks over the encode maps checking only the framing (counts, text lengths, tags,
    // codes): no UTF-8 check, nothing stored. Used to find where the decode maps start.
    bool skip_encode_maps() {
        std::size_t columns;
        if (!size(columns)) return false;
        for (std::size_t i = 0; i < columns; ++i) {
            std::size_t index, count;
            if (!column(index) || !size(count)) return false;
            for (std::size_t k = 0; k < count; ++k) {
                std::size_t length;
                bool present;
                std::uint64_t code;
                if (!size(length)) return false;
                if (!have(length)) return fail("io error: ");
                pos_ += length;
                if (!tag(present) || (present && !u64(code))) return false;
            }
        }
        return true;
    }

    std::size_t offset(const unsigned char* start) const { return static_cast<std::size_t>(pos_ - start); }

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
    std::size_t bytes_left() const { return static_cast<std::size_t>(end_ - pos_); }
    bool have(std::size_t count) const { return bytes_left() >= count; }
    bool eof() { return fail("io error: unexpected end of file"); }

    bool fail(std::string text) {
        error_ = std::move(text);
        return false;
    }

    const unsigned char* pos_;
    const unsigned char* end_;
    std::string error_;
};

// The reader proper: one forward pass; the first failure ends it with its error text.
std::variant<EncoderState, std::string> read_in_order(std::string_view bytes) {
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

// Both halves of a split read must hold at least this many bytes.
constexpr std::size_t kSplitMinBytes = std::size_t{1} << 20;

// A large state is read as two halves at once on the worker pool: the encode maps and
// the decode maps (with the strategy). A walk over the framing of the encode maps finds
// where the decode maps start. Returns nothing for a small state and for any failure;
// the caller then reads in order, which also gives the first error's text.
std::optional<EncoderState> read_in_two_halves(std::string_view bytes) {
    if (bytes.size() < 2 * kSplitMinBytes) return std::nullopt;
    const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
    Reader head(bytes);
    bool present;
    EncodingInfo info;
    if (!head.tag(present) || !present || !head.object_columns(info)) return std::nullopt;
    const std::size_t encode_at = head.offset(start);
    if (!head.skip_encode_maps()) return std::nullopt;
    const std::size_t decode_at = head.offset(start);
    if (decode_at - encode_at < kSplitMinBytes || bytes.size() - decode_at < kSplitMinBytes) return std::nullopt;

    Reader encode_reader(bytes, encode_at);
    Reader decode_reader(bytes, decode_at);
    EncoderState state;
    bool encode_ok = false;
    bool decode_ok = false;
    TextStore decode_texts;  // each half stores its texts apart; joined below
    run_on_pool([&] {
        tbb::parallel_invoke([&] { encode_ok = encode_reader.encode_maps(info, info.texts); },
                             [&] {
                                 decode_ok = decode_reader.decode_maps(info, decode_texts) &&
                                             decode_reader.strategy(state.encoding_strat);
                             });
    });
    if (!encode_ok || !decode_ok || encode_reader.offset(start) != decode_at) return std::nullopt;
    info.texts.adopt(std::move(decode_texts));
    state.encoding_info = std::move(info);
    return state;
}

}  // namespace

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

void write_state(const EncoderState& state, std::span<char> out) {
    char* position = out.data();
    *position++ = state.encoding_info ? 1 : 0;
    if (state.encoding_info) position = put_info(position, *state.encoding_info);
    position = put_u32(position, static_cast<std::uint32_t>(state.encoding_strat));
    if (position != out.data() + out.size()) fault("state writer disagrees with its size pass");
}

std::string write_state(const EncoderState& state) {
    std::string out(state_size(state), '\0');
    write_state(state, std::span<char>(out.data(), out.size()));
    return out;
}

std::variant<EncoderState, std::string> read_state(std::string_view bytes) {
    if (auto state = read_in_two_halves(bytes)) return std::move(*state);
    return read_in_order(bytes);
}

}  // namespace quorvel
