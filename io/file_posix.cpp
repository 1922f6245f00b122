#include "io/file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace svfseg {
namespace {

// Writes all of `bytes` to `fd`; a failure names `name`.
Error writeAll(int fd, std::string_view bytes, const std::string &name) {
  while (!bytes.empty()) {
    ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return Error::fromSystem(name, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return {};
}

// Reads into `buffer` the bytes of `fd` from `offset` on, until it is full or
// the file ends; a failure names `name`.
Expected<std::size_t> readAllAt(int fd, Offset offset, std::span<char> buffer,
                                const std::string &name) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    ssize_t count =
        ::pread(fd, buffer.data() + done, buffer.size() - done,
                static_cast<off_t>(offset + static_cast<Offset>(done)));
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return Error::fromSystem(name, errno);
    }
    if (count == 0)
      break;
    done += static_cast<std::size_t>(count);
  }
  return done;
}

bool sameFile(const struct stat &one, const struct stat &other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Where standard input is copied to: TMPDIR, else /tmp.
std::string temporaryDirectory() {
  const char *directory = std::getenv("TMPDIR");
  return directory && *directory ? directory : "/tmp";
}

// A new file in `directory`, open for reading and writing, that no name
// reaches: it goes away when it is closed, also when the process is killed.
Expected<int> createUnnamedFile(const std::string &directory) {
#ifdef O_TMPFILE
  int unnamed = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (unnamed >= 0)
    return unnamed;
#endif
  // Where the system or the file system has no unnamed files: a named one,
  // unlinked at once.
  std::string name = directory + "/.svfseg-stdin-XXXXXX";
  int fd = ::mkstemp(name.data());
  if (fd < 0)
    return Error::fromSystem(directory, errno);
  ::unlink(name.c_str());
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

// Copies what is left of `from` to `to` through one fixed buffer. A read
// failure names `fromName`, a write failure `toName`.
Error copyRest(int from, const std::string &fromName, int to,
               const std::string &toName) {
  const std::unique_ptr<char[]> buffer(new char[kDefaultBufferSize]);
  for (;;) {
    ssize_t count = ::read(from, buffer.get(), kDefaultBufferSize);
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return Error::fromSystem(fromName, errno);
    }
    if (count == 0)
      return {};
    std::string_view bytes(buffer.get(), static_cast<std::size_t>(count));
    if (Error error = writeAll(to, bytes, toName))
      return error;
  }
}

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

Expected<InputFile> InputFile::openStandardInput(const std::string &name) {
  struct stat status {};
  if (::fstat(STDIN_FILENO, &status) != 0)
    return Error::fromSystem(name, errno);
  // Read part-way, the file's own offsets would not be standard input's.
  if (S_ISREG(status.st_mode) && ::lseek(STDIN_FILENO, 0, SEEK_CUR) == 0) {
    int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
      return Error::fromSystem(name, errno);
    return InputFile(name, fd);
  }
  const std::string directory = temporaryDirectory();
  Expected<int> copy = createUnnamedFile(directory);
  if (!copy)
    return copy.takeError();
  InputFile file(name, *copy); // closes the copy, whatever follows
  if (Error error = copyRest(STDIN_FILENO, name, *copy, directory))
    return error;
  return file;
}

InputFile::InputFile(InputFile &&other) noexcept
    : path_(std::move(other.path_)), file_(std::exchange(other.file_, -1)) {}

InputFile::~InputFile() {
  if (file_ >= 0)
    ::close(file_);
}

Expected<std::size_t> InputFile::readAt(Offset offset, std::span<char> buffer) {
  return readAllAt(file_, offset, buffer, path_);
}

bool InputFile::isSameFile(const std::string &path) const {
  struct stat mine {};
  struct stat other {};
  if (::fstat(file_, &mine) != 0 || ::stat(path.c_str(), &other) != 0)
    return false;
  return sameFile(mine, other);
}

bool InputFile::isStandardOutput() const {
  struct stat mine {};
  struct stat output {};
  if (::fstat(file_, &mine) != 0 || ::fstat(STDOUT_FILENO, &output) != 0)
    return false;
  return sameFile(mine, output);
}

Expected<Offset> InputFile::size() const {
  struct stat status {};
  if (::fstat(file_, &status) != 0)
    return Error::fromSystem(path_, errno);
  return static_cast<Offset>(status.st_size);
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
                    O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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
  return writeAll(file_, bytes, path_);
}

Expected<std::size_t> OutputFile::readAt(Offset offset,
                                         std::span<char> buffer) {
  return readAllAt(file_, offset, buffer, path_);
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

Expected<ScratchFile> ScratchFile::create() {
  const std::string directory = temporaryDirectory();
  Expected<int> file = createUnnamedFile(directory);
  if (!file)
    return file.takeError();
  return ScratchFile(directory, *file);
}

ScratchFile::ScratchFile(ScratchFile &&other) noexcept
    : name_(std::move(other.name_)), file_(std::exchange(other.file_, -1)),
      size_(other.size_) {}

ScratchFile::~ScratchFile() {
  if (file_ >= 0)
    ::close(file_);
}

Error ScratchFile::write(std::string_view bytes) {
  size_ += static_cast<Offset>(bytes.size());
  return writeAll(file_, bytes, name_);
}

Expected<std::size_t> ScratchFile::readAt(Offset offset,
                                          std::span<char> buffer) {
  return readAllAt(file_, offset, buffer, name_);
}

Error StandardOutput::write(std::string_view bytes) {
  return writeAll(STDOUT_FILENO, bytes, name_);
}

bool isStandardErrorTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void handleProcessSignals() {
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = removeTemporaryOutputAndEnd;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    ::sigaction(signal, &action, nullptr);
}

} // namespace svfseg
