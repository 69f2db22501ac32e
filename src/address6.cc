#include "address6.h"

#include <stdint.h>
#include <string.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TENVIK_FULL_IPV6 1
#endif

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

constexpr char HEX_DIGITS[] = "0123456789abcdef";

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

// The text of every number of up to three hexadecimal digits without its
// leading zeros, the first character in the lowest byte, and its length in
// the top byte; none for 0. A group is the text of its top three digits
// and its last digit: a table of every group's text (256 KB) missed the
// core's cache on a random list, and its pages counted in the peak.
struct top_digits {
  uint32_t text[4096] = {};
  constexpr top_digits() {
    for (unsigned t = 1; t < 4096; t++) {
      uint32_t digit = HEX_DIGITS[t & 15];
      text[t] = t < 16    ? digit | 1u << 24
                : t < 256 ? (text[t >> 4] & 0xff) | digit << 8 | 2u << 24
                          : (text[t >> 4] & 0xffff) | digit << 16 | 3u << 24;
    }
  }
};
constexpr top_digits tops;

// Writes the group and its colon. The four bytes are stored at once: the
// text is at most 39 characters, so the stray ones stay inside the buffer,
// and the next colon or group overwrites them.
inline char* put_group(unsigned g, char* p) {
  // The top digits' four bytes go at once, their length byte among them,
  // where the last digit then goes.
  const uint32_t top = tops.text[g >> 4];
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  const uint32_t text = __builtin_bswap32(top);
#else
  const uint32_t text = top;
#endif
  memcpy(p, &text, 4);
  p += top >> 24;
  *p++ = HEX_DIGITS[g & 15];
  *p = ':';
  return p + 1;
}

}  // namespace

bool parse_ipv6_run(const char* begin, const char** run_end, uint128* out) {
  // The common text, hexadecimal groups and at most one "::", is read in
  // one pass that also finds where the run ends; anything else (a dotted
  // tail, a stray character) goes the general way.
  const unsigned char* u = reinterpret_cast<const unsigned char*>(begin);
  uint64_t g[8];
  int count = 0, gap = -1;
  if (u[0] == ':' && u[1] == ':') {
    gap = 0;
    u += 2;
  }
  for (;;) {
    // A group's digits unrolled. What ends it is looked at only after: a
    // colon there also means it has no fifth digit.
    int d = hex.value[u[0]];
    if (d < 0) {
      // Only "::" at the very end may leave an empty group here.
      if (*u == ':' || gap != count || count == 0) goto general;
      break;
    }
    unsigned v = unsigned(d);
    if ((d = hex.value[u[1]]) < 0) {
      u += 1;
    } else {
      v = v << 4 | unsigned(d);
      if ((d = hex.value[u[2]]) < 0) {
        u += 2;
      } else {
        v = v << 4 | unsigned(d);
        if ((d = hex.value[u[3]]) < 0) {
          u += 3;
        } else {
          v = v << 4 | unsigned(d);
          u += 4;
        }
      }
    }
    g[count++] = v;
    if (*u != ':') break;
    if (count == 8) goto general;
    if (*++u == ':') {
      if (gap >= 0) goto general;
      gap = count;
      u++;
    }
  }
  // u is past the run unless the run goes on with a character the loop
  // does not take: a fifth digit, a dot.
  if (!is_address6_char(char(*u))) {
    *run_end = reinterpret_cast<const char*>(u);
    uint64_t part[2] = {0, 0};
    if (gap < 0) {
      if (count != 8) return false;
      part[0] = g[0] << 48 | g[1] << 32 | g[2] << 16 | g[3];
      part[1] = g[4] << 48 | g[5] << 32 | g[6] << 16 | g[7];
    } else {
      // glibc lets "::" stand for a single zero group, but not for none.
      if (count == 8) return false;
      for (int i = 0; i < count; i++) {
        int at = i < gap ? i : i + 8 - count;
        part[at >> 2] |= g[i] << (48 - 16 * (at & 3));
      }
    }
    *out = uint128(part[0]) << 64 | part[1];
    return true;
  }
general:
  const char* end = begin;
  while (is_address6_char(*end)) end++;
  *run_end = end;
  return parse_ipv6(begin, end, out);
}

