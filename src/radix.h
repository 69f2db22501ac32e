#ifndef TENVIK_RADIX_H_
#define TENVIK_RADIX_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>

/// One stable counting pass of a radix sort: copies the n items of `from`
/// to `to` ordered by key(item) & mask, items with equal digits in their
/// order. `counts` holds mask + 1 counters.
template <typename T, typename Key>
inline void radix_pass(const T* from, T* to, size_t n, Key key, uint32_t mask,
                       uint32_t* counts) {
  memset(counts, 0, (size_t(mask) + 1) * sizeof(uint32_t));
  for (size_t i = 0; i < n; i++) counts[key(from[i]) & mask]++;
  uint32_t sum = 0;
  for (size_t d = 0; d <= mask; d++) {
    uint32_t c = counts[d];
    counts[d] = sum;
    sum += c;
  }
  for (size_t i = 0; i < n; i++) to[counts[key(from[i]) & mask]++] = from[i];
}

template <typename T, typename Less>
inline void insertion_sort(T* a, size_t n, Less less) {
  for (size_t i = 1; i < n; i++) {
    T x = a[i];
    size_t j = i;
    for (; j > 0 && less(x, a[j - 1]); j--) a[j] = a[j - 1];
    a[j] = x;
  }
}

// Sorts n <= 32 blocks at a by `less`, stably, into `to` (which may be a),
// where their top 64 bits, top(block), agree from bit `shift` up. It ranks
// them by the 32 bits below that when those tell them all apart: counting which
// are smaller costs no branch, where each insertion's end is a guess that
// goes wrong about once a block on a random list. Blocks the bits do not
// tell apart (the same block twice, say) are sorted by insertion.
template <typename T, typename Top, typename Less>
inline void sort_small(T* a, T* to, size_t n, int shift, Top top64, Less less) {
  if (shift >= 0 && n >= 2) {
    uint32_t key[32];
    for (size_t i = 0; i < n; i++) {
      uint64_t top = top64(a[i]);
      key[i] =
          uint32_t(shift >= 32 ? top >> (shift - 32) : top << (32 - shift));
    }
    unsigned rank[32];
    uint32_t ranks = 0;
    for (size_t i = 0; i < n; i++) {
      unsigned r = 0;
      for (size_t j = 0; j < n; j++) r += key[j] < key[i];
      rank[i] = r;
      ranks |= uint32_t(1) << r;
    }
    // Equal keys share a rank and leave another unused.
    if (ranks == uint32_t(~uint64_t(0) >> (64 - n))) {
      T in_place[32];
      T* out = to == a ? in_place : to;
      for (size_t i = 0; i < n; i++) out[rank[i]] = a[i];
      if (to == a) memcpy(a, in_place, n * sizeof(T));
      return;
    }
  }
  insertion_sort(a, n, less);
  if (to != a) memcpy(to, a, n * sizeof(T));
}

// A stable sort of the n blocks at a by `less`, whose top 64 bits agree
// above bit shift + width, from the top digit down: `width` bits first,
// eight a level after. The result goes to tmp with `into_tmp`, else back
// to a; each level's buckets are sorted from where its pass put them into
// where the result goes, so that no level copies them back. From the top
// down, a random list is in buckets of a few blocks after a pass or two,
// each sorted where it is in the cache, while the passes from the lowest
// digit up (four for IPv6) each write all over the memory.
template <typename T, typename Top, typename Less>
inline void sort_from_top(T* a, T* tmp, size_t n, int shift, int width,
                          uint32_t* counts, Top top64, Less less,
                          bool into_tmp) {
  typedef T block;
  if (n <= 32)
    return sort_small(a, into_tmp ? tmp : a, n, shift + width, top64, less);
  if (shift < 0) {
    std::stable_sort(a, a + n, less);
    if (into_tmp) memcpy(tmp, a, n * sizeof(block));
    return;
  }
  const uint32_t mask = (uint32_t(1) << width) - 1;
  uint32_t* below = counts + mask + 2;
  auto digit = [shift, mask, top64](const block& e) {
    return uint32_t(top64(e) >> shift) & mask;
  };
  memset(counts, 0, (size_t(mask) + 2) * sizeof(uint32_t));
  for (size_t i = 0; i < n; i++) counts[digit(a[i]) + 1]++;
  if (counts[digit(a[0]) + 1] == n)  // one bucket: the next digit
    return sort_from_top(a, tmp, n, shift - 8, 8, below, top64, less, into_tmp);
  for (uint32_t d = 0; d < mask; d++) counts[d + 1] += counts[d];
  // counts[d] is where bucket d starts, and after the copy where it ends.
  for (size_t i = 0; i < n; i++) tmp[counts[digit(a[i])]++] = a[i];
  size_t start = 0;
  for (uint32_t d = 0; d <= mask && start < n; d++) {
    size_t end = counts[d];
    if (end - start > 1)
      sort_from_top(tmp + start, a + start, end - start, shift - 8, 8, below,
                    top64, less, !into_tmp);
    else if (end > start && !into_tmp)
      a[start] = tmp[start];
    start = end;
  }
}

#endif  // TENVIK_RADIX_H_
