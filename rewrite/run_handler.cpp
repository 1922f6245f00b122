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
  Offset nextCommand = -1; // where a line starts another command before the ';'
};

// The separator to write for `c`: a blank or a tab as read, a blank for
// anything else (a line end, say).
char separatorFor(int c) { return c == '\t' ? '\t' : ' '; }

template <bool (*Test)(int), typename Reader> void skipWhile(Reader &input) {
  while (Test(input.peekByte()))
    input.skip(1);
}

// A comment mark ends a word too: the comment is dropped with the clauses,
// so that no '!' is ever written.
bool isRunWordByte(int c) {
  return c >= 0 && c != ';' && c != '!' && !isWhitespace(c);
}

// Reads a word: bytes up to a blank, a line end, a ';', a '!', a "//" or the
// end. A "//" is looked for past the reader's view only where a '/' ends the
// view, which then shows as ranOut().
template <typename Reader> Range readWord(Reader &input) {
  Range word{input.tell(), 0};
  for (int c = input.peekByte(); isRunWordByte(c); c = input.peekByte()) {
    input.skip(1);
    if (c == '/' && input.peekByte() == '/') {
      input.seek(input.tell() - 1);
      break;
    }
  }
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

// After a clock count and its unit, a minimum time in seconds: "1.00E-02 SEC".
// Where there is none, the reader is left where it was.
template <typename Reader> std::optional<Range> readMinimumTime(Reader &input) {
  const Offset start = input.tell();
  auto none = [&] {
    input.seek(start);
    return std::nullopt;
  };
  if (skipLayout(input) == kNextCommand)
    return none();
  Range time = readNumber(input);
  if (time.empty() || !isWhitespace(input.peekByte()))
    return none();
  if (skipLayout(input) == kNextCommand ||
      !rangeIs(input, readWord(input), "SEC"))
    return none();
  return time;
}

// The outcome of a read of `command` stopped by `c`; where that is a line that
// starts another command, the input stands at its start.
template <typename Reader>
CommandRead stoppedBy(Reader &input, RunCommand &command, int c) {
  if (c == kNextCommand)
    command.nextCommand = input.tell();
  return failureAt(c);
}

// Reads a RUN command from just after its head up to its unit, and a minimum
// time after a clock count. Layout between the parts may span lines, but
// never into a line that starts another command.
template <typename Reader>
CommandRead parseRunCommand(Reader &input, RunCommand &command) {
  command.word = readWord(input);
  int c = input.peekByte();
  if (!isWhitespace(c))
    return failureAt(c);
  command.wordSeparator = separatorFor(c);
  if (c = skipLayout(input); c == kNextCommand)
    return stoppedBy(input, command, c);
  if (isUpperCaseLetter(c)) { // a state name: IDLE, DRPAUSE
    skipWhile<isUpperCaseLetter>(input);
    if (c = skipLayout(input); c == kNextCommand)
      return stoppedBy(input, command, c);
  }
  command.count = readNumber(input);
  if (command.count.empty())
    return failureAt(input.peekByte());

  c = input.peekByte();
  command.unitSeparator = separatorFor(c);
  if (c = skipLayout(input); c == kNextCommand)
    return stoppedBy(input, command, c);
  command.unit = readWord(input);
  if (rangeIs(input, command.unit, "TCK") ||
      rangeIs(input, command.unit, "SCK"))
    command.minimumTime = readMinimumTime(input);
  return CommandRead::kComplete;
}

// Moves past the command's ';', passing over the clauses and comments before
// it. Returns ';', or where there is none before it: kEndMarker, kNextCommand
// (the input then at that line's start), or kOutOfView.
int skipToTerminator(WindowReader &input) {
  for (;;) {
    std::string_view rest = input.rest();
    std::size_t at = rest.find_first_of(";!/\n");
    if (at == std::string_view::npos) {
      input.skip(rest.size());
      return input.peekByte();
    }
    input.skip(at + 1);
    const char c = rest[at];
    if (c == ';')
      return ';';
    if (c == '\n' || (c == '/' && input.peekByte() != '/')) {
      if (c == '\n' && startsCommandWord(input))
        return kNextCommand;
      if (input.ranOut())
        return kOutOfView;
      continue;
    }
    // A comment, to its line end.
    std::string_view comment = input.rest();
    std::size_t end = comment.find('\n');
    if (end == std::string_view::npos) {
      input.skip(comment.size());
      return input.peekByte();
    }
    input.skip(end);
  }
}

int skipToTerminator(InputStream &input) {
  for (;;) {
    int c = skipPastFirstOf(input, ";!/\n");
    if (c == ';' || c == kEndMarker)
      return c;
    if (c == '\n') {
      if (startsCommandWord(input))
        return kNextCommand;
    } else if (startsComment(input, input.tell() - 1, c)) {
      skipComment(input);
    }
  }
}

// Where a search for a command's ';' ended: the byte found (as for
// skipToTerminator()) and the offset after it, or the start of the line that
// starts another command.
struct Terminator {
  int byte;
  Offset end;
};

Terminator findTerminatorInView(WindowReader &input) {
  int c = skipToTerminator(input);
  return {c, input.tell()};
}

// Searches the input stream, or takes the answer of the last search where
// that covers the input's position. The input is left where the answer is
// no later than the search's end.
Terminator findTerminatorInInput(CommandContext &context) {
  InputStream &input = context.input;
  RememberedSearch &last = context.terminatorSearch;
  const Offset from = input.tell();
  if (from < last.from || from >= last.at) {
    int found = skipToTerminator(input);
    last = {from, input.tell(), found};
  }
  return {last.byte, last.at};
}

// Finds the ';' that ends `command`, read up to its unit, with `find`.
template <typename Find>
CommandRead findTerminator(RunCommand &command, Find find) {
  Terminator found = find();
  if (found.byte == ';') {
    command.semicolon = found.end - 1;
    return CommandRead::kComplete;
  }
  if (found.byte == kNextCommand)
    command.nextCommand = found.end;
  return failureAt(found.byte);
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

// How far a RUN command is read in the input stream's window.
constexpr std::size_t kRunCommandInView = 512;

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

// A copy of the input bytes from `at` on, as far as a RUN command is read in
// view, read without moving the input stream.
class Copied {
public:
  Copied(InputStream &input, Offset at)
      : at_(at), size_(input.readAt(at, bytes_)) {}
  WindowReader reader() const { return WindowReader({bytes_, size_}, at_); }

private:
  char bytes_[kRunCommandInView];
  Offset at_;
  std::size_t size_;
};

bool isAnyPartEnd(int c) { return c == ';' || c == '!' || c == '/' || c < 0; }

// What a RUNTEST command read from just after its command word holds beyond
// a count and a unit, as RunTestParts. Read in any case, and to no further
// than its first ';', comment, or line that starts another command.
std::uint32_t runTestParts(WindowReader &input) {
  std::uint32_t parts = 0;
  int c = skipLayout(input);
  if (isLetter(c)) {
    parts |= kHasStateName;
    skipWhile<isLetter>(input);
    c = skipLayout(input);
  }
  if (c == kNextCommand || readNumber(input).empty()) {
    parts |= kHasNoCount;
    if (!isAnyPartEnd(input.peekByte()))
      parts |= kHasClause;
    return parts;
  }
  if (skipLayout(input) == kNextCommand)
    return parts;
  Range unit = readWord(input);
  std::string_view unitText = input.text(unit.begin, unit.end);
  if (sameWordIgnoringCase(unitText, "TCK") ||
      sameWordIgnoringCase(unitText, "SCK")) {
    const Offset afterUnit = input.tell();
    if (skipLayout(input) != kNextCommand && !readNumber(input).empty() &&
        skipLayout(input) != kNextCommand && [&] {
          Range seconds = readWord(input);
          return sameWordIgnoringCase(input.text(seconds.begin, seconds.end),
                                      "SEC");
        }())
      parts |= kHasMinimumTime;
    else
      input.seek(afterUnit);
  }
  if (!isAnyPartEnd(skipLayout(input)))
    parts |= kHasClause;
  return parts;
}

// Reports a RUNTEST command at `at` that the output carries unreduced, where
// it holds what the reduced form would drop.
void reportUnreduced(CommandContext &context, Offset at, std::uint32_t parts,
                     CommandPlace place) {
  if ((parts & (kHasStateName | kHasClause | kHasMinimumTime)) == 0)
    return;
  if (place.notAtLineStart)
    parts |= kNotAtLineStart;
  if (place.notUpperCase)
    parts |= kNotUpperCase;
  if (place.afterAnotherCommand)
    parts |= kAfterAnotherCommand;
  context.report(
      {Finding::kRunTestUnreduced, at, 0, FieldName::kTdi, {}, -1, parts});
}

// Leaves a RUN command that could not be read as it stands, and reports why
// where the output cannot carry it as the input means it.
void leaveUnreducedCommand(CommandContext &context, Offset afterHead,
                           CommandRead parsed, const RunCommand &command) {
  const Offset at = afterHead - static_cast<Offset>(kRunHead.size());
  if (parsed == CommandRead::kMalformed) {
    Copied copied(context.input, at);
    WindowReader reader = copied.reader();
    reader.skip(kRunHead.size());
    Range word = readWord(reader);
    if (word.end - word.begin == 4 &&
        sameWordIgnoringCase(reader.text(word.begin, word.end), "TEST") &&
        isWhitespace(reader.peekByte()))
      reportUnreduced(context, at, runTestParts(reader), {});
  } else {
    char word[kLongestWord];
    std::size_t size = context.input.readAt(at, word);
    std::size_t length = 0;
    while (length < size &&
           isWordByte(static_cast<unsigned char>(word[length])))
      ++length;
    context.report({Finding::kRunTestUnterminated, at, 0, FieldName::kTdi,
                    std::string(word, length), command.nextCommand, 0});
  }
  leaveCommandUnchanged(context, kRunHead, afterHead);
}

} // namespace

void handleRunCommand(CommandContext &context) {
  InputStream &input = context.input;
  const Offset afterHead = input.tell();

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

  // A command is read in view where it lies in the first few hundred bytes;
  // further is read from the input stream, whose searches are remembered.
  RunCommand command;
  WindowReader reader(window.substr(0, kRunCommandInView), afterHead);
  CommandRead parsed = parseRunCommand(reader, command);
  if (parsed == CommandRead::kComplete)
    parsed =
        findTerminator(command, [&] { return findTerminatorInView(reader); });
  const bool inView = !reader.ranOut();
  if (!inView) {
    command = {};
    parsed = parseRunCommand(input, command);
    if (parsed == CommandRead::kComplete)
      parsed = findTerminator(command,
                              [&] { return findTerminatorInInput(context); });
  }
  if (parsed != CommandRead::kComplete)
    return leaveUnreducedCommand(context, afterHead, parsed, command);
  const bool remembered =
      inView &&
      command.semicolon + 1 == afterHead + static_cast<Offset>(read.size());
  if (remembered) {
    writeAndRemember(context, command, reader, read);
  } else {
    writeRunCommand(command, context.output, [&](Range range) {
      copyInputRange(input, range.begin, range.end, context.output);
    });
  }
  input.seek(command.semicolon + 1);
}

void checkRunTestLeftInPlace(CommandContext &context, Offset at,
                             CommandPlace place) {
  constexpr std::string_view kWord = "RUNTEST";
  Copied copied(context.input, at);
  WindowReader reader = copied.reader();
  std::string_view word = reader.text(at, readWord(reader).end);
  if (!sameWordIgnoringCase(word, kWord) || !isWhitespace(reader.peekByte()))
    return;
  reportUnreduced(context, at, runTestParts(reader), place);
}

} // namespace svfseg
