// The number-to-text rule: shortest round-trip digits, laid out in positional notation.
//
// std::to_chars in scientific format without a precision yields the shortest digit
// string that reads back as the same double. The digits and the decimal exponent are
// then written out positionally here. The fixed format of to_chars is not used: with
// g++ 12 it prints the exact binary expansion of large values (1e23 would become
// 99999999999999991611392) rather than the shortest digits padded with zeros.
#include "core/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <system_error>

#include "core/fault.hpp"

namespace quorvel {

void append_number_text(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }

    // Longest scientific text of a double: "-d.dddddddddddddddde-308" (24 chars).
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    if (ec != std::errc()) fault("number_text: to_chars failed");
    std::string_view text(buf, static_cast<std::size_t>(end - buf));

    // The text is "[-]d[.ddd]e<sign>xx": take the sign, the significant digits without
    // the point, and the decimal exponent of the first digit.
    const bool negative = text.front() == '-';
    if (negative) text.remove_prefix(1);
    const std::size_t e_pos = text.find('e');
    if (e_pos == std::string_view::npos) fault("number_text: no exponent in scientific text");
    const std::string_view mantissa = text.substr(0, e_pos);
    const std::string_view exponent_text = text.substr(e_pos + 1);
    const char* exp_begin = exponent_text.data();
    if (*exp_begin == '+') ++exp_begin;  // from_chars accepts '-' but not '+'
    int exponent = 0;
    if (std::from_chars(exp_begin, exponent_text.data() + exponent_text.size(), exponent).ec != std::errc())
        fault("number_text: unreadable exponent");

    char digit_buf[24];
    std::size_t count = 0;
    for (const char c : mantissa)
        if (c != '.') digit_buf[count++] = c;
    const std::string_view digits(digit_buf, count);
    const auto ndigits = static_cast<int>(count);

    if (negative) out += '-';
    if (exponent < 0) {
        // 0.000ddd: -exponent - 1 zeros between the point and the digits.
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent >= ndigits - 1) {
        // An integer: all digits, then zeros up to the units place.
        out += digits;
        out.append(static_cast<std::size_t>(exponent - (ndigits - 1)), '0');
    } else {
        // The point falls inside the digits.
        const auto whole = static_cast<std::size_t>(exponent + 1);
        out += digits.substr(0, whole);
        out += '.';
        out += digits.substr(whole);
    }
}

std::string number_text(double value) {
    std::string out;
    append_number_text(out, value);
    return out;
}

}  // namespace quorvel
