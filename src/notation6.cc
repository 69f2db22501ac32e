#include "notation6.h"

#include <stdio.h>
#include <string.h>

#include "messages.h"
#include "notation.h"
#include "reader.h"
#include "settings.h"

typedef block_queue<ipv6> queue6;

static inline bool is_blank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
static inline bool is_digit(char c) { return unsigned(c - '0') < 10; }

// Whether the run of address characters at p holds a ':'.
static inline bool run_has_colon(const char* p) {
  for (; is_address6_char(*p); p++)
    if (*p == ':') return true;
  return false;
}

static inline const char* skip_run(const char* p) {
  while (is_address6_char(*p)) p++;
  return p;
}

// Whether an address run that ends at `end` is not the start of a word
// such as "2001:db8::1g".
static inline bool ends_word(const char* end) {
  char next = *end;
  unsigned folded = unsigned(next) | 0x20;
  return next != '_' && !(folded >= 'a' && folded <= 'z');
}

// The run at p as an address: one that inet_pton takes, and not the start
// of a word. Sets *end past the run.
static inline bool read_run(const char* p, const char** end, uint128* a) {
  return parse_ipv6_run(p, end, a) && ends_word(*end);
}

static int insert(queue6& q, int n, uint128 a, unsigned state) {
  return add_block(q, n, a, state) ? NOTATION_DONE : NOTATION_NO_MEMORY;
}

static int invalid(queue6& q, const char* line) {
  warn_quoting(*q.log, MSG_INVALID_BLOCK6, line);
  return NOTATION_DONE;
}

static int parse_prefix(queue6& q, const char* rest, uint128 a, unsigned state,
                        const char* line) {
  long long len = 0;
  if (!scan_length(++rest, &len)) return invalid(q, line);
  if (!limit_length(*q.log, &len, 128, MSG_PREFIX_TOO_LONG6))
    return NOTATION_DONE;
  if (settings.trace_flags & TRACE_INPUT) {
    char text[IPV6_TEXT_MAX];
    format_ipv6(a, text);
    fprintf(settings.out_stream, "address/prefix %s/%d\n", text, int(len));
  }
  return insert(q, int(len), a, state);
}

// The range a - last, read from `line`.
static int queue_range(queue6& q, uint128 a, uint128 last, unsigned state,
                       const char* line) {
  if (last < a) {
    warn_quoting(*q.log, MSG_RANGE_REVERSED, line);
    return NOTATION_DONE;
  }
  if (settings.trace_flags & TRACE_INPUT) {
    int blocks = 0;
    cover_range<ipv6>(a, last, [&blocks](uint128, int) { return ++blocks; });
    char first_text[IPV6_TEXT_MAX], last_text[IPV6_TEXT_MAX];
    format_ipv6(a, first_text);
    format_ipv6(last, last_text);
    fprintf(settings.out_stream, "range %s - %s, blocks: %d\n", first_text,
            last_text, blocks);
  }
  return cover_range<ipv6>(a, last,
                           [&q, state](uint128 x, int n) {
                             return add_block(q, n, x, state);
                           })
             ? NOTATION_DONE
             : NOTATION_NO_MEMORY;
}

static int parse_range(queue6& q, const char* b, uint128 a, unsigned state,
                       const char* line) {
  const char* end;
  uint128 last;
  if (!read_run(b, &end, &last)) return invalid(q, line);
  return queue_range(q, a, last, state, line);
}

static int parse_mask(queue6& q, const char* m, uint128 a, unsigned state,
                      const char* line) {
  const char* end;
  uint128 mask;
  if (!read_run(m, &end, &mask)) return invalid(q, line);
  // Top bit clear: wildcard bits.
  uint128 netmask = mask >> 127 ? mask : ~mask;
  int len = ipv6::leading_zeros(~netmask);
  if (netmask != ipv6::netmask(len)) {
    warn_quoting(*q.log, MSG_INVALID_MASK6, line);
    return NOTATION_DONE;
  }
  if (len == 128 && a == 0) {
    len = 0;
    if (!settings.opt_silent) {
      char text[IPV6_TEXT_MAX];
      format_ipv6(mask, text);
      warn(*q.log, MSG_ZERO_BITS_MASK6, text);
    }
  }
  if (settings.trace_flags & TRACE_INPUT) {
    char a_text[IPV6_TEXT_MAX], mask_text[IPV6_TEXT_MAX];
    format_ipv6(a, a_text);
    format_ipv6(ipv6::netmask(len), mask_text);
    fprintf(settings.out_stream, "address %s mask %s\n", a_text, mask_text);
  }
  return insert(q, len, a, state);
}

// The notations on the text after the address run A, as the first one
// that fits.
static int parse_notations(queue6& q, const char* rest, uint128 a,
                           unsigned state, const char* line) {
  if (*rest == '/') return parse_prefix(q, rest, a, state, line);
  const char* p = rest;
  while (is_blank(*p)) p++;
  if (*p == '-') {
    p++;
    while (is_blank(*p)) p++;
    return parse_range(q, p, a, state, line);
  }
  if (p > rest && run_has_colon(p)) return parse_mask(q, p, a, state, line);
  if (settings.trace_flags & TRACE_INPUT) {
    char text[IPV6_TEXT_MAX];
    format_ipv6(a, text);
    fprintf(settings.out_stream, "address %s prefix 128\n", text);
  }
  return insert(q, 128, a, state);
}

