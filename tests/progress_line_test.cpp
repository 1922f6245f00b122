#include "app/progress_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace svfseg {
namespace {

using std::chrono::milliseconds;

constexpr Offset kMiB = Offset{1} << 20;

struct Step {
  int atMilliseconds;
  Offset done;
  std::string text; // what update() gives
};

struct ProgressCase {
  const char *name;
  Offset total;
  std::vector<Step> steps;
  std::string cleared; // what clear() gives at the end
};

TEST(ProgressLine, ShowsLongRunsOnlyAFewTimesASecondAndClearsTheLine) {
  auto blank = [](std::size_t width) {
    std::string text(width + 2, ' ');
    text.front() = text.back() = '\r';
    return text;
  };
  const ProgressCase cases[] = {
      {"a run under a second", 4 * kMiB, {{999, 3 * kMiB, ""}}, ""},
      {"a long run",
       4 * kMiB,
       {{500, kMiB, ""},
        {1000, kMiB, "\rsvfseg: 1.0 of 4.0 MiB read (25%)"},
        {1249, 2 * kMiB, ""},
        {1250, 2 * kMiB, "\rsvfseg: 2.0 of 4.0 MiB read (50%)"},
        {1300, 4 * kMiB, ""}},
       blank(33)},
      {"a shorter line over a longer one",
       20 * kMiB,
       {{1000, 10 * kMiB, "\rsvfseg: 10.0 of 20.0 MiB read (50%)"},
        {2000, 10 * kMiB - kMiB / 10, "\rsvfseg: 9.9 of 20.0 MiB read (49%) "}},
       blank(35)},
      {"a file that grew",
       kMiB,
       {{1000, 2 * kMiB, "\rsvfseg: 2.0 of 1.0 MiB read (100%)"}},
       blank(34)},
      {"an empty file",
       0,
       {{1000, 0, "\rsvfseg: 0.0 of 0.0 MiB read (100%)"}},
       blank(34)},
  };
  const ProgressLine::Clock::time_point start{};
  for (const ProgressCase &c : cases) {
    SCOPED_TRACE(c.name);
    ProgressLine line(c.total, start);
    for (const Step &step : c.steps)
      EXPECT_EQ(
          line.update(step.done, start + milliseconds(step.atMilliseconds)),
          step.text)
          << "at " << step.atMilliseconds << " ms";
    EXPECT_EQ(line.clear(), c.cleared);
    EXPECT_EQ(line.clear(), "") << "a cleared line stays cleared";
  }
}

} // namespace
} // namespace svfseg
