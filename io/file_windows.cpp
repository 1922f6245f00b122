#include "io/file.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>

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

// Writes all of `bytes` to `file`; a failure names `name`.
Error writeAll(HANDLE file, std::string_view bytes, const std::string &name) {
  while (!bytes.empty()) {
    auto wanted = static_cast<DWORD>(std::min(bytes.size(), kLargestTransfer));
    DWORD count = 0;
    if (!WriteFile(file, bytes.data(), wanted, &count, nullptr))
      return systemError(name, GetLastError());
    bytes.remove_prefix(count);
  }
  return {};
}

// Reads into `buffer` the bytes of `file` from `offset` on, until it is full
// or the file ends; a failure names `name`.
Expected<std::size_t> readAllAt(HANDLE file, Offset offset,
                                std::span<char> buffer,
                                const std::string &name) {
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
    if (!ReadFile(file, buffer.data() + done, wanted, &count, &position)) {
      DWORD code = GetLastError();
      if (code == ERROR_HANDLE_EOF)
        break;
      return systemError(name, code);
    }
    if (count == 0)
      break;
    done += count;
  }
  return done;
}

// Writes all of `bytes` to `file` at `offset`; a failure names `name`.
Error writeAllAt(HANDLE file, Offset offset, std::string_view bytes,
                 const std::string &name) {
  while (!bytes.empty()) {
    auto at = static_cast<std::uint64_t>(offset);
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    auto wanted = static_cast<DWORD>(std::min(bytes.size(), kLargestTransfer));
    DWORD count = 0;
    if (!WriteFile(file, bytes.data(), wanted, &count, &position))
      return systemError(name, GetLastError());
    bytes.remove_prefix(count);
    offset += static_cast<Offset>(count);
  }
  return {};
}

bool sameFile(HANDLE one, HANDLE other) {
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  return GetFileInformationByHandle(one, &first) &&
         GetFileInformationByHandle(other, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

// A standard handle, or null where the process has none.
HANDLE standardHandle(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// Where standard input is copied to: TMPDIR, else the system's temporary
// directory, without the separator GetTempPathW ends it with.
std::wstring temporaryDirectory() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetEnvironmentVariableW(L"TMPDIR", buffer, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) {
    length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH)
      return L".";
  }
  std::wstring directory(buffer, length);
  if (directory.size() > 1 &&
      (directory.back() == L'\\' || directory.back() == L'/') &&
      directory[directory.size() - 2] != L':')
    directory.pop_back();
  return directory;
}

// A new file in `directory`, open for reading and writing, that Windows
// deletes when its handle is closed, also when the process is ended.
Expected<HANDLE> createDeletedOnClose(const std::wstring &directory) {
  static std::atomic<unsigned> serial{0};
  const std::wstring stem = directory + L"\\svfseg-stdin-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring path = stem + std::to_wstring(serial++) + L".tmp";
    HANDLE file = CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
        nullptr);
    if (file != INVALID_HANDLE_VALUE)
      return file;
    DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS)
      return systemError(toUtf8(directory), code);
  }
  return systemError(toUtf8(directory), ERROR_FILE_EXISTS);
}

// Copies what is left of `from` to `to` through one fixed buffer. A read
// failure names `fromName`, a write failure `toName`. The writing end of a
// pipe closed is the end of its bytes.
Error copyRest(HANDLE from, const std::string &fromName, HANDLE to,
               const std::string &toName) {
  const std::unique_ptr<char[]> buffer(new char[kDefaultBufferSize]);
  for (;;) {
    DWORD count = 0;
    if (!ReadFile(from, buffer.get(), static_cast<DWORD>(kDefaultBufferSize),
                  &count, nullptr)) {
      DWORD code = GetLastError();
      if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF)
        return {};
      return systemError(fromName, code);
    }
    if (count == 0)
      return {};
    if (Error error = writeAll(to, {buffer.get(), count}, toName))
      return error;
  }
}

