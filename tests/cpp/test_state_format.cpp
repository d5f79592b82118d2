// Tests of the Encoder state bytes: layout, reader error texts and memory behaviour.
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/state_format.hpp"

using quorvel::CodeTable;
using quorvel::DecodeMap;
using quorvel::EncoderState;
using quorvel::EncodingInfo;
using quorvel::read_state;
using quorvel::write_state;
using quorvel::testing::Failure;

namespace {

// ---------------------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------------------

std::string from_hex(std::string_view hex) {
    std::string out;
    int high = -1;
    for (char c : hex) {
        if (c == ' ') continue;
        const int nibble = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        if (high < 0) {
            high = nibble;
        } else {
            out.push_back(static_cast<char>(high * 16 + nibble));
            high = -1;
        }
    }
    if (high >= 0) throw Failure("odd hex digit count in test data");
    return out;
}

// Builds state bytes field by field, little-endian.
struct Bytes {
    std::string data;

    Bytes& u8(std::uint8_t v) {
        data.push_back(static_cast<char>(v));
        return *this;
    }
    Bytes& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& text(std::string_view t) {
        u64(t.size());
        data.append(t);
        return *this;
    }
    Bytes& raw(std::string_view r) {
        data.append(r);
        return *this;
    }
};

EncoderState read_ok(std::string_view bytes) {
    auto result = read_state(bytes);
    if (auto* error = std::get_if<std::string>(&result)) throw Failure("unexpected read error: " + *error);
    return std::get<EncoderState>(std::move(result));
}

std::string read_error(std::string_view bytes) {
    auto result = read_state(bytes);
    if (auto* error = std::get_if<std::string>(&result)) return *error;
    return "<read succeeded>";
}

// The maps hold views: texts of hand-built tables are kept here for the whole test process.
std::string_view keep(std::string_view text) {
    static quorvel::TextStore store;
    return store.add(text);
}

bool same_info(const EncodingInfo& a, const EncodingInfo& b) {
    return a.object_columns == b.object_columns && a.encode_maps == b.encode_maps &&
           a.decode_maps == b.decode_maps;
}

bool same_state(const EncoderState& a, const EncoderState& b) {
    if (a.encoding_strat != b.encoding_strat) return false;
    if (a.encoding_info.has_value() != b.encoding_info.has_value()) return false;
    return !a.encoding_info || same_info(*a.encoding_info, *b.encoding_info);
}

// The learned encoding of one text column (column 1) holding "b", "a" and "nan".
EncodingInfo example_info() {
    EncodingInfo info;
    info.object_columns = {1};
    info.encode_maps.emplace(1, CodeTable({{"nan", std::nullopt}, {"b", 1}, {"a", 0}}));
    info.decode_maps.emplace(1, DecodeMap({{1, "b"}, {0, "a"}}));
    return info;
}

// The 151-byte example state, field by field, so that tests can tell which field a byte
// offset falls into.
enum class Field { Fixed, Tag, TextLength, TextBody, Strategy };

struct Row {
    Field field;
    const char* hex;
};

using Rows = std::vector<Row>;

const Rows kHead = {
    {Field::Tag, "01"},                               // encoding_info present
    {Field::Fixed, "01 00 00 00 00 00 00 00"},        // object_columns: count 1
    {Field::Fixed, "01 00 00 00 00 00 00 00"},        // column index 1
    {Field::Fixed, "01 00 00 00 00 00 00 00"},        // encode_maps: count 1
    {Field::Fixed, "01 00 00 00 00 00 00 00"},        // key: column 1
    {Field::Fixed, "03 00 00 00 00 00 00 00"},        // code table: count 3
};
const Rows kCodeA = {
    {Field::TextLength, "01 00 00 00 00 00 00 00"}, {Field::TextBody, "61"},
    {Field::Tag, "01"}, {Field::Fixed, "00 00 00 00 00 00 00 00"},
};
const Rows kCodeNan = {
    {Field::TextLength, "03 00 00 00 00 00 00 00"}, {Field::TextBody, "6e 61 6e"},
    {Field::Tag, "00"},
};
const Rows kCodeB = {
    {Field::TextLength, "01 00 00 00 00 00 00 00"}, {Field::TextBody, "62"},
    {Field::Tag, "01"}, {Field::Fixed, "01 00 00 00 00 00 00 00"},
};
const Rows kMiddle = {
    {Field::Fixed, "01 00 00 00 00 00 00 00"},        // decode_maps: count 1
    {Field::Fixed, "01 00 00 00 00 00 00 00"},        // key: column 1
    {Field::Fixed, "02 00 00 00 00 00 00 00"},        // decode map: count 2
};
const Rows kDecode0 = {
    {Field::Fixed, "00 00 00 00 00 00 00 00"},
    {Field::TextLength, "01 00 00 00 00 00 00 00"}, {Field::TextBody, "61"},
};
const Rows kDecode1 = {
    {Field::Fixed, "01 00 00 00 00 00 00 00"},
    {Field::TextLength, "01 00 00 00 00 00 00 00"}, {Field::TextBody, "62"},
};
const Rows kTail = {{Field::Strategy, "00 00 00 00"}};

Rows example_rows(const std::array<const Rows*, 3>& codes, const std::array<const Rows*, 2>& decodes) {
    Rows rows = kHead;
    for (const Rows* part : codes) rows.insert(rows.end(), part->begin(), part->end());
    rows.insert(rows.end(), kMiddle.begin(), kMiddle.end());
    for (const Rows* part : decodes) rows.insert(rows.end(), part->begin(), part->end());
    rows.insert(rows.end(), kTail.begin(), kTail.end());
    return rows;
}

// The order in which the example lists its entries.
Rows listed_example() { return example_rows({&kCodeA, &kCodeNan, &kCodeB}, {&kDecode0, &kDecode1}); }

std::string join(const Rows& rows) {
    std::string out;
    for (const Row& row : rows) out += from_hex(row.hex);
    return out;
}

// Every byte offset of the joined rows, with the field it belongs to.
std::vector<Field> field_of_offset(const Rows& rows) {
    std::vector<Field> fields;
    for (const Row& row : rows) fields.insert(fields.end(), from_hex(row.hex).size(), row.field);
    return fields;
}

// The size of a state by the published size rule, computed apart from the writer.
std::size_t size_by_formula(const EncoderState& state) {
    if (!state.encoding_info) return 5;
    const EncodingInfo& info = *state.encoding_info;
    std::size_t encode = 8;
    for (const auto& [column, table] : info.encode_maps) {
        encode += 8 + 8;
        for (const auto& [text, code] : table) encode += 8 + text.size() + 1 + (code ? 8 : 0);
    }
    std::size_t decode = 8;
    for (const auto& [column, map] : info.decode_maps) {
        decode += 8 + 8;
        for (const auto& [code, text] : map) decode += 8 + 8 + text.size();
    }
    return 1 + (8 + 8 * info.object_columns.size()) + encode + decode + 4;
}

// Random records: valid UTF-8 texts (empty, ASCII, 2-, 3- and 4-byte characters), codes
// across the whole u64 range, and column lists that are unsorted, repeated or that name
// columns without maps, since the format does not check consistency.
EncodingInfo random_info(std::mt19937_64& rng) {
    static const std::array<const char*, 9> pieces = {"a", "b", "z", "\xc3\xa9", "\xe2\x82\xac",
                                                      "\xf0\x9f\x98\x80", "nan", " ", "<NA>"};
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    auto text = [&] {
        std::string t;
        for (std::size_t i = pick(5); i > 0; --i) t += pieces[pick(pieces.size())];
        return t;
    };
    auto code = [&]() -> std::uint64_t { return pick(4) == 0 ? rng() : pick(50); };

    EncodingInfo info;
    for (std::size_t i = pick(6); i > 0; --i) info.object_columns.push_back(pick(3) == 0 ? rng() : pick(10));
    for (std::size_t i = pick(5); i > 0; --i) {
        CodeTable::entries_type entries;  // a repeated text: the later code wins
        for (std::size_t j = pick(12); j > 0; --j)
            entries.emplace_back(keep(text()), pick(3) == 0 ? std::nullopt : std::optional<std::uint64_t>(code()));
        info.encode_maps.insert_or_assign(pick(20), CodeTable(std::move(entries)));
    }
    for (std::size_t i = pick(5); i > 0; --i) {
        DecodeMap::entries_type entries;  // a repeated code: the later text wins
        for (std::size_t j = pick(12); j > 0; --j) entries.emplace_back(code(), keep(text()));
        info.decode_maps.insert_or_assign(pick(3) == 0 ? rng() : pick(20), DecodeMap(std::move(entries)));
    }
    return info;
}

// Rebuilds a record by inserting every entry in reverse iteration order into fresh maps,
// which draw fresh hash seeds: equal content, different in-memory order.
EncodingInfo reinserted(const EncodingInfo& info) {
    EncodingInfo copy;
    copy.object_columns = info.object_columns;
    std::vector<std::pair<std::size_t, const CodeTable*>> tables;
    for (const auto& [column, table] : info.encode_maps) tables.emplace_back(column, &table);
    std::reverse(tables.begin(), tables.end());
    for (const auto& [column, table] : tables) {
        CodeTable::entries_type entries(table->begin(), table->end());
        std::reverse(entries.begin(), entries.end());
        copy.encode_maps.emplace(column, CodeTable(std::move(entries)));
    }
    std::vector<std::pair<std::size_t, const DecodeMap*>> maps;
    for (const auto& [column, map] : info.decode_maps) maps.emplace_back(column, &map);
    std::reverse(maps.begin(), maps.end());
    for (const auto& [column, map] : maps) {
        DecodeMap::entries_type entries(map->begin(), map->end());
        std::reverse(entries.begin(), entries.end());
        copy.decode_maps.emplace(column, DecodeMap(std::move(entries)));
    }
    return copy;
}

// Lowers the soft address-space limit of this test process for its lifetime, so that
// an allocation driven by a declared count (rather than by bytes present) fails with
// bad_alloc instead of passing unnoticed.
class AddressSpaceCap {
public:
    explicit AddressSpaceCap(std::size_t headroom) {
        if (getrlimit(RLIMIT_AS, &saved_) != 0) throw Failure("getrlimit failed");
        rlimit cap = saved_;
        const rlim_t wanted = current_address_space() + headroom;
        if (saved_.rlim_max == RLIM_INFINITY || wanted < saved_.rlim_max) cap.rlim_cur = wanted;
        if (setrlimit(RLIMIT_AS, &cap) != 0) throw Failure("setrlimit failed");
    }
    ~AddressSpaceCap() { setrlimit(RLIMIT_AS, &saved_); }

private:
    static rlim_t current_address_space() {
        std::ifstream status("/proc/self/status");
        std::string key;
        while (status >> key) {
            if (key == "VmSize:") {
                rlim_t kib;
                status >> kib;
                return kib * 1024;
            }
        }
        throw Failure("no VmSize in /proc/self/status");
    }

