#include "process.h"

#include <windows.h>

#include <cwctype>
#include <thread>

namespace svfseg::testing {
namespace {

std::wstring toWide(const std::string &utf8) {
  int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                 static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                      wide.data(), size);
  return wide;
}

// `argument` written so that the C runtime's parser of the command line gives
// it back unchanged: quoted when it holds a blank or a quote, with the
// backslashes before a quote doubled.
std::wstring quoted(const std::wstring &argument) {
  if (!argument.empty() &&
      argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return argument;
  std::wstring result = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    result.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    result.push_back(c);
  }
  result.append(2 * backslashes, L'\\');
  result.push_back(L'"');
  return result;
}

std::string drain(HANDLE pipe) {
  std::string bytes;
  char chunk[4096];
  DWORD count = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &count, nullptr) && count > 0)
    bytes.append(chunk, count);
  CloseHandle(pipe);
  return bytes;
}

// Writes `bytes` to `pipe`, then closes it; a program that ends without
// reading them all makes the write fail.
void feed(HANDLE pipe, const std::string &bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    DWORD count = 0;
    DWORD wanted = static_cast<DWORD>(
        std::min<std::size_t>(bytes.size() - done, std::size_t{1} << 20));
    if (!WriteFile(pipe, bytes.data() + done, wanted, &count, nullptr))
      break;
    done += count;
  }
  CloseHandle(pipe);
}

bool sameName(std::wstring_view one, std::wstring_view other) {
  return one.size() == other.size() &&
         std::equal(one.begin(), one.end(), other.begin(),
                    [](wchar_t a, wchar_t b) {
                      return std::towupper(a) == std::towupper(b);
                    });
}

// The test's environment block with `overrides` set over it. Names are
// compared without regard to case, as Windows compares them.
std::wstring environmentWith(
    const std::vector<std::pair<std::string, std::string>> &overrides) {
  std::wstring block;
  wchar_t *strings = GetEnvironmentStringsW();
  for (const wchar_t *entry = strings; *entry; entry += wcslen(entry) + 1) {
    std::wstring_view variable = entry;
    std::wstring_view name = variable.substr(0, variable.find(L'=', 1));
    bool overridden = false;
    for (const auto &override : overrides)
      overridden = overridden || sameName(name, toWide(override.first));
    if (!overridden)
      block.append(variable).push_back(L'\0');
  }
  FreeEnvironmentStringsW(strings);
  for (const auto &[name, value] : overrides)
    block.append(toWide(name + "=" + value)).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

} // namespace

Outcome runProgram(const std::filesystem::path &program,
                   const std::vector<std::string> &args,
                   const std::filesystem::path &directory,
                   const ChildSetup &setup) {
  if (setup.prepare)
    return {};
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE in[2];
  HANDLE out[2];
  HANDLE err[2];
  if (!CreatePipe(&in[0], &in[1], &inheritable, 0) ||
      !CreatePipe(&out[0], &out[1], &inheritable, 0) ||
      !CreatePipe(&err[0], &err[1], &inheritable, 0))
    return {};
  // Only the program's ends go to it.
  SetHandleInformation(in[1], HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out[0], HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err[0], HANDLE_FLAG_INHERIT, 0);
  HANDLE input = in[0];
  if (!setup.inputFile.empty()) {
    input = CreateFileW(setup.inputFile.wstring().c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (input == INVALID_HANDLE_VALUE)
      return {};
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = out[1];
  startup.hStdError = err[1];
  std::wstring commandLine;
  for (const std::string &arg : args)
    commandLine += (commandLine.empty() ? L"" : L" ") + quoted(toWide(arg));
  std::wstring application = std::filesystem::absolute(program).wstring();
  std::wstring workingDirectory = directory.wstring();
  std::wstring environment = environmentWith(setup.environment);
  PROCESS_INFORMATION process{};
  BOOL started =
      CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr,
                     TRUE, CREATE_UNICODE_ENVIRONMENT, environment.data(),
                     workingDirectory.c_str(), &startup, &process);
  CloseHandle(in[0]);
  if (input != in[0])
    CloseHandle(input);
  CloseHandle(out[1]);
  CloseHandle(err[1]);
  std::thread feeder(feed, in[1], std::cref(setup.input));
  Outcome outcome;
  std::thread errors([&] { outcome.err = drain(err[0]); });
  outcome.out = drain(out[0]);
  errors.join();
  feeder.join();
  if (!started)
    return outcome;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  if (GetExitCodeProcess(process.hProcess, &status))
    outcome.status = static_cast<int>(status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return outcome;
}

} // namespace svfseg::testing
