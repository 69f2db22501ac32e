#include "strict.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "address.h"
#include "address6.h"
#include "family.h"
#include "notation.h"

namespace {

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return unsigned(c - '0') < 10; }

const char* skip_blanks(const char* p) {
  while (is_blank(*p)) p++;
  return p;
}

// Up to the comment or the end of the line, without trailing blanks, cut
// short for a message.
void quote(const char* p, char* out, size_t room) {
  size_t n = 0;
  while (p[n] && p[n] != '#') n++;
  while (n > 0 && is_blank(p[n - 1])) n--;
  if (n > 60) n = 60;
  snprintf(out, room, "\"%.*s\"", int(n), p);
}

// The fixed start of a diagnostic and the quoted text at p.
bool fail(char* why, const char* text, const char* p) {
  char quoted[80];
  quote(p, quoted, sizeof quoted);
  snprintf(why, STRICT_TEXT_MAX, "%s: %s", text, quoted);
  return false;
}

// Whether the run of address characters at p holds a ':'.
bool run_has_colon(const char* p) {
  for (; is_address6_char(*p); p++)
    if (*p == ':') return true;
  return false;
}

// Whether IPv6 mode reads the line as one of its own: its first word is an
// address with a ':', or a later word is after a modifier.
bool is_ipv6_line(const char* p) {
  p = skip_blanks(p);
  if (run_has_colon(p)) return true;
  if (is_digit(*p) || !*p || *p == '#') return false;
  if (is_address6_char(*p))
    while (is_address6_char(*p)) p++;
  else
    p++;
  for (; *p && *p != '#'; p++)
    if (is_address6_char(*p) && run_has_colon(p)) return true;
  return false;
}

// The modifier word, if any, and the blanks after it. False, with the
// reason, for a word other than permit, deny, yes or no, or a sign.
bool read_modifier(const char*& p, bool ipv6, char* why) {
  if (ipv6 ? run_has_colon(p) : is_digit(*p)) return true;
  if (*p == '+' || *p == '-') {
    p = skip_blanks(p + 1);
    return true;
  }
  const char* word = p;
  while (*p && *p != '#' && !is_blank(*p)) p++;
  size_t n = size_t(p - word);
  static const char words[][7] = {"permit", "deny", "yes", "no"};
  for (const char* w : words) {
    if (n == strlen(w) && strncasecmp(word, w, n) == 0) {
      p = skip_blanks(p);
      return true;
    }
  }
  char c = *word;
  bool permits = c == 'P' || c == 'p' || c == 'Y' || c == 'y' || c == '+';
  char text[80];
  snprintf(text, sizeof text, "unknown modifier \"%.*s\" (read as %s)",
           int(n > 40 ? 40 : n), word, permits ? "permit" : "deny");
  snprintf(why, STRICT_TEXT_MAX, "%s", text);
  return false;
}

// A dotted quad of plain octets: one to three digits, at most 255, no
// leading zero (which some tools read as octal). A failure quotes the text
// from `start`, the block's beginning.
bool read_quad(const char*& p, uint32_t* a, const char* start, char* why) {
  uint32_t value = 0;
  for (int i = 0; i < 4; i++) {
    if (i > 0 && *p++ != '.') return fail(why, "not an address block", start);
    if (!is_digit(*p)) return fail(why, "not an address block", start);
    const char* digits = p;
    unsigned long octet = 0;
    while (is_digit(*p) && p - digits < 12)
      octet = octet * 10 + unsigned(*p++ - '0');
    if (octet > 255) return fail(why, "address out of range", start);
    if (p - digits > 1 && *digits == '0')
      return fail(why, "octet with a leading zero", start);
    value = value << 8 | uint32_t(octet);
  }
  *a = value;
  return true;
}

// A prefix length of plain digits after the '/', at most `bits`.
bool read_length(const char*& p, int bits, const char* block, char* why) {
  if (*p == '-') return fail(why, "negative prefix length", block);
  if (!is_digit(*p)) return fail(why, "not an address block", block);
  unsigned long length = 0;
  while (is_digit(*p)) {
    if (length <= unsigned(bits)) length = length * 10 + unsigned(*p - '0');
    p++;
  }
  if (length > unsigned(bits))
    return fail(
        why, bits == 32 ? "prefix length above 32" : "prefix length above 128",
        block);
  return true;
}

// Only blanks and a comment may follow the block.
bool at_end(const char* p, const char* block, char* why) {
  const char* rest = skip_blanks(p);
  if (!*rest || *rest == '#') return true;
  if (rest == p && is_address6_char(*rest))
    return fail(why, "not an address block", block);
  return fail(why, "text after the block", rest);
}

