// Tests of the program as a whole: the built svfseg runs in a fresh temporary
// directory, and its standard output, standard error, exit status and the files
// it leaves are checked.
#include "process.h"
#include "test_support.h"

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
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using svfseg::testing::ChildSetup;
using svfseg::testing::Outcome;
using svfseg::testing::readFile;

const std::string kStartText = "Processing SDR command...\n";
const std::string kDoneText = "\nConversion successfully completed!!!\n";
const std::string kOpenFailureText = "Could not open file\n";

void writeFile(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// `path` in UTF-8, the encoding the program takes its arguments in.
std::string utf8(const fs::path &path) {
  std::u8string bytes = path.u8string();
  return {bytes.begin(), bytes.end()};
}

fs::path fromUtf8(const std::string &name) {
  return fs::path(std::u8string(name.begin(), name.end()));
}

// A run set up by `prepare` alone, which runs in the child before the program
// starts (POSIX only).
ChildSetup preparedBy(std::function<void()> prepare) {
  ChildSetup setup;
  setup.prepare = std::move(prepare);
  return setup;
}

// Runs the program with `args` in `directory`, invoked by its path, given
// what `setup` says.
Outcome run(const fs::path &directory, const std::vector<std::string> &args,
            const ChildSetup &setup = {},
            const std::string &program = SVFSEG_PROGRAM) {
  std::vector<std::string> commandLine{program};
  commandLine.insert(commandLine.end(), args.begin(), args.end());
  return svfseg::testing::runProgram(program, commandLine, directory, setup);
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
  Outcome outcome = run(dir_, {"big.svf"}, preparedBy([] {
                          std::signal(SIGXFSZ, SIG_IGN);
                          rlimit limit{4096, 4096};
                          ::setrlimit(RLIMIT_FSIZE, &limit);
                        }));
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
  Outcome outcome = run(dir_, {"mode.svf"}, preparedBy([] { ::umask(027); }));
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
    return run(work_, args, preparedBy([] {
                 if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 ||
                                          ::setgid(kUnprivilegedId) != 0 ||
                                          ::setuid(kUnprivilegedId) != 0))
                   ::_exit(126);
               }),
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

// The options, each as the help describes it, and each wrong use of them.
// Every case runs in a folder that holds the sample as "in.svf" and as
// "-in.svf", and an empty folder "sub".
TEST_F(Program, RunsEachOptionAsTheHelpSays) {
  const std::string usage = std::string("Usage: ") + SVFSEG_PROGRAM +
                            " original_filename (e.g.: file.svf)\n";
  const std::string help =
      usage +
      "  -o, --output=FILE  write the output to FILE; - writes standard "
      "output\n"
      "  -q, --quiet        print no progress texts, only errors\n"
      "      --strict       fail if the conversion gives any warning\n"
      "      --verify       check that the output carries the input's scans\n"
      "                     before it is put in place\n"
      "  -h, --help         print this help and exit\n"
      "  -V, --version      print the version and exit\n";
  const std::string texts = kStartText + kDoneText;
  const std::string verified =
      "Verified: 2 commands, 0 long SDR commands (0 bits) carry the same "
      "scans.\n";
  auto wrongUse = [](const std::string &problem) {
    return "svfseg: error: " + problem + "\nTry 'svfseg --help'.\n";
  };
  const std::string inSub =
      (fs::path("sub") / "out.gvf").make_preferred().string();
  const std::string unicodeName = utf8(u8"prüfung.gvf");
  struct OptionCase {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    // The files written, each holding the converted sample.
    std::vector<std::string> outputs;
  };
  const OptionCase cases[] = {
      {"-o FILE", {"-o", "out.gvf", "in.svf"}, 0, texts, "", {"out.gvf"}},
      {"-oFILE after the input",
       {"in.svf", "-oout.gvf"},
       0,
       texts,
       "",
       {"out.gvf"}},
      {"--output FILE",
       {"--output", "out.gvf", "in.svf"},
       0,
       texts,
       "",
       {"out.gvf"}},
      {"--output=FILE after the input",
       {"in.svf", "--output=out.gvf"},
       0,
       texts,
       "",
       {"out.gvf"}},
      {"a long option abbreviated",
       {"--out=out.gvf", "in.svf"},
       0,
       texts,
       "",
       {"out.gvf"}},
      {"-o into a folder",
       {"-o", inSub, "in.svf"},
       0,
       texts,
       "",
       {"sub/out.gvf"}},
      {"-o with a name that is not ASCII",
       {"in.svf", "-o", unicodeName},
       0,
       texts,
       "",
       {unicodeName}},
      {"the last -o",
       {"-o", "first.gvf", "in.svf", "-o", "out.gvf"},
       0,
       texts,
       "",
       {"out.gvf"}},
      {"-o -", {"-o", "-", "in.svf"}, 0, kSampleConverted, texts, {}},
      {"-q", {"-q", "in.svf"}, 0, "", "", {"in.gvf"}},
      {"--quiet with -o-",
       {"in.svf", "--quiet", "-o-"},
       0,
       kSampleConverted,
       "",
       {}},
      {"-q in a group", {"-qo", "out.gvf", "in.svf"}, 0, "", "", {"out.gvf"}},
      {"--strict", {"--strict", "in.svf"}, 0, texts, "", {"in.gvf"}},
      {"--verify", {"--verify", "in.svf"}, 0, texts + verified, "", {"in.gvf"}},
      {"--verify with -o -",
       {"--verify", "-o", "-", "in.svf"},
       0,
       kSampleConverted,
       texts + verified,
       {}},
      {"-- before an input that begins with -",
       {"--", "-in.svf"},
       0,
       texts,
       "",
       {"-in.gvf"}},
      {"-h", {"-h"}, 0, help, "", {}},
      {"--help, which converts nothing", {"in.svf", "--help"}, 0, help, "", {}},
      {"-V", {"-V"}, 0, std::string("svfseg ") + SVFSEG_VERSION + "\n", "", {}},
      {"--version",
       {"--version", "in.svf"},
       0,
       std::string("svfseg ") + SVFSEG_VERSION + "\n",
       "",
       {}},
      {"an unknown long option",
       {"--frobnicate", "in.svf"},
       2,
       "",
       wrongUse("unknown option '--frobnicate'"),
       {}},
      {"an unknown long option with a value",
       {"in.svf", "--frobnicate=1"},
       2,
       "",
       wrongUse("unknown option '--frobnicate'"),
       {}},
      {"an unknown short option",
       {"-x", "in.svf"},
       2,
       "",
       wrongUse("unknown option '-x'"),
       {}},
      {"an unknown short option in a group",
       {"-qx", "in.svf"},
       2,
       "",
       wrongUse("unknown option '-x'"),
       {}},
      {"-o without its argument",
       {"in.svf", "-o"},
       2,
       "",
       wrongUse("option '-o' requires an argument"),
       {}},
      {"--output without its argument",
       {"in.svf", "--output"},
       2,
       "",
       wrongUse("option '--output' requires an argument"),
       {}},
      {"--output with an empty name",
       {"--output=", "in.svf"},
       2,
       "",
       wrongUse("option '--output' requires an argument"),
       {}},
      {"an argument to an option that takes none",
       {"--quiet=yes", "in.svf"},
       2,
       "",
       wrongUse("option '--quiet' doesn't allow an argument"),
       {}},
      {"no input", {}, 2, usage, "", {}},
      {"options but no input", {"-q", "-o", "out.gvf"}, 2, usage, "", {}},
      {"two inputs", {"in.svf", "-q", "other.svf"}, 2, usage, "", {}},
      {"an option after -- taken as a second input",
       {"--", "in.svf", "-q"},
       2,
       usage,
       "",
       {}},
  };
  for (const OptionCase &c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path work = dir_ / "work";
    fs::create_directories(work / "sub");
    writeFile(work / "in.svf", kSample);
    writeFile(work / "-in.svf", kSample);
    Outcome outcome = run(work, c.args);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
    std::vector<std::string> files{"-in.svf", "in.svf", "sub"};
    for (const std::string &output : c.outputs) {
      files.push_back(output);
      EXPECT_EQ(readFile(work / fromUtf8(output)), kSampleConverted) << output;
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(filesUnder(work), files);
    EXPECT_EQ(readFile(work / "in.svf"), kSample);
    fs::remove_all(work);
  }
}

// Many times the stream buffers: a pipe fills up and the copy of standard
// input takes several blocks.
std::string largeExample() {
  const std::string example =
      readFile(fs::path(SVFSEG_SOURCE_DIR) / "examples" / "board-test.svf");
  std::string large;
  while (large.size() < 3 * 1024 * 1024)
    large += example;
  return large;
}

// Standard input, whether a pipe or a file, and standard output give the
// bytes a file gives, as the library converts them, for an input with
// comments, long SDR commands and RUNTEST. Standard input's copy leaves
// nothing in the temporary folder.
TEST_F(Program, GivesTheSameBytesWhereverItReadsAndWrites) {
  const std::string texts = kStartText + kDoneText;
  struct StreamCase {
    const char *name;
    std::vector<std::string> args;
    enum { kNoInput, kPipe, kRedirect } input;
    std::string out; // "=": the converted bytes
    std::string err;
    const char *output; // the file that holds the converted bytes, if any
  };
  const StreamCase cases[] = {
      {"a file", {"board.svf"}, StreamCase::kNoInput, texts, "", "board.gvf"},
      {"a file to -o -",
       {"-o", "-", "board.svf"},
       StreamCase::kNoInput,
       "=",
       texts,
       nullptr},
      {"a pipe", {"-"}, StreamCase::kPipe, "=", texts, nullptr},
      {"a redirected file", {"-"}, StreamCase::kRedirect, "=", texts, nullptr},
      {"a pipe to -o FILE",
       {"-", "-o", "piped.gvf"},
       StreamCase::kPipe,
       texts,
       "",
       "piped.gvf"},
      {"a redirected file to -o FILE",
       {"-o", "redirected.gvf", "-"},
       StreamCase::kRedirect,
       texts,
       "",
       "redirected.gvf"},
      {"a pipe, quietly", {"-q", "-"}, StreamCase::kPipe, "=", "", nullptr},
  };
  const std::string example =
      readFile(fs::path(SVFSEG_SOURCE_DIR) / "examples" / "board-test.svf");
  for (const std::string &input : {example, largeExample()}) {
    const std::string converted = svfseg::testing::convert(input);
    ASSERT_NE(converted.find("SDRS 256 TDI ("), std::string::npos);
    for (const StreamCase &c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(input.size()) +
                   " bytes");
      const fs::path work = dir_ / "work";
      fs::create_directories(work / "tmp");
      writeFile(work / "board.svf", input);
      ChildSetup setup;
      setup.environment = {{"TMPDIR", (work / "tmp").string()}};
      if (c.input == StreamCase::kPipe)
        setup.input = input;
      if (c.input == StreamCase::kRedirect)
        setup.inputFile = work / "board.svf";
      Outcome outcome = run(work, c.args, setup);
      EXPECT_EQ(outcome.status, 0) << outcome.err;
      EXPECT_TRUE(outcome.out == (c.out == "=" ? converted : c.out))
          << outcome.out.substr(0, 200);
      EXPECT_EQ(outcome.err, c.err);
      std::vector<std::string> files{"board.svf", "tmp"};
      if (c.output) {
        EXPECT_TRUE(readFile(work / c.output) == converted);
        files.emplace_back(c.output);
        std::sort(files.begin(), files.end());
      }
      EXPECT_EQ(filesUnder(work), files);
      fs::remove_all(work);
    }
  }
}

TEST_F(Program, ReadsStandardInputFromWhereItStands) {
#ifdef _WIN32
  GTEST_SKIP() << "the test starts a program only at the start of a file on "
                  "Windows";
#else
  // A file read part-way before the program starts: its first bytes are not
  // standard input's.
  const std::string input = "! skipped\n" + kSample;
  writeFile(dir_ / "part.svf", input);
  const std::string path = (dir_ / "part.svf").string();
  Outcome outcome = run(dir_, {"-q", "-"}, preparedBy([&path] {
                          int fd = ::open(path.c_str(), O_RDONLY);
                          ::lseek(fd, 10, SEEK_SET);
                          ::dup2(fd, 0);
                        }));
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, kSampleConverted);
#endif
}

