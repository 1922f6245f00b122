// The SDR handler: an SDR command longer than 256 bits is written as "SDRS 256"
// segments closed by one SDR command for the bits left, each carrying the same
// stretch of the TDI, TDO and MASK fields. The segments follow the order in
// which the bits are shifted: the first carries the rightmost 64 digits of each
// field. The fields are found going forwards and then read backwards from their
// ')' in blocks, so that no field is ever held in memory whole.
#include "rewrite/avx512.h"
#include "rewrite/command.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
namespace svfseg {
namespace {

constexpr std::string_view kSdrHead = "SDR";
constexpr std::size_t kSegmentDigits = 64;
// SVF lengths are 32-bit; a longer one is copied on as it stands.
constexpr std::uint64_t kLongestLength = 0xFFFFFFFF;

// Blanks, tabs and line ends inside a field only lay it out; every other byte
// in it is one hexadecimal digit.
bool isFiller(char c) { return isWhitespace(c); }

// A parenthesised group: the offsets of its '(' and of its ')'. Its digits
// are the bytes between them other than blanks, tabs, line ends and comments.
struct Group {
  Offset open = 0;
  Offset close = 0;
  bool hasComment = false; // a comment stands inside it
};

struct LongSdr {
  Offset at = 0; // where the command starts
  std::uint64_t bits = 0;
  Group tdi;
  std::optional<Group> tdo;
  std::optional<Group> mask;
  Offset semicolon = 0;
};

constexpr std::string_view kFieldNames[] = {"TDI", "TDO", "MASK"};

// The length after "SDR": blanks and tabs, then decimal digits.
struct Length {
  std::optional<std::uint64_t> bits; // none without digits or past 32 bits
  bool pastLimit = false;
  Offset begin = 0; // the digits
  Offset end = 0;
};

// Reads the length after "SDR", leaving the input at the byte after its
// digits. "SDRS" and other words that merely start with SDR have none.
template <typename Reader> Length readLength(Reader &input) {
  Length length;
  if (!isBlankOrTab(input.peekByte()))
    return length;
  while (isBlankOrTab(input.peekByte()))
    input.skip(1);
  if (!isDigit(input.peekByte()))
    return length;
  length.begin = input.tell();
  std::uint64_t value = 0;
  while (isDigit(input.peekByte())) {
    // Once past the limit the value stays past it, so it never wraps around.
    if (value <= kLongestLength)
      value = value * 10 + static_cast<unsigned>(input.peekByte() - '0');
    input.skip(1);
  }
  length.end = input.tell();
  if (value > kLongestLength)
    length.pastLimit = true;
  else
    length.bits = value;
  return length;
}

// The length's digits as written, cut to a few dozen, for a report.
std::string lengthText(InputStream &input, const Length &length) {
  char digits[24];
  auto count = static_cast<std::size_t>(
      std::min<Offset>(length.end - length.begin, Offset{sizeof digits}));
  count = input.readAt(length.begin, {digits, count});
  return {digits, count};
}

// Finds the fields of a long SDR command by position, as the dialect defines
// it: the first group after the length is TDI whatever its keyword, the next
// group after a word holding a 'T' is TDO, and the next after a word holding
// an 'M' is MASK; other groups are passed over. Then the command's ';'.
// Comments are layout, wherever they stand; a line that starts with a command
// word ends the reading, as the command's ';' has not come.
class FieldLocator {
public:
  FieldLocator(CommandContext &context, LongSdr &command)
      : context_(context), input_(context.input), command_(command) {}

  CommandRead run() {
    for (;;) {
      const int c = skipToMark(input_);
      const Offset at = input_.tell();
      if (c == kEndMarker)
        return stop(CommandRead::kUnterminated, -1);
      if (c == ';') {
        if (expectsGroup())
          return stop(CommandRead::kMalformed, at);
        command_.semicolon = at;
        return CommandRead::kComplete;
      }
      if (startsComment(input_, at, c)) {
        skipComment(input_);
      } else if (c == '(') {
        if (CommandRead read = takeGroup(at); read != CommandRead::kComplete)
          return read;
      } else if (c == ')') {
        return stop(CommandRead::kMalformed, at);
      } else if (isWordByte(c)) {
        WordAround word = wordAround(input_, at);
        if (word.startsLine && isCommandWord(word.text))
          return stop(CommandRead::kNextCommand, word.begin);
        noteWord(word);
      } else {
        input_.skip(1); // any other byte between the fields is passed over
      }
    }
  }

