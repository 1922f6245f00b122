#include "app/run_control.h"

#include <gtest/gtest.h>

#include <span>

namespace svfseg {
namespace {

struct NamingCase {
  const char *input;
  const char *output;
};

void expectOutputNames(PathStyle style, std::span<const NamingCase> cases) {
  for (const NamingCase &c : cases)
    EXPECT_EQ(deriveOutputName(c.input, style), c.output)
        << "input: " << c.input;
}

TEST(DeriveOutputName, KeepsTheDirectoryAndCutsTheNameAtItsFirstDot) {
  const NamingCase cases[] = {
      {"file.svf", "file.gvf"},
      {"my.design.svf", "my.gvf"},
      {"chip.SVF", "chip.gvf"},
      {"./file.svf", "./file.gvf"},
      {"dir.v2/file.svf", "dir.v2/file.gvf"},
      {"../a.b/x.y.svf", "../a.b/x.gvf"},
      {"/abs.d/file", "/abs.d/file.gvf"},
      {"file", "file.gvf"},
      {".svf", ".gvf"},
      {"dir/", "dir/.gvf"},
  };
  expectOutputNames(PathStyle::kPosix, cases);
  expectOutputNames(PathStyle::kWindows, cases);
}

TEST(DeriveOutputName, OnWindowsTakesBackslashesAndDrivesAsDirectory) {
  const NamingCase cases[] = {
      {"dir.v2\\file.svf", "dir.v2\\file.gvf"},
      {"C:\\dir.v2\\a.svf", "C:\\dir.v2\\a.gvf"},
      {"C:file.svf", "C:file.gvf"},
      {"c:x.y.svf", "c:x.gvf"},
      {"C:", "C:.gvf"},
      {"a.b/c.d\\e.svf", "a.b/c.d\\e.gvf"},
      {"a.b\\c.d/e.svf", "a.b\\c.d/e.gvf"},
      {"\\\\server\\share.x\\f.svf", "\\\\server\\share.x\\f.gvf"},
      {"dir.v2\\file", "dir.v2\\file.gvf"},
  };
  expectOutputNames(PathStyle::kWindows, cases);
}

TEST(DeriveOutputName, OnPosixTakesBackslashesAndColonsAsPartOfTheName) {
  const NamingCase cases[] = {
      {"dir.v2\\file.svf", "dir.gvf"},
      {"C:dir.v2\\a.svf", "C:dir.gvf"},
      {"a.b/c.d\\e.svf", "a.b/c.gvf"},
  };
  expectOutputNames(PathStyle::kPosix, cases);
}

} // namespace
} // namespace svfseg
