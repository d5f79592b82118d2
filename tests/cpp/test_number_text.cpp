// Tests of the number-to-text rule: fixed cases, round trips and shortest digits.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/number_text.hpp"

using quorvel::number_text;

namespace {

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

}  // namespace

TEST_CASE(number_text_cases) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value;
        std::string text;
    };
    const std::vector<Case> cases = {
        {1.0, "1"},
        {2.5, "2.5"},
        {-3.0, "-3"},
        {0.0, "0"},
        {-0.0, "-0"},
        {0.1, "0.1"},
        {0.5, "0.5"},
        {-0.25, "-0.25"},
        {123.456, "123.456"},
        {12345678.9, "12345678.9"},
        {1e15, "1000000000000000"},
        {1e20, "100000000000000000000"},
        {1e22, "10000000000000000000000"},
        {1e23, "100000000000000000000000"},
        {9007199254740992.0, "9007199254740992"},
        {9007199254740993.0, "9007199254740992"},  // not representable: rounds to 2^53
        {1e-7, "0.0000001"},
        {1.5e-5, "0.000015"},
        {0.30000000000000004, "0.30000000000000004"},
        {1.0 / 3.0, "0.3333333333333333"},
        {5e-324, "0." + std::string(323, '0') + "5"},
        {-5e-324, "-0." + std::string(323, '0') + "5"},
        {2.2250738585072014e-308, "0." + std::string(307, '0') + "22250738585072014"},
        {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
        {-1.7976931348623157e308, "-17976931348623157" + std::string(292, '0')},
        {inf, "inf"},
        {-inf, "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {from_bits(0x7FF0000000000001), "NaN"},  // signalling NaN
        {from_bits(0xFFF8DEADBEEF0001), "NaN"},  // negative NaN with a payload
    };
    for (const auto& c : cases) CHECK_EQ(number_text(c.value), c.text);
}

TEST_CASE(number_text_appends) {
    std::string out = "x=";
    quorvel::append_number_text(out, -2.5);
    quorvel::append_number_text(out, 10.0);
    CHECK_EQ(out, std::string("x=-2.510"));
}

// Any finite double: the text reads back as the same bits, carries no exponent, and has
// no superfluous zeros after a point.
TEST_CASE(number_text_round_trips_random_doubles) {
    const std::uint64_t seed = std::random_device{}();
    std::mt19937_64 rng(seed);
    int checked = 0;
    for (int i = 0; i < 200000; ++i) {
        const double x = from_bits(rng());
        if (!std::isfinite(x)) continue;
        ++checked;
        const std::string text = number_text(x);
        const double back = std::strtod(text.c_str(), nullptr);
        if (std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(x) ||
            text.find_first_of("eE") != std::string::npos ||
            (text.find('.') != std::string::npos && text.back() == '0')) {
            std::cerr << "seed " << seed << ": " << text << "\n";
            CHECK(false);
        }
    }
    CHECK(checked > 190000);
}

// A decimal with at most 15 significant digits is the shortest text of the double it
// reads as (15 digits always survive a round trip through a double), so a canonical
// decimal must come back unchanged: this checks that the digits are the shortest ones.
TEST_CASE(number_text_gives_shortest_digits) {
    const std::uint64_t seed = std::random_device{}();
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 100000; ++i) {
        const int ndigits = 1 + static_cast<int>(rng() % 15);
        std::string digits;
        digits += static_cast<char>('1' + rng() % 9);
        for (int d = 1; d < ndigits; ++d) digits += static_cast<char>('0' + rng() % 10);
        while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
        const int point = static_cast<int>(rng() % 61) - 30;  // digits before the point
        std::string text;
        if (rng() % 2) text += '-';
        const int n = static_cast<int>(digits.size());
        if (point <= 0) {
            text += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
        } else if (point >= n) {
            text += digits + std::string(static_cast<std::size_t>(point - n), '0');
        } else {
            text += digits.substr(0, point) + "." + digits.substr(point);
        }
        const std::string got = number_text(std::strtod(text.c_str(), nullptr));
        if (got != text) {
            std::cerr << "seed " << seed << ": " << text << " came back as " << got << "\n";
            CHECK(false);
        }
    }
}
