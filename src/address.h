#ifndef TENVIK_ADDRESS_H_
#define TENVIK_ADDRESS_H_

#include <stdint.h>

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

/// Writes "a.b.c.d" into dest (at least 16 bytes) and returns its length.
int format_dotted(uint32_t a, char* dest);
/// Writes the address into dotted_buf and returns it.
const char* dotted(uint32_t a);

/// Classful block size of a bare address: 8, 16, 24 or 32.
int auto_prefix(uint32_t a);

#endif  // TENVIK_ADDRESS_H_