#ifdef TENVIK_FULL_IPV6

namespace {

// Two groups and their colon, from the first group's start: for the ten
// bits there of the mask of separators (any character but a hexadecimal
// digit), the shuffle of the sixteen bytes from there that puts each
// group's digits at the end of four bytes of its own, zeros before them;
// all high bits, which no shuffle of a valid pair has in its fourth byte,
// when either group is empty or longer than four digits.
struct pair_shuffles {
  uint64_t control[1024] = {};
  constexpr pair_shuffles() {
    for (int m = 0; m < 1024; m++) {
      int first = -1, second = -1;
      for (int b = 0; b < 10 && second < 0; b++) {
        if (!(m >> b & 1)) continue;
        if (first < 0)
          first = b;
        else
          second = b;
      }
      const int lengths[2] = {first, second - first - 1};
      const int ends[2] = {first, second};
      bool valid =
          first >= 1 && first <= 4 && lengths[1] >= 1 && lengths[1] <= 4;
      uint64_t c = 0;
      for (int k = 0; k < 8; k++) {
        const int group = k / 4, back = 3 - k % 4;  // digits from its end
        const int from = valid && back < lengths[group] ? ends[group] - 1 - back
                                                        : 0x80;  // a zero
        c |= uint64_t(from) << (8 * k);
      }
      control[m] = c;
    }
  }
};
constexpr pair_shuffles pairs;

// Hexadecimal digits and colons among 16 bytes, bit 0 the first.
__attribute__((target("ssse3"))) inline void classify(const char* p,
                                                      uint64_t* digits,
                                                      uint64_t* colons) {
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i d = _mm_sub_epi8(c, _mm_set1_epi8('0'));
  const __m128i decimal = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
  const __m128i l =
      _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i letter = _mm_cmpeq_epi8(_mm_min_epu8(l, _mm_set1_epi8(5)), l);
  *digits = unsigned(_mm_movemask_epi8(_mm_or_si128(decimal, letter)));
  *colons = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8(':'))));
}

// The two groups from `at`, as the shuffle `control` places them, their
// digits' text in eight bytes.
__attribute__((target("ssse3"))) inline __m128i pair_text(const char* at,
                                                          uint64_t control) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)),
                          _mm_cvtsi64_si128(int64_t(control)));
}

// Hexadecimal digits' text to their values, a zero byte to zero.
__attribute__((target("ssse3"))) inline __m128i digit_values(__m128i x) {
  const __m128i letter = _mm_cmpgt_epi8(x, _mm_set1_epi8('9'));
  return _mm_add_epi8(_mm_and_si128(x, _mm_set1_epi8(0x0f)),
                      _mm_and_si128(letter, _mm_set1_epi8(9)));
}

}  // namespace

bool can_parse_full_ipv6() { return __builtin_cpu_supports("ssse3"); }

