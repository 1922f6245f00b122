// Whole-file properties of the conversion, over generated SVF files converted
// at varied buffer and read-back block sizes.
#include "segments.h"
#include "svf_generator.h"
#include "test_support.h"

#include <random>

namespace svfseg {
namespace {

using testing::GeneratedSvf;
using testing::SvfGenerator;

constexpr int kFiles = 400;

// Converts at sizes drawn from `random`: tiny ones that put block boundaries
// everywhere, a middling one, or the program's own.
std::string convertAtSomeSizes(const std::string &svf, std::mt19937 &random) {
  std::size_t bufferSize = testing::someSize(random, kDefaultBufferSize);
  return testing::convert(svf, bufferSize,
                          testing::someSize(random, kDefaultReadBackBlockSize));
}

// The lengths of the SDR commands in `svf`: lines that begin with "SDR", a
// blank or a tab, and a decimal length.
std::vector<std::uint64_t> sdrLengths(std::string_view svf) {
  std::vector<std::uint64_t> lengths;
  for (std::size_t at = 0; at < svf.size();) {
    std::string_view line = svf.substr(at);
    std::size_t lineFeed = svf.find('\n', at);
    at = lineFeed == std::string_view::npos ? svf.size() : lineFeed + 1;
    if (!testing::consume(line, "SDR") || line.empty() ||
        (line[0] != ' ' && line[0] != '\t'))
      continue;
    std::size_t digits = line.find_first_not_of(" \t");
    std::size_t end = line.find_first_not_of("0123456789", digits);
    if (digits == std::string_view::npos || end == digits)
      continue;
    lengths.push_back(
        std::stoull(std::string(line.substr(digits, end - digits))));
  }
  return lengths;
}

TEST(WholeFile, ConvertsGeneratedFilesAsTheBehaviourNotesSay) {
  SvfGenerator generator(1, {});
  std::mt19937 random(11);
  for (int i = 0; i < kFiles; ++i) {
    GeneratedSvf svf = generator.file();
    ASSERT_EQ(convertAtSomeSizes(svf.text, random), svf.expected)
        << "file " << i << ":\n"
        << svf.text;
  }
}

TEST(WholeFile, NoSdrCommandInTheOutputCarriesMoreThan256Bits) {
  SvfGenerator generator(2, {});
  std::mt19937 random(12);
  for (int i = 0; i < kFiles; ++i) {
    GeneratedSvf svf = generator.file();
    for (std::uint64_t bits : sdrLengths(convertAtSomeSizes(svf.text, random)))
      ASSERT_LE(bits, 256u) << "file " << i << ":\n" << svf.text;
  }
}

TEST(WholeFile, ConvertingTheOutputAgainChangesNothing) {
  SvfGenerator generator(3, {.linesMerelyBeginningWithRun = false});
  std::mt19937 random(13);
  for (int i = 0; i < kFiles; ++i) {
    GeneratedSvf svf = generator.file();
    std::string once = convertAtSomeSizes(svf.text, random);
    ASSERT_EQ(convertAtSomeSizes(once, random), once) << "file " << i << ":\n"
                                                      << svf.text;
  }
}

TEST(WholeFile, SegmentsJoinBackIntoEachLongCommandsFields) {
  SvfGenerator generator(4, {});
  std::mt19937 random(14);
  for (int i = 0; i < kFiles; ++i) {
    GeneratedSvf svf = generator.file();
    std::vector<testing::SegmentRun> runs =
        testing::segmentRuns(convertAtSomeSizes(svf.text, random));
    ASSERT_EQ(runs.size(), svf.longSdrs.size()) << "file " << i;
    for (std::size_t k = 0; k < runs.size(); ++k) {
      const testing::LongSdr &command = svf.longSdrs[k];
      std::size_t digits = static_cast<std::size_t>((command.bits + 3) / 4);
      auto carried = [&](const std::string &field) {
        return field.empty() ? "" : testing::rightmost(field, digits);
      };
      SCOPED_TRACE(::testing::Message() << "file " << i << ", command " << k);
      EXPECT_EQ(runs[k].bits, command.bits) << "the lengths add up";
      EXPECT_EQ(runs[k].tdi, carried(command.tdi));
      EXPECT_EQ(runs[k].tdo, carried(command.tdo));
      EXPECT_EQ(runs[k].mask, carried(command.mask));
    }
  }
}

} // namespace
} // namespace svfseg
