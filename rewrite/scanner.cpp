#include "rewrite/scanner.h"

#include "rewrite/avx512.h"
#include "rewrite/command.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace svfseg {
namespace {

constexpr std::string_view kRunHead = "RUN";
constexpr std::string_view kSdrHead = "SDR";
constexpr std::string_view kRunTestWord = "RUNTEST";

// True when the line head read so far, followed by `c`, is still the start of
// RUN or SDR.
bool continuesCommandHead(std::string_view head, int c) {
  std::size_t at = head.size();
  return (head == kRunHead.substr(0, at) && c == kRunHead[at]) ||
         (head == kSdrHead.substr(0, at) && c == kSdrHead[at]);
}

// True when `c` may stand just before a command that does not start its
// line: a blank or a tab (indented), or the ';' of the command before.
bool mayPrecedeCommand(char c) { return c == ' ' || c == '\t' || c == ';'; }

// True when text[at] may start the word of an SDR or RUNTEST command that the
// scanner does not take as one, `before` being the byte before it: "sdr" or
// "run" in any case, after a blank, a tab or a ';', or at a line start unless
// its first letter is upper case. Bytes past the end of `text` count as
// letters that fit, so that a word the block cuts off is looked at.
bool mayStartOtherCommand(std::string_view text, std::size_t at, char before) {
  auto fits = [&](std::size_t i, char lower) {
    return at + i >= text.size() ||
           (static_cast<unsigned char>(text[at + i]) | 0x20) == lower;
  };
  bool sdr = fits(0, 's') && fits(1, 'd') && fits(2, 'r');
  bool run = fits(0, 'r') && fits(1, 'u') && fits(2, 'n');
  if (!sdr && !run)
    return false;
  if (mayPrecedeCommand(before))
    return true;
  // A line head that starts with an upper-case R or S is the line-head
  // check's to look at.
  const bool upperCaseHead = text[at] == 'S' || text[at] == 'R';
  return before == '\n' && !upperCaseHead;
}

// True when text[at] may start a line head that spells SDR or RUN in any case
// but the first letter: an upper-case S or R, then a D or a U in any case.
// The head counts as one where the view ends before that shows.
bool mayStartLineHead(std::string_view text, std::size_t at) {
  if (at >= text.size())
    return true;
  if (text[at] != 'S' && text[at] != 'R')
    return false;
  if (at + 1 >= text.size())
    return true;
  const char second = static_cast<char>(text[at + 1] | 0x20);
  return second == 'd' || second == 'u';
}

// The stops among the bytes of a block of lanes: bit i of each mask stands for
// the block's byte i. `Lanes` answers, for an offset of 0, 1 or 2 from each
// lane and a byte value, the lanes where that byte stands there, in either
// case where asked; `before()` gives the byte before the block. Most blocks
// hold no "sd" or "ru" in any case other than at a line head that starts
// with an upper-case letter, which the line-head check looks at, and are
// done with a dozen comparisons.
// Always inlined, so that it takes the instruction set of its caller.
template <typename Mask, typename Lanes, typename Before>
[[gnu::always_inline]] inline Mask stopsAmong(const Lanes &lanes,
                                              const Before &before) {
  // Line heads that may spell SDR or RUN: an upper-case S or R, then a D or
  // a U in any case. Leaving out SIR and STATE lines takes a stop off most
  // lines of short commands.
  const Mask lineFeeds = lanes.at(0, '\n');
  const Mask stops = lanes.at(0, '!') |
                     (lineFeeds & (lanes.at(1, 'R') | lanes.at(1, 'S')) &
                      (lanes.eitherCase(2, 'd') | lanes.eitherCase(2, 'u')));
  const Mask s = lanes.eitherCase(0, 's');
  const Mask r = lanes.eitherCase(0, 'r');
  const Mask pairs =
      (s & lanes.eitherCase(1, 'd')) | (r & lanes.eitherCase(1, 'u'));
  if (pairs == 0)
    return stops;
  // The byte before the block matters only for a word in its first lane.
  const char first = (pairs & 1) != 0 ? before() : 0;
  const Mask lineStarts =
      static_cast<Mask>(lineFeeds << 1) | Mask{first == '\n'};
  const Mask upperCaseHeads =
      (lanes.at(0, 'S') | lanes.at(0, 'R')) & lineStarts;
  const Mask others = pairs & ~upperCaseHeads;
  if (others == 0)
    return stops;
  const Mask words = (others & s & lanes.eitherCase(2, 'r')) |
                     (others & r & lanes.eitherCase(2, 'n'));
  const Mask separators =
      lanes.at(0, ' ') | lanes.at(0, '\t') | lanes.at(0, ';');
  const Mask afterSeparator =
      static_cast<Mask>(separators << 1) | Mask{mayPrecedeCommand(first)};
  return stops | (words & (afterSeparator | lineStarts));
}

#if defined(SVFSEG_HAVE_AVX512)
// The lanes of 64 bytes (and the two after them) for stopsAmong().
struct Lanes64 {
  static constexpr std::size_t kWidth = 64;
  __m512i bytes[3];
  __m512i lower[3];
  explicit SVFSEG_AVX512 Lanes64(const char *from) {
    for (int i = 0; i < 3; ++i) {
      bytes[i] = _mm512_loadu_si512(from + i);
      lower[i] = _mm512_or_si512(bytes[i], _mm512_set1_epi8(0x20));
    }
  }
  SVFSEG_AVX512 std::uint64_t at(int offset, char c) const {
    return _mm512_cmpeq_epi8_mask(bytes[offset], _mm512_set1_epi8(c));
  }
  SVFSEG_AVX512 std::uint64_t eitherCase(int offset, char lower) const {
    return _mm512_cmpeq_epi8_mask(this->lower[offset], _mm512_set1_epi8(lower));
  }
};
#endif

#if defined(__SSE2__)
// The lanes of 16 bytes (and the two after them) for stopsAmong().
struct Lanes16 {
  static constexpr std::size_t kWidth = 16;
  __m128i bytes[3];
  __m128i lower[3];
  explicit Lanes16(const char *from) {
    for (int i = 0; i < 3; ++i) {
      bytes[i] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i));
      lower[i] = _mm_or_si128(bytes[i], _mm_set1_epi8(0x20));
    }
  }
  std::uint64_t at(int offset, char c) const {
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(bytes[offset], _mm_set1_epi8(c))));
  }
  std::uint64_t eitherCase(int offset, char lower) const {
    return static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(this->lower[offset], _mm_set1_epi8(lower))));
  }
};
#endif

