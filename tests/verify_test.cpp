// The verifier: it passes what the converter writes, and reports what a
// wrong output gets wrong, with the input command it concerns and in words.
#include "verify/verify.h"

#include "io/file.h"
#include "segments.h"
#include "svf_generator.h"
#include "test_support.h"
#include "verify/decimal.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>
#include <vector>

// The memory the program holds, counted by every allocation, so that a test
// can show what a verification takes at its peak.
namespace {
std::atomic<std::size_t> heldBytes{0};
std::atomic<std::size_t> peakBytes{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);
} // namespace

void *operator new(std::size_t size) {
  void *block = std::malloc(size + kHeader);
  if (!block)
    throw std::bad_alloc();
  *static_cast<std::size_t *>(block) = size;
  std::size_t held = heldBytes += size;
  for (std::size_t peak = peakBytes;
       held > peak && !peakBytes.compare_exchange_weak(peak, held);)
    ;
  return static_cast<char *>(block) + kHeader;
}
void operator delete(void *pointer) noexcept {
  if (!pointer)
    return;
  void *block = static_cast<char *>(pointer) - kHeader;
  heldBytes -= *static_cast<std::size_t *>(block);
  std::free(block);
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  return operator new(size, std::nothrow);
}
void operator delete[](void *pointer) noexcept { operator delete(pointer); }
void operator delete(void *pointer, std::size_t) noexcept {
  operator delete(pointer);
}
void operator delete[](void *pointer, std::size_t) noexcept {
  operator delete(pointer);
}
void operator delete(void *pointer, const std::nothrow_t &) noexcept {
  operator delete(pointer);
}
void operator delete[](void *pointer, const std::nothrow_t &) noexcept {
  operator delete(pointer);
}

