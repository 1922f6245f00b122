#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace svfseg::testing {
namespace {

std::string drain(int fd) {
  std::string bytes;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
    bytes.append(chunk, static_cast<std::size_t>(n));
  ::close(fd);
  return bytes;
}

// Writes `bytes` to `fd`, then closes it. A program that ends without reading
// them all breaks the pipe: SIGPIPE is blocked on this thread, so that the
// write fails instead of ending the tests, and the signal is taken back.
void feed(int fd, const std::string &bytes) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (count < 0 && errno == EINTR)
      continue;
    if (count < 0) {
      const timespec now{};
      sigtimedwait(&pipeSignal, nullptr, &now);
      break;
    }
    done += static_cast<std::size_t>(count);
  }
  ::close(fd);
}

// The test's environment with `overrides` set over it, as "NAME=VALUE".
std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>> &overrides) {
  std::vector<std::string> variables;
  for (char **variable = environ; *variable; ++variable) {
    std::string_view entry = *variable;
    bool overridden = false;
    for (const auto &[name, value] : overrides)
      overridden = overridden || entry.starts_with(name + "=");
    if (!overridden)
      variables.emplace_back(entry);
  }
  for (const auto &[name, value] : overrides)
    variables.push_back(name + "=" + value);
  return variables;
}

std::vector<char *> pointersTo(const std::vector<std::string> &strings) {
  std::vector<char *> pointers;
  for (const std::string &string : strings)
    pointers.push_back(const_cast<char *>(string.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

} // namespace

Outcome runProgram(const std::filesystem::path &program,
                   const std::vector<std::string> &args,
                   const std::filesystem::path &directory,
                   const ChildSetup &setup) {
  // Close-on-exec everywhere: the program keeps only what is moved to 0, 1
  // and 2, so that it sees the end of its input once the feeder closes it.
  int in[2];
  int out[2];
  int err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
      ::pipe2(err, O_CLOEXEC) != 0)
    return {};
  int inputFile = -1;
  if (!setup.inputFile.empty() &&
      (inputFile = ::open(setup.inputFile.c_str(), O_RDONLY | O_CLOEXEC)) < 0)
    return {};
  // Made before the fork: the child may not allocate.
  const std::vector<std::string> variables = environmentWith(setup.environment);
  std::vector<char *> environment = pointersTo(variables);
  std::vector<char *> argv = pointersTo(args);
  pid_t child = ::fork();
  if (child < 0)
    return {};
  if (child == 0) {
    ::dup2(inputFile >= 0 ? inputFile : in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (::chdir(directory.c_str()) != 0)
      ::_exit(127);
    if (setup.prepare)
      setup.prepare();
    ::execve(program.c_str(), argv.data(), environment.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (inputFile >= 0)
    ::close(inputFile);
  std::thread feeder(feed, in[1], std::cref(setup.input));
  Outcome outcome;
  std::thread errors([&] { outcome.err = drain(err[0]); });
  outcome.out = drain(out[0]);
  errors.join();
  feeder.join();
  int status = 0;
  ::waitpid(child, &status, 0);
  outcome.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

} // namespace svfseg::testing
