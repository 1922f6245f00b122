// The progress line: while a long run goes on, one line on the terminal that
// says how much of the input has been read, rewritten in place.
#pragma once

#include "rewrite/stream.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace svfseg {

class ProgressLine {
public:
  using Clock = std::chrono::steady_clock;

  // Nothing is shown before a run is this old: a short run shows no line.
  static constexpr Clock::duration kQuietStart = std::chrono::seconds(1);
  // Nor more often than this: a few updates a second.
  static constexpr Clock::duration kInterval = std::chrono::milliseconds(250);

  // For an input of `total` bytes whose run started at `start`.
  ProgressLine(Offset total, Clock::time_point start)
      : total_(total), start_(start) {}

  // The text that brings the line up to `done` bytes read at `now`; empty
  // while the run is younger than kQuietStart, and within kInterval of the
  // last text.
  std::string update(Offset done, Clock::time_point now);
  // The text that blanks the line and puts the cursor back at its start;
  // empty when no line was shown.
  std::string clear();

private:
  Offset total_;
  Clock::time_point start_;
  Clock::time_point shownAt_{};
  std::size_t shownLength_ = 0; // 0: no line on the terminal
};

} // namespace svfseg
