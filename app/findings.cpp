#include "app/findings.h"

#include <algorithm>
#include <memory>

namespace svfseg {
namespace {

const char *fieldName(FieldName field) {
  switch (field) {
  case FieldName::kTdi:
    return "TDI";
  case FieldName::kTdo:
    return "TDO";
  case FieldName::kMask:
    return "MASK";
  }
  return "";
}

std::string sdrCommand(const Diagnostic &finding) {
  return "SDR command of " + std::to_string(finding.bits) + " bits";
}

// "before the next command on line 12", or "before the end of the input".
std::string beforeWhat(std::uint64_t detailLine) {
  if (detailLine == 0)
    return "before the end of the input";
  return "before the next command, on line " + std::to_string(detailLine);
}

std::string quoted(const std::string &text) { return "'" + text + "'"; }

// The field a finding names, as written: "its SMASK field", or "its field
// without a keyword".
std::string writtenField(const Diagnostic &finding) {
  if (finding.word.empty())
    return "its field without a keyword";
  return "its " + finding.word + " field";
}

// " on line 7", where that is not the command's own line.
std::string onLine(std::uint64_t detailLine, std::uint64_t line) {
  return detailLine == line ? "" : " on line " + std::to_string(detailLine);
}

std::string describeUnsplit(const Diagnostic &finding, std::uint64_t line,
                            std::uint64_t detailLine) {
  const std::string unsplit = "the output holds it unsplit, over 256 bits";
  switch (finding.finding) {
  case Finding::kLongSdrNotAtLineStart:
    return sdrCommand(finding) + " does not start its line, so " + unsplit +
           "; start it in the first column to have it split";
  case Finding::kLongSdrNotUpperCase:
    return sdrCommand(finding) + " is not written in upper case, so " +
           unsplit + "; write 'SDR' to have it split";
  case Finding::kLongSdrAfterAnotherCommand:
    return sdrCommand(finding) + " follows another command on its line, so " +
           unsplit + "; put it on a line of its own to have it split";
  case Finding::kLongSdrUnterminated:
    return sdrCommand(finding) + " has no ';' " + beforeWhat(detailLine) +
           ", so " + unsplit + "; end it with ';' to have it split";
  case Finding::kLongSdrMalformed:
    return sdrCommand(finding) + " has a field that cannot be read" +
           onLine(detailLine, line) + ", so " + unsplit +
           "; check its parentheses and its ';'";
  case Finding::kLongSdrNotHexadecimal:
    return sdrCommand(finding) + " has " + quoted(finding.word) + " in its " +
           fieldName(finding.field) + " field" + onLine(detailLine, line) +
           ", which is no hexadecimal digit, so " + unsplit +
           "; correct the field to have it split";
  case Finding::kSdrLengthPastLimit:
    return "SDR command's length " + finding.word +
           " does not fit 32 bits, so the output holds the command as it "
           "stands; check its length";
  default:
    return {};
  }
}

std::string describeFields(const Diagnostic &finding) {
  switch (finding.finding) {
  case Finding::kFieldCarriedAs:
    return sdrCommand(finding) + ": " + writtenField(finding) +
           " is carried as the " + fieldName(finding.field) +
           " of its segments, as fields are taken by their order; write "
           "TDI, TDO and MASK in this order to carry each as named";
  case Finding::kFieldDropped:
    return sdrCommand(finding) + ": " + writtenField(finding) +
           " is not carried by its segments, as fields are taken by their "
           "order; write TDI, TDO and MASK in this order, in upper case, to "
           "carry it";
  case Finding::kExtraDigitsDropped:
    return sdrCommand(finding) + " has " + std::to_string(finding.count) +
           (finding.count == 1 ? " digit" : " digits") + " more in its " +
           fieldName(finding.field) +
           " field than its length takes, with bits set; the output drops " +
           (finding.count == 1 ? "it" : "them") +
           "; check the command's length";
  case Finding::kBitsAboveLength:
    return sdrCommand(finding) + " sets bits above its length in its " +
           fieldName(finding.field) +
           " field; its last segment carries them as written; check the "
           "command's length";
  default:
    return {};
  }
}

// Why a RUNTEST command was not reduced, and what it holds.
std::string describeUnreduced(std::uint64_t parts) {
  std::vector<std::string> why;
  if (parts & kAfterAnotherCommand)
    why.emplace_back("follows another command on its line");
  else if (parts & kNotAtLineStart)
    why.emplace_back("does not start its line");
  if (parts & kNotUpperCase)
    why.emplace_back("is not written in upper case");
  if (parts & kHasNoCount)
    why.emplace_back("has no count");
  std::vector<std::string> held;
  if (parts & kHasStateName)
    held.emplace_back("its state name");
  if (parts & kHasMinimumTime)
    held.emplace_back("its minimum time");
  if (parts & kHasClause)
    held.emplace_back("its clauses after the unit");
  auto join = [](const std::vector<std::string> &words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i)
      text += (i == 0 ? "" : i + 1 == words.size() ? " and " : ", ") + words[i];
    return text;
  };
  return "RUNTEST command " + join(why) +
         ", so the output holds it unreduced, with " + join(held) +
         "; write it as 'RUNTEST count unit;' at the start of a line to have "
         "it reduced";
}

} // namespace