// A failed run with -o leaves an existing output, and the input, as they were
// and no temporary file behind.
TEST_F(Program, AFailedOutputOptionLeavesEverythingAsItWas) {
  struct FailureCase {
    const char *name;
    std::vector<std::string> args;
    bool redirectInput; // standard input from "in.svf"
    std::string out;
    std::string errorFile; // the file the error names
    std::string posixReason;
    std::function<void()> prepare; // POSIX only
  };
  const std::string refusal =
      "is the input file itself; refusing to overwrite it";
  std::vector<FailureCase> cases = {
      {"into a missing folder",
       {"-o", (fs::path("missing") / "out.gvf").make_preferred().string(),
        "in.svf"},
       false,
       kOpenFailureText,
       (fs::path("missing") / "out.gvf").make_preferred().string(),
       "No such file or directory",
       {}},
      {"onto the input itself",
       {"in.svf", "-o", "in.svf"},
       false,
       kOpenFailureText,
       "in.svf",
       refusal,
       {}},
      {"onto a hard link to the input",
       {"-o", "link.gvf", "in.svf"},
       false,
       kOpenFailureText,
       "link.gvf",
       refusal,
       {}},
      {"onto the file standard input is",
       {"-", "-o", "in.svf"},
       true,
       kOpenFailureText,
       "in.svf",
       refusal,
       {}},
      {"onto a folder",
       {"--output=folder.gvf", "in.svf"},
       false,
       kOpenFailureText,
       "folder.gvf",
       "Is a directory",
       {}},
  };
#ifndef _WIN32
  cases.push_back({"over an existing output, past the file-size limit",
                   {"-o", "out.gvf", "in.svf"},
                   false,
                   kStartText,
                   "out.gvf",
                   "File too large",
                   [] {
                     std::signal(SIGXFSZ, SIG_IGN);
                     rlimit limit{16, 16};
                     ::setrlimit(RLIMIT_FSIZE, &limit);
                   }});
#endif
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path work = dir_ / "work";
    fs::create_directories(work / "folder.gvf");
    writeFile(work / "in.svf", kSample);
    writeFile(work / "out.gvf", kPreviousOutput);
    fs::create_hard_link(work / "in.svf", work / "link.gvf");
    const std::vector<std::string> files = filesUnder(work);
    ChildSetup setup = preparedBy(c.prepare);
    if (c.redirectInput)
      setup.inputFile = work / "in.svf";
    Outcome outcome = run(work, c.args, setup);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, c.out);
    expectErrorLine(outcome.err, c.errorFile, c.posixReason);
    expectLeftAsItWas(work, files, work / "in.svf", work / "out.gvf");
    fs::remove_all(work);
  }
}

