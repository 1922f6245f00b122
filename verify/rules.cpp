#include "verify/rules.h"

#include "verify/decimal.h"
#include "verify/scan.h"

#include <array>
#include <cstring>
#include <string_view>

namespace svfseg::verify {
namespace {

// What the rules tell bytes apart by, looked up rather than compared: the
// RUN and SDR lines are a good part of a file.
enum ByteClass : std::uint8_t {
  kLayoutByte = 1, // blank, tab, CR, LF
  kWordEnd = 2,    // layout, ';', '!', '/' (where "//" may start)
  kUpperLetter = 4,
};
constexpr std::array<std::uint8_t, 256> kClasses = [] {
  std::array<std::uint8_t, 256> classes{};
  for (unsigned char c : {' ', '\t', '\r', '\n'})
    classes[c] = kLayoutByte | kWordEnd;
  for (unsigned char c : {';', '!', '/'})
    classes[c] = kWordEnd;
  for (int c = 'A'; c <= 'Z'; ++c)
    classes[static_cast<unsigned char>(c)] = kUpperLetter;
  return classes;
}();
bool is(int c, ByteClass byteClass) {
  return c != kEnd && (kClasses[static_cast<unsigned char>(c)] & byteClass);
}

bool isBlank(int c) { return c == ' ' || c == '\t'; }
bool isLayout(int c) { return is(c, kLayoutByte); }
bool isDigit(int c) { return c >= '0' && c <= '9'; }
bool isWordByte(int c) {
  return isDigit(c) || c == '_' || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

void pass(ForwardReader &r) { r.setNext(r.next() + 1); }

// Passes a word: the bytes up to a blank, tab, CR, LF, ';', '!', "//" or the
// end. Keeps its first four bytes in `head` (for TCK, SCK and SEC), and its
// length. The head is packed into a word by shifts: stored a byte at a time
// and read back whole, it stalled the processor on every word.
struct Word {
  std::uint32_t head = 0;
  std::uint64_t length = 0;
  static constexpr std::uint32_t packed(std::string_view text) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < text.size() && i < 4; ++i)
      value |= std::uint32_t{static_cast<unsigned char>(text[i])} << (8 * i);
    return value;
  }
  bool is(std::string_view text) const {
    return length == text.size() && head == packed(text);
  }
};
Word passWordKeepingHead(ForwardReader &r) {
  // Counted in locals: counted in the Word returned, the length went to
  // memory and back on every byte.
  std::uint32_t head = 0;
  std::uint64_t length = 0;
  auto keep = [&](char c) {
    if (length < 4)
      head |= std::uint32_t{static_cast<unsigned char>(c)} << (8 * length);
    ++length;
  };
  for (;;) {
    const char *p = r.next();
    const char *end = r.end();
    while (p != end && !is(static_cast<unsigned char>(*p), kWordEnd))
      keep(*p++);
    r.setNext(p);
    if (p != end && *p != '/')
      break;
    int c = r.peek(); // at the end of the window, or at a '/'
    if (c == kEnd || isLayout(c) || c == ';' || c == '!' ||
        (c == '/' && atComment(r)))
      break;
    keep(static_cast<char>(c));
    pass(r);
  }
  Word word;
  word.head = head;
  word.length = length;
  return word;
}

// Passes blanks, tabs and line ends. False where it enters a command line.
bool passLayout(ForwardReader &r) {
  for (;;) {
    const char *p = r.next();
    const char *end = r.end();
    while (p != end && *p != '\n' && isLayout(static_cast<unsigned char>(*p)))
      ++p;
    r.setNext(p);
    int c = r.peek(); // refills at the end of the window
    if (c == '\n') {
      pass(r);
      if (passToCommandWord(r))
        return false;
    } else if (!isLayout(c)) {
      return true;
    }
  }
}

// Passes everything up to the first ';' outside comments, leaving `r` at it.
// Stops with kCommandLineFirst or kInputEnds where one of those comes first.
Leave passToSemicolon(ForwardReader &r) {
  for (;;) {
    const char *p = r.next();
    const char *stop = findAny(p, r.end(), ';', '\n', '!', '/');
    r.setNext(stop);
    if (stop == r.end()) {
      if (!r.fill())
        return Leave::kInputEnds;
      continue;
    }
    switch (*stop) {
    case ';':
      return Leave::kNone;
    case '\n':
      pass(r);
      if (passToCommandWord(r))
        return Leave::kCommandLineFirst;
      break;
    default:
      if (atComment(r))
        passComment(r);
      else
        pass(r);
    }
  }
}

// Reads a carried field from just after its '(' through its ')': digits,
// blanks, tabs, line ends and comments only.
Leave readCarriedField(ForwardReader &r, LongSdr &sdr, FieldName name) {
  LongSdr::Field &field = sdr.fields[static_cast<int>(name)];
  field.carried = true;
  field.begin = r.tell();
  for (;;) {
    const char *stop = passFieldText(r.next(), r.end(), field.digits);
    r.setNext(stop);
    if (stop == r.end()) {
      if (!r.fill())
        return Leave::kInputEnds;
      continue;
    }
    switch (*stop) {
    case ')':
      pass(r);
      return Leave::kNone;
    case '\n':
      pass(r);
      if (passToCommandWordQuickly(r))
        return Leave::kCommandLineFirst;
      continue;
    case ';':
      return Leave::kSemicolonInGroup;
    case '(':
      return Leave::kOpenInGroup;
    default: {
      // Read before atComment(), which may move the window.
      const char byte = *stop;
      if (atComment(r)) {
        passComment(r);
        continue;
      }
      sdr.byte = byte;
      sdr.field = name;
      return Leave::kNotHexadecimal;
    }
    }
  }
}

// Reads a group the segments do not carry, from just after its '(' through
// its ')': anything but ';' and '('.
Leave passGroup(ForwardReader &r) {
  for (;;) {
    int c = r.peek();
    switch (c) {
    case kEnd:
      return Leave::kInputEnds;
    case ')':
      pass(r);
      return Leave::kNone;
    case ';':
      return Leave::kSemicolonInGroup;
    case '(':
      return Leave::kOpenInGroup;
    case '\n':
      pass(r);
      if (passToCommandWord(r))
        return Leave::kCommandLineFirst;
      break;
    default:
      if (atComment(r))
        passComment(r);
      else
        pass(r);
    }
  }
}

constexpr std::string_view kCommandWords[] = {
    "ENDDR",   "ENDIR", "FREQUENCY", "HDR",   "HIR", "PIO", "PIOMAP",
    "RUNTEST", "SDR",   "SIR",       "STATE", "TDR", "TIR", "TRST"};

bool sameLetters(const char *text, std::string_view upper) {
  for (std::size_t i = 0; i < upper.size(); ++i)
    if ((text[i] & ~0x20) != upper[i])
      return false;
  return true;
}

} // namespace

