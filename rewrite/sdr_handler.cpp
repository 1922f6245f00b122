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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
namespace svfseg {
namespace {

constexpr std::string_view kSdrHead = "SDR";
constexpr std::uint64_t kSegmentBits = 256;
constexpr std::size_t kSegmentDigits = 64;
// SVF lengths are 32-bit; a longer one is copied on as it stands.
constexpr std::uint64_t kLongestLength = 0xFFFFFFFF;

// Blanks, tabs and line ends inside a field only lay it out; every other byte
// in it is one hexadecimal digit.
bool isFiller(char c) { return isWhitespace(c); }

// A parenthesised group: the offsets of its first '(' and of its ')'. The
// field's digits run back from the ')' to the '(' nearest before it.
struct Group {
  Offset open = 0;
  Offset close = 0;
};

struct LongSdr {
  std::uint64_t bits = 0;
  Group tdi;
  std::optional<Group> tdo;
  std::optional<Group> mask;
  Offset semicolon = 0;
};

// Reads the length after "SDR": blanks and tabs, then decimal digits. Returns
// the length, or nothing when there are no digits or the value does not fit
// SVF's 32 bits. Leaves the input at the byte after the digits.
template <typename Reader>
std::optional<std::uint64_t> readLength(Reader &input) {
  if (!isBlankOrTab(input.peekByte()))
    return std::nullopt; // "SDRS" or another word that merely starts with SDR
  while (isBlankOrTab(input.peekByte()))
    input.skip(1);
  if (!isDigit(input.peekByte()))
    return std::nullopt;
  std::uint64_t length = 0;
  while (isDigit(input.peekByte())) {
    // Once past the limit the value stays past it, so it never wraps around.
    if (length <= kLongestLength)
      length = length * 10 + static_cast<unsigned>(input.peekByte() - '0');
    input.skip(1);
  }
  if (length > kLongestLength)
    return std::nullopt;
  return length;
}

// The searches that find a long SDR command's fields, and the bytes each looks
// for; each ends at the command's ';' too.
enum SearchKind { kGroupOpening, kGroupClosing, kTdoLetter, kMaskLetter };
constexpr std::string_view kSearchTargets[] = {"(;)", ");", "T;", "M;"};

// The first byte that a search of `kind` looks for, at or after the input's
// position: the byte (kEndMarker at the end of the input) and its offset.
struct Found {
  int byte;
  Offset at;
};

// Finds the first byte that a search of `kind` looks for. When the last search
// of that kind covers the input's position, its answer is taken and the input
// is not moved; a search made now leaves the input past the byte. Callers that
// go on seek past the byte themselves; the input position does not matter to
// one that gives up, and not moving keeps the block the scanner resumes in.
Found findFirst(CommandContext &context, SearchKind kind) {
  InputStream &input = context.input;
  RememberedSearch &last = context.sdrSearches[kind];
  const Offset from = input.tell();
  if (from >= last.from && from <= last.at)
    return {last.byte, last.at};
  int byte = skipPastFirstOf(input, kSearchTargets[kind]);
  last = {from, byte == kEndMarker ? input.tell() : input.tell() - 1, byte};
  return {last.byte, last.at};
}

// Finds the next parenthesised group: its '(' and then its ')'. A ';' first
// means the command has no such group.
CommandRead findGroup(CommandContext &context, Group &group) {
  Found opening = findFirst(context, kGroupOpening);
  if (opening.byte != '(')
    return failureAt(opening.byte);
  group.open = opening.at;
  context.input.seek(opening.at + 1);
  Found closing = findFirst(context, kGroupClosing);
  if (closing.byte != ')')
    return failureAt(closing.byte);
  context.input.seek(closing.at + 1);
  group.close = closing.at;
  return CommandRead::kComplete;
}

// Finds the optional group introduced by the letter `kind` looks for (a 'T'
// for TDO, an 'M' for MASK), unless the command's ';' comes first.
CommandRead findOptionalGroup(CommandContext &context, SearchKind kind,
                              std::optional<Group> &group, LongSdr &command) {
  Found letter = findFirst(context, kind);
  if (letter.byte == ';') {
    command.semicolon = letter.at;
    return CommandRead::kComplete;
  }
  if (letter.byte == kEndMarker)
    return CommandRead::kUnterminated;
  context.input.seek(letter.at + 1);
  Group found;
  CommandRead located = findGroup(context, found);
  if (located == CommandRead::kComplete)
    group = found;
  return located;
}

// Finds the fields of a long SDR command by position: the first group is TDI,
// the next group reached by a 'T' is TDO, the next reached by an 'M' is MASK;
// then the command's ';'.
CommandRead locateFields(CommandContext &context, LongSdr &command) {
  CommandRead located = findGroup(context, command.tdi);
  if (located != CommandRead::kComplete)
    return located;
  located = findOptionalGroup(context, kTdoLetter, command.tdo, command);
  if (located != CommandRead::kComplete || !command.tdo)
    return located;
  located = findOptionalGroup(context, kMaskLetter, command.mask, command);
  if (located != CommandRead::kComplete || !command.mask)
    return located;
  if (skipPastFirstOf(context.input, ";") == kEndMarker)
    return CommandRead::kUnterminated;
  command.semicolon = context.input.tell() - 1;
  return CommandRead::kComplete;
}

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
      : input_(input), block_(block), groupOpen_(group.open),
        blockOffset_(group.close) {}

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
        groupOpen_, blockOffset_ - static_cast<Offset>(block_.size()));
    std::size_t wanted = static_cast<std::size_t>(blockOffset_ - begin);
    // A failed read is kept by the input stream and fails the run.
    if (wanted == 0 || input_.readAt(begin, block_.first(wanted)) != wanted)
      return false;
    blockOffset_ = begin;
    digitsBegin_ = compactDigits(block_.first(wanted), reachedOpen_);
    digitsEnd_ = wanted;
    return true;
  }

  InputStream &input_;
  std::span<char> block_;
  Offset groupOpen_;   // reading never goes before the group's first '('
  Offset blockOffset_; // input offset of block_[0]
  std::size_t digitsBegin_ = 0;
  std::size_t digitsEnd_ = 0; // the digits not taken yet
  bool reachedOpen_ = false;
};