TEST_F(Program, NeverAppendsToTheInputThroughStandardOutput) {
#ifdef _WIN32
  GTEST_SKIP() << "the test gives a program only a pipe as its standard "
                  "output on Windows";
#else
  writeFile(dir_ / "in.svf", kSample);
  const std::string path = (dir_ / "in.svf").string();
  auto appendToInput = [&path] {
    ::dup2(::open(path.c_str(), O_WRONLY | O_APPEND), 1);
  };
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"-o", "-", "in.svf"},
        std::vector<std::string>{"-"}}) {
    ChildSetup setup = preparedBy(appendToInput);
    if (args.size() == 1)
      setup.inputFile = dir_ / "in.svf";
    Outcome outcome = run(dir_, args, setup);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, kOpenFailureText +
                               "svfseg: error: <stdout>: is the input file "
                               "itself; refusing to overwrite it\n");
    EXPECT_EQ(readFile(dir_ / "in.svf"), kSample);
    EXPECT_EQ(filesUnder(dir_), std::vector<std::string>{"in.svf"});
  }
#endif
}

// Standard input that cannot be read, or copied, fails the run before
// anything is written, and says why.
TEST_F(Program, ReportsWhyStandardInputCannotBeRead) {
  struct InputCase {
    const char *name;
    std::string missingTemporaryFolder; // TMPDIR, where set
    std::string errorFile;
    std::string posixReason;
    std::function<void()> prepare; // POSIX only
  };
  const std::string missing = (dir_ / "missing").string();
  std::vector<InputCase> cases = {
      {"a temporary folder that does not exist",
       missing,
       missing,
       "No such file or directory",
       {}},
  };
#ifndef _WIN32
  cases.push_back({"a folder", "", "<stdin>", "Is a directory",
                   [] { ::dup2(::open(".", O_RDONLY | O_DIRECTORY), 0); }});
  cases.push_back(
      {"closed", "", "<stdin>", "Bad file descriptor", [] { ::close(0); }});
#endif
  for (const InputCase &c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path work = dir_ / "work";
    fs::create_directories(work);
    writeFile(work / "out.gvf", kPreviousOutput);
    ChildSetup setup = preparedBy(c.prepare);
    setup.input = kSample;
    if (!c.missingTemporaryFolder.empty())
      setup.environment = {{"TMPDIR", c.missingTemporaryFolder}};
    Outcome outcome = run(work, {"-", "-o", "out.gvf"}, setup);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kOpenFailureText);
    expectErrorLine(outcome.err, c.errorFile, c.posixReason);
    expectLeftAsItWas(work, {"out.gvf"}, {}, work / "out.gvf");
    fs::remove_all(work);
  }
}

} // namespace