// A block of lanes looked at, and its stops: bit i stands for the byte at
// `offset + i`, which lay at `bytes + i` when it was looked at.
struct StopBlock {
  Offset offset = -1;
  const char *bytes = nullptr;
  std::size_t width = 0;
  std::uint64_t stops = 0;
};

// Looks for stops from text[at] on (text[0] being at input offset `offset`)
// in blocks of lanes, and keeps the block where it finds one in `found`.
// Returns the index of the stop, or npos with `at` where it left off. Always
// inlined, so that it takes the instruction set of its caller.
template <typename Lanes, typename Before>
[[gnu::always_inline]] inline std::size_t
findStopInBlocks(std::string_view text, Offset offset, const Before &before,
                 std::size_t &at, StopBlock &found) {
  constexpr std::size_t kWidth = Lanes::kWidth;
  const char *bytes = text.data();
  for (; at + kWidth + 2 <= text.size(); at += kWidth) {
    auto previous = [&] { return at == 0 ? before() : bytes[at - 1]; };
    if (std::uint64_t stops =
            stopsAmong<std::uint64_t>(Lanes(bytes + at), previous)) {
      found = {offset + static_cast<Offset>(at), bytes + at, kWidth, stops};
      return at + static_cast<std::size_t>(std::countr_zero(stops));
    }
  }
  return std::string_view::npos;
}

#if defined(SVFSEG_HAVE_AVX512)
template <typename Before>
SVFSEG_AVX512 std::size_t findStopAvx512(std::string_view text, Offset offset,
                                         const Before &before, std::size_t &at,
                                         StopBlock &found) {
  return findStopInBlocks<Lanes64>(text, offset, before, at, found);
}
#endif

