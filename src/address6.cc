#include "address6.h"

#include <stdint.h>

namespace {

// Each byte's hexadecimal value, or -1: one load per character instead of
// three range tests, as every line of a long list goes through here.
struct hex_values {
  int8_t value[256] = {};
  constexpr hex_values() {
    for (int c = 0; c < 256; c++) value[c] = -1;
    for (int d = 0; d < 10; d++) value['0' + d] = int8_t(d);
    for (int d = 0; d < 6; d++) {
      value['a' + d] = int8_t(10 + d);
      value['A' + d] = int8_t(10 + d);
    }
  }
};
constexpr hex_values hex;

const char HEX_DIGITS[] = "0123456789abcdef";

// A dotted-quad tail by inet_pton's IPv4 rules, not the list reader's:
// exactly four decimal parts, each at most 255, no leading zero, and
// nothing after the fourth.
bool parse_tail(const char* p, const char* end, uint32_t* out) {
  uint32_t value = 0;
  unsigned part = 0;
  int parts = 0;
  bool digits = false;
  while (p != end) {
    char c = *p++;
    if (c >= '0' && c <= '9') {
      if (digits && part == 0) return false;
      part = part * 10 + unsigned(c - '0');
      if (part > 255) return false;
      if (!digits) {
        parts++;
        digits = true;
      }
    } else if (c == '.' && digits && parts < 4) {
      value = value << 8 | part;
      part = 0;
      digits = false;
    } else {
      return false;
    }
  }
  if (parts < 4) return false;  // a dot after the fourth part was refused above
  *out = value << 8 | part;
  return true;
}

// Writes all four digits of the group shifted up past its leading zeros,
// and keeps as many as it has: no loop and no branch per digit. The text
// is at most 39 characters, so the stray digits stay inside the buffer.
char* put_group(unsigned g, char* p) {
  int n = g >= 0x1000 ? 4 : g >= 0x100 ? 3 : g >= 0x10 ? 2 : 1;
  unsigned v = g << (4 * (4 - n));
  p[0] = HEX_DIGITS[v >> 12 & 0xf];
  p[1] = HEX_DIGITS[v >> 8 & 0xf];
  p[2] = HEX_DIGITS[v >> 4 & 0xf];
  p[3] = HEX_DIGITS[v & 0xf];
  return p + n;
}

}  // namespace

bool parse_ipv6_run(const char* begin, const char** run_end, uint128* out) {
  // The common text, hexadecimal groups and at most one "::", is read in
  // one pass that also finds where the run ends; anything else (a dotted
  // tail, a stray character) goes the general way.
  const char* p = begin;
  unsigned g[8];
  int count = 0, gap = -1;
  if (p[0] == ':' && p[1] == ':') {
    gap = 0;
    p += 2;
  }
  for (;;) {
    // A group's digits unrolled: five mean too many.
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    unsigned v = 0;
    int digits = 0;
    int d = hex.value[u[0]];
    if (d >= 0) {
      v = unsigned(d);
      digits = 1;
      if ((d = hex.value[u[1]]) >= 0) {
        v = v << 4 | unsigned(d);
        digits = 2;
        if ((d = hex.value[u[2]]) >= 0) {
          v = v << 4 | unsigned(d);
          digits = 3;
          if ((d = hex.value[u[3]]) >= 0) {
            v = v << 4 | unsigned(d);
            digits = hex.value[u[4]] >= 0 ? 5 : 4;
          }
        }
      }
    }
    p += digits;
    char c = *p;
    if (c == '.' || digits > 4 || count == 8) break;
    if (digits == 0) {
      // Only "::" at the very end may leave an empty group here.
      if (c == ':' || gap != count || count == 0) break;
      goto done;
    }
    g[count++] = v;
    if (c != ':') goto done;
    p++;
    if (*p == ':') {
      if (gap >= 0) break;
      gap = count;
      p++;
    }
  }
  {
    const char* end = begin;
    while (is_address6_char(*end)) end++;
    *run_end = end;
    return parse_ipv6(begin, end, out);
  }
done:
  // p is past the run unless the run goes on with a character the loop
  // does not take.
  if (is_address6_char(*p)) {
    const char* end = p;
    while (is_address6_char(*end)) end++;
    *run_end = end;
    return parse_ipv6(begin, end, out);
  }
  *run_end = p;
  if (gap < 0 ? count != 8 : count == 8) return false;
  uint64_t part[2] = {0, 0};
  int shift = gap < 0 ? 0 : 8 - count;
  for (int i = 0; i < count; i++) {
    int at = i < gap || gap < 0 ? i : i + shift;
    part[at >> 2] |= uint64_t(g[i]) << (48 - 16 * (at & 3));
  }
  *out = uint128(part[0]) << 64 | part[1];
  return true;
}

