// The number-to-text rule: shortest round-trip digits, positional notation.
#pragma once

#include <string>

namespace quorvel {

/// The shortest decimal text that reads back as exactly `value`, written positionally
/// (never an exponent), without a trailing ".0": 1.0 -> "1", -0.0 -> "-0", 1e20 ->
/// "100000000000000000000", 1e-7 -> "0.0000001", NaN -> "NaN", infinities "inf"/"-inf".
/// Appends to `out` (so a caller can stage texts without temporaries).
void append_number_text(std::string& out, double value);

std::string number_text(double value);

}  // namespace quorvel
