#include "address.h"

#include <string.h>

char dotted_buf[16];

const char* state_sign(unsigned s) { return s == ST_YES ? "+" : "-"; }

const char* state_name(unsigned s) {
  return s == ST_YES ? "YES" : s == ST_NO ? "NO" : "";
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
