#include "app/progress_line.h"

#include <algorithm>
#include <cstdio>

namespace svfseg {
namespace {

double mebibytes(Offset bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

} // namespace

std::string ProgressLine::update(Offset done, Clock::time_point now) {
  if (now - start_ < kQuietStart ||
      (shownLength_ > 0 && now - shownAt_ < kInterval))
    return {};
  // A file that grew meanwhile stops at 100%.
  const Offset percent =
      total_ > 0 ? std::min<Offset>(100, done * 100 / total_) : 100;
  char text[96];
  int length = std::snprintf(
      text, sizeof text, "svfseg: %.1f of %.1f MiB read (%d%%)",
      mebibytes(done), mebibytes(total_), static_cast<int>(percent));
  const auto textLength = static_cast<std::size_t>(
      std::clamp(length, 0, static_cast<int>(sizeof text) - 1));
  // Blanks over what is left of a longer line before.
  const std::size_t width = std::max(textLength, shownLength_);
  std::string line(1 + width, ' ');
  line[0] = '\r';
  line.replace(1, textLength, text, textLength);
  shownLength_ = width;
  shownAt_ = now;
  return line;
}

std::string ProgressLine::clear() {
  if (shownLength_ == 0)
    return {};
  std::string blank(shownLength_ + 2, ' ');
  blank.front() = '\r';
  blank.back() = '\r';
  shownLength_ = 0;
  return blank;
}

} // namespace svfseg
