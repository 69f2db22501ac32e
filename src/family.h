#ifndef TENVIK_FAMILY_H_
#define TENVIK_FAMILY_H_

#include <stdint.h>

#include "address.h"
#include "address6.h"

// The two address families. The engine (queue, tree, optimizer, sweep,
// output) is written once over these traits and instantiated for each;
// the driver picks one per run. A family says what an address is, how many
// bits it has, how it is written, and how wide the fields of the packed
// records are that a million-line list is made of.

/// An IPv6 address as a queued block stores it: eight-byte alignment, so
/// that a block takes 24 bytes instead of 32.
typedef uint128 uint128_packed __attribute__((aligned(8)));
/// And as an entry of the sweep's list holds it, beside two bytes: 18
/// bytes an entry instead of 24, where a million hosts make a million.
typedef uint128 uint128_entry __attribute__((aligned(2)));

struct ipv4 {
  typedef uint32_t addr;
  typedef uint32_t stored_addr;
  typedef uint32_t entry_addr;
  static const int BITS = 32;
  /// Bits of a queued block's run length and prefix length.
  static const int COUNT_BITS = 24;
  static const int PREFIX_BITS = 6;
  /// Room for an address's text and its NUL.
  static const int TEXT_MAX = 16;

  static int format(addr a, char* dest) { return format_dotted(a, dest); }
  /// Eight lower-case hexadecimal digits, for tree dumps.
  static int format_hex(addr a, char* dest) {
    for (int i = 0; i < 8; i++)
      dest[i] = "0123456789abcdef"[a >> (28 - 4 * i) & 15];
    dest[8] = '\0';
    return 8;
  }
  /// The top `prefix` bits set, for a prefix length 0 to BITS.
  static addr netmask(int prefix) {
    return uint32_t(~(uint64_t(0xffffffffu) >> prefix));
  }
  /// Leading zero bits; BITS for 0.
  static int leading_zeros(addr a) { return a ? __builtin_clz(a) : BITS; }
  /// Trailing zero bits; BITS for 0.
  static int trailing_zeros(addr a) { return a ? __builtin_ctz(a) : BITS; }
  /// The top 64 bits, left-aligned: what the radix sorts look at.
  static uint64_t top64(addr a) { return uint64_t(a) << 32; }
};

struct ipv6 {
  typedef uint128 addr;
  typedef uint128_packed stored_addr;
  typedef uint128_entry entry_addr;
  static const int BITS = 128;
  static const int COUNT_BITS = 22;
  static const int PREFIX_BITS = 8;
  static const int TEXT_MAX = IPV6_TEXT_MAX;

  static int format(addr a, char* dest) { return format_ipv6(a, dest); }
  static int format_hex(addr a, char* dest) { return format_ipv6_hex(a, dest); }
  static addr netmask(int prefix);
  static int leading_zeros(addr a) {
    uint64_t high = uint64_t(a >> 64);
    if (high) return __builtin_clzll(high);
    uint64_t low = uint64_t(a);
    return low ? 64 + __builtin_clzll(low) : BITS;
  }
  static int trailing_zeros(addr a) {
    uint64_t low = uint64_t(a);
    if (low) return __builtin_ctzll(low);
    uint64_t high = uint64_t(a >> 64);
    return high ? 64 + __builtin_ctzll(high) : BITS;
  }
  static uint64_t top64(addr a) { return uint64_t(a >> 64); }
};

// Every IPv6 netmask, by 64-bit halves: a 128-bit shift by a variable
// count branches on the count, and the sorts and the sweep take masks by
// the million.
struct ipv6_netmasks {
  uint64_t high[129] = {}, low[129] = {};
  constexpr ipv6_netmasks() {
    for (int n = 1; n <= 128; n++) {
      high[n] = n >= 64 ? ~uint64_t(0) : ~uint64_t(0) << (64 - n);
      low[n] = n <= 64 ? 0 : ~uint64_t(0) << (128 - n);
    }
  }
};
static constexpr ipv6_netmasks IPV6_NETMASKS;

inline ipv6::addr ipv6::netmask(int prefix) {
  unsigned n = prefix < 0 ? 0 : unsigned(prefix);
  return uint128(IPV6_NETMASKS.high[n]) << 64 | IPV6_NETMASKS.low[n];
}

/// The complement of the netmask: the bits below the top `prefix`.
template <typename F>
inline typename F::addr wildcard_of(int prefix) {
  return ~F::netmask(prefix);
}

/// First address of child b of the block addr/prefix (prefix below BITS).
template <typename F>
inline typename F::addr child_of(typename F::addr addr, int prefix, int b) {
  return addr | (typename F::addr(b) << (F::BITS - 1 - prefix));
}
// IPv6 by 64-bit halves, as ipv6::netmask: no 128-bit shift by a variable
// count in the sweep's every step.
template <>
inline uint128 child_of<ipv6>(uint128 addr, int prefix, int b) {
  uint64_t bit = uint64_t(b) << (63 - (prefix & 63));
  return addr | (prefix < 64 ? uint128(bit) << 64 : uint128(bit));
}

/// Bit i of a, counted from the top (0 is the highest).
template <typename F>
inline int bit_at(typename F::addr a, int i) {
  return int(a >> (F::BITS - 1 - i)) & 1;
}
// The half that holds the bit, as child_of<ipv6> does.
template <>
inline int bit_at<ipv6>(uint128 a, int i) {
  uint64_t half = i < 64 ? uint64_t(a >> 64) : uint64_t(a);
  return int(half >> (63 - (i & 63))) & 1;
}

/// Calls visit(first, prefix) for the fewest aligned blocks that together
/// hold exactly the addresses first to last (first <= last), in ascending
/// order; stops at the first visit that returns false, and returns what
/// the last visit returned.
template <typename F, typename Visit>
inline bool cover_range(typename F::addr first, typename F::addr last,
                        Visit visit) {
  typedef typename F::addr addr;
  // A single address, as most stretches of a list of hosts are.
  if (first == last) return visit(first, F::BITS);
  for (;;) {
    // The biggest aligned block that starts at first and ends by last: as
    // many bits as first has trailing zeros, no more than the span allows.
    int k = F::trailing_zeros(first);
    addr span = last - first;  // the block's size minus one, at most
    if (span != ~addr(0)) {
      int fit = F::BITS - 1 - F::leading_zeros(span + 1);
      if (fit < k) k = fit;
    }
    if (!visit(first, F::BITS - k)) return false;
    addr block_last = first + wildcard_of<F>(F::BITS - k);
    if (block_last == last) return true;
    first = block_last + 1;
  }
}

#endif  // TENVIK_FAMILY_H_