// True when `file` is a disk file read from its start.
bool isDiskFileAtStart(HANDLE file) {
  LARGE_INTEGER position{};
  return GetFileType(file) == FILE_TYPE_DISK &&
         SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT) &&
         position.QuadPart == 0;
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

Expected<InputFile> InputFile::openStandardInput(const std::string &name) {
  HANDLE input = standardHandle(STD_INPUT_HANDLE);
  if (!input)
    return systemError(name, ERROR_INVALID_HANDLE);
  // Read part-way, the file's own offsets would not be standard input's.
  if (isDiskFileAtStart(input)) {
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &own,
                         0, FALSE, DUPLICATE_SAME_ACCESS))
      return systemError(name, GetLastError());
    return InputFile(name, own);
  }
  const std::wstring directory = temporaryDirectory();
  Expected<HANDLE> copy = createDeletedOnClose(directory);
  if (!copy)
    return copy.takeError();
  InputFile file(name, *copy); // closes the copy, whatever follows
  if (Error error = copyRest(input, name, *copy, toUtf8(directory)))
    return error;
  return file;
}

InputFile::InputFile(InputFile &&other) noexcept
    : path_(std::move(other.path_)),
      file_(std::exchange(other.file_, INVALID_HANDLE_VALUE)) {}

InputFile::~InputFile() {
  if (file_ != INVALID_HANDLE_VALUE)
    CloseHandle(file_);
}

Expected<std::size_t> InputFile::readAt(Offset offset, std::span<char> buffer) {
  return readAllAt(file_, offset, buffer, path_);
}

bool InputFile::isSameFile(const std::string &path) const {
  HANDLE other = CreateFileW(toWide(path).c_str(), 0, kShareAll, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE)
    return false;
  bool same = sameFile(file_, other);
  CloseHandle(other);
  return same;
}

bool InputFile::isStandardOutput() const {
  HANDLE output = standardHandle(STD_OUTPUT_HANDLE);
  return output && GetFileType(output) == FILE_TYPE_DISK &&
         sameFile(file_, output);
}

Expected<Offset> InputFile::size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file_, &size))
    return systemError(path_, GetLastError());
  return static_cast<Offset>(size.QuadPart);
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
    HANDLE file = CreateFileW(
        toWide(temporaryPath).c_str(), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
  return writeAll(file_, bytes, path_);
}

Expected<std::size_t> OutputFile::readAt(Offset offset,
                                         std::span<char> buffer) {
  return readAllAt(file_, offset, buffer, path_);
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

Expected<ScratchFile> ScratchFile::create() {
  const std::wstring directory = temporaryDirectory();
  Expected<HANDLE> file = createDeletedOnClose(directory);
  if (!file)
    return file.takeError();
  return ScratchFile(toUtf8(directory), *file);
}

ScratchFile::ScratchFile(ScratchFile &&other) noexcept
    : name_(std::move(other.name_)),
      file_(std::exchange(other.file_, INVALID_HANDLE_VALUE)),
      size_(other.size_) {}

ScratchFile::~ScratchFile() {
  if (file_ != INVALID_HANDLE_VALUE)
    CloseHandle(file_);
}

// Written at its size, as positional reads move the file's own position.
Error ScratchFile::write(std::string_view bytes) {
  Error error = writeAllAt(file_, size_, bytes, name_);
  size_ += static_cast<Offset>(bytes.size());
  return error;
}

Expected<std::size_t> ScratchFile::readAt(Offset offset,
                                          std::span<char> buffer) {
  return readAllAt(file_, offset, buffer, name_);
}

Error StandardOutput::write(std::string_view bytes) {
  HANDLE output = standardHandle(STD_OUTPUT_HANDLE);
  if (!output)
    return systemError(name_, ERROR_INVALID_HANDLE);
  return writeAll(output, bytes, name_);
}

bool isStandardErrorTerminal() {
  HANDLE error = standardHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return error && GetConsoleMode(error, &mode);
}

void handleProcessSignals() {}

} // namespace svfseg