class SegmentWriter {
public:
  SegmentWriter(CommandContext &context, const LongSdr &command)
      : context_(context), command_(command) {}

  void writeAll() {
    std::size_t blockSize = context_.readBackBlockSize;
    std::unique_ptr<char[]> &blocks = context_.readBackBlocks;
    if (!blocks)
      blocks.reset(new char[3 * blockSize]);
    std::span<char> store(blocks.get(), 3 * blockSize);
    BackwardFieldReader tdi(context_.input, command_.tdi,
                            store.subspan(0, blockSize));
    std::optional<BackwardFieldReader> tdo;
    std::optional<BackwardFieldReader> mask;
    if (command_.tdo)
      tdo.emplace(context_.input, *command_.tdo,
                  store.subspan(blockSize, blockSize));
    if (command_.mask)
      mask.emplace(context_.input, *command_.mask,
                   store.subspan(2 * blockSize, blockSize));

    std::uint64_t segments = (command_.bits + kSegmentBits - 1) / kSegmentBits;
    std::uint64_t lastBits = command_.bits - kSegmentBits * (segments - 1);
    // A failed output takes nothing more; a command of 2^32 bits would
    // otherwise go on producing a gigabyte after a full disk.
    for (std::uint64_t segment = 1;
         segment <= segments && !context_.output.failed(); ++segment) {
      bool last = segment == segments;
      if (!last && writeFullSegment(tdi, tdo, mask))
        continue;
      writeSegment(last ? lastBits : kSegmentBits, last, tdi, tdo, mask);
    }
  }

private:
  // A segment of 256 bits other than the last, written straight into the
  // output stream's buffer where it has room: the bulk of a long command.
  bool writeFullSegment(BackwardFieldReader &tdi,
                        std::optional<BackwardFieldReader> &tdo,
                        std::optional<BackwardFieldReader> &mask) {
    constexpr std::size_t kLongest = kFullHead.size() + kTdoWord.size() +
                                     kMaskWord.size() + kFullEnd.size() +
                                     3 * kSegmentDigits;
    char *room = context_.output.room(kLongest);
    if (!room)
      return false;
    BufferWriter out{room};
    out.write(kFullHead);
    writeFields(out, kSegmentDigits, tdi, tdo, mask);
    out.write(kFullEnd);
    context_.output.advance(static_cast<std::size_t>(out.to - room));
    return true;
  }

  void writeSegment(std::uint64_t bits, bool last, BackwardFieldReader &tdi,
                    std::optional<BackwardFieldReader> &tdo,
                    std::optional<BackwardFieldReader> &mask) {
    OutputStream &output = context_.output;
    if (last) {
      output.write("SDR ");
      output.writeDecimal(bits);
      output.write(" TDI (");
    } else {
      output.write(kFullHead);
    }
    writeFields(output, static_cast<std::size_t>((bits + 3) / 4), tdi, tdo,
                mask);
    // The text after the command's ';' (normally its line end) follows the
    // last segment; the others end their own lines.
    output.write(last ? ") ;" : kFullEnd);
  }

  // Writes the segment's `digits` digits of each field present, with the
  // words that introduce TDO and MASK.
  template <typename Out>
  void writeFields(Out &out, std::size_t digits, BackwardFieldReader &tdi,
                   std::optional<BackwardFieldReader> &tdo,
                   std::optional<BackwardFieldReader> &mask) {
    out.write(tdi.nextDigits(digits, segment_));
    if (tdo) {
      out.write(kTdoWord);
      out.write(tdo->nextDigits(digits, segment_));
    }
    if (mask) {
      out.write(kMaskWord);
      out.write(mask->nextDigits(digits, segment_));
    }
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
  std::array<char, kSegmentDigits> segment_{};
};

} // namespace

bool isShortSdrInView(std::string_view afterHead) {
  WindowReader reader(afterHead, 0);
  std::optional<std::uint64_t> length = readLength(reader);
  return length && *length <= kSegmentBits && !reader.ranOut();
}

void handleSdrCommand(CommandContext &context) {
  InputStream &input = context.input;
  const Offset afterHead = input.tell();
  std::optional<std::uint64_t> length = readLength(input);
  if (!length || *length <= kSegmentBits ||
      afterHead >= context.noSemicolonFrom)
    return leaveCommandUnchanged(context, kSdrHead, afterHead);

  LongSdr command;
  command.bits = *length;
  CommandRead located = locateFields(context, command);
  if (located != CommandRead::kComplete)
    return leaveUnreadCommand(context, kSdrHead, afterHead, located);
  SegmentWriter(context, command).writeAll();
  input.seek(command.semicolon + 1);
}

} // namespace svfseg
