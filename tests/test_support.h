// Helpers shared by the tests of the rewriting library.
#pragma once

#include "rewrite/scanner.h"
#include "rewrite/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

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

// A size for a randomised conversion or verification, drawn from `random`: a
// tiny one that puts block boundaries everywhere, a middling one, or the
// program's own, `programSize`.
inline std::size_t someSize(std::mt19937 &random, std::size_t programSize) {
  switch (random() % 3) {
  case 0:
    return 1 + random() % 8;
  case 1:
    return 64 + random() % 4096;
  default:
    return programSize;
  }
}

// The whole of a file's bytes; empty where it cannot be read.
inline std::string readFile(const std::filesystem::path &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// The folder of real SVF files from public sources beside the project. The
// project's users do not have it: the tests that read it skip without it.
inline std::filesystem::path corpusFolder() {
  return std::filesystem::path(SVFSEG_SOURCE_DIR) / ".." / "shared" / "corpus";
}

// The corpus's .svf files in name order; nothing where the folder is absent.
inline std::optional<std::vector<std::filesystem::path>> corpusFiles() {
  const std::filesystem::path folder = corpusFolder();
  if (!std::filesystem::is_directory(folder))
    return std::nullopt;
  std::vector<std::filesystem::path> files;
  for (const auto &entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".svf")
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// A source whose reads fail from a given offset on.
class FailingSource final : public ByteSource {
public:
  FailingSource(std::string_view bytes, Offset failFrom)
      : memory_(bytes), failFrom_(failFrom) {}
  Expected<std::size_t> readAt(Offset offset, std::span<char> buffer) override {
    if (offset + static_cast<Offset>(buffer.size()) > failFrom_)
      return Error("in.svf", "Input/output error");
    return memory_.readAt(offset, buffer);
  }

private:
  MemorySource memory_;
  Offset failFrom_;
};

// A source that counts the reads made of it: the work a pass does.
class CountingSource final : public ByteSource {
public:
  explicit CountingSource(std::string_view bytes) : memory_(bytes) {}
  Expected<std::size_t> readAt(Offset offset, std::span<char> buffer) override {
    ++reads;
    return memory_.readAt(offset, buffer);
  }
  int reads = 0;

private:
  MemorySource memory_;
};

// A sink that fails once it has taken a given number of bytes.
class LimitedSink final : public ByteSink {
public:
  explicit LimitedSink(std::size_t limit) : limit_(limit) {}
  Error write(std::string_view bytes) override {
    if (taken.size() + bytes.size() > limit_)
      return Error("out.gvf", "File too large");
    taken.append(bytes);
    return {};
  }
  std::string taken;

private:
  std::size_t limit_;
};

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
