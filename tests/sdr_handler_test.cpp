#include "io/file.h"
#include "segments.h"
#include "test_support.h"

#include <filesystem>
#include <optional>
#include <random>

namespace svfseg {
namespace {

using testing::consume;
using testing::consumeField;
using testing::ConversionCase;
using testing::hexDigits;
using testing::rightmost;
using testing::SegmentRun;
using testing::segmentRuns;
using testing::segmentsOf;
using testing::wrapped;

const std::string A75 = hexDigits(75, 1);
const std::string B75 = hexDigits(75, 2);
const std::string C75 = hexDigits(75, 3);
const std::string D75 = hexDigits(75, 4);

TEST(SdrHandler, SplitsLongCommandsInto256BitSegments) {
  const std::string A65 = hexDigits(65, 5);
  const std::string A76 = hexDigits(76, 6);
  const std::string A128 = hexDigits(128, 7);
  const std::string A70 = hexDigits(70, 8);
  const ConversionCase cases[] = {
      {"worked shape: 300 bits, TDI and TDO",
       "SIR 8 TDI (01);\nSDR 300 TDI (" + A75 + ") TDO (" + B75 + ");\n",
       "SIR 8 TDI (01);\nSDRS 256 TDI (" + A75.substr(11) + ") TDO (" +
           B75.substr(11) + ") ;\r\nSDR 44 TDI (" + A75.substr(0, 11) +
           ") TDO (" + B75.substr(0, 11) + ") ;\n"},
      {"256 bits pass through", "SDR 256 TDI (" + hexDigits(64, 9) + ");\n",
       "SDR 256 TDI (" + hexDigits(64, 9) + ");\n"},
      {"257 bits", "SDR 257 TDI (" + A65 + ");\n",
       "SDRS 256 TDI (" + A65.substr(1) + ") ;\r\nSDR 1 TDI (" +
           A65.substr(0, 1) + ") ;\n"},
      {"301 bits: the last segment carries the exact count",
       "SDR 301 TDI (" + A76 + ");\n",
       "SDRS 256 TDI (" + A76.substr(12) + ") ;\r\nSDR 45 TDI (" +
           A76.substr(0, 12) + ") ;\n"},
      {"512 bits", "SDR 512 TDI (" + A128 + ");\n",
       "SDRS 256 TDI (" + A128.substr(64) + ") ;\r\nSDR 256 TDI (" +
           A128.substr(0, 64) + ") ;\n"},
      {"TDI, TDO and MASK",
       "SDR 300 TDI (" + A75 + ") TDO (" + B75 + ") MASK (" + C75 + ");\n",
       segmentsOf(300, A75, B75, C75) + "\n"},
      {"MASK without TDO is not carried",
       "SDR 300 TDI (" + A75 + ") MASK (" + C75 + ");\n",
       segmentsOf(300, A75) + "\n"},
      {"SMASK after TDO is carried as the mask",
       "SDR 300 TDI (" + A75 + ") TDO (" + B75 + ") SMASK (" + D75 + ");\n",
       segmentsOf(300, A75, B75, D75) + "\n"},
      {"the T and M of long words count",
       "SDR 300 TDI (" + A75 + ") xxxxxxxxxxxxxxxxTDO (" + B75 +
           ") xxxxxxxxxxxxxxxxMASK (" + C75 + ");\n",
       segmentsOf(300, A75, B75, C75) + "\n"},
      {"TDI SMASK TDO MASK order drops SMASK",
       "SDR 300 TDI (" + A75 + ") SMASK (" + D75 + ") TDO (" + B75 +
           ") MASK (" + C75 + ");\n",
       segmentsOf(300, A75, B75, C75) + "\n"},
      {"fields over tab-indented lines",
       "SDR 300 TDI (" + wrapped(A75, 20, "\n", "\t\t") + ")\n\tTDO (" +
           wrapped(B75, 16, "\n", "\t\t\t") + ")\n\tMASK (" +
           wrapped(C75, 30, "\n", "\t") + ");\n",
       segmentsOf(300, A75, B75, C75) + "\n"},
      {"fields over blank-indented CRLF lines",
       "SDR 300 TDI (" + wrapped(A75, 20, "\r\n", "    ") + ")\r\n TDO (" +
           wrapped(B75, 7, "\r\n", "\t\t\t ") + ");\r\n",
       segmentsOf(300, A75, B75) + "\r\n"},
      {"blanks inside a field are passed over",
       "SDR 300 TDI (" + wrapped(A75, 8, " ", "") + ");\n",
       segmentsOf(300, A75) + "\n"},
      {"extra leading digits are dropped", "SDR 260 TDI (" + A70 + ");\n",
       segmentsOf(260, A70) + "\n"},
      {"a short field gets leading zeroes",
       "SDR 300 TDI (1F) TDO (" + B75 + ") MASK (0);\n",
       segmentsOf(300, "1F", B75, "0") + "\n"},
      {"lower-case digits are copied as they are",
       "SDR 300 TDI (abcdef) TDO (" + B75 + ");\n",
       segmentsOf(300, "abcdef", B75) + "\n"},
      {"a field boundary in mid-line",
       "SDR 300 TDI (" + A75.substr(0, 40) + "\n" + A75.substr(40) + ") TDO (" +
           B75.substr(0, 10) + "\n" + B75.substr(10) + ");\n",
       segmentsOf(300, A75, B75) + "\n"},
      {"two blanks and tabs before the length",
       "SDR  300\tTDI  (" + A75 + ");\nSDR\t300\tTDI (" + A75 + ");\n",
       segmentsOf(300, A75) + "\n" + segmentsOf(300, A75) + "\n"},
      {"leading zeroes in the length",
       "SDR 00000000000000000000000000300 TDI (" + A75 + ");\n",
       segmentsOf(300, A75) + "\n"},
      {"text after the ';' is copied", "SDR 300 TDI (" + A75 + "); ! done\n",
       segmentsOf(300, A75) + " // done\n"},
      {"no final line end", "SDR 300 TDI (" + A75 + ");", segmentsOf(300, A75)},
  };
  testing::expectConversions(cases);
}

TEST(SdrHandler, ExaminesEveryLineStart) {
  const std::string split = segmentsOf(300, A75);
  const std::string command = "SDR 300 TDI (" + A75 + ");";
  const ConversionCase cases[] = {
      {"on the first line", command + "\n", split + "\n"},
      {"after an empty LF line", "\n" + command + "\n", "\n" + split + "\n"},
      {"after an empty CRLF line", "\r\n" + command + "\r\n",
       "\r\n" + split + "\r\n"},
      {"after a one-byte line", "X\n" + command + "\n", "X\n" + split + "\n"},
      {"after a slash line", "/\n" + command + "\n", "/\n" + split + "\n"},
      {"after a short SDR ended by a line feed",
       "SDR 8\n\tTDI (00);\n" + command + "\n",
       "SDR 8\n\tTDI (00);\n" + split + "\n"},
      {"after a partial head", "SD\n" + command + "\n", "SD\n" + split + "\n"},
  };
  testing::expectConversions(cases);
}

TEST(SdrHandler, CopiesWhatItCannotSplitAsItStands) {
  const ConversionCase cases[] = {
      {"input ends inside the TDI field", "SDR 300 TDI (" + A75,
       "SDR 300 TDI (" + A75},
      {"input ends before the ';'",
       "SDR 300 TDI (" + A75 + ") TDO (" + B75 + ")\n",
       "SDR 300 TDI (" + A75 + ") TDO (" + B75 + ")\n"},
      {"input ends inside the MASK field with a comment",
       "SDR 300 TDI (1) TDO (2) MASK (3 ! x",
       "SDR 300 TDI (1) TDO (2) MASK (3 // x"},
      {"no field before the ';'", "SDR 300;\nSDR 8 TDI (00);\n",
       "SDR 300;\nSDR 8 TDI (00);\n"},
      {"a ';' inside a field", "SDR 300 TDI (12;34);\n",
       "SDR 300 TDI (12;34);\n"},
      {"a field without '('", "SDR 300 TDI 1234);\n", "SDR 300 TDI 1234);\n"},
      {"a length past 32 bits",
       "SDR 4294967296 TDI (" + A75 + ");\nSDR 99999999999999999999999 ;\n",
       "SDR 4294967296 TDI (" + A75 + ");\nSDR 99999999999999999999999 ;\n"},
      {"SDRS is another command", "SDRS 300 TDI (" + A75 + ");\n",
       "SDRS 300 TDI (" + A75 + ");\n"},
      {"no length", "SDR TDI (1);\nSDR;\n", "SDR TDI (1);\nSDR;\n"},
      {"a short SDR keeps its comment mark converted", "SDR 8 TDI (00); ! c\n",
       "SDR 8 TDI (00); // c\n"},
      {"a length ended by '!'", "SDR 8!x\n", "SDR 8//x\n"},
  };
  testing::expectConversions(cases);
}

TEST(SdrHandler, TakesCommentsInsideAndBetweenFieldsAsLayout) {
  // The same command with comments wherever layout may stand: the segments
  // are those of the command without them, and no '!' reaches them.
  const std::string split = segmentsOf(300, A75, B75, C75);
  auto command = [](const std::string &tdi, const std::string &between,
                    const std::string &tdo, const std::string &mask) {
    return "SDR 300 TDI (" + tdi + ")" + between + "TDO (" + tdo + ") MASK (" +
           mask + ");\n";
  };
  const std::string plain = command(A75, " ", B75, C75);
  const ConversionCase cases[] = {
      {"a '!' comment on a line inside TDI",
       command(A75.substr(0, 30) + "\n! note\n" + A75.substr(30), " ", B75,
               C75),
       split + "\n"},
      {"comments after digits, with field marks and ';' in them",
       command(A75.substr(0, 30) + " ! T(M);\n\t" + A75.substr(30), " ",
               B75.substr(0, 9) + "// x)\n" + B75.substr(9),
               C75.substr(0, 1) + "!(\r\n" + C75.substr(1)),
       split + "\n"},
      {"a comment between TDI and TDO with T, M and '('",
       command(A75, "\n! Test Mask (x)\n", B75, C75), split + "\n"},
      {"a comment right after the length",
       "SDR 300 ! TDO (1)\n TDI (" + A75 + ") TDO (" + B75 + ") MASK (" + C75 +
           ");\n",
       split + "\n"},
      {"a comment line at column 0 that names a command",
       command(A75.substr(0, 40) + "\n!SIR 8 TDI (01);\n" + A75.substr(40), " ",
               B75, C75),
       split + "\n"},
      {"a comment on a line longer than a read-back block",
       command(A75.substr(0, 60) + " !" + std::string(300, 'x') + "!\n" +
                   A75.substr(60),
               " ", B75, C75),
       split + "\n"},
  };
  testing::expectConversions(cases);
  EXPECT_EQ(testing::convert(plain), split + "\n");
}

TEST(SdrHandler, NeverTakesPartsFromALineThatStartsAnotherCommand) {
  const std::string A76 = "1" + hexDigits(75, 4);
  const ConversionCase cases[] = {
      {"no ';' before SIR", "SDR 300 TDI (" + A75 + ")\nSIR 8 TDI (01);\n",
       "SDR 300 TDI (" + A75 + ")\nSIR 8 TDI (01);\n"},
      {"no ')' before an indented lower-case command",
       "SDR 300 TDI (" + A75 + "\n  state idle;\n",
       "SDR 300 TDI (" + A75 + "\n  state idle;\n"},
      {"no TDO group before ENDDR",
       "SDR 300 TDI (" + A75 + ") TDO\nENDDR IDLE;\n",
       "SDR 300 TDI (" + A75 + ") TDO\nENDDR IDLE;\n"},
      {"the next long SDR is split",
       "SDR 300 TDI (" + A75 + ")\nSDR 303 TDI (" + A76 + ");\n",
       "SDR 300 TDI (" + A75 + ")\n" + segmentsOf(303, A76) + "\n"},
      {"digit lines that start with E and F are digits",
       "SDR 300 TDI (\n" + std::string("EF") + A75.substr(2) +
           "\n) TDO\n(\nFE" + B75.substr(2) + ");\n",
       segmentsOf(300, "EF" + A75.substr(2), "FE" + B75.substr(2)) + "\n"},
      {"field keywords on lines of their own",
       "SDR 300\n\tTDI (" + A75 + ")\n\tTDO (" + B75 + ")\n\tMASK (" + C75 +
           ")\n;\n",
       segmentsOf(300, A75, B75, C75) + "\n"},
      {"a word that merely starts like a command",
       "SDR 300 TDI (" + A75 + ")\nSTATEMENT TDO (" + B75 + ");\n",
       segmentsOf(300, A75, B75) + "\n"},
  };
  testing::expectConversions(cases);
}

TEST(SdrHandler, LeavesACommandWithANonHexadecimalDigitAsItStands) {
  const ConversionCase cases[] = {
      {"a letter past F", "SDR 300 TDI (G" + std::string(74, '0') + ");\n",
       "SDR 300 TDI (G" + std::string(74, '0') + ");\n"},
      {"a single '/' in TDO", "SDR 300 TDI (1) TDO (1/2);\n",
       "SDR 300 TDI (1) TDO (1/2);\n"},
      {"a '(' inside a field", "SDR 300 TDI (12(34);\n",
       "SDR 300 TDI (12(34);\n"},
      {"anything in a group that is not carried",
       "SDR 300 TDI (" + A75 + ") SMASK (x-y);\n", segmentsOf(300, A75) + "\n"},
  };
  testing::expectConversions(cases);
}

TEST(SdrHandler, StaysLinearOnAFileWithoutSemicolons) {
  // Every command runs to the end of the input looking for its ';'; only the
  // first may search, or this would take minutes.
  std::string input;
  for (int i = 0; i < 20000; ++i)
    input += "SDR 300 TDI (" + A75 + ")\nRUNTEST 100 TCK\n";
  EXPECT_EQ(testing::convert(input), input);
}

TEST(SdrHandler, StaysLinearOnBrokenCommandsBeforeADistantSemicolon) {
  // Each command searches to the ';' at the end and gives up there; if each
  // searched again, the pass would read the input once per line.
  struct Case {
    const char *name;
    std::string line;
    std::string end;
  };
  const Case cases[] = {
      {"no ')' before the ';'", "SDR 300 TDI (1234\n", ";\n"},
      {"no '(' before the ';'", "SDR 300 TDI 1234\n", ";\n"},
      {"a ')' before any '('", "SDR 300 X\n", ")\n;\n"},
  };
  for (const Case &c : cases) {
    std::string input;
    for (int i = 0; i < 5000; ++i)
      input += c.line;
    input += c.end;
    testing::CountingSource source(input);
    StringSink sink;
    InputStream in(source, 4096);
    OutputStream out(sink, 4096);
    scan(in, out);
    ASSERT_FALSE(out.flush());
    EXPECT_EQ(sink.bytes(), input) << "case: " << c.name;
    int blocks = static_cast<int>(input.size() / 4096) + 1;
    EXPECT_LT(source.reads, 3 * blocks + 10) << "case: " << c.name;
  }
}

TEST(SdrHandler, StopsSplittingWhenTheOutputFails) {
  class FullSink final : public ByteSink {
  public:
    Error write(std::string_view) override {
      return Error("out.gvf", "No space left on device");
    }
  };
  // 12500 segments of 64 digits, each read back by a read of its own.
  const std::string input =
      "SDR 3200000 TDI (" + hexDigits(800000, 10) + ");\n";
  testing::CountingSource source(input);
  FullSink sink;
  InputStream in(source, 4096);
  OutputStream out(sink, 16);
  scan(in, out, {64});
  EXPECT_EQ(out.flush().reason(), "No space left on device");
  EXPECT_LT(source.reads, 1000)
      << "the SDR handler went on splitting after the output had failed";
}

TEST(SdrHandler, SegmentsJoinBackIntoTheFieldsOfGeneratedCommands) {
  std::mt19937 random(20261210);
  for (int round = 0; round < 300; ++round) {
    std::uint64_t bits = 257 + random() % 100000;
    std::size_t digits = static_cast<std::size_t>((bits + 3) / 4);
    auto fieldLength = [&] {
      switch (random() % 4) {
      case 0:
        return std::size_t{1} + random() % digits; // short
      case 1:
        return digits + random() % 5; // extra leading digits
      default:
        return digits;
      }
    };
    std::string tdi = hexDigits(fieldLength(), random());
    std::string tdo = hexDigits(fieldLength(), random());
    std::string mask = hexDigits(fieldLength(), random());
    bool hasTdo = random() % 2, hasMask = hasTdo && random() % 2;
    const std::string lineEnd = random() % 2 ? "\n" : "\r\n";
    const std::string indents[] = {"", "\t", "\t\t\t ", "    "};
    auto layout = [&](const std::string &field) {
      return wrapped(field, 1 + random() % 100, lineEnd, indents[random() % 4]);
    };
    std::string command =
        "SDR " + std::to_string(bits) + " TDI (" + layout(tdi) + ")";
    if (random() % 3 == 0)
      command += lineEnd + "\tSMASK (" + layout(mask) + ")";
    if (hasTdo)
      command += lineEnd + "\tTDO (" + layout(tdo) + ")";
    if (hasMask)
      command += " MASK (" + layout(mask) + ")";
    std::string input = "STATE IDLE;" + lineEnd + command + ";" + lineEnd;

    std::size_t size = random() % 2 ? kDefaultBufferSize : 1 + random() % 300;
    std::vector<SegmentRun> runs =
        segmentRuns(testing::convert(input, size, size));
    ASSERT_EQ(runs.size(), 1u) << "round " << round;
    EXPECT_EQ(runs[0].bits, bits) << "round " << round;
    EXPECT_EQ(runs[0].tdi, rightmost(tdi, digits)) << "round " << round;
    EXPECT_EQ(runs[0].tdo, hasTdo ? rightmost(tdo, digits) : "")
        << "round " << round;
    EXPECT_EQ(runs[0].mask, hasMask ? rightmost(mask, digits) : "")
        << "round " << round;
  }
}

// The long SDR commands of an SVF file, read independently of the converter:
// the length and the fields named TDI and TDO.
struct NamedFields {
  std::uint64_t bits = 0;
  std::string tdi, tdo;
};

std::vector<NamedFields> longSdrCommands(std::string_view svf) {
  std::vector<NamedFields> commands;
  for (std::size_t at = 0; at < svf.size();) {
    std::string_view line = svf.substr(at);
    std::size_t next = svf.find('\n', at);
    at = next == std::string_view::npos ? svf.size() : next + 1;
    if (!consume(line, "SDR") || (line[0] != ' ' && line[0] != '\t'))
      continue;
    std::size_t digits = line.find_first_of("0123456789");
    NamedFields command;
    command.bits = std::stoull(std::string(line.substr(digits, 12)));
    if (command.bits <= 256)
      continue;
    std::string_view text = line.substr(0, line.find(';'));
    for (std::size_t open; (open = text.find('(')) != std::string_view::npos;) {
      std::string_view keyword = text.substr(0, open);
      keyword.remove_suffix(keyword.size() -
                            keyword.find_last_not_of(" \t\r\n") - 1);
      text.remove_prefix(open + 1);
      std::string field;
      for (char c : consumeField(text))
        if (!std::isspace(static_cast<unsigned char>(c)))
          field.push_back(c);
      if (keyword.ends_with("TDI"))
        command.tdi = field;
      else if (keyword.ends_with("TDO"))
        command.tdo = field;
    }
    commands.push_back(command);
  }
  return commands;
}

TEST(SdrHandler, SplitsEveryLongCommandOfTheCorpusExactly) {
  const auto corpus = testing::corpusFiles();
  if (!corpus)
    GTEST_SKIP() << "no corpus at " << testing::corpusFolder();
  int checked = 0;
  for (const std::filesystem::path &path : *corpus) {
    SCOPED_TRACE(path.filename().string());
    Expected<InputFile> file = InputFile::open(path.string());
    ASSERT_TRUE(file);
    StringSink original;
    OutputStream copy(original);
    InputStream reader(*file);
    for (int c; (c = reader.readByte()) != kEndMarker;)
      copy.writeByte(static_cast<char>(c));
    ASSERT_FALSE(copy.flush());

    std::vector<NamedFields> commands = longSdrCommands(original.bytes());
    std::vector<SegmentRun> runs =
        segmentRuns(testing::convert(original.bytes()));
    ASSERT_EQ(runs.size(), commands.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
      std::size_t digits = static_cast<std::size_t>((commands[i].bits + 3) / 4);
      EXPECT_EQ(runs[i].bits, commands[i].bits) << "command " << i;
      EXPECT_EQ(runs[i].tdi, rightmost(commands[i].tdi, digits))
          << "command " << i;
      if (!commands[i].tdo.empty()) {
        EXPECT_EQ(runs[i].tdo, rightmost(commands[i].tdo, digits))
            << "command " << i;
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 0);
}

} // namespace
} // namespace svfseg