// The block from p on, in family F: one address read by `read` (false
// after it gave the reason), then a prefix length, a range, a mask (whose
// second address begins where `starts` says) or nothing, and nothing but
// blanks and a comment after it. `exact` judges a range.
template <typename F, typename Read, typename Starts, typename Exact>
bool check_block(const char* p, char* why, Read read, Starts starts,
                 Exact exact) {
  typedef typename F::addr addr;
  const char* block = p;
  addr a;
  if (!read(p, &a, block)) return false;
  if (*p == '/') {
    p++;
    if (!read_length(p, F::BITS, block, why)) return false;
    return at_end(p, block, why);
  }
  const char* q = skip_blanks(p);
  if (*q == '-') {
    q = skip_blanks(q + 1);
    addr b;
    if (!read(q, &b, block)) return false;
    if (b < a) return fail(why, "range end below start", block);
    if (!exact(a, b)) return false;
    return at_end(q, block, why);
  }
  if (q > p && starts(q)) {
    addr m;
    if (!read(q, &m, block)) return false;
    // Top bit clear: wildcard bits.
    addr mask = m >> (F::BITS - 1) ? m : addr(~m);
    int len = F::leading_zeros(addr(~mask));
    if (mask != F::netmask(len)) return fail(why, "invalid mask", block);
    if (len == F::BITS && a == 0)
      return fail(why, "mask treated as 0 significant bits", block);
    return at_end(q, block, why);
  }
  return at_end(p, block, why);
}

// Whether the default block rule covers the range a - b exactly; if not,
// says what it covers instead.
bool range_rule_exact(uint32_t a, uint32_t b, char* why) {
  int n = range_block_prefix(a, b);
  uint64_t size = uint64_t(1) << (32 - n);
  uint64_t first = a & netmask(n);
  uint64_t last = first + ((uint64_t(b) - a) / size + 1) * size - 1;
  if (first == a && last == b) return true;
  char text[3][16];
  format_dotted(a, text[0]);
  format_dotted(b, text[1]);
  format_dotted(uint32_t(first), text[2]);
  snprintf(why, STRICT_TEXT_MAX,
           "range %s - %s is read as %s - %s; --exact-ranges reads it exactly",
           text[0], text[1], text[2], dotted(uint32_t(last)));
  return false;
}

bool check_ipv4(const char* p, bool exact_ranges, char* why) {
  const char* line = p;
  if (!read_modifier(p, false, why)) return false;
  if (!*p || *p == '#') return fail(why, "no address block", line);
  if (!is_digit(*p)) {
    const char* q = p;
    while (*q && *q != '#' && !is_digit(*q)) q++;
    if (is_digit(*q))
      return fail(why, "text between the modifier and the block", p);
  }
  return check_block<ipv4>(
      p, why,
      [why](const char*& q, uint32_t* a, const char* block) {
        return read_quad(q, a, block, why);
      },
      [](const char* q) { return is_digit(*q); },
      [exact_ranges, why](uint32_t a, uint32_t b) {
        return exact_ranges || range_rule_exact(a, b, why);
      });
}

// An IPv6 address run at p, not the start of a longer word.
bool read_run(const char*& p, uint128* a) {
  const char* end;
  if (!parse_ipv6_run(p, &end, a)) return false;
  unsigned folded = unsigned(*end) | 0x20;
  if (*end == '_' || (folded >= 'a' && folded <= 'z')) return false;
  p = end;
  return true;
}

bool check_ipv6(const char* p, char* why) {
  if (!read_modifier(p, true, why)) return false;
  if (!run_has_colon(p)) return fail(why, "text before the block", p);
  return check_block<ipv6>(
      p, why,
      [why](const char*& q, uint128* a, const char* block) {
        return read_run(q, a) || fail(why, "invalid IPv6 block", block);
      },
      run_has_colon, [](uint128, uint128) { return true; });
}

}  // namespace

strict_verdict judge_line(address_family family, const char* line,
                          size_t length, char* why) {
  if (strlen(line) != length) {
    snprintf(why, STRICT_TEXT_MAX, "NUL byte in the line (UTF-16 text?)");
    return STRICT_ERROR;
  }
  if (line[0] == '*') return STRICT_READ;
  const char* p = skip_blanks(line);
  if (!*p || *p == '#') return STRICT_READ;
  bool ipv6 = is_ipv6_line(p);
  bool ok =
      ipv6 ? check_ipv6(p, why) : check_ipv4(p, settings.opt_exact_ranges, why);
  // An IPv4 block with something IPv6-like later on the line is told what
  // is wrong with it as IPv4.
  if (!ok && ipv6 && strncmp(why, "text before the block", 21) == 0)
    check_ipv4(p, settings.opt_exact_ranges, why);
  if (!ok) return STRICT_ERROR;
  return ipv6 == (family == FAMILY_IPV6) ? STRICT_READ : STRICT_SKIP;
}
