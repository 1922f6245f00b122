// Tests of the program as a whole: the built svfseg runs in a fresh temporary
// directory, and its standard output, standard error, exit status and the files
// it leaves are checked.
#include <gtest/gtest.h>

#include <fcntl.h>
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
            const std::function<void()> &prepare = {}) {
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
    argv.push_back(const_cast<char *>(SVFSEG_PROGRAM));
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(SVFSEG_PROGRAM, argv.data());
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

TEST_F(Program, ReportsAMissingInput) {
  Outcome outcome = run(dir_, {"missing.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_EQ(outcome.err,
            "svfseg: error: missing.svf: No such file or directory\n");
  EXPECT_TRUE(filesUnder(dir_).empty());
}

TEST_F(Program, RefusesInputsThatCannotBeReadByPosition) {
  fs::create_directory(dir_ / "folder.svf");
  Outcome outcome = run(dir_, {"folder.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_EQ(outcome.err, "svfseg: error: folder.svf: Is a directory\n");

  ASSERT_EQ(::mkfifo((dir_ / "pipe.svf").c_str(), 0600), 0);
  outcome = run(dir_, {"pipe.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_NE(outcome.err.find("pipe.svf: not a regular file"), std::string::npos)
      << outcome.err;
  EXPECT_EQ(filesUnder(dir_),
            (std::vector<std::string>{"folder.svf", "pipe.svf"}));
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
  writeFile(dir_ / "out.svf", kSample);
  fs::create_directory(dir_ / "out.gvf");
  Outcome outcome = run(dir_, {"out.svf"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, kOpenFailureText);
  EXPECT_EQ(outcome.err, "svfseg: error: out.gvf: Is a directory\n");
  EXPECT_EQ(filesUnder(dir_), (std::vector<std::string>{"out.gvf", "out.svf"}));
}

} // namespace
