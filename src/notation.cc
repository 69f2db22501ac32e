#include "notation.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "address.h"
#include "messages.h"
#include "queue.h"
#include "settings.h"

// White space of the C locale: blank, \t, \n, \v, \f, \r.
static inline bool is_blank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
static inline bool is_digit(char c) { return unsigned(c - '0') < 10; }

// Reads optional white space, an optional sign and at least one digit.
static inline bool scan_number(const char*& p, bool* negative,
                               uint64_t* magnitude) {
  bool neg = false;
  if (!is_digit(*p)) {
    while (is_blank(*p)) p++;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    if (!is_digit(*p)) return false;
  }
  uint64_t v = 0;
  for (; is_digit(*p); p++) {
    // Past 19 digits the value saturates instead of wrapping.
    v = v < 1000000000000000000ull ? v * 10 + unsigned(*p - '0') : UINT64_MAX;
  }
  *negative = neg;
  *magnitude = v;
  return true;
}

// scanf's %lu: a minus sign makes the value wrap around to a huge one.
static inline bool scan_unsigned(const char*& p, uint64_t* out) {
  bool neg;
  uint64_t v;
  if (!scan_number(p, &neg, &v)) return false;
  *out = neg && v ? UINT64_MAX : v;
  return true;
}

// scanf's %d.
bool scan_length(const char*& p, long long* out) {
  // The usual length, up to three digits, without the general number's
  // checks: every block of a million-line list has one.
  if (is_digit(p[0])) {
    const char* q = p + 1;
    long long n = p[0] - '0';
    if (is_digit(*q)) {
      n = n * 10 + (*q++ - '0');
      if (is_digit(*q)) n = n * 10 + (*q++ - '0');
    }
    if (!is_digit(*q)) {
      p = q;
      *out = n;
      return true;
    }
  }
  bool neg;
  uint64_t v;
  if (!scan_number(p, &neg, &v)) return false;
  const uint64_t top = uint64_t(INT64_MAX);
  *out = neg ? -(long long)(v > top ? top : v) : (long long)(v > top ? top : v);
  return true;
}

// A blank in a pattern: any run of white space, also none.
static inline void skip_blanks(const char*& p) {
  while (is_blank(*p)) p++;
}

// The usual address, four numbers of one to three digits between dots with
// no blank or sign, read without the general number's checks. False (with
// p unmoved) for anything else.
static inline bool scan_plain_quad(const char*& p, uint64_t* n) {
  const char* q = p;
  for (int i = 0; i < 4; i++) {
    if (i > 0 && *q++ != '.') return false;
    if (!is_digit(*q)) return false;
    unsigned v = unsigned(*q++ - '0');
    if (is_digit(*q)) {
      v = v * 10 + unsigned(*q++ - '0');
      if (is_digit(*q)) v = v * 10 + unsigned(*q++ - '0');
      if (is_digit(*q)) return false;
    }
    n[i] = v;
  }
  p = q;
  return true;
}

// "%lu.%lu.%lu.%lu" from p on; returns the conversions made.
static inline int scan_quad(const char*& p, uint64_t* n) {
  if (scan_plain_quad(p, n)) return 4;
  for (int i = 0; i < 4; i++) {
    if (i > 0) {
      if (*p != '.') return i;
      p++;
    }
    if (!scan_unsigned(p, n + i)) return i;
  }
  return 4;
}

int scan_pattern(const char* text, const char* pattern, uint64_t* unsigned_out,
                 long long* signed_out) {
  const char* p = text;
  int count = 0;
  for (const char* f = pattern; *f; f++) {
    if (strncmp(f, "u.u.u.u", 7) == 0) {
      // The notations read their addresses this way.
      int made = scan_quad(p, unsigned_out);
      count += made;
      if (made < 4) return count;
      unsigned_out += 4;
      f += 6;
    } else if (*f == ' ') {
      skip_blanks(p);
    } else if (*f == 'u') {
      if (!scan_unsigned(p, unsigned_out++)) return count;
      count++;
    } else if (*f == 'd') {
      if (!scan_length(p, signed_out)) return count;
      count++;
    } else if (*p == *f) {
      p++;
    } else {
      return count;
    }
  }
  return count;
}

static uint32_t quad(const uint64_t* n) {
  return uint32_t(n[0] << 24 | n[1] << 16 | n[2] << 8 | n[3]);
}

