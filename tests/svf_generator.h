// A seeded generator of whole SVF files for property tests: comments anywhere
// between commands and after them, blank and short lines, LF, CRLF and mixed
// line ends, long and short SDR commands with every field layout, RUNTEST
// forms, a command on the first line, a last line without a line end,
// comments inside and between the fields of long SDR commands, and lines that
// merely begin with RUN or SDR. Every command is well formed and
// closed by its ';', and every SDR command starts at column 0 in upper case.
// Each file comes with the output the converter is to write for it and with
// the long SDR commands it holds.
#pragma once

#include "segments.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace svfseg::testing {

// A long SDR command as the converter is to carry it: its length and the
// fields it takes by position (empty when not carried), before they are cut or
// padded to the length.
struct LongSdr {
  std::uint64_t bits = 0;
  std::string tdi, tdo, mask;
};

struct GeneratedSvf {
  std::string text;
  std::string expected;
  std::vector<LongSdr> longSdrs;
};

class SvfGenerator {
public:
  struct Options {
    // Lines such as "RUNNER 5 LAPS AROUND;", which the RUN handler cuts too.
    bool linesMerelyBeginningWithRun = true;
  };

  SvfGenerator(unsigned seed, Options options)
      : random_(seed), options_(options) {}

  GeneratedSvf file() {
    file_ = {};
    mixedLineEnds_ = chance(4);
    fileLineEnd_ = chance(2) ? "\r\n" : "\n";
    int items = 1 + static_cast<int>(below(40));
    if (chance(4))
      command(); // a command on the first line
    for (int i = 0; i < items; ++i)
      item();
    if (chance(3))
      dropFinalLineEnd();
    return file_;
  }

private:
  std::size_t below(std::size_t bound) { return random_() % bound; }
  bool chance(std::size_t oneIn) { return below(oneIn) == 0; }
  template <typename T, std::size_t N> const T &pick(const T (&choices)[N]) {
    return choices[below(N)];
  }

  std::string lineEnd() {
    if (mixedLineEnds_)
      return chance(2) ? "\r\n" : "\n";
    return fileLineEnd_;
  }

  // Appends text that the converter copies as it stands, but for its '!'.
  void copied(const std::string &text) {
    file_.text += text;
    for (char c : text)
      file_.expected += c == '!' ? std::string("//") : std::string(1, c);
  }
  void rewritten(const std::string &text, const std::string &expected) {
    file_.text += text;
    file_.expected += expected;
  }

  void dropFinalLineEnd() {
    for (std::string *text : {&file_.text, &file_.expected})
      while (!text->empty() && (text->back() == '\n' || text->back() == '\r'))
        text->pop_back();
  }

  void item() {
    switch (below(6)) {
    case 0:
      comment();
      break;
    case 1:
      shortLine();
      break;
    default:
      command();
    }
  }

  void command() {
    switch (below(8)) {
    case 0:
      copied(pick({"SIR 8 TDI (01);", "STATE IDLE;", "ENDDR IDLE;", "HDR 0;",
                   "FREQUENCY 1.00E+06 HZ;", "TRST OFF;"}));
      break;
    case 1:
      shortSdr();
      break;
    case 2:
    case 3:
    case 4:
      longSdr();
      break;
    case 5:
    case 6:
      runtest();
      break;
    default:
      lineMerelyBeginningWithRunOrSdr();
    }
    if (chance(4))
      copied(" " + commentText());
    copied(lineEnd());
  }

  std::string commentText() {
    static const char *const words[] = {"!",
                                        "SDR",
                                        "RUN",
                                        "RUNTEST",
                                        "TDI",
                                        "(",
                                        ")",
                                        ";",
                                        "MASK",
                                        "note",
                                        "!!",
                                        "T",
                                        "M",
                                        "300",
                                        "\t",
                                        "//",
                                        "SDR 300 TDI (1);"};
    std::string text = "!";
    for (std::size_t i = below(6); i > 0; --i)
      text += std::string(" ") + pick(words);
    return text;
  }