bool parse_ipv6(const char* begin, const char* end, uint128* out) {
  const char* p = begin;
  if (p == end) return false;
  // A leading colon is only the start of "::"; the main loop sees the
  // second one as an empty group.
  if (*p == ':' && (++p == end || *p != ':')) return false;

  uint128 groups = 0;  // the groups read so far, the last one lowest
  int count = 0;
  int gap = -1;  // the number of groups before "::", if there is one
  const char* token = p;
  unsigned group = 0;
  int digits = 0;
  while (p != end) {
    char c = *p++;
    int d = hex.value[(unsigned char)c];
    if (d >= 0) {
      if (digits == 4) return false;
      group = group << 4 | unsigned(d);
      digits++;
    } else if (c == ':') {
      token = p;
      if (digits == 0) {
        if (gap >= 0) return false;
        gap = count;
      } else {
        if (p == end || count == 8) return false;
        groups = groups << 16 | group;
        count++;
        group = 0;
        digits = 0;
      }
    } else if (c == '.' && count <= 6) {
      // The token so far was read as hex; inet_pton reads it again as the
      // first decimal part, and the tail must end the text.
      uint32_t tail;
      if (!parse_tail(token, end, &tail)) return false;
      groups = groups << 32 | tail;
      count += 2;
      digits = 0;
      break;
    } else {
      return false;
    }
  }
  if (digits > 0) {
    if (count == 8) return false;
    groups = groups << 16 | group;
    count++;
  }
  if (gap >= 0) {
    // glibc lets "::" stand for a single zero group, but not for none.
    if (count == 8) return false;
    int after = count - gap;  // 0..7, so no shift below reaches 128
    uint128 low = groups & ((uint128(1) << (16 * after)) - 1);
    uint128 high = gap > 0 ? groups >> (16 * after) << (16 * (8 - gap)) : 0;
    groups = high | low;
  } else if (count != 8) {
    return false;
  }
  *out = groups;
  return true;
}

// For each set of zero groups (bit 7 the first group), where the longest
// run of two or more starts and how long it is, the first on a tie; length
// 0 when there is none.
struct zero_runs {
  uint8_t start[256] = {};
  uint8_t length[256] = {};
  constexpr zero_runs() {
    for (int zeros = 0; zeros < 256; zeros++) {
      int best = 0, best_length = 1;
      for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && (zeros >> (7 - j) & 1)) j++;
        if (j - i > best_length) {
          best = i;
          best_length = j - i;
        }
        i = j > i ? j : i + 1;
      }
      start[zeros] = uint8_t(best);
      length[zeros] = uint8_t(best_length > 1 ? best_length : 0);
    }
  }
};
constexpr zero_runs runs;

int format_ipv6(uint128 a, char* dest) {
  unsigned g[8];
  unsigned zeros = 0;
  uint64_t high = uint64_t(a >> 64), low = uint64_t(a);
  for (int i = 0; i < 4; i++) {
    g[i] = unsigned(high >> (48 - 16 * i)) & 0xffff;
    g[i + 4] = unsigned(low >> (48 - 16 * i)) & 0xffff;
  }
  for (int i = 0; i < 8; i++) zeros |= unsigned(g[i] == 0) << (7 - i);
  int best = runs.length[zeros] ? runs.start[zeros] : 8;
  int after = best + runs.length[zeros];
  char* p = dest;
  for (int i = 0; i < best; i++) {
    if (i > 0) *p++ = ':';
    p = put_group(g[i], p);
  }
  if (best < 8) {
    *p++ = ':';
    *p++ = ':';
    for (int i = after; i < 8; i++) {
      if (i > after) *p++ = ':';
      p = put_group(g[i], p);
    }
  }
  *p = '\0';
  return int(p - dest);
}

int format_ipv6_hex(uint128 a, char* dest) {
  for (int i = 31; i >= 0; i--, a >>= 4)
    dest[i] = HEX_DIGITS[unsigned(a) & 0xf];
  dest[32] = '\0';
  return 32;
}
