#ifndef TENVIK_ADDRESS_H_
#define TENVIK_ADDRESS_H_

#include <stdint.h>
#include <string.h>

// A node's or a line's state.
enum { ST_UNSET = 0, ST_NO = 1, ST_YES = 2 };

/// The other decision: ST_YES for ST_NO and back; ST_UNSET has none.
inline unsigned opposite_state(unsigned s) {
  return s == ST_YES ? ST_NO : s == ST_NO ? ST_YES : ST_UNSET;
}

/// "+" for ST_YES, "-" for ST_NO (traces and warnings).
const char* state_sign(unsigned s);
/// "YES", "NO" or "" (tree dumps).
const char* state_name(unsigned s);

/// Netmask of a prefix length 0..32: the top `prefix` bits set.
inline uint32_t netmask(int prefix) {
  if (unsigned(prefix) <= 32)
    return uint32_t(~(uint64_t(0xffffffffu) >> prefix));
  return prefix < 0 ? 0 : 0xffffffffu;
}
inline uint32_t wildcard(int prefix) { return ~netmask(prefix); }

/// The one shared text buffer for dotted quads; every use overwrites it.
extern char dotted_buf[16];

// Every octet's digits followed by a dot, so that an address takes four
// copies: entries are printed by the hundred thousand.
struct octet_texts {
  char text[256][4] = {};
  uint8_t length[256] = {};
  constexpr octet_texts() {
    for (unsigned octet = 0; octet < 256; octet++) {
      unsigned n = 0;
      if (octet >= 100) text[octet][n++] = char('0' + octet / 100);
      if (octet >= 10) text[octet][n++] = char('0' + octet / 10 % 10);
      text[octet][n++] = char('0' + octet % 10);
      text[octet][n++] = '.';
      length[octet] = uint8_t(n);
    }
  }
};
inline constexpr octet_texts octets;

/// Writes "a.b.c.d" into dest (at least 16 bytes) and returns its length.
inline int format_dotted(uint32_t a, char* dest) {
  char* p = dest;
  for (int shift = 24; shift >= 0; shift -= 8) {
    unsigned octet = (a >> shift) & 0xff;
    memcpy(p, octets.text[octet], 4);
    p += octets.length[octet];
  }
  *--p = '\0';  // the last octet's dot
  return int(p - dest);
}

/// Writes the address into dotted_buf and returns it.
const char* dotted(uint32_t a);

/// Classful block size of a bare address: 8, 16, 24 or 32.
inline int auto_prefix(uint32_t a) {
  if (a < 0x80000000u && (a & 0x00ffffffu) == 0) return 8;
  if (a < 0xc0000000u && (a & 0x0000ffffu) == 0) return 16;
  if ((a & 0xffu) != 0) return 32;
  if (a >= 0xe0000000u) return 32;
  return 24;
}

#endif  // TENVIK_ADDRESS_H_
