#include "app/run_control.h"

#include "app/command_line.h"
#include "app/findings.h"
#include "app/progress_line.h"
#include "io/background_io.h"
#include "io/file.h"
#include "rewrite/scanner.h"
#include "verify/verify.h"

#include <cstdio>
#include <optional>

namespace svfseg {
namespace {

constexpr const char *kProgramName = "svfseg";
// How messages name the standard streams, which have no file name.
constexpr const char *kStandardInputName = "<stdin>";
constexpr const char *kStandardOutputName = "<stdout>";

constexpr const char *kStartText = "Processing SDR command...\n";
constexpr const char *kDoneText = "\nConversion successfully completed!!!\n";

// Where the converted bytes go.
struct Destination {
  enum class Kind {
    kFile,           // `path`, through a temporary file put in place at the end
    kStandardOutput, // standard output, as they are converted
  };
  Kind kind;
  std::string path;
};

// -o FILE, else standard output for standard input, else beside the input.
Destination destinationFor(const Options &options) {
  if (options.output && *options.output != kStandardStreamArgument)
    return {Destination::Kind::kFile, *options.output};
  if (options.output || options.input == kStandardStreamArgument)
    return {Destination::Kind::kStandardOutput, {}};
  return {Destination::Kind::kFile, deriveOutputName(options.input)};
}

// The console of a conversion: its progress texts go to standard output, or
// to standard error while the converted bytes go to standard output, and
// nowhere with -q; its errors go to standard error.
class Console {
public:
  Console(const Options &options, const Destination &destination)
      : progress_(options.quiet ? nullptr
                  : destination.kind == Destination::Kind::kStandardOutput
                      ? stderr
                      : stdout) {}

  void say(const char *text) const {
    if (!progress_)
      return;
    std::fputs(text, progress_);
    std::fflush(progress_);
  }

  // True when the progress line may be shown: on standard error, where it is
  // a terminal, and not with -q.
  bool showsProgressLine() const {
    return progress_ && isStandardErrorTerminal();
  }

  // Reports a failure on standard error as "svfseg: error: FILE: REASON".
  int fail(const Error &error) const {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: error: %s: %s\n", kProgramName,
                 error.file().c_str(), error.reason().c_str());
    return kExitFailure;
  }

  int failToOpen(const Error &error) const {
    say("Could not open file\n");
    return fail(error);
  }

private:
  std::FILE *progress_; // null: quiet
};

// The progress line on standard error while a pass goes on, where the
// console shows one; cleared when this ends, however the pass ends.
class TerminalProgress {
public:
  TerminalProgress(const Console &console, const InputFile &input) {
    if (!console.showsProgressLine())
      return;
    if (Expected<Offset> size = input.size())
      line_.emplace(*size, ProgressLine::Clock::now());
  }
  TerminalProgress(const TerminalProgress &) = delete;
  TerminalProgress &operator=(const TerminalProgress &) = delete;
  ~TerminalProgress() {
    if (line_)
      show(line_->clear());
  }

  // Follows how far `files` has read forwards.
  void follow(BackgroundIo &files) {
    if (line_)
      files.observeForwardReads([this](Offset done) {
        show(line_->update(done, ProgressLine::Clock::now()));
      });
  }

private:
  static void show(const std::string &text) {
    if (!text.empty())
      std::fputs(text.c_str(), stderr);
  }

