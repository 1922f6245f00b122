// Conversion speed of the rewriting pass, in memory, so that the figures are
// the pass's own and not the file system's.
#include "rewrite/scanner.h"
#include "rewrite/stream.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>

namespace svfseg {
namespace {

// A sink that only counts, so the benchmark measures the conversion alone.
class CountingSink final : public ByteSink {
public:
  Error write(std::string_view bytes) override {
    written += bytes.size();
    return {};
  }
  std::size_t written = 0;
};

// `digits` random hexadecimal digits over tab-indented lines of 64 digits.
std::string tabIndentedField(std::size_t digits, std::mt19937 &random) {
  std::string text;
  for (std::size_t i = 0; i < digits; ++i) {
    if (i % 64 == 0)
      text += "\n\t\t";
    text.push_back("0123456789ABCDEF"[random() % 16]);
  }
  return text;
}

std::string longSdr(std::size_t bits) {
  std::mt19937 random(1);
  std::size_t digits = (bits + 3) / 4;
  return "STATE IDLE;\nSDR " + std::to_string(bits) + " TDI (" +
         tabIndentedField(digits, random) + ")\n\tTDO (" +
         tabIndentedField(digits, random) + ")\n\tMASK (" +
         tabIndentedField(digits, random) + ");\nSTATE RESET;\n";
}

void convertOnce(const std::string &svf, benchmark::State &state) {
  MemorySource source(svf);
  CountingSink sink;
  InputStream input(source);
  OutputStream output(sink);
  scan(input, output);
  if (output.flush())
    state.SkipWithError("write failed");
  benchmark::DoNotOptimize(sink.written);
}

// One SDR command with TDI, TDO and MASK over tab-indented lines.
void BM_LongSdr(benchmark::State &state) {
  const std::string svf = longSdr(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state)
    convertOnce(svf, state);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(svf.size()));
}
BENCHMARK(BM_LongSdr)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace svfseg
