// Writer and reader of the Encoder state bytes: little-endian fixed-width fields, no header.
#include "core/state_format.hpp"
#include "core/utf8.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <atomic>
#include <type_traits>

#include <tbb/parallel_for.h>

#include "core/buffer.hpp"
#include "core/fault.hpp"
#include "core/text_column.hpp"
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
    copy_bytes(out, text.data(), text.size());
    return out + text.size();
}

// Entries per piece of a table: the unit in which large tables are sized, written and
// read in parallel.
constexpr std::size_t kPieceEntries = std::size_t{1} << 14;
// Below this many entries in all, a state is written and read by the calling thread: the
// pool would cost more than it saves.
constexpr std::size_t kParallelMinEntries = std::size_t{1} << 16;

// A run of entries [first, last) of one table: its byte size, then where it is written.
struct WritePiece {
    const CodeTable* table = nullptr;  // one of table and map is set
    const DecodeMap* map = nullptr;
    std::size_t first = 0;
    std::size_t last = 0;
    std::size_t size = 0;
    char* out = nullptr;
};

std::size_t piece_size(const WritePiece& piece) {
    std::size_t size = 0;
    if (piece.table != nullptr) {
        for (auto it = piece.table->begin() + piece.first; it != piece.table->begin() + piece.last; ++it)
            size += kU64Bytes + it->first.size() + kTagBytes + (it->second ? kU64Bytes : 0);
    } else {
        for (auto it = piece.map->begin() + piece.first; it != piece.map->begin() + piece.last; ++it)
            size += kU64Bytes + kU64Bytes + it->second.size();
    }
    return size;
}

void write_piece(const WritePiece& piece) {
    char* out = piece.out;
    if (piece.table != nullptr) {
        for (auto it = piece.table->begin() + piece.first; it != piece.table->begin() + piece.last; ++it) {
            out = put_text(out, it->first);
            if (it->second) {
                *out++ = 1;
                out = put_u64(out, *it->second);
            } else {
                *out++ = 0;
            }
        }
    } else {
        for (auto it = piece.map->begin() + piece.first; it != piece.map->begin() + piece.last; ++it) {
            out = put_u64(out, it->first);
            out = put_text(out, it->second);
        }
    }
    if (out != piece.out + piece.size) fault("state writer disagrees with its size pass");
}

template <class Map>
void add_pieces(std::vector<WritePiece>& pieces, const Map& map) {
    for (std::size_t first = 0; first < map.size(); first += kPieceEntries) {
        WritePiece piece;
        if constexpr (std::is_same_v<Map, CodeTable>) {
            piece.table = &map;
        } else {
            piece.map = &map;
        }
        piece.first = first;
        piece.last = std::min(map.size(), first + kPieceEntries);
        pieces.push_back(piece);
    }
}

// The entries of every table in the order they are written: the code tables by column,
// then the decode maps by column; each table in its own (key) order.
std::vector<WritePiece> pieces_of(const EncodingInfo& info) {
    std::vector<WritePiece> pieces;
    for (const EncodeColumn* entry : column_order(info.encode_maps)) add_pieces(pieces, entry->second);
    for (const DecodeColumn* entry : column_order(info.decode_maps)) add_pieces(pieces, entry->second);
    return pieces;
}

// Writes everything but the entries, giving each piece its place: the same walk as the
// size of the state. Returns the position after the last byte.
char* put_frame(char* out, const EncodingInfo& info, std::vector<WritePiece>& pieces) {
    auto piece = pieces.begin();
    auto place_entries = [&](char* at, std::size_t count) {
        for (std::size_t placed = 0; placed < count; placed += piece->last - piece->first, ++piece) {
            piece->out = at;
            at += piece->size;
        }
        return at;
    };
    out = put_u64(out, info.object_columns.size());
    for (std::size_t column : info.object_columns) out = put_u64(out, column);
    out = put_u64(out, info.encode_maps.size());
    for (const EncodeColumn* entry : column_order(info.encode_maps)) {
        out = put_u64(out, entry->first);
        out = put_u64(out, entry->second.size());
        out = place_entries(out, entry->second.size());
    }
    out = put_u64(out, info.decode_maps.size());
    for (const DecodeColumn* entry : column_order(info.decode_maps)) {
        out = put_u64(out, entry->first);
        out = put_u64(out, entry->second.size());
        out = place_entries(out, entry->second.size());
    }
    return out;
}

