// The stream scanner: the one pass over the input that writes the output.
#pragma once

#include "rewrite/diagnostics.h"
#include "rewrite/stream.h"

#include <cstddef>

namespace svfseg {

// 128 KiB: each of the three fields of a long SDR command is read backwards
// through a block of this size, so a field costs one positional read per block
// instead of one per digit. Measured against 64 and 256 KiB on a 1 GiB file of
// long commands: 64 KiB took a tenth longer, 256 KiB no less.
inline constexpr std::size_t kDefaultReadBackBlockSize =
    std::size_t{128} * 1024;

struct ScanOptions {
  std::size_t readBackBlockSize = kDefaultReadBackBlockSize;
  // Takes what the pass finds that the output cannot carry as the input
  // means it; nothing is reported without one.
  DiagnosticSink *diagnostics = nullptr;
};

// Copies `input` to `output`, writing every '!' as "//" and handing each line
// that starts with RUN or SDR to the RUN handler or the SDR handler. Runs to
// the end of the input, or until the output fails; read and write failures are
// left in the streams for the caller to report, findings are reported to
// options.diagnostics as they are made.
void scan(InputStream &input, OutputStream &output,
          const ScanOptions &options = {});

} // namespace svfseg
