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

char* put_group(unsigned g, char* p) {
  // The digits are written from the highest one present, so the group needs
  // no leading-zero pass.
  int shift = g >= 0x1000 ? 12 : g >= 0x100 ? 8 : g >= 0x10 ? 4 : 0;
  for (; shift >= 0; shift -= 4) *p++ = HEX_DIGITS[(g >> shift) & 0xf];
  return p;
}

}  // namespace

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

int format_ipv6(uint128 a, char* dest) {
  unsigned g[8];
  for (int i = 7; i >= 0; i--, a >>= 16) g[i] = unsigned(a & 0xffff);

  // The longest run of zero groups, the first one on a tie; a run of one is
  // not shortened.
  int best = -1, best_length = 1;
  for (int i = 0; i < 8;) {
    if (g[i] != 0) {
      i++;
      continue;
    }
    int j = i;
    while (j < 8 && g[j] == 0) j++;
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j;
  }

  char* p = dest;
  for (int i = 0; i < 8; i++) {
    if (i == best) {
      *p++ = ':';
      *p++ = ':';
      i += best_length - 1;
      continue;
    }
    if (i > 0 && i != best + best_length) *p++ = ':';
    p = put_group(g[i], p);
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
