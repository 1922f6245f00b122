// Starts a program and collects what it prints and how it ends, for the tests
// of the program as a whole. process_posix.cpp and process_windows.cpp
// implement it.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace svfseg::testing {

struct Outcome {
  int status = -1; // the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

// Runs `program` in `directory` with the command line `args` (UTF-8), whose
// first element is the name the program is invoked by. `prepareChild` runs in
// the new process before the program starts; Windows has no such moment, and
// there a run with one fails.
Outcome runProgram(const std::filesystem::path &program,
                   const std::vector<std::string> &args,
                   const std::filesystem::path &directory,
                   const std::function<void()> &prepareChild = {});

} // namespace svfseg::testing