bool atComment(ForwardReader &r) {
  int c = r.peek();
  if (c == '!')
    return true;
  return c == '/' && r.ensure(2) >= 2 && r.next()[1] == '/';
}

void passComment(ForwardReader &r) {
  for (;;) {
    const char *p = r.next();
    const char *lineFeed = static_cast<const char *>(
        std::memchr(p, '\n', static_cast<std::size_t>(r.end() - p)));
    if (lineFeed) {
      r.setNext(lineFeed);
      return;
    }
    r.setNext(r.end());
    if (!r.fill())
      return;
  }
}

bool passNumber(ForwardReader &r) {
  std::uint64_t digits = 0;
  const Offset begin = r.tell();
  while (isDigit(r.peek())) {
    pass(r);
    ++digits;
  }
  if (r.peek() == '.') {
    pass(r);
    while (isDigit(r.peek())) {
      pass(r);
      ++digits;
    }
  }
  if (digits == 0) {
    r.seek(begin); // at most the '.'
    return false;
  }
  int c = r.peek();
  if (c == 'E' || c == 'e') {
    std::size_t held = r.ensure(3);
    const char *p = r.next();
    std::size_t digit = held >= 2 && (p[1] == '+' || p[1] == '-') ? 2 : 1;
    if (held > digit && isDigit(static_cast<unsigned char>(p[digit]))) {
      r.setNext(p + digit);
      while (isDigit(r.peek()))
        pass(r);
    }
  }
  return true;
}

std::uint64_t passWord(ForwardReader &r) {
  return passWordKeepingHead(r).length;
}

bool passToCommandWord(ForwardReader &r) {
  while (isBlank(r.peek()))
    pass(r);
  constexpr std::size_t kLongest = 9; // FREQUENCY
  std::size_t held = r.ensure(kLongest + 1);
  if (held == 0 || !startsCommandWord(*r.next()))
    return false;
  const char *p = r.next();
  for (std::string_view word : kCommandWords) {
    if (held < word.size() || !sameLetters(p, word))
      continue;
    // Fewer bytes than asked for only where the input ends.
    if (held == word.size() ||
        !isWordByte(static_cast<unsigned char>(p[word.size()])))
      return true;
  }
  return false;
}

SdrLength readSdrLength(ForwardReader &r) {
  SdrLength length;
  r.ensure(3);
  r.setNext(r.next() + 3); // "SDR"
  if (!isBlank(r.peek()))
    return length;
  while (isBlank(r.peek()))
    pass(r);
  if (!isDigit(r.peek()))
    return length;
  while (r.peek() == '0')
    pass(r);
  std::uint64_t bits = 0;
  int significant = 0;
  for (int c = r.peek(); isDigit(c); pass(r), c = r.peek()) {
    if (++significant <= 10)
      bits = bits * 10 + static_cast<std::uint64_t>(c - '0');
  }
  length.bits = bits;
  length.kind = significant > 10 || bits > 4294967295u ? SdrLength::kPastLimit
                                                       : SdrLength::kLength;
  return length;
}