    rlimit saved_{};
};

constexpr const char* kEof = "io error: unexpected end of file";

}  // namespace

// ---------------------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------------------

TEST_CASE(state_worked_example_reads_back_in_every_entry_order) {
    const std::array<const Rows*, 3> code_parts = {&kCodeA, &kCodeB, &kCodeNan};
    const std::array<const Rows*, 2> decode_parts = {&kDecode0, &kDecode1};
    std::array<int, 3> code_order = {0, 1, 2};
    int orders = 0;
    do {
        std::array<int, 2> decode_order = {0, 1};
        do {
            const std::string bytes =
                join(example_rows({code_parts[code_order[0]], code_parts[code_order[1]], code_parts[code_order[2]]},
                                  {decode_parts[decode_order[0]], decode_parts[decode_order[1]]}));
            CHECK_EQ(bytes.size(), std::size_t{151});
            const EncoderState state = read_ok(bytes);
            CHECK(state.encoding_strat == quorvel::EncodingStrategy::Label);
            CHECK(state.encoding_info.has_value());
            CHECK(same_info(*state.encoding_info, example_info()));
            ++orders;
        } while (std::next_permutation(decode_order.begin(), decode_order.end()));
    } while (std::next_permutation(code_order.begin(), code_order.end()));
    CHECK_EQ(orders, 12);
}

