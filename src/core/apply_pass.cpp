// Applying a learned encoding: one pool task per text column, its rows looked up in parallel.
#include "core/apply_pass.hpp"

#include <mutex>
#include <bit>
#include <cstdint>
#include <limits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/hash_map.hpp"
#include "core/label_encode.hpp"
#include "core/number_text.hpp"

namespace quorvel {
namespace {

const double missing_code = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
constexpr std::size_t row_grain = std::size_t{1} << 12;

// A column's code table as a hash map from text to the code as a float (NaN for a
// marker): rows are looked up at hash speed rather than by halving the sorted table.
FlatMap<std::string_view, double> lookup_of(const CodeTable* table) {
    FlatMap<std::string_view, double> lookup;
    if (table == nullptr) return lookup;
    lookup.reserve(table->size());
    for (const auto& [text, code] : *table) {
        lookup.emplace(text, code ? static_cast<double>(*code) : missing_code);
    }
    return lookup;
}

}  // namespace

ApplyPass::ApplyPass(const EncodingInfo& info, Matrix& matrix, std::vector<TextColumn>& texts, double fill)
    : info_(info), matrix_(matrix), texts_(texts), fill_(fill), unknown_(matrix.cols) {}

template <class TextOf>
void ApplyPass::look_up(std::size_t j, TextOf text_of) {
    const auto table = info_.encode_maps.find(j);
    const auto lookup = lookup_of(table == info_.encode_maps.end() ? nullptr : &table->second);
    // The first unknown row and its text, kept as it is met: a number column's cell is
    // overwritten by its code right after its text is made.
    std::mutex first_lock;
    std::optional<UnknownCell> first_unknown;
    const std::size_t cols = matrix_.row_step();
    double* const column = matrix_.rows == 0 ? nullptr : matrix_.column(j);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, matrix_.rows, row_grain),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                          std::string scratch;
                          std::optional<UnknownCell> first;
                          for (std::size_t i = r.begin(); i != r.end(); ++i) {
                              const std::string_view text = text_of(i, scratch);
                              const auto it = lookup.find(text);
                              double code = missing_code;
                              if (it != lookup.end()) {
                                  code = it->second;
                              } else if (!is_missing_marker(text)) {
                                  code = fill_;
                                  if (!first) first = UnknownCell{j, i, std::string(text)};
                              }
                              column[i * cols] = code;
                          }
                          if (!first) return;
                          const std::lock_guard<std::mutex> hold(first_lock);
                          if (!first_unknown || first->row < first_unknown->row) first_unknown = std::move(first);
                      });
    unknown_[j] = std::move(first_unknown);
}

void ApplyPass::text_column(std::size_t j) {
    tasks_.submit([this, j] {
        const TextColumn& texts = texts_[j];
        look_up(j, [&](std::size_t i, std::string&) { return texts[i]; });
        texts_[j] = TextColumn();  // the staged texts are done with
    });
}

void ApplyPass::number_column(std::size_t j) {
    tasks_.submit([this, j] {
        // Each number is read before its cell is overwritten with the code: same task, same cell.
        look_up(j, [&](std::size_t i, std::string& scratch) {
            scratch.clear();
            append_number_text(scratch, matrix_.at(i, j));
            return std::string_view(scratch);
        });
    });
}

void ApplyPass::unknown_cell(std::size_t i, std::size_t j, std::string_view text) {
    matrix_.at(i, j) = fill_;
    if (!unknown_[j]) unknown_[j] = UnknownCell{j, i, std::string(text)};
}

std::optional<UnknownCell> ApplyPass::finish() {
    tasks_.wait();
    for (auto& unknown : unknown_) {
        if (unknown) return std::move(unknown);
    }
    return std::nullopt;
}

}  // namespace quorvel
