// Run control's side of what the pass finds: the findings kept for printing,
// their words, and the line numbers of their places.
#pragma once

#include "rewrite/diagnostics.h"
#include "rewrite/stream.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace svfseg {

// The words for `finding`: what was found, what the output holds, and what
// the user can do. `detailLine` is the line of finding.detailAt, 0 when it
// has none.
std::string describeFinding(const Diagnostic &finding,
                            std::uint64_t detailLine);

// The line numbers (from 1) of `offsets` in `source`, in their order, counted
// in one forward reading up to the last of them.
Expected<std::vector<std::uint64_t>>
lineNumbers(ByteSource &source, const std::vector<Offset> &offsets);

// Keeps the first findings of a pass for printing and counts them all, so that
// a file with thousands of the same problem prints a screenful.
class FindingReport final : public DiagnosticSink {
public:
  static constexpr std::size_t kShown = 20;

  void report(const Diagnostic &finding) override;

  std::uint64_t count() const { return count_; }

  // Prints the findings kept, one line each as "FILE:LINE: warning: TEXT",
  // then how many more there were. `input` is read again for the lines.
  Error print(std::FILE *to, const std::string &fileName,
              ByteSource &input) const;

private:
  std::vector<Diagnostic> shown_;
  std::uint64_t count_ = 0;
};

} // namespace svfseg