LongSdr readLongSdr(ForwardReader &r) {
  LongSdr sdr;
  // Which carried field the next group may be, and whether a word since the
  // last group makes it that field (one holding 'T' for TDO, 'M' for MASK).
  enum class Seeking { kTdi, kTdo, kMask, kNothing } seeking = Seeking::kTdi;
  bool marked = false;
  auto stop = [&](Leave leave) {
    sdr.leave = leave;
    sdr.stoppedAt = r.tell();
    return sdr;
  };
  for (;;) {
    int c = r.peek();
    switch (c) {
    case kEnd:
      return stop(Leave::kInputEnds);
    case ' ':
    case '\t':
    case '\r':
      pass(r);
      continue;
    case '\n':
      pass(r);
      if (passToCommandWord(r))
        return stop(Leave::kCommandLineFirst);
      continue;
    case ')':
      return stop(Leave::kCloseOutsideGroup);
    case ';':
      if (seeking == Seeking::kTdi ||
          (marked && (seeking == Seeking::kTdo || seeking == Seeking::kMask)))
        return stop(Leave::kNoGroup);
      return stop(Leave::kNone);
    case '(': {
      pass(r);
      Leave leave = Leave::kNone;
      if (seeking == Seeking::kTdi) {
        leave = readCarriedField(r, sdr, FieldName::kTdi);
        seeking = Seeking::kTdo;
      } else if (seeking == Seeking::kTdo && marked) {
        leave = readCarriedField(r, sdr, FieldName::kTdo);
        seeking = Seeking::kMask;
      } else if (seeking == Seeking::kMask && marked) {
        leave = readCarriedField(r, sdr, FieldName::kMask);
        seeking = Seeking::kNothing;
      } else {
        leave = passGroup(r);
      }
      marked = false;
      if (leave != Leave::kNone)
        return stop(leave);
      continue;
    }
    default:
      if (atComment(r)) {
        passComment(r);
        continue;
      }
      if ((seeking == Seeking::kTdo && c == 'T') ||
          (seeking == Seeking::kMask && c == 'M'))
        marked = true;
      pass(r);
    }
  }
}

RunCommand readRun(ForwardReader &r, SemicolonSearch &last) {
  RunCommand run;
  auto stop = [&](Leave leave) {
    run.leave = leave;
    run.stoppedAt = r.tell();
    return run;
  };
  const Offset lineStart = r.tell();
  r.ensure(3);
  r.setNext(r.next() + 3); // "RUN"
  run.wordBegin = r.tell();
  passWord(r);
  run.wordEnd = r.tell();
  int c = r.peek();
  if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
    return stop(Leave::kWordNotEnded);
  run.afterWord = static_cast<char>(c);
  if (!passLayout(r))
    return stop(Leave::kCommandLineFirst);
  if (is(r.peek(), kUpperLetter)) {
    while (is(r.peek(), kUpperLetter))
      pass(r);
    if (!passLayout(r))
      return stop(Leave::kCommandLineFirst);
  }
  run.countBegin = r.tell();
  if (!passNumber(r))
    return stop(Leave::kNoCount);
  run.countEnd = r.tell();
  run.afterCount = static_cast<char>(r.peek());
  if (!passLayout(r))
    return stop(Leave::kCommandLineFirst);
  run.unitBegin = r.tell();
  Word unit = passWordKeepingHead(r);
  run.unitEnd = r.tell();
  if (unit.is("TCK") || unit.is("SCK")) {
    // An optional minimum time: a number followed by whitespace, then SEC.
    const Offset afterUnit = r.tell();
    if (!passLayout(r))
      return stop(Leave::kCommandLineFirst);
    const Offset timeBegin = r.tell();
    bool time = passNumber(r);
    const Offset timeEnd = r.tell();
    if (time && isLayout(r.peek())) {
      if (!passLayout(r))
        return stop(Leave::kCommandLineFirst);
      time = passWordKeepingHead(r).is("SEC");
    } else {
      time = false;
    }
    if (time) {
      run.hasMinimumTime = true;
      run.timeBegin = timeBegin;
      run.timeEnd = timeEnd;
    } else {
      r.seek(afterUnit);
    }
  }
  const Offset from = r.tell();
  if (last.from < 0 || last.from >= lineStart || from > last.found) {
    last.leave = passToSemicolon(r);
    last.from = from;
    last.found = r.tell();
  }
  run.leave = last.leave;
  run.stoppedAt = last.found;
  if (run.leave == Leave::kNone)
    run.semicolon = last.found;
  return run;
}

} // namespace svfseg::verify
