#include "io/file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace svfseg {
namespace {

// Tries the checks that opening `path` for writing makes, without truncating
// it: a missing file is fine (it will be created), an existing one must be
// writable and not a directory.
Error checkWritable(const std::string &path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return errno == ENOENT ? Error() : Error::fromSystem(path, errno);
  ::close(fd);
  return {};
}

// The temporary output being written, for the signal handler below. Fixed
// storage, set before the handler can need it: a handler may not allocate.
char pendingTemporaryPath[4096];
volatile std::sig_atomic_t temporaryPending = 0;

extern "C" void removeTemporaryOutputAndEnd(int signal) {
  if (temporaryPending)
    ::unlink(pendingTemporaryPath);
  // Ends the process the way the signal would have, for the caller to see.
  std::signal(signal, SIG_DFL);
  ::raise(signal);
}

void rememberTemporaryOutput(const std::string &path) {
  if (path.size() >= sizeof pendingTemporaryPath)
    return;
  path.copy(pendingTemporaryPath, path.size());
  pendingTemporaryPath[path.size()] = '\0';
  temporaryPending = 1;
}

void forgetTemporaryOutput() { temporaryPending = 0; }

} // namespace

Expected<InputFile> InputFile::open(const std::string &path) {
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it is
  // refused just below.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return Error::fromSystem(path, errno);
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    int code = errno;
    ::close(fd);
    return Error::fromSystem(path, code);
  }
  if (!S_ISREG(status.st_mode)) {
    ::close(fd);
    if (S_ISDIR(status.st_mode))
      return Error::fromSystem(path, EISDIR);
    return Error(path, "not a regular file; the input must be a file that can "
                       "be read by position");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return InputFile(path, fd);
}

InputFile::InputFile(InputFile &&other) noexcept
    : path_(std::move(other.path_)), file_(std::exchange(other.file_, -1)) {}

InputFile::~InputFile() {
  if (file_ >= 0)
    ::close(file_);
}

Expected<std::size_t> InputFile::readAt(Offset offset, std::span<char> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    ssize_t count =
        ::pread(file_, buffer.data() + done, buffer.size() - done,
                static_cast<off_t>(offset + static_cast<Offset>(done)));
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return Error::fromSystem(path_, errno);
    }
    if (count == 0)
      break;
    done += static_cast<std::size_t>(count);
  }
  return done;
}

bool InputFile::isSameFile(const std::string &path) const {
  struct stat mine {};
  struct stat other {};
  if (::fstat(file_, &mine) != 0 || ::stat(path.c_str(), &other) != 0)
    return false;
  return mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

Expected<OutputFile> OutputFile::create(const std::string &path) {
  if (Error error = checkWritable(path))
    return error;
  // The temporary file is created with the mode a new output file gets (0666
  // less the umask), so that renaming it into place gives the output the same
  // permissions as creating it directly.
  static std::atomic<unsigned> serial{0};
  std::string stem =
      temporaryPathStem(path, static_cast<unsigned long>(::getpid()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporaryPath = stem + "-" + std::to_string(serial++);
    int fd = ::open(temporaryPath.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      rememberTemporaryOutput(temporaryPath);
      return OutputFile(path, std::move(temporaryPath), fd);
    }
    if (errno != EEXIST)
      return Error::fromSystem(path, errno);
  }
  return Error::fromSystem(path, EEXIST);
}

OutputFile::OutputFile(OutputFile &&other) noexcept
    : path_(std::move(other.path_)),
      temporaryPath_(std::move(other.temporaryPath_)),
      file_(std::exchange(other.file_, -1)) {}

OutputFile::~OutputFile() {
  if (file_ >= 0) {
    ::close(file_);
    ::unlink(temporaryPath_.c_str());
    forgetTemporaryOutput();
  }
}

Error OutputFile::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::write(file_, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return Error::fromSystem(path_, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return {};
}

Error OutputFile::commit() {
  int fd = std::exchange(file_, -1);
  if (::close(fd) != 0) {
    int code = errno;
    ::unlink(temporaryPath_.c_str());
    forgetTemporaryOutput();
    return Error::fromSystem(path_, code);
  }
  if (::rename(temporaryPath_.c_str(), path_.c_str()) != 0) {
    int code = errno;
    ::unlink(temporaryPath_.c_str());
    forgetTemporaryOutput();
    return Error::fromSystem(path_, code);
  }
  forgetTemporaryOutput();
  return {};
}

void handleProcessSignals() {
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = removeTemporaryOutputAndEnd;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    ::sigaction(signal, &action, nullptr);
}

} // namespace svfseg