std::string describeFinding(const Diagnostic &finding, std::uint64_t line,
                            std::uint64_t detailLine) {
  switch (finding.finding) {
  case Finding::kFieldCarriedAs:
  case Finding::kFieldDropped:
  case Finding::kExtraDigitsDropped:
  case Finding::kBitsAboveLength:
    return describeFields(finding);
  case Finding::kRunTestUnterminated:
    return finding.word + " command has no ';' " + beforeWhat(detailLine) +
           ", so the output holds it as it stands; end it with ';' to have "
           "it reduced";
  case Finding::kRunTestUnreduced:
    return describeUnreduced(finding.count);
  default:
    return describeUnsplit(finding, line, detailLine);
  }
}

Expected<std::vector<std::uint64_t>>
lineNumbers(ByteSource &source, const std::vector<Offset> &offsets) {
  std::vector<Offset> sorted = offsets;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::uint64_t> lines(sorted.size());
  constexpr std::size_t kChunk = std::size_t{256} * 1024;
  std::unique_ptr<char[]> chunk(new char[kChunk]);
  Offset at = 0;
  std::uint64_t line = 1;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    while (at < sorted[i]) {
      auto wanted = static_cast<std::size_t>(
          std::min<Offset>(sorted[i] - at, Offset{kChunk}));
      Expected<std::size_t> count = source.readAt(at, {chunk.get(), wanted});
      if (!count)
        return count.takeError();
      if (*count == 0)
        break;
      line += static_cast<std::uint64_t>(
          std::count(chunk.get(), chunk.get() + *count, '\n'));
      at += static_cast<Offset>(*count);
    }
    lines[i] = line;
  }
  std::vector<std::uint64_t> inOrder;
  inOrder.reserve(offsets.size());
  for (Offset offset : offsets)
    inOrder.push_back(lines[static_cast<std::size_t>(
        std::lower_bound(sorted.begin(), sorted.end(), offset) -
        sorted.begin())]);
  return inOrder;
}

void FindingReport::report(const Diagnostic &finding) {
  if (shown_.size() < kShown)
    shown_.push_back(finding);
  ++count_;
}

Error FindingReport::print(std::FILE *to, const std::string &fileName,
                           ByteSource &input) const {
  std::vector<Offset> offsets;
  offsets.reserve(2 * shown_.size());
  for (const Diagnostic &finding : shown_) {
    offsets.push_back(finding.at);
    offsets.push_back(std::max<Offset>(finding.detailAt, 0));
  }
  Expected<std::vector<std::uint64_t>> lines = lineNumbers(input, offsets);
  if (!lines)
    return lines.takeError();
  for (std::size_t i = 0; i < shown_.size(); ++i) {
    const std::uint64_t detailLine =
        shown_[i].detailAt >= 0 ? (*lines)[2 * i + 1] : 0;
    const std::uint64_t line = (*lines)[2 * i];
    std::fprintf(to, "%s:%llu: warning: %s\n", fileName.c_str(),
                 static_cast<unsigned long long>(line),
                 describeFinding(shown_[i], line, detailLine).c_str());
  }
  if (count_ > shown_.size())
    std::fprintf(to, "svfseg: warning: %s: %llu more warnings not shown\n",
                 fileName.c_str(),
                 static_cast<unsigned long long>(count_ - shown_.size()));
  return {};
}

} // namespace svfseg