// Numbers above 255 would silently spill into the next octet; such a line
// is dropped instead.
static bool out_of_range(warning_log& log, const uint64_t* n, int count,
                         const char* line) {
  for (int i = 0; i < count; i++) {
    if (n[i] > 255) {
      warn_quoting(log, MSG_OUT_OF_RANGE, line);
      return true;
    }
  }
  return false;
}

typedef block_queue<ipv4> queue4;

static int insert(queue4& q, int n, uint32_t a, unsigned state) {
  return add_block(q, n, a, state) ? NOTATION_DONE : NOTATION_NO_MEMORY;
}

// Every notation begins with the address "%lu.%lu.%lu.%lu", so it is matched
// once; each notation then matches its own rest from `rest` on. That gives
// the same conversions as matching each whole pattern from the start.

static int parse_prefix(queue4& q, const char* rest, uint64_t* n,
                        unsigned state, const char* line) {
  long long len = 0;
  if (*rest != '/' || !scan_length(++rest, &len)) return NOTATION_NO_MATCH;
  if (out_of_range(*q.log, n, 4, line)) return NOTATION_DONE;
  if (!limit_length(*q.log, &len, 32, MSG_PREFIX_TOO_LONG))
    return NOTATION_DONE;
  uint32_t a = quad(n);
  if (settings.trace_flags & TRACE_INPUT)
    fprintf(settings.out_stream, "address/prefix %s/%d\n", dotted(a), int(len));
  return insert(q, int(len), a, state);
}

bool limit_length(warning_log& log, long long* len, int bits,
                  const char* too_long) {
  if (*len < 0) {
    warn(log, MSG_PREFIX_NEGATIVE, *len);
    return false;
  }
  if (*len > bits) {
    warn(log, too_long, *len);
    *len = bits;
  }
  return true;
}

int range_block_prefix(uint32_t start, uint32_t end) {
  int len = auto_prefix(end);
  uint32_t d = start ^ end;
  // Aligned blocks: every one bit of start is also set in end. Compared in
  // 64 bits, since a reversed range must not pass through wrap-around.
  if ((d & 1) && int64_t(d) == int64_t(end) - int64_t(start)) {
    int k = d == 0xffffffffu ? 32 : __builtin_ctz(~d);
    len = 32 - k;
  }
  return len;
}

// A range as the fewest aligned blocks that hold exactly its addresses, as
// IPv6 ranges are read.
static int exact_range(queue4& q, uint32_t start, uint32_t end, unsigned state,
                       const char* line) {
  if (end < start) {
    warn_quoting(*q.log, MSG_RANGE_REVERSED, line);
    return NOTATION_DONE;
  }
  if (settings.trace_flags & TRACE_INPUT) {
    int blocks = 0;
    cover_range<ipv4>(start, end,
                      [&blocks](uint32_t, int) { return ++blocks; });
    char first[16];
    format_dotted(start, first);
    fprintf(settings.out_stream, "range %s - %s, blocks: %d\n", first,
            dotted(end), blocks);
  }
  return cover_range<ipv4>(start, end,
                           [&q, state](uint32_t x, int n) {
                             return add_block(q, n, x, state);
                           })
             ? NOTATION_DONE
             : NOTATION_NO_MEMORY;
}

// The range start - end, its numbers in range.
static int queue_range(queue4& q, uint32_t start, uint32_t end,
                       unsigned state, const char* line) {
  if (settings.opt_exact_ranges) return exact_range(q, start, end, state, line);
  int len = range_block_prefix(start, end);
  uint64_t size = uint64_t(1) << (32 - len);
  if (settings.trace_flags & TRACE_INPUT) {
    char first[16];
    format_dotted(start, first);
    fprintf(settings.out_stream, "range %s - %s by 0x%.8lx\n", first,
            dotted(end), (unsigned long)(uint32_t)size);
  }
  if (end < start) return NOTATION_DONE;
  // Counted in 64 bits: the block ending at 255.255.255.255 ends the range
  // instead of wrapping to 0. A shift, not a division: size is a power of
  // two, and a division a line is a good part of reading a list of ranges.
  uint64_t count = ((uint64_t(end) - start) >> (32 - len)) + 1;
  return add_blocks(q, len, start, count, state) ? NOTATION_DONE
                                                 : NOTATION_NO_MEMORY;
}