  void comment() {
    switch (below(3)) {
    case 0:
      copied(commentText());
      break;
    case 1:
      copied("// " + commentText().substr(1));
      break;
    default:
      copied("\t" + commentText());
    }
    copied(lineEnd());
  }

  void shortLine() {
    copied(pick({"", "", "X", "R", "RU", "S", "SD", "/", "/x", "A!B",
                 " SDR 8 TDI (00);", "sdr 8 tdi (00);", " RUNTEST 5 TCK;",
                 "runtest 5 tck;"}));
    copied(lineEnd());
  }

  std::string hex(std::size_t count) {
    std::string digits = hexDigits(count, static_cast<unsigned>(random_()));
    if (chance(5))
      for (char &c : digits)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return digits;
  }

  // A comment that ends its line, as it may stand inside a command.
  std::string lineComment() {
    std::string text = commentText();
    return (chance(2) ? text : "//" + text.substr(1)) + lineEnd();
  }

  // A field's digits laid out as written: on one line, over indented lines
  // (with comments after some), or with blanks between groups of digits.
  std::string layout(const std::string &digits) {
    switch (below(5)) {
    case 0:
      return wrapped(digits, 1 + below(80), lineEnd(),
                     pick({"", "\t", "\t\t", "    ", "\t\t\t "}));
    case 1:
      return wrapped(digits, 1 + below(80), " " + lineComment(),
                     pick({"", "\t", "\t\t"}));
    case 2:
      return wrapped(digits, 1 + below(16), " ", "");
    default:
      return digits;
    }
  }

  // A field for a command of `bits` bits: mostly of the exact length, else
  // short (padded with '0') or with extra leading digits (dropped).
  std::string fieldFor(std::uint64_t bits) {
    std::size_t digits = static_cast<std::size_t>((bits + 3) / 4);
    switch (below(5)) {
    case 0:
      return hex(1 + below(digits));
    case 1:
      return hex(digits + 1 + below(4));
    default:
      return hex(digits);
    }
  }

  std::string separator() {
    std::string text = pick({" ", " ", "\t", "  "});
    if (chance(8))
      text += lineComment() + pick({"", "\t"});
    else if (chance(4))
      text += lineEnd() + pick({"\t", "    ", " "});
    return text;
  }

  std::string group(const char *keyword, const std::string &digits) {
    return separator() + keyword + " (" + layout(digits) + ")";
  }

  std::string sdrHead(std::uint64_t bits) {
    return std::string("SDR") + pick({" ", "\t", "  ", " \t"}) +
           (chance(8) ? "000" : "") + std::to_string(bits);
  }

  void shortSdr() {
    std::uint64_t bits = 1 + below(256);
    std::string text = sdrHead(bits) + group("TDI", fieldFor(bits));
    if (chance(2))
      text += group("TDO", fieldFor(bits));
    if (chance(2))
      text += group("MASK", fieldFor(bits));
    copied(text + ";");
  }