TEST_CASE(state_writer_sorts_entries_into_the_example_layout) {
    // Byte-wise text order puts "nan" after "b"; codes ascend.
    const std::string expected = join(example_rows({&kCodeA, &kCodeB, &kCodeNan}, {&kDecode0, &kDecode1}));
    CHECK_EQ(expected.size(), std::size_t{151});
    EncoderState state;
    state.encoding_info = example_info();
    CHECK_EQ(write_state(state), expected);
}

TEST_CASE(state_sorting_is_by_unsigned_bytes_and_numeric_keys) {
    // Texts whose first bytes differ in the high bit and codes/columns whose little-endian
    // bytes would sort differently from their numeric values.
    EncodingInfo info;
    info.object_columns = {256, 1};
    // é: 0xC3 sorts after every ASCII byte
    info.encode_maps.emplace(256, CodeTable({{"\xc3\xa9", 2}, {"z", 1}, {"", 0}}));
    info.encode_maps.emplace(1, CodeTable{});
    info.decode_maps.emplace(256, DecodeMap({{256, "x"}, {1, "y"}}));
    info.decode_maps.emplace(1, DecodeMap{});
    EncoderState state;
    state.encoding_info = std::move(info);

    Bytes expected;
    expected.u8(1).u64(2).u64(256).u64(1);
    expected.u64(2).u64(1).u64(0).u64(256).u64(3);
    expected.text("").u8(1).u64(0).text("z").u8(1).u64(1).text("\xc3\xa9").u8(1).u64(2);
    expected.u64(2).u64(1).u64(0).u64(256).u64(2).u64(1).text("y").u64(256).text("x");
    expected.u32(0);
    CHECK_EQ(write_state(state), expected.data);
}

TEST_CASE(state_encoders_without_encoding_write_five_zero_bytes) {
    CHECK_EQ(write_state(EncoderState{}), std::string(5, '\0'));
    const EncoderState read = read_ok(std::string(5, '\0'));
    CHECK(!read.encoding_info.has_value());

    // An empty record is present, and so distinct from an absent one.
    EncoderState empty;
    empty.encoding_info = EncodingInfo{};
    const std::string bytes = write_state(empty);
    Bytes expected;
    expected.u8(1).u64(0).u64(0).u64(0).u32(0);
    CHECK_EQ(bytes, expected.data);
    CHECK(read_ok(bytes).encoding_info.has_value());
}