static int parse_range(queue4& q, const char* rest, uint64_t* n, unsigned state,
                       const char* line) {
  skip_blanks(rest);
  if (*rest != '-') return NOTATION_NO_MATCH;
  skip_blanks(++rest);
  if (scan_quad(rest, n + 4) != 4) return NOTATION_NO_MATCH;
  if (out_of_range(*q.log, n, 8, line)) return NOTATION_DONE;
  return queue_range(q, quad(n), quad(n + 4), state, line);
}

static int parse_mask(queue4& q, const char* rest, uint64_t* n, unsigned state,
                      const char* line) {
  skip_blanks(rest);
  if (scan_quad(rest, n + 4) != 4) return NOTATION_NO_MATCH;
  if (out_of_range(*q.log, n, 8, line)) return NOTATION_DONE;
  uint32_t a = quad(n), m = quad(n + 4);
  uint32_t mask = (m & 0x80000000u) ? m : ~m;  // top bit clear: wildcard bits
  int len = mask == 0xffffffffu ? 32 : __builtin_clz(~mask);
  if (mask != netmask(len))
    warn(*q.log, MSG_INVALID_MASK, (unsigned long)n[4], (unsigned long)n[5],
         (unsigned long)n[6], (unsigned long)n[7]);
  if (len == 32 && a == 0) {
    len = 0;
    warn(*q.log, MSG_ZERO_BITS_MASK, (unsigned long)n[4], (unsigned long)n[5],
         (unsigned long)n[6], (unsigned long)n[7]);
  }
  if (settings.trace_flags & TRACE_INPUT) {
    char first[16];
    format_dotted(a, first);
    fprintf(settings.out_stream, "address %s mask %s\n", first,
            dotted(netmask(len)));
  }
  return insert(q, len, a, state);
}

static int parse_single(queue4& q, const char*, uint64_t* n, unsigned state,
                        const char* line) {
  if (out_of_range(*q.log, n, 4, line)) return NOTATION_DONE;
  uint32_t a = quad(n);
  int len = auto_prefix(a);
  if (settings.trace_flags & TRACE_INPUT)
    fprintf(settings.out_stream, "address %s auto prefix %d\n", dotted(a), len);
  return insert(q, len, a, state);
}

// An address of four numbers of one to three digits, each at most 255,
// between dots; nullptr for anything else.
static inline const char* plain_address(const char* p, uint32_t* a) {
  uint32_t v = 0;
  for (int i = 0;; i++) {
    unsigned d = unsigned(p[0] - '0');
    if (d > 9) return nullptr;
    unsigned e = unsigned(p[1] - '0');
    if (e > 9) {
      p += 1;
    } else {
      d = d * 10 + e;
      e = unsigned(p[2] - '0');
      if (e > 9) {
        p += 2;
      } else {
        d = d * 10 + e;
        if (d > 255 || unsigned(p[3] - '0') <= 9) return nullptr;
        p += 3;
      }
    }
    v = v << 8 | d;
    if (i == 3) break;
    if (*p++ != '.') return nullptr;
  }
  *a = v;
  return p;
}

#ifdef __SSE2__
// plain_address on 16 bytes at once, which must be readable from p on:
// the first four characters that are not digits, found together, say where
// the numbers are, and each number is read without a branch on how many
// digits it has. On a list of random addresses those branches go wrong
// about once a number.
//
// A number of 1 to 3 digits at q, its digits moved to the top of a word,
// the last one highest: the multiplication gathers 100, 10 and 1 times
// them in the top byte, exact up to 255. Reversed, the word compares as
// the digits do, which tells a number past 255. The digits take no borrow
// from the characters after them, which are shifted out.
static inline uint32_t wide_octet(const char* q, unsigned digits,
                                  uint32_t* over) {
  uint32_t w;
  memcpy(&w, q, sizeof w);
  uint32_t t = (w - 0x30303030u) << (8 * (4 - digits));
  *over |= __builtin_bswap32(t) > 0x020505u;
  return uint32_t((uint64_t(t) * 0x640a01u) >> 24) & 0xff;
}

