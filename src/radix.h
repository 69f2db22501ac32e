#ifndef TENVIK_RADIX_H_
#define TENVIK_RADIX_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

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

#endif  // TENVIK_RADIX_H_
