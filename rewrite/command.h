// What the stream scanner shares with the RUN handler and the SDR handler
// during one pass, and the reading of commands that they share.
#pragma once

#include "rewrite/diagnostics.h"
#include "rewrite/stream.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace svfseg {

// A forward search made from `from` that found `byte` at `at`. Until one has
// been made, it covers nothing.
struct RememberedSearch {
  Offset from = 0;
  Offset at = -1;
  int byte = kEndMarker;
};

// A RUN command as read, from just after its head up to and including its
// ';', and as the RUN handler wrote it.
struct RememberedRun {
  std::string read;
  std::string written;
};

// RUN commands longer than this are not remembered.
inline constexpr std::size_t kLongestRememberedRun = 256;

struct CommandContext {
  InputStream &input;
  OutputStream &output;
  std::size_t readBackBlockSize;
  // Backing store of the SDR handler's read-back blocks, allocated at the first
  // long SDR command and left uninitialised: only the pages that reads reach
  // are ever touched, which spares a short field the page faults of the rest.
  std::unique_ptr<char[]> readBackBlocks{};
  // Where findings go; none are reported without one.
  DiagnosticSink *diagnostics = nullptr;
  // The RUN handler's last search for the ';' that ends a command. A line that
  // merely begins with RUN can search far (to a ';' many lines on); later ones
  // that start inside that stretch take the answer from here instead of
  // searching it again, which keeps a file of such lines a linear pass.
  RememberedSearch terminatorSearch{};
  // The RUN handler's last few commands: tools write the same few RUNTEST
  // commands thousands of times over, and a repeat is written from here
  // without being read again. Without it the mixed files took 75.4 ms
  // against 58.4 (64 MiB) and 267.6 against 205.9 (256 MiB), medians of 11
  // on a 2-core AMD EPYC VM.
  std::array<RememberedRun, 4> runs{};
  std::size_t nextRun = 0;

  void report(const Diagnostic &diagnostic) const {
    if (diagnostics)
      diagnostics->report(diagnostic);
  }
};

// The most bits an SDR command of the output carries: a longer one is split
// into segments of this many.
inline constexpr std::uint64_t kSegmentBits = 256;

// Both handlers are called with the input just after the three letters of the
// line head. They write their command and leave the input at the first byte the
// scanner is to copy next.
void handleRunCommand(CommandContext &context);
void handleSdrCommand(CommandContext &context);

// True when `afterHead`, the bytes in view after an "SDR" line head, hold a
// length of at most 256 bits and the byte that ends it: a command the SDR
// handler would leave as it stands. The scanner copies such a line like any
// other, without calling the handler.
bool isShortSdrInView(std::string_view afterHead);

// How a command that the scanner does not hand to a handler stands on its
// line: the reasons the output carries it as it stands.
struct CommandPlace {
  bool notAtLineStart = false;
  bool notUpperCase = false;
  bool afterAnotherCommand = false;
};

// Checks a command that the output carries as it stands because of `place`,
// whose word (SDR or RUNTEST, in any case) starts at `at`, and reports it
// where the output cannot carry it as the input means it. Leaves the input
// stream where it is.
void checkSdrLeftInPlace(CommandContext &context, Offset at,
                         CommandPlace place);
void checkRunTestLeftInPlace(CommandContext &context, Offset at,
                             CommandPlace place);

// Leaves a command as it stands: writes its three head letters and puts the
// input back to just after them, so that the scanner copies the rest as
// ordinary text.
inline void leaveCommandUnchanged(CommandContext &context,
                                  std::string_view head, Offset afterHead) {
  context.input.seek(afterHead);
  context.output.write(head);
}

// How reading a command to its ';' ended: complete, at a byte that does not
// fit it, at the end of the input, or at a line that starts another command
// before its ';'.
enum class CommandRead { kComplete, kMalformed, kUnterminated, kNextCommand };

// The value a read gives where the next line starts with an SVF command word:
// a command never takes its parts from there.
constexpr int kNextCommand = -3;

// The outcome of a read stopped by `c`.
inline CommandRead failureAt(int c) {
  if (c == kEndMarker)
    return CommandRead::kUnterminated;
  if (c == kNextCommand)
    return CommandRead::kNextCommand;
  return CommandRead::kMalformed;
}

// The value a WindowReader gives past the end of its block. No rule takes it,
// so reading stops there, and the command is then read from the input stream.
constexpr int kOutOfView = -2;

// Reads the input stream's buffered block as the input stream would be read,
// without moving it. A command that lies wholly in the block is read here at
// the cost of a few comparisons a byte; one that reaches past it shows as
// ranOut() and is read again from the input stream.
class WindowReader {
public:
  WindowReader(std::string_view window, Offset offset)
      : window_(window), offset_(offset) {}

  int peekByte() {
    if (at_ < window_.size())
      return static_cast<unsigned char>(window_[at_]);
    ranOut_ = true;
    return kOutOfView;
  }
  void skip(std::size_t count) { at_ += count; }
  Offset tell() const { return offset_ + static_cast<Offset>(at_); }
  void seek(Offset offset) { at_ = static_cast<std::size_t>(offset - offset_); }
  std::string_view text(Offset begin, Offset end) const {
    return window_.substr(static_cast<std::size_t>(begin - offset_),
                          static_cast<std::size_t>(end - begin));
  }
  // The bytes in view not read yet.
  std::string_view rest() const { return window_.substr(at_); }
  bool ranOut() const { return ranOut_; }

private:
  std::string_view window_;
  Offset offset_; // input offset of window_[0]
  std::size_t at_ = 0;
  bool ranOut_ = false;
};

