#include "buckets.h"

#include <type_traits>

#include "radix.h"

// A store holds at most this many chunks, 2^27 long blocks or more: what
// a queue holds.
const size_t MOST_CHUNKS = (size_t(1) << 27) / (CHUNK_WORDS / 2);

bucket_store* open_store(uint64_t any, uint64_t all) {
  void* memory = map_pages(sizeof(bucket_store));
  if (!memory) return nullptr;
  // The pages come zeroed, and a list's buckets of one kind leave the
  // other's lists untouched: zeroing the store again would touch them all.
  static_assert(std::is_trivial<bucket_store>::value,
                "a bucket store is its zeroed pages");
  bucket_store* s = static_cast<bucket_store*>(memory);
  // The bucket is the twelve bits from the highest one the blocks so far
  // do not all share: a table in 2000::/3 spreads over its buckets, and a
  // list inside one network does too.
  uint64_t varying = any & ~all;
  int high = varying ? 63 - __builtin_clzll(varying) : 0;
  s->shift = high < BUCKET_BITS ? 1 : high - (BUCKET_BITS - 1);
  s->common = all;
  return s;
}

void close_store(bucket_store* s) {
  if (!s) return;
  unmap_mapping(s->pool, s->capacity * CHUNK_WORDS, s->pool_reserved);
  unmap_mapping(s->next, s->next_capacity, s->next_reserved);
  munmap(s, sizeof(bucket_store));
}

bool grow_pool(bucket_store& s) {
  if (s.capacity >= MOST_CHUNKS) return false;
  size_t bigger = s.capacity ? 2 * s.capacity : 4096;
  if (s.next_capacity < bigger) {
    uint32_t* next = grow_mapping(s.next, s.next_capacity, bigger,
                                  s.next_reserved, MOST_CHUNKS);
    if (!next) return false;
    s.next = next;
    s.next_capacity = bigger;
  }
  uint64_t* pool =
      grow_mapping(s.pool, s.capacity * CHUNK_WORDS, bigger * CHUNK_WORDS,
                   s.pool_reserved, MOST_CHUNKS * CHUNK_WORDS, s.huge_pool);
  if (!pool) return false;
  s.pool = pool;
  s.capacity = bigger;
  return true;
}

bucket_store* widen_store(bucket_store* s) {
  // The top bits pick the bucket: no block is outside it.
  bucket_store* wide = open_store(~uint64_t(0), 0);
  if (!wide) return nullptr;
  wide->huge_pool = s->huge_pool;
  bool ok = for_each_held_unsorted(
      *s, [wide](uint128 block, unsigned n, unsigned st) {
        return hold_block(*wide, block, n, st);
      });
  if (!ok) {
    close_store(wide);
    return nullptr;
  }
  close_store(s);
  return wide;
}

// A digit with about one value for every eight blocks of the bucket: a
// random list's buckets then fall apart in one pass into a dozen blocks or
// so a digit, each ranked at once. One value a block cost more in counters
// to clear and add up, and in digits of a few dozen blocks sorted by
// another pass, than it saved.
template <typename T, typename Top, typename Less>
static void sort_held(T* a, T* tmp, size_t n, uint32_t* counts, Top top,
                      Less less) {
  if (n < 2) return;
  uint64_t any = 0, all = ~uint64_t(0);
  for (size_t i = 0; i < n; i++) {
    any |= top(a[i]);
    all &= top(a[i]);
  }
  const int eighth = 60 - __builtin_clzll(n);  // log2(n) - 3, rounded down
  const int width = eighth < 8 ? 8 : eighth > 16 ? 16 : eighth;
  uint64_t varying = any & ~all;
  int high = varying ? 63 - __builtin_clzll(varying) : width - 1;
  int shift = high < width - 1 ? 0 : high - (width - 1);
  sort_from_top(a, tmp, n, shift, width, counts, top, less, false);
}

void sort_bucket(held6* a, held6* tmp, size_t n, uint32_t* counts) {
  sort_held(
      a, tmp, n, counts, [](const held6& e) { return e.high; },
      [](const held6& x, const held6& y) {
        return x.high != y.high ? x.high < y.high : x.low >> 2 < y.low >> 2;
      });
}

void sort_bucket(uint64_t* a, uint64_t* tmp, size_t n, uint32_t* counts) {
  // The state, in the lowest two bits, is no part of the order.
  sort_held(
      a, tmp, n, counts, [](uint64_t e) { return e & ~HELD_TAG; },
      [](uint64_t x, uint64_t y) { return x >> 2 < y >> 2; });
}
