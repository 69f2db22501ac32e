#ifndef TENVIK_NOTATION6_H_
#define TENVIK_NOTATION6_H_

#include "family.h"
#include "queue.h"

/// Reads one line of an IPv6 run that is neither empty, a comment nor a
/// dump request: whether it is an IPv6 line, its modifier and address
/// text, the input trace's sign, its notation. IPv4 lines and lines
/// without an IPv6 address are ignored without a word. Returns a
/// NOTATION_* result.
int read_line(block_queue<ipv6>& q, const char* line);

/// The usual line of a big list, a bare address or one with a length, read
/// where it lies in the buffer, as read_address_text does for IPv4.
char* read_address6_text(block_queue<ipv6>& q, char* line, const char* end,
                         int* result);

#endif  // TENVIK_NOTATION6_H_