// The length of a "/N" at p with N of one to three digits, at most 128;
// -1 for anything else. p is left after it.
static inline int plain_length(const char*& p) {
  unsigned len = unsigned(p[1] - '0');
  if (*p != '/' || len > 9) return -1;
  const char* d = p + 2;
  for (int k = 0; k < 2 && is_digit(*d); k++, d++)
    len = len * 10 + unsigned(*d - '0');
  if (is_digit(*d) || len > 128) return -1;
  p = d;
  return int(len);
}

int read_line(queue6& q, const char* line) {
  const char* p = line;
  while (is_blank(*p)) p++;
  unsigned state = ST_YES;
  // Most lines begin with their address, which is then read once: a run
  // that inet_pton takes has a ':', so it is the one the scans below find.
  const char* rest;
  uint128 a;
  bool parsed = is_address6_char(*p) && parse_ipv6_run(p, &rest, &a);
  if (parsed && !(settings.trace_flags & TRACE_INPUT)) {
    // The usual line, queued as the notations would queue it.
    unsigned s = settings.opt_invert ? ST_NO : ST_YES;
    if (*rest == '\0') return insert(q, 128, a, s);
    int len = plain_length(rest);
    if (len >= 0) return insert(q, len, a, s);
  }
  if (!parsed && !run_has_colon(p)) {
    if (is_digit(*p) || *p == '\0' || *p == '#') return NOTATION_NO_MATCH;
    // The modifier is one character, as in IPv4 mode; the address is the
    // first run after its word that has a ':' (the word itself may be one,
    // as "de" in "deny").
    char c = *p;
    if (c != 'P' && c != 'p' && c != 'Y' && c != 'y' && c != '+') state = ST_NO;
    p = is_address6_char(c) ? skip_run(p) : p + 1;
    for (;;) {
      while (*p && *p != '#' && !is_address6_char(*p)) p++;
      if (!*p || *p == '#') return NOTATION_NO_MATCH;
      if (run_has_colon(p)) break;
      p = skip_run(p);
    }
  }
  if (settings.opt_invert) state = opposite_state(state);
  if (settings.trace_flags & TRACE_INPUT)
    fprintf(settings.out_stream, "%s  ", state_sign(state));
  if (!parsed && !parse_ipv6_run(p, &rest, &a)) return invalid(q, line);
  if (!ends_word(rest)) return invalid(q, line);
  return parse_notations(q, rest, a, state, line);
}

char* read_address6_lines(queue6& q, char* line, const char* end,
                          unsigned long long* count, bool* stop) {
  const unsigned state = settings.opt_invert ? ST_NO : ST_YES;
  unsigned long long n = 0;
  // Any line starts at least a byte before `end`.
  static_assert(READ_SLACK + 1 >= FULL_IPV6_READ, "room for a full address");
  const bool full = can_parse_full_ipv6();
  // The reader of full addresses looks at 48 bytes before it declines a
  // text: after it does, the next lines go the usual way for a while, so
  // that a list of prefixes does not pay that on every line.
  const int FULL_RETRY_LINES = 64;
  int skip = 0;
  for (;;) {
    const char* rest;
    uint128 a;
    if (!is_address6_char(*line)) break;
    bool parsed = false;
    if (skip > 0) {
      skip--;
    } else if (full) {
      parsed = parse_full_ipv6(line, &rest, &a);
      if (!parsed) skip = FULL_RETRY_LINES;
    }
    if (!parsed && !parse_ipv6_run(line, &rest, &a)) break;
    const char* start = line;
    int len = 128;
    bool plain = true;
    char* nl = line + (rest - line);
    const char* range_end;
    uint128 last = 0;
    bool range = false;
    if (nl[0] == '\r' && nl[1] == '\n') {
      nl++;
    } else if (nl[0] == ' ' && nl[1] == '-' && nl[2] == ' ' &&
               is_address6_char(nl[3]) &&
               parse_ipv6_run(nl + 3, &range_end, &last) &&
               *range_end == '\n') {
      // A range the usual way, read here rather than again by the
      // notations once the newline is found.
      nl = line + (range_end - line);
      range = true;
    } else if (*nl != '\n') {
      // What follows a length is not read; any other line is for the
      // notations.
      const char* after = nl;
      len = *nl == '/' ? plain_length(after) : -1;
      plain = len >= 0;
      if (plain && *after == '\n')
        nl = line + (after - line);
      else
        nl = static_cast<char*>(memchr(nl, '\n', size_t(end - nl)));
      if (!nl) break;
    }
    n++;
    line = nl + 1;
    if (!take_line(q, nl) ||
        (range             ? queue_range(q, a, last, state, start)
         : plain           ? insert(q, len, a, state)
         : ends_word(rest) ? parse_notations(q, rest, a, state, start)
                           : invalid(q, start)) == NOTATION_NO_MEMORY) {
      *stop = true;
      break;
    }
  }
  *count = n;
  return line;
}
