#ifndef TENVIK_ADDRESS6_H_
#define TENVIK_ADDRESS6_H_

/// An IPv6 address in host order: group 1 is the top 16 bits.
typedef unsigned __int128 uint128;

/// Room for the longest canonical text, eight four-digit groups and seven
/// colons, and its NUL.
const int IPV6_TEXT_MAX = 40;

/// True when [begin, end) is an IPv6 address text that
/// inet_pton(AF_INET6, ...) accepts when given exactly that text as a
/// NUL-terminated string; then sets *out, otherwise leaves it alone. A NUL
/// or any other character that is not an address character inside the range
/// makes it invalid.
bool parse_ipv6(const char* begin, const char* end, uint128* out);

/// parse_ipv6 of the run of address characters that starts at begin (a
/// NUL-terminated text), whose end it sets in *run_end; faster on the usual
/// shapes.
bool parse_ipv6_run(const char* begin, const char** run_end, uint128* out);

/// Bytes from an address's start that parse_full_ipv6 reads, whatever the
/// text's length: the text and what follows it must fill them.
const int FULL_IPV6_READ = 48;

/// Whether this processor runs parse_full_ipv6 (it needs SSSE3).
bool can_parse_full_ipv6();

/// parse_ipv6_run for the shape of a single address's text, eight groups
/// of one to four hexadecimal digits and no "::", with FULL_IPV6_READ
/// readable bytes from begin; false for any other run, valid or not, which
/// is then parse_ipv6_run's to read. Only where can_parse_full_ipv6().
bool parse_full_ipv6(const char* begin, const char** run_end, uint128* out);

/// Writes the canonical RFC 5952 text of a (lower-case hex, no leading
/// zeros, the longest run of two or more zero groups as "::", the first when
/// tied, a lone zero group as "0", never a dotted-quad tail) into dest, which
/// holds at least IPV6_TEXT_MAX bytes, NUL-terminated; returns its length.
int format_ipv6(uint128 a, char* dest);

/// Writes a as 32 lower-case hexadecimal digits, NUL-terminated, into dest
/// (at least 33 bytes); returns 32.
int format_ipv6_hex(uint128 a, char* dest);

/// Address characters: hexadecimal digits, ':' and '.'. A run is a maximal
/// sequence of them.
inline bool is_address6_char(char c) {
  unsigned folded = unsigned(c) | 0x20;  // 'A'-'F' to 'a'-'f'
  return (c >= '0' && c <= ':') || c == '.' || (folded >= 'a' && folded <= 'f');
}

#endif  // TENVIK_ADDRESS6_H_