static inline const char* wide_address(const char* p, uint32_t* a) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
  __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
  unsigned other = ~unsigned(_mm_movemask_epi8(digit)) | 0xffff0000u;
  unsigned dots =
      unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('.'))));
  unsigned rest = other;
  unsigned s1 = unsigned(__builtin_ctz(rest));
  rest &= rest - 1;
  unsigned s2 = unsigned(__builtin_ctz(rest));
  rest &= rest - 1;
  unsigned s3 = unsigned(__builtin_ctz(rest));
  rest &= rest - 1;
  unsigned s4 = unsigned(__builtin_ctz(rest));
  // The first three of them dots, no number empty (none of them first, no
  // two side by side), no four digits in a row before the fourth; past the
  // sixteen bytes the fourth number would have four digits.
  unsigned four = other ^ (rest & (rest - 1));
  unsigned digits = ~other & ((rest ^ (rest - 1)) >> 1);
  unsigned pairs = digits & digits >> 1;
  bool shaped = ((other ^ rest) & ~dots) == 0 &&
                (four & (four << 1 | 1)) == 0 && (pairs & pairs >> 2) == 0;
  if (!shaped) return nullptr;
  unsigned l1 = s1, l2 = s2 - s1 - 1, l3 = s3 - s2 - 1, l4 = s4 - s3 - 1;
  uint32_t over = 0;
  uint32_t o1 = wide_octet(p, l1, &over);
  uint32_t o2 = wide_octet(p + s1 + 1, l2, &over);
  uint32_t o3 = wide_octet(p + s2 + 1, l3, &over);
  uint32_t o4 = wide_octet(p + s3 + 1, l4, &over);
  if (over) return nullptr;
  *a = o1 << 24 | o2 << 16 | o3 << 8 | o4;
  return p + s4;
}
#else
static inline const char* wide_address(const char* p, uint32_t* a) {
  return plain_address(p, a);
}
#endif

// The shapes nearly every line of a big list takes, with numbers that need
// no warning: read in one pass, they queue what the notations would.
enum { PLAIN_NONE, PLAIN_PREFIX, PLAIN_ADDRESS, PLAIN_RANGE };
struct plain_shape {
  uint32_t a, end;
  int len;
};

// Reads "a.b.c.d/n", "a.b.c.d - e.f.g.h" or an address from p on, leaving
// p after what it read; PLAIN_ADDRESS is an address followed by anything
// else, which is that shape only if the line ends there. `WIDE` reads the
// addresses with wide_address.
template <bool WIDE = false>
static inline int parse_plain(const char*& p, plain_shape* s) {
  p = WIDE ? wide_address(p, &s->a) : plain_address(p, &s->a);
  if (!p) return PLAIN_NONE;
  if (*p == '/') {
    unsigned len = unsigned(p[1] - '0');
    if (len > 9) return PLAIN_NONE;
    unsigned d = unsigned(p[2] - '0');
    if (d <= 9) {
      if (unsigned(p[3] - '0') <= 9) return PLAIN_NONE;
      len = len * 10 + d;
      if (len > 32) return PLAIN_NONE;
    }
    s->len = int(len);
    p += d <= 9 ? 3 : 2;
    return PLAIN_PREFIX;
  }
  if (p[0] == ' ' && p[1] == '-' && p[2] == ' ') {
    const char* after =
        WIDE ? wide_address(p + 3, &s->end) : plain_address(p + 3, &s->end);
    if (!after) return PLAIN_NONE;
    p = after;
    return PLAIN_RANGE;
  }
  return PLAIN_ADDRESS;
}

static inline int queue_plain(queue4& q, int kind, const plain_shape& s,
                              unsigned state, const char* line) {
  if (kind == PLAIN_RANGE) return queue_range(q, s.a, s.end, state, line);
  return insert(q, kind == PLAIN_PREFIX ? s.len : auto_prefix(s.a), s.a, state);
}

// NOTATION_NO_MATCH for any line but the plain shapes, which the notations
// then read.
static inline int read_plain(queue4& q, const char* p, unsigned state,
                             const char* line) {
  plain_shape s = {0, 0, 0};
  int kind = parse_plain(p, &s);
  if (kind == PLAIN_NONE || (kind == PLAIN_ADDRESS && *p != '\0'))
    return NOTATION_NO_MATCH;
  return queue_plain(q, kind, s, state, line);
}