TEST_CASE(state_size_formula_equals_writer_length) {
    std::mt19937_64 rng(20260101);
    CHECK_EQ(write_state(EncoderState{}).size(), size_by_formula(EncoderState{}));
    for (int round = 0; round < 200; ++round) {
        EncoderState state;
        state.encoding_info = random_info(rng);
        CHECK_EQ(write_state(state).size(), size_by_formula(state));
    }
}

TEST_CASE(state_round_trip_preserves_content_and_bytes) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 200; ++round) {
        EncoderState state;
        state.encoding_info = random_info(rng);
        const std::string bytes = write_state(state);
        const EncoderState back = read_ok(bytes);
        CHECK(same_state(back, state));
        CHECK_EQ(write_state(back), bytes);
    }
}

TEST_CASE(state_equal_encoders_write_equal_bytes) {
    std::mt19937_64 rng(99);
    for (int round = 0; round < 100; ++round) {
        EncoderState a;
        a.encoding_info = random_info(rng);
        EncoderState b;
        b.encoding_info = reinserted(*a.encoding_info);
        CHECK(same_state(a, b));
        CHECK_EQ(write_state(a), write_state(b));
    }
}

TEST_CASE(state_rereading_any_entry_order_gives_equal_content) {
    // Reading the listed order and writing it back reorders the entries; both read equal.
    const std::string listed = join(listed_example());
    const std::string rewritten = write_state(read_ok(listed));
    CHECK(rewritten != listed);
    CHECK(same_state(read_ok(rewritten), read_ok(listed)));
}

// ---------------------------------------------------------------------------------------
// Reader edge cases
// ---------------------------------------------------------------------------------------

TEST_CASE(state_reader_error_texts) {
    const bool narrow = sizeof(std::size_t) < sizeof(std::uint64_t);
    const std::uint64_t beyond = std::uint64_t{1} << 40;
    const std::string max_size = std::to_string(std::numeric_limits<std::size_t>::max());
    const std::string invalid_size =
        "Invalid size 1099511627776: sizes must fit in a usize (0 to " + max_size + ")";

    struct Case {
        const char* name;
        std::string bytes;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"empty", "", kEof},
        {"tag only", from_hex("00"), kEof},
        {"strategy cut short", from_hex("00 00 00 00"), kEof},
        {"bad info tag", from_hex("02 00 00 00 00"), "tag for enum is not valid, found 2"},
        {"tag 255", from_hex("ff 00 00 00 00"), "tag for enum is not valid, found 255"},
        {"strategy 1", from_hex("00 01 00 00 00"), "invalid value: integer `1`, expected variant index 0 <= i < 1"},
        {"strategy max", from_hex("00 ff ff ff ff"),
         "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"},
        {"million code entries, then nothing", Bytes().u8(1).u64(1).u64(1).u64(1).u64(1).u64(1000000).data, kEof},
        {"text longer than the rest", Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).u64(4).raw("abc").data, "io error: "},
        {"text length cut short", Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).raw("\x01\x00").data, kEof},
        {"bad code tag", Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).text("a").u8(7).data,
         "tag for enum is not valid, found 7"},
        {"code cut short", Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).text("a").u8(1).raw("\x01").data, kEof},
        {"count 2^40, then nothing", Bytes().u8(1).u64(beyond).data, narrow ? invalid_size : kEof},
        {"text length 2^40", Bytes().u8(1).u64(0).u64(0).u64(1).u64(5).u64(1).u64(0).u64(beyond).data,
         narrow ? invalid_size : "io error: "},
        {"column index 2^40", Bytes().u8(1).u64(1).u64(beyond).data,
         narrow ? "invalid value: integer `1099511627776`, expected usize" : kEof},
        {"decode map text cut", Bytes().u8(1).u64(0).u64(0).u64(1).u64(3).u64(1).u64(9).u64(2).raw("x").data,
         "io error: "},
    };
    for (const Case& c : cases) {
        const std::string got = read_error(c.bytes);
        if (got != c.error) throw Failure(std::string(c.name) + ": got \"" + got + "\", expected \"" + c.error + "\"");
    }
}

TEST_CASE(state_reader_ignores_trailing_bytes) {
    for (const std::string& tail : {from_hex("00"), from_hex("ff ff ff"), std::string(100, '\x02')}) {
        CHECK(!read_ok(std::string(5, '\0') + tail).encoding_info.has_value());
        const EncoderState state = read_ok(join(listed_example()) + tail);
        CHECK(same_info(*state.encoding_info, example_info()));
    }
}

