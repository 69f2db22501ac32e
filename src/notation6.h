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

/// read_address_lines for IPv6 lines: a bare address or one with a
/// length of at most 128.
char* read_address6_lines(block_queue<ipv6>& q, char* line, const char* end,
                          unsigned long long* count, bool* stop);

#endif  // TENVIK_NOTATION6_H_
