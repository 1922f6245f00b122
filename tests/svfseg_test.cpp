// Tests of the program as a whole: the built svfseg runs in a fresh temporary
// directory, and its standard output, standard error, exit status and the files
// it leaves are checked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kStartText = "Processing SDR command...\n";
const std::string kDoneText = "\nConversion successfully completed!!!\n";
const std::string kOpenFailureText = "Could not open file\n";

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string readFile(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void writeFile(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string drain(int fd) {
  std::string bytes;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
    bytes.append(chunk, static_cast<std::size_t>(n));
  ::close(fd);
  return bytes;
}

// Runs the program with `args` in `directory`; `prepare` runs in the child
// before it starts.
Outcome run(const fs::path &directory, const std::vector<std::string> &args,
            const std::function<void()> &prepare = {},
            const std::string &program = SVFSEG_PROGRAM) {
  int out[2];
  int err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0)
    return {};
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]);
    ::close(err[0]);
    if (::chdir(directory.c_str()) != 0)
      ::_exit(127);
    if (prepare)
      prepare();
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  Outcome outcome;
  outcome.out = drain(out[0]);
  outcome.err = drain(err[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  outcome.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

// The names of the files under `directory`, recursively, sorted.
std::vector<std::string> filesUnder(const fs::path &directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry &entry :
       fs::recursive_directory_iterator(directory))
    names.push_back(fs::relative(entry.path(), directory).generic_string());
  std::sort(names.begin(), names.end());
  return names;
}

class Program : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern =
        (fs::temp_directory_path() / "svfseg-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
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

TEST_F(Program, NamesTheOutputFromTheFileNamePartOnly) {
  struct NamingCase {
    const char *workingDirectory;
    const char *input;
    const char *output;
  };
  const NamingCase cases[] = {
      {".", "file.svf", "file.gvf"},
      {".", "my.design.svf", "my.gvf"},
      {".", "chip.SVF", "chip.gvf"},
      {".", "./file.svf", "./file.gvf"},
      {".", "dir.v2/file.svf", "dir.v2/file.gvf"},
      {"work", "../a.b/x.y.svf", "../a.b/x.gvf"},
      {".", "file", "file.gvf"},
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
}

TEST_F(Program, ConvertsAnInputWhoseNameIsAsLongAsTheFileSystemAllows) {
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
  // The derived name is the input's own name, or another name of the same file.
  writeFile(dir_ / "same.gvf", kSample);
  writeFile(dir_ / "linked.svf", kSample);
  fs::create_symlink("linked.svf", dir_ / "linked.gvf");
  writeFile(dir_ / "hard.svf", kSample);
  fs::create_hard_link(dir_ / "hard.svf", dir_ / "hard.gvf");
  for (const char *input : {"same.gvf", "linked.svf", "hard.svf"}) {
    SCOPED_TRACE(input);
    Outcome outcome = run(dir_, {input});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kOpenFailureText);
    EXPECT_NE(outcome.err.find("refusing to overwrite"), std::string::npos)
        << outcome.err;
    EXPECT_EQ(readFile(dir_ / input), kSample);
  }
  EXPECT_EQ(filesUnder(dir_).size(), 5u) << "no temporary file is left";
}

TEST_F(Program, AFailedWriteLeavesTheExistingOutputAsItWas) {
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
}

TEST_F(Program, GivesTheOutputTheModeOfANewFile) {
  writeFile(dir_ / "mode.svf", kSample);
  Outcome outcome = run(dir_, {"mode.svf"}, [] { ::umask(027); });
  ASSERT_EQ(outcome.status, 0);
  struct stat status {};
  ASSERT_EQ(::stat((dir_ / "mode.gvf").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
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
      {"a FIFO nobody reads",
       [](const fs::path &path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       "No such device or address"},
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

} // namespace
