// Helpers shared by the tests of the rewriting library.
#pragma once

#include "rewrite/scanner.h"
#include "rewrite/stream.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>

namespace svfseg::testing {

// Buffer and read-back block sizes every conversion case runs at: the tiny ones
// put each byte of a case at, before and after a block boundary.
inline constexpr std::size_t kTinySizes[] = {1, 2, 3, 7};

// Converts `svf` in memory with the given stream buffer and read-back block
// sizes.
inline std::string
convert(std::string_view svf, std::size_t bufferSize = kDefaultBufferSize,
        std::size_t readBackBlockSize = kDefaultReadBackBlockSize) {
  MemorySource source(svf);
  StringSink sink;
  InputStream input(source, bufferSize);
  OutputStream output(sink, bufferSize);
  scan(input, output, {readBackBlockSize});
  EXPECT_FALSE(output.flush());
  EXPECT_FALSE(input.error());
  return sink.bytes();
}

struct ConversionCase {
  const char *name;
  std::string input;
  std::string expected;
};

// Checks every case at the default sizes, at each tiny buffer size, and at each
// tiny read-back block size: the output must be the same at every size.
inline void expectConversions(std::span<const ConversionCase> cases) {
  for (const ConversionCase &c : cases) {
    EXPECT_EQ(convert(c.input), c.expected) << "case: " << c.name;
    for (std::size_t size : kTinySizes) {
      EXPECT_EQ(convert(c.input, size, size), c.expected)
          << "case: " << c.name << ", buffer " << size;
      EXPECT_EQ(convert(c.input, kDefaultBufferSize, size), c.expected)
          << "case: " << c.name << ", read-back block " << size;
    }
  }
}

} // namespace svfseg::testing
