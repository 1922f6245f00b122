// What the pass finds in its input that the output cannot carry as the input
// means it: reported as data (what, and where as input offsets) to a sink the
// caller passes in. The library never words or prints a finding; the caller
// turns offsets into line numbers and words them.
#pragma once

#include "rewrite/stream.h"

#include <cstdint>
#include <string>

namespace svfseg {

enum class Finding : std::uint8_t {
  // An SDR command longer than 256 bits that the scanner does not take as a
  // command, so that it stays unsplit: it does not start its line, is not in
  // upper case, or follows another command on its line.
  kLongSdrNotAtLineStart,
  kLongSdrNotUpperCase,
  kLongSdrAfterAnotherCommand,
  // A long SDR command left as it stands: its ';' does not come before the
  // end of the input or the next command (`detailAt`: where that starts, or
  // -1 at the end of the input).
  kLongSdrUnterminated,
  // A long SDR command left as it stands: its fields cannot be read
  // (`detailAt`: the byte that stopped the reading).
  kLongSdrMalformed,
  // A long SDR command left as it stands: a byte in a field it carries is
  // not a hexadecimal digit (`detailAt`: that byte; `word`: the byte).
  kLongSdrNotHexadecimal,
  // An SDR command whose length does not fit 32 bits (`word`: the length as
  // written, cut to a few dozen digits), left as it stands.
  kSdrLengthPastLimit,
  // A field of a split command carried under the name of another (`word`: its
  // keyword as written, `field`: the name it is carried under).
  kFieldCarriedAs,
  // A field of a split command that the segments do not carry (`word`: its
  // keyword as written).
  kFieldDropped,
  // A field of a split command with digits before the ones its length takes
  // that hold set bits: the output drops them (`count`: how many digits).
  kExtraDigitsDropped,
  // A field of a split command whose leftmost digit sets bits above the
  // length: the last segment carries them as written.
  kBitsAboveLength,
  // A RUNTEST command left as it stands because its ';' does not come before
  // the end of the input or the next command (`detailAt` as for SDR).
  kRunTestUnterminated,
  // A RUNTEST command that the output carries unreduced (it does not start its
  // line, is not in upper case, follows another command or has no count)
  // while it holds what the reduced form would drop (`count`: the parts, as
  // RunTestParts bits).
  kRunTestUnreduced,
};

// The names a long SDR command's segments carry fields under.
enum class FieldName : std::uint8_t { kTdi, kTdo, kMask };

// What an unreduced RUNTEST command holds beyond its count and unit, and why
// it was not reduced.
enum RunTestParts : std::uint32_t {
  kHasStateName = 1,
  kHasClause = 2,      // anything after the unit: ENDSTATE, MAXIMUM...
  kHasMinimumTime = 4, // a time after a clock count
  kNotAtLineStart = 8, // why it was not reduced...
  kNotUpperCase = 16,
  kAfterAnotherCommand = 32,
  kHasNoCount = 64,
};

struct Diagnostic {
  Finding finding;
  Offset at;           // where the command starts in the input
  std::uint64_t bits;  // the SDR command's length, where it has one
  FieldName field;     // the field concerned, where there is one
  std::string word;    // a keyword, a length or a byte, as written
  Offset detailAt;     // another place the finding concerns, or -1
  std::uint64_t count; // a number the finding concerns
};

// Takes the findings of a pass, in the order of their places in the input.
class DiagnosticSink {
public:
  virtual ~DiagnosticSink() = default;
  virtual void report(const Diagnostic &diagnostic) = 0;
};

} // namespace svfseg
