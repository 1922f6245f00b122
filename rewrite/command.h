// What the stream scanner shares with the RUN handler and the SDR handler
// during one pass.
#pragma once

#include "rewrite/stream.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

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
  // long SDR command.
  std::vector<char> readBackBlocks;
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

inline bool isBlankOrTab(int c) { return c == ' ' || c == '\t'; }
inline bool isLineEnd(int c) { return c == '\n' || c == '\r'; }
inline bool isWhitespace(int c) { return isBlankOrTab(c) || isLineEnd(c); }
inline bool isDigit(int c) { return c >= '0' && c <= '9'; }

} // namespace svfseg
