// Run control: the command line, where the input comes from and the output
// goes, the two files or standard streams, the console and the exit status. It
// knows files and messages; what the conversion does to the bytes is the
// library's.
#pragma once

#include "io/file.h"

#include <string>
#include <string_view>

namespace svfseg {

// Exit statuses of the program.
enum ExitStatus : int {
  kExitSuccess = 0,
  kExitFailure = 1, // a file could not be opened, the output was refused, or
                    // the run failed
  kExitUsage = 2,   // an unknown option, a missing option argument, or
                    // not exactly one input
};

// The output file's name for `inputName`: the directory part as given, then the
// file name up to and including its first '.', then "gvf". A file name without
// '.' gets ".gvf" appended. Which part is the directory follows `style`.
std::string deriveOutputName(std::string_view inputName,
                             PathStyle style = kNativePathStyle);

// Runs the program on its command line and returns the exit status. May be
// called more than once in one process.
int runConverter(int argc, const char *const *argv);

} // namespace svfseg
