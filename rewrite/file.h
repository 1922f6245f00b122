// The operating system's files behind the input and output streams. This is the
// one place that makes system calls on files.
#pragma once

#include "rewrite/stream.h"

#include <string>

namespace svfseg {

// A regular file opened for reading by position. Anything else (a directory, a
// pipe, a device) is refused when it is opened: the SDR handler reads fields
// backwards, which only a regular file allows.
class InputFile final : public ByteSource {
public:
  static Expected<InputFile> open(const std::string &path);

  InputFile(InputFile &&other) noexcept;
  InputFile &operator=(InputFile &&) = delete;
  ~InputFile() override;

  Expected<std::size_t> readAt(Offset offset, std::span<char> buffer) override;

  // True when `path` names this very file, under the same name or another (a
  // link).
  bool isSameFile(const std::string &path) const;

private:
  InputFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

  std::string path_;
  int fd_;
};

// The output file. What is written goes to a new temporary file beside `path`,
// which commit() renames over `path`; if commit() is never reached, the
// temporary file is removed and a file already at `path` stays as it was.
class OutputFile final : public ByteSink {
public:
  // Refuses, as opening it for writing would, an existing `path` that may not
  // be written.
  static Expected<OutputFile> create(const std::string &path);

  OutputFile(OutputFile &&other) noexcept;
  OutputFile &operator=(OutputFile &&) = delete;
  ~OutputFile() override;

  Error write(std::string_view bytes) override;

  // Closes the temporary file and puts it in place under the output name.
  Error commit();

private:
  OutputFile(std::string path, std::string temporaryPath, int fd)
      : path_(std::move(path)), temporaryPath_(std::move(temporaryPath)),
        fd_(fd) {}

  std::string path_;
  std::string temporaryPath_;
  int fd_;
};

// Makes a write beyond the file-size limit fail with an error instead of ending
// the process, so that the failure is reported and the temporary output
// removed.
void reportFileSizeLimitAsError();

} // namespace svfseg
