// Starts a program and collects what it prints and how it ends, for the tests
// of the program as a whole. process_posix.cpp and process_windows.cpp
// implement it.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace svfseg::testing {

struct Outcome {
  int status = -1; // the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

// What a run is given besides its command line.
struct ChildSetup {
  // Standard input: `inputFile` where one is named, opened for reading as
  // `< FILE` opens it; else a pipe through which `input` is written, from a
  // thread of the test's own while the test reads what the program prints,
  // and then closed.
  std::string input;
  std::filesystem::path inputFile;
  // Variables set in the program's environment, over the test's own.
  std::vector<std::pair<std::string, std::string>> environment;
  // Runs in the new process before the program starts. Windows has no such
  // moment: there a run with one fails.
  std::function<void()> prepare;
};

// Runs `program` in `directory` with the command line `args` (UTF-8), whose
// first element is the name the program is invoked by.
Outcome runProgram(const std::filesystem::path &program,
                   const std::vector<std::string> &args,
                   const std::filesystem::path &directory,
                   const ChildSetup &setup = {});

} // namespace svfseg::testing
