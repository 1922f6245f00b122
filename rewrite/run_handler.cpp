// The RUN handler: a RUNTEST command is written as its command word, its count
// and its unit, closed by " ;". A state name before the count and every clause
// after the unit are dropped, except a minimum time after a clock count, which
// is kept as a second command of its own. Values are carried whole; the parts
// kept are noted as input offsets and copied from the input when written, so a
// value of any length is safe.
#include "rewrite/command.h"

#include <algorithm>
#include <optional>

namespace svfseg {
namespace {

constexpr std::string_view kRunHead = "RUN";

bool isUpperCaseLetter(int c) { return c >= 'A' && c <= 'Z'; }

// A stretch of the input, from `begin` up to `end`.
struct Range {
  Offset begin = 0;
  Offset end = 0;
  bool empty() const { return begin == end; }
};

struct RunCommand {
  Range word; // the command word after its head: TEST, normally
  char wordSeparator = ' ';
  Range count;
  char unitSeparator = ' ';
  Range unit; // empty when the count is directly followed by the ';'
  std::optional<Range> minimumTime;
  Offset semicolon = 0;
};

// The separator to write for `c`: a blank or a tab as read, a blank for
// anything else (a line end, say).
char separatorFor(int c) { return c == '\t' ? '\t' : ' '; }

template <bool (*Test)(int), typename Reader> void skipWhile(Reader &input) {
  while (Test(input.peekByte()))
    input.skip(1);
}

// A '!' ends a word too: it starts a comment, which is dropped with the
// clauses, so that no '!' is ever written.
bool isWordByte(int c) {
  return c >= 0 && c != ';' && c != '!' && !isWhitespace(c);
}

// Reads a word: bytes up to a blank, a line end, a ';', a '!' or the end.
template <typename Reader> Range readWord(Reader &input) {
  Range word{input.tell(), 0};
  skipWhile<isWordByte>(input);
  word.end = input.tell();
  return word;
}

template <typename Reader> bool skipDigits(Reader &input) {
  bool any = isDigit(input.peekByte());
  skipWhile<isDigit>(input);
  return any;
}

// Reads a number: digits with an optional decimal fraction and an optional
// exponent ("100", "1.00E-02", "50021E-6"). Returns an empty range when there
// are no digits.
template <typename Reader> Range readNumber(Reader &input) {
  Range number{input.tell(), 0};
  bool digits = skipDigits(input);
  if (input.peekByte() == '.') {
    input.skip(1);
    digits = skipDigits(input) || digits;
  }
  if (!digits) {
    input.seek(number.begin);
    return {number.begin, number.begin};
  }
  number.end = input.tell();
  int c = input.peekByte();
  if (c == 'E' || c == 'e') {
    input.skip(1);
    c = input.peekByte();
    if (c == '+' || c == '-')
      input.skip(1);
    if (skipDigits(input))
      number.end = input.tell();
    else
      input.seek(number.end); // an 'E' that starts no exponent
  }
  return number;
}

bool rangeIs(InputStream &input, Range range, std::string_view text) {
  if (range.end - range.begin != static_cast<Offset>(text.size()))
    return false;
  char bytes[8];
  return input.readAt(range.begin, {bytes, text.size()}) == text.size() &&
         std::string_view(bytes, text.size()) == text;
}

bool rangeIs(const WindowReader &input, Range range, std::string_view text) {
  return input.text(range.begin, range.end) == text;
}

// Moves past the first byte in view that is one of `targets` and returns it;
// returns kOutOfView, with the reader ranOut(), when there is none.
int skipPastFirstOf(WindowReader &input, std::string_view targets) {
  std::string_view rest = input.rest();
  std::size_t at = rest.find_first_of(targets);
  if (at == std::string_view::npos) {
    input.skip(rest.size());
    return input.peekByte();
  }
  input.skip(at + 1);
  return static_cast<unsigned char>(rest[at]);
}

// After a clock count and its unit, a minimum time in seconds: "1.00E-02 SEC".
template <typename Reader> std::optional<Range> readMinimumTime(Reader &input) {
  skipWhile<isWhitespace>(input);
  Range time = readNumber(input);
  if (time.empty() || !isWhitespace(input.peekByte()))
    return std::nullopt;
  skipWhile<isWhitespace>(input);
  if (!rangeIs(input, readWord(input), "SEC"))
    return std::nullopt;
  return time;
}

// Reads a RUN command from just after its head up to and including its ';'.
template <typename Reader>
CommandRead parseRunCommand(Reader &input, RunCommand &command) {
  command.word = readWord(input);
  int c = input.peekByte();
  if (!isWhitespace(c))
    return failureAt(c);
  command.wordSeparator = separatorFor(c);
  skipWhile<isWhitespace>(input);
  if (isUpperCaseLetter(input.peekByte())) { // a state name: IDLE, DRPAUSE
    skipWhile<isUpperCaseLetter>(input);
    skipWhile<isWhitespace>(input);
  }
  command.count = readNumber(input);
  if (command.count.empty())
    return failureAt(input.peekByte());

  c = input.peekByte();
  command.unitSeparator = separatorFor(c);
  skipWhile<isWhitespace>(input);
  command.unit = readWord(input);
  if (rangeIs(input, command.unit, "TCK") ||
      rangeIs(input, command.unit, "SCK"))
    command.minimumTime = readMinimumTime(input);

  c = skipPastFirstOf(input, ";");
  if (c != ';')
    return failureAt(c);
  command.semicolon = input.tell() - 1;
  return CommandRead::kComplete;
}

// Writes `command` to `out`, taking the stretches of the input it keeps from
// `copy`.
template <typename Writer, typename Copy>
void writeRunCommand(const RunCommand &command, Writer &out, Copy copy) {
  out.write(kRunHead);
  copy(command.word);
  out.writeByte(command.wordSeparator);
  copy(command.count);
  if (!command.unit.empty()) {
    out.writeByte(command.unitSeparator);
    copy(command.unit);
  }
  out.write(" ;");
  if (command.minimumTime) {
    // The minimum time becomes a command of its own, on a line of its own.
    out.write("\r\n");
    out.write(kRunHead);
    copy(command.word);
    out.writeByte(command.wordSeparator);
    copy(*command.minimumTime);
    out.write(" SEC ;");
  }
}

// Collects in a string what would be written to the output stream.
struct StringWriter {
  std::string &text;
  void write(std::string_view bytes) { text.append(bytes); }
  void writeByte(char byte) { text.push_back(byte); }
};

// The command in view from just after its head up to and including its first
// ';', or nothing when that is not in view or too long to remember.
std::string_view rememberableCommand(std::string_view window) {
  window = window.substr(0, kLongestRememberedRun);
  std::size_t semicolon = window.find(';');
  return semicolon == std::string_view::npos ? std::string_view()
                                             : window.substr(0, semicolon + 1);
}

// Writes the command read in view as `read`, and remembers it.
void writeAndRemember(CommandContext &context, const RunCommand &command,
                      const WindowReader &reader, std::string_view read) {
  RememberedRun &slot = context.runs[context.nextRun];
  context.nextRun = (context.nextRun + 1) % context.runs.size();
  slot.read.assign(read);
  slot.written.clear();
  StringWriter writer{slot.written};
  writeRunCommand(command, writer, [&](Range range) {
    writer.write(reader.text(range.begin, range.end));
  });
  context.output.write(slot.written);
}

} // namespace

void handleRunCommand(CommandContext &context) {
  InputStream &input = context.input;
  const Offset afterHead = input.tell();
  if (afterHead >= context.noSemicolonFrom)
    return leaveCommandUnchanged(context, kRunHead, afterHead);

  // A command written just as one of the last few is written as that was.
  std::string_view window = input.window();
  std::string_view read = rememberableCommand(window);
  if (!read.empty()) {
    for (const RememberedRun &run : context.runs) {
      if (run.read == read) {
        context.output.write(run.written);
        input.skip(read.size());
        return;
      }
    }
  }

  RunCommand command;
  WindowReader reader(window, afterHead);
  CommandRead parsed = parseRunCommand(reader, command);
  const bool inView = !reader.ranOut();
  if (!inView) {
    command = {};
    parsed = parseRunCommand(input, command);
  }
  if (parsed != CommandRead::kComplete)
    return leaveUnreadCommand(context, kRunHead, afterHead, parsed);
  if (inView && !read.empty()) {
    writeAndRemember(context, command, reader, read);
  } else {
    writeRunCommand(command, context.output, [&](Range range) {
      copyInputRange(input, range.begin, range.end, context.output);
    });
  }
  input.seek(command.semicolon + 1);
}

} // namespace svfseg
