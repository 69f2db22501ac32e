#ifndef TENVIK_NOTATION_H_
#define TENVIK_NOTATION_H_

#include <stdint.h>

// What became of a line handed to a notation.
enum {
  NOTATION_NO_MATCH,   // the pattern did not match all its conversions
  NOTATION_DONE,       // decided: inserted, or ignored with its warning
  NOTATION_NO_MEMORY,  // an insertion found the node pool exhausted
};

/// Matches text the way sscanf matches a pattern of "%lu" (written 'u'),
/// "%d" ('d'), blanks (' ', any run of white space, also none) and literal
/// characters. Returns how many conversions were made. "u.u.u.u" is read
/// the way the notations read an address. A number is optional
/// white space, an optional sign and decimal digits; too many digits
/// saturate instead of wrapping. An unsigned number with a minus sign (other
/// than -0) stores UINT64_MAX: scanf would turn it into a huge value.
int scan_pattern(const char* text, const char* pattern, uint64_t* unsigned_out,
                 long long* signed_out);

/// Tries the prefix, range, mask and single-address notations in that order
/// on text (the line from its first digit) and inserts what the first
/// complete match names. `line` is the whole line, for the out-of-range
/// warning.
int parse_notations(const char* text, unsigned state, const char* line);

#endif  // TENVIK_NOTATION_H_