  // Reports what the segments carry differently from how the input names it.
  void reportFields() const {
    for (const Diagnostic &finding : fieldFindings_) {
      const bool maskWithoutTdo = finding.finding == Finding::kFieldDropped &&
                                  sameWordIgnoringCase(finding.word, "MASK") &&
                                  !command_.tdo;
      if (!maskWithoutTdo)
        context_.report(finding);
    }
  }

  // Where reading stopped, when it failed.
  Offset stoppedAt() const { return stoppedAt_; }
  const Diagnostic &notHexadecimal() const { return notHexadecimal_; }
  bool stoppedAtNonHexadecimal() const { return notHex_; }

private:
  enum class Expecting { kTdi, kLetterT, kTdo, kLetterM, kMask, kSemicolon };

  bool expectsGroup() const {
    return expecting_ == Expecting::kTdi || expecting_ == Expecting::kTdo ||
           expecting_ == Expecting::kMask;
  }

  CommandRead stop(CommandRead read, Offset at) {
    stoppedAt_ = at;
    return read;
  }

  void noteWord(const WordAround &word) {
    keyword_ = word.text;
    if (expecting_ == Expecting::kLetterT && word.holdsT)
      expecting_ = Expecting::kTdo;
    else if (expecting_ == Expecting::kLetterM && word.holdsM)
      expecting_ = Expecting::kMask;
  }

  // Reads the group whose '(' is at `open`, as the field the position gives
  // it or as one passed over.
  CommandRead takeGroup(Offset open) {
    Group group{open, 0, false};
    std::optional<FieldName> name;
    switch (expecting_) {
    case Expecting::kTdi:
      name = FieldName::kTdi;
      break;
    case Expecting::kTdo:
      name = FieldName::kTdo;
      break;
    case Expecting::kMask:
      name = FieldName::kMask;
      break;
    default:
      break;
    }
    if (CommandRead read = readGroup(group, name);
        read != CommandRead::kComplete)
      return read;
    if (name) {
      carry(*name, group);
      if (!sameWordIgnoringCase(keyword_, kFieldNames[static_cast<int>(*name)]))
        note(Finding::kFieldCarriedAs, *name);
    } else if (!sameWordIgnoringCase(keyword_, "SMASK")) {
      // SMASK is dropped by the dialect's design, and so is MASK where
      // TDO is not carried: which it is is known at the ';'.
      note(Finding::kFieldDropped, FieldName::kMask);
    }
    keyword_.clear();
    return CommandRead::kComplete;
  }

  void carry(FieldName name, const Group &group) {
    switch (name) {
    case FieldName::kTdi:
      command_.tdi = group;
      expecting_ = Expecting::kLetterT;
      break;
    case FieldName::kTdo:
      command_.tdo = group;
      expecting_ = Expecting::kLetterM;
      break;
    case FieldName::kMask:
      command_.mask = group;
      expecting_ = Expecting::kSemicolon;
      break;
    }
  }

  void note(Finding finding, FieldName field) {
    // A command of many stray groups reports a few of them.
    if (fieldFindings_.size() < kMostFieldFindings)
      fieldFindings_.push_back(
          {finding, command_.at, command_.bits, field, keyword_, -1, 0});
  }

  // Reads a group from its '(' to its ')'. A group the segments carry holds
  // hexadecimal digits, layout and comments only; the bytes of one passed
  // over do not matter.
  CommandRead readGroup(Group &group, std::optional<FieldName> name) {
    input_.skip(1);
    for (;;) {
      const int c = skipToMark(input_);
      const Offset at = input_.tell();
      if (c == ')') {
        group.close = at;
        input_.skip(1);
        return CommandRead::kComplete;
      }
      if (c == kEndMarker)
        return stop(CommandRead::kUnterminated, -1);
      if (startsComment(input_, at, c)) {
        group.hasComment = true;
        skipComment(input_);
        continue;
      }
      if (c == ';' || c == '(')
        return stop(CommandRead::kMalformed, at);
      if (isWordByte(c)) {
        WordAround word = wordAround(input_, at);
        if (word.startsLine && isCommandWord(word.text))
          return stop(CommandRead::kNextCommand, word.begin);
      } else {
        input_.skip(1);
      }
      if (name) {
        notHex_ = true;
        notHexadecimal_ = {Finding::kLongSdrNotHexadecimal,
                           command_.at,
                           command_.bits,
                           *name,
                           std::string(1, static_cast<char>(c)),
                           at,
                           0};
        return stop(CommandRead::kMalformed, at);
      }
    }
  }

