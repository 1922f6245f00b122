#include "app/run_control.h"

#include "io/background_io.h"
#include "io/file.h"
#include "rewrite/scanner.h"

#include <cstdio>

namespace svfseg {
namespace {

constexpr const char *kProgramName = "svfseg";

// Reports a failure on standard error as "svfseg: error: FILE: REASON".
int fail(const Error &error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: error: %s: %s\n", kProgramName,
               error.file().c_str(), error.reason().c_str());
  return kExitFailure;
}

int failToOpen(const Error &error) {
  std::fputs("Could not open file\n", stdout);
  return fail(error);
}

} // namespace

std::string deriveOutputName(std::string_view inputName, PathStyle style) {
  std::string_view::size_type dot =
      inputName.find('.', fileNameStart(inputName, style));
  if (dot == std::string_view::npos)
    return std::string(inputName) + ".gvf";
  return std::string(inputName.substr(0, dot + 1)) + "gvf";
}

int runConverter(int argc, const char *const *argv) {
  if (argc != 2) {
    std::printf("Usage: %s original_filename (e.g.: file.svf)\n",
                argc > 0 && argv[0] ? argv[0] : kProgramName);
    return kExitUsage;
  }
  const std::string inputName = argv[1];
  const std::string outputName = deriveOutputName(inputName);

  Expected<InputFile> inputFile = InputFile::open(inputName);
  if (!inputFile)
    return failToOpen(inputFile.takeError());
  if (inputFile->isSameFile(outputName))
    return failToOpen(Error(
        outputName, "is the input file itself; refusing to overwrite it"));
  handleProcessSignals();
  Expected<OutputFile> outputFile = OutputFile::create(outputName);
  if (!outputFile)
    return failToOpen(outputFile.takeError());

  std::fputs("Processing SDR command...\n", stdout);
  std::fflush(stdout);
  // The files are read and written on threads of their own, beside the pass.
  BackgroundIo files(*inputFile, *outputFile, kDefaultBufferSize);
  InputStream input(files.input());
  OutputStream output(files.output());
  scan(input, output);
  if (input.error())
    return fail(input.error());
  if (Error error = output.flush())
    return fail(error);
  if (Error error = files.finishOutput())
    return fail(error);
  if (Error error = outputFile->commit())
    return fail(error);
  std::fputs("\nConversion successfully completed!!!\n", stdout);
  return kExitSuccess;
}

} // namespace svfseg