TEST_CASE(state_reader_accepts_inconsistent_records) {
    // Unsorted and repeated columns, a column without any map, keys that match nothing,
    // codes anywhere in the u64 range, columns up to the largest u64 on 64-bit builds.
    const std::uint64_t far_column = sizeof(std::size_t) == 8 ? ~std::uint64_t{0} : 77;
    Bytes b;
    b.u8(1).u64(4).u64(5).u64(2).u64(5).u64(far_column);
    b.u64(1).u64(9).u64(1).text("x").u8(1).u64(~std::uint64_t{0});
    b.u64(1).u64(3).u64(1).u64(123456789).text("y");
    b.u32(0);
    const EncoderState state = read_ok(b.data);
    const EncodingInfo& info = *state.encoding_info;
    CHECK(info.object_columns == std::vector<std::size_t>({5, 2, 5, static_cast<std::size_t>(far_column)}));
    CHECK_EQ(info.encode_maps.size(), std::size_t{1});
    CHECK(info.encode_maps.at(9).at("x") == std::optional<std::uint64_t>(~std::uint64_t{0}));
    CHECK_EQ(info.decode_maps.at(3).at(123456789), "y");
    CHECK(info.decode_maps.find(5) == info.decode_maps.end());
}

TEST_CASE(state_reader_keeps_the_later_of_repeated_keys) {
    Bytes b;
    b.u8(1).u64(0);
    b.u64(2);
    b.u64(4).u64(2).text("a").u8(1).u64(0).text("a").u8(0);  // inner repeat: later "no code"
    b.u64(4).u64(1).text("b").u8(1).u64(7);                   // outer repeat replaces the table
    b.u64(1).u64(4).u64(3).u64(0).text("p").u64(1).text("q").u64(0).text("r");
    b.u32(0);
    const EncoderState state = read_ok(b.data);
    const EncodingInfo& info = *state.encoding_info;
    CHECK_EQ(info.encode_maps.size(), std::size_t{1});
    const CodeTable& table = info.encode_maps.at(4);
    CHECK_EQ(table.size(), std::size_t{1});
    CHECK(table.at("b") == std::optional<std::uint64_t>(7));
    const DecodeMap& decode = info.decode_maps.at(4);
    CHECK_EQ(decode.size(), std::size_t{2});
    CHECK_EQ(decode.at(0), "r");
    CHECK_EQ(decode.at(1), "q");

    Bytes inner;
    inner.u8(1).u64(0).u64(1).u64(0).u64(2).text("a").u8(0).text("a").u8(1).u64(3).u64(0).u32(0);
    CHECK(read_ok(inner.data).encoding_info->encode_maps.at(0).at("a") == std::optional<std::uint64_t>(3));
}

TEST_CASE(state_every_prefix_of_the_example_fails_at_the_right_field) {
    const Rows rows = listed_example();
    const std::string bytes = join(rows);
    const std::vector<Field> fields = field_of_offset(rows);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        // The reader needs the byte at `cut`; it fails in the field that byte belongs to.
        const std::string expected = fields[cut] == Field::TextBody ? "io error: " : kEof;
        const std::string got = read_error(std::string_view(bytes).substr(0, cut));
        if (got != expected)
            throw Failure("prefix of " + std::to_string(cut) + " bytes: got \"" + got + "\", expected \"" +
                          expected + "\"");
    }
    CHECK(read_ok(bytes).encoding_info.has_value());
}

TEST_CASE(state_every_prefix_of_random_states_fails) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 20; ++round) {
        EncoderState state;
        state.encoding_info = random_info(rng);
        const std::string bytes = write_state(state);
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
            const std::string got = read_error(std::string_view(bytes).substr(0, cut));
            CHECK(got == kEof || got == "io error: ");
        }
    }
}

TEST_CASE(state_corrupted_tag_bytes_are_reported) {
    const Rows rows = listed_example();
    const std::string bytes = join(rows);
    const std::vector<Field> fields = field_of_offset(rows);
    int tags = 0;
    for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
        if (fields[offset] != Field::Tag) continue;
        ++tags;
        for (int value = 2; value < 256; ++value) {
            std::string corrupt = bytes;
            corrupt[offset] = static_cast<char>(value);
            CHECK_EQ(read_error(corrupt), "tag for enum is not valid, found " + std::to_string(value));
        }
    }
    CHECK_EQ(tags, 4);

    // A flipped code tag changes the layout: a present code read as absent leaves its
    // eight code bytes to be read as the next text's length.
    std::string flipped = bytes;
    // Here "a" keeps no code, the code's zero bytes become an empty text, and the first
    // length byte of "nan" (3) lands where that entry's tag belongs.
    flipped[bytes.find('a') + 1] = '\0';
    CHECK_EQ(read_error(flipped), "tag for enum is not valid, found 3");
}