  static constexpr std::size_t kMostFieldFindings = 4;

  CommandContext &context_;
  InputStream &input_;
  LongSdr &command_;
  Expecting expecting_ = Expecting::kTdi;
  std::string keyword_; // the last word since the last group
  std::vector<Diagnostic> fieldFindings_;
  Offset stoppedAt_ = -1;
  bool notHex_ = false;
  Diagnostic notHexadecimal_{};
};

#if defined(__SSE2__)
// Bit i of the result is set when chunk[i] is one of `bytes`.
template <char... Bytes> unsigned laneMask(const char *chunk) {
  __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(chunk));
  __m128i hits = _mm_setzero_si128();
  ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(lanes, _mm_set1_epi8(Bytes)))),
   ...);
  return static_cast<unsigned>(_mm_movemask_epi8(hits));
}

// Bit i of the result is set when span[i] is one of `bytes`, for 64 bytes.
template <char... Bytes> std::uint64_t mask64(const char *span) {
  std::uint64_t mask = 0;
  for (std::ptrdiff_t chunk = 0; chunk < 4; ++chunk)
    mask |= std::uint64_t{laneMask<Bytes...>(span + 16 * chunk)}
            << (16 * chunk);
  return mask;
}
#endif

// Moves the digits among `bytes` to its end, keeping their order, going
// backwards from the end and stopping at a '('. Returns the index of the first
// digit; `reachedOpen` tells whether the '(' was met. Where SSE2 is there, 64
// bytes at a time are classified at once and each run of digits among them is
// moved in one step, so digit lines move at close to memory speed.
std::size_t compactDigitsPortably(std::span<char> bytes, bool &reachedOpen) {
  std::size_t from = bytes.size();
  std::size_t to = bytes.size();
  auto moveOne = [&] {
    char c = bytes[--from];
    if (c == '(')
      reachedOpen = true;
    else if (!isFiller(c))
      bytes[--to] = c;
  };
#if defined(__SSE2__)
  while (from >= 64 && !reachedOpen) {
    const char *span = &bytes[from - 64];
    if (mask64<'('>(span) != 0) {
      for (int i = 0; i < 64 && !reachedOpen; ++i)
        moveOne();
      continue;
    }
    std::uint64_t digits = ~mask64<' ', '\t', '\n', '\r'>(span);
    // Runs of digits, highest first. `to` never falls below the end of the
    // run being moved, so no byte is overwritten before it has been moved.
    while (digits != 0) {
      int last = 63 - std::countl_zero(digits);
      std::uint64_t gapsBelow = ~digits & ((std::uint64_t{1} << last) - 1);
      int first = gapsBelow == 0 ? 0 : 64 - std::countl_zero(gapsBelow);
      auto length =
          static_cast<std::size_t>(last) - static_cast<std::size_t>(first) + 1;
      to -= length;
      std::memmove(&bytes[to], span + first, length);
      digits &= (std::uint64_t{1} << first) - 1;
    }
    from -= 64;
  }
#endif
  while (from > 0 && !reachedOpen)
    moveOne();
  return to;
}