namespace {

// 75 digits of 300 bits, the top one within the length.
const std::string kDigits75 = std::string(1, '1') + std::string(74, '0');

TEST_F(Program, WarnsOfWhatTheOutputCannotCarryWithItsLine) {
  struct WarningCase {
    const char *name;
    std::string input; // after a first line "x"
    std::string warning;
  };
  const std::string unsplit = "the output holds it unsplit, over 256 bits";
  const WarningCase cases[] = {
      {"indented", "  SDR 300 TDI (" + kDigits75 + ");\n",
       "SDR command of 300 bits does not start its line, so " + unsplit +
           "; start it in the first column to have it split"},
      {"lower case", "sdr 300 TDI (" + kDigits75 + ");\n",
       "SDR command of 300 bits is not written in upper case, so " + unsplit +
           "; write 'SDR' to have it split"},
      {"second command on a line",
       "STATE IDLE; SDR 300 TDI (" + kDigits75 + ");\n",
       "SDR command of 300 bits follows another command on its line, so " +
           unsplit + "; put it on a line of its own to have it split"},
      {"no ')'", "SDR 300 TDI (12;\n",
       "SDR command of 300 bits has a field that cannot be read, so " +
           unsplit + "; check its parentheses and its ';'"},
      {"no ';' at the end", "SDR 300 TDI (" + kDigits75 + ")",
       "SDR command of 300 bits has no ';' before the end of the input, so " +
           unsplit + "; end it with ';' to have it split"},
      {"a length past 32 bits", "SDR 5000000000 TDI (1);\n",
       "SDR command's length 5000000000 does not fit 32 bits, so the output "
       "holds the command as it stands; check its length"},
      {"76 digits for 75", "SDR 300 TDI (F0" + std::string(74, '0') + ");\n",
       "SDR command of 300 bits has 1 digit more in its TDI field than its "
       "length takes, with bits set; the output drops it; check the "
       "command's length"},
      {"bits above the length",
       "SDR 301 TDI (F" + std::string(75, '0') + ");\n",
       "SDR command of 301 bits sets bits above its length in its TDI field; "
       "its last segment carries them as written; check the command's "
       "length"},
      {"no hexadecimal digit",
       "SDR 300 TDI (\n\tG" + std::string(74, '0') + ");\n",
       "SDR command of 300 bits has 'G' in its TDI field on line 3, which is "
       "no hexadecimal digit, so " +
           unsplit + "; correct the field to have it split"},
      {"TDO without TDI", "SDR 300 TDO (" + kDigits75 + ");\n",
       "SDR command of 300 bits: its TDO field is carried as the TDI of its "
       "segments, as fields are taken by their order; write TDI, TDO and "
       "MASK in this order to carry each as named"},
      {"SMASK as the mask",
       "SDR 300 TDI (" + kDigits75 + ") TDO (1) SMASK (1);\n",
       "SDR command of 300 bits: its SMASK field is carried as the MASK of "
       "its segments, as fields are taken by their order; write TDI, TDO and "
       "MASK in this order to carry each as named"},
      {"RUNTEST without ';'", "RUNTEST 100 TCK\nSIR 8 TDI (01);\n",
       "RUNTEST command has no ';' before the next command, on line 3, so the "
       "output holds it as it stands; end it with ';' to have it reduced"},
      {"long SDR without ';'",
       "SDR 300 TDI (" + kDigits75 + ")\nSIR 8 TDI (01);\n",
       "SDR command of 300 bits has no ';' before the next command, on line "
       "3, so " +
           unsplit + "; end it with ';' to have it split"},
      {"a line that is only RUN",
       "RUN\nSDR 303 TDI (" + std::string(76, '0') + ");\n",
       "RUN command has no ';' before the next command, on line 3, so the "
       "output holds it as it stands; end it with ';' to have it reduced"},
      {"an indented RUNTEST with a state name", "  RUNTEST IDLE 5 TCK;\n",
       "RUNTEST command does not start its line, so the output holds it "
       "unreduced, with its state name; write it as 'RUNTEST count unit;' at "
       "the start of a line to have it reduced"},
      {"a lower-case RUNTEST with a minimum time and a clause",
       "runtest 2 tck 1e-3 sec maximum 1 sec;\n",
       "RUNTEST command is not written in upper case, so the output holds it "
       "unreduced, with its minimum time and its clauses after the unit; "
       "write it as 'RUNTEST count unit;' at the start of a line to have it "
       "reduced"},
  };
  for (const WarningCase &c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir_ / "w.svf", "x\n" + c.input);
    Outcome outcome = run(dir_, {"w.svf"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, kStartText + kDoneText);
    EXPECT_EQ(outcome.err, "w.svf:2: warning: " + c.warning + "\n");
    EXPECT_TRUE(fs::exists(dir_ / "w.gvf"));
  }
}

TEST_F(Program, WarnsOfNothingInWhatItConvertsAsMeant) {
  writeFile(dir_ / "w.svf",
            "! SDR 300 TDI (1);\n  RUNTEST 5 TCK;\n  SDR 8 TDI (01);\n"
            "SDR 300 TDI (" +
                kDigits75 + ") SMASK (1) TDO (1) MASK (1);\n");
  Outcome outcome = run(dir_, {"w.svf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
}

TEST_F(Program, KeepsTheCommandAfterOneThatLacksItsSemicolon) {
  const std::string field = std::string(74, '0') + "1";
  writeFile(dir_ / "k.svf",
            "RUNTEST 100 TCK\nSIR 8 TDI (01);\nSDR 300 TDI (" + field +
                ")\nSIR 8 TDI (02);\n! a long SDR with comments\n"
                "SDR 300 TDI (" +
                field.substr(0, 40) + " ! T (M;\n" + field.substr(40) +
                ")\n// TDO (x)\n;\n");
  Outcome outcome = run(dir_, {"-q", "k.svf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(readFile(dir_ / "k.gvf"),
            "RUNTEST 100 TCK\nSIR 8 TDI (01);\nSDR 300 TDI (" + field +
                ")\nSIR 8 TDI (02);\n// a long SDR with comments\n"
                "SDRS 256 TDI (" +
                field.substr(11) + ") ;\r\nSDR 44 TDI (" + field.substr(0, 11) +
                ") ;\n");
}

TEST_F(Program, ShowsTwentyWarningsAndCountsTheRest) {
  std::string input;
  for (int i = 0; i < 25; ++i)
    input += " SDR 300 TDI (1);\n";
  writeFile(dir_ / "many.svf", input);
  Outcome outcome = run(dir_, {"-q", "many.svf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 21);
  EXPECT_NE(outcome.err.find("many.svf:20: warning: "), std::string::npos);
  EXPECT_EQ(outcome.err.find("many.svf:21: warning: "), std::string::npos);
  EXPECT_NE(outcome.err.find(
                "svfseg: warning: many.svf: 5 more warnings not shown\n"),
            std::string::npos);
}

TEST_F(Program, StrictFailsOnAWarningAndWritesNothing) {
  const std::string input = "x\n  SDR 300 TDI (1);\n";
  const std::string warning =
      "s.svf:2: warning: SDR command of 300 bits does not start its line, so "
      "the output holds it unsplit, over 256 bits; start it in the first "
      "column to have it split\n";
  const std::string failure = "svfseg: error: s.svf: the conversion gave 1 "
                              "warning; with --strict no output is written\n";
  writeFile(dir_ / "s.svf", input);
  writeFile(dir_ / "s.gvf", kPreviousOutput);
  Outcome outcome = run(dir_, {"--strict", "s.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kStartText);
  EXPECT_EQ(outcome.err, warning + failure);
  EXPECT_EQ(readFile(dir_ / "s.gvf"), kPreviousOutput);
  EXPECT_EQ(filesUnder(dir_), (std::vector<std::string>{"s.gvf", "s.svf"}));

  outcome = run(dir_, {"--strict", "-q", "-o", "-", "s.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "") << "nothing reaches standard output";
  EXPECT_EQ(outcome.err, warning + failure);

  writeFile(dir_ / "fine.svf", kSample);
  outcome = run(dir_, {"--strict", "-q", "-o", "-", "fine.svf"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, kSampleConverted) << "copied out once it succeeded";
}

TEST_F(Program, VerifiesWhatItWritesWhereverItWritesIt) {
  const std::string example =
      readFile(fs::path(SVFSEG_SOURCE_DIR) / "examples" / "board-test.svf");
  const std::string verified = "Verified: 17 commands, 1 long SDR commands "
                               "(520 bits) carry the same scans.\n";
  writeFile(dir_ / "board.svf", example);
  Outcome outcome = run(dir_, {"--verify", "board.svf"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, kStartText + kDoneText + verified);
  const std::string converted = readFile(dir_ / "board.gvf");
  EXPECT_EQ(converted, svfseg::testing::convert(example));

  outcome = run(dir_, {"-q", "--verify", "-o", "-", "board.svf"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, converted);
  EXPECT_EQ(outcome.err, "") << "-q keeps the verified line back too";
}

TEST_F(Program, VerifiesTheConversionOfEveryFileOfTheCorpus) {
  const auto corpus = svfseg::testing::corpusFiles();
  if (!corpus)
    GTEST_SKIP() << "no corpus at " << svfseg::testing::corpusFolder();
  for (const fs::path &path : *corpus) {
    SCOPED_TRACE(utf8(path.filename()));
    // A copy beside the program's working folder: a POSIX path of the
    // corpus means nothing to the Windows program under Wine.
    fs::copy_file(path, dir_ / "in.svf", fs::copy_options::overwrite_existing);
    Outcome outcome = run(dir_, {"-q", "--verify", "-o", "out.gvf", "in.svf"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err.find("error"), std::string::npos) << outcome.err;
  }
  EXPECT_FALSE(corpus->empty());
}

} // namespace
