#include "app/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace svfseg {
namespace {

// The leading '-' has getopt_long return every input where it stands, as
// option 1, so that options may come after it whatever POSIXLY_CORRECT says;
// the ':' has it tell a missing argument (':') from an unknown option ('?').
constexpr const char *kShortOptions = "-:o:qhV";
constexpr int kInput = 1;
constexpr int kStrict = 256; // long only
constexpr int kVerify = 257; // long only

constexpr option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"quiet", no_argument, nullptr, 'q'},
    {"strict", no_argument, nullptr, kStrict},
    {"verify", no_argument, nullptr, kVerify},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// getopt_long keeps its place in globals. Sets them so that its next call
// starts a new command line at its first argument, and keeps it from printing
// messages of its own.
void restartOptionParser() {
  opterr = 0;
#ifdef __GLIBC__
  optind = 0; // glibc's restart, which also rereads the leading "-:"
#else
  optreset = 1; // the parsers that come from BSD's (MinGW-w64's, musl's)
  optind = 1;
#endif
}

// The long option `name` stands for, exactly or as a unique abbreviation, as
// getopt_long matches them; null when there is none.
const option *findLongOption(std::string_view name) {
  const option *found = nullptr;
  for (const option *candidate = kLongOptions; candidate->name; ++candidate) {
    std::string_view full = candidate->name;
    if (full == name)
      return candidate;
    if (full.starts_with(name)) {
      if (found)
        return nullptr; // ambiguous
      found = candidate;
    }
  }
  return found;
}

// What is wrong with the long option in `argument` ("--name" or
// "--name=value"), which getopt_long refused.
std::string longOptionProblem(std::string_view argument) {
  std::string_view name = argument.substr(2, argument.find('=') - 2);
  const option *found = findLongOption(name);
  if (!found)
    return "unknown option '--" + std::string(name) + "'";
  const std::string option = "option '--" + std::string(found->name) + "'";
  if (found->has_arg == required_argument)
    return option + " requires an argument";
  return option + " doesn't allow an argument";
}

// What is wrong with the option that getopt_long refused with `code` while it
// read `argument`.
std::string optionProblem(int code, std::string_view argument) {
  if (argument.starts_with("--"))
    return longOptionProblem(argument);
  if (code == ':')
    return "option '-" + std::string(1, static_cast<char>(optopt)) +
           "' requires an argument";
  // A byte that is not printable (part of a UTF-8 character): the argument
  // whole.
  if (optopt > ' ' && optopt < 0x7F)
    return "unknown option '-" + std::string(1, static_cast<char>(optopt)) +
           "'";
  return "unknown option '" + std::string(argument) + "'";
}

CommandLine wrongOption(std::string problem) {
  return {CommandLine::Action::kWrongOption, {}, std::move(problem)};
}

} // namespace

const char *const kOptionHelp =
    "  -o, --output=FILE  write the output to FILE; - writes standard output\n"
    "  -q, --quiet        print no progress texts, only errors\n"
    "      --strict       fail if the conversion gives any warning\n"
    "      --verify       check that the output carries the input's scans\n"
    "                     before it is put in place\n"
    "  -h, --help         print this help and exit\n"
    "  -V, --version      print the version and exit\n";

CommandLine parseCommandLine(int argc, const char *const *argv) {
  if (argc < 2)
    return {};
  // getopt_long takes the pointers as its own, to reorder where it permutes;
  // the strings stay untouched. The list ends in a null, as argv does.
  std::vector<char *> arguments;
  arguments.reserve(static_cast<std::size_t>(argc) + 1);
  for (int i = 0; i < argc; ++i)
    arguments.push_back(const_cast<char *>(argv[i]));
  arguments.push_back(nullptr);

  CommandLine parsed{CommandLine::Action::kConvert, {}, {}};
  std::vector<std::string> inputs;
  restartOptionParser();
  for (;;) {
    // The argument the next option comes from (optind is 0 before the first
    // call on glibc, which restarts there).
    const char *reading =
        arguments[static_cast<std::size_t>(std::clamp(optind, 1, argc))];
    std::string_view argument = reading ? reading : "";
    int code = getopt_long(argc, arguments.data(), kShortOptions, kLongOptions,
                           nullptr);
    if (code == -1)
      break;
    switch (code) {
    case kInput:
      inputs.emplace_back(optarg);
      break;
    case 'o':
      if (*optarg == '\0') // no file has an empty name
        return wrongOption(argument.starts_with("--")
                               ? longOptionProblem(argument)
                               : "option '-o' requires an argument");
      parsed.options.output = optarg;
      break;
    case 'q':
      parsed.options.quiet = true;
      break;
    case kStrict:
      parsed.options.strict = true;
      break;
    case kVerify:
      parsed.options.verify = true;
      break;
    case 'h':
      return {CommandLine::Action::kHelp, {}, {}};
    case 'V':
      return {CommandLine::Action::kVersion, {}, {}};
    default:
      return wrongOption(optionProblem(code, argument));
    }
  }
  // What follows "--" is inputs only.
  for (int i = optind; i < argc; ++i)
    inputs.emplace_back(arguments[static_cast<std::size_t>(i)]);
  if (inputs.size() != 1)
    return {};
  parsed.options.input = inputs.front();
  return parsed;
}

} // namespace svfseg