#if defined(SVFSEG_HAVE_AVX512)
// compactDigitsPortably() for processors with AVX-512 VBMI2: each 64 bytes are
// classified and their digits packed together in a few instructions.
SVFSEG_AVX512 std::size_t compactDigitsAvx512(std::span<char> bytes,
                                              bool &reachedOpen) {
  const __m512i blank = _mm512_set1_epi8(' ');
  const __m512i tab = _mm512_set1_epi8('\t');
  const __m512i lineFeed = _mm512_set1_epi8('\n');
  const __m512i carriageReturn = _mm512_set1_epi8('\r');
  const __m512i open = _mm512_set1_epi8('(');
  std::size_t from = bytes.size();
  std::size_t to = bytes.size();
  while (from >= 64 && !reachedOpen) {
    from -= 64;
    __m512i chunk = _mm512_loadu_si512(&bytes[from]);
    __mmask64 fillers = _mm512_cmpeq_epi8_mask(chunk, blank) |
                        _mm512_cmpeq_epi8_mask(chunk, tab) |
                        _mm512_cmpeq_epi8_mask(chunk, lineFeed) |
                        _mm512_cmpeq_epi8_mask(chunk, carriageReturn);
    std::uint64_t digits = ~static_cast<std::uint64_t>(fillers);
    if (__mmask64 opens = _mm512_cmpeq_epi8_mask(chunk, open)) {
      // The field starts after the last '(' of the chunk.
      int lastOpen = 63 - std::countl_zero(static_cast<std::uint64_t>(opens));
      digits &= lastOpen == 63 ? 0 : ~std::uint64_t{0} << (lastOpen + 1);
      reachedOpen = true;
    }
    // The packed digits go just below those moved before. The store reaches
    // no lower than `from`: the bytes it overwrites have all been read.
    auto count = static_cast<std::size_t>(std::popcount(digits));
    to -= count;
    __m512i packed = _mm512_maskz_compress_epi8(digits, chunk);
    _mm512_mask_storeu_epi8(&bytes[to], _bzhi_u64(~std::uint64_t{0}, count),
                            packed);
  }
  if (reachedOpen)
    return to;
  // Fewer than 64 bytes are left: the portable code moves them to just below
  // the digits packed so far.
  bool open_ = false;
  std::size_t first = compactDigitsPortably(bytes.first(from), open_);
  std::size_t count = from - first;
  std::memmove(&bytes[to - count], &bytes[first], count);
  reachedOpen = open_;
  return to - count;
}
#endif

std::size_t compactDigits(std::span<char> bytes, bool &reachedOpen) {
#if defined(SVFSEG_HAVE_AVX512)
  if (processorHasAvx512())
    return compactDigitsAvx512(bytes, reachedOpen);
#endif
  return compactDigitsPortably(bytes, reachedOpen);
}

// Reads one field's digits backwards from its ')', a block at a time.
class BackwardFieldReader {
public:
  BackwardFieldReader(InputStream &input, Group group, std::span<char> block)
      : input_(input), block_(block), group_(group), blockOffset_(group.close) {
  }

  // The field's next `count` digits going backwards, in their input order:
  // straight from the block where it holds them all, else gathered in
  // `scratch`. Valid until the next call.
  std::string_view nextDigits(std::size_t count, std::span<char> scratch) {
    if (digitsEnd_ - digitsBegin_ >= count) {
      digitsEnd_ -= count;
      return {&block_[digitsEnd_], count};
    }
    std::span<char> digits = scratch.last(count);
    takeDigits(digits);
    return {digits.data(), digits.size()};
  }

  // Reads the digits before those taken, up to the field's '(': returns how
  // many there are when any of them is not '0', else 0.
  std::uint64_t setDigitsLeft() {
    std::uint64_t left = 0;
    bool set = false;
    do {
      std::string_view digits(&block_[digitsBegin_], digitsEnd_ - digitsBegin_);
      left += digits.size();
      set = set || digits.find_first_not_of('0') != std::string_view::npos;
      digitsEnd_ = digitsBegin_;
    } while (readPreviousBlock());
    return set ? left : 0;
  }

private:
  // Fills `digits` with the field's next digits going backwards, so that they
  // stand in their input order. Once the field's '(' is reached, the digits
  // still missing are '0': SVF takes a short value as having leading zeroes.
  void takeDigits(std::span<char> digits) {
    std::size_t missing = digits.size();
    while (missing != 0) {
      if (digitsBegin_ == digitsEnd_ && !readPreviousBlock())
        break;
      std::size_t take = std::min(missing, digitsEnd_ - digitsBegin_);
      digitsEnd_ -= take;
      missing -= take;
      std::memcpy(&digits[missing], &block_[digitsEnd_], take);
    }
    std::fill_n(digits.begin(), missing, '0');
  }