TEST_CASE(state_corrupted_strategy_bytes_are_reported) {
    const std::string bytes = join(listed_example());
    const std::size_t at = bytes.size() - 4;
    for (int byte = 0; byte < 4; ++byte) {
        for (std::uint32_t value : {1u, 0x80u, 0xffu}) {
            std::string corrupt = bytes;
            corrupt[at + byte] = static_cast<char>(value);
            const std::uint32_t index = value << (8 * byte);
            CHECK_EQ(read_error(corrupt),
                     "invalid value: integer `" + std::to_string(index) + "`, expected variant index 0 <= i < 1");
        }
    }
}

TEST_CASE(state_huge_declared_counts_fail_without_big_allocations) {
    // With the address space capped a little above what the process already uses, any
    // reservation that followed a declared count would throw bad_alloc here.
    const AddressSpaceCap cap(std::size_t{128} << 20);
    for (std::uint64_t count : {std::uint64_t{1000000000}, std::uint64_t{1000000000000}}) {
        const std::vector<std::string> states = {
            Bytes().u8(1).u64(count).u64(7).data,                                        // object_columns
            Bytes().u8(1).u64(0).u64(count).u64(3).data,                                 // encode_maps
            Bytes().u8(1).u64(0).u64(1).u64(3).u64(count).text("a").u8(0).data,          // code table
            Bytes().u8(1).u64(0).u64(0).u64(count).u64(3).data,                          // decode_maps
            Bytes().u8(1).u64(0).u64(0).u64(1).u64(3).u64(count).u64(0).text("a").data,  // decode map
        };
        for (const std::string& state : states) CHECK_EQ(read_error(state), kEof);
        // A text length is checked against the bytes left before anything is copied.
        CHECK_EQ(read_error(Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).u64(count).raw("abc").data), "io error: ");
    }
}

// ---------------------------------------------------------------------------------------
// UTF-8
// ---------------------------------------------------------------------------------------

