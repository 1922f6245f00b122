// verify_compare: times the conversion and the verification of the same
// files, so that what `--verify` adds to a run can be set against the run.
//
//   verify_compare [--runs N] FILE.svf...
//
// For each file, two ways:
// - on files, warm page cache: the conversion as the program runs it (the
//   input file read ahead and the output written behind on their own
//   threads, the output put in place), then the verification of the input
//   against that output, both opened as files and read by position;
// - in memory: the conversion of the file's bytes into memory, then the
//   verification of those bytes against the output held in memory.
// Prints the median of N runs (default 5) of each, and verification time
// over conversion time.
#include "io/background_io.h"
#include "io/file.h"
#include "rewrite/scanner.h"
#include "verify/verify.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace svfseg;

double seconds(const std::function<void()> &run) {
  auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

[[noreturn]] void fail(const Error &error) {
  std::fprintf(stderr, "verify_compare: %s: %s\n", error.file().c_str(),
               error.reason().c_str());
  std::exit(1);
}

void convertFile(const std::string &input, const std::string &output) {
  Expected<InputFile> in = InputFile::open(input);
  if (!in)
    fail(in.takeError());
  Expected<OutputFile> out = OutputFile::create(output);
  if (!out)
    fail(out.takeError());
  BackgroundIo files(*in, *out, kDefaultBufferSize);
  InputStream inStream(files.input());
  OutputStream outStream(files.output());
  scan(inStream, outStream);
  if (Error error = outStream.flush())
    fail(error);
  if (Error error = files.finishOutput())
    fail(error);
  if (Error error = out->commit())
    fail(error);
}

VerificationSummary verifyFiles(const std::string &input,
                                const std::string &output) {
  Expected<InputFile> in = InputFile::open(input);
  if (!in)
    fail(in.takeError());
  Expected<InputFile> out = InputFile::open(output);
  if (!out)
    fail(out.takeError());
  Expected<Verification> verification = verifyConversion(*in, *out);
  if (!verification)
    fail(verification.takeError());
  if (!verification->verified()) {
    std::fprintf(stderr, "verify_compare: %s: not verified: %s\n",
                 input.c_str(), verification->mismatch->what.c_str());
    std::exit(1);
  }
  return verification->summary;
}

// A sink that only counts: the conversion's time in memory is then the
// pass's own, not that of storing its output.
class CountingSink final : public ByteSink {
public:
  Error write(std::string_view data) override {
    written += data.size();
    return {};
  }
  std::size_t written = 0;
};

void convertInMemory(const std::string &bytes, ByteSink &sink) {
  MemorySource source(bytes);
  InputStream in(source);
  OutputStream out(sink);
  scan(in, out);
  if (Error error = out.flush())
    fail(error);
}

std::string readWhole(const std::string &name) {
  Expected<InputFile> file = InputFile::open(name);
  if (!file)
    fail(file.takeError());
  std::string bytes;
  std::vector<char> block(1 << 20);
  for (Offset at = 0;;) {
    Expected<std::size_t> count = file->readAt(at, block);
    if (!count)
      fail(count.takeError());
    if (*count == 0)
      return bytes;
    bytes.append(block.data(), *count);
    at += static_cast<Offset>(*count);
  }
}

} // namespace

namespace {

int compare(int argc, char **argv) {
  int runs = 5;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--runs" && i + 1 < argc)
      runs = std::max(1, std::atoi(argv[++i]));
    else
      files.push_back(argument);
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s [--runs N] FILE.svf...\n", argv[0]);
    return 2;
  }
  std::printf("%-28s %6s %10s %10s %6s %10s %10s %6s\n", "file", "MiB",
              "convert", "verify", "ratio", "convert", "verify", "ratio");
  std::printf("%-28s %6s %10s %10s %6s %10s %10s %6s\n", "", "", "(files)",
              "(files)", "", "(memory)", "(memory)", "");
  for (const std::string &input : files) {
    const std::string output = input + ".verify-compare.gvf";
    std::vector<double> convertTimes, verifyTimes, memoryConvertTimes,
        memoryVerifyTimes;
    VerificationSummary summary;
    for (int run = 0; run < runs; ++run) {
      convertTimes.push_back(seconds([&] { convertFile(input, output); }));
      verifyTimes.push_back(
          seconds([&] { summary = verifyFiles(input, output); }));
    }
    const std::string bytes = readWhole(input);
    StringSink stored;
    convertInMemory(bytes, stored);
    const std::string &converted = stored.bytes();
    for (int run = 0; run < runs; ++run) {
      CountingSink sink;
      memoryConvertTimes.push_back(
          seconds([&] { convertInMemory(bytes, sink); }));
      memoryVerifyTimes.push_back(seconds([&] {
        MemorySource in(bytes);
        MemorySource out(converted);
        Expected<Verification> verification = verifyConversion(in, out);
        if (!verification || !verification->verified()) {
          std::fprintf(stderr, "verify_compare: %s: not verified in memory\n",
                       input.c_str());
          std::exit(1);
        }
      }));
    }
    std::remove(output.c_str());
    std::string name = input.substr(input.find_last_of('/') + 1);
    double fileRatio = median(verifyTimes) / median(convertTimes);
    double memoryRatio = median(memoryVerifyTimes) / median(memoryConvertTimes);
    std::printf("%-28s %6.0f %9.4fs %9.4fs %6.2f %9.4fs %9.4fs %6.2f\n",
                name.c_str(), static_cast<double>(bytes.size()) / (1 << 20),
                median(convertTimes), median(verifyTimes), fileRatio,
                median(memoryConvertTimes), median(memoryVerifyTimes),
                memoryRatio);
    std::printf("%-28s %llu commands, %llu long SDR commands (%llu bits)\n", "",
                static_cast<unsigned long long>(summary.commands),
                static_cast<unsigned long long>(summary.longSdrCommands),
                static_cast<unsigned long long>(summary.longSdrBits));
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  try {
    return compare(argc, argv);
  } catch (const std::exception &exception) {
    std::fprintf(stderr, "verify_compare: %s\n", exception.what());
    return 1;
  }
}
