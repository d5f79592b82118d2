// Tests of the two text buffers: TextColumn (staged rows) and TextStore (the maps' texts).
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/buffer.hpp"
#include "core/text_column.hpp"
#include "core/text_store.hpp"

using namespace quorvel;

namespace {

// Texts of many lengths, some longer than a whole first block, some empty.
std::vector<std::string> assorted_texts() {
    std::vector<std::string> texts;
    for (std::size_t n = 0; n < 3000; ++n) texts.push_back(std::string(n % 37, static_cast<char>('a' + n % 26)) + std::to_string(n));
    texts.push_back("");
    texts.push_back(std::string(100000, 'x'));  // larger than any block grown so far
    texts.push_back(std::string("with\0nul", 8));
    return texts;
}

}  // namespace

TEST_CASE(text_store_keeps_every_text_in_place_across_growth_moves_and_adoption) {
    const std::vector<std::string> texts = assorted_texts();
    TextStore first;
    std::vector<std::string_view> views;
    for (const std::string& text : texts) views.push_back(first.add(text));

    TextStore moved = std::move(first);  // moving the store moves no text
    TextStore joined;
    const std::string_view own = joined.add("own text");
    joined.adopt(std::move(moved));  // nor does handing its blocks to another store
    for (std::size_t i = 0; i < texts.size(); ++i) CHECK(views[i] == texts[i]);
    CHECK(own == "own text");
    // Adding after the adoption still leaves the earlier texts alone.
    for (const std::string& text : texts) joined.add(text);
    for (std::size_t i = 0; i < texts.size(); ++i) CHECK(views[i] == texts[i]);
}

TEST_CASE(text_store_empty_text_has_a_pointer) {
    TextStore store;
    const std::string_view empty = store.add("");
    CHECK(empty.empty());
    CHECK(empty.data() != nullptr);  // callers memcpy from it
}

TEST_CASE(text_column_holds_its_rows_and_copies_them) {
    const std::vector<std::string> texts = assorted_texts();
    TextColumn column;
    for (const std::string& text : texts) column.push_back(text);
    CHECK_EQ(column.size(), texts.size());
    TextColumn copy = column;
    TextColumn moved = std::move(column);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        CHECK(copy[i] == texts[i]);
        CHECK(moved[i] == texts[i]);
    }
    copy.push_back("after");  // the copy has a buffer of its own
    CHECK(copy[texts.size()] == "after");
    CHECK_EQ(moved.size(), texts.size());
}

TEST_CASE(text_column_keeps_its_texts_when_growing_past_the_mapped_buffer_size) {
    // Some megabytes of texts: the buffer passes from heap memory to mapped pages, and
    // then grows by remapping.
    TextColumn column;
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 200000; ++i) texts.push_back("row-" + std::to_string(i * 7919) + std::string(i % 23, 'x'));
    for (const std::string& text : texts) column.push_back(text);
    CHECK_EQ(column.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); i += 997) CHECK(column[i] == texts[i]);
    CHECK(column[texts.size() - 1] == texts.back());
    const TextColumn copy = column;  // the copy is laid out afresh
    for (std::size_t i = 0; i < texts.size(); i += 991) CHECK(copy[i] == texts[i]);
}

TEST_CASE(buffer_vectors_work_on_both_sides_of_the_mapped_size) {
    for (std::size_t count : {std::size_t{10}, kMappedBufferMin / 8 - 1, kMappedBufferMin / 8, 3 * kMappedBufferMin}) {
        BufferVector<std::uint64_t> values(count);
        for (std::size_t i = 0; i < count; ++i) values[i] = i * 3;
        values.push_back(1);  // grows into a new buffer: the old one is freed by its size
        CHECK_EQ(values[count - 1], (count - 1) * 3);
        CHECK_EQ(values.back(), std::uint64_t{1});
    }
}

