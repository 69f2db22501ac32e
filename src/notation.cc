#include "notation.h"

#include <stdio.h>

#include "address.h"
#include "messages.h"
#include "settings.h"
#include "tree.h"

static inline bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}
static inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads optional white space, an optional sign and at least one digit.
static bool scan_number(const char*& p, bool* negative, uint64_t* magnitude) {
  while (is_blank(*p)) p++;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  if (!is_digit(*p)) return false;
  uint64_t v = 0;
  for (; is_digit(*p); p++) {
    unsigned d = unsigned(*p - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
  }
  *negative = neg;
  *magnitude = v;
  return true;
}

int scan_pattern(const char* text, const char* pattern, uint64_t* unsigned_out,
                 long long* signed_out) {
  const char* p = text;
  int count = 0;
  for (const char* f = pattern; *f; f++) {
    if (*f == ' ') {
      while (is_blank(*p)) p++;
    } else if (*f == 'u' || *f == 'd') {
      bool neg;
      uint64_t v;
      if (!scan_number(p, &neg, &v)) return count;
      if (*f == 'u') {
        *unsigned_out++ = neg && v ? UINT64_MAX : v;
      } else {
        const uint64_t top = uint64_t(INT64_MAX);
        *signed_out = neg ? -(long long)(v > top ? top : v)
                          : (long long)(v > top ? top : v);
      }
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
static bool out_of_range(const uint64_t* n, int count, const char* line) {
  for (int i = 0; i < count; i++) {
    if (n[i] > 255) {
      if (!opt_silent) fprintf(err_stream, MSG_OUT_OF_RANGE, line);
      return true;
    }
  }
  return false;
}

static int insert(int n, uint32_t a, unsigned state) {
  return insert_prefix(n, a, state) ? NOTATION_DONE : NOTATION_NO_MEMORY;
}

static int parse_prefix(const char* text, unsigned state, const char* line) {
  uint64_t n[4];
  long long len = 0;
  if (scan_pattern(text, "u.u.u.u/d", n, &len) != 5) return NOTATION_NO_MATCH;
  if (out_of_range(n, 4, line)) return NOTATION_DONE;
  if (len < 0) {
    if (!opt_silent) fprintf(err_stream, MSG_PREFIX_NEGATIVE, len);
    return NOTATION_DONE;
  }
  if (len > 32) {
    if (!opt_silent) fprintf(err_stream, MSG_PREFIX_TOO_LONG, len);
    len = 32;
  }
  uint32_t a = quad(n);
  if (trace_flags & TRACE_INPUT)
    fprintf(out_stream, "address/prefix %s/%d\n", dotted(a), int(len));
  return insert(int(len), a, state);
}

static int parse_range(const char* text, unsigned state, const char* line) {
  uint64_t n[8];
  if (scan_pattern(text, "u.u.u.u - u.u.u.u", n, nullptr) != 8)
    return NOTATION_NO_MATCH;
  if (out_of_range(n, 8, line)) return NOTATION_DONE;
  uint32_t start = quad(n), end = quad(n + 4);
  int len = auto_prefix(end);
  uint32_t d = start ^ end;
  // Aligned blocks: every one bit of start is also set in end. Compared in
  // 64 bits, since a reversed range must not pass through wrap-around.
  if ((d & 1) && int64_t(d) == int64_t(end) - int64_t(start)) {
    int k = d == 0xffffffffu ? 32 : __builtin_ctz(~d);
    len = 32 - k;
  }
  uint64_t size = uint64_t(1) << (32 - len);
  if (trace_flags & TRACE_INPUT) {
    char first[16];
    format_dotted(start, first);
    fprintf(out_stream, "range %s - %s by 0x%.8lx\n", first, dotted(end),
            (unsigned long)(uint32_t)size);
  }
  if (end < start) return NOTATION_DONE;
  // Stepped in 64 bits so that the block ending at 255.255.255.255 ends the
  // loop instead of wrapping to 0.
  for (uint64_t b = start; b <= end; b += size) {
    if (!insert_prefix(len, uint32_t(b), state)) return NOTATION_NO_MEMORY;
  }
  return NOTATION_DONE;
}

static int parse_mask(const char* text, unsigned state, const char* line) {
  uint64_t n[8];
  if (scan_pattern(text, "u.u.u.u u.u.u.u", n, nullptr) != 8)
    return NOTATION_NO_MATCH;
  if (out_of_range(n, 8, line)) return NOTATION_DONE;
  uint32_t a = quad(n), m = quad(n + 4);
  uint32_t mask = (m & 0x80000000u) ? m : ~m;  // top bit clear: wildcard bits
  int len = mask == 0xffffffffu ? 32 : __builtin_clz(~mask);
  if (mask != netmask(len) && !opt_silent)
    fprintf(err_stream, MSG_INVALID_MASK, (unsigned long)n[4],
            (unsigned long)n[5], (unsigned long)n[6], (unsigned long)n[7]);
  if (len == 32 && a == 0) {
    len = 0;
    if (!opt_silent)
      fprintf(err_stream, MSG_ZERO_BITS_MASK, (unsigned long)n[4],
              (unsigned long)n[5], (unsigned long)n[6], (unsigned long)n[7]);
  }
  if (trace_flags & TRACE_INPUT) {
    char first[16];
    format_dotted(a, first);
    fprintf(out_stream, "address %s mask %s\n", first, dotted(netmask(len)));
  }
  return insert(len, a, state);
}

static int parse_single(const char* text, unsigned state, const char* line) {
  uint64_t n[4];
  if (scan_pattern(text, "u.u.u.u", n, nullptr) != 4) return NOTATION_NO_MATCH;
  if (out_of_range(n, 4, line)) return NOTATION_DONE;
  uint32_t a = quad(n);
  int len = auto_prefix(a);
  if (trace_flags & TRACE_INPUT)
    fprintf(out_stream, "address %s auto prefix %d\n", dotted(a), len);
  return insert(len, a, state);
}

int parse_notations(const char* text, unsigned state, const char* line) {
  static int (*const notations[])(const char*, unsigned, const char*) = {
      parse_prefix, parse_range, parse_mask, parse_single};
  for (auto notation : notations) {
    int result = notation(text, state, line);
    if (result != NOTATION_NO_MATCH) return result;
  }
  return NOTATION_NO_MATCH;
}
