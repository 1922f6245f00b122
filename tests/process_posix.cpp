#include "process.h"

#include <sys/wait.h>
#include <unistd.h>

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

} // namespace

Outcome runProgram(const std::filesystem::path &program,
                   const std::vector<std::string> &args,
                   const std::filesystem::path &directory,
                   const std::function<void()> &prepareChild) {
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
    if (prepareChild)
      prepareChild();
    std::vector<char *> argv;
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

} // namespace svfseg::testing
