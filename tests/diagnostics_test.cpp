// What the pass reports of what the output cannot carry as the input means it,
// and what the output then holds.
#include "segments.h"
#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <vector>

namespace svfseg {
namespace {

using testing::hexDigits;
using testing::segmentsOf;

class CollectingSink final : public DiagnosticSink {
public:
  void report(const Diagnostic &diagnostic) override {
    findings.push_back(diagnostic);
  }
  std::vector<Diagnostic> findings;
};

struct Converted {
  std::string output;
  std::vector<Diagnostic> findings;
};

Converted convertWithFindings(std::string_view svf, std::size_t bufferSize,
                              std::size_t readBackBlockSize) {
  MemorySource source(svf);
  StringSink sink;
  CollectingSink findings;
  InputStream input(source, bufferSize);
  OutputStream output(sink, bufferSize);
  scan(input, output, {readBackBlockSize, &findings});
  EXPECT_FALSE(output.flush());
  return {sink.bytes(), findings.findings};
}

const char *findingName(Finding finding) {
  switch (finding) {
  case Finding::kLongSdrNotAtLineStart:
    return "long SDR not at line start";
  case Finding::kLongSdrNotUpperCase:
    return "long SDR not upper case";
  case Finding::kLongSdrAfterAnotherCommand:
    return "long SDR after another command";
  case Finding::kLongSdrUnterminated:
    return "long SDR unterminated";
  case Finding::kLongSdrMalformed:
    return "long SDR malformed";
  case Finding::kLongSdrNotHexadecimal:
    return "long SDR not hexadecimal";
  case Finding::kSdrLengthPastLimit:
    return "SDR length past limit";
  case Finding::kFieldCarriedAs:
    return "field carried as";
  case Finding::kFieldDropped:
    return "field dropped";
  case Finding::kExtraDigitsDropped:
    return "extra digits dropped";
  case Finding::kBitsAboveLength:
    return "bits above length";
  case Finding::kRunTestUnterminated:
    return "RUNTEST unterminated";
  case Finding::kRunTestUnreduced:
    return "RUNTEST unreduced";
  }
  return "?";
}

int lineOf(std::string_view text, Offset at) {
  return 1 + static_cast<int>(std::count(
                 text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at),
                 '\n'));
}

// A finding in a few words, with the lines of its places: "2: field carried
// as MASK (SMASK), 300 bits".
std::string describe(const Diagnostic &d, std::string_view input) {
  static const char *const kNames[] = {"TDI", "TDO", "MASK"};
  std::string text =
      std::to_string(lineOf(input, d.at)) + ": " + findingName(d.finding);
  switch (d.finding) {
  case Finding::kFieldCarriedAs:
  case Finding::kLongSdrNotHexadecimal:
  case Finding::kExtraDigitsDropped:
  case Finding::kBitsAboveLength:
    text += std::string(" ") + kNames[static_cast<int>(d.field)];
    break;
  default:
    break;
  }
  if (!d.word.empty())
    text += " (" + d.word + ")";
  if (d.bits != 0)
    text += ", " + std::to_string(d.bits) + " bits";
  if (d.detailAt >= 0)
    text += ", then line " + std::to_string(lineOf(input, d.detailAt));
  if (d.count != 0)
    text += ", count " + std::to_string(d.count);
  return text;
}

struct FindingCase {
  const char *name;
  std::string input;
  std::string expected; // the output
  std::vector<std::string> findings;
};

// Checks the output and the findings of every case at the default sizes and
// at tiny ones: both must be the same at every size.
void expectFindings(std::span<const FindingCase> cases) {
  for (const FindingCase &c : cases) {
    std::vector<std::pair<std::size_t, std::size_t>> sizes = {
        {kDefaultBufferSize, kDefaultReadBackBlockSize}};
    for (std::size_t size : testing::kTinySizes)
      sizes.emplace_back(size, size);
    for (auto [bufferSize, readBackSize] : sizes) {
      SCOPED_TRACE(::testing::Message()
                   << "case: " << c.name << ", buffer " << bufferSize);
      Converted converted =
          convertWithFindings(c.input, bufferSize, readBackSize);
      EXPECT_EQ(converted.output, c.expected);
      std::vector<std::string> described;
      for (const Diagnostic &d : converted.findings)
        described.push_back(describe(d, c.input));
      EXPECT_EQ(described, c.findings);
    }
  }
}

const std::string A75 = hexDigits(75, 1);
const std::string B75 = hexDigits(75, 2);
const std::string C75 = hexDigits(75, 3);
const std::string Zeros74(74, '0');

TEST(Diagnostics, ReportsLongSdrCommandsTheOutputCarriesUnsplit) {
  const std::string tdi = " TDI (" + A75 + ");\n";
  const FindingCase cases[] = {
      {"indented",
       "x\n  SDR 300" + tdi,
       "x\n  SDR 300" + tdi,
       {"2: long SDR not at line start, 300 bits"}},
      {"lower case",
       "x\nsdr 300" + tdi,
       "x\nsdr 300" + tdi,
       {"2: long SDR not upper case, 300 bits"}},
      {"mixed case",
       "x\nSdr 300" + tdi,
       "x\nSdr 300" + tdi,
       {"2: long SDR not upper case, 300 bits"}},
      {"on the first line in lower case",
       "sdr 300" + tdi,
       "sdr 300" + tdi,
       {"1: long SDR not upper case, 300 bits"}},
      {"second command on a line",
       "x\nSTATE IDLE; SDR 300" + tdi,
       "x\nSTATE IDLE; SDR 300" + tdi,
       {"2: long SDR after another command, 300 bits"}},
      {"after another command, without a blank",
       "x\nSTATE IDLE;sdr\t300" + tdi,
       "x\nSTATE IDLE;sdr\t300" + tdi,
       {"2: long SDR after another command, 300 bits"}},
      {"no ')' before the ';'",
       "x\nSDR 300 TDI (12;\n",
       "x\nSDR 300 TDI (12;\n",
       {"2: long SDR malformed, 300 bits, then line 2"}},
      {"no ';' before the end of the input",
       "x\nSDR 300 TDI (" + A75 + ")",
       "x\nSDR 300 TDI (" + A75 + ")",
       {"2: long SDR unterminated, 300 bits"}},
      {"a length past 32 bits",
       "x\nSDR 5000000000 TDI (1);\n",
       "x\nSDR 5000000000 TDI (1);\n",
       {"2: SDR length past limit (5000000000)"}},
      {"an indented length past 32 bits",
       "x\n SDR 5000000000 TDI (1);\n",
       "x\n SDR 5000000000 TDI (1);\n",
       {"2: SDR length past limit (5000000000)"}},
      {"a byte that is no hexadecimal digit",
       "x\nSDR 300 TDI (G" + Zeros74 + ");\n",
       "x\nSDR 300 TDI (G" + Zeros74 + ");\n",
       {"2: long SDR not hexadecimal TDI (G), 300 bits, then line 2"}},
      {"a byte that is no hexadecimal digit in TDO",
       "x\nSDR 300 TDI (1) TDO (12 34.5);\n",
       "x\nSDR 300 TDI (1) TDO (12 34.5);\n",
       {"2: long SDR not hexadecimal TDO (.), 300 bits, then line 2"}},
  };
  expectFindings(cases);
}

TEST(Diagnostics, ReportsFieldsTheSegmentsCarryOtherwiseThanWritten) {
  const std::string F76 = "F0" + Zeros74;
  const std::string F76For301 = "F" + std::string(75, '0');
  const FindingCase cases[] = {
      {"a set digit beyond the length is dropped",
       "x\nSDR 300 TDI (" + F76 + ");\n",
       "x\n" + segmentsOf(300, F76) + "\n",
       {"2: extra digits dropped TDI, 300 bits, count 1"}},
      {"zero digits beyond the length are dropped silently",
       "x\nSDR 300 TDI (000" + A75 + ");\n",
       "x\n" + segmentsOf(300, A75) + "\n",
       {}},
      {"bits set above the length are carried",
       "x\nSDR 301 TDI (" + F76For301 + ");\n",
       "x\nSDRS 256 TDI (" + std::string(64, '0') + ") ;\r\nSDR 45 TDI (F" +
           std::string(11, '0') + ") ;\n",
       {"2: bits above length TDI, 301 bits"}},
      {"the top digit within the length",
       "x\nSDR 301 TDI (1" + std::string(75, '0') + ");\n",
       "x\n" + segmentsOf(301, "1" + std::string(75, '0')) + "\n",
       {}},
      {"TDO without TDI is shifted in as TDI",
       "x\nSDR 300 TDO (1" + Zeros74 + ");\n",
       "x\n" + segmentsOf(300, "1" + Zeros74) + "\n",
       {"2: field carried as TDI (TDO), 300 bits"}},
      {"SMASK after TDO is carried as the mask",
       "x\nSDR 300 TDI (" + A75 + ") TDO (" + B75 + ") SMASK (" + C75 + ");\n",
       "x\n" + segmentsOf(300, A75, B75, C75) + "\n",
       {"2: field carried as MASK (SMASK), 300 bits"}},
      {"fields found by their letters in upper case",
       "x\nSDR 300 tdi (" + A75 + ") TDO (" + B75 + ") mask (" + C75 + ");\n",
       "x\n" + segmentsOf(300, A75, B75) + "\n",
       {"2: field dropped (mask), 300 bits"}},
      {"a TDO the positions do not reach is dropped",
       "x\nSDR 300 TDI (" + A75 + ") tdo (" + B75 + ");\n",
       "x\n" + segmentsOf(300, A75) + "\n",
       {"2: field dropped (tdo), 300 bits"}},
      {"a MASK before TDO is dropped",
       "x\nSDR 300 TDI (" + A75 + ") MASK (" + C75 + ") TDO (" + B75 + ");\n",
       "x\n" + segmentsOf(300, A75, B75) + "\n",
       {"2: field dropped (MASK), 300 bits"}},
      {"SMASK and MASK without TDO are dropped by design",
       "x\nSDR 300 TDI (" + A75 + ") SMASK (" + C75 + ") MASK (" + B75 + ");\n",
       "x\n" + segmentsOf(300, A75) + "\n",
       {}},
  };
  expectFindings(cases);
}

TEST(Diagnostics, ReportsRunTestCommandsTheOutputCarriesUnreduced) {
  const FindingCase cases[] = {
      {"indented, with a state name",
       "x\n  RUNTEST IDLE 100 TCK;\n",
       "x\n  RUNTEST IDLE 100 TCK;\n",
       {"2: RUNTEST unreduced, count " +
        std::to_string(kHasStateName | kNotAtLineStart)}},
      {"after another command, with a clause",
       "x\nSTATE IDLE; RUNTEST 100 TCK ENDSTATE IDLE;\n",
       "x\nSTATE IDLE; RUNTEST 100 TCK ENDSTATE IDLE;\n",
       {"2: RUNTEST unreduced, count " +
        std::to_string(kHasClause | kNotAtLineStart | kAfterAnotherCommand)}},
      {"lower case, with a minimum time",
       "x\nruntest 2 tck 1e-3 sec;\n",
       "x\nruntest 2 tck 1e-3 sec;\n",
       {"2: RUNTEST unreduced, count " +
        std::to_string(kHasMinimumTime | kNotUpperCase)}},
      {"without a count",
       "x\nRUNTEST IDLE ENDSTATE RESET;\n",
       "x\nRUNTEST IDLE ENDSTATE RESET;\n",
       {"2: RUNTEST unreduced, count " +
        std::to_string(kHasStateName | kHasNoCount | kHasClause)}},
      {"already in the reduced form, indented",
       "x\n  RUNTEST 100 TCK;\n",
       "x\n  RUNTEST 100 TCK;\n",
       {}},
      {"nothing to drop, lower case",
       "x\nruntest 100 tck;\nRUNTEST;\n",
       "x\nruntest 100 tck;\nRUNTEST;\n",
       {}},
      {"reduced by design",
       "x\nRUNTEST IDLE 100 TCK ENDSTATE IDLE;\n",
       "x\nRUNTEST 100 TCK ;\n",
       {}},
  };
  expectFindings(cases);
}

TEST(Diagnostics, ReportsNothingInsideCommentsOrForShortCommands) {
  const std::string command = "SDR 300 TDI (" + A75 + ");";
  const FindingCase cases[] = {
      {"a commented-out command",
       "x\n! " + command + "\n",
       "x\n// " + command + "\n",
       {}},
      {"after a // comment",
       "x\nSIR 8 TDI (01); // " + command + "\n",
       "x\nSIR 8 TDI (01); // " + command + "\n",
       {}},
      {"after a comment with a ';'",
       "x\n! note; " + command + "\n",
       "x\n// note; " + command + "\n",
       {}},
      {"a comment line of its own",
       "x\n  // RUNTEST IDLE 5 TCK;\n",
       "x\n  // RUNTEST IDLE 5 TCK;\n",
       {}},
      {"short SDR commands wherever they stand",
       "x\n  SDR 8 TDI (00);\nsdr 256 TDI (0); SDR 16 TDI (0);\n",
       "x\n  SDR 8 TDI (00);\nsdr 256 TDI (0); SDR 16 TDI (0);\n",
       {}},
      {"words that merely contain SDR or RUN",
       "x\nSTATE DRSELECT; RUNX 300; SDRS 300 TDI (1); sdr300;\n",
       "x\nSTATE DRSELECT; RUNX 300; SDRS 300 TDI (1); sdr300;\n",
       {}},
      {"a word in running text",
       "x\nSIR 8 TDI (01) RUNTEST 5 TCK; sdr 300;\n",
       "x\nSIR 8 TDI (01) RUNTEST 5 TCK; sdr 300;\n",
       {"2: long SDR after another command, 300 bits"}},
  };
  expectFindings(cases);
}

TEST(Diagnostics, ReportsCommandsLeftAsTheyStandBeforeTheNextCommand) {
  const std::string A76 = "1" + hexDigits(75, 4);
  const FindingCase cases[] = {
      {"RUNTEST without its ';'",
       "x\nRUNTEST 100 TCK\nSIR 8 TDI (01);\n",
       "x\nRUNTEST 100 TCK\nSIR 8 TDI (01);\n",
       {"2: RUNTEST unterminated (RUNTEST), then line 3"}},
      {"a long SDR without its ';'",
       "x\nSDR 300 TDI (" + A75 + ")\nSIR 8 TDI (01);\n",
       "x\nSDR 300 TDI (" + A75 + ")\nSIR 8 TDI (01);\n",
       {"2: long SDR unterminated, 300 bits, then line 3"}},
      {"a line that is only RUN",
       "x\nRUN\nSDR 303 TDI (" + A76 + ");\n",
       "x\nRUN\n" + segmentsOf(303, A76) + "\n",
       {"2: RUNTEST unterminated (RUN), then line 3"}},
  };
  expectFindings(cases);
}

TEST(Diagnostics, FindOnlyWhatIsGenuineInTheCorpus) {
  const auto corpus = testing::corpusFiles();
  if (!corpus)
    GTEST_SKIP() << "no corpus at " << testing::corpusFolder();
  // A RUNTEST at a line start in mixed case ("RunTeST") is not reduced, and
  // holds a state name, a minimum time and a MAXIMUM clause.
  const std::map<std::string, std::vector<std::string>> genuine = {
      {"svfparser-handwritten-oddlengths-test.svf",
       {"163: RUNTEST unreduced, count " +
        std::to_string(kHasStateName | kHasMinimumTime | kHasClause |
                       kNotUpperCase)}},
  };
  for (const std::filesystem::path &path : *corpus) {
    const std::string name = path.filename().string();
    const std::string svf = testing::readFile(path);
    std::vector<std::string> described;
    for (const Diagnostic &d :
         convertWithFindings(svf, kDefaultBufferSize, kDefaultReadBackBlockSize)
             .findings)
      described.push_back(describe(d, svf));
    auto expected = genuine.find(name);
    EXPECT_EQ(described, expected == genuine.end() ? std::vector<std::string>{}
                                                   : expected->second)
        << name;
  }
  EXPECT_FALSE(corpus->empty());
}

} // namespace
} // namespace svfseg