  // Reads the block before the one read last and gathers its digits at its
  // end.
  bool readPreviousBlock() {
    if (reachedOpen_)
      return false;
    Offset begin = std::max<Offset>(
        group_.open, blockOffset_ - static_cast<Offset>(block_.size()));
    if (longLineStart_)
      begin = std::max(begin, *longLineStart_);
    std::size_t wanted = static_cast<std::size_t>(blockOffset_ - begin);
    // A failed read is kept by the input stream and fails the run.
    if (wanted == 0 || input_.readAt(begin, block_.first(wanted)) != wanted)
      return false;
    std::size_t keepFrom = group_.hasComment ? blankComments(begin, wanted) : 0;
    blockOffset_ = begin + static_cast<Offset>(keepFrom);
    std::span<char> kept = block_.subspan(keepFrom, wanted - keepFrom);
    digitsBegin_ = keepFrom + compactDigits(kept, reachedOpen_);
    digitsEnd_ = wanted;
    return true;
  }

  // In a field with comments, turns the comments among the `size` bytes read
  // from `begin` into blanks. A comment runs from its mark to its line's end,
  // so only lines whose start is known can be read: returns the index from
  // which the block holds such lines, the bytes before it being read again
  // with the block before.
  std::size_t blankComments(Offset begin, std::size_t size) {
    if (!longLineStart_) {
      if (begin == group_.open) {
        blankLines(1, size); // the lines after the field's '('
        return 0;
      }
      // The block ends at a line's start or at the ')'; a line feed before
      // its last byte starts the lines it holds whole.
      if (const void *lineFeed = std::memchr(block_.data(), '\n', size - 1)) {
        auto keepFrom = static_cast<std::size_t>(
            static_cast<const char *>(lineFeed) - block_.data() + 1);
        blankLines(keepFrom, size);
        return keepFrom;
      }
      // The block lies inside one line: where that line starts and where
      // its comment starts are found once, outside the block.
      longLineStart_ = lineStart(begin);
      longLineComment_ = firstCommentMark(
          std::max(*longLineStart_, group_.open + 1), blockOffset_);
    }
    for (std::size_t i = 0; i < size; ++i)
      if (begin + static_cast<Offset>(i) >= longLineComment_)
        block_[i] = ' ';
    if (begin == *longLineStart_)
      longLineStart_.reset();
    return 0;
  }

  // Blanks the comments of the lines in block_[from, to), the first of which
  // starts at `from`.
  void blankLines(std::size_t from, std::size_t to) {
    for (std::size_t lineBegin = from; lineBegin < to;) {
      std::size_t lineEnd = lineBegin;
      while (lineEnd < to && block_[lineEnd] != '\n')
        ++lineEnd;
      for (std::size_t i = lineBegin; i < lineEnd; ++i) {
        if (block_[i] == '!' || block_[i] == '/') {
          std::fill(&block_[i], &block_[lineEnd], ' ');
          break;
        }
      }
      lineBegin = lineEnd + 1;
    }
  }

  // The offset where the line holding the byte before `before` starts, or the
  // field's '(' where that comes first.
  Offset lineStart(Offset before) {
    BackwardBytes bytes(input_, before, group_.open);
    for (int c = bytes.previous(); c != kEndMarker; c = bytes.previous())
      if (c == '\n')
        return bytes.tell() + 1;
    return group_.open;
  }

  // The offset of the first comment mark from `from` up to `to`, or `to`.
  Offset firstCommentMark(Offset from, Offset to) {
    char chunk[256];
    while (from < to) {
      auto size = static_cast<std::size_t>(
          std::min<Offset>(to - from, Offset{sizeof chunk}));
      if (input_.readAt(from, {chunk, size}) != size)
        return to;
      for (std::size_t i = 0; i < size; ++i)
        if (chunk[i] == '!' || chunk[i] == '/')
          return from + static_cast<Offset>(i);
      from += static_cast<Offset>(size);
    }
    return to;
  }

