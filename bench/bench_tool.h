#ifndef TENVIK_BENCH_TOOL_H_
#define TENVIK_BENCH_TOOL_H_

// The benchmark's helper: list generator, list converter, the slow model of
// what a list means, and a timer, for IPv4 lists and (with --ipv6) IPv6
// lists. Independent of tenvik's own code, so that it can judge tenvik's
// output.

#include <stdint.h>

#include <string>

/// Prints "bench_tool: " and the message to standard error and exits with
/// `status`.
[[noreturn]] void fail(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/// A small, portable seeded generator (splitmix64): the same seed gives the
/// same lists on every machine and compiler.
struct rng {
  uint64_t state;
  explicit rng(uint64_t seed) : state(seed) {}
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  /// Uniform in [0, n), n > 0.
  uint64_t below(uint64_t n) { return next() % n; }
};

/// "a.b.c.d" of a host-order address.
std::string quad_text(uint32_t a);

/// Reads a dotted quad of four numbers 0..255 at p and moves p past it.
bool read_quad(const char*& p, uint32_t* a);

/// First address of the block of length `prefix` (0..32) around a.
inline uint32_t block_start(uint32_t a, int prefix) {
  return prefix <= 0 ? 0 : prefix >= 32 ? a : a & ~(0xffffffffu >> prefix);
}

/// Calls emit(start, prefix) for the fewest aligned blocks that cover
/// [first, last] exactly, in ascending order.
template <typename F>
void split_into_blocks(uint64_t first, uint64_t last, F emit) {
  while (first <= last) {
    int size_bits = first == 0 ? 32 : __builtin_ctzll(first);
    while (size_bits > 0 && first + (uint64_t(1) << size_bits) - 1 > last)
      size_bits--;
    emit(uint32_t(first), 32 - size_bits);
    first += uint64_t(1) << size_bits;
  }
}

/// tenvik cuts a range into equal blocks chosen from its two addresses: when
/// start and end differ in low bits that are all zero in start and all one
/// in end, and start has no one bit that end lacks, the range is a run of
/// aligned blocks of that size; otherwise the blocks have the classful size
/// that the end address suggests (/32 unless it ends in .0 below 224.0.0.0).
/// Returns how many blocks tenvik inserts for [first, last], or 0 when those
/// blocks reach past the range (classful blocks around an x.y.z.0 end).
inline uint64_t tenvik_range_blocks(uint32_t first, uint32_t last) {
  uint32_t d = first ^ last;
  uint64_t size = uint64_t(last) - first + 1;
  if ((d & 1) && d == last - first)
    return d == 0xffffffffu ? 1 : size >> __builtin_ctz(~d);
  return (last & 255) != 0 || last >= 0xe0000000u ? size : 0;
}

/// An IPv6 address as a number, most significant bit first.
using address6 = unsigned __int128;

/// All ones below the top `prefix` bits (0..128): the host part of a block.
inline address6 host_bits6(int prefix) {
  return prefix <= 0     ? ~address6(0)
         : prefix >= 128 ? 0
                         : ~address6(0) >> prefix;
}

/// The canonical text of RFC 5952: lower-case hexadecimal, no leading
/// zeros, the first longest run of two or more zero groups as "::", and
/// never a dotted-quad tail.
std::string ipv6_text(address6 a);

/// Reads the run of address characters (hexadecimal digits, ':' and '.') at
/// p as inet_pton does and moves p past it. False, with p unchanged, when
/// the run is not an IPv6 address.
bool read_ipv6(const char*& p, address6* a);

/// Calls emit(start, prefix) for the fewest aligned blocks that cover
/// [first, last] exactly, in ascending order; first <= last.
template <typename F>
void split_into_blocks6(address6 first, address6 last, F emit) {
  for (;;) {
    int size_bits = 128;
    if (first != 0) {
      uint64_t low = uint64_t(first);
      size_bits = low ? __builtin_ctzll(low)
                      : 64 + __builtin_ctzll(uint64_t(first >> 64));
    }
    while (size_bits > 0 && (first | host_bits6(128 - size_bits)) > last)
      size_bits--;
    emit(first, 128 - size_bits);
    address6 end = first | host_bits6(128 - size_bits);
    if (end == last) return;
    first = end + 1;
  }
}

int generate_main(int argc, char** argv);
int generate6_main(int argc, char** argv);
int convert_main(int argc, char** argv);
int convert6_main(int argc, char** argv);
int meaning_main(int argc, char** argv);
int meaning6_main(int argc, char** argv);
int time_main(int argc, char** argv);

#endif  // TENVIK_BENCH_TOOL_H_
