#include "process.h"

#include <windows.h>

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

} // namespace

Outcome runProgram(const std::filesystem::path &program,
                   const std::vector<std::string> &args,
                   const std::filesystem::path &directory,
                   const std::function<void()> &prepareChild) {
  if (prepareChild)
    return {};
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE out[2];
  HANDLE err[2];
  if (!CreatePipe(&out[0], &out[1], &inheritable, 0) ||
      !CreatePipe(&err[0], &err[1], &inheritable, 0))
    return {};
  // Only the writing ends go to the child.
  SetHandleInformation(out[0], HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err[0], HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out[1];
  startup.hStdError = err[1];
  std::wstring commandLine;
  for (const std::string &arg : args)
    commandLine += (commandLine.empty() ? L"" : L" ") + quoted(toWide(arg));
  std::wstring application = std::filesystem::absolute(program).wstring();
  std::wstring workingDirectory = directory.wstring();
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessW(application.c_str(), commandLine.data(),
                                nullptr, nullptr, TRUE, 0, nullptr,
                                workingDirectory.c_str(), &startup, &process);
  CloseHandle(out[1]);
  CloseHandle(err[1]);
  Outcome outcome;
  outcome.out = drain(out[0]);
  outcome.err = drain(err[0]);
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