  std::optional<ProgressLine> line_;
};

// Runs the pass from `input` to `sink`, the files read and written on threads
// of their own beside it, and returns the first failure. What the pass finds
// goes to `findings`.
Error runPass(InputFile &input, ByteSink &sink, const Console &console,
              FindingReport &findings) {
  TerminalProgress progress(console, input);
  BackgroundIo files(input, sink, kDefaultBufferSize);
  progress.follow(files);
  InputStream inputStream(files.input());
  OutputStream outputStream(files.output());
  scan(inputStream, outputStream, {kDefaultReadBackBlockSize, &findings});
  if (inputStream.error())
    return inputStream.error();
  if (Error error = outputStream.flush())
    return error;
  return files.finishOutput();
}

// Reads `written`, what the pass wrote, back beside `input`, and fails where
// it does not carry the input's scans: that would be a fault of svfseg's, so
// the output is then not put in place. On success returns what was verified.
Expected<VerificationSummary> verify(InputFile &input, ByteSource &written) {
  Expected<Verification> verification = verifyConversion(input, written);
  if (!verification)
    return verification.takeError();
  if (!verification->mismatch)
    return verification->summary;
  const Mismatch &mismatch = *verification->mismatch;
  Expected<std::vector<std::uint64_t>> line =
      lineNumbers(input, {mismatch.commandAt});
  if (!line)
    return line.takeError();
  std::fflush(stdout);
  std::fprintf(stderr, "%s:%llu: error: %s\n", input.name().c_str(),
               static_cast<unsigned long long>(line->front()),
               mismatch.what.c_str());
  return Error(input.name(),
               "the output does not carry the input's scans and is not "
               "written; this is a fault of svfseg, please report it");
}

// Converts `input` to `sink`, then prints the warnings; with --strict, any
// warning fails the run. With --verify, `written` (the sink read back) is
// then checked against the input, and what was verified is returned.
Expected<std::optional<VerificationSummary>>
convert(InputFile &input, ByteSink &sink, ByteSource *written,
        const Options &options, const Console &console) {
  FindingReport findings;
  if (Error error = runPass(input, sink, console, findings))
    return error;
  std::fflush(stdout);
  if (Error error = findings.print(stderr, input.name(), input))
    return error;
  if (options.strict && findings.count() != 0)
    return Error(input.name(),
                 "the conversion gave " + std::to_string(findings.count()) +
                     (findings.count() == 1 ? " warning" : " warnings") +
                     "; with --strict no output is written");
  if (!options.verify || !written)
    return std::optional<VerificationSummary>();
  Expected<VerificationSummary> verified = verify(input, *written);
  if (!verified)
    return verified.takeError();
  return std::optional<VerificationSummary>(*verified);
}

// The completion text, and what --verify verified.
void sayDone(const Console &console,
             const std::optional<VerificationSummary> &verified) {
  console.say(kDoneText);
  if (!verified)
    return;
  const std::string line =
      "Verified: " + std::to_string(verified->commands) + " commands, " +
      std::to_string(verified->longSdrCommands) + " long SDR commands (" +
      std::to_string(verified->longSdrBits) + " bits) carry the same scans.\n";
  console.say(line.c_str());
}

Error refusalToOverwrite(const std::string &name) {
  return {name, "is the input file itself; refusing to overwrite it"};
}

// Says the start text, converts `input` to `sink` (read back as `written` for
// --verify), then has `deliver` put the output where it belongs; says the
// completion text once all of it has succeeded.
template <typename Deliver>
int convertAndDeliver(InputFile &input, ByteSink &sink, ByteSource *written,
                      const Options &options, const Console &console,
                      const Deliver &deliver) {
  console.say(kStartText);
  Expected<std::optional<VerificationSummary>> converted =
      convert(input, sink, written, options, console);
  if (!converted)
    return console.fail(converted.takeError());
  if (Error error = deliver())
    return console.fail(error);
  sayDone(console, *converted);
  return kExitSuccess;
}

int convertToFile(InputFile &input, const std::string &path,
                  const Options &options, const Console &console) {
  if (input.isSameFile(path))
    return console.failToOpen(refusalToOverwrite(path));
  handleProcessSignals();
  Expected<OutputFile> output = OutputFile::create(path);
  if (!output)
    return console.failToOpen(output.takeError());
  return convertAndDeliver(input, *output, &*output, options, console,
                           [&] { return output->commit(); });
}

// Converts to standard output: as the bytes are converted, or, where the run
// may yet fail after the pass (--strict, --verify), into a scratch file
// first, copied out once the run has succeeded.
int convertToStandardOutput(InputFile &input, const Options &options,
                            const Console &console) {
  if (input.isStandardOutput())
    return console.failToOpen(refusalToOverwrite(kStandardOutputName));
  handleProcessSignals();
  StandardOutput output(kStandardOutputName);
  if (!options.strict && !options.verify)
    return convertAndDeliver(input, output, nullptr, options, console,
                             [] { return Error(); });
  Expected<ScratchFile> scratch = ScratchFile::create();
  if (!scratch)
    return console.failToOpen(scratch.takeError());
  return convertAndDeliver(input, *scratch, &*scratch, options, console,
                           [&] { return scratch->copyTo(output); });
}

int convert(const Options &options) {
  const Destination destination = destinationFor(options);
  const Console console(options, destination);
  Expected<InputFile> input =
      options.input == kStandardStreamArgument
          ? InputFile::openStandardInput(kStandardInputName)
          : InputFile::open(options.input);
  if (!input)
    return console.failToOpen(input.takeError());
  if (destination.kind == Destination::Kind::kStandardOutput)
    return convertToStandardOutput(*input, options, console);
  return convertToFile(*input, destination.path, options, console);
}

void printUsage(const char *invokedAs) {
  std::printf("Usage: %s original_filename (e.g.: file.svf)\n", invokedAs);
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
  const char *invokedAs = argc > 0 && argv[0] ? argv[0] : kProgramName;
  const CommandLine commandLine = parseCommandLine(argc, argv);
  switch (commandLine.action) {
  case CommandLine::Action::kConvert:
    return convert(commandLine.options);
  case CommandLine::Action::kHelp:
    printUsage(invokedAs);
    std::fputs(kOptionHelp, stdout);
    return kExitSuccess;
  case CommandLine::Action::kVersion:
    std::printf("%s %s\n", kProgramName, SVFSEG_VERSION);
    return kExitSuccess;
  case CommandLine::Action::kWrongOption:
    std::fprintf(stderr, "%s: error: %s\nTry '%s --help'.\n", kProgramName,
                 commandLine.problem.c_str(), kProgramName);
    return kExitUsage;
  case CommandLine::Action::kUsage:
    break;
  }
  printUsage(invokedAs);
  return kExitUsage;
}

} // namespace svfseg
