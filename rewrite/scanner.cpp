#include "rewrite/scanner.h"

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
// "run" in any case, after a blank, a tab or a ';', or at a line start in
// other than upper case. Bytes past the end of `text` count as letters that
// fit, so that a word the block cuts off is looked at.
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
  return before == '\n' &&
         !(at + 3 <= text.size() &&
           (text.substr(at, 3) == kSdrHead || text.substr(at, 3) == kRunHead));
}

#if defined(__SSE2__)
// Bit i is set where bytes[i] is `c`.
unsigned lanesOf(__m128i bytes, char c) {
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
}
// Bit i is set where bytes[i] is `lower` in either case.
unsigned lanesOfEitherCase(__m128i bytes, char lower) {
  return lanesOf(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), lower);
}
#endif

// The index of the first byte of `text` where copying must stop: a '!', a
// line feed followed by an 'R' or an 'S' (a line that may start RUN or SDR),
// a line feed at the very end of `text` (its next byte is not in view), or
// where another SDR or RUNTEST command may start (mayStartOtherCommand()).
// `before` is the byte before `text`. Returns text.size() when there is none.
// Compares 16 bytes at a time where SSE2 is there: this scan is where the
// scanner spends its time on ordinary text.
std::size_t findStop(std::string_view text, char before) {
  const char *bytes = text.data();
  const std::size_t size = text.size();
  std::size_t at = 0;
#if defined(__SSE2__)
  for (; at + 18 <= size; at += 16) {
    auto load = [&](std::size_t from) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + from));
    };
    const __m128i here = load(at);
    const __m128i next = load(at + 1);
    const __m128i third = load(at + 2);
    // The bytes before: loaded, or shifted in from `before` at the start.
    const __m128i previous =
        at == 0 ? _mm_or_si128(
                      _mm_slli_si128(here, 1),
                      _mm_cvtsi32_si128(static_cast<unsigned char>(before)))
                : load(at - 1);
    const unsigned lineFeeds = lanesOf(here, '\n');
    unsigned stops = lanesOf(here, '!') |
                     (lineFeeds & (lanesOf(next, 'R') | lanesOf(next, 'S')));
    const unsigned sdr = lanesOfEitherCase(here, 's') &
                         lanesOfEitherCase(next, 'd') &
                         lanesOfEitherCase(third, 'r');
    const unsigned run = lanesOfEitherCase(here, 'r') &
                         lanesOfEitherCase(next, 'u') &
                         lanesOfEitherCase(third, 'n');
    if (const unsigned words = sdr | run) {
      const unsigned exact =
          (lanesOf(here, 'S') & lanesOf(next, 'D') & lanesOf(third, 'R')) |
          (lanesOf(here, 'R') & lanesOf(next, 'U') & lanesOf(third, 'N'));
      const unsigned separated = lanesOf(previous, ' ') |
                                 lanesOf(previous, '\t') |
                                 lanesOf(previous, ';');
      stops |= words & (separated | (lanesOf(previous, '\n') & ~exact));
    }
    if (stops)
      return at + static_cast<std::size_t>(std::countr_zero(stops));
  }
#endif
  for (; at < size; ++at) {
    char c = bytes[at];
    if (c == '!')
      return at;
    if (c == '\n' &&
        (at + 1 == size || bytes[at + 1] == 'R' || bytes[at + 1] == 'S'))
      return at;
    if (mayStartOtherCommand(text, at, at == 0 ? before : bytes[at - 1]))
      return at;
  }
  return size;
}

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
      std::size_t stop = findStop(window, byteBefore());
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
      if (head == kRunHead ||
          (head == kSdrHead && !isShortSdrInView(window.substr(head.size())))) {
        writeGathered();
        context_.input.skip(head.size());
        handleCommand(head);
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
};

} // namespace

void scan(InputStream &input, OutputStream &output,
          const ScanOptions &options) {
  CommandContext context{input, output, options.readBackBlockSize};
  context.diagnostics = options.diagnostics;
  StreamScanner(context).run();
}

} // namespace svfseg
