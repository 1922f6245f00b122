// Byte searches over a reader's window, 16 bytes at a time with SSE2 where the
// processor has it (every x86-64 one), one at a time elsewhere and for the
// last few bytes. The verifier spends most of its time here: on a file of long
// SDR commands, a byte at a time took three times as long.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace svfseg::verify {

inline bool isHexDigit(int c) {
  return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

// The set bits of a 16-bit mask. std::popcount is a library call where the
// processor's own instruction may not be assumed (x86-64 without -mpopcnt).
inline unsigned bitsSet(unsigned mask) {
  mask = mask - ((mask >> 1) & 0x5555);
  mask = (mask & 0x3333) + ((mask >> 2) & 0x3333);
  mask = (mask + (mask >> 4)) & 0x0F0F;
  return (mask + (mask >> 8)) & 0x1F;
}

#if defined(__SSE2__)
namespace simd {
inline __m128i load(const char *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
inline unsigned mask(__m128i v) {
  return static_cast<unsigned>(_mm_movemask_epi8(v));
}
inline __m128i equal(__m128i v, char c) {
  return _mm_cmpeq_epi8(v, _mm_set1_epi8(c));
}
// 0xFF in each byte of `v` that is a hexadecimal digit.
inline __m128i hexDigits(__m128i v) {
  __m128i digit = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  __m128i isDigit =
      _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
  __m128i letter =
      _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  __m128i isLetter =
      _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
  return _mm_or_si128(isDigit, isLetter);
}
} // namespace simd
#endif

// The first byte of [p, end) that is `a`, `b`, `c` or `d`; `end` if none is.
inline const char *findAny(const char *p, const char *end, char a, char b,
                           char c, char d) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    __m128i v = simd::load(p);
    unsigned hits = simd::mask(
        _mm_or_si128(_mm_or_si128(simd::equal(v, a), simd::equal(v, b)),
                     _mm_or_si128(simd::equal(v, c), simd::equal(v, d))));
    if (hits != 0)
      return p + std::countr_zero(hits);
  }
#endif
  for (; p != end; ++p)
    if (*p == a || *p == b || *p == c || *p == d)
      return p;
  return end;
}

// The first byte of [p, end) that is `a` or `b`; `end` if none is.
inline const char *findAny(const char *p, const char *end, char a, char b) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    __m128i v = simd::load(p);
    unsigned hits =
        simd::mask(_mm_or_si128(simd::equal(v, a), simd::equal(v, b)));
    if (hits != 0)
      return p + std::countr_zero(hits);
  }
#endif
  for (; p != end; ++p)
    if (*p == a || *p == b)
      return p;
  return end;
}

// Passes the hexadecimal digits, blanks, tabs and CRs at the start of
// [p, end), adding the number of digits among them to `digits`. Returns the
// first byte that is none of these, or `end`.
inline const char *passFieldText(const char *p, const char *end,
                                 std::uint64_t &digits) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    __m128i v = simd::load(p);
    unsigned hex = simd::mask(simd::hexDigits(v));
    if (hex == 0xFFFF) {
      digits += 16;
      continue;
    }
    unsigned blank = simd::mask(
        _mm_or_si128(_mm_or_si128(simd::equal(v, ' '), simd::equal(v, '\t')),
                     simd::equal(v, '\r')));
    unsigned text = hex | blank;
    if (text != 0xFFFF) {
      unsigned before = (1u << std::countr_zero(~text)) - 1;
      digits += bitsSet(hex & before);
      return p + std::countr_zero(~text);
    }
    digits += 16 - bitsSet(blank);
  }
#endif
  for (; p != end; ++p) {
    if (isHexDigit(static_cast<unsigned char>(*p)))
      ++digits;
    else if (*p != ' ' && *p != '\t' && *p != '\r')
      return p;
  }
  return end;
}

// How many leading bytes of `field` (which holds `available` bytes), at most
// `count`, are hexadecimal digits equal to those of `written` at the same
// place. `written` holds at least `count` bytes.
inline std::size_t matchingDigits(const char *field, std::size_t available,
                                  const char *written, std::size_t count) {
  std::size_t limit = available < count ? available : count;
  std::size_t i = 0;
#if defined(__SSE2__)
  auto sameDigits = [&](std::size_t at) {
    __m128i v = simd::load(field + at);
    return simd::mask(_mm_and_si128(
        simd::hexDigits(v), _mm_cmpeq_epi8(v, simd::load(written + at))));
  };
  for (; limit - i >= 16; i += 16) {
    unsigned same = sameDigits(i);
    if (same != 0xFFFF)
      return i + static_cast<std::size_t>(std::countr_zero(~same));
  }
  if (i != limit && limit >= 16) {
    // The last few bytes as the end of a 16-byte piece that overlaps those
    // already compared: its first 16 - (limit - i) bytes are known the same.
    unsigned same = sameDigits(limit - 16) | ((1u << (16 - (limit - i))) - 1);
    if (same != 0xFFFF)
      return limit - 16 + static_cast<std::size_t>(std::countr_zero(~same));
    return limit;
  }
#endif
  for (; i < limit; ++i)
    if (field[i] != written[i] ||
        !isHexDigit(static_cast<unsigned char>(field[i])))
      return i;
  return limit;
}

} // namespace svfseg::verify
