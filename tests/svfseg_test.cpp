// Tests of the program as a whole: the built svfseg runs in a fresh temporary
// directory, and its standard output, standard error, exit status and the files
// it leaves are checked.
#include "process.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using svfseg::testing::Outcome;

const std::string kStartText = "Processing SDR command...\n";
const std::string kDoneText = "\nConversion successfully completed!!!\n";
const std::string kOpenFailureText = "Could not open file\n";

std::string readFile(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void writeFile(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// `path` in UTF-8, the encoding the program takes its arguments in.
std::string utf8(const fs::path &path) {
  std::u8string bytes = path.u8string();
  return {bytes.begin(), bytes.end()};
}

// Runs the program with `args` in `directory`, invoked by its path; `prepare`
// runs in the child before it starts (POSIX only).
Outcome run(const fs::path &directory, const std::vector<std::string> &args,
            const std::function<void()> &prepare = {},
            const std::string &program = SVFSEG_PROGRAM) {
  std::vector<std::string> commandLine{program};
  commandLine.insert(commandLine.end(), args.begin(), args.end());
  return svfseg::testing::runProgram(program, commandLine, directory, prepare);
}

// The names of the files under `directory`, recursively, sorted.
std::vector<std::string> filesUnder(const fs::path &directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry &entry :
       fs::recursive_directory_iterator(directory)) {
    std::u8string name =
        fs::relative(entry.path(), directory).generic_u8string();
    names.emplace_back(name.begin(), name.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Checks that `err` is the program's one error line for `file`. The reason is
// the system's own text: compared where it is known, which is on POSIX
// (Windows words it by version and language); on Windows it must be one
// non-empty line without the carriage return the system's text ends in.
void expectErrorLine(const std::string &err, const std::string &file,
                     const std::string &posixReason) {
  const std::string head = "svfseg: error: " + file + ": ";
#ifdef _WIN32
  (void)posixReason;
  ASSERT_GT(err.size(), head.size() + 1) << err;
  EXPECT_EQ(err.substr(0, head.size()), head) << err;
  EXPECT_EQ(err.find_first_of("\r\n"), err.size() - 1) << err;
#else
  EXPECT_EQ(err, head + posixReason + "\n");
#endif
}

class Program : public ::testing::Test {
protected:
  void SetUp() override {
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
      fs::path candidate =
          fs::temp_directory_path() / ("svfseg-test-" + std::to_string(seed()));
      if (fs::create_directory(candidate))
        dir_ = candidate;
    }
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
  }

  fs::path dir_;
};

const std::string kSample = "! a comment\nSIR 8 TDI (01);\nSTATE IDLE;\n";
const std::string kSampleConverted =
    "// a comment\nSIR 8 TDI (01);\nSTATE IDLE;\n";

TEST_F(Program, ConvertsBesideTheInputAndReportsSuccess) {
  writeFile(dir_ / "board.svf", kSample);
  Outcome outcome = run(dir_, {"board.svf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, kStartText + kDoneText);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(readFile(dir_ / "board.gvf"), kSampleConverted);
  EXPECT_EQ(readFile(dir_ / "board.svf"), kSample)
      << "the input is never modified";
  EXPECT_EQ(filesUnder(dir_),
            (std::vector<std::string>{"board.gvf", "board.svf"}));
}

TEST_F(Program, ConvertsAnEmptyInput) {
  writeFile(dir_ / "empty.svf", "");
  Outcome outcome = run(dir_, {"empty.svf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, kStartText + kDoneText);
  EXPECT_TRUE(fs::exists(dir_ / "empty.gvf"));
  EXPECT_EQ(readFile(dir_ / "empty.gvf"), "");
}

TEST_F(Program, PrintsUsageForAWrongArgumentCount) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{},
        std::vector<std::string>{"a.svf", "b.svf"}}) {
    writeFile(dir_ / "a.svf", kSample);
    Outcome outcome = run(dir_, args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, std::string("Usage: ") + SVFSEG_PROGRAM +
                               " original_filename (e.g.: file.svf)\n");
    EXPECT_EQ(filesUnder(dir_), std::vector<std::string>{"a.svf"})
        << "no file is created";
  }
}

TEST_F(Program, NamesTheUsageByTheInvocationNameAsGiven) {
  for (const char *invocationName : {"svfseg", "tools/svfseg.exe", "my prog"}) {
    Outcome outcome =
        svfseg::testing::runProgram(SVFSEG_PROGRAM, {invocationName}, dir_);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, std::string("Usage: ") + invocationName +
                               " original_filename (e.g.: file.svf)\n");
  }
}

TEST_F(Program, NamesTheOutputFromTheFileNamePartOnly) {
#ifdef _WIN32
  const bool windows = true;
#else
  const bool windows = false;
#endif
  struct NamingCase {
    std::string workingDirectory;
    std::string input;
    std::string output;
  };
  const NamingCase cases[] = {
      {".", "file.svf", "file.gvf"},
      {".", "my.design.svf", "my.gvf"},
      {".", "chip.SVF", "chip.gvf"},
      {".", "./file.svf", "./file.gvf"},
      {".", "dir.v2/file.svf", "dir.v2/file.gvf"},
      {"work", "../a.b/x.y.svf", "../a.b/x.gvf"},
      {".", "file", "file.gvf"},
      // A directory on Windows, part of the file name elsewhere.
      {".", "dir.v2\\file.svf", windows ? "dir.v2\\file.gvf" : "dir.gvf"},
      // The full path, with a drive on Windows, and the drive alone.
      {".", (dir_ / "abs.d" / "file.svf").make_preferred().string(),
       (dir_ / "abs.d" / "file.gvf").make_preferred().string()},
      {".", dir_.root_name().string() + "drive.svf",
       dir_.root_name().string() + "drive.gvf"},
  };
  for (const NamingCase &c : cases) {
    SCOPED_TRACE(c.input);
    fs::path cwd = dir_ / c.workingDirectory;
    fs::create_directories(cwd);
    fs::create_directories((cwd / c.input).parent_path());
    writeFile(cwd / c.input, kSample);
    Outcome outcome = run(cwd, {c.input});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(readFile(cwd / c.output), kSampleConverted);
    fs::remove(cwd / c.output);
  }
}

TEST_F(Program, ConvertsAFileWhoseNameIsNotAscii) {
  const fs::path input = fs::path(u8"prüfung.svf");
  writeFile(dir_ / input, kSample);
  Outcome outcome = run(dir_, {utf8(input)});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, kStartText + kDoneText);
  EXPECT_EQ(readFile(dir_ / fs::path(u8"prüfung.gvf")), kSampleConverted);
  EXPECT_EQ(filesUnder(dir_),
            (std::vector<std::string>{utf8(u8"prüfung.gvf"), utf8(input)}));
}

TEST_F(Program, ReportsAMissingInput) {
  Outcome outcome = run(dir_, {"missing.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  expectErrorLine(outcome.err, "missing.svf", "No such file or directory");
  EXPECT_TRUE(filesUnder(dir_).empty());
}

TEST_F(Program, RefusesInputsThatCannotBeReadByPosition) {
#ifdef _WIN32
  const std::string device = "NUL";
#else
  const std::string device = "/dev/null";
#endif
  fs::create_directory(dir_ / "folder.svf");
  Outcome outcome = run(dir_, {"folder.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_EQ(outcome.err, "svfseg: error: folder.svf: Is a directory\n");

  outcome = run(dir_, {device});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_NE(outcome.err.find(device + ": not a regular file"),
            std::string::npos)
      << outcome.err;
  EXPECT_EQ(filesUnder(dir_), std::vector<std::string>{"folder.svf"});
}

// Runs the program on `input`, whose output name is `input` itself or another
// name of the same file, and checks that it refuses and writes nothing.
void expectRefusalToOverwrite(const fs::path &dir, const std::string &input) {
  SCOPED_TRACE(input);
  const std::vector<std::string> filesBefore = filesUnder(dir);
  Outcome outcome = run(dir, {input});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_NE(outcome.err.find("refusing to overwrite"), std::string::npos)
      << outcome.err;
  EXPECT_EQ(readFile(dir / input), kSample);
  EXPECT_EQ(filesUnder(dir), filesBefore) << "no temporary file is left";
}

const std::string kPreviousOutput = "previous output";

// A failed run leaves the files as they were: the input and an existing output
// unchanged, and no temporary file behind.
void expectLeftAsItWas(const fs::path &directory,
                       const std::vector<std::string> &files,
                       const fs::path &input, const fs::path &output) {
  std::error_code absent;
  if (fs::is_regular_file(input, absent)) {
    EXPECT_EQ(readFile(input), kSample) << "the input is never modified";
  }
  if (!output.empty()) {
    EXPECT_EQ(readFile(output), kPreviousOutput);
  }
  EXPECT_EQ(filesUnder(directory), files);
}

TEST_F(Program, LeavesEverythingAsItWasWhenTheInputCannotBeOpened) {
#ifdef _WIN32
  GTEST_SKIP() << "a FIFO, a link to a device and the POSIX name length are "
                  "POSIX cases; ReportsAMissingInput and "
                  "RefusesInputsThatCannotBeReadByPosition run on Windows";
#else
  struct InputCase {
    const char *name;
    std::string input;
    std::function<void(const fs::path &)> make;
    std::string reason;
  };
  const std::string tooLong = std::string(300, 'n') + ".svf";
  const InputCase cases[] = {
      {"missing", "missing.svf", [](const fs::path &) {},
       "No such file or directory"},
      {"a directory", "folder.svf",
       [](const fs::path &path) { fs::create_directory(path); },
       "Is a directory"},
      {"a FIFO", "pipe.svf",
       [](const fs::path &path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       "not a regular file; the input must be a file that can be read by "
       "position"},
      {"a device", "null.svf",
       [](const fs::path &path) { fs::create_symlink("/dev/null", path); },
       "not a regular file; the input must be a file that can be read by "
       "position"},
      {"a name too long for the file system", tooLong, [](const fs::path &) {},
       "File name too long"},
  };
  for (const InputCase &c : cases) {
    SCOPED_TRACE(c.name);
    fs::path work = dir_ / "work";
    fs::create_directory(work);
    c.make(work / c.input);
    std::vector<std::string> files = filesUnder(work);
    fs::path output;
    if (c.input != tooLong) {
      output = work / (c.input.substr(0, c.input.find('.')) + ".gvf");
      writeFile(output, kPreviousOutput);
      files = filesUnder(work);
    }
    Outcome outcome = run(work, {c.input});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kOpenFailureText);
    EXPECT_EQ(outcome.err,
              "svfseg: error: " + c.input + ": " + c.reason + "\n");
    expectLeftAsItWas(work, files, work / c.input, output);
    fs::remove_all(work);
  }
#endif
}

TEST_F(Program, ConvertsAnInputWhoseNameIsAsLongAsTheFileSystemAllows) {
#ifdef _WIN32
  GTEST_SKIP() << "a path past 260 characters needs Windows' long-path "
                  "prefix, which the Windows build does not use";
#endif
  // The temporary output beside it needs a longer name still.
  const std::string stem(251, 'n');
  writeFile(dir_ / (stem + ".svf"), kSample);
  Outcome outcome = run(dir_, {stem + ".svf"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(readFile(dir_ / (stem + ".gvf")), kSampleConverted);
  EXPECT_EQ(filesUnder(dir_),
            (std::vector<std::string>{stem + ".gvf", stem + ".svf"}));
}

TEST_F(Program, NeverWritesOverTheInput) {
  writeFile(dir_ / "same.gvf", kSample);
  expectRefusalToOverwrite(dir_, "same.gvf");
  writeFile(dir_ / "hard.svf", kSample);
  fs::create_hard_link(dir_ / "hard.svf", dir_ / "hard.gvf");
  expectRefusalToOverwrite(dir_, "hard.svf");
}

TEST_F(Program, NeverWritesOverTheInputThroughASymbolicLink) {
  writeFile(dir_ / "linked.svf", kSample);
  std::error_code error;
  fs::create_symlink("linked.svf", dir_ / "linked.gvf", error);
  if (error)
    GTEST_SKIP() << "no symbolic link could be made here (the MinGW C++ "
                    "library makes none on Windows): "
                 << error.message();
  expectRefusalToOverwrite(dir_, "linked.svf");
}

TEST_F(Program, AFailedWriteLeavesTheExistingOutputAsItWas) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no file-size limit to make a write fail";
#else
  writeFile(dir_ / "big.svf", std::string(100000, 'x') + "\n");
  writeFile(dir_ / "big.gvf", "previous output");
  Outcome outcome = run(dir_, {"big.svf"}, [] {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  });
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kStartText) << "no completion text after a failed run";
  EXPECT_EQ(outcome.err, "svfseg: error: big.gvf: File too large\n");
  EXPECT_EQ(readFile(dir_ / "big.gvf"), "previous output");
  EXPECT_EQ(readFile(dir_ / "big.svf"), std::string(100000, 'x') + "\n");
  EXPECT_EQ(filesUnder(dir_), (std::vector<std::string>{"big.gvf", "big.svf"}));
#endif
}

TEST_F(Program, AnInterruptedRunLeavesNoTemporaryFile) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no signals to interrupt a run with";
#else
  // A sparse input of 1 GiB converts for long enough to be interrupted while
  // the temporary output is being written.
  {
    std::ofstream big(dir_ / "big.svf", std::ios::binary);
    big.seekp((std::streamoff{1} << 30) - 1);
    big.put('\n');
  }
  writeFile(dir_ / "big.gvf", "previous output");
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t child = ::fork();
    if (child == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      if (::chdir(dir_.c_str()) == 0)
        ::execl(SVFSEG_PROGRAM, SVFSEG_PROGRAM, "big.svf", nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    std::string printed;
    char chunk[64];
    while (printed.find('\n') == std::string::npos) {
      ssize_t count = ::read(out[0], chunk, sizeof chunk);
      if (count <= 0)
        break;
      printed.append(chunk, static_cast<std::size_t>(count));
    }
    ::kill(child, signal);
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(printed, kStartText);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before the signal";
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_EQ(readFile(dir_ / "big.gvf"), "previous output");
    EXPECT_EQ(filesUnder(dir_),
              (std::vector<std::string>{"big.gvf", "big.svf"}));
  }
#endif
}

TEST_F(Program, ReplacesAnExistingOutput) {
  writeFile(dir_ / "again.svf", kSample);
  writeFile(dir_ / "again.gvf", "previous output, longer than the new one");
  Outcome outcome = run(dir_, {"again.svf"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(readFile(dir_ / "again.gvf"), kSampleConverted);
  EXPECT_EQ(filesUnder(dir_),
            (std::vector<std::string>{"again.gvf", "again.svf"}));
}

TEST_F(Program, GivesTheOutputTheModeOfANewFile) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows files have no POSIX permission bits or umask";
#else
  writeFile(dir_ / "mode.svf", kSample);
  Outcome outcome = run(dir_, {"mode.svf"}, [] { ::umask(027); });
  ASSERT_EQ(outcome.status, 0);
  struct stat status {};
  ASSERT_EQ(::stat((dir_ / "mode.gvf").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
#endif
}

TEST_F(Program, RefusesAnOutputThatCannotBeWritten) {
  struct OutputCase {
    const char *name;
    std::function<void(const fs::path &)> make;
    std::string reason;
  };
  const OutputCase cases[] = {
      {"a directory", [](const fs::path &path) { fs::create_directory(path); },
       "Is a directory"},
#ifndef _WIN32 // Windows has no FIFOs in the file system
      {"a FIFO nobody reads",
       [](const fs::path &path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       "No such device or address"},
#endif
  };
  for (const OutputCase &c : cases) {
    SCOPED_TRACE(c.name);
    fs::path work = dir_ / "work";
    fs::create_directory(work);
    writeFile(work / "out.svf", kSample);
    c.make(work / "out.gvf");
    Outcome outcome = run(work, {"out.svf"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kOpenFailureText);
    EXPECT_EQ(outcome.err, "svfseg: error: out.gvf: " + c.reason + "\n");
    expectLeftAsItWas(work, {"out.gvf", "out.svf"}, work / "out.svf", {});
    fs::remove_all(work);
  }
}

// File permissions bind a user other than root only. Where the tests run as
// root, the program runs as user 65534 ("nobody"), from a copy in a directory
// that user can reach; where that cannot be arranged, the tests are skipped.
class UnprivilegedProgram : public Program {
protected:
#ifdef _WIN32
  void SetUp() override {
    Program::SetUp();
    GTEST_SKIP() << "Windows has no POSIX users or permission bits";
  }
  Outcome runUnprivileged(const std::vector<std::string> &) { return {}; }
#else
  static constexpr uid_t kUnprivilegedId = 65534;

  void SetUp() override {
    Program::SetUp();
    program_ = SVFSEG_PROGRAM;
    work_ = dir_ / "work";
    fs::create_directory(work_);
    if (::geteuid() == 0) {
      fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
      fs::create_directory(dir_ / "bin");
      program_ = (dir_ / "bin" / "svfseg").string();
      fs::copy_file(SVFSEG_PROGRAM, program_);
      ASSERT_EQ(::chown(work_.c_str(), kUnprivilegedId, kUnprivilegedId), 0);
    }
    if (runUnprivileged({}).status != 2)
      GTEST_SKIP() << "the program cannot be run as user " << kUnprivilegedId;
  }

  Outcome runUnprivileged(const std::vector<std::string> &args) {
    return run(
        work_, args,
        [] {
          if (::geteuid() == 0 &&
              (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
               ::setuid(kUnprivilegedId) != 0))
            ::_exit(126);
        },
        program_);
  }

#endif

  std::string program_;
  fs::path work_;
};

TEST_F(UnprivilegedProgram, LeavesEverythingAsItWasWhenTheInputCannotBeRead) {
  writeFile(work_ / "locked.svf", kSample);
  writeFile(work_ / "locked.gvf", kPreviousOutput);
  fs::permissions(work_ / "locked.svf", fs::perms::none);
  Outcome outcome = runUnprivileged({"locked.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_EQ(outcome.err, "svfseg: error: locked.svf: Permission denied\n");
  fs::permissions(work_ / "locked.svf", fs::perms::owner_read);
  expectLeftAsItWas(work_, {"locked.gvf", "locked.svf"}, work_ / "locked.svf",
                    work_ / "locked.gvf");
}

TEST_F(UnprivilegedProgram, RefusesAnExistingOutputItMayNotWrite) {
  writeFile(work_ / "kept.svf", kSample);
  writeFile(work_ / "kept.gvf", kPreviousOutput);
  fs::permissions(work_ / "kept.gvf", fs::perms::owner_read |
                                          fs::perms::group_read |
                                          fs::perms::others_read);
  Outcome outcome = runUnprivileged({"kept.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_EQ(outcome.err, "svfseg: error: kept.gvf: Permission denied\n");
  expectLeftAsItWas(work_, {"kept.gvf", "kept.svf"}, work_ / "kept.svf",
                    work_ / "kept.gvf");
}

TEST_F(UnprivilegedProgram, FailsWhereTheOutputDirectoryMayNotBeWritten) {
  // The existing output itself may be written; its directory may not, so
  // the temporary output cannot be made and nothing is replaced.
  fs::create_directory(work_ / "shelf");
  writeFile(work_ / "shelf" / "x.svf", kSample);
  writeFile(work_ / "shelf" / "x.gvf", kPreviousOutput);
  fs::permissions(work_ / "shelf" / "x.gvf",
                  fs::perms::owner_all | fs::perms::group_all |
                      fs::perms::others_read | fs::perms::others_write);
  fs::permissions(work_ / "shelf",
                  fs::perms::owner_read | fs::perms::owner_exec |
                      fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec);
  Outcome outcome = runUnprivileged({"shelf/x.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_EQ(outcome.err, "svfseg: error: shelf/x.gvf: Permission denied\n");
  expectLeftAsItWas(work_, {"shelf", "shelf/x.gvf", "shelf/x.svf"},
                    work_ / "shelf" / "x.svf", work_ / "shelf" / "x.gvf");
}

TEST_F(Program, RefusesAReadOnlyOutput) {
  const fs::path output = dir_ / "locked.gvf";
  writeFile(dir_ / "locked.svf", kSample);
  writeFile(output, "previous output");
  fs::permissions(output,
                  fs::perms::owner_write | fs::perms::group_write |
                      fs::perms::others_write,
                  fs::perm_options::remove);
  if (std::ofstream(output, std::ios::app))
    GTEST_SKIP() << "this user may write read-only files (root, and Wine run "
                    "by root)";
  Outcome outcome = run(dir_, {"locked.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  expectErrorLine(outcome.err, "locked.gvf", "Permission denied");
  EXPECT_EQ(readFile(output), "previous output");
  EXPECT_EQ(filesUnder(dir_),
            (std::vector<std::string>{"locked.gvf", "locked.svf"}));
  // Windows deletes no read-only file, so the fixture could not clean up.
  fs::permissions(output, fs::perms::owner_write, fs::perm_options::add);
}

} // namespace
