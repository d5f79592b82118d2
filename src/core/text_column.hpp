// The texts of one column, staged in one contiguous buffer (no allocation per text).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

class TextColumn {
public:
    void reserve(std::size_t count) { ends_.reserve(count); }
    void push_back(std::string_view text) {
        bytes_.append(text);
        ends_.push_back(bytes_.size());
    }
    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }

private:
    std::string bytes_;             // all texts, back to back
    std::vector<std::size_t> ends_; // end offset of text i in bytes_
};

}  // namespace quorvel
