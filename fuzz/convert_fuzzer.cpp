// libFuzzer target: converts its input in memory and checks what the converter
// promises for every input, besides the sanitizers' crashes, leaks and
// undefined behaviour.
//
// Input format: the first byte chooses the stream buffer size, the second the
// read-back block size, the rest is the SVF text. A choice byte below 128 gives
// a size from 1 to 64 ('@' is 1, 'A' is 2, 'F' is 7), so that every byte of a
// short input lands at, before and after a block boundary; 128 and above give
// the sizes the program uses.
#include "rewrite/scanner.h"
#include "rewrite/stream.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace svfseg {
namespace {

// 64 KiB: a 4 KiB input converts to a few times its size, unless it pads
// short fields; an SDR command of 4294967295 bits with a one-digit field is a
// legal 23-byte input whose output is over a gigabyte. Past this size the
// output is refused, which runs the write-failure path instead of filling the
// memory. (1 MiB halved the executions a second and found nothing more.)
constexpr std::size_t kOutputLimit = std::size_t{64} << 10;

class CappedSink final : public ByteSink {
public:
  Error write(std::string_view bytes) override {
    if (bytes_.size() + bytes.size() > kOutputLimit)
      return Error("fuzz.gvf", "File too large");
    bytes_.append(bytes);
    return {};
  }
  const std::string &bytes() const { return bytes_; }

private:
  std::string bytes_;
};

class CollectingSink final : public DiagnosticSink {
public:
  void report(const Diagnostic &diagnostic) override {
    findings.push_back(diagnostic);
  }
  std::vector<Diagnostic> findings;
};

struct Conversion {
  std::string output;
  bool capped = false;
  std::vector<Diagnostic> findings;
};

bool sameFindings(const std::vector<Diagnostic> &a,
                  const std::vector<Diagnostic> &b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const Diagnostic &x, const Diagnostic &y) {
                      return x.finding == y.finding && x.at == y.at &&
                             x.bits == y.bits && x.field == y.field &&
                             x.word == y.word && x.detailAt == y.detailAt &&
                             x.count == y.count;
                    });
}

bool inInputOrder(const std::vector<Diagnostic> &findings) {
  return std::is_sorted(
      findings.begin(), findings.end(),
      [](const Diagnostic &x, const Diagnostic &y) { return x.at < y.at; });
}

Conversion convert(std::string_view svf, std::size_t bufferSize,
                   std::size_t readBackBlockSize) {
  MemorySource source(svf);
  CappedSink sink;
  CollectingSink findings;
  InputStream input(source, bufferSize);
  OutputStream output(sink, bufferSize);
  scan(input, output, {readBackBlockSize, &findings});
  bool capped = static_cast<bool>(output.flush());
  if (input.error()) {
    std::fprintf(stderr, "a read from memory failed\n");
    std::abort();
  }
  return {sink.bytes(), capped, std::move(findings.findings)};
}

std::size_t sizeFrom(std::uint8_t choice, std::size_t programSize) {
  return choice < 128 ? 1 + choice % 64 : programSize;
}

// The offset of the first line that begins with RUN or SDR, or npos. Lines
// begin at the start of the input and after each line feed.
std::size_t firstCommandLine(std::string_view svf) {
  for (std::size_t at = 0; at < svf.size();) {
    std::string_view line = svf.substr(at);
    if (line.starts_with("RUN") || line.starts_with("SDR"))
      return at;
    std::size_t lineFeed = svf.find('\n', at);
    if (lineFeed == std::string_view::npos)
      break;
    at = lineFeed + 1;
  }
  return std::string_view::npos;
}

std::string withCommentMarksConverted(std::string_view text) {
  std::string converted;
  for (char c : text)
    if (c == '!')
      converted += "//";
    else
      converted += c;
  return converted;
}

// True when every line that starts with "SDRS 256 TDI (" carries hexadecimal
// digits alone in its fields, up to its ") ;" and line end.
bool segmentsHoldDigitsOnly(std::string_view output) {
  constexpr std::string_view kSegment = "SDRS 256 TDI (";
  for (std::size_t at = output.find(kSegment); at != std::string_view::npos;
       at = output.find(kSegment, at + 1)) {
    if (at != 0 && output[at - 1] != '\n')
      continue;
    std::string_view rest = output.substr(at + kSegment.size());
    std::size_t end = rest.find(") ;\r\n");
    if (end == std::string_view::npos)
      return false;
    std::string_view fields = rest.substr(0, end);
    for (std::size_t i = 0; i < fields.size();) {
      if (fields.substr(i).starts_with(") TDO (")) {
        i += 7;
      } else if (fields.substr(i).starts_with(") MASK (")) {
        i += 8;
      } else if (std::isxdigit(static_cast<unsigned char>(fields[i]))) {
        ++i;
      } else {
        return false;
      }
    }
  }
  return true;
}

void require(bool holds, const char *property) {
  if (!holds) {
    std::fprintf(stderr, "property violated: %s\n", property);
    std::abort();
  }
}

} // namespace
} // namespace svfseg

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  using namespace svfseg;
  if (size < 2)
    return 0;
  std::size_t bufferSize = sizeFrom(data[0], kDefaultBufferSize);
  std::size_t readBackBlockSize = sizeFrom(data[1], kDefaultReadBackBlockSize);
  std::string_view svf(reinterpret_cast<const char *>(data) + 2, size - 2);

  Conversion fuzzed = convert(svf, bufferSize, readBackBlockSize);
  Conversion reference =
      convert(svf, kDefaultBufferSize, kDefaultReadBackBlockSize);
  // The output is refused at the limit whatever the sizes, as the bytes
  // offered add up to the same total.
  require(fuzzed.capped == reference.capped,
          "the output grows past the limit at some sizes only");
  if (fuzzed.capped)
    return 0;
  require(fuzzed.output == reference.output,
          "the output depends on the buffer or read-back block size");
  require(sameFindings(fuzzed.findings, reference.findings),
          "the findings depend on the buffer or read-back block size");
  require(inInputOrder(fuzzed.findings),
          "the findings are not reported in input order");

  // No '!' is ever written: comment marks are written as "//", and the
  // handlers write none, inside a segment least of all.
  require(fuzzed.output.find('!') == std::string::npos,
          "a '!' is written to the output");
  // Segments carry digits alone, where the input holds none of its own.
  if (svf.find("SDRS") == std::string_view::npos)
    require(segmentsHoldDigitsOnly(fuzzed.output),
            "a segment carries a byte that is no hexadecimal digit");

  // Everything before the first line that begins with RUN or SDR is copied
  // with each '!' written as "//"; an input without such a line is that and
  // nothing else.
  std::size_t commandLine = firstCommandLine(svf);
  std::string copied = withCommentMarksConverted(svf.substr(0, commandLine));
  if (commandLine == std::string_view::npos)
    require(fuzzed.output == copied,
            "an input without RUN or SDR lines is changed beyond its '!'");
  else
    require(fuzzed.output.starts_with(copied),
            "the text before the first RUN or SDR line is changed beyond its "
            "'!'");
  return 0;
}
