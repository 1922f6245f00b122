#include "verify/decimal.h"

#include <cstdint>

namespace svfseg::verify {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A number reduced to its significant digits and the power of ten of the
// first of them.
struct Reduced {
  std::string_view mantissa; // the digits and the '.', as written
  std::size_t first = 0;     // the first significant digit in `mantissa`
  std::size_t last = 0;      // the last one
  bool zero = true;
  // The power of ten of the first significant digit, where the exponent is
  // small enough to reckon with.
  std::int64_t power = 0;
  // An exponent of more than 18 digits: its sign, its digits after the leading
  // zeros, and the power the mantissa gives the first digit by itself.
  bool hugeExponent = false;
  bool negative = false;
  std::string_view exponentDigits;
};

Reduced reduce(std::string_view text) {
  Reduced r;
  std::size_t mantissaEnd = text.find_first_of("Ee");
  if (mantissaEnd == std::string_view::npos)
    mantissaEnd = text.size();
  r.mantissa = text.substr(0, mantissaEnd);
  std::size_t dot = r.mantissa.find('.');
  std::int64_t integerDigits = static_cast<std::int64_t>(
      dot == std::string_view::npos ? r.mantissa.size() : dot);
  std::int64_t digitIndex = 0; // counts digits only, not the '.'
  std::int64_t firstIndex = 0;
  for (std::size_t i = 0; i < r.mantissa.size(); ++i) {
    if (r.mantissa[i] == '.')
      continue;
    if (r.mantissa[i] != '0') {
      if (r.zero) {
        r.zero = false;
        r.first = i;
        firstIndex = digitIndex;
      }
      r.last = i;
    }
    ++digitIndex;
  }
  std::int64_t mantissaPower = integerDigits - 1 - firstIndex;

  std::string_view exponent =
      mantissaEnd < text.size() ? text.substr(mantissaEnd + 1) : "";
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    r.negative = exponent[0] == '-';
    exponent.remove_prefix(1);
  }
  std::size_t significant = exponent.find_first_not_of('0');
  exponent.remove_prefix(significant == std::string_view::npos ? exponent.size()
                                                               : significant);
  if (exponent.size() > 18) {
    r.hugeExponent = true;
    r.exponentDigits = exponent;
    r.power = mantissaPower;
    return r;
  }
  std::int64_t value = 0;
  for (char c : exponent)
    value = value * 10 + (c - '0');
  r.power = mantissaPower + (r.negative ? -value : value);
  return r;
}

} // namespace

std::size_t numberLength(std::string_view text) {
  std::size_t at = 0;
  std::size_t digits = 0;
  while (at < text.size() && isDigit(text[at])) {
    ++at;
    ++digits;
  }
  if (at < text.size() && text[at] == '.') {
    ++at;
    while (at < text.size() && isDigit(text[at])) {
      ++at;
      ++digits;
    }
  }
  if (digits == 0)
    return 0;
  if (at < text.size() && (text[at] == 'E' || text[at] == 'e')) {
    std::size_t exponent = at + 1;
    if (exponent < text.size() &&
        (text[exponent] == '+' || text[exponent] == '-'))
      ++exponent;
    if (exponent < text.size() && isDigit(text[exponent])) {
      at = exponent;
      while (at < text.size() && isDigit(text[at]))
        ++at;
    }
  }
  return at;
}

bool sameValue(std::string_view a, std::string_view b) {
  Reduced x = reduce(a);
  Reduced y = reduce(b);
  if (x.zero || y.zero)
    return x.zero == y.zero;
  if (x.hugeExponent != y.hugeExponent || x.power != y.power)
    return false;
  if (x.hugeExponent &&
      (x.negative != y.negative || x.exponentDigits != y.exponentDigits))
    return false;
  // The significant digits, passing over the '.' on either side.
  std::size_t i = x.first;
  std::size_t j = y.first;
  while (i <= x.last && j <= y.last) {
    if (x.mantissa[i] == '.') {
      ++i;
      continue;
    }
    if (y.mantissa[j] == '.') {
      ++j;
      continue;
    }
    if (x.mantissa[i] != y.mantissa[j])
      return false;
    ++i;
    ++j;
  }
  return i > x.last && j > y.last;
}

} // namespace svfseg::verify
