// Long SDR commands in tests: field digits, the segments the converter is to
// write for them, and a reader that joins written segments back together.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace svfseg::testing {

// `count` hexadecimal digits that differ from position to position, so that a
// digit out of place shows.
inline std::string hexDigits(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string digits;
  for (std::size_t i = 0; i < count; ++i)
    digits.push_back("0123456789ABCDEF"[random() % 16]);
  return digits;
}

// The rightmost `count` digits of `field`, with leading '0's where it is short.
inline std::string rightmost(const std::string &field, std::size_t count) {
  if (field.size() >= count)
    return field.substr(field.size() - count);
  return std::string(count - field.size(), '0') + field;
}

// What a long SDR of `bits` bits with these fields becomes: 256-bit segments
// taken from the right of each field, then the bits left.
inline std::string
segmentsOf(std::uint64_t bits, const std::string &tdi,
           const std::optional<std::string> &tdo = std::nullopt,
           const std::optional<std::string> &mask = std::nullopt) {
  std::size_t digits = static_cast<std::size_t>((bits + 3) / 4);
  std::string fields[3] = {rightmost(tdi, digits),
                           tdo ? rightmost(*tdo, digits) : "",
                           mask ? rightmost(*mask, digits) : ""};
  std::string out;
  for (std::uint64_t done = 0; done < bits; done += 256) {
    std::uint64_t segmentBits = std::min<std::uint64_t>(256, bits - done);
    std::size_t take = static_cast<std::size_t>((segmentBits + 3) / 4);
    auto piece = [&](std::string &field) {
      std::string digits = field.substr(field.size() - take);
      field.resize(field.size() - take);
      return digits;
    };
    bool last = done + 256 >= bits;
    out += last ? "SDR " + std::to_string(segmentBits) + " TDI ("
                : "SDRS 256 TDI (";
    out += piece(fields[0]);
    if (tdo)
      out += ") TDO (" + piece(fields[1]);
    if (mask)
      out += ") MASK (" + piece(fields[2]);
    out += last ? ") ;" : ") ;\r\n";
  }
  return out;
}

// `digits` written over several lines of `width` digits, each new line starting
// with `indent`.
inline std::string wrapped(const std::string &digits, std::size_t width,
                           const std::string &lineEnd,
                           const std::string &indent) {
  std::string text;
  for (std::size_t at = 0; at < digits.size(); at += width) {
    if (at != 0)
      text += lineEnd + indent;
    text += digits.substr(at, width);
  }
  return text;
}

// One long SDR as the converter wrote it: its segments' lengths added up, and
// each field's pieces joined back in reverse order.
struct SegmentRun {
  std::uint64_t bits = 0;
  std::string tdi, tdo, mask;
};

// Takes `prefix` off the front of `text` if it is there.
inline bool consume(std::string_view &text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix)
    return false;
  text.remove_prefix(prefix.size());
  return true;
}

inline std::string consumeField(std::string_view &text) {
  std::size_t close = text.find(')');
  std::string digits(text.substr(0, close));
  text.remove_prefix(close == std::string_view::npos ? text.size() : close);
  return digits;
}

// Reads the segment runs back from converted text: each is a sequence of
// "SDRS 256" lines closed by one "SDR n" line.
inline std::vector<SegmentRun> segmentRuns(std::string_view converted) {
  std::vector<SegmentRun> runs;
  SegmentRun current;
  while (!converted.empty()) {
    std::size_t lineEnd = converted.find('\n');
    std::string_view line = converted.substr(0, lineEnd);
    converted.remove_prefix(lineEnd == std::string_view::npos ? converted.size()
                                                              : lineEnd + 1);
    std::uint64_t bits = 256;
    bool last = !consume(line, "SDRS 256 TDI (");
    if (last) {
      if (!consume(line, "SDR "))
        continue;
      std::size_t digits = line.find_first_not_of("0123456789");
      if (digits == 0 || digits == std::string_view::npos)
        continue;
      bits = std::stoull(std::string(line.substr(0, digits)));
      line.remove_prefix(digits);
      if (!consume(line, " TDI (") || current.bits == 0)
        continue; // a short SDR command, not part of a run
    }
    std::string tdi = consumeField(line);
    std::string tdo = consume(line, ") TDO (") ? consumeField(line) : "";
    std::string mask = consume(line, ") MASK (") ? consumeField(line) : "";
    EXPECT_TRUE(consume(line, ") ;")) << line;
    EXPECT_LE(bits, 256u);
    EXPECT_EQ(tdi.size(), (bits + 3) / 4);
    // Each segment stands to the left of those before it: the pieces are
    // gathered reversed and the whole turned round at the end, which keeps
    // reading a field of megabytes linear.
    current.bits += bits;
    current.tdi.append(tdi.rbegin(), tdi.rend());
    current.tdo.append(tdo.rbegin(), tdo.rend());
    current.mask.append(mask.rbegin(), mask.rend());
    if (last) {
      for (std::string *field : {&current.tdi, &current.tdo, &current.mask})
        std::reverse(field->begin(), field->end());
      runs.push_back(std::move(current));
      current = {};
    }
  }
  EXPECT_EQ(current.bits, 0u) << "a run of segments was not closed";
  return runs;
}

} // namespace svfseg::testing