namespace svfseg {
namespace {

using testing::hexDigits;
using testing::segmentsOf;

// Every case runs at these block sizes: the tiny ones put each byte of a case
// at, before and after a block boundary of each reader.
constexpr std::size_t kBlockSizes[] = {1, 2, 3, 7, kDefaultVerifyBlockSize};

Expected<Verification> verify(std::string_view input, std::string_view output,
                              std::size_t blockSize = kDefaultVerifyBlockSize) {
  MemorySource in(input);
  MemorySource out(output);
  return verifyConversion(in, out, {blockSize});
}

int lineOf(std::string_view text, Offset at) {
  return 1 + static_cast<int>(std::count(
                 text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at),
                 '\n'));
}

// The input with each '!' written as "//": the output of anything the
// conversion copies.
std::string copied(std::string_view input) {
  std::string text;
  for (char c : input)
    text += c == '!' ? std::string("//") : std::string(1, c);
  return text;
}

// Checks that `output` verifies against `input` at every block size, with
// the same summary at each; returns it.
VerificationSummary expectVerified(const std::string &name,
                                   std::string_view input,
                                   std::string_view output) {
  VerificationSummary first;
  for (std::size_t size : kBlockSizes) {
    SCOPED_TRACE(name + ", block " + std::to_string(size));
    Expected<Verification> v = verify(input, output, size);
    if (!v) {
      ADD_FAILURE() << v.takeError().reason();
      return first;
    }
    EXPECT_FALSE(v->mismatch) << v->mismatch->what << " (line "
                              << lineOf(input, v->mismatch->commandAt) << ")";
    if (size == kBlockSizes[0])
      first = v->summary;
    EXPECT_EQ(v->summary.commands, first.commands);
    EXPECT_EQ(v->summary.longSdrBits, first.longSdrBits);
  }
  return first;
}

// Checks that `output` fails to verify against `input` at every block size,
// with the same mismatch at each; returns it.
Mismatch expectMismatch(const std::string &name, std::string_view input,
                        std::string_view output) {
  Mismatch first;
  for (std::size_t size : kBlockSizes) {
    SCOPED_TRACE(name + ", block " + std::to_string(size));
    Expected<Verification> v = verify(input, output, size);
    if (!v) {
      ADD_FAILURE() << v.takeError().reason();
      return first;
    }
    if (!v->mismatch) {
      ADD_FAILURE() << "verified";
      return first;
    }
    if (size == kBlockSizes[0])
      first = *v->mismatch;
    EXPECT_EQ(v->mismatch->commandAt, first.commandAt);
    EXPECT_EQ(v->mismatch->outputAt, first.outputAt);
    EXPECT_EQ(v->mismatch->what, first.what);
  }
  return first;
}

const std::string A75 = hexDigits(75, 1);
const std::string B75 = hexDigits(75, 2);
const std::string C75 = hexDigits(75, 3);
const std::string D75 = hexDigits(75, 4);

struct Case {
  const char *name;
  std::string input;
};

TEST(VerifyConversion, PassesTheConvertersOutputForEveryBehaviour) {
  const Case cases[] = {
      {"empty input", ""},
      {"copied lines, comments and line ends",
       "! header!\r\nSTATE IDLE;\nSIR 8 TDI (01); // note ! more\n/x\nA!B"},
      {"long SDR, TDI", "SDR 300 TDI (" + A75 + ");\n"},
      {"long SDR, TDI TDO MASK over tab-indented CRLF lines",
       "SDR 300 TDI (" + testing::wrapped(A75, 20, "\r\n", "\t\t") +
           ")\r\n\tTDO (" + testing::wrapped(B75, 16, "\r\n", "\t") +
           ")\r\n\tMASK (" + C75 + ");\r\n"},
      {"fields taken by position: SMASK passed over, then carried",
       "SDR 300 TDI (" + A75 + ") SMASK (" + D75 + ") TDO (" + B75 +
           ") MASK (" + C75 + ");\nSDR 300 TDI (" + A75 + ") TDO (" + B75 +
           ") SMASK (" + D75 + ");\nSDR 300 TDO (" + A75 + ") TDI (" + B75 +
           ");\n"},
      {"short fields, extra digits, lower case",
       "SDR 300 TDI (1f) TDO (0" + B75 + ") MASK (abcdef);\n"},
      {"comments inside and between fields",
       "SDR 300 ! TDO (1)\n TDI (" + A75.substr(0, 30) + " ! T(M);\n\t" +
           A75.substr(30) + ") // x)\nTDO (" + B75 + ");\n"},
      {"lengths at the edges",
       "SDR 257 TDI (1" + hexDigits(64, 5) + ");\nSDR 512 TDI (" +
           hexDigits(128, 6) + ");\nSDR 0000300 TDI (" + A75 +
           ");\nSDR 256 TDI (" + hexDigits(64, 7) + ");\n"},
      {"no final line end", "SDR 300 TDI (" + A75 + "); ! done"},
      {"RUNTEST forms",
       "RUNTEST IDLE 250 TCK ENDSTATE IDLE;\nRUNTEST 1.00E-01 SEC;\n"
       "RUNTEST\tIDLE\t2 TCK\t1.00E-02 SEC;\nRUNTEST 100\r\n\tTCK;\r\n"
       "RUNTEST 100;\nRUNTEST 100 TCK!x\n;\nRUNTEST 3 TCK\n\t5.00E-002 SEC;\n"
       "RUNNER 5 LAPS AROUND;\nRUN\nRUNNER 5 LAPS;\n"},
      {"commands left as they stand",
       "SDR 300 TDI (" + A75 + ")\nSIR 8 TDI (01);\nSDR 300 TDI (G" + A75 +
           ");\nSDR 4294967296 TDI (1);\n  SDR 300 TDI (" + A75 +
           ");\nsdr 300 TDI (" + A75 +
           ");\nRUNTEST ENDSTATE IDLE;\nRUNX;\n"
           "RUNTEST 5 TCK\nSTATE IDLE;\nSDR 300 TDI (" +
           A75},
  };
  for (const Case &c : cases)
    expectVerified(c.name, c.input, testing::convert(c.input));
}

TEST(VerifyConversion, CountsCommandsAndTheLongSdrCommandsSplit) {
  struct CountCase {
    const char *name;
    std::string input;
    std::uint64_t commands, longSdrCommands, longSdrBits;
  };
  const CountCase cases[] = {
      {"none", "! only a comment; with a ';'\n\n", 0, 0, 0},
      {"one per ';'", "STATE IDLE; TRST OFF;\nSIR 8\n TDI (01);\n", 3, 0, 0},
      {"an empty statement is none", "STATE IDLE; ;\n", 1, 0, 0},
      {"a ';' in a comment ends nothing", "STATE IDLE // ;\n;", 1, 0, 0},
      {"unterminated before a command line and at the end",
       "STATE IDLE\nSIR 8 TDI (01)\n  sir 8;\nHDR 0", 4, 0, 0},
      {"not cut by a line that is no command line",
       "STATE\nIDLE;\nSIR 8\nRUNNER 5 LAPS;\n", 2, 0, 0},
      {"long SDR commands and their bits",
       "SDR 300 TDI (" + A75 + ");\nSDR 301 TDI (1);\nSDR 256 TDI (0);\n", 3, 2,
       601},
      {"a long SDR left as it stands is not counted as split",
       "SDR 300 TDI (G);\nSTATE IDLE\nSDR 300 TDI (1);\n", 3, 1, 300},
  };
  for (const CountCase &c : cases) {
    VerificationSummary summary =
        expectVerified(c.name, c.input, testing::convert(c.input));
    EXPECT_EQ(summary.commands, c.commands) << c.name;
    EXPECT_EQ(summary.longSdrCommands, c.longSdrCommands) << c.name;
    EXPECT_EQ(summary.longSdrBits, c.longSdrBits) << c.name;
  }
}

TEST(VerifyConversion, PassesEveryFileOfTheCorpus) {
  const auto corpus = testing::corpusFiles();
  if (!corpus)
    GTEST_SKIP() << "no corpus at " << testing::corpusFolder();
  for (const std::filesystem::path &path : *corpus) {
    SCOPED_TRACE(path.filename().string());
    const std::string input = testing::readFile(path);
    ASSERT_EQ(input.size(), std::filesystem::file_size(path));
    for (std::size_t convertSize : {kDefaultBufferSize, std::size_t{1000}}) {
      std::string output = testing::convert(input, convertSize, convertSize);
      for (std::size_t size :
           {std::size_t{7}, std::size_t{4096}, kDefaultVerifyBlockSize}) {
        Expected<Verification> v = verify(input, output, size);
        ASSERT_TRUE(v);
        EXPECT_FALSE(v->mismatch)
            << "converted at " << convertSize << ", verified at " << size
            << ": line " << lineOf(input, v->mismatch->commandAt) << ": "
            << v->mismatch->what;
      }
    }
  }
  EXPECT_FALSE(corpus->empty());
}

TEST(VerifyConversion, PassesGeneratedFilesConvertedAndReadAtVariedSizes) {
  testing::SvfGenerator generator(31, {});
  std::mt19937 random(32);
  auto size = [&](std::size_t programSize) {
    return testing::someSize(random, programSize);
  };
  for (int i = 0; i < 400; ++i) {
    testing::GeneratedSvf svf = generator.file();
    std::string output = testing::convert(svf.text, size(kDefaultBufferSize),
                                          size(kDefaultReadBackBlockSize));
    ASSERT_EQ(output, svf.expected) << "file " << i;
    std::size_t blockSize = size(kDefaultVerifyBlockSize);
    Expected<Verification> v = verify(svf.text, output, blockSize);
    ASSERT_TRUE(v);
    ASSERT_FALSE(v->mismatch) << "file " << i << ", block " << blockSize << ": "
                              << v->mismatch->what << "\n"
                              << svf.text;
    std::uint64_t bits = 0;
    for (const testing::LongSdr &sdr : svf.longSdrs)
      bits += sdr.bits;
    EXPECT_EQ(v->summary.longSdrCommands, svf.longSdrs.size()) << "file " << i;
    EXPECT_EQ(v->summary.longSdrBits, bits) << "file " << i;
  }
}

// Inputs strung together from the pieces the rules turn on, in any order:
// whatever the converter makes of them, the verifier must find the same.
TEST(VerifyConversion, PassesTheConvertersOutputForRandomPieces) {
  static const char *const kPieces[] = {"SDR ",
                                        "SDR\t",
                                        "SDR",
                                        "SDRS ",
                                        "RUN",
                                        "RUNTEST ",
                                        "RUNNER ",
                                        "300",
                                        "257",
                                        "4294967296",
                                        "8",
                                        " ",
                                        "\t",
                                        "\n",
                                        "\r\n",
                                        "\r",
                                        "(",
                                        ")",
                                        ";",
                                        "!",
                                        "//",
                                        "/",
                                        "TDI ",
                                        "TDO ",
                                        "MASK ",
                                        "SMASK ",
                                        "T",
                                        "M",
                                        "tdo",
                                        "G",
                                        "SIR 8;",
                                        "  state idle;",
                                        "IDLE ",
                                        "TCK",
                                        "SCK",
                                        " SEC",
                                        "1E-3",
                                        "1.00E-02",
                                        ".",
                                        "E",
                                        "+",
                                        "5",
                                        "ENDDR",
                                        "_",
                                        "\x80",
                                        "0A1B",
                                        "SDR 300 TDI (",
                                        "RUNTEST 5 TCK",
                                        "RUNTEST IDLE 2 TCK 1E-3 SEC",
                                        " ENDSTATE IDLE"};
  std::mt19937 random(41);
  int compared = 0;
  while (compared < 2000) {
    std::string input;
    for (int pieces = 1 + static_cast<int>(random() % 30); pieces > 0;
         --pieces) {
      if (random() % 8 == 0)
        input += hexDigits(60 + random() % 80, static_cast<unsigned>(random()));
      else
        input += kPieces[random() % std::size(kPieces)];
    }
    ++compared;
    const std::size_t convertSize = random() % 2 ? kDefaultBufferSize : 3;
    const std::string output =
        testing::convert(input, convertSize, convertSize);
    for (std::size_t size :
         {std::size_t{1}, std::size_t{5}, kDefaultVerifyBlockSize}) {
      Expected<Verification> v = verify(input, output, size);
      ASSERT_TRUE(v);
      ASSERT_FALSE(v->mismatch)
          << "block " << size << ": " << v->mismatch->what << "\ninput:\n"
          << input << "\noutput:\n"
          << output;
    }
  }
}

// A real output, corrupted in one place the way a fault of the converter
// would: each must be reported at the input command it concerns, in words
// that say what differs.
TEST(VerifyConversion, ReportsEachCorruptionOfARealOutput) {
  const std::string tdi = hexDigits(250, 11);
  const std::string tdo = hexDigits(250, 12);
  const std::string mask = hexDigits(250, 13);
  const std::string input = "! A board test!\r\n"      // 1
                            "STATE RESET; ! reset\r\n" // 2
                            "SDR 1000 TDI (" +
                            testing::wrapped(tdi, 64, "\r\n", "\t") +
                            ")\r\n" // 3-6
                            "\tTDO (" +
                            testing::wrapped(tdo, 64, "\r\n", "\t") +
                            ")\r\n" // 7-10
                            "\tMASK (" +
                            mask +
                            ");\r\n"                                 // 11
                            "RUNTEST IDLE 100 TCK 1.00E-02 SEC;\r\n" // 12
                            "SDR 301 TDI (" +
                            A75 +
                            "0);\r\n"          // 13
                            "STATE IDLE;\r\n"; // 14
  const std::string output = testing::convert(input);
  ASSERT_TRUE(verify(input, output)->verified());
  const std::string segments = segmentsOf(1000, tdi, tdo, mask);
  const std::size_t runAt = output.find("SDRS 256");
  const std::size_t segmentSize = output.find("SDRS 256", runAt + 1) - runAt;
  ASSERT_EQ(output.substr(runAt, segments.size()), segments);

  auto replaced = [&](std::size_t at, std::size_t count,
                      const std::string &with) {
    std::string text = output;
    text.replace(at, count, with);
    return text;
  };
  auto segment = [&](int j) { return runAt + j * segmentSize; };
  // The TDO digit at bits 256 to 259: the last of segment 2's TDO field.
  const std::size_t tdoDigit = segment(1) + 14 + 64 + 7 + 63;
  const char other = output[tdoDigit] == '7' ? '8' : '7';
  const std::size_t last = output.find("SDR 232 TDI (");
  const std::size_t runTest = output.find("RUNTEST 100 TCK ;\r\n");
  const std::size_t shortRun = output.find("SDR 45 TDI (");

  struct Corruption {
    const char *name;
    std::string output;
    int line;
    std::string what;
  };
  const Corruption corruptions[] = {
      {"one digit", replaced(tdoDigit, 1, std::string(1, other)), 3,
       std::string("TDO bits 256 to 259 differ in segment 2 of 4: the output "
                   "has ") +
           other + " where the input has " + output[tdoDigit]},
      {"a segment dropped", replaced(segment(1), segmentSize, ""), 3,
       "segment lengths add up to 744 bits for a command of 1000"},
      {"two segments swapped",
       replaced(segment(0), 2 * segmentSize,
                output.substr(segment(1), segmentSize) +
                    output.substr(segment(0), segmentSize)),
       3, "differ in segment 1 of 4"},
      {"a segment length changed", replaced(last, 7, "SDR 228"), 3,
       "segment lengths add up to 996 bits for a command of 1000"},
      {"a segment's CR LF lost", replaced(segment(2) + segmentSize - 2, 2, ""),
       3, "segment 3 does not end in CR LF"},
      {"the CR LF between RUNTEST's two commands lost",
       replaced(runTest + 17, 2, ""), 12,
       "RUNTEST minimum time 1.00E-02 SEC missing"},
      {"a RUNTEST count changed", replaced(runTest + 8, 3, "10"), 12,
       "RUNTEST count 100 written as \"10\""},
      {"a RUNTEST unit changed", replaced(runTest + 12, 3, "SCK"), 12,
       "RUNTEST unit TCK written as \"SCK\""},
      {"a minimum time changed",
       replaced(output.find("1.00E-02"), 8, "1.00E-03"), 12,
       "RUNTEST minimum time 1.00E-02 written as \"1.00E-03\""},
      {"a '!' put back", replaced(output.find("//"), 2, "!"), 1,
       "a '!' is written as it stands"},
      {"the second '!' of a comment line put back", replaced(15, 2, "!"), 1,
       "a '!' is written as it stands"},
      {"a '!' put back after a command",
       replaced(output.find("// reset"), 2, "!"), 2,
       "a '!' is written as it stands"},
      {"a long SDR left unsplit",
       replaced(shortRun - 64 - 19,
                output.find(") ;", shortRun) + 3 - (shortRun - 64 - 19),
                "SDR 301 TDI (" + A75 + "0);"),
       13,
       "the SDR command of 301 bits is written unsplit; it must become 2 "
       "segments"},
      {"a segment's field cut short", replaced(last + 13, 1, ""), 3,
       "segment 4: its TDI field holds 57 digits for 232 bits"},
      {"a copied byte changed", replaced(output.find("RESET"), 1, "P"), 2,
       "the output has \"STATE PESET; // reset\\r\\n"},
      {"the output cut short", output.substr(0, output.size() - 3), 14,
       "the output ends where the input goes on with \";\\r\\n\""},
      {"the output goes on", output + "X", 15,
       "the output goes on after the input ends, with \"X\""},
  };
  for (const Corruption &c : corruptions) {
    Mismatch mismatch = expectMismatch(c.name, input, c.output);
    EXPECT_EQ(lineOf(input, mismatch.commandAt), c.line) << c.name;
    EXPECT_NE(mismatch.what.find(c.what), std::string::npos)
        << c.name << ": " << mismatch.what;
    EXPECT_LE(mismatch.outputAt, static_cast<Offset>(c.output.size()))
        << c.name;
  }
}

// Each command the rules leave as it stands verifies when the output holds
// it as it stood, and is reported at its line, with the rule that leaves it,
// when the output splits or reduces it.
TEST(VerifyConversion, HoldsCommandsLeftAsTheyStandToWhatTheyWere) {
  struct LeftCase {
    const char *name;
    std::string command; // on line 2, between a command and a comment line
    std::string split;   // the command as a converter might wrongly write it
    std::string what;
  };
  const std::string A76 = "1" + A75;
  const std::string segments300 = segmentsOf(300, A75);
  const LeftCase cases[] = {
      {"unterminated before a command line",
       "SDR 300 TDI (" + A75 + ")\nSIR 8 TDI (01);",
       segments300 + "SIR 8 TDI (01);",
       "as a command line comes before its ';'"},
      {"unterminated before an indented lower-case command",
       "SDR 300 TDI (" + A75 + "\n  state idle;",
       segments300 + "\n  state idle;",
       "as a command line comes before its ';'"},
      {"unterminated at the end of the input", "SDR 300 TDI (" + A75 + ")",
       segments300, "as the input ends before its ';'"},
      {"a byte that is no hexadecimal digit",
       "SDR 300 TDI (" + A75.substr(1) + "G);", segmentsOf(300, A75),
       "as its TDI field holds \"G\", which is no hexadecimal digit"},
      {"a single '/' in a carried field", "SDR 300 TDI (1) TDO (1/2);",
       segmentsOf(300, "1", "12"),
       "as its TDO field holds \"/\", which is no hexadecimal digit"},
      {"a ';' inside a field", "SDR 300 TDI (12;34);",
       segmentsOf(300, "12") + "34);",
       "as a ';' stands inside a parenthesised group"},
      {"a '(' inside a group that is not carried",
       "SDR 300 TDI (" + A75 + ") SMASK (1(2);", segments300,
       "as a '(' stands inside a parenthesised group"},
      {"a ')' outside any group", "SDR 300 TDI (" + A75 + "));",
       segments300 + ")", "as a ')' stands outside any group"},
      {"no TDO group after its T word", "SDR 300 TDI (" + A75 + ") TDO;",
       segments300, "as a ';' comes where a field must follow"},
      {"a length past 32 bits", "SDR 4294967296 TDI (" + A75 + ");",
       segments300, "as its length does not fit 32 bits"},
      {"indented", " SDR 300 TDI (" + A75 + ");", " " + segments300,
       "the output has \" SDRS 256 TDI ("},
      {"lower case", "sdr 300 TDI (" + A75 + ");", segments300,
       "the output has \"SDRS 256 TDI ("},
      {"after another command", "STATE IDLE; SDR 300 TDI (" + A75 + ");",
       "STATE IDLE; " + segments300,
       "the output has \"STATE IDLE; SDRS 256 TDI ("},
      {"RUNTEST without a count", "RUNTEST ENDSTATE IDLE;", "RUNTEST ;",
       "as it has no count"},
      {"RUNTEST unterminated before a command line",
       "RUNTEST 100 TCK\nSTATE IDLE;", "RUNTEST 100 TCK ;\nSTATE IDLE;",
       "as a command line comes before its ';'"},
      {"a word after RUN not ended by a blank", "RUNX;", "RUNX ;",
       "as its command word is followed by neither a blank nor a line end"},
  };
  for (const LeftCase &c : cases) {
    const std::string input = "STATE IDLE;\n" + c.command + "\n! end\n";
    ASSERT_EQ(testing::convert(input), copied(input)) << c.name;
    expectVerified(c.name, input, copied(input));
    Mismatch mismatch =
        expectMismatch(c.name, input, "STATE IDLE;\n" + c.split + "\n// end\n");
    EXPECT_EQ(lineOf(input, mismatch.commandAt), 2) << c.name;
    EXPECT_NE(mismatch.what.find(c.what), std::string::npos)
        << c.name << ": " << mismatch.what;
  }
}

// The field a group is carried as follows from the letters of the words
// before it, however long they are: a 'T' past a word's twelfth byte still
// makes the next group TDO, and a ';' right after such a word still leaves
// the command as it stands.
TEST(VerifyConversion, TakesFieldsFromTheLettersOfWordsOfAnyLength) {
  const std::string word = std::string(12, 'x');
  const std::string tdo =
      "SDR 300 TDI (" + A75 + ") " + word + "TDO (" + B75 + ");\n";
  expectVerified("the TDO group carried", tdo,
                 segmentsOf(300, A75, B75) + "\n");
  Mismatch dropped =
      expectMismatch("the TDO group dropped", tdo, segmentsOf(300, A75) + "\n");
  EXPECT_EQ(dropped.what,
            "segment 1 carries TDI; the command's segments carry TDI, TDO");

  const std::string noGroup = "SDR 300 TDI (" + A75 + ") " + word + "T;\n";
  expectVerified("left as it stands", noGroup, noGroup);
  Mismatch split =
      expectMismatch("split", noGroup, segmentsOf(300, A75) + "\n");
  EXPECT_NE(split.what.find("as a ';' comes where a field must follow"),
            std::string::npos)
      << split.what;
}

TEST(VerifyConversion, ComparesRunTestNumbersByTheirValue) {
  struct NumberCase {
    const char *name;
    std::string input, output;
    bool same;
  };
  const NumberCase cases[] = {
      {"as written", "RUNTEST 1.00E-02 SEC;", "RUNTEST 1.00E-02 SEC ;", true},
      {"without the exponent", "RUNTEST 1.00E-02 SEC;", "RUNTEST 0.01 SEC ;",
       true},
      {"another exponent", "RUNTEST 1.00E-02 SEC;", "RUNTEST 10e-3 SEC ;",
       true},
      {"leading zeros and a '.'", "RUNTEST 100 TCK;", "RUNTEST 00100. TCK ;",
       true},
      {"a count as a power of ten", "RUNTEST 100 TCK;", "RUNTEST 1E+2 TCK ;",
       true},
      {"zeros", "RUNTEST 0 TCK;", "RUNTEST 0.000E7 TCK ;", true},
      {"tabs and blanks between the parts", "RUNTEST 100 TCK;",
       "RUNTEST\t100  TCK;", true},
      {"the minimum time", "RUNTEST 2 TCK 1.00E-02 SEC;",
       "RUNTEST 2 TCK ;\r\nRUNTEST 0.0100 SEC ;", true},
      {"a count of 300 digits", "RUNTEST " + std::string(300, '7') + " TCK;",
       "RUNTEST " + std::string(300, '7') + ".0 TCK ;", true},
      {"a digit more", "RUNTEST 100 TCK;", "RUNTEST 1000 TCK ;", false},
      {"a smaller exponent", "RUNTEST 1.00E-02 SEC;", "RUNTEST 1.00E-03 SEC ;",
       false},
      {"a trailing digit", "RUNTEST 1.5 SEC;", "RUNTEST 1.51 SEC ;", false},
      {"no number", "RUNTEST 100 TCK;", "RUNTEST TCK ;", false},
      {"a time that differs", "RUNTEST 2 TCK 1.00E-02 SEC;",
       "RUNTEST 2 TCK ;\r\nRUNTEST 1.00E-01 SEC ;", false},
  };
  for (const NumberCase &c : cases) {
    const std::string input = c.input + "\n";
    const std::string output = c.output + "\n";
    if (c.same)
      expectVerified(c.name, input, output);
    else
      expectMismatch(c.name, input, output);
  }
}

TEST(VerifyNumbers, MeasuresAndComparesDecimalNumbersExactly) {
  struct LengthCase {
    std::string_view text;
    std::size_t length;
  };
  const LengthCase lengths[] = {
      {"100 TCK", 3}, {"1.00E-02 SEC", 8}, {".5;", 2},   {"5.;", 2},
      {". SEC", 0},   {"1E TCK", 1},       {"1E+ X", 1}, {"2e5", 3},
      {"TCK", 0},     {"50021E-6", 8},
  };
  for (const LengthCase &c : lengths)
    EXPECT_EQ(verify::numberLength(c.text), c.length) << c.text;
  struct ValueCase {
    std::string_view a, b;
    bool same;
  };
  const ValueCase values[] = {
      {"1.00E-02", "1.00E-02", true},
      {"1.00E-02", "0.01", true},
      {"0.01", "1e-2", true},
      {"50021E-6", "0.050021", true},
      {"100", "1E2", true},
      {"0", "0.0E-99", true},
      {"1E999999999999999999999", "10E999999999999999999998", false},
      {"1E0000000000000000000000000005", "100000", true},
      {"1.5", "15E-1", true},
      {"1.5", "1.05", false},
      {"0", "1", false},
      {"12", "21", false},
      {"1E-9223372036854775807", "1E9223372036854775807", false},
  };
  for (const ValueCase &c : values)
    EXPECT_EQ(verify::sameValue(c.a, c.b), c.same) << c.a << " " << c.b;
}

TEST(VerifyConversion, ReportsAFailedReadAsAnErrorNotAMismatch) {
  const std::string input = "SDR 300 TDI (" + A75 + ");\nSTATE IDLE;\n";
  const std::string output = testing::convert(input);
  for (Offset failFrom : {Offset{0}, Offset{20}, Offset{90}}) {
    testing::FailingSource failingInput(input, failFrom);
    MemorySource goodOutput(output);
    Expected<Verification> v = verifyConversion(failingInput, goodOutput, {16});
    ASSERT_FALSE(v) << "input failing from " << failFrom;
    EXPECT_EQ(v.takeError().reason(), "Input/output error");

    MemorySource goodInput(input);
    testing::FailingSource failingOutput(output, failFrom);
    Expected<Verification> w = verifyConversion(goodInput, failingOutput, {16});
    ASSERT_FALSE(w) << "output failing from " << failFrom;
    EXPECT_EQ(w.takeError().reason(), "Input/output error");
  }
}

TEST(VerifyConversion, StaysLinearWhereCommandsSearchFarForTheirSemicolon) {
  // Each line searches for its ';' to the end of the input, or to a distant
  // one; if each searched afresh, the verification would read the input once
  // per line.
  struct Lines {
    std::string line, end;
  };
  const Lines cases[] = {
      {"RUNNER 5 LAPS\n", ""},       {"RUNNER 5 LAPS ! ;\n", ""},
      {"RUNNER 5 LAPS\n", ")\n;\n"}, {"SDR 300 TDI (1234\n", ")\n;\n"},
      {"SDR 300 X\n", ")\n;\n"},
  };
  for (const auto &[line, end] : cases) {
    std::string input;
    for (int i = 0; i < 5000; ++i)
      input += line;
    input += end;
    const std::string output = testing::convert(input);
    testing::CountingSource in(input);
    testing::CountingSource out(output);
    constexpr std::size_t kBlock = 4096;
    Expected<Verification> v = verifyConversion(in, out, {kBlock});
    ASSERT_TRUE(v);
    EXPECT_TRUE(v->verified()) << line << v->mismatch->what;
    const int blocks = static_cast<int>(input.size() / kBlock) + 1;
    EXPECT_LT(in.reads, 4 * blocks + 10) << line;
  }
}

// An input of one SDR command of 100 million bits over lines of 64 digits,
// and the segments the conversion writes for it, both made up on demand: a
// verification of them must not hold more memory than it does for a short
// command.
class LongCommand {
public:
  static constexpr std::uint64_t kBits = 100'000'000;
  static constexpr std::uint64_t kDigits = kBits / 4;
  static constexpr std::uint64_t kSegments = kBits / 256;