// Runs fn(i) for every i below n: on the pool when `parallel`, else on this thread.
template <class Fn>
void for_each_index(bool parallel, std::size_t n, const Fn& fn) {
    if (!parallel) {
        for (std::size_t i = 0; i < n; ++i) fn(i);
        return;
    }
    run_on_pool([&] { tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) { fn(i); }); });
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

// A little-endian u64 from unaligned bytes, assembled in a local: one load on a
// little-endian machine.
inline std::uint64_t load_u64(const unsigned char* at) {
    std::uint64_t value = 0;
    std::memcpy(&value, at, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

// A stored text of a code table, by code, for the decode map of the same column to share;
// a trivial type, so that an array of them is allocated without being written (KnownText{}
// is the null one).
struct KnownText {
    const char* data;
    std::size_t size;
    std::string_view text() const noexcept { return {data, size}; }
};
static_assert(std::is_trivially_default_constructible_v<KnownText>);

// One table as found by the framing walk: its column key, its entry count (every entry
// present in the bytes), where each of its pieces starts and where it ends.
struct TablePlan {
    std::size_t column = 0;
    std::size_t count = 0;
    std::vector<std::size_t> starts;
    std::size_t end = 0;
};

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
        out = load_u64(pos_);
        pos_ += 8;
        return true;
    }

    // A count or a text length.
    bool size(std::size_t& out) {
        std::uint64_t value = 0;
        if (!u64(value)) return false;
        if (value > kMaxSize)
            return fail("Invalid size " + std::to_string(value) + ": sizes must fit in a usize (0 to " +
                        std::to_string(kMaxSize) + ")");
        out = static_cast<std::size_t>(value);
        return true;
    }

    bool column(std::size_t& out) {
        std::uint64_t value = 0;
        if (!u64(value)) return false;
        if (value > kMaxSize)
            return fail("invalid value: integer `" + std::to_string(value) + "`, expected usize");
        out = static_cast<std::size_t>(value);
        return true;
    }

    // A tag byte of an optional value: false for 0, true for 1.
    bool tag(bool& present) {
        std::uint8_t value = 0;
        if (!byte(value)) return false;
        if (value > 1) return fail("tag for enum is not valid, found " + std::to_string(value));
        present = value == 1;
        return true;
    }

    // A text's bytes, checked, without copying them.
    bool text(std::string_view& out) {
        std::size_t length = 0;
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
            std::uint64_t code = 0;
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

    // Walks the framing of a list of tables (the encode maps, or the decode maps): column
    // keys, counts, text lengths, tags and codes, without a UTF-8 check and storing no
    // entry. Each table is noted with the offsets where its pieces start, so its count is
    // known to be backed by entries really present before any room is reserved for them.
    bool walk_tables(std::vector<TablePlan>& plans, bool decode, const unsigned char* origin) {
        std::size_t columns;
        if (!size(columns)) return false;
        for (std::size_t i = 0; i < columns; ++i) {
            TablePlan plan;
            if (!column(plan.column) || !size(plan.count)) return false;
            // Raw steps over the entries, each field's room checked before it is read:
            // this walk runs on the calling thread before any piece can start. Any fault
            // ends it; the in-order read then names the fault.
            for (std::size_t k = 0; k < plan.count; ++k) {
                if (k % kPieceEntries == 0) plan.starts.push_back(offset(origin));
                if (decode && !skip(kU64Bytes)) return false;
                if (!have(kU64Bytes)) return false;
                const std::uint64_t length = load_u64(pos_);
                pos_ += kU64Bytes;
                if (!skip(length)) return false;
                if (!decode) {
                    if (!have(kTagBytes) || *pos_ > 1) return false;
                    const bool present = *pos_++ == 1;
                    if (present && !skip(kU64Bytes)) return false;
                }
            }
            plan.end = offset(origin);
            plans.push_back(std::move(plan));
        }
        return true;
    }

    // Reads the code-table entries first..first+count-1 into out[0..count), storing their
    // texts. known[first..first+count) is this piece's to fill: known[c] becomes the
    // stored text of an entry with code c in that range, or stays null. (In a learned
    // table codes follow entry order, so nearly every code lands in its own piece's range,
    // and pieces never write the same slot.)
    bool code_entries(CodeEntry* out, std::size_t first, std::size_t count, TextStore& texts, KnownText* known) {
        for (std::size_t c = first; c < first + count; ++c) known[c] = KnownText{};
        for (std::size_t i = 0; i < count; ++i) {
            std::string_view text_value;
            bool present;
            std::uint64_t code = 0;
            if (!text(text_value) || !tag(present) || (present && !u64(code))) return false;
            const std::string_view stored = texts.add(text_value);
            out[i] = CodeEntry(stored, present ? std::optional<std::uint64_t>(code) : std::nullopt);
            if (present && code >= first && code - first < count) known[code] = KnownText{stored.data(), stored.size()};
        }
        return true;
    }

    // Reads `count` decode-map entries into out[0..count), storing their texts. A text
    // equal to `known[code]` (a text that the column's code table gives that code, as a
    // learned state has it) shares that stored text: it was checked when it was read.
    bool decode_entries(DecodeEntry* out, std::size_t count, TextStore& texts, std::span<const KnownText> known) {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint64_t code = 0;
            std::size_t length = 0;
            if (!u64(code) || !size(length)) return false;
            if (!have(length)) return fail("io error: ");
            const std::string_view bytes(reinterpret_cast<const char*>(pos_), length);
            if (code < known.size() && known[code].data != nullptr && same_bytes(known[code].text(), bytes)) {
                out[i] = DecodeEntry(code, known[code].text());
            } else {
                if (auto error = utf8_error(bytes)) return fail("string is not valid utf8: " + *error);
                out[i] = DecodeEntry(code, texts.add(bytes));
            }
            pos_ += length;
        }
        return true;
    }

    std::size_t offset(const unsigned char* start) const { return static_cast<std::size_t>(pos_ - start); }

    bool strategy(EncodingStrategy& out) {
        std::uint32_t index = 0;
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
    // Steps over `count` bytes if there are as many left.
    bool skip(std::uint64_t count) {
        if (count > bytes_left()) return false;
        pos_ += count;
        return true;
    }
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

// A state with many entries is read in pieces on the worker pool. A walk over the framing
// finds every table and the start of each of its pieces, so each table gets room for
// exactly the entries present, and the pieces (texts checked and stored, entries filled)
// are read at once. Returns nothing for a small state and for any failure; the caller
// then reads in order, which also gives the first error's text.
std::optional<EncoderState> read_in_pieces(std::string_view bytes) {
    if (bytes.size() < kParallelMinEntries * kMinDecodeEntryBytes) return std::nullopt;
    const auto* origin = reinterpret_cast<const unsigned char*>(bytes.data());
    Reader head(bytes);
    bool present;
    EncodingInfo info;
    std::vector<TablePlan> code_plans, decode_plans;
    EncoderState state;
    if (!head.tag(present) || !present || !head.object_columns(info) ||
        !head.walk_tables(code_plans, false, origin) || !head.walk_tables(decode_plans, true, origin) ||
        !head.strategy(state.encoding_strat)) {
        return std::nullopt;
    }

    // Every piece of every table: which table, its first entry, its count and its bytes.
    struct Piece {
        bool decode;
        std::size_t table, first, count, begin, end;
    };
    std::vector<Piece> pieces;
    auto add_pieces = [&pieces](const std::vector<TablePlan>& plans, bool decode) {
        for (std::size_t t = 0; t < plans.size(); ++t) {
            const TablePlan& plan = plans[t];
            for (std::size_t p = 0; p < plan.starts.size(); ++p) {
                const std::size_t first = p * kPieceEntries;
                const std::size_t end = p + 1 < plan.starts.size() ? plan.starts[p + 1] : plan.end;
                pieces.push_back({decode, t, first, std::min(kPieceEntries, plan.count - first), plan.starts[p], end});
            }
        }
    };
    add_pieces(code_plans, false);
    add_pieces(decode_plans, true);

    std::vector<CodeTable::entries_type> code_entries(code_plans.size());
    std::vector<DecodeMap::entries_type> decode_entries(decode_plans.size());
    for (std::size_t t = 0; t < code_plans.size(); ++t) code_entries[t].resize(code_plans[t].count);
    for (std::size_t t = 0; t < decode_plans.size(); ++t) decode_entries[t].resize(decode_plans[t].count);
    std::vector<TextStore> stores(pieces.size());  // one per piece; joined below
    // By code table: its stored texts by code (codes up to its entry count), filled by
    // its pieces; by decode map: those of the last code table of its column.
    std::vector<std::unique_ptr<KnownText[]>> known_by_table(code_plans.size());
    for (std::size_t t = 0; t < code_plans.size(); ++t)
        known_by_table[t] = std::make_unique_for_overwrite<KnownText[]>(code_plans[t].count);
    std::vector<std::span<const KnownText>> known(decode_plans.size());
    for (std::size_t d = 0; d < decode_plans.size(); ++d) {
        for (std::size_t t = 0; t < code_plans.size(); ++t) {
            if (code_plans[t].column == decode_plans[d].column)
                known[d] = std::span<const KnownText>(known_by_table[t].get(), code_plans[t].count);
        }
    }
    std::atomic<bool> failed{false};
    const bool parallel = pieces.size() > 1;
    auto read_pieces = [&](bool decode) {
        for_each_index(parallel, pieces.size(), [&](std::size_t i) {
            const Piece& piece = pieces[i];
            if (piece.decode != decode || failed.load(std::memory_order_relaxed)) return;
            stores[i].reserve(piece.end - piece.begin);  // the texts are part of these bytes
            Reader reader(bytes, piece.begin);
            const bool ok = decode ? reader.decode_entries(decode_entries[piece.table].data() + piece.first, piece.count,
                                                           stores[i], known[piece.table])
                                   : reader.code_entries(code_entries[piece.table].data() + piece.first, piece.first,
                                                         piece.count, stores[i], known_by_table[piece.table].get());
            if (!ok) failed.store(true, std::memory_order_relaxed);
        });
    };

    // The code tables first, each in key order (a repeated key keeps its later entry); of
    // repeated columns, the later table counts.
    read_pieces(false);
    if (failed.load()) return std::nullopt;
    std::vector<CodeTable> tables(code_plans.size());
    for_each_index(parallel, tables.size(), [&](std::size_t t) { tables[t] = CodeTable(std::move(code_entries[t])); });
    info.encode_maps.reserve(tables.size());
    for (std::size_t t = 0; t < tables.size(); ++t) info.encode_maps.insert_or_assign(code_plans[t].column, std::move(tables[t]));

    // Then the decode maps, sharing the texts their column's code table holds already.
    read_pieces(true);
    if (failed.load()) return std::nullopt;
    for (TextStore& store : stores) info.texts.adopt(std::move(store));
    std::vector<DecodeMap> maps(decode_plans.size());
    for_each_index(parallel, maps.size(), [&](std::size_t t) { maps[t] = DecodeMap(std::move(decode_entries[t])); });
    info.decode_maps.reserve(maps.size());
    for (std::size_t t = 0; t < maps.size(); ++t) info.decode_maps.insert_or_assign(decode_plans[t].column, std::move(maps[t]));
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

void write_state(const EncoderState& state, const std::function<char*(std::size_t)>& allocate) {
    if (!state.encoding_info) {
        char* out = allocate(kTagBytes + kU32Bytes);
        *out++ = 0;
        put_u32(out, static_cast<std::uint32_t>(state.encoding_strat));
        return;
    }
    const EncodingInfo& info = *state.encoding_info;
    std::vector<WritePiece> pieces = pieces_of(info);
    std::size_t entries = 0;
    for (const WritePiece& piece : pieces) entries += piece.last - piece.first;
    const bool parallel = entries >= kParallelMinEntries;
    for_each_index(parallel, pieces.size(), [&](std::size_t i) { pieces[i].size = piece_size(pieces[i]); });
    std::size_t size = kTagBytes + kU64Bytes * (3 + info.object_columns.size()) +
                       2 * kU64Bytes * (info.encode_maps.size() + info.decode_maps.size()) + kU32Bytes;
    for (const WritePiece& piece : pieces) size += piece.size;

    char* const start = allocate(size);
    prefer_huge_pages(start, size);  // filled at once, on the pool where large
    char* out = start;
    *out++ = 1;
    out = put_frame(out, info, pieces);
    out = put_u32(out, static_cast<std::uint32_t>(state.encoding_strat));
    if (out != start + size) fault("state writer disagrees with its size pass");
    for_each_index(parallel, pieces.size(), [&](std::size_t i) { write_piece(pieces[i]); });
}

void write_state(const EncoderState& state, std::span<char> out) {
    write_state(state, [&](std::size_t size) {
        if (size != out.size()) fault("state writer disagrees with its size pass");
        return out.data();
    });
}

std::string write_state(const EncoderState& state) {
    std::string out;
    write_state(state, [&](std::size_t size) {
        out.resize(size);
        return out.data();
    });
    return out;
}

std::variant<EncoderState, std::string> read_state(std::string_view bytes) {
    if (auto state = read_in_pieces(bytes)) return std::move(*state);
    return read_in_order(bytes);
}

}  // namespace quorvel