// Finds where copying must stop: a '!', a line feed followed by an 'R' or an
// 'S' (a line that may start RUN or SDR), a line feed at the very end of the
// text in view (its next byte is not in view), or where another SDR or
// RUNTEST command may start (mayStartOtherCommand()). Compares 64 bytes at a
// time with AVX-512, 16 with SSE2: this search is where the scanner spends
// its time on ordinary text (AVX-512 against SSE2, the pass over the 64 MiB
// mixed file in memory: 29 ms against 32). The stops of the block where it
// found one are kept: most stops leave the input where it was, and the next
// one is then taken from the same block (25.1 ms against 27.4, best of 15).
class StopSearch {
public:
  // The index of the first stop in `text`, whose first byte is at input
  // offset `offset`, or text.size() when there is none; `before()` gives the
  // byte before `text`, and is asked for only where a word at its start may
  // matter.
  template <typename Before>
  std::size_t next(std::string_view text, Offset offset, const Before &before) {
    std::size_t at = 0;
    if (last_.bytes != nullptr && offset >= last_.offset &&
        offset < last_.offset + static_cast<Offset>(last_.width) &&
        text.data() - last_.bytes == offset - last_.offset) {
      // The same bytes as when the block was looked at: the same input
      // offset at the same place in memory.
      const auto lane = static_cast<std::size_t>(offset - last_.offset);
      if (std::uint64_t stops = last_.stops >> lane)
        return static_cast<std::size_t>(std::countr_zero(stops));
      at = last_.width - lane;
    }
    last_ = {};
    std::size_t stop = std::string_view::npos;
#if defined(SVFSEG_HAVE_AVX512)
    if (useAvx512_)
      stop = findStopAvx512(text, offset, before, at, last_);
#endif
#if defined(__SSE2__)
    if (stop == std::string_view::npos)
      stop = findStopInBlocks<Lanes16>(text, offset, before, at, last_);
#endif
    if (stop != std::string_view::npos)
      return stop;
    return findStopByteByByte(text, before, at);
  }

private:
  template <typename Before>
  static std::size_t findStopByteByByte(std::string_view text,
                                        const Before &before, std::size_t at) {
    for (; at < text.size(); ++at) {
      const char c = text[at];
      if (c == '!')
        return at;
      if (c == '\n' && mayStartLineHead(text, at + 1))
        return at;
      if (mayStartOtherCommand(text, at, at == 0 ? before() : text[at - 1]))
        return at;
    }
    return text.size();
  }

#if defined(SVFSEG_HAVE_AVX512)
  bool useAvx512_ = processorHasAvx512();
#endif
  StopBlock last_;
};

// What stands before a place on its line, found by reading back from it. The
// places asked about come in input order, and what was read for one is kept,
// so that no byte is read back twice: the pass stays linear.
class LineContext {
public:
  enum Kind {
    kNothing, // the place starts its line
    kBlanks,  // only blanks and tabs before it
    kCommand, // the ';' of a command, and perhaps blanks, just before it
    kOther,   // anything else
  };
  struct Before {
    bool inComment = false; // a comment mark ('!' or "//") stands before it
    Kind kind = kNothing;
  };

  Before before(InputStream &input, Offset at) {
    if (at < seenTo_)
      *this = {};
    State state;
    bool lineStartFound = false;
    char after = 0; // the byte after the one looked at
    for (BackwardBytes bytes(input, at, seenTo_);;) {
      const int c = bytes.previous();
      if (c == kEndMarker)
        break;
      if (c == '\n') {
        lineStartFound = true;
        break;
      }
      state.take(static_cast<char>(c), after);
      after = static_cast<char>(c);
    }
    if (!lineStartFound) {
      // The line goes on before what was read now: what was seen of it
      // before counts too.
      if (seen_.lastByte == '/' && after == '/')
        state.comment = true;
      state.comment = state.comment || seen_.comment;
      state.anyByte = state.anyByte || seen_.anyByte;
      if (!state.anyNonBlank) {
        state.anyNonBlank = seen_.anyNonBlank;
        state.lastNonBlank = seen_.lastNonBlank;
      }
    }
    state.lastByte = at == seenTo_ ? seen_.lastByte : lastByteBefore(input, at);
    seen_ = state;
    seenTo_ = at;
    Before before;
    before.inComment = state.comment;
    if (state.anyNonBlank)
      before.kind = state.lastNonBlank == ';' ? kCommand : kOther;
    else
      before.kind = state.anyByte ? kBlanks : kNothing;
    return before;
  }

private:
  // What a line holds up to a place, read backwards from it.
  struct State {
    bool comment = false;
    bool anyByte = false;
    bool anyNonBlank = false;
    char lastNonBlank = 0;
    char lastByte = '\n'; // the byte just before the place
    void take(char c, char after) {
      anyByte = true;
      if (!anyNonBlank && !isBlankOrTab(static_cast<unsigned char>(c))) {
        anyNonBlank = true;
        lastNonBlank = c;
      }
      if (c == '!' || (c == '/' && after == '/'))
        comment = true;
    }
  };

  static char lastByteBefore(InputStream &input, Offset at) {
    char c = '\n';
    if (at > 0)
      input.readAt(at - 1, {&c, 1});
    return c;
  }

  State seen_;        // the line that holds the place seen last, up to it
  Offset seenTo_ = 0; // that place
};

class StreamScanner {
public:
  explicit StreamScanner(CommandContext &context) : context_(context) {}

  // Copies the input to the output, stopping at each '!' and at each line
  // that may start RUN or SDR. Bytes that go out as they stand are not
  // written at once but gathered, as a count of the bytes just before the
  // input's position, and written in one piece when something else is
  // written or the block is used up.
  void run() {
    examineLineHead();
    InputStream &input = context_.input;
    OutputStream &output = context_.output;
    while (!output.failed()) {
      std::string_view window = input.window();
      if (window.empty()) {
        writeGathered();
        if (!input.fill())
          return;
        continue;
      }
      std::size_t stop =
          stops_.next(window, input.tell(), [this] { return byteBefore(); });
      if (stop == window.size()) {
        gather(window.size());
      } else if (window[stop] == '!') {
        gather(stop);
        writeGathered();
        output.write("//");
        input.skip(1);
      } else if (window[stop] == '\n') {
        gather(stop + 1);
        examineLineHead();
      } else {
        const Offset at = input.tell() + static_cast<Offset>(stop);
        gather(stop + 1);
        examineOtherCommand(at);
      }
    }
  }

private:
  // Moves the input past `count` bytes that go out as they stand.
  void gather(std::size_t count) {
    context_.input.skip(count);
    gathered_ += count;
  }

