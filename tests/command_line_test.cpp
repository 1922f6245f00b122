#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace svfseg {
namespace {

CommandLine parse(std::vector<const char *> args) {
  args.insert(args.begin(), "svfseg");
  return parseCommandLine(static_cast<int>(args.size()), args.data());
}

void setEnvironment(const char *name, const char *value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

struct OptionsCase {
  std::vector<const char *> args;
  std::string input;
  std::optional<std::string> output;
  bool quiet;
  bool strict;
  bool verify = false;
};

// Each option is carried as given, wherever it stands.
TEST(CommandLine, CarriesEachOptionInTheOptions) {
  const OptionsCase cases[] = {
      {{"a.svf"}, "a.svf", std::nullopt, false, false},
      {{"--strict", "a.svf"}, "a.svf", std::nullopt, false, true},
      {{"a.svf", "-qo-"}, "a.svf", "-", true, false},
      {{"-", "--output=x.gvf", "--str"}, "-", "x.gvf", false, true},
      {{"-o", "--", "a.svf"}, "a.svf", "--", false, false},
      {{"--", "-"}, "-", std::nullopt, false, false},
      {{"--", "-q"}, "-q", std::nullopt, false, false},
      {{"a.svf", "--verify"}, "a.svf", std::nullopt, false, false, true},
      {{"--veri", "--strict", "-"}, "-", std::nullopt, false, true, true},
  };
  for (const OptionsCase &c : cases) {
    CommandLine parsed = parse(c.args);
    SCOPED_TRACE(c.input);
    ASSERT_EQ(parsed.action, CommandLine::Action::kConvert) << parsed.problem;
    EXPECT_EQ(parsed.options.input, c.input);
    EXPECT_EQ(parsed.options.output, c.output);
    EXPECT_EQ(parsed.options.quiet, c.quiet);
    EXPECT_EQ(parsed.options.strict, c.strict);
    EXPECT_EQ(parsed.options.verify, c.verify);
  }
}

// getopt_long keeps its place between calls: a parse that stopped inside an
// argument, or before the end, must not leak into the next one.
TEST(CommandLine, StartsAfreshOnEveryParse) {
  const std::vector<const char *> stoppers[] = {{"-xq", "a.svf"},
                                                {"-qh", "a.svf"},
                                                {"a.svf", "--output"},
                                                {"-V", "-q", "a.svf"},
                                                {"--", "a.svf", "b.svf"}};
  for (const std::vector<const char *> &stopper : stoppers) {
    SCOPED_TRACE(stopper.front());
    EXPECT_NE(parse(stopper).action, CommandLine::Action::kConvert);
    CommandLine next = parse({"b.svf", "-o", "out.gvf"});
    ASSERT_EQ(next.action, CommandLine::Action::kConvert) << next.problem;
    EXPECT_EQ(next.options.input, "b.svf");
    EXPECT_EQ(next.options.output, "out.gvf");
    EXPECT_FALSE(next.options.quiet);
  }
}

TEST(CommandLine, TakesOptionsAfterTheInputWhateverPosixlyCorrectSays) {
  const char *before = std::getenv("POSIXLY_CORRECT");
  const std::string saved = before ? before : "";
  setEnvironment("POSIXLY_CORRECT", "1");
  CommandLine parsed = parse({"a.svf", "-q"});
  setEnvironment("POSIXLY_CORRECT", before ? saved.c_str() : nullptr);
  ASSERT_EQ(parsed.action, CommandLine::Action::kConvert) << parsed.problem;
  EXPECT_EQ(parsed.options.input, "a.svf");
  EXPECT_TRUE(parsed.options.quiet);
}

} // namespace
} // namespace svfseg
