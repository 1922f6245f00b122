// Decimal numbers as RUNTEST writes them: digits with an optional '.'
// fraction and an optional exponent ('E' or 'e', an optional sign, digits),
// compared by their value, exactly and without floating point.
#pragma once

#include <cstddef>
#include <string_view>

namespace svfseg::verify {

// The length of the number at the start of `text`: digits, then optionally '.'
// and digits, with at least one digit in all, then optionally an exponent,
// which counts only where at least one digit follows its 'E' and sign. 0 where
// `text` does not start with a number.
std::size_t numberLength(std::string_view text);

// True when the numbers `a` and `b` (each all of a number, as numberLength
// measures it) have the same value: "1.00E-02", "0.01" and "10e-3" do. Each is
// reduced to its significant digits and the power of ten of the first one;
// an exponent of more than 18 digits is compared as written after its
// leading zeros, so such numbers may be found different when equal, never
// equal when different.
bool sameValue(std::string_view a, std::string_view b);

} // namespace svfseg::verify
