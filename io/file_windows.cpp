#include "io/file.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

namespace svfseg {
namespace {

// ReadFile and WriteFile take a 32-bit count: longer spans go in pieces.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

// The sharing every handle allows, so that the converter never stands in the
// way of another program that reads, writes or deletes the same file.
constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring toWide(const std::string &text) {
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                 static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      wide.data(), size);
  return wide;
}

std::string toUtf8(std::wstring_view text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                 static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      utf8.data(), size, nullptr, nullptr);
  return utf8;
}

// The system's text for the error `code`, without the line end it comes with.
std::string systemMessage(DWORD code) {
  wchar_t *text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  if (length == 0)
    return "error " + std::to_string(code);
  std::wstring_view message(text, length);
  while (!message.empty() &&
         (message.back() == L'\n' || message.back() == L'\r' ||
          message.back() == L' '))
    message.remove_suffix(1);
  std::string utf8 = toUtf8(message);
  LocalFree(text);
  return utf8;
}

Error systemError(const std::string &path, DWORD code) {
  return Error(path, systemMessage(code));
}

bool isDirectory(const std::wstring &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Tries the checks that opening `path` for writing makes, without truncating
// it: a missing file is fine (it will be created), an existing one must be
// writable and not a directory.
Error checkWritable(const std::string &path, const std::wstring &widePath) {
  if (isDirectory(widePath))
    return Error::fromSystem(path, EISDIR);
  HANDLE file = CreateFileW(widePath.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND ? Error() : systemError(path, code);
  }
  CloseHandle(file);
  return {};
}

} // namespace

Expected<InputFile> InputFile::open(const std::string &path) {
  std::wstring widePath = toWide(path);
  HANDLE file = CreateFileW(widePath.c_str(), GENERIC_READ, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    // Windows refuses to open a directory as a file with "access denied",
    // which hides the reason.
    if (isDirectory(widePath))
      return Error::fromSystem(path, EISDIR);
    return systemError(path, code);
  }
  // A pipe or a device (NUL, CON) is not a disk file.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return Error(path, "not a regular file; the input must be a file that can "
                       "be read by position");
  }
  return InputFile(path, file);
}

InputFile::InputFile(InputFile &&other) noexcept
    : path_(std::move(other.path_)),
      file_(std::exchange(other.file_, INVALID_HANDLE_VALUE)) {}

InputFile::~InputFile() {
  if (file_ != INVALID_HANDLE_VALUE)
    CloseHandle(file_);
}

Expected<std::size_t> InputFile::readAt(Offset offset, std::span<char> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    // On a synchronous handle, ReadFile reads at the OVERLAPPED's 64-bit
    // offset and waits for the bytes.
    auto at = static_cast<std::uint64_t>(offset + static_cast<Offset>(done));
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    auto wanted =
        static_cast<DWORD>(std::min(buffer.size() - done, kLargestTransfer));
    DWORD count = 0;
    if (!ReadFile(file_, buffer.data() + done, wanted, &count, &position)) {
      DWORD code = GetLastError();
      if (code == ERROR_HANDLE_EOF)
        break;
      return systemError(path_, code);
    }
    if (count == 0)
      break;
    done += count;
  }
  return done;
}

bool InputFile::isSameFile(const std::string &path) const {
  HANDLE other = CreateFileW(toWide(path).c_str(), 0, kShareAll, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE)
    return false;
  BY_HANDLE_FILE_INFORMATION mine{};
  BY_HANDLE_FILE_INFORMATION theirs{};
  bool known = GetFileInformationByHandle(file_, &mine) &&
               GetFileInformationByHandle(other, &theirs);
  CloseHandle(other);
  return known && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
         mine.nFileIndexHigh == theirs.nFileIndexHigh &&
         mine.nFileIndexLow == theirs.nFileIndexLow;
}

Expected<OutputFile> OutputFile::create(const std::string &path) {
  if (Error error = checkWritable(path, toWide(path)))
    return error;
  // The temporary file is created with the directory's inherited security, as
  // the output itself would be, so renaming it into place changes nothing.
  static std::atomic<unsigned> serial{0};
  std::string stem = temporaryPathStem(path, GetCurrentProcessId());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporaryPath = stem + "-" + std::to_string(serial++);
    HANDLE file = CreateFileW(toWide(temporaryPath).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
      return OutputFile(path, std::move(temporaryPath), file);
    DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS)
      return systemError(path, code);
  }
  return systemError(path, ERROR_FILE_EXISTS);
}

OutputFile::OutputFile(OutputFile &&other) noexcept
    : path_(std::move(other.path_)),
      temporaryPath_(std::move(other.temporaryPath_)),
      file_(std::exchange(other.file_, INVALID_HANDLE_VALUE)) {}

OutputFile::~OutputFile() {
  if (file_ != INVALID_HANDLE_VALUE) {
    CloseHandle(file_);
    DeleteFileW(toWide(temporaryPath_).c_str());
  }
}

Error OutputFile::write(std::string_view bytes) {
  while (!bytes.empty()) {
    auto wanted = static_cast<DWORD>(std::min(bytes.size(), kLargestTransfer));
    DWORD count = 0;
    if (!WriteFile(file_, bytes.data(), wanted, &count, nullptr))
      return systemError(path_, GetLastError());
    bytes.remove_prefix(count);
  }
  return {};
}

Error OutputFile::commit() {
  HANDLE file = std::exchange(file_, INVALID_HANDLE_VALUE);
  std::wstring wideTemporary = toWide(temporaryPath_);
  if (!CloseHandle(file)) {
    DWORD code = GetLastError();
    DeleteFileW(wideTemporary.c_str());
    return systemError(path_, code);
  }
  // One step: a reader of the output sees the old file or the new one.
  if (!MoveFileExW(wideTemporary.c_str(), toWide(path_).c_str(),
                   MOVEFILE_REPLACE_EXISTING)) {
    DWORD code = GetLastError();
    DeleteFileW(wideTemporary.c_str());
    return systemError(path_, code);
  }
  return {};
}

void handleProcessSignals() {}

} // namespace svfseg
