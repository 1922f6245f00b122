#include "verify/verify.h"

#include "verify/decimal.h"
#include "verify/reader.h"
#include "verify/rules.h"
#include "verify/scan.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace svfseg {
namespace {

using verify::BackwardReader;
using verify::FieldName;
using verify::ForwardReader;
using verify::isHexDigit;
using verify::kEnd;
using verify::kFields;
using verify::Leave;
using verify::LongSdr;
using verify::RunCommand;

constexpr Offset kNoLimit = std::numeric_limits<Offset>::max();
// Numbers longer than this as written are compared byte for byte rather than
// by value, so that memory stays bounded.
constexpr std::size_t kNumberCap = 4096;
// The bytes of each side a mismatch quotes, and how many equal bytes before
// the first that differs they may start with.
constexpr std::size_t kExcerpt = 32;
constexpr Offset kLeadIn = 16;
constexpr std::size_t kSegmentDigits = 64;

const char *const kFieldNames[] = {"TDI", "TDO", "MASK"};

std::string escaped(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
    case '\r':
      text += "\\r";
      break;
    case '\n':
      text += "\\n";
      break;
    case '\t':
      text += "\\t";
      break;
    case '"':
    case '\\':
      text += '\\';
      text += c;
      break;
    default:
      if (byte < 0x20 || byte >= 0x7F) {
        text += "\\x";
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
      } else {
        text += c;
      }
    }
  }
  return text;
}

std::string quoted(std::string_view bytes) {
  std::string text = "\"";
  text.append(escaped(bytes)).append("\"");
  return text;
}

// Up to kExcerpt bytes of `source` from `at`, quoted, or "the end".
std::string excerpt(ByteSource &source, Offset at) {
  char bytes[kExcerpt + 1];
  Expected<std::size_t> count = source.readAt(at, {bytes, sizeof bytes});
  if (!count || *count == 0)
    return "the end";
  std::size_t shown = std::min(*count, kExcerpt);
  std::string text = "\"";
  text.append(escaped({bytes, shown}))
      .append(*count > kExcerpt ? "...\"" : "\"");
  return text;
}

// A command of the input that the rules leave as it stands, remembered for
// the wording of a difference inside it.
struct LeftCommand {
  enum Kind : std::uint8_t {
    kNone,
    kLongSdr,
    kSdrPastLimit,
    kRun
  } kind = kNone;
  Leave leave = Leave::kNone;
  char byte = 0;
  FieldName field = FieldName::kTdi;
  std::uint64_t bits = 0;
};

std::string whyLeft(const LeftCommand &left) {
  switch (left.leave) {
  case Leave::kInputEnds:
    return "the input ends before its ';'";
  case Leave::kCommandLineFirst:
    return "a command line comes before its ';'";
  case Leave::kNotHexadecimal:
    return std::string("its ") + kFieldNames[static_cast<int>(left.field)] +
           " field holds " + quoted(std::string_view(&left.byte, 1)) +
           ", which is no hexadecimal digit";
  case Leave::kSemicolonInGroup:
    return "a ';' stands inside a parenthesised group";
  case Leave::kOpenInGroup:
    return "a '(' stands inside a parenthesised group";
  case Leave::kCloseOutsideGroup:
    return "a ')' stands outside any group";
  case Leave::kNoGroup:
    return "a ';' comes where a field must follow";
  case Leave::kWordNotEnded:
    return "its command word is followed by neither a blank nor a line end";
  case Leave::kNoCount:
    return "it has no count";
  case Leave::kNone:
    break;
  }
  return "its length does not fit 32 bits";
}

std::string leftPrefix(const LeftCommand &left) {
  switch (left.kind) {
  case LeftCommand::kLongSdr:
    return "the SDR command of " + std::to_string(left.bits) +
           " bits must be left as it stands, as " + whyLeft(left) + "; ";
  case LeftCommand::kSdrPastLimit:
    return "the SDR command must be left as it stands, as " + whyLeft(left) +
           "; ";
  case LeftCommand::kRun:
    return "the RUN command must be left as it stands, as " + whyLeft(left) +
           "; ";
  case LeftCommand::kNone:
    break;
  }
  return "";
}

