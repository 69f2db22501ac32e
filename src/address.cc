#include "address.h"

#include <string.h>

char dotted_buf[16];

const char* state_sign(unsigned s) { return s == ST_YES ? "+" : "-"; }

const char* state_name(unsigned s) {
  return s == ST_YES ? "YES" : s == ST_NO ? "NO" : "";
}

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
static constexpr octet_texts octets;

int format_dotted(uint32_t a, char* dest) {
  char* p = dest;
  for (int shift = 24; shift >= 0; shift -= 8) {
    unsigned octet = (a >> shift) & 0xff;
    memcpy(p, octets.text[octet], 4);
    p += octets.length[octet];
  }
  *--p = '\0';  // the last octet's dot
  return int(p - dest);
}

const char* dotted(uint32_t a) {
  format_dotted(a, dotted_buf);
  return dotted_buf;
}

int auto_prefix(uint32_t a) {
  if (a < 0x80000000u && (a & 0x00ffffffu) == 0) return 8;
  if (a < 0xc0000000u && (a & 0x0000ffffu) == 0) return 16;
  if ((a & 0xffu) != 0) return 32;
  if (a >= 0xe0000000u) return 32;
  return 24;
}