TEST_CASE(state_texts_must_be_well_formed_utf8) {
    struct Case {
        std::string text;
        std::string error;  // empty: the text is valid
    };
    auto bad = [](int length, int index) {
        return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " + std::to_string(index);
    };
    auto incomplete = [](int index) { return "incomplete utf-8 byte sequence from index " + std::to_string(index); };
    const std::vector<Case> cases = {
        // Valid boundaries of each sequence length.
        {"", ""},
        {"plain ascii \x7f", ""},
        {"\xc2\x80\xdf\xbf", ""},
        {"\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf", ""},
        {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xf3\xbf\xbf\xbf", ""},
        // Bytes that never start a sequence.
        {"\x80", bad(1, 0)},
        {"ab\xbf", bad(1, 2)},
        {"\xc0\x80", bad(1, 0)},
        {"\xc1\xbf", bad(1, 0)},
        {"\xf5\x80\x80\x80", bad(1, 0)},
        {"x\xff", bad(1, 1)},
        {"\xe2\x82\xac\x80", bad(1, 3)},
        // A lead byte followed by a byte outside its allowed second-byte range.
        {"\xc2\x41", bad(1, 0)},
        {"\xe0\x80\x80", bad(1, 0)},
        {"\xe0\x9f\xbf", bad(1, 0)},
        {"\xed\xa0\x80", bad(1, 0)},
        {"\xed\xbf\xbf", bad(1, 0)},
        {"\xf0\x8f\xbf\xbf", bad(1, 0)},
        {"\xf4\x90\x80\x80", bad(1, 0)},
        {"\xe1\xc0", bad(1, 0)},
        {"\xe0\x80", bad(1, 0)},  // ends, but is already invalid: not incomplete
        // A valid start broken by a later byte: the valid prefix's length.
        {"\xe2\x82\x41", bad(2, 0)},
        {"a\xe2\x82\xe2\x82\xac", bad(2, 1)},
        {"\xf0\x90\x41", bad(2, 0)},
        {"\xf0\x90\x80\x41", bad(3, 0)},
        {"\xc3\xa9\xf4\x8f\xbf\xc3", bad(3, 2)},
        // The text ends inside a sequence that was valid so far.
        {"\xc2", incomplete(0)},
        {"\xe0", incomplete(0)},
        {"xy\xe2\x82", incomplete(2)},
        {"\xf0\x9f\x98", incomplete(0)},
        {"\xc3\xa9\xc3", incomplete(2)},
        {"\xed\x9f", incomplete(0)},
        {"\xf4\x8f\xbf", incomplete(0)},
        // Long ASCII runs, read a word at a time, before and between the sequences.
        {"abcdefg\x80", bad(1, 7)},
        {"0123456789abcdefghij\xff", bad(1, 20)},
        {"abcdefghij\xc3\xa9klmnopqrstuvwxyz\xe2\x82", incomplete(28)},
        {"abcdefghij\xc3\xa9klmnopqrstuvwxyz\xe2\x82\xac" "0123456789", ""},
    };
    for (const Case& c : cases) {
        // In a code table.
        Bytes in_table;
        in_table.u8(1).u64(0).u64(1).u64(0).u64(1).text(c.text).u8(0).u64(0).u32(0);
        // In a decode map, after a valid text and followed by a code whose first byte is a
        // continuation byte (0xBF): the text's own length bounds the check, so a sequence
        // cut by it stays incomplete.
        Bytes in_decode;
        in_decode.u8(1).u64(0).u64(0).u64(1).u64(2).u64(3);
        in_decode.u64(0).text("\xe2\x82\xac").u64(1).text(c.text).u64(0xbf).text("").u32(0);
        for (const std::string& bytes : {in_table.data, in_decode.data}) {
            const std::string expected = c.error.empty() ? "<read succeeded>" : "string is not valid utf8: " + c.error;
            const std::string got = read_error(bytes);
            if (got != expected) throw Failure("got \"" + got + "\", expected \"" + expected + "\"");
        }
    }
}

// ---------------------------------------------------------------------------------------
// Large tables: the ordering shortcuts, the parallel sort and the two-half read
// ---------------------------------------------------------------------------------------

namespace {

// The expected bytes of a state with one text column (column 3), built independently of
// the writer: entries ordered through std::map, whose std::string order is byte-wise.
std::string expected_single_column(const CodeTable& table, const DecodeMap& decode) {
    const std::map<std::string, std::optional<std::uint64_t>> by_text(table.begin(), table.end());
    const std::map<std::uint64_t, std::string> by_code(decode.begin(), decode.end());
    Bytes out;
    out.u8(1).u64(1).u64(3).u64(1).u64(3).u64(by_text.size());
    for (const auto& [text, code] : by_text) {
        out.text(text);
        if (code) {
            out.u8(1).u64(*code);
        } else {
            out.u8(0);
        }
    }
    out.u64(1).u64(3).u64(by_code.size());
    for (const auto& [code, text] : by_code) out.u64(code).text(text);
    out.u32(0);
    return out.data;
}

EncoderState single_column(CodeTable table, DecodeMap decode) {
    EncodingInfo info;
    info.object_columns = {3};
    info.encode_maps.emplace(3, std::move(table));
    info.decode_maps.emplace(3, std::move(decode));
    EncoderState state;
    state.encoding_info = std::move(info);
    return state;
}

// `n` distinct texts of varied length and shared prefixes (many agree in their first 8
// bytes, some are prefixes of others, some hold bytes above 0x7F), in random order.
std::vector<std::string> varied_texts(std::size_t n, std::mt19937_64& rng) {
    std::vector<std::string> texts;
    std::set<std::string> seen;
    const std::vector<std::string> stems = {"", "same-prefix-", "a", "\xc3\xa9t\xc3\xa9", "zz\x00z"};
    while (texts.size() < n) {
        std::string text = stems[rng() % stems.size()];
        const std::size_t tail = rng() % 12;
        for (std::size_t i = 0; i < tail; ++i) text.push_back(static_cast<char>('0' + rng() % 40));
        if (seen.insert(text).second) texts.push_back(text);
    }
    return texts;
}

// A code table as encoding builds it: codes 0..k-1 in text order, the missing-value
// markers without a code; and its decode map.
std::pair<CodeTable, DecodeMap> encoded_column(std::vector<std::string> texts, const std::vector<std::string>& markers) {
    std::sort(texts.begin(), texts.end());
    CodeTable::entries_type entries;
    DecodeMap decode;
    for (std::size_t code = 0; code < texts.size(); ++code) {
        entries.emplace_back(keep(texts[code]), code);
        decode.push_back(code, keep(texts[code]));
    }
    for (const std::string& marker : markers) entries.emplace_back(keep(marker), std::nullopt);
    return {CodeTable(std::move(entries)), std::move(decode)};
}

}  // namespace

TEST_CASE(state_large_encoded_column_writes_in_sorted_order) {
    std::mt19937_64 rng(11);
    // Markers before, among and after the coded texts.
    auto [table, decode] = encoded_column(varied_texts(70000, rng), {"<NA>", "NaN", "nan"});
    const std::string expected = expected_single_column(table, decode);
    const EncoderState state = single_column(std::move(table), std::move(decode));
    CHECK_EQ(write_state(state), expected);
    std::string into(quorvel::state_size(state), '\x55');
    write_state(state, std::span<char>(into.data(), into.size()));
    CHECK_EQ(into, expected);
}

TEST_CASE(state_large_tables_with_other_codes_write_in_sorted_order) {
    std::mt19937_64 rng(12);
    const std::vector<std::string> texts = varied_texts(60000, rng);  // in random order
    std::vector<CodeTable::entries_type> table_entries(3);
    std::vector<DecodeMap::entries_type> decode_entries(3);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        // Codes not in text order.
        table_entries[0].emplace_back(texts[i], i);
        decode_entries[0].emplace_back(i, texts[i]);
        // Codes with gaps and beyond the table size.
        table_entries[1].emplace_back(texts[i], 3 * i + 7);
        decode_entries[1].emplace_back(3 * i + 7, texts[i]);
        // Repeated codes; many texts without a code.
        table_entries[2].emplace_back(texts[i], i % 3 == 0 ? std::optional<std::uint64_t>() : std::optional<std::uint64_t>(i / 2));
        decode_entries[2].emplace_back(rng(), texts[i]);  // random codes, given out of order
    }
    std::vector<std::pair<CodeTable, DecodeMap>> columns;
    for (std::size_t i = 0; i < table_entries.size(); ++i) {
        columns.emplace_back(CodeTable(std::move(table_entries[i])), DecodeMap(std::move(decode_entries[i])));
    }
    // Dense codes in text order, and more uncoded texts than coded ones.
    columns.push_back(encoded_column(std::vector<std::string>(texts.begin(), texts.begin() + 20000),
                                     std::vector<std::string>(texts.begin() + 20000, texts.end())));
    for (auto& [table, decode] : columns) {
        const std::string expected = expected_single_column(table, decode);
        CHECK_EQ(write_state(single_column(std::move(table), std::move(decode))), expected);
    }
}

