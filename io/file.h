// The operating system's files behind the input and output streams. This is the
// one place that makes system calls on files: file_posix.cpp implements it with
// POSIX calls, file_windows.cpp with Windows calls. Paths are UTF-8 on both.
#pragma once

#include "rewrite/stream.h"

#include <string>
#include <string_view>

namespace svfseg {

// How a path separates its directory part from the file name: POSIX by '/'
// only; Windows by '/' or '\\', and a drive prefix ("C:") belongs to the
// directory part.
enum class PathStyle { kPosix, kWindows };

#ifdef _WIN32
using NativeFile = void *; // a HANDLE
inline constexpr PathStyle kNativePathStyle = PathStyle::kWindows;
#else
using NativeFile = int; // a file descriptor
inline constexpr PathStyle kNativePathStyle = PathStyle::kPosix;
#endif

// The index in `path` where its file name begins: just after the directory
// part, which is empty when `path` is a bare file name.
inline std::size_t fileNameStart(std::string_view path,
                                 PathStyle style = kNativePathStyle) {
  std::string_view separators = style == PathStyle::kWindows ? "/\\" : "/";
  std::size_t separator = path.find_last_of(separators);
  if (separator != std::string_view::npos)
    return separator + 1;
  bool drivePrefix = style == PathStyle::kWindows && path.size() >= 2 &&
                     path[1] == ':' &&
                     ((path[0] >= 'A' && path[0] <= 'Z') ||
                      (path[0] >= 'a' && path[0] <= 'z'));
  return drivePrefix ? 2 : 0;
}

// The start of the temporary output's name for `path`, written by process
// `processId`: in the output's directory, a dot, the output's file name and
// ".tmp" with the process number. The file name is cut to 128 bytes, so that
// the temporary name stays within the 255 bytes file systems allow even where
// the output's own name takes all of them; the cut never splits a UTF-8
// character.
inline std::string temporaryPathStem(const std::string &path,
                                     unsigned long processId) {
  constexpr std::size_t kLongestName = 128;
  std::size_t nameStart = fileNameStart(path);
  std::size_t nameLength = path.size() - nameStart;
  if (nameLength > kLongestName) {
    nameLength = kLongestName;
    while (nameLength > 0 &&
           (static_cast<unsigned char>(path[nameStart + nameLength]) & 0xC0) ==
               0x80)
      --nameLength;
  }
  return path.substr(0, nameStart) + "." + path.substr(nameStart, nameLength) +
         ".tmp" + std::to_string(processId);
}

// A regular file opened for reading by position. Anything else (a directory, a
// pipe, a device) is refused when it is opened: the SDR handler reads fields
// backwards, which only a regular file allows.
class InputFile final : public ByteSource {
public:
  static Expected<InputFile> open(const std::string &path);

  // Standard input, named `name` in errors. A regular file read from its start
  // (a `< FILE` redirect) is read by position as it is. Anything else (a pipe,
  // a terminal, a file read part-way) is first copied through a fixed buffer
  // to an unnamed temporary file under TMPDIR, else the system's temporary
  // directory, which goes away however the run ends. A failure to make or
  // write the copy names that directory.
  static Expected<InputFile> openStandardInput(const std::string &name);

  InputFile(InputFile &&other) noexcept;
  InputFile &operator=(InputFile &&) = delete;
  ~InputFile() override;

  Expected<std::size_t> readAt(Offset offset, std::span<char> buffer) override;

  // True when `path` names this very file, under the same name or another (a
  // link).
  bool isSameFile(const std::string &path) const;
  // True when standard output is this very file (a `>> FILE` redirect).
  bool isStandardOutput() const;

  // The file's size in bytes.
  Expected<Offset> size() const;
  // The name the file was opened by, which its errors carry.
  const std::string &name() const { return path_; }

private:
  InputFile(std::string path, NativeFile file)
      : path_(std::move(path)), file_(file) {}

  std::string path_;
  NativeFile file_;
};

// The output file. What is written goes to a new temporary file beside `path`,
// which commit() renames over `path`; if commit() is never reached, the
// temporary file is removed and a file already at `path` stays as it was.
// What was written can be read back before it is put in place.
class OutputFile final : public ByteSink, public ByteSource {
public:
  // Refuses, as opening it for writing would, an existing `path` that may not
  // be written.
  static Expected<OutputFile> create(const std::string &path);

  OutputFile(OutputFile &&other) noexcept;
  OutputFile &operator=(OutputFile &&) = delete;
  ~OutputFile() override;

  Error write(std::string_view bytes) override;
  Expected<std::size_t> readAt(Offset offset, std::span<char> buffer) override;

  // Closes the temporary file and puts it in place under the output name.
  Error commit();

private:
  OutputFile(std::string path, std::string temporaryPath, NativeFile file)
      : path_(std::move(path)), temporaryPath_(std::move(temporaryPath)),
        file_(file) {}

  std::string path_;
  std::string temporaryPath_;
  NativeFile file_;
};

// Standard output as a sink: what it is given goes out unchanged, unbuffered
// (the output stream and the writing thread hand over whole blocks). Errors
// name it `name`.
class StandardOutput final : public ByteSink {
public:
  explicit StandardOutput(std::string name) : name_(std::move(name)) {}

  Error write(std::string_view bytes) override;

private:
  std::string name_;
};

// A file that no name reaches, for bytes that are written, read back and then
// copied on: under TMPDIR, else the system's temporary directory, which its
// errors name. It goes away however the run ends.
class ScratchFile final : public ByteSink, public ByteSource {
public:
  static Expected<ScratchFile> create();

  ScratchFile(ScratchFile &&other) noexcept;
  ScratchFile &operator=(ScratchFile &&) = delete;
  ~ScratchFile() override;

  // Appends `bytes`.
  Error write(std::string_view bytes) override;
  Expected<std::size_t> readAt(Offset offset, std::span<char> buffer) override;

  // Writes everything written so far to `sink`, through a fixed buffer.
  Error copyTo(ByteSink &sink);

private:
  ScratchFile(std::string name, NativeFile file)
      : name_(std::move(name)), file_(file) {}

  std::string name_;
  NativeFile file_;
  Offset size_ = 0;
};

// True when standard error is a terminal (on Windows, a console).
bool isStandardErrorTerminal();

// Sets up how the process ends on its own signals: a write beyond the file-size
// limit fails with an error instead of ending the process, so that the failure
// is reported; an interrupt, a termination, a hang-up or a broken pipe removes
// the temporary output before the process ends as the signal would end it, so
// that no partial output is left behind. Windows has neither signals nor a
// file-size limit: there it does nothing.
void handleProcessSignals();

} // namespace svfseg