// A random list of single addresses is mostly such texts, and the group
// loop's branches on each group's length miss where a group has a leading
// zero. Here the separators' positions come from masks of 48 bytes at
// once, every other colon starts a pair of groups, and a table's shuffle
// puts each pair's digits in place: no branch on the text.
__attribute__((target("ssse3"))) bool parse_full_ipv6(const char* begin,
                                                      const char** run_end,
                                                      uint128* out) {
  uint64_t digits = 0, colons = 0;
  for (int i = 0; i < FULL_IPV6_READ; i += 16) {
    uint64_t d, c;
    classify(begin + i, &d, &c);
    digits |= d << i;
    colons |= c << i;
  }
  const uint64_t separators = ~digits;
  const int end = __builtin_ctzll(separators & ~colons);  // at most 48
  // The colons of the run, the first six dropped two at a time: each pair
  // of groups starts after an even one.
  uint64_t c = colons & ((uint64_t(1) << end) - 1);
  int starts[4] = {0, 0, 0, 0};
  for (int pair = 1; pair < 4; pair++) {
    c &= c - 1;
    starts[pair] = (__builtin_ctzll(c | uint64_t(1) << 63) + 1) & 63;
    c &= c - 1;
  }
  const bool seventh = c != 0;
  c &= c - 1;
  uint64_t control[4], invalid = 0;
  for (int pair = 0; pair < 4; pair++) {
    control[pair] = pairs.control[(separators >> starts[pair]) & 1023];
    invalid |= control[pair];
  }
  // Seven colons, no more, eight groups of one to four digits between and
  // around them (the last pair's second group ends the run), and no dotted
  // tail.
  if (!seventh || c != 0 || (invalid & 0x80000000) || begin[end] == '.')
    return false;
  const __m128i text[2] = {
      _mm_unpacklo_epi64(pair_text(begin + starts[0], control[0]),
                         pair_text(begin + starts[1], control[1])),
      _mm_unpacklo_epi64(pair_text(begin + starts[2], control[2]),
                         pair_text(begin + starts[3], control[3]))};
  // Two digits to a byte, the first as the high half, and the sixteen
  // bytes in order: the address in network order.
  const __m128i high_low = _mm_set1_epi16(0x0110);
  const __m128i bytes =
      _mm_packus_epi16(_mm_maddubs_epi16(digit_values(text[0]), high_low),
                       _mm_maddubs_epi16(digit_values(text[1]), high_low));
  const uint64_t high = uint64_t(_mm_cvtsi128_si64(bytes));
  const uint64_t low =
      uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(bytes, bytes)));
  *out = uint128(__builtin_bswap64(high)) << 64 | __builtin_bswap64(low);
  *run_end = begin + end;
  return true;
}

#else

bool can_parse_full_ipv6() { return false; }

bool parse_full_ipv6(const char*, const char**, uint128*) { return false; }

#endif

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

// The zero groups of a half, bit 3 its first: a group's top bit after
// adding 0x7fff to its low fifteen bits is set unless it is zero, and one
// multiplication gathers the four bits.
inline unsigned zero_groups(uint64_t x) {
  const uint64_t low15 = 0x7fff7fff7fff7fffull;
  const uint64_t m = ~(((x & low15) + low15) | x) >> 15 & 0x0001000100010001ull;
  const uint64_t gather = uint64_t(1) << 48 | uint64_t(1) << 33 |
                          uint64_t(1) << 18 | uint64_t(1) << 3;
  return unsigned(m * gather >> 48) & 15;
}

// The top n groups of x, each with its colon, sixteen bits a step.
inline char* put_groups(uint128 x, int n, char* p) {
  for (; n > 0; n--, x <<= 16) p = put_group(unsigned(uint64_t(x >> 112)), p);
  return p;
}

// The four groups of a half, each with its colon.
inline char* put_half(uint64_t x, char* p) {
  p = put_group(unsigned(x >> 48), p);
  p = put_group(unsigned(x >> 32) & 0xffff, p);
  p = put_group(unsigned(x >> 16) & 0xffff, p);
  return put_group(unsigned(x) & 0xffff, p);
}

int format_ipv6(uint128 a, char* dest) {
  const uint64_t high = uint64_t(a >> 64), low = uint64_t(a);
  const unsigned zeros = zero_groups(high) << 4 | zero_groups(low);
  char* p = dest;
  const int length = runs.length[zeros], best = runs.start[zeros];
  // The shapes of most lists' addresses, straight through: no zeros to
  // drop (a host), or just the low half dropped (a /64).
  if (length == 0 || (best == 4 && length == 4)) {
    p = put_half(high, p);
    if (length == 0) {
      p = put_half(low, p);
      *--p = '\0';  // over the last colon
    } else {
      *p++ = ':';
      *p = '\0';
    }
    return int(p - dest);
  }
  const int after = best + length;
  if (best == 0) *p++ = ':';
  p = put_groups(a, best, p);
  *p++ = ':';
  if (after < 8) {
    p = put_groups(a << (16 * after), 8 - after, p);
    p--;  // over the last colon
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
