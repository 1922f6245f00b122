#include "rewrite/scanner.h"

#include "rewrite/command.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace svfseg {
namespace {

constexpr std::string_view kRunHead = "RUN";
constexpr std::string_view kSdrHead = "SDR";

// True when the line head read so far, followed by `c`, is still the start of
// RUN or SDR.
bool continuesCommandHead(std::string_view head, int c) {
  std::size_t at = head.size();
  return (head == kRunHead.substr(0, at) && c == kRunHead[at]) ||
         (head == kSdrHead.substr(0, at) && c == kSdrHead[at]);
}

// The index of the first byte of `text` where copying must stop: a '!', or a
// line feed followed by an 'R' or an 'S' (a line that may start RUN or SDR), or
// a line feed at the very end of `text` (its next byte is not in view). Returns
// text.size() when there is none. Compares 16 bytes at a time where SSE2 is
// there: this scan is where the scanner spends its time on ordinary text.
std::size_t findStop(std::string_view text) {
  const char *bytes = text.data();
  const std::size_t size = text.size();
  std::size_t at = 0;
#if defined(__SSE2__)
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i bang = _mm_set1_epi8('!');
  const __m128i r = _mm_set1_epi8('R');
  const __m128i s = _mm_set1_epi8('S');
  for (; at + 17 <= size; at += 16) {
    __m128i here =
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + at));
    __m128i next =
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + at + 1));
    __m128i headLetter =
        _mm_or_si128(_mm_cmpeq_epi8(next, r), _mm_cmpeq_epi8(next, s));
    __m128i stops =
        _mm_or_si128(_mm_cmpeq_epi8(here, bang),
                     _mm_and_si128(_mm_cmpeq_epi8(here, lineFeed), headLetter));
    if (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops)))
      return at + static_cast<std::size_t>(std::countr_zero(mask));
  }
#endif
  for (; at < size; ++at) {
    char c = bytes[at];
    if (c == '!')
      return at;
    if (c == '\n' &&
        (at + 1 == size || bytes[at + 1] == 'R' || bytes[at + 1] == 'S'))
      return at;
  }
  return size;
}

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
      std::size_t stop = findStop(window);
      if (stop == window.size()) {
        gather(window.size());
      } else if (window[stop] == '!') {
        gather(stop);
        writeGathered();
        output.write("//");
        input.skip(1);
      } else {
        gather(stop + 1);
        examineLineHead();
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
    while (continuesCommandHead(lineHead_.text(), context_.input.peekByte())) {
      lineHead_.push(static_cast<char>(context_.input.readByte()));
      if (lineHead_.full())
        return handleCommand(lineHead_.text());
    }
    context_.output.write(lineHead_.text());
  }

  void handleCommand(std::string_view head) {
    if (head == kRunHead)
      handleRunCommand(context_);
    else
      handleSdrCommand(context_);
  }

  CommandContext &context_;
  LineHeadBuffer lineHead_;
  std::size_t gathered_ = 0; // bytes just before the input's position
};

} // namespace

void scan(InputStream &input, OutputStream &output,
          const ScanOptions &options) {
  CommandContext context{input, output, options.readBackBlockSize, {}};
  StreamScanner(context).run();
}

} // namespace svfseg