  // The field's digit at `index` from the left.
  static char digit(std::uint64_t index) {
    return "0123456789ABCDEF"[(index * 0x9E3779B97F4A7C15ull) >> 60];
  }

  // A source whose bytes Bytes::at() makes up, one by one; -1 past the end.
  template <typename Bytes> class MadeUp : public ByteSource {
  public:
    Expected<std::size_t> readAt(Offset offset,
                                 std::span<char> buffer) override {
      const auto &bytes = static_cast<const Bytes &>(*this);
      std::size_t count = 0;
      for (; count < buffer.size(); ++count) {
        int c = bytes.at(static_cast<std::uint64_t>(offset) + count);
        if (c < 0)
          break;
        buffer[count] = static_cast<char>(c);
      }
      return count;
    }
  };

  class Input final : public MadeUp<Input> {
  public:
    static constexpr std::string_view kHead =
        "STATE IDLE;\nSDR 100000000 TDI (";
    static constexpr std::string_view kTail = ");\nSTATE RESET;\n";
    static constexpr std::uint64_t kLine = 3 + 64; // "\n\t\t" and the digits
    static constexpr std::uint64_t kField = kDigits / 64 * kLine - 3;

    static int at(std::uint64_t offset) {
      if (offset < kHead.size())
        return kHead[offset];
      offset -= kHead.size();
      if (offset < kField) {
        std::uint64_t line = (offset + 3) / kLine;
        std::uint64_t column = (offset + 3) % kLine;
        if (column < 3)
          return "\n\t\t"[column];
        return digit(line * 64 + column - 3);
      }
      offset -= kField;
      return offset < kTail.size() ? kTail[offset] : -1;
    }
  };

