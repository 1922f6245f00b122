#include "app/findings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace svfseg {
namespace {

TEST(LineNumbers, CountsLineFeedsBeforeEachOffsetInAnyOrder) {
  const std::string text = "a\nb\r\n\nccc\nd";
  MemorySource source(text);
  Expected<std::vector<std::uint64_t>> lines =
      lineNumbers(source, {0, 11, 2, 5, 6, 6, 1, 100});
  ASSERT_TRUE(lines);
  EXPECT_EQ(*lines, (std::vector<std::uint64_t>{1, 5, 2, 3, 4, 4, 1, 5}));
}

// Prints `report` for `text` into a string.
std::string printed(const FindingReport &report, const std::string &text) {
  MemorySource source(text);
  std::FILE *file = std::tmpfile();
  EXPECT_FALSE(report.print(file, "board.svf", source));
  std::string bytes(static_cast<std::size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
  std::fclose(file);
  return bytes;
}

TEST(FindingReport, PrintsTheFirstFindingsWithTheirLinesThenTheCountOfTheRest) {
  std::string text;
  FindingReport report;
  for (int i = 0; i < 25; ++i) {
    report.report({Finding::kLongSdrNotAtLineStart,
                   static_cast<Offset>(text.size() + 1),
                   300,
                   FieldName::kTdi,
                   {},
                   -1,
                   0});
    text += " SDR 300 TDI (0);\n";
  }
  EXPECT_EQ(report.count(), 25u);
  const std::string lines = printed(report, text);
  const std::string first =
      "board.svf:1: warning: SDR command of 300 bits does not start its "
      "line, so the output holds it unsplit, over 256 bits; start it in the "
      "first column to have it split\n";
  EXPECT_EQ(lines.substr(0, first.size()), first);
  EXPECT_NE(lines.find("board.svf:20: warning: "), std::string::npos);
  EXPECT_EQ(lines.find("board.svf:21: warning: "), std::string::npos);
  const std::string last = "svfseg: warning: board.svf: 5 more warnings not "
                           "shown\n";
  EXPECT_EQ(lines.substr(lines.size() - last.size()), last);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 21);
}

} // namespace
} // namespace svfseg
