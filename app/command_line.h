// The command line: the options and the one input, parsed the GNU way by
// getopt_long (options before or after the input, "--" ends them), with every
// message worded here so that all systems print the same.
#pragma once

#include <optional>
#include <string>

namespace svfseg {

// The name that stands for standard input as the input, and for standard
// output as the output.
inline constexpr const char *kStandardStreamArgument = "-";

// What a conversion is asked to do.
struct Options {
  std::string input;                 // "-": standard input
  std::optional<std::string> output; // -o FILE; "-": standard output
  bool quiet = false;                // -q: no progress texts
  bool strict = false; // --strict: any warning of the conversion fails the run
  // --verify: the output is read back and checked against the input before
  // it is put in place.
  bool verify = false;
};

// The parsed command line.
struct CommandLine {
  enum class Action {
    kConvert,     // convert as `options` say
    kHelp,        // -h, --help
    kVersion,     // -V, --version
    kUsage,       // no input, or more than one
    kWrongOption, // an unknown option or a missing argument: see `problem`
  };
  Action action = Action::kUsage;
  Options options;
  std::string problem; // kWrongOption: what is wrong, worded for the user
};

// Parses `argv`, whose first element is the name the program is invoked by.
// May be called any number of times in one process: getopt_long's own state
// is reset before each parse.
CommandLine parseCommandLine(int argc, const char *const *argv);

// The lines --help prints after the usage line: one for each option.
extern const char *const kOptionHelp;

} // namespace svfseg