  class Output final : public MadeUp<Output> {
  public:
    // Writes `wrong` in place of the digit at `index` from the left.
    explicit Output(std::uint64_t index = kDigits, char wrong = 0)
        : index_(index), wrong_(wrong) {}
    static constexpr std::string_view kHead = "STATE IDLE;\n";
    static constexpr std::string_view kTail = "\nSTATE RESET;\n";
    static constexpr std::uint64_t kSegment = 14 + 64 + 5;
    static constexpr std::uint64_t kLast = 13 + 64 + 3;

    int at(std::uint64_t offset) const {
      if (offset < kHead.size())
        return kHead[offset];
      offset -= kHead.size();
      std::uint64_t segment = offset / kSegment;
      std::uint64_t within = offset % kSegment;
      bool last = segment == kSegments - 1;
      if (segment < kSegments) {
        std::string_view head = last ? "SDR 256 TDI (" : "SDRS 256 TDI (";
        std::string_view end = last ? ") ;" : ") ;\r\n";
        if (within < head.size())
          return head[within];
        within -= head.size();
        if (within < 64) {
          std::uint64_t index = kDigits - 64 * (segment + 1) + within;
          return index == index_ ? wrong_ : digit(index);
        }
        within -= 64;
        if (last || within < end.size())
          return within < end.size() ? end[within] : kTail[within - end.size()];
      }
      offset -= (kSegments - 1) * kSegment + kLast;
      return offset < kTail.size() ? kTail[offset] : -1;
    }

