// The SDR handler: an SDR command longer than 256 bits is written as "SDRS 256"
// segments closed by one SDR command for the bits left, each carrying the same
// stretch of the TDI, TDO and MASK fields. The segments follow the order in
// which the bits are shifted: the first carries the rightmost 64 digits of each
// field. The fields are found going forwards and then read backwards from their
// ')' in blocks, so that no field is ever held in memory whole.
#include "rewrite/command.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace svfseg {
namespace {

constexpr std::string_view kSdrHead = "SDR";
constexpr std::uint64_t kSegmentBits = 256;
constexpr std::size_t kSegmentDigits = 64;
// SVF lengths are 32-bit; a longer one is copied on as it stands.
constexpr std::uint64_t kLongestLength = 0xFFFFFFFF;

// Blanks and line ends inside a field only lay it out; every other byte in it
// is one hexadecimal digit.
bool isFiller(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

struct LongSdr {
  std::uint64_t bits = 0;
  // Offsets of each present field's ')'; the field's digits run back from
  // there to its '('.
  Offset tdiEnd = 0;
  std::optional<Offset> tdoEnd;
  std::optional<Offset> maskEnd;
  Offset semicolon = 0;
};

enum class Located { kFound, kMalformed, kUnterminated };

Located failureAt(int c) {
  return c == kEndMarker ? Located::kUnterminated : Located::kMalformed;
}

// Reads the length after "SDR": blanks and tabs, then decimal digits. Returns
// the length, or nothing when there are no digits or the value does not fit
// SVF's 32 bits. Leaves the input at the byte after the digits.
std::optional<std::uint64_t> readLength(InputStream &input) {
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
      length = length * 10 + static_cast<unsigned>(input.readByte() - '0');
    else
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
Located findGroupEnd(CommandContext &context, Offset &groupEnd) {
  Found opening = findFirst(context, kGroupOpening);
  if (opening.byte != '(')
    return failureAt(opening.byte);
  context.input.seek(opening.at + 1);
  Found closing = findFirst(context, kGroupClosing);
  if (closing.byte != ')')
    return failureAt(closing.byte);
  context.input.seek(closing.at + 1);
  groupEnd = closing.at;
  return Located::kFound;
}

// Finds the optional group introduced by the letter `kind` looks for (a 'T'
// for TDO, an 'M' for MASK), unless the command's ';' comes first.
Located findOptionalGroupEnd(CommandContext &context, SearchKind kind,
                             std::optional<Offset> &groupEnd,
                             LongSdr &command) {
  Found letter = findFirst(context, kind);
  if (letter.byte == ';') {
    command.semicolon = letter.at;
    return Located::kFound;
  }
  if (letter.byte == kEndMarker)
    return Located::kUnterminated;
  context.input.seek(letter.at + 1);
  Offset end = 0;
  Located located = findGroupEnd(context, end);
  if (located == Located::kFound)
    groupEnd = end;
  return located;
}

// Finds the fields of a long SDR command by position: the first group is TDI,
// the next group reached by a 'T' is TDO, the next reached by an 'M' is MASK;
// then the command's ';'.
Located locateFields(CommandContext &context, LongSdr &command) {
  Located located = findGroupEnd(context, command.tdiEnd);
  if (located != Located::kFound)
    return located;
  located = findOptionalGroupEnd(context, kTdoLetter, command.tdoEnd, command);
  if (located != Located::kFound || !command.tdoEnd)
    return located;
  located =
      findOptionalGroupEnd(context, kMaskLetter, command.maskEnd, command);
  if (located != Located::kFound || !command.maskEnd)
    return located;
  if (skipPastFirstOf(context.input, ";") == kEndMarker)
    return Located::kUnterminated;
  command.semicolon = context.input.tell() - 1;
  return Located::kFound;
}

// Reads one field's digits backwards from its ')', a block at a time.
class BackwardFieldReader {
public:
  BackwardFieldReader(InputStream &input, Offset fieldEnd,
                      std::span<char> block)
      : input_(input), block_(block), blockOffset_(fieldEnd) {}

  // Fills `digits` with the field's next digits going backwards, so that they
  // stand in their input order. Once the field's '(' is reached, the digits
  // still missing are '0': SVF takes a short value as having leading zeroes.
  void takeDigits(std::span<char> digits) {
    std::size_t missing = digits.size();
    while (missing != 0 && !exhausted_) {
      if (unread_ == 0 && !readPreviousBlock())
        break;
      char c = block_[--unread_];
      if (c == '(')
        exhausted_ = true;
      else if (!isFiller(c))
        digits[--missing] = c;
    }
    std::fill_n(digits.begin(), missing, '0');
  }

private:
  bool readPreviousBlock() {
    Offset begin =
        std::max<Offset>(0, blockOffset_ - static_cast<Offset>(block_.size()));
    std::size_t wanted = static_cast<std::size_t>(blockOffset_ - begin);
    // A failed read is kept by the input stream and fails the run.
    if (wanted == 0 || input_.readAt(begin, block_.first(wanted)) != wanted) {
      exhausted_ = true;
      return false;
    }
    blockOffset_ = begin;
    unread_ = wanted;
    return true;
  }

  InputStream &input_;
  std::span<char> block_;
  Offset blockOffset_; // input offset of block_[0]
  std::size_t unread_ = 0;
  bool exhausted_ = false;
};

class SegmentWriter {
public:
  SegmentWriter(CommandContext &context, const LongSdr &command)
      : context_(context), command_(command) {}

  void writeAll() {
    std::size_t blockSize = context_.readBackBlockSize;
    std::vector<char> &blocks = context_.readBackBlocks;
    blocks.resize(3 * blockSize);
    std::span<char> store(blocks);
    BackwardFieldReader tdi(context_.input, command_.tdiEnd,
                            store.subspan(0, blockSize));
    std::optional<BackwardFieldReader> tdo;
    std::optional<BackwardFieldReader> mask;
    if (command_.tdoEnd)
      tdo.emplace(context_.input, *command_.tdoEnd,
                  store.subspan(blockSize, blockSize));
    if (command_.maskEnd)
      mask.emplace(context_.input, *command_.maskEnd,
                   store.subspan(2 * blockSize, blockSize));

    std::uint64_t segments = (command_.bits + kSegmentBits - 1) / kSegmentBits;
    std::uint64_t lastBits = command_.bits - kSegmentBits * (segments - 1);
    // A failed output takes nothing more; a command of 2^32 bits would
    // otherwise go on producing a gigabyte after a full disk.
    for (std::uint64_t segment = 1;
         segment <= segments && !context_.output.failed(); ++segment) {
      bool last = segment == segments;
      writeSegment(last ? lastBits : kSegmentBits, last, tdi, tdo, mask);
    }
  }

private:
  void writeSegment(std::uint64_t bits, bool last, BackwardFieldReader &tdi,
                    std::optional<BackwardFieldReader> &tdo,
                    std::optional<BackwardFieldReader> &mask) {
    OutputStream &output = context_.output;
    if (last) {
      output.write("SDR ");
      output.writeDecimal(bits);
      output.write(" TDI (");
    } else {
      output.write("SDRS 256 TDI (");
    }
    std::size_t digits = static_cast<std::size_t>((bits + 3) / 4);
    writeDigits(tdi, digits);
    if (tdo) {
      output.write(") TDO (");
      writeDigits(*tdo, digits);
    }
    if (mask) {
      output.write(") MASK (");
      writeDigits(*mask, digits);
    }
    // The text after the command's ';' (normally its line end) follows the
    // last segment; the others end their own lines.
    output.write(last ? ") ;" : ") ;\r\n");
  }

  void writeDigits(BackwardFieldReader &field, std::size_t count) {
    std::span<char> digits = std::span(segment_).last(count);
    field.takeDigits(digits);
    context_.output.write({digits.data(), digits.size()});
  }

  CommandContext &context_;
  const LongSdr &command_;
  std::array<char, kSegmentDigits> segment_{};
};

} // namespace

void handleSdrCommand(CommandContext &context) {
  InputStream &input = context.input;
  const Offset afterHead = input.tell();
  std::optional<std::uint64_t> length = readLength(input);
  if (!length || *length <= kSegmentBits ||
      afterHead >= context.noSemicolonFrom)
    return leaveCommandUnchanged(context, kSdrHead, afterHead);

  LongSdr command;
  command.bits = *length;
  Located located = locateFields(context, command);
  if (located != Located::kFound) {
    if (located == Located::kUnterminated)
      context.noSemicolonFrom = std::min(context.noSemicolonFrom, afterHead);
    return leaveCommandUnchanged(context, kSdrHead, afterHead);
  }
  SegmentWriter(context, command).writeAll();
  input.seek(command.semicolon + 1);
}

} // namespace svfseg