template <typename Word> Word load(const char *p) {
  Word word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// A text between a segment's fields, compared as two overlapping words
// loaded whole: no call, and no store of part of a word to read it back,
// which stalled the processor on every segment.
class FixedText {
public:
  FixedText(std::size_t at, std::string text)
      : at_(at), text_(std::move(text)) {
    const char *p = text_.data();
    const std::size_t size = text_.size();
    if (size >= 8) {
      first_ = load<std::uint64_t>(p);
      last_ = load<std::uint64_t>(p + size - 8);
    } else if (size >= 4) {
      first_ = load<std::uint32_t>(p);
      last_ = load<std::uint32_t>(p + size - 4);
    } else {
      first_ = load<std::uint16_t>(p); // every text has 3 bytes at least
      last_ = load<std::uint16_t>(p + size - 2);
    }
  }
  bool isAt(const char *segment) const {
    const char *p = segment + at_;
    const std::size_t size = text_.size();
    if (size > 16)
      return std::memcmp(p, text_.data(), size) == 0;
    if (size >= 8)
      return load<std::uint64_t>(p) == first_ &&
             load<std::uint64_t>(p + size - 8) == last_;
    if (size >= 4)
      return load<std::uint32_t>(p) == first_ &&
             load<std::uint32_t>(p + size - 4) == last_;
    return load<std::uint16_t>(p) == first_ &&
           load<std::uint16_t>(p + size - 2) == last_;
  }

private:
  std::size_t at_;
  std::string text_;
  std::uint64_t first_ = 0, last_ = 0;
};

// The layout of one segment: its size, where each carried field's digits
// stand, and the fixed texts around them.
struct SegmentShape {
  std::size_t size = 0;
  std::size_t digits = 0; // of each carried field
  std::size_t slot[kFields] = {};
  std::vector<FixedText> texts;

  SegmentShape(std::string head, std::size_t fieldDigits,
               const bool (&carried)[kFields], std::string_view lineEnd)
      : digits(fieldDigits) {
    static const char *const kBefore[] = {"", ") TDO (", ") MASK ("};
    text(std::move(head));
    for (int f = 0; f < kFields; ++f) {
      if (!carried[f])
        continue;
      if (f != 0)
        text(kBefore[f]);
      slot[f] = size;
      size += digits;
    }
    text(") ;" + std::string(lineEnd));
  }
  bool holdsItsTexts(std::string_view bytes) const {
    if (bytes.size() != size)
      return false;
    for (const FixedText &text : texts)
      if (!text.isAt(bytes.data()))
        return false;
    return true;
  }

private:
  void text(std::string bytes) {
    std::size_t length = bytes.size();
    texts.emplace_back(size, std::move(bytes));
    size += length;
  }
};

// Where the digits of one segment's field differ from what the input gives.
struct DigitDiff {
  bool any = false;
  std::size_t first = 0, last = 0; // positions in the segment's field
  char written = 0, expected = 0;  // at `first`
  Offset inputAt = 0;              // of the input's digit at `first`
  void note(std::size_t at, char wrote, char wanted, Offset input) {
    if (!any) {
      any = true;
      first = at;
      written = wrote;
      expected = wanted;
      inputAt = input;
    }
    last = at;
  }
};

// The digits of a carried field as the segments carry them, read forwards
// from the input: '0's where the field is shorter than the command, then the
// field's own digits, less those beyond the command's length.
class FieldDigits {
public:
  explicit FieldDigits(ForwardReader &reader) : r_(reader) {}

  void start(const ForwardReader &shared, Offset begin, std::uint64_t digits,
             std::uint64_t width) {
    r_.seekSharing(shared, begin);
    begin_ = begin;
    pad_ = width > digits ? width - digits : 0;
    if (digits > width)
      passDigits(digits - width);
  }

  // Compares the next `count` digits with `written`, noting differences.
  void compare(const char *written, std::size_t count, DigitDiff &diff) {
    std::size_t i = 0;
    for (; i < count && pad_ > 0; ++i, --pad_)
      if (written[i] != '0')
        diff.note(i, written[i], '0', begin_);
    while (i < count) {
      if (r_.available() == 0 && !r_.fill())
        return; // only after a failed read: the field was counted
      std::size_t same = verify::matchingDigits(r_.next(), r_.available(),
                                                written + i, count - i);
      r_.setNext(r_.next() + same);
      i += same;
      if (i == count || r_.available() == 0)
        continue;
      char c = *r_.next();
      if (isHexDigit(static_cast<unsigned char>(c))) {
        diff.note(i, written[i], c, r_.tell());
        r_.setNext(r_.next() + 1);
        ++i;
      } else {
        passLayout();
      }
    }
  }

  void skip(std::uint64_t count) {
    std::uint64_t padding = std::min(count, pad_);
    pad_ -= padding;
    passDigits(count - padding);
  }

private:
  // Passes blanks, tabs, line ends and comments: all a carried field holds
  // besides its digits.
  void passLayout() {
    const char *p = r_.next();
    const char *end = r_.end();
    while (p != end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
      ++p;
    r_.setNext(p);
    if (p != end && (*p == '!' || *p == '/'))
      verify::passComment(r_);
  }
  void passDigits(std::uint64_t count) {
    while (count > 0) {
      if (r_.available() == 0 && !r_.fill())
        return;
      if (isHexDigit(static_cast<unsigned char>(*r_.next()))) {
        r_.setNext(r_.next() + 1);
        --count;
      } else {
        passLayout();
      }
    }
  }

  ForwardReader &r_;
  Offset begin_ = 0;
  std::uint64_t pad_ = 0;
};

class Verifier final : private ForwardReader::Watcher {
public:
  Verifier(ByteSource &input, ByteSource &output, const VerifyOptions &options,
           bool eager)
      : input_(input), output_(output), eager_(eager),
        in_(input, options.blockSize), out_(output, options.blockSize),
        fieldReaders_{{input, fieldBlock(options)},
                      {input, fieldBlock(options)},
                      {input, fieldBlock(options)}},
        scratch_(output, fieldBlock(options)),
        segments_(output, options.blockSize / 2) {
    in_.watch(this);
  }

  void walk();

  // The first failed read of either side, if any.
  Error firstError() const {
    for (const ForwardReader *r :
         {&in_, &out_, &fieldReaders_[0], &fieldReaders_[1], &fieldReaders_[2],
          &scratch_})
      if (r->failed())
        return r->error();
    if (segments_.failed())
      return segments_.error();
    return {};
  }
  const VerificationSummary &summary() const { return summary_; }
  const std::optional<Mismatch> &mismatch() const { return mismatch_; }
  // True when the mismatch was found comparing a stretch of copied bytes
  // whose command is known only to a walk that compares at every command.
  bool mismatchNeedsEagerWalk() const { return mismatch_ && !eager_ && inRun_; }

private:
  static std::size_t fieldBlock(const VerifyOptions &options) {
    return std::max<std::size_t>(options.blockSize / 4, 1);
  }

  void beforeDrop() override { flushRun(std::min(in_.tell(), copyLimit_)); }

  // The copied stretch of the input not compared yet runs from runFrom_ to
  // the input's position; flushRun() compares it up to `upTo`.
  void flushRun(Offset upTo);
  void compareCopied(std::string_view bytes, Offset inputAt);
  void passCommentCopied();
  void convertMark();

  void atLineStart();
  bool sdrLine();
  bool runLine();
  void startStatement(Offset at);
  void endStatement();
  void noteContent(const char *p, const char *end);
  void finish();

  void checkSplit(std::uint64_t bits, const LongSdr &sdr);
  void reportSegments(std::uint64_t bits, std::uint64_t segments,
                      const bool (&carried)[kFields], Offset start,
                      Offset firstBad);

  void checkRun(const RunCommand &run);
  std::string inputText(Offset begin, Offset end, std::size_t cap);
  std::string outputText(Offset begin, Offset end, std::size_t cap);
  bool outputHolds(std::string_view text);
  bool runWrittenAsGiven(const RunCommand &run);
  bool outputHoldsInput(Offset begin, Offset end);
  bool passOutputBlanks(bool atLeastOne);
  bool outputNumberMatches(Offset begin, Offset end, std::string &written);

  void report(Offset commandAt, Offset inputAt, Offset outputAt,
              std::string what) {
    if (!mismatch_)
      mismatch_ = Mismatch{commandAt, inputAt, outputAt, std::move(what)};
  }
  Offset commandAt() const { return open_ ? statementStart_ : lineStart_; }

  ByteSource &input_;
  ByteSource &output_;
  const bool eager_;
  ForwardReader in_;
  ForwardReader out_;
  ForwardReader fieldReaders_[kFields];
  ForwardReader scratch_; // reads the output for the wording of a mismatch
  BackwardReader segments_;

  Offset runFrom_ = 0;
  Offset copyLimit_ = kNoLimit; // the run may be compared no further
  bool inRun_ = false;          // the mismatch is in a copied stretch

  Offset lineStart_ = 0;
  Offset afterMark_ = 0; // just after the last '!' written as "//"
  LeftCommand left_;     // of the line at lineStart_
  bool open_ = false;
  Offset statementStart_ = 0;

  verify::SemicolonSearch semicolonSearch_;

  VerificationSummary summary_;
  std::optional<Mismatch> mismatch_;
};

void Verifier::flushRun(Offset upTo) {
  if (upTo <= runFrom_ || mismatch_)
    return;
  // The reader compares what it holds before it drops it, so the stretch is
  // always held; were it not, nothing may pass unchecked.
  std::optional<std::string_view> bytes = in_.buffered(runFrom_, upTo);
  if (bytes)
    compareCopied(*bytes, runFrom_);
  else
    report(commandAt(), runFrom_, out_.tell(),
           "the verifier lost the input's bytes before comparing them");
  runFrom_ = upTo;
}

void Verifier::compareCopied(std::string_view bytes, Offset inputAt) {
  while (!bytes.empty()) {
    if (out_.available() == 0 && !out_.fill()) {
      inRun_ = true;
      report(commandAt(), inputAt, out_.tell(),
             leftPrefix(left_) +
                 "the output ends where the input goes on with " +
                 excerpt(input_, inputAt));
      return;
    }
    std::size_t count = std::min(bytes.size(), out_.available());
    if (std::memcmp(bytes.data(), out_.next(), count) != 0) {
      std::size_t at = 0;
      while (bytes[at] == out_.next()[at])
        ++at;
      const Offset inputDiff = inputAt + static_cast<Offset>(at);
      const Offset outputDiff = out_.tell() + static_cast<Offset>(at);
      // Quoted from a few bytes before, on its line and after its last '!':
      // the same bytes on both sides.
      const Offset leadIn = std::clamp<Offset>(
          inputDiff - std::max(lineStart_, afterMark_), 0, kLeadIn);
      std::string what = leftPrefix(left_) + "the output has " +
                         excerpt(output_, outputDiff - leadIn) +
                         " where the input has " +
                         excerpt(input_, inputDiff - leadIn);
      inRun_ = true;
      report(commandAt(), inputDiff, outputDiff, std::move(what));
      return;
    }
    out_.setNext(out_.next() + count);
    bytes.remove_prefix(count);
    inputAt += static_cast<Offset>(count);
  }
}

void Verifier::convertMark() {
  const Offset at = in_.tell();
  flushRun(at);
  if (mismatch_)
    return;
  if (out_.ensure(2) >= 2 && out_.next()[0] == '/' && out_.next()[1] == '/') {
    out_.setNext(out_.next() + 2);
    in_.setNext(in_.next() + 1);
    runFrom_ = afterMark_ = at + 1;
    return;
  }
  std::string what = leftPrefix(left_);
  if (out_.peek() == '!')
    what += "a '!' is written as it stands; it must become \"//\"";
  else
    what += "the output has " + excerpt(output_, out_.tell()) +
            " where the input's '!' must become \"//\"";
  report(commandAt(), at, out_.tell(), std::move(what));
}

void Verifier::passCommentCopied() {
  while (!mismatch_) {
    const char *p = in_.next();
    if (p == in_.end()) {
      if (!in_.fill())
        return;
      continue;
    }
    const char *hit = verify::findAny(p, in_.end(), '\n', '!');
    in_.setNext(hit);
    if (hit == in_.end())
      continue;
    if (*hit == '\n')
      return; // left for the walk, which starts the next line
    convertMark();
  }
}

void Verifier::walk() {
  bool lineStart = true;
  while (!mismatch_) {
    if (lineStart) {
      lineStart = false;
      atLineStart();
      continue;
    }
    const char *p = in_.next();
    const char *end = in_.end();
    if (p == end) {
      if (!in_.fill())
        break;
      continue;
    }
    const char *hit = verify::findAny(p, end, '\n', ';', '!', '/');
    if (!open_)
      noteContent(p, hit);
    if (hit == end) {
      in_.setNext(end);
      continue;
    }
    in_.setNext(hit + 1);
    switch (*hit) {
    case '\n':
      lineStart = true;
      break;
    case ';':
      endStatement();
      break;
    case '!':
      in_.setNext(hit);
      convertMark();
      passCommentCopied();
      break;
    default: // '/'
      if (in_.peek() == '/')
        passCommentCopied();
      else if (!open_)
        startStatement(in_.tell() - 1);
    }
  }
  if (!mismatch_)
    finish();
}

void Verifier::atLineStart() {
  if (eager_)
    flushRun(in_.tell());
  lineStart_ = in_.tell();
  left_ = {};
  if (in_.ensure(3) >= 3) {
    // Read before either handler moves the reader.
    const std::string_view head(in_.next(), 3);
    const bool sdr = head == "SDR";
    const bool run = head == "RUN";
    if ((sdr && sdrLine()) || (run && runLine()))
      return;
  }
  // An open statement is cut short by a command line.
  if (!mismatch_ && open_ && verify::passToCommandWord(in_)) {
    if (eager_)
      flushRun(in_.tell());
    ++summary_.commands;
    statementStart_ = in_.tell();
  }
}

bool Verifier::sdrLine() {
  copyLimit_ = lineStart_;
  verify::SdrLength length = verify::readSdrLength(in_);
  if (length.kind == verify::SdrLength::kLength && length.bits > 256) {
    flushRun(lineStart_);
    if (mismatch_)
      return true;
    LongSdr sdr = verify::readLongSdr(in_);
    if (sdr.leave == Leave::kNone) {
      if (open_)
        ++summary_.commands; // cut short by this command
      checkSplit(length.bits, sdr);
      if (mismatch_)
        return true;
      ++summary_.commands;
      ++summary_.longSdrCommands;
      summary_.longSdrBits += length.bits;
      open_ = false;
      in_.seek(sdr.stoppedAt + 1);
      runFrom_ = in_.tell();
      copyLimit_ = kNoLimit;
      return true;
    }
    left_ = {LeftCommand::kLongSdr, sdr.leave, sdr.byte, sdr.field,
             length.bits};
  } else if (length.kind == verify::SdrLength::kPastLimit) {
    left_ = {LeftCommand::kSdrPastLimit, Leave::kNone, 0, FieldName::kTdi, 0};
  }
  in_.seek(lineStart_);
  copyLimit_ = kNoLimit;
  return false;
}

bool Verifier::runLine() {
  copyLimit_ = lineStart_;
  RunCommand run = verify::readRun(in_, semicolonSearch_);
  if (run.leave == Leave::kNone) {
    flushRun(lineStart_);
    if (mismatch_)
      return true;
    // RUNTEST starts a command line; a line that merely begins with RUN
    // does not, and so ends a statement left open before it.
    if (open_ && inputText(run.wordBegin, run.wordEnd, 5) == "TEST")
      ++summary_.commands;
    checkRun(run);
    if (mismatch_)
      return true;
    ++summary_.commands;
    open_ = false;
    in_.seek(run.semicolon + 1);
    runFrom_ = in_.tell();
    copyLimit_ = kNoLimit;
    return true;
  }
  left_ = {LeftCommand::kRun, run.leave, 0, FieldName::kTdi, 0};
  in_.seek(lineStart_);
  copyLimit_ = kNoLimit;
  return false;
}

void Verifier::startStatement(Offset at) {
  if (eager_)
    flushRun(at);
  open_ = true;
  statementStart_ = at;
}

void Verifier::endStatement() {
  if (eager_)
    flushRun(in_.tell());
  if (open_)
    ++summary_.commands;
  open_ = false;
}

// Opens a statement at the first byte of the window's stretch [p, end) that
// is not a blank, tab or CR, if there is one. The stretch holds no LF, ';',
// '!' or '/'.
void Verifier::noteContent(const char *p, const char *end) {
  while (p != end && (*p == ' ' || *p == '\t' || *p == '\r'))
    ++p;
  if (p != end)
    startStatement(in_.tell() + (p - in_.next()));
}

void Verifier::finish() {
  flushRun(in_.tell());
  if (mismatch_)
    return;
  if (open_)
    ++summary_.commands;
  if (out_.peek() != kEnd)
    report(lineStart_, in_.tell(), out_.tell(),
           "the output goes on after the input ends, with " +
               excerpt(output_, out_.tell()));
}

// --- Long SDR commands

void Verifier::checkSplit(std::uint64_t bits, const LongSdr &sdr) {
  const std::uint64_t segments = (bits + 255) / 256;
  const std::uint64_t width = (bits + 3) / 4;
  const std::uint64_t lastBits = bits - 256 * (segments - 1);
  bool carried[kFields];
  for (int f = 0; f < kFields; ++f)
    carried[f] = sdr.fields[f].carried;
  const SegmentShape full("SDRS 256 TDI (", kSegmentDigits, carried, "\r\n");
  const SegmentShape last("SDR " + std::to_string(lastBits) + " TDI (",
                          static_cast<std::size_t>((lastBits + 3) / 4), carried,
                          "");
  const Offset start = out_.tell();
  const Offset lastAt = start + static_cast<Offset>((segments - 1) * full.size);
  auto segmentAt = [&](std::uint64_t j) {
    return j + 1 == segments ? lastAt
                             : start + static_cast<Offset>(j * full.size);
  };
  auto shapeOf = [&](std::uint64_t j) -> const SegmentShape & {
    return j + 1 == segments ? last : full;
  };
  // An output that holds something else there (the command unsplit) shows
  // in the first segment: no need to walk the rest.
  if (!shapeOf(0).holdsItsTexts(
          segments_.get(start, shapeOf(0).size, start, &out_))) {
    reportSegments(bits, segments, carried, start, start);
    return;
  }

  FieldDigits digits[kFields] = {FieldDigits(fieldReaders_[0]),
                                 FieldDigits(fieldReaders_[1]),
                                 FieldDigits(fieldReaders_[2])};
  for (int f = 0; f < kFields; ++f)
    if (carried[f])
      digits[f].start(in_, sdr.fields[f].begin, sdr.fields[f].digits, width);

  // The segments from the last, whose fields carry the input's leftmost
  // digits, to the first: the input's fields are then read forwards.
  // Differences are noted and the walk goes on, so that the first segment
  // that differs is the one reported.
  std::optional<std::uint64_t> badShape;
  struct {
    std::uint64_t segment = 0;
    int field = 0;
    DigitDiff diff;
    std::size_t digits = 0;
    Offset outputAt = 0;
  } bad;
  for (std::uint64_t j = segments; j-- > 0;) {
    const SegmentShape &shape = shapeOf(j);
    const Offset at = segmentAt(j);
    std::string_view bytes = segments_.get(at, shape.size, start, &out_);
    if (!shape.holdsItsTexts(bytes)) {
      badShape = j;
      for (int f = 0; f < kFields; ++f)
        if (carried[f])
          digits[f].skip(shape.digits);
      continue;
    }
    for (int f = 0; f < kFields; ++f) {
      if (!carried[f])
        continue;
      DigitDiff diff;
      digits[f].compare(bytes.data() + shape.slot[f], shape.digits, diff);
      if (diff.any && (!bad.diff.any || j < bad.segment))
        bad = {j, f, diff, shape.digits,
               at + static_cast<Offset>(shape.slot[f] + diff.first)};
    }
  }
  if (firstError())
    return;
  if (badShape) {
    reportSegments(bits, segments, carried, start, segmentAt(*badShape));
    return;
  }
  if (bad.diff.any) {
    const std::uint64_t base = 256 * bad.segment;
    const std::uint64_t fieldDigits = bad.digits;
    const std::uint64_t low = base + 4 * (fieldDigits - 1 - bad.diff.last);
    const std::uint64_t high =
        std::min(base + 4 * (fieldDigits - 1 - bad.diff.first) + 3, bits - 1);
    std::string what = std::string(kFieldNames[bad.field]) + " bits " +
                       std::to_string(low) + " to " + std::to_string(high) +
                       " differ in segment " + std::to_string(bad.segment + 1) +
                       " of " + std::to_string(segments) + ": ";
    if (bad.diff.last != bad.diff.first)
      what += "at bits " +
              std::to_string(std::min(
                  base + 4 * (fieldDigits - 1 - bad.diff.first), bits - 1)) +
              " to " + std::to_string(high) + " ";
    what += std::string("the output has ") + bad.diff.written +
            " where the input has " + bad.diff.expected;
    report(lineStart_, bad.diff.inputAt, bad.outputAt, std::move(what));
    return;
  }
  out_.seek(lastAt + static_cast<Offset>(last.size));
}

// Words what is wrong with the segments the output holds for a long SDR
// command, reading them forwards as a player would; `firstBad` is the first
// segment whose fixed texts were not in their places.
void Verifier::reportSegments(std::uint64_t bits, std::uint64_t segments,
                              const bool (&carried)[kFields], Offset start,
                              Offset firstBad) {
  ForwardReader &r = scratch_;
  r.seekSharing(out_, start);
  auto holds = [&](std::string_view text) {
    if (r.ensure(text.size()) < text.size() ||
        std::memcmp(r.next(), text.data(), text.size()) != 0)
      return false;
    r.setNext(r.next() + text.size());
    return true;
  };
  auto fieldList = [](const bool(&fields)[kFields]) {
    std::string list;
    for (int f = 0; f < kFields; ++f)
      if (fields[f])
        list += (list.empty() ? "" : ", ") + std::string(kFieldNames[f]);
    return list;
  };
  struct Finding {
    bool any = false;
    Offset at = 0;
    std::string what;
  };
  auto note = [](Finding &finding, Offset at, std::string what) {
    if (!finding.any)
      finding = {true, at, std::move(what)};
  };
  Finding syntax, oddLength, fields, digitCount;
  std::uint64_t sum = 0;
  std::uint64_t count = 0;
  bool closed = false;
  for (std::uint64_t k = 1; k <= segments + 1 && !syntax.any; ++k) {
    const Offset at = r.tell();
    const std::string segment = "segment " + std::to_string(k);
    bool isFull = holds("SDRS ");
    if (!isFull && !holds("SDR ")) {
      note(syntax, at,
           k == 1 ? "the output has " + excerpt(output_, at) +
                        " where the command's segments belong"
                  : "the segments are not closed by an SDR command: after " +
                        std::to_string(k - 1) + " the output has " +
                        excerpt(output_, at));
      break;
    }
    std::uint64_t length = 0;
    int lengthDigits = 0;
    for (int c = r.peek(); c >= '0' && c <= '9';
         r.setNext(r.next() + 1), c = r.peek())
      if (++lengthDigits <= 12)
        length = length * 10 + static_cast<std::uint64_t>(c - '0');
    if (lengthDigits == 0) {
      note(syntax, at, segment + " has no length: " + excerpt(output_, at));
      break;
    }
    ++count;
    if (k == 1 && !isFull && length == bits) {
      note(syntax, at,
           "the SDR command of " + std::to_string(bits) +
               " bits is written unsplit; it must become " +
               std::to_string(segments) + " segments");
      break;
    }
    sum += length;
    if (isFull && length != 256)
      note(oddLength, at,
           segment + " is SDRS " + std::to_string(length) +
               "; every segment but the last carries 256 bits");
    bool has[kFields] = {};
    std::uint64_t held[kFields] = {};
    static const char *const kBefore[] = {" TDI (", ") TDO (", ") MASK ("};
    for (int f = 0; f < kFields && !syntax.any; ++f) {
      if (!holds(kBefore[f])) {
        if (f == 0)
          note(syntax, r.tell(),
               segment + ": the output has " + excerpt(output_, r.tell()) +
                   " where \" TDI (\" belongs");
        continue;
      }
      has[f] = true;
      while (r.peek() != kEnd && isHexDigit(r.peek()) && held[f] <= 256) {
        ++held[f];
        r.setNext(r.next() + 1);
      }
      if (r.peek() != ')')
        note(syntax, r.tell(),
             segment + ": its " + kFieldNames[f] + " field holds " +
                 excerpt(output_, r.tell()) + " where its ')' belongs");
    }
    if (syntax.any)
      break;
    if (!holds(") ;")) {
      note(syntax, r.tell(),
           segment + ": the output has " + excerpt(output_, r.tell()) +
               " where \") ;\" belongs");
      break;
    }
    if (isFull && !holds("\r\n")) {
      note(syntax, r.tell(),
           segment + " does not end in CR LF: the output has " +
               excerpt(output_, r.tell()) + " after its ';'");
      break;
    }
    bool sameFields = true;
    for (int f = 0; f < kFields; ++f)
      sameFields = sameFields && has[f] == carried[f];
    if (!sameFields)
      note(fields, at,
           segment + " carries " + fieldList(has) +
               "; the command's segments carry " + fieldList(carried));
    for (int f = 0; f < kFields; ++f)
      if (has[f] && held[f] != (length + 3) / 4)
        note(digitCount, at,
             segment + ": its " + kFieldNames[f] + " field holds " +
                 std::to_string(held[f]) + " digits for " +
                 std::to_string(length) + " bits");
    if (!isFull) {
      closed = true;
      break;
    }
  }
  Finding found;
  if (syntax.any)
    found = syntax;
  else if (!closed)
    found = {true, r.tell(),
             "the segments are not closed by an SDR command within the " +
                 std::to_string(segments) + " segments the command takes"};
  else if (sum != bits)
    found = {true, start,
             "segment lengths add up to " + std::to_string(sum) +
                 " bits for a command of " + std::to_string(bits)};
  else if (oddLength.any)
    found = oddLength;
  else if (fields.any)
    found = fields;
  else if (digitCount.any)
    found = digitCount;
  else if (count != segments)
    found = {true, start,
             std::to_string(count) + " segments for a command of " +
                 std::to_string(bits) + " bits, which takes " +
                 std::to_string(segments)};
  else
    found = {true, firstBad,
             "a segment is not written as it should be: the output has " +
                 excerpt(output_, firstBad)};
  report(lineStart_, lineStart_, found.at, std::move(found.what));
}

// --- RUN commands

std::string Verifier::inputText(Offset begin, Offset end, std::size_t cap) {
  end = std::min(end, begin + static_cast<Offset>(cap));
  if (std::optional<std::string_view> held = in_.buffered(begin, end))
    return std::string(*held);
  std::string text(static_cast<std::size_t>(end - begin), '\0');
  Expected<std::size_t> count =
      input_.readAt(begin, {text.data(), text.size()});
  text.resize(count ? *count : 0);
  return text;
}

std::string Verifier::outputText(Offset begin, Offset end, std::size_t cap) {
  end = std::min(end, begin + static_cast<Offset>(cap));
  if (std::optional<std::string_view> held = out_.buffered(begin, end))
    return std::string(*held);
  std::string text(static_cast<std::size_t>(end - begin), '\0');
  Expected<std::size_t> count =
      output_.readAt(begin, {text.data(), text.size()});
  text.resize(count ? *count : 0);
  return text;
}

bool Verifier::outputHolds(std::string_view text) {
  for (char c : text) {
    if (out_.peek() != static_cast<unsigned char>(c))
      return false;
    out_.setNext(out_.next() + 1);
  }
  return true;
}

// Compares the input's bytes [begin, end) with the output's next ones, read
// through a field reader (the fields are not in use meanwhile).
bool Verifier::outputHoldsInput(Offset begin, Offset end) {
  if (std::optional<std::string_view> held = in_.buffered(begin, end))
    return outputHolds(*held);
  ForwardReader &r = fieldReaders_[0];
  r.seek(begin);
  for (Offset at = begin; at < end; ++at) {
    int c = r.get();
    if (c == kEnd || out_.peek() != c)
      return false;
    out_.setNext(out_.next() + 1);
  }
  return true;
}

bool Verifier::passOutputBlanks(bool atLeastOne) {
  bool passed = false;
  for (int c = out_.peek(); c == ' ' || c == '\t';
       c = out_.peek(), passed = true)
    out_.setNext(out_.next() + 1);
  return passed || !atLeastOne;
}

// Reads the number at the output's position and tells whether it has the
// value of the input's number [begin, end); `written` gets the output's.
bool Verifier::outputNumberMatches(Offset begin, Offset end,
                                   std::string &written) {
  const Offset at = out_.tell();
  if (!verify::passNumber(out_)) {
    written = excerpt(output_, at);
    return false;
  }
  const Offset after = out_.tell();
  const std::string text = outputText(at, after, kNumberCap + 1);
  written = quoted(text.substr(0, 40));
  if (end - begin > static_cast<Offset>(kNumberCap) ||
      after - at > static_cast<Offset>(kNumberCap)) {
    // Too long to reduce in memory: the same bytes, or a mismatch.
    if (end - begin != after - at)
      return false;
    out_.seek(at);
    return outputHoldsInput(begin, end);
  }
  return verify::sameValue(inputText(begin, end, kNumberCap), text);
}

// The reduced form exactly as the rules give it, where the input's block
// holds the command's parts: the output mostly holds just that, and the
// comparison by value is needed only where it does not. Compared piece by
// piece in the output's window, without building it first.
bool Verifier::runWrittenAsGiven(const RunCommand &run) {
  auto part = [&](Offset begin, Offset end) {
    return in_.buffered(begin, end);
  };
  std::optional<std::string_view> word = part(run.wordBegin, run.wordEnd);
  std::optional<std::string_view> count = part(run.countBegin, run.countEnd);
  std::optional<std::string_view> unit = part(run.unitBegin, run.unitEnd);
  std::optional<std::string_view> time =
      run.hasMinimumTime ? part(run.timeBegin, run.timeEnd)
                         : std::optional<std::string_view>("");
  if (!word || !count || !unit || !time)
    return false;
  const std::string_view wordSeparator = run.afterWord == '\t' ? "\t" : " ";
  const std::string_view unitSeparator = unit->empty()            ? ""
                                         : run.afterCount == '\t' ? "\t"
                                                                  : " ";
  const std::string_view pieces[] = {
      "RUN", *word, wordSeparator, *count, unitSeparator, *unit, " ;"};
  const std::string_view timePieces[] = {"\r\nRUN", *word, wordSeparator, *time,
                                         " SEC ;"};
  std::size_t size = 0;
  for (std::string_view piece : pieces)
    size += piece.size();
  if (run.hasMinimumTime)
    for (std::string_view piece : timePieces)
      size += piece.size();
  if (out_.ensure(std::min(size, ForwardReader::kLookahead)) < size)
    return false; // across the output's window: compared by value
  const char *at = out_.next();
  auto holds = [&](std::span<const std::string_view> list) {
    for (std::string_view piece : list) {
      if (std::memcmp(at, piece.data(), piece.size()) != 0)
        return false;
      at += piece.size();
    }
    return true;
  };
  if (!holds(pieces) || (run.hasMinimumTime && !holds(timePieces)))
    return false;
  out_.setNext(at);
  return true;
}

void Verifier::checkRun(const RunCommand &run) {
  if (runWrittenAsGiven(run))
    return;
  const std::string word = inputText(run.wordBegin, run.wordEnd, 40);
  const std::string command = "RUN" + escaped(word);
  const Offset outputStart = out_.tell();
  auto fail = [&](Offset inputAt, std::string what) {
    report(lineStart_, inputAt, out_.tell(), std::move(what));
  };
  auto shown = [&](Offset begin, Offset end) {
    return escaped(inputText(begin, end, 40));
  };
  auto startsCommand = [&] {
    return outputHolds("RUN") && outputHoldsInput(run.wordBegin, run.wordEnd) &&
           passOutputBlanks(true);
  };
  if (!startsCommand()) {
    fail(lineStart_, "the reduced " + command + " command is written as " +
                         excerpt(output_, outputStart));
    return;
  }
  std::string written;
  if (!outputNumberMatches(run.countBegin, run.countEnd, written)) {
    fail(run.countBegin, command + " count " +
                             shown(run.countBegin, run.countEnd) +
                             " written as " + written);
    return;
  }
  const Offset unitAt = out_.tell();
  const bool blanks = passOutputBlanks(false);
  if (run.unitEnd > run.unitBegin) {
    const Offset wordAt = out_.tell();
    bool same = blanks && outputHoldsInput(run.unitBegin, run.unitEnd);
    int c = out_.peek();
    if (!same || (c != ' ' && c != '\t' && c != ';')) {
      out_.seek(wordAt);
      verify::passWord(out_);
      fail(run.unitBegin,
           command + " unit " + shown(run.unitBegin, run.unitEnd) +
               " written as " +
               (out_.tell() > wordAt
                    ? quoted(outputText(wordAt, out_.tell(), 40))
                    : "nothing: the output has " + excerpt(output_, wordAt)));
      return;
    }
    passOutputBlanks(false);
  }
  if (!outputHolds(";")) {
    fail(run.unitBegin, "the reduced " + command + " command should end " +
                            (run.unitEnd > run.unitBegin
                                 ? "after its unit"
                                 : "after its count, which has no unit") +
                            " with ';'; the output has " +
                            excerpt(output_, unitAt));
    return;
  }
  if (!run.hasMinimumTime)
    return;
  const Offset lineEnd = out_.tell();
  outputHolds("\r");
  if (!outputHolds("\n") || !startsCommand()) {
    fail(run.timeBegin, command + " minimum time " +
                            shown(run.timeBegin, run.timeEnd) +
                            " SEC missing: after the count the output has " +
                            excerpt(output_, lineEnd));
    return;
  }
  if (!outputNumberMatches(run.timeBegin, run.timeEnd, written)) {
    fail(run.timeBegin, command + " minimum time " +
                            shown(run.timeBegin, run.timeEnd) + " written as " +
                            written);
    return;
  }
  const Offset secAt = out_.tell();
  if (!passOutputBlanks(true) || !outputHolds("SEC") ||
      (passOutputBlanks(false), !outputHolds(";")))
    fail(run.timeBegin,
         command + " minimum time " + shown(run.timeBegin, run.timeEnd) +
             " should be followed by \"SEC ;\"; the output has " +
             excerpt(output_, secAt));
}

} // namespace

Expected<Verification> verifyConversion(ByteSource &input, ByteSource &output,
                                        const VerifyOptions &options) {
  Verification result;
  {
    Verifier verifier(input, output, options, false);
    verifier.walk();
    if (Error error = verifier.firstError())
      return error;
    result.summary = verifier.summary();
    result.mismatch = verifier.mismatch();
    if (!verifier.mismatchNeedsEagerWalk())
      return result;
  }
  // The lazy walk compares long copied stretches at once; a walk that
  // compares at every command knows which one the difference is in.
  Verifier verifier(input, output, options, true);
  verifier.walk();
  if (Error error = verifier.firstError())
    return error;
  result.summary = verifier.summary();
  result.mismatch = verifier.mismatch();
  return result;
}

} // namespace svfseg