  private:
    std::uint64_t index_;
    char wrong_;
  };
};

TEST(VerifyMemory, StaysBoundedOnAFieldOf100MillionBits) {
  LongCommand::Input input;
  LongCommand::Output output;
  const std::size_t before = heldBytes;
  peakBytes = before;
  Expected<Verification> v = verifyConversion(input, output);
  ASSERT_TRUE(v);
  EXPECT_TRUE(v->verified()) << v->mismatch->what;
  EXPECT_EQ(v->summary.longSdrBits, LongCommand::kBits);
  const std::size_t peak = peakBytes - before;
  EXPECT_LT(peak, std::size_t{4} << 20)
      << "a field of " << LongCommand::kDigits << " digits";

  // The same for a short command, for comparison.
  const std::string shortInput = "SDR 300 TDI (" + A75 + ");\n";
  const std::string shortOutput = testing::convert(shortInput);
  peakBytes = heldBytes.load();
  const std::size_t shortBefore = heldBytes;
  ASSERT_TRUE(verify(shortInput, shortOutput)->verified());
  EXPECT_LE(peak, peakBytes - shortBefore + 4096);
}

TEST(VerifyMemory, FindsOneWrongDigitDeepInAFieldOf100MillionBits) {
  const std::uint64_t index = 12'345'678; // from the left
  const char wrong = LongCommand::digit(index) == 'F' ? 'E' : 'F';
  LongCommand::Input input;
  LongCommand::Output output(index, wrong);
  Expected<Verification> v = verifyConversion(input, output);
  ASSERT_TRUE(v);
  ASSERT_FALSE(v->verified());
  // Bit 0 is the rightmost digit's lowest.
  const std::uint64_t low = 4 * (LongCommand::kDigits - 1 - index);
  const std::uint64_t segment = low / 256 + 1;
  EXPECT_EQ(v->mismatch->what,
            "TDI bits " + std::to_string(low) + " to " +
                std::to_string(low + 3) + " differ in segment " +
                std::to_string(segment) + " of 390625: the output has " +
                wrong + " where the input has " + LongCommand::digit(index));
  EXPECT_EQ(v->mismatch->commandAt, 12);
}

} // namespace
} // namespace svfseg
