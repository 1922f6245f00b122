// The program's entry point on Windows. Windows hands the command line over in
// UTF-16; the converter takes its arguments in UTF-8, the encoding the file
// layer turns back into UTF-16 names, so that any name (prüfung.svf) converts.
#include "app/run_control.h"

#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>

namespace {

std::string toUtf8(const wchar_t *text) {
  int size =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0)
    return {};
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr,
                      nullptr);
  utf8.pop_back(); // the terminating NUL
  return utf8;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  // Binary mode: the console texts end in "\n" as on Linux, and a name's
  // UTF-8 bytes go out unchanged.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> arguments;
  std::vector<const char *> pointers;
  for (int i = 0; i < argc; ++i)
    arguments.push_back(toUtf8(argv[i]));
  for (const std::string &argument : arguments)
    pointers.push_back(argument.c_str());
  return svfseg::runConverter(argc, pointers.data());
}
