// What the conversion must do with a line that starts with RUN or SDR, worked
// out again from the conversion's rules by the verifier's own reading: which
// long SDR commands are split and into which fields, which RUN commands are
// reduced and to what, and why the others are left as they stand.
#pragma once

#include "verify/reader.h"

#include <cstdint>

namespace svfseg::verify {

// True when `r` is at a comment: '!' or "//".
bool atComment(ForwardReader &r);
// Passes a comment up to its line's LF (not included) or the end.
void passComment(ForwardReader &r);
// Passes a number as numberLength() measures it. False, having passed
// nothing, where `r` is not at one.
bool passNumber(ForwardReader &r);
// Passes a word: the bytes up to a blank, tab, CR, LF, ';', '!', "//" or the
// end. Returns its length.
std::uint64_t passWord(ForwardReader &r);

// Passes the blanks and tabs at the start of the line `r` is at, and tells
// whether the line is a command line: one whose first word is an SVF command
// (ENDDR, ENDIR, FREQUENCY, HDR, HIR, PIO, PIOMAP, RUNTEST, SDR, SIR, STATE,
// TDR, TIR, TRST) in any case, followed by a byte that is not a letter, a
// digit or '_', or by the end of the input. Leaves `r` at that word.
bool passToCommandWord(ForwardReader &r);

// True for the first letters of the command words, in either case.
inline bool startsCommandWord(char c) {
  switch (c & ~0x20) {
  case 'E':
  case 'F':
  case 'H':
  case 'P':
  case 'R':
  case 'S':
  case 'T':
    return true;
  default:
    return false;
  }
}

// The same, quicker where the line starts, after blanks or tabs, with a byte
// that no command word starts with, as the lines inside a field mostly do.
inline bool passToCommandWordQuickly(ForwardReader &r) {
  const char *p = r.next();
  const char *end = r.end();
  while (p != end && (*p == ' ' || *p == '\t'))
    ++p;
  if (p != end && !startsCommandWord(*p)) {
    r.setNext(p);
    return false;
  }
  return passToCommandWord(r);
}

// Why a command is left as it stands.
enum class Leave : std::uint8_t {
  kNone,             // the command is split or reduced
  kInputEnds,        // the input ends before its ';'
  kCommandLineFirst, // a command line comes before its ';'
  kNotHexadecimal,   // a carried field holds a byte that is no digit
  kSemicolonInGroup, // a ';' inside a parenthesised group
  kOpenInGroup,      // a '(' inside a parenthesised group
  kCloseOutsideGroup,
  kNoGroup,      // a ';' where a group must follow
  kWordNotEnded, // RUN: the word is not followed by a blank, tab or line end
  kNoCount,      // RUN: no number where the count belongs
};

enum class FieldName : std::uint8_t { kTdi, kTdo, kMask };
inline constexpr int kFields = 3;

// The length of an SDR command at a line start.
struct SdrLength {
  enum Kind : std::uint8_t {
    kNone,      // no blank or tab after SDR, or no digits after them
    kLength,    // `bits` holds the length
    kPastLimit, // more than 4294967295
  } kind = kNone;
  std::uint64_t bits = 0;
};

// Reads the length of the SDR command whose "SDR" starts the line `r` is at;
// leaves `r` after its digits (or where the reading stopped).
SdrLength readSdrLength(ForwardReader &r);

// A long SDR command read up to its ';', or up to what leaves it as it stands.
struct LongSdr {
  Leave leave = Leave::kNone;
  Offset stoppedAt = -1; // where the reading stopped: the ';' when split
  // For kNotHexadecimal: the byte and the field that holds it.
  char byte = 0;
  FieldName field = FieldName::kTdi;
  // The fields the segments carry: where each one's digits start (just after
  // its '(') and how many digits it holds.
  struct Field {
    bool carried = false;
    Offset begin = -1;
    std::uint64_t digits = 0;
  } fields[kFields];
};

// Reads a long SDR command on from just after its length's digits.
LongSdr readLongSdr(ForwardReader &r);

// A command on a line that starts with RUN, read up to its ';', or up to what
// leaves it as it stands. Ranges are input offsets [begin, end).
struct RunCommand {
  Leave leave = Leave::kNone;
  Offset stoppedAt = -1;
  Offset wordBegin = -1, wordEnd = -1; // what follows "RUN": "TEST"
  Offset countBegin = -1, countEnd = -1;
  // The bytes after the word and after the count: the converter keeps a tab
  // there, and writes a blank for anything else.
  char afterWord = 0, afterCount = 0;
  Offset unitBegin = -1, unitEnd = -1; // may be empty
  bool hasMinimumTime = false;
  Offset timeBegin = -1, timeEnd = -1;
  Offset semicolon = -1;
};

// The last search of a RUN command for its ';': where it started and what it
// found. A later command's search that starts after the line holding that
// start, and no later than what it found, finds the same: nothing between
// holds a ';' outside comments or starts a command line, and both searches
// agree on what is a comment, as each line start ends one and neither
// search starts inside one. So a file of lines that merely begin with RUN
// and have no ';' is read once, not once per line.
struct SemicolonSearch {
  Offset from = -1;
  Offset found = -1; // the ';', the command line's word, or the end
  Leave leave = Leave::kNone;
};

// Reads the command at the start of the line `r` is at, which starts with
// "RUN"; `last` is the search before, and becomes this one's.
RunCommand readRun(ForwardReader &r, SemicolonSearch &last);

} // namespace svfseg::verify