  // A long SDR in one of the field layouts, with the fields the converter
  // takes from it by position.
  void longSdr() {
    std::uint64_t bits = 257 + below(chance(10) ? 40000 : 3000);
    std::string a = fieldFor(bits), b = fieldFor(bits), c = fieldFor(bits),
                d = fieldFor(bits);
    LongSdr carried{bits, a, "", ""};
    std::string fields;
    switch (below(9)) {
    case 0: // TDI
      fields = group("TDI", a);
      break;
    case 1: // TDI TDO
      fields = group("TDI", a) + group("TDO", b);
      carried.tdo = b;
      break;
    case 2: // TDI TDO MASK
      fields = group("TDI", a) + group("TDO", b) + group("MASK", c);
      carried.tdo = b;
      carried.mask = c;
      break;
    case 3: // MASK without TDO is not carried
      fields = group("TDI", a) + group("MASK", c);
      break;
    case 4: // SMASK after TDO is carried as the mask
      fields = group("TDI", a) + group("TDO", b) + group("SMASK", d);
      carried.tdo = b;
      carried.mask = d;
      break;
    case 5: // SMASK between TDI and TDO is passed over
      fields = group("TDI", a) + group("SMASK", d) + group("TDO", b) +
               group("MASK", c);
      carried.tdo = b;
      carried.mask = c;
      break;
    case 6: // SMASK after MASK is passed over
      fields = group("TDI", a) + group("TDO", b) + group("MASK", c) +
               group("SMASK", d);
      carried.tdo = b;
      carried.mask = c;
      break;
    case 7: // the first group is TDI whatever its keyword
      fields = group("TDO", a) + group("TDI", b);
      carried.tdo = b;
      break;
    default: // TDI SMASK
      fields = group("TDI", a) + group("SMASK", d);
    }
    std::string close = pick({";", ";", " ;", "\t;"});
    rewritten(sdrHead(bits) + fields + close,
              segmentsOf(bits, carried.tdi,
                         carried.tdo.empty() ? std::nullopt
                                             : std::optional(carried.tdo),
                         carried.mask.empty() ? std::nullopt
                                              : std::optional(carried.mask)));
    file_.longSdrs.push_back(carried);
  }

  std::string count() { return std::to_string(1 + below(100000)); }
  std::string time() {
    return pick(
        {"1.00E-02", "5.00E-002", "1.0E-3", "0.001", "50021E-6", "2", "1E0"});
  }

  void runtest() {
    std::string n = count(), t = time(), end = lineEnd();
    switch (below(10)) {
    case 0:
      return rewritten("RUNTEST " + n + " TCK;", "RUNTEST " + n + " TCK ;");
    case 1:
      return rewritten("RUNTEST IDLE " + n + " TCK ENDSTATE IDLE;",
                       "RUNTEST " + n + " TCK ;");
    case 2:
      return rewritten("RUNTEST " + t + " SEC;", "RUNTEST " + t + " SEC ;");
    case 3:
      return rewritten("RUNTEST " + t + " SEC MAXIMUM " + time() +
                           " SEC ENDSTATE IDLE;",
                       "RUNTEST " + t + " SEC ;");
    case 4:
      return rewritten("RUNTEST IDLE " + n + " TCK " + t + " SEC;",
                       "RUNTEST " + n + " TCK ;\r\nRUNTEST " + t + " SEC ;");
    case 5:
      return rewritten("RUNTEST " + n + end + "TCK;",
                       "RUNTEST " + n + " TCK ;");
    case 6:
      return rewritten("RUNTEST " + n + " TCK" + end + "\tMAXIMUM " + t +
                           " SEC" + end + "\tENDSTATE IDLE;",
                       "RUNTEST " + n + " TCK ;");
    case 7:
      return rewritten("RUNTEST\tIDLE\t" + n + " TCK;",
                       "RUNTEST\t" + n + " TCK ;");
    case 8:
      return rewritten("RUNTEST " + n + ";", "RUNTEST " + n + " ;");
    default:
      return rewritten("RUNTEST DRPAUSE " + n + " SCK ;",
                       "RUNTEST " + n + " SCK ;");
    }
  }

  void lineMerelyBeginningWithRunOrSdr() {
    if (options_.linesMerelyBeginningWithRun && chance(2)) {
      std::string n = count();
      if (chance(2))
        rewritten("RUNNER " + n + " LAPS AROUND;", "RUNNER " + n + " LAPS ;");
      else
        copied("RUNX;");
      return;
    }
    copied(pick({"SDRS 300 TDI (1);", "SDRX;", "SDR;", "SDR TDI (1);"}));
  }

  std::mt19937 random_;
  Options options_;
  GeneratedSvf file_;
  bool mixedLineEnds_ = false;
  std::string fileLineEnd_;
};

} // namespace svfseg::testing
