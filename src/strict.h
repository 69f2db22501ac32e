#ifndef TENVIK_STRICT_H_
#define TENVIK_STRICT_H_

#include "settings.h"

// --strict: every line is read exactly as written, or the run fails. A line
// passes when it is empty, a comment, a dump request, or one block in a
// plain notation: an optional modifier word (permit, deny, yes, no, + or -,
// any case), the block, and nothing after it but white space and a comment.
// Lines of the other family pass too, unread, so that one dual-stack file
// passes in both modes.

/// Room for a diagnostic, quoted text included.
const int STRICT_TEXT_MAX = 320;

enum strict_verdict {
  STRICT_READ,   // read it as usual: it holds no surprise
  STRICT_SKIP,   // a block of the other family: not this run's
  STRICT_ERROR,  // not read as written; `why` says how
};

/// Judges one line (NUL-terminated, `length` bytes before the line ending,
/// so that a NUL inside shows) for a run of `family`.
strict_verdict judge_line(address_family family, const char* line,
                          size_t length, char* why);

#endif  // TENVIK_STRICT_H_