constexpr bool isBlankOrTab(int c) { return c == ' ' || c == '\t'; }
constexpr bool isLineEnd(int c) { return c == '\n' || c == '\r'; }
constexpr bool isWhitespace(int c) { return isBlankOrTab(c) || isLineEnd(c); }
constexpr bool isDigit(int c) { return c >= '0' && c <= '9'; }
constexpr bool isLetter(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool isWordByte(int c) {
  return isLetter(c) || isDigit(c) || c == '_';
}
constexpr bool isHexDigit(int c) {
  return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
constexpr char upperCase(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when `word` is the same word as `other`, ignoring case.
bool sameWordIgnoringCase(std::string_view word, std::string_view other);

// True when `word` is an SVF command word (ENDDR, SIR, RUNTEST...), in any
// case.
bool isCommandWord(std::string_view word);

// True when the bytes at the reader's position, after blanks and tabs, start
// with an SVF command word. Leaves the reader where it was. A WindowReader
// that runs out of view while looking shows it as ranOut().
template <typename Reader> bool startsCommandWord(Reader &input) {
  const Offset start = input.tell();
  while (isBlankOrTab(input.peekByte()))
    input.skip(1);
  char word[10];
  std::size_t length = 0;
  while (length < sizeof word && isWordByte(input.peekByte())) {
    word[length++] = static_cast<char>(input.peekByte());
    input.skip(1);
  }
  bool command = length < sizeof word && !isWordByte(input.peekByte()) &&
                 input.peekByte() != kOutOfView &&
                 isCommandWord({word, length});
  input.seek(start);
  return command;
}

// Moves past blanks, tabs and line ends. Returns kNextCommand, with the input
// at the start of that line, where a line it enters starts with an SVF command
// word; otherwise the byte it stopped at.
template <typename Reader> int skipLayout(Reader &input) {
  for (;;) {
    int c = input.peekByte();
    if (!isWhitespace(c))
      return c;
    input.skip(1);
    if (c == '\n' && startsCommandWord(input))
      return kNextCommand;
  }
}

// Moves the input to the next byte that is neither a hexadecimal digit nor a
// blank, a tab or a line end, and returns it without moving past it; returns
// kEndMarker at the end of the input. The fields of a long SDR command are
// passed over at memory speed this way.
int skipToMark(InputStream &input);

// True when the byte `c` at `at` starts a comment: a '!', or "//". Leaves
// the input where it is.
bool startsComment(InputStream &input, Offset at, int c);

// Moves the input past a comment whose mark ('!', or the first '/' of "//") is
// the next byte: to its line end, which stays unread.
void skipComment(InputStream &input);

// Reads the input backwards from an offset without moving the input stream:
// from its buffered block where that holds the bytes, by positional reads of
// a few hundred bytes before that.
class BackwardBytes {
public:
  // Starts just before `from`; reads no further back than `floor`.
  BackwardBytes(InputStream &input, Offset from, Offset floor = 0)
      : input_(input), at_(from), floor_(floor), held_(input.heldBefore(from)) {
  }

  // The byte before the position, moving back over it; kEndMarker at the
  // floor.
  int previous() {
    if (at_ <= floor_)
      return kEndMarker;
    if (held_.empty() && !readChunk())
      return kEndMarker;
    --at_;
    const char c = held_.back();
    held_.remove_suffix(1);
    return static_cast<unsigned char>(c);
  }
  // The offset of the byte previous() gave last.
  Offset tell() const { return at_; }

private:
  bool readChunk();

  InputStream &input_;
  Offset at_;
  Offset floor_;
  std::string_view held_; // the bytes just before at_ that are at hand
  char chunk_[256];
};

// The word that the byte at `at` belongs to: the bytes of letters, digits and
// '_' around it, cut to a dozen bytes; whether only blanks and tabs stand
// before it on its line, so that it starts the line; and whether it holds an
// upper-case 'T' or 'M' anywhere, by which fields are found.
struct WordAround {
  Offset begin = 0;
  Offset end = 0;
  std::string text;
  bool startsLine = false;
  bool holdsT = false;
  bool holdsM = false;
};
WordAround wordAround(InputStream &input, Offset at);

// The longest word text WordAround keeps.
inline constexpr std::size_t kLongestWord = 12;

// isShortSdrInView() for the common form, told in a few comparisons: a blank
// and one to three digits of at most 256, then a byte that is no digit.
// False where the length is written otherwise; isShortSdrInView() tells then.
inline bool isPlainShortSdrInView(std::string_view afterHead) {
  if (afterHead.size() < 3 || afterHead[0] != ' ')
    return false;
  unsigned length = 0;
  std::size_t at = 1;
  for (; at < 4 && at < afterHead.size() && isDigit(afterHead[at]); ++at)
    length = length * 10 + static_cast<unsigned>(afterHead[at] - '0');
  return at > 1 && at < afterHead.size() && !isDigit(afterHead[at]) &&
         length <= kSegmentBits;
}

} // namespace svfseg
