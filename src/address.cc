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