// The notations in their order, on any line.
static int parse_each_notation(queue4& q, const char* text, unsigned state,
                               const char* line) {
  uint64_t n[8];
  const char* rest = text;
  if (scan_quad(rest, n) != 4) return NOTATION_NO_MATCH;
  int result = parse_prefix(q, rest, n, state, line);
  if (result == NOTATION_NO_MATCH)
    result = parse_range(q, rest, n, state, line);
  if (result == NOTATION_NO_MATCH) result = parse_mask(q, rest, n, state, line);
  if (result == NOTATION_NO_MATCH)
    result = parse_single(q, rest, n, state, line);
  return result;
}

int parse_notations(queue4& q, const char* text, unsigned state,
                    const char* line) {
  if (!(settings.trace_flags & TRACE_INPUT)) {
    int result = read_plain(q, text, state, line);
    if (result != NOTATION_NO_MATCH) return result;
  }
  return parse_each_notation(q, text, state, line);
}

int read_line(queue4& q, const char* line) {
  const char* p = line;
  while (is_blank(*p)) p++;
  unsigned state = ST_YES;
  if (!is_digit(*p)) {
    // Only the first character of the modifier word counts.
    char c = *p;
    if (c != 'P' && c != 'p' && c != 'Y' && c != 'y' && c != '+') state = ST_NO;
    // A comment runs from "#" to the end of the line. The line is not cut
    // there: no notation reads past a "#", so only the search for the first
    // digit has to stop at it (and the one warning that quotes the line).
    while (*p && *p != '#' && !is_digit(*p)) p++;
    if (!is_digit(*p)) return NOTATION_NO_MATCH;
  }
  if (settings.opt_invert) state = opposite_state(state);
  if (settings.trace_flags & TRACE_INPUT)
    fprintf(settings.out_stream, "%s  ", state_sign(state));
  return parse_notations(q, p, state, line);
}

int read_address_line(queue4& q, const char* line) {
  unsigned state = settings.opt_invert ? ST_NO : ST_YES;
  int result = read_plain(q, line, state, line);
  if (result != NOTATION_NO_MATCH) return result;
  return parse_each_notation(q, line, state, line);
}

char* read_address_lines(queue4& q, char* line, const char* end,
                         unsigned long long* count, bool* stop) {
  const unsigned yes = settings.opt_invert ? ST_NO : ST_YES;
  unsigned long long n = 0;
  for (;;) {
    const char* p = line;
    const char* line_start = line;
    unsigned state = yes;
    if (!is_digit(*p)) {
      // A modifier word, as read_line reads it: only its first character
      // counts, and the notation starts at the first digit.
      char c = *p;
      unsigned folded = unsigned(c) | 0x20;
      if (!(folded >= 'a' && folded <= 'z') && c != '+' && c != '-') break;
      if (c != 'P' && c != 'p' && c != 'Y' && c != 'y' && c != '+')
        state = opposite_state(yes);
      do p++;
      while (!is_digit(*p) && *p != '#' && *p != '\n' && *p != '\0');
      if (!is_digit(*p)) break;
    }
    const char* text = p;
    plain_shape s = {0, 0, 0};
    // In a list in order the numbers' lengths repeat from line to line,
    // and the branches of the plain reading guess them right.
    int kind = q.sorted ? parse_plain(p, &s) : parse_plain<true>(p, &s);
    char* nl = kind == PLAIN_NONE ? nullptr : line + (p - line);
    if (!nl || *nl != '\n') {
      if (nl && kind == PLAIN_ADDRESS && nl[0] == '\r' && nl[1] == '\n') {
        nl++;
      } else {
        // Anything after a bare address, and any other line, is for the
        // notations; what follows a length or a range's end is not read.
        if (kind == PLAIN_ADDRESS) kind = PLAIN_NONE;
        char* from = nl ? nl : line + (text - line);
        nl = static_cast<char*>(memchr(from, '\n', size_t(end - from)));
        if (!nl) break;
      }
    }
    n++;
    line = nl + 1;
    if (!take_line(q, nl) ||
        (kind == PLAIN_NONE ? parse_each_notation(q, text, state, line_start)
                            : queue_plain(q, kind, s, state, line_start)) ==
            NOTATION_NO_MEMORY) {
      *stop = true;
      break;
    }
  }
  *count = n;
  return line;
}
