#include "test_support.h"

namespace svfseg {
namespace {

using testing::ConversionCase;

TEST(RunHandler, WritesTheCountAndTheUnitOnly) {
  const ConversionCase cases[] = {
      {"count and unit", "RUNTEST 100 TCK;\n", "RUNTEST 100 TCK ;\n"},
      {"one digit", "RUNTEST 5 TCK;\n", "RUNTEST 5 TCK ;\n"},
      {"state name and end state", "RUNTEST IDLE 250 TCK ENDSTATE IDLE;\n",
       "RUNTEST 250 TCK ;\n"},
      {"end state", "RUNTEST 100 TCK ENDSTATE IDLE;\n", "RUNTEST 100 TCK ;\n"},
      {"DRPAUSE state", "RUNTEST DRPAUSE 20 TCK;\n", "RUNTEST 20 TCK ;\n"},
      {"SCK unit", "RUNTEST 20 SCK;\n", "RUNTEST 20 SCK ;\n"},
      {"time with fraction and exponent", "RUNTEST 1.00E-01 SEC;\n",
       "RUNTEST 1.00E-01 SEC ;\n"},
      {"integer mantissa with exponent", "RUNTEST 50021E-6 SEC;\n",
       "RUNTEST 50021E-6 SEC ;\n"},
      {"plain decimal time", "RUNTEST IDLE 0.001 SEC;\n",
       "RUNTEST 0.001 SEC ;\n"},
      {"maximum time and end state dropped",
       "RUNTEST 10.0E-3 SEC MAXIMUM 50.0E-3 SEC ENDSTATE IDLE;\n",
       "RUNTEST 10.0E-3 SEC ;\n"},
      {"unit on the next line (LF)", "RUNTEST 100\nTCK;\n",
       "RUNTEST 100 TCK ;\n"},
      {"unit on the next line (CRLF)", "RUNTEST 100\r\n\tTCK;\r\n",
       "RUNTEST 100 TCK ;\r\n"},
      {"tab before the unit kept", "RUNTEST 100\tTCK;\n",
       "RUNTEST 100\tTCK ;\n"},
      {"extra blanks after the command word", "RUNTEST  100 TCK;\n",
       "RUNTEST 100 TCK ;\n"},
      {"extra blanks and tabs after the state name",
       "RUNTEST IDLE \t 100 TCK;\n", "RUNTEST 100 TCK ;\n"},
      {"tab after the command word kept", "RUNTEST\tIDLE\t100 TCK;\n",
       "RUNTEST\t100 TCK ;\n"},
      {"count ended by ';'", "RUNTEST 100;\nSTATE IDLE;\n",
       "RUNTEST 100 ;\nSTATE IDLE;\n"},
      {"a count of any length", "RUNTEST " + std::string(300, '7') + " TCK;\n",
       "RUNTEST " + std::string(300, '7') + " TCK ;\n"},
      {"clauses over several lines",
       "RUNTEST 100 TCK\n\tMAXIMUM 1.0E-3 SEC\n\tENDSTATE IDLE;\nSTATE "
       "RESET;\n",
       "RUNTEST 100 TCK ;\nSTATE RESET;\n"},
      {"comment after the ';'", "RUNTEST 100 TCK; ! wait\n",
       "RUNTEST 100 TCK ; // wait\n"},
      {"comment after the unit is dropped with the clauses",
       "RUNTEST 100 TCK!x\n;\nRUNTEST 5 TCK ! wait ; here\n\t;\n",
       "RUNTEST 100 TCK ;\nRUNTEST 5 TCK ;\n"},
      {"CRLF file", "RUNTEST IDLE 4 TCK ENDSTATE IDLE;\r\nRUNTEST 103 TCK;\r\n",
       "RUNTEST 4 TCK ;\r\nRUNTEST 103 TCK ;\r\n"},
      {"on the first line without a line end", "RUNTEST 100 TCK;",
       "RUNTEST 100 TCK ;"},
      {"after an empty line", "\nRUNTEST 100 TCK;\n", "\nRUNTEST 100 TCK ;\n"},
      {"blank before the ';'", "RUNTEST 100 TCK ;\n", "RUNTEST 100 TCK ;\n"},
      {"a line that merely begins with RUN", "RUNNER 5 LAPS AROUND;\n",
       "RUNNER 5 LAPS ;\n"},
  };
  testing::expectConversions(cases);
}

TEST(RunHandler, KeepsAMinimumTimeAfterAClockCountAsASecondCommand) {
  const ConversionCase cases[] = {
      {"state, count and time", "RUNTEST IDLE 2 TCK 1.00E-02 SEC;\n",
       "RUNTEST 2 TCK ;\r\nRUNTEST 1.00E-02 SEC ;\n"},
      {"tabs as written", "RUNTEST\tIDLE\t2 TCK\t1.00E-02 SEC;\n",
       "RUNTEST\t2 TCK ;\r\nRUNTEST\t1.00E-02 SEC ;\n"},
      {"maximum time dropped",
       "RUNTEST 2000 TCK 1.0E-3 SEC MAXIMUM 1.5E-3 SEC;\n",
       "RUNTEST 2000 TCK ;\r\nRUNTEST 1.0E-3 SEC ;\n"},
      {"end state dropped, CRLF",
       "RUNTEST IDLE\t32 TCK\t2.00E-002 SEC ENDSTATE IDLE;\r\n",
       "RUNTEST 32 TCK ;\r\nRUNTEST 2.00E-002 SEC ;\r\n"},
      {"time on the next line", "RUNTEST 3 TCK\n\t5.00E-002 SEC;\n",
       "RUNTEST 3 TCK ;\r\nRUNTEST 5.00E-002 SEC ;\n"},
      {"a number that is not a time", "RUNTEST 3 TCK 5 TCK;\n",
       "RUNTEST 3 TCK ;\n"},
  };
  testing::expectConversions(cases);
}

TEST(RunHandler, LeavesACommandItCannotReadAsItStands) {
  const ConversionCase cases[] = {
      {"input ends before the ';'", "STATE IDLE;\nRUNTEST 100 TCK",
       "STATE IDLE;\nRUNTEST 100 TCK"},
      {"input ends in the count", "RUNTEST 10", "RUNTEST 10"},
      {"input ends after the command word", "RUNTEST", "RUNTEST"},
      {"unterminated, with a comment mark", "RUNTEST 100 TCK ! no end\n",
       "RUNTEST 100 TCK // no end\n"},
      {"no count", "RUNTEST ENDSTATE IDLE;\nRUNTEST;\n",
       "RUNTEST ENDSTATE IDLE;\nRUNTEST;\n"},
      {"lower-case and indented commands are text",
       "runtest 100 tck;\n RUNTEST 100 TCK;\n",
       "runtest 100 tck;\n RUNTEST 100 TCK;\n"},
  };
  testing::expectConversions(cases);
}

TEST(RunHandler, NeverTakesPartsFromALineThatStartsAnotherCommand) {
  const ConversionCase cases[] = {
      {"no ';' before SIR", "RUNTEST 100 TCK\nSIR 8 TDI (01);\n",
       "RUNTEST 100 TCK\nSIR 8 TDI (01);\n"},
      {"no unit before an indented command", "RUNTEST 100\n  STATE IDLE;\n",
       "RUNTEST 100\n  STATE IDLE;\n"},
      {"no count before a lower-case command", "RUNTEST IDLE\nsir 8;\n",
       "RUNTEST IDLE\nsir 8;\n"},
      {"a line that is only RUN", "RUN\nSDR 8 TDI (01);\n",
       "RUN\nSDR 8 TDI (01);\n"},
      {"no minimum time from the next command",
       "RUNTEST 5 TCK\nFREQUENCY 1E6 HZ;\n",
       "RUNTEST 5 TCK\nFREQUENCY 1E6 HZ;\n"},
      {"a ';' in a comment does not end it",
       "RUNTEST 5 TCK ! x;\nSTATE IDLE;\n",
       "RUNTEST 5 TCK // x;\nSTATE IDLE;\n"},
      {"clauses on lines of their own",
       "RUNTEST\n\tIDLE\n\t100\n\tTCK\n\tENDSTATE IDLE\n;\n",
       "RUNTEST 100 TCK ;\n"},
  };
  testing::expectConversions(cases);
}

TEST(RunHandler, StaysLinearOnLinesThatMerelyBeginWithRun) {
  // Each line searches for its ';' to the end of the input, and finds none;
  // only the first may search, or this would take minutes.
  std::string input;
  for (int i = 0; i < 20000; ++i)
    input += "RUNNER 5 LAPS\n";
  EXPECT_EQ(testing::convert(input), input);
}

TEST(RunHandler, NeverReadsPastItsSemicolon) {
  const std::string longSdr = "SDR 260 TDI (" + std::string(65, 'A') + ");";
  EXPECT_EQ(testing::convert("RUNTEST 100;\n" + longSdr + "\n"),
            "RUNTEST 100 ;\nSDRS 256 TDI (" + std::string(64, 'A') +
                ") ;\r\nSDR 4 TDI (A) ;\n");
}

// The handler remembers the last few commands it rewrote; a repeat must come
// out as the first did, and a command that differs by a byte as itself.
TEST(RunHandler, RepeatedCommandsComeOutAsTheyWouldAlone) {
  const std::pair<std::string, std::string> lines[] = {
      {"RUNTEST 100 TCK;\n", "RUNTEST 100 TCK ;\n"},
      {"RUNTEST 1000 TCK;\n", "RUNTEST 1000 TCK ;\n"},
      {"RUNTEST 100 SCK;\n", "RUNTEST 100 SCK ;\n"},
      {"RUNTEST IDLE 2 TCK 1.00E-03 SEC;\n",
       "RUNTEST 2 TCK ;\r\nRUNTEST 1.00E-03 SEC ;\n"},
      {"RUNTEST IDLE 2 TCK 1.00E-02 SEC;\n",
       "RUNTEST 2 TCK ;\r\nRUNTEST 1.00E-02 SEC ;\n"},
      {"RUNTEST\t100 TCK;\n", "RUNTEST\t100 TCK ;\n"},
      {"RUNTEST;\n", "RUNTEST;\n"},
      {"RUNNER 5 LAPS;\n", "RUNNER 5 LAPS ;\n"},
  };
  std::string input;
  std::string expected;
  for (unsigned i = 0; i < 100; ++i) {
    const auto &[line, converted] = lines[(i * 7 + i / 9) % std::size(lines)];
    input += line;
    expected += converted;
  }
  const testing::ConversionCase cases[] = {{"repeats", input, expected}};
  testing::expectConversions(cases);
}

} // namespace
} // namespace svfseg
