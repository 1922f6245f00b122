// What the stream scanner shares with the RUN handler and the SDR handler
// during one pass.
#pragma once

#include "rewrite/stream.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

namespace svfseg {

// A forward search for the first of some bytes: from `from` on, the first of
// them is `byte`, at offset `at` (kEndMarker, at the end of the input, when
// there is none). Until the search has been made, it covers nothing.
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
  std::unique_ptr<char[]> readBackBlocks;
  // An offset from which the input holds no ';' up to its end, learnt when a
  // command ran into the end of the input looking for its ';'. A later command
  // there gives up at once instead of searching again, which keeps a file
  // without any ';' a linear pass.
  Offset noSemicolonFrom = std::numeric_limits<Offset>::max();
  // The SDR handler's last search of each kind. A malformed long SDR can
  // search far before it gives up (to a ';' many lines on); later commands
  // that start inside that stretch take the answer from here instead of
  // searching it again, which keeps a file of such commands a linear pass.
  std::array<RememberedSearch, 4> sdrSearches{};
  // The RUN handler's last few commands: tools write the same few RUNTEST
  // commands thousands of times over, and a repeat is written from here
  // without being read again.
  std::array<RememberedRun, 4> runs{};
  std::size_t nextRun = 0;
};

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

// Leaves a command as it stands: writes its three head letters and puts the
// input back to just after them, so that the scanner copies the rest as
// ordinary text.
inline void leaveCommandUnchanged(CommandContext &context,
                                  std::string_view head, Offset afterHead) {
  context.input.seek(afterHead);
  context.output.write(head);
}

// How reading a command to its ';' ended.
enum class CommandRead { kComplete, kMalformed, kUnterminated };

// The outcome of a read stopped by `c`: the end of the input, or a byte that
// does not fit the command.
inline CommandRead failureAt(int c) {
  return c == kEndMarker ? CommandRead::kUnterminated : CommandRead::kMalformed;
}

// Leaves a command that could not be read as it stands. One that ran into the
// end of the input looking for its ';' shows that no ';' follows its head.
inline void leaveUnreadCommand(CommandContext &context, std::string_view head,
                               Offset afterHead, CommandRead outcome) {
  if (outcome == CommandRead::kUnterminated)
    context.noSemicolonFrom = std::min(context.noSemicolonFrom, afterHead);
  leaveCommandUnchanged(context, head, afterHead);
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

inline bool isBlankOrTab(int c) { return c == ' ' || c == '\t'; }
inline bool isLineEnd(int c) { return c == '\n' || c == '\r'; }
inline bool isWhitespace(int c) { return isBlankOrTab(c) || isLineEnd(c); }
inline bool isDigit(int c) { return c >= '0' && c <= '9'; }

} // namespace svfseg