// Mapped buffers fill whole huge pages from an aligned start; growing one remaps those
// pages: every byte written before must survive each growth, across page boundaries.
TEST_CASE(byte_buffers_start_on_huge_pages_and_keep_their_bytes_as_they_grow) {
    for (std::size_t bytes : {kMappedBufferMin, kHugePage + 1, 3 * kHugePage - 5}) {
        ByteBuffer buffer = make_byte_buffer(bytes);
        CHECK_EQ(reinterpret_cast<std::uintptr_t>(buffer.get()) % kHugePage, std::uintptr_t{0});
    }
    // A size past any object's is refused, not wrapped round to a small mapping.
    bool refused = false;
    try {
        make_byte_buffer(std::numeric_limits<std::size_t>::max() - 5);
    } catch (const std::bad_alloc&) {
        refused = true;
    }
    CHECK(refused);
    ByteBuffer buffer = make_byte_buffer(kMappedBufferMin / 2, Prefault::no);
    std::size_t used = 0;
    for (std::size_t bytes : {kMappedBufferMin + 7, kHugePage - 1, kHugePage + 4096, 5 * kHugePage + 3}) {
        grow_byte_buffer(buffer, used, bytes);
        for (std::size_t i = used; i < bytes; ++i) buffer[i] = static_cast<char>(i * 7 + i / 4099);
        used = bytes;
        bool kept = true;
        for (std::size_t i = 0; i < used; ++i) kept = kept && buffer[i] == static_cast<char>(i * 7 + i / 4099);
        CHECK(kept);
    }
}

// Ends are kept in 32 bits and rows that pass each further 4 GiB are noted. The same
// bookkeeping with narrow ends wraps every few bytes: texts longer than several wraps,
// empty texts right at a boundary and ordinary ones must all come back whole.
template <unsigned Bits>
void check_narrow_ends() {
    BasicTextColumn<Bits> column;
    std::vector<std::string> texts;
    const std::size_t unit = std::size_t{1} << Bits;
    for (std::size_t i = 0; i < 400; ++i) {
        std::size_t length = i % 7;
        if (i % 50 == 3) length = 3 * unit + 1;   // passes several boundaries at once
        if (i % 50 == 4) length = 0;              // right after such a text
        if (i % 61 == 0) length = unit;           // exactly one unit
        texts.push_back(std::string(length, static_cast<char>('a' + i % 26)));
    }
    for (const std::string& text : texts) column.push_back(text);
    CHECK_EQ(column.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) CHECK(column[i] == texts[i]);
    const BasicTextColumn<Bits> copy = column;
    for (std::size_t i = 0; i < texts.size(); ++i) CHECK(copy[i] == texts[i]);
}

TEST_CASE(text_column_offsets_stay_exact_past_the_width_of_the_stored_ends) {
    check_narrow_ends<3>();
    check_narrow_ends<8>();
}

// Runs of texts lying back to back (Arrow's layout) stage exactly as text-by-text pushes,
// also where the staged bytes pass a multiple of 2^Bits inside or at a run's edge (often
// with 6 bits, a few times with 16).
template <unsigned Bits>
void check_runs_stage_as_single_texts() {
    const std::vector<std::string> texts = assorted_texts();
    std::string data = "skipped";
    std::vector<std::int64_t> offsets;
    for (const std::string& text : texts) {
        offsets.push_back(static_cast<std::int64_t>(data.size()));
        data += text;
    }
    offsets.push_back(static_cast<std::int64_t>(data.size()));
    BasicTextColumn<Bits> by_runs;
    std::size_t k = 0, run = 1;
    while (k < texts.size()) {
        const std::size_t count = std::min(run, texts.size() - k);
        by_runs.append_run(data.data(), offsets.data() + k, count);
        k += count;
        run = run * 3 % 17 + 1;  // runs of varied lengths, some of one text
    }
    CHECK_EQ(by_runs.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) CHECK(by_runs[i] == texts[i]);
}

TEST_CASE(text_column_appends_runs_as_single_texts) {
    check_runs_stage_as_single_texts<6>();
    check_runs_stage_as_single_texts<16>();
}

// same_bytes against std::string_view's equality for every length up to 40: equal copies
// (at other addresses), texts differing in one byte at every position, and texts of
// other lengths sharing all their bytes.
TEST_CASE(same_bytes_compares_every_byte) {
    for (std::size_t n = 0; n <= 40; ++n) {
        const std::string base(n, 'q'), copy = base;
        CHECK(same_bytes(base, copy));
        for (std::size_t at = 0; at < n; ++at) {
            for (const char other : {'r', '\0', '\xF0'}) {
                std::string text = base;
                text[at] = other;
                CHECK(!same_bytes(base, text));
                CHECK(!same_bytes(text, base));
                CHECK(same_bytes(text, std::string(text)));
            }
        }
        const std::string longer = base + 'q';
        CHECK(!same_bytes(base, longer));
        CHECK(same_bytes(std::string_view(longer).substr(1), std::string_view(longer).substr(0, n)));  // overlapping
    }
}