  void writeGathered() {
    if (gathered_ == 0)
      return;
    const char *end = context_.input.window().data();
    context_.output.write({end - gathered_, gathered_});
    gathered_ = 0;
  }

  // Hands a line that starts with RUN or SDR to its handler; any other line is
  // left to the main loop. Where the buffered block ends within the line's
  // first three bytes, the head is read into the line head buffer a byte at a
  // time for as long as it spells the start of RUN or SDR, and what was read of
  // another line is written as it stands.
  void examineLineHead() {
    std::string_view window = context_.input.window();
    if (window.size() >= LineHeadBuffer::kSlots) {
      std::string_view head = window.substr(0, LineHeadBuffer::kSlots);
      const std::string_view afterHead = window.substr(head.size());
      if (head == kRunHead ||
          (head == kSdrHead && !isPlainShortSdrInView(afterHead) &&
           !isShortSdrInView(afterHead))) {
        writeGathered();
        context_.input.skip(head.size());
        handleCommand(head);
      } else if (head != kSdrHead && (sameWordIgnoringCase(head, kSdrHead) ||
                                      sameWordIgnoringCase(head, kRunHead))) {
        // "Sdr", "RUn": the main loop leaves heads in upper case to this.
        examineOtherCommand(context_.input.tell());
      }
      return;
    }
    writeGathered();
    lineHead_.clear();
    const Offset lineStart = context_.input.tell();
    while (continuesCommandHead(lineHead_.text(), context_.input.peekByte())) {
      lineHead_.push(static_cast<char>(context_.input.readByte()));
      if (lineHead_.full())
        return handleCommand(lineHead_.text());
    }
    context_.output.write(lineHead_.text());
    // What was read of the head is not looked at again by the main loop.
    if (lineHead_.size() != 0)
      examineOtherCommand(lineStart);
  }

  // The byte before the input's position: a line feed at the start.
  char byteBefore() const {
    const Offset at = context_.input.tell();
    if (at == 0)
      return '\n';
    if (std::optional<std::string_view> held =
            context_.input.buffered(at - 1, at))
      return held->front();
    char c = '\n';
    context_.input.readAt(at - 1, {&c, 1});
    return c;
  }

  // Looks at a word at `at` that may be an SDR or RUNTEST command the
  // scanner does not take as one, and has the handlers check what the output
  // then carries as it stands.
  void examineOtherCommand(Offset at) {
    char word[8];
    std::size_t size = context_.input.readAt(at, word);
    std::string_view text(word, size);
    const bool sdr = size >= 4 &&
                     sameWordIgnoringCase(text.substr(0, 3), kSdrHead) &&
                     isBlankOrTab(word[3]);
    const bool runTest =
        size == 8 && sameWordIgnoringCase(text.substr(0, 7), kRunTestWord) &&
        !isWordByte(static_cast<unsigned char>(word[7]));
    if (!sdr && !runTest)
      return;
    LineContext::Before before = lineContext_.before(context_.input, at);
    if (before.inComment || before.kind == LineContext::kOther)
      return;
    CommandPlace place;
    place.notAtLineStart = before.kind != LineContext::kNothing;
    place.afterAnotherCommand = before.kind == LineContext::kCommand;
    place.notUpperCase =
        text.substr(0, sdr ? 3 : 7) != (sdr ? kSdrHead : kRunTestWord);
    if (!place.notAtLineStart && !place.notUpperCase)
      return; // a line head, which the handlers take
    if (sdr)
      checkSdrLeftInPlace(context_, at, place);
    else
      checkRunTestLeftInPlace(context_, at, place);
  }

  void handleCommand(std::string_view head) {
    if (head == kRunHead)
      handleRunCommand(context_);
    else
      handleSdrCommand(context_);
  }

  CommandContext &context_;
  LineHeadBuffer lineHead_;
  LineContext lineContext_;
  std::size_t gathered_ = 0; // bytes just before the input's position
  StopSearch stops_;
};

} // namespace

void scan(InputStream &input, OutputStream &output,
          const ScanOptions &options) {
  CommandContext context{input, output, options.readBackBlockSize};
  context.diagnostics = options.diagnostics;
  StreamScanner(context).run();
}

} // namespace svfseg