  InputStream &input_;
  std::span<char> block_;
  Group group_;        // reading never goes before the group's '('
  Offset blockOffset_; // input offset of the first byte kept of block_
  std::size_t digitsBegin_ = 0;
  std::size_t digitsEnd_ = 0; // the digits not taken yet
  bool reachedOpen_ = false;
  // While reading back through a line longer than a block: where it starts,
  // and where its comment starts (or where it ends).
  std::optional<Offset> longLineStart_;
  Offset longLineComment_ = 0;
};

// The value of a hexadecimal digit.
unsigned hexValue(char c) {
  if (c >= '0' && c <= '9')
    return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>(upperCase(c) - 'A' + 10);
}

class SegmentWriter {
public:
  SegmentWriter(CommandContext &context, const LongSdr &command)
      : context_(context), command_(command) {}

  // Writes the segments, then reports digits of the fields that they carry
  // other than as written or not at all.
  void writeAll() {
    std::size_t blockSize = context_.readBackBlockSize;
    std::unique_ptr<char[]> &blocks = context_.readBackBlocks;
    if (!blocks)
      blocks.reset(new char[3 * blockSize]);
    std::span<char> store(blocks.get(), 3 * blockSize);
    fields_[0].emplace(context_.input, command_.tdi,
                       store.subspan(0, blockSize));
    if (command_.tdo)
      fields_[1].emplace(context_.input, *command_.tdo,
                         store.subspan(blockSize, blockSize));
    if (command_.mask)
      fields_[2].emplace(context_.input, *command_.mask,
                         store.subspan(2 * blockSize, blockSize));

    std::uint64_t segments = (command_.bits + kSegmentBits - 1) / kSegmentBits;
    std::uint64_t lastBits = command_.bits - kSegmentBits * (segments - 1);
    // A failed output takes nothing more; a command of 2^32 bits would
    // otherwise go on producing a gigabyte after a full disk.
    for (std::uint64_t segment = 1;
         segment <= segments && !context_.output.failed(); ++segment) {
      bool last = segment == segments;
      if (!last && writeFullSegment())
        continue;
      writeSegment(last ? lastBits : kSegmentBits, last);
    }
    if (!context_.output.failed())
      reportDroppedDigits();
  }

private:
  // A segment of 256 bits other than the last, written straight into the
  // output stream's buffer where it has room: the bulk of a long command.
  bool writeFullSegment() {
    constexpr std::size_t kLongest = kFullHead.size() + kTdoWord.size() +
                                     kMaskWord.size() + kFullEnd.size() +
                                     3 * kSegmentDigits;
    char *room = context_.output.room(kLongest);
    if (!room)
      return false;
    BufferWriter out{room};
    out.write(kFullHead);
    writeFields(out, kSegmentDigits);
    out.write(kFullEnd);
    context_.output.advance(static_cast<std::size_t>(out.to - room));
    return true;
  }

  void writeSegment(std::uint64_t bits, bool last) {
    OutputStream &output = context_.output;
    if (last) {
      output.write("SDR ");
      output.writeDecimal(bits);
      output.write(" TDI (");
      // The last segment's leftmost digit holds the bits of the command's
      // top digit that its length takes; any others set are above it.
      topBits_ = static_cast<unsigned>(bits % 4);
    } else {
      output.write(kFullHead);
    }
    writeFields(output, static_cast<std::size_t>((bits + 3) / 4));
    // The text after the command's ';' (normally its line end) follows the
    // last segment; the others end their own lines.
    output.write(last ? ") ;" : kFullEnd);
  }

  // Writes the segment's `digits` digits of each field present, with the
  // words that introduce TDO and MASK.
  template <typename Out> void writeFields(Out &out, std::size_t digits) {
    static constexpr std::string_view kWords[] = {"", kTdoWord, kMaskWord};
    for (std::size_t field = 0; field < fields_.size(); ++field) {
      if (!fields_[field])
        continue;
      out.write(kWords[field]);
      std::string_view taken = fields_[field]->nextDigits(digits, segment_);
      if (topBits_ != 0 && (hexValue(taken[0]) >> topBits_) != 0)
        setAboveLength_[field] = true;
      out.write(taken);
    }
  }