TEST_CASE(state_large_states_read_back_and_report_the_first_error) {
    std::mt19937_64 rng(13);
    auto [table, decode] = encoded_column(varied_texts(150000, rng), {"nan"});
    const EncoderState state = single_column(table, decode);
    const std::string bytes = write_state(state);
    CHECK(bytes.size() > (std::size_t{4} << 20));
    CHECK(same_state(read_ok(bytes), state));
    CHECK(same_state(read_ok(bytes + "trailing"), state));

    // Offsets of the last text of the code table and of the last text of the decode map.
    const std::map<std::string, std::optional<std::uint64_t>> by_text(table.begin(), table.end());
    const std::string& last_text = by_text.rbegin()->first;
    const std::size_t decode_start = bytes.find(Bytes().u64(1).u64(3).u64(decode.size()).data, bytes.size() / 3);
    const std::size_t last_in_table = bytes.rfind(last_text, decode_start);
    const std::size_t last_in_decode = bytes.size() - 4 - decode.at(decode.size() - 1).size();
    CHECK(decode_start != std::string::npos && last_in_table < decode_start);
    CHECK_EQ(bytes.substr(last_in_decode, decode.at(decode.size() - 1).size()), decode.at(decode.size() - 1));

    const std::string utf8 = "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0";
    std::string bad_table = bytes;
    bad_table[last_in_table] = '\xff';
    CHECK_EQ(read_error(bad_table), utf8);
    std::string bad_decode = bytes;
    bad_decode[last_in_decode] = '\xff';
    CHECK_EQ(read_error(bad_decode), utf8);
    std::string bad_strategy = bytes;
    bad_strategy[bytes.size() - 4] = 2;
    CHECK_EQ(read_error(bad_strategy), "invalid value: integer `2`, expected variant index 0 <= i < 1");
    // A bad text in the encode maps comes before a bad strategy at the end.
    std::string both = bad_table;
    both[bytes.size() - 4] = 2;
    CHECK_EQ(read_error(both), utf8);
    // The decode maps cut short.
    CHECK_EQ(read_error(bytes.substr(0, bytes.size() - 3)), kEof);
    // A tag byte in the encode maps broken.
    std::string bad_tag = bytes;
    bad_tag[last_in_table + last_text.size()] = 7;
    CHECK_EQ(read_error(bad_tag), "tag for enum is not valid, found 7");
}

TEST_CASE(state_large_decode_texts_differing_from_the_code_table_read_back) {
    // A decode map whose text for a code differs from the code table's text of that code
    // in one byte, at every position of texts of every length up to 40: each must come
    // back as written, not as the code table's text.
    std::mt19937_64 rng(14);
    std::vector<std::string> texts;
    std::set<std::string> seen;
    while (texts.size() < 80000) {
        std::string text(1 + rng() % 40, 'a');
        for (char& c : text) c = static_cast<char>('a' + rng() % 26);
        if (seen.insert(text).second) texts.push_back(text);
    }
    auto [table, decode] = encoded_column(texts, {});
    DecodeMap::entries_type changed;
    for (std::size_t i = 0; i < decode.size(); ++i) {
        const auto& [code, text] = *(decode.begin() + static_cast<std::ptrdiff_t>(i));
        std::string other(text);
        if (i % 2 == 0) other[rng() % other.size()] = 'A';  // every other code differs
        changed.emplace_back(code, keep(other));
    }
    const EncoderState state = single_column(std::move(table), DecodeMap(std::move(changed)));
    CHECK(same_state(read_ok(write_state(state)), state));
}
