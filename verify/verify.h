// The verifier: a second, independent reading of a conversion's input and
// output, side by side and command by command, which proves on the user's own
// file that the output carries exactly the scans the input asks for. It shares
// no code with the stream scanner or the command handlers: it works out again,
// from the conversion's rules, what each line of the input must become, and
// checks that the output holds exactly that:
//
// - each long SDR command the rules split: S = ceil(n/256) segments, all but
//   the last `SDRS 256`, the last `SDR` with the bits left, so that the
//   lengths add up to n; each segment with the fixed texts between its
//   fields and, for each carried field (TDI, and TDO and MASK where carried),
//   the digits the input's field gives that segment once right-aligned to
//   ceil(n/4) digits (short fields padded with '0', extra leading digits
//   dropped), compared as written, letter case included;
// - each RUN command the rules reduce: the same command word, and the count,
//   unit and minimum time of the input, the numbers compared by value
//   ("1.00E-02" equals "0.01"; exactly, without floating point), with blanks
//   or tabs between them and a ';' after each of the one or two commands;
// - every other byte the same, but each '!' written as "//".
//
// Every byte of the output is accounted for, so the output as a whole then
// holds no '!', closes every run of SDRS segments with an SDR, holds only
// hexadecimal digits in segment fields, and holds SDR commands of more than
// 256 bits only where the rules leave a command as it stands (and there
// exactly as it stood). A long SDR that the rules split but the output holds
// unsplit is a mismatch, and so is one split that the rules leave.
//
// Memory stays bounded whatever the length of a field or a line: the input
// and the output are each read forwards through a block of their own. A long
// SDR command is read twice: forwards up to its ';' to learn whether it is
// split and how many digits each carried field holds, then once more, each
// carried field forwards through a reader of its own while the output's
// segments are read backwards, by position, from the last segment (which
// carries each field's leftmost digits) to the first. The segments have a
// fixed layout once the command's length and fields are known, so each
// segment's place in the output is reckoned, not searched for. About 1 MiB
// in all, with the default block size.
//
// Run control wires this behind `--verify`: it opens the input and the
// written output as ByteSources (regular files, read by position) and turns
// the offsets of a mismatch into FILE:LINE itself.
#pragma once

#include "rewrite/stream.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace svfseg {

// 256 KiB, as for the conversion's own streams.
inline constexpr std::size_t kDefaultVerifyBlockSize = std::size_t{256} * 1024;

struct VerifyOptions {
  // The size of the blocks the input and the output are read in (at least 1;
  // tests use tiny ones to put every byte at a block boundary).
  std::size_t blockSize = kDefaultVerifyBlockSize;
};

// What a verification covered.
struct VerificationSummary {
  // The input's commands: statements ended by ';' (outside comments), and
  // those left unterminated, where a command line or the end of the input
  // comes before a statement's ';'.
  std::uint64_t commands = 0;
  // The long SDR commands the output splits, and their lengths added up.
  std::uint64_t longSdrCommands = 0;
  std::uint64_t longSdrBits = 0;
};

// The first place where the output is not what the input asks for.
struct Mismatch {
  // The input command concerned: the offset of its first byte, or, where the
  // difference lies outside any command (a comment between commands), the
  // offset of the start of the line that holds it.
  Offset commandAt = 0;
  // Where the difference shows, in the input and in the output.
  Offset inputAt = 0;
  Offset outputAt = 0;
  // What differs, in words: "TDI bits 256 to 259 differ in segment 2 of 2:
  // the output has 7 where the input has 3", "segment lengths add up to 296
  // bits for a command of 300", "RUNTEST count 100 written as 10".
  std::string what;
};

struct Verification {
  // What was checked; complete where there is no mismatch.
  VerificationSummary summary;
  std::optional<Mismatch> mismatch;
  bool verified() const { return !mismatch; }
};

// Reads `input` (what the conversion was given) and `output` (what it wrote)
// side by side and returns what was verified, or the first mismatch. A
// failed read of either is returned as its Error, never as a mismatch.
//
// For run control:
//   Expected<Verification> v = verifyConversion(in, out);
//   if (!v)  -> "svfseg: error: FILE: REASON" (v.takeError())
//   else if (v->mismatch) -> "FILE:LINE: " + v->mismatch->what, the line
//     counted from v->mismatch->commandAt
//   else -> "Verified: N commands, M long SDR commands (B bits) carry the
//     same scans." from v->summary
[[nodiscard]] Expected<Verification>
verifyConversion(ByteSource &input, ByteSource &output,
                 const VerifyOptions &options = {});

} // namespace svfseg
