#ifndef TENVIK_NOTATION_H_
#define TENVIK_NOTATION_H_

#include <stdint.h>

#include "family.h"
#include "queue.h"

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

/// Reads a signed decimal as the prefix notations read their length:
/// optional white space, an optional sign, at least one digit; too many
/// digits saturate at plus or minus (2^63 - 1). Moves p past it; false,
/// with p anywhere, when there is no digit.
bool scan_length(const char*& p, long long* out);

/// A prefix length as the prefix notations take it: false, after its
/// warning, when it is negative; above `bits` it becomes `bits`, with the
/// warning `too_long` (whose one conversion is the length as written).
bool limit_length(warning_log& log, long long* len, int bits,
                  const char* too_long);

/// The length of the blocks that the range start - end is cut into: the
/// automatic prefix of the end, or the size of the aligned blocks that make
/// the range exactly when every one bit of start is set in end and the
/// difference is odd.
int range_block_prefix(uint32_t start, uint32_t end);

/// Tries the prefix, range, mask and single-address notations in that order
/// on text (the line from its first digit) and queues what the first
/// complete match names. `line` is the whole line, for the out-of-range
/// warning.
int parse_notations(block_queue<ipv4>& q, const char* text, unsigned state,
                    const char* line);

/// Reads one IPv4 line that is neither empty, a comment nor a dump request:
/// its modifier, the input trace's sign, its notation. Returns a
/// NOTATION_* result.
int read_line(block_queue<ipv4>& q, const char* line);

/// read_line for a line whose first character is a digit, without the
/// input trace.
int read_address_line(block_queue<ipv4>& q, const char* line);

/// Ends the line whose newline is at nl, where it lies (a warning may
/// quote it; a CRLF's carriage return goes too), and marks it as the next
/// input line. False when that found no memory.
template <typename F>
inline bool take_line(block_queue<F>& q, char* nl) {
  *nl = '\0';
  if (nl[-1] == '\r') nl[-1] = '\0';
  return next_line(q);
}

/// Reads the lines from `line` on, in a buffer whose text ends at `end`
/// with a NUL byte and READ_SLACK more zero bytes (see reader.h), for as
/// long as each is the usual line of a big list, an address, a prefix or a
/// range in their plain shapes, with its newline before `end`: marks each as the next input line and queues its blocks.
/// Returns where it stopped, the first line left unread, and sets `count`
/// to the lines read; sets `stop` (after the line) when one found no memory.
char* read_address_lines(block_queue<ipv4>& q, char* line, const char* end,
                         unsigned long long* count, bool* stop);

#endif  // TENVIK_NOTATION_H_