  void reportDroppedDigits() {
    for (std::size_t field = 0; field < fields_.size(); ++field) {
      if (!fields_[field])
        continue;
      auto name = static_cast<FieldName>(field);
      if (setAboveLength_[field])
        report(Finding::kBitsAboveLength, name, 0);
      if (std::uint64_t left = fields_[field]->setDigitsLeft())
        report(Finding::kExtraDigitsDropped, name, left);
    }
  }

  void report(Finding finding, FieldName field, std::uint64_t count) {
    context_.report(
        {finding, command_.at, command_.bits, field, {}, -1, count});
  }

  // Writes into room taken in the output stream's buffer.
  struct BufferWriter {
    char *to;
    void write(std::string_view bytes) {
      std::memcpy(to, bytes.data(), bytes.size());
      to += bytes.size();
    }
  };

  static constexpr std::string_view kFullHead = "SDRS 256 TDI (";
  static constexpr std::string_view kTdoWord = ") TDO (";
  static constexpr std::string_view kMaskWord = ") MASK (";
  static constexpr std::string_view kFullEnd = ") ;\r\n";

  CommandContext &context_;
  const LongSdr &command_;
  std::array<std::optional<BackwardFieldReader>, 3> fields_; // TDI, TDO, MASK
  std::array<char, kSegmentDigits> segment_{};
  unsigned topBits_ = 0; // in the last segment: the bits its top digit takes
  std::array<bool, 3> setAboveLength_{};
};

// Reports why a long SDR command at `at` is left as it stands.
void reportUnsplit(CommandContext &context, const LongSdr &command,
                   CommandRead read, const FieldLocator &locator) {
  if (locator.stoppedAtNonHexadecimal())
    return context.report(locator.notHexadecimal());
  Finding finding = read == CommandRead::kMalformed
                        ? Finding::kLongSdrMalformed
                        : Finding::kLongSdrUnterminated;
  context.report({finding,
                  command.at,
                  command.bits,
                  FieldName::kTdi,
                  {},
                  locator.stoppedAt(),
                  0});
}

} // namespace

bool isShortSdrInView(std::string_view afterHead) {
  WindowReader reader(afterHead, 0);
  Length length = readLength(reader);
  return length.bits && *length.bits <= kSegmentBits && !reader.ranOut();
}

void handleSdrCommand(CommandContext &context) {
  InputStream &input = context.input;
  const Offset afterHead = input.tell();
  const Offset at = afterHead - static_cast<Offset>(kSdrHead.size());
  Length length = readLength(input);
  if (length.pastLimit)
    context.report({Finding::kSdrLengthPastLimit, at, 0, FieldName::kTdi,
                    lengthText(input, length), -1, 0});
  if (!length.bits || *length.bits <= kSegmentBits)
    return leaveCommandUnchanged(context, kSdrHead, afterHead);

  LongSdr command;
  command.at = at;
  command.bits = *length.bits;
  FieldLocator locator(context, command);
  CommandRead located = locator.run();
  if (located != CommandRead::kComplete) {
    reportUnsplit(context, command, located, locator);
    return leaveCommandUnchanged(context, kSdrHead, afterHead);
  }
  locator.reportFields();
  SegmentWriter(context, command).writeAll();
  input.seek(command.semicolon + 1);
}

void checkSdrLeftInPlace(CommandContext &context, Offset at,
                         CommandPlace place) {
  // The length is read from a copy of the bytes after the word, so that the
  // input stream stays where the scanner has it.
  char after[128];
  const Offset wordEnd = at + static_cast<Offset>(kSdrHead.size());
  std::size_t count = context.input.readAt(wordEnd, after);
  WindowReader reader({after, count}, wordEnd);
  Length length = readLength(reader);
  if (length.pastLimit)
    return context.report({Finding::kSdrLengthPastLimit, at, 0, FieldName::kTdi,
                           lengthText(context.input, length), -1, 0});
  if (!length.bits || *length.bits <= kSegmentBits)
    return;
  Finding finding = place.afterAnotherCommand
                        ? Finding::kLongSdrAfterAnotherCommand
                    : place.notAtLineStart ? Finding::kLongSdrNotAtLineStart
                                           : Finding::kLongSdrNotUpperCase;
  context.report({finding, at, *length.bits, FieldName::kTdi, {}, -1, 0});
}

} // namespace svfseg
