// The str objects of decoded texts that an encoder keeps from one decode to the next.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <vector>

#include "capi/ref.hpp"

namespace quorvel::convert {

/// The str of each code of a column, made the first time a decode needed it and shared by
/// every later decode of the same encoder: decoding batch after batch then makes each
/// distinct text once, as the uniques of a factorized column are made once. The owner
/// drops them whenever its tables change. Holds references, so it is cleared and
/// destroyed with the interpreter lock held.
class DecodedTexts {
public:
    /// Column c's strs by code, at least `codes` slots (null where none was made yet).
    /// Hold `lock()` while using them.
    std::vector<py::Ref>& column(std::size_t c, std::size_t codes) {
        std::vector<py::Ref>& slots = columns_[c];
        if (slots.size() < codes) slots.resize(codes);
        return slots;
    }
    /// Serialises decodes of one encoder that run at once (they share a borrow).
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }
    void clear() {
        const std::lock_guard<std::mutex> hold(mutex_);
        columns_.clear();
    }

private:
    std::mutex mutex_;
    std::map<std::size_t, std::vector<py::Ref>> columns_;
};

}  // namespace quorvel::convert
