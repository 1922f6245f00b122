#include "test_support.h"

namespace svfseg {
namespace {

using testing::ConversionCase;

TEST(Scanner, CopiesEveryByteAndConvertsEveryCommentMark) {
  const ConversionCase cases[] = {
      {"empty input", "", ""},
      {"LF file copied as it stands", "SIR 8 TDI (01);\nSTATE IDLE;\n",
       "SIR 8 TDI (01);\nSTATE IDLE;\n"},
      {"CRLF file copied as it stands", "SIR 8 TDI (01);\r\nSTATE IDLE;\r\n",
       "SIR 8 TDI (01);\r\nSTATE IDLE;\r\n"},
      {"no final line end", "STATE IDLE;\nSTATE RESET;",
       "STATE IDLE;\nSTATE RESET;"},
      {"comment at column 0", "! header\nSTATE IDLE;\n",
       "// header\nSTATE IDLE;\n"},
      {"comment on the first line", "!x", "//x"},
      {"marks after a command", "SIR 8 TDI (01); ! note!\n",
       "SIR 8 TDI (01); // note//\n"},
      {"mark in the second column", "A!B\n", "A//B\n"},
      {"mark in the third column", "AB!\n", "AB//\n"},
      {"mark after a partial RUN head", "R!x\nRU!\n", "R//x\nRU//\n"},
      {"mark after a partial SDR head", "S!\nSD!\n", "S//\nSD//\n"},
      {"marks inside a comment", "!a!b!\n", "//a//b//\n"},
      {"double-slash comment kept", "// text\n", "// text\n"},
      {"line starting with a slash kept", "/x\n", "/x\n"},
      {"slash line keeps its line feed", "/\nSTATE IDLE;\n",
       "/\nSTATE IDLE;\n"},
      {"slash line keeps its carriage return", "/\r\nSTATE IDLE;\r\n",
       "/\r\nSTATE IDLE;\r\n"},
      {"final line shorter than three bytes", "STATE IDLE;\nAB",
       "STATE IDLE;\nAB"},
      {"final line of one byte", "STATE IDLE;\nX", "STATE IDLE;\nX"},
      {"final partial head", "STATE IDLE;\nSD", "STATE IDLE;\nSD"},
      {"partial head ended by a line feed", "RU\nS\nSD\n", "RU\nS\nSD\n"},
      {"empty lines", "\n\n\r\n\n", "\n\n\r\n\n"},
      {"lower case and indented commands are text",
       "sdr 300 TDI (1);\n SDR 300 TDI (1);\n",
       "sdr 300 TDI (1);\n SDR 300 TDI (1);\n"},
      {"zero bytes and bytes above 127", std::string("A\0B\x80\xff\n\xfe", 7),
       std::string("A\0B\x80\xff\n\xfe", 7)},
  };
  testing::expectConversions(cases);
}

TEST(Scanner, StopsWhenTheOutputFails) {
  class FailingSink final : public ByteSink {
  public:
    Error write(std::string_view) override {
      ++writes;
      return Error("out.gvf", "No space left on device");
    }
    int writes = 0;
  };
  std::string input(1 << 20, 'x');
  MemorySource source(input);
  FailingSink sink;
  InputStream in(source, 16);
  OutputStream out(sink, 16);
  scan(in, out);
  Error error = out.flush();
  EXPECT_EQ(error.reason(), "No space left on device");
  EXPECT_EQ(sink.writes, 1);
  EXPECT_LT(in.tell(), 64)
      << "the scanner went on reading after the output had failed";
}

} // namespace
} // namespace svfseg
