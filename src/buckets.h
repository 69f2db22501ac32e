#ifndef TENVIK_BUCKETS_H_
#define TENVIK_BUCKETS_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

#include "address6.h"
#include "pages.h"

// A silent run of a big IPv6 list holds its blocks in buckets by twelve
// bits of their address as they are read, instead of in one array sorted
// at the end: the sort's first pass is done on the way in, each bucket is
// sorted on its own in the cache, and there is no copy of the whole list
// to sort into. No warning is written, so no line is kept: a block takes
// 16 bytes where the queue takes 24, and needs no spare 16 or 24 more. On
// this kind of machine fresh pages cost as much as the sorting. Blocks
// named again stay in input order, in the same bucket.

/// A held block: its address without the bits the bucket stands for, the
/// prefix length and the state in the lowest ten bits, as one 128-bit
/// number (high, low) that orders as the tree does, the state aside.
struct held6 {
  uint64_t high, low;
};

// Twelve bits: the buckets' open chunks stay in the core's cache as the
// blocks are dealt out, and a million random blocks leave a few hundred to
// a bucket, sorted in one pass and a rank.
const int BUCKET_BITS = 12;
const size_t BUCKETS = size_t(1) << BUCKET_BITS;
/// Blocks in a chunk; a bucket is a list of chunks. Small, since each
/// bucket has one that is not full.
const size_t CHUNK_BLOCKS = 16;

struct bucket_store {
  /// Every block's top 64 bits above bit shift + BUCKET_BITS are those of
  /// `common`; the BUCKET_BITS from `shift` up pick its bucket, 1 <= shift
  /// <= 64 - BUCKET_BITS, so that at least ten bits are left below the
  /// block for its prefix length and state.
  uint64_t common;
  int shift;
  held6* pool;     // the chunks, in the order they were taken
  uint32_t* next;  // the next chunk of each chunk's bucket
  size_t chunks, capacity, next_capacity;
  size_t held;  // blocks held
  uint32_t head[BUCKETS], tail[BUCKETS], count[BUCKETS];
};

/// A store for blocks whose top 64 bits some have (`any`) and all have
/// (`all`), the bits of the blocks so far; nullptr without memory.
bucket_store* open_store(uint64_t any, uint64_t all);
void close_store(bucket_store* s);

/// Room for one more chunk; false when there is none.
bool grow_pool(bucket_store& s);

/// Whether the store can hold the block: its top bits are the common ones.
inline bool fits_store(const bucket_store& s, uint128 block) {
  return ((uint64_t(block >> 64) ^ s.common) >> s.shift >> BUCKET_BITS) == 0;
}

/// A store like s for every block, its blocks moved into it (s is closed);
/// nullptr, with s as it was, without memory for it.
bucket_store* widen_store(bucket_store* s);

/// Holds block/n in state st, which fits the store; false, holding
/// nothing, when there is no memory for it.
inline bool hold_block(bucket_store& s, uint128 block, unsigned n,
                       unsigned st) {
  uint64_t top = uint64_t(block >> 64), low = uint64_t(block);
  unsigned b = unsigned(top >> s.shift) & (BUCKETS - 1);
  uint32_t c = s.count[b];
  uint32_t chunk = s.tail[b];
  if (c % CHUNK_BLOCKS == 0) {
    if (s.chunks == s.capacity && !grow_pool(s)) return false;
    chunk = uint32_t(s.chunks++);
    if (c)
      s.next[s.tail[b]] = chunk;
    else
      s.head[b] = chunk;
    s.tail[b] = chunk;
  }
  // The block shifted up past the bits the bucket stands for: 12 to 63
  // bits, so both halves are plain shifts.
  const int k = 64 - s.shift;
  held6& h = s.pool[size_t(chunk) * CHUNK_BLOCKS + c % CHUNK_BLOCKS];
  h.high = top << k | low >> (64 - k);
  h.low = low << k | n << 2 | st;
  s.count[b] = c + 1;
  s.held++;
  return true;
}

/// The top 64 bits that bucket b stands for, below them zero.
inline uint64_t bucket_top(const bucket_store& s, size_t b) {
  return (s.common >> s.shift >> BUCKET_BITS << BUCKET_BITS | b) << s.shift;
}

/// Calls visit(block, prefix, state) for held block h of the bucket whose
/// bucket_top is top, and returns what it returns.
template <typename Visit>
inline bool visit_held(const bucket_store& s, uint64_t top, const held6& h,
                       Visit& visit) {
  const int k = 64 - s.shift;
  uint64_t high = top | h.high >> k;
  uint64_t low = h.high << s.shift | h.low >> k;
  return visit(uint128(high) << 64 | low, unsigned(h.low >> 2) & 0xff,
               unsigned(h.low) & 3);
}

/// Calls visit(block, prefix, state) for every held block, bucket by
/// bucket, in input order within one, needing no memory; stops at the
/// first visit that returns false, and returns what the last one returned.
template <typename Visit>
bool for_each_held_unsorted(const bucket_store& s, Visit visit) {
  for (size_t b = 0; b < BUCKETS; b++) {
    const uint64_t top = bucket_top(s, b);
    size_t n = s.count[b];
    uint32_t chunk = s.head[b];
    for (size_t i = 0; i < n; i++) {
      if (i > 0 && i % CHUNK_BLOCKS == 0) chunk = s.next[chunk];
      if (!visit_held(s, top,
                      s.pool[size_t(chunk) * CHUNK_BLOCKS + i % CHUNK_BLOCKS],
                      visit))
        return false;
    }
  }
  return true;
}

/// The blocks of the store in tree order, by address and then shorter
/// prefix first, blocks named again in input order: calls
/// visit(block, prefix, state) for each, and stops at
/// the first that returns false. False when one did, or, having visited
/// none, without memory for sorting.
template <typename Visit>
bool for_each_held(const bucket_store& s, Visit visit);

/// Sorts n held blocks of one bucket at a by address and prefix, stably,
/// with tmp for as many and `counts` for the digits.
void sort_bucket(held6* a, held6* tmp, size_t n, uint32_t* counts);

/// Room for the digits sort_bucket counts.
const size_t BUCKET_COUNT_SLOTS = 65537 + 8 * 257;

template <typename Visit>
bool for_each_held(const bucket_store& s, Visit visit) {
  size_t largest = 0;
  for (size_t b = 0; b < BUCKETS; b++)
    if (s.count[b] > largest) largest = s.count[b];
  held6* a = static_cast<held6*>(map_pages(largest * sizeof(held6) + 1));
  held6* tmp = static_cast<held6*>(map_pages(largest * sizeof(held6) + 1));
  uint32_t* counts =
      static_cast<uint32_t*>(map_pages(BUCKET_COUNT_SLOTS * sizeof(uint32_t)));
  bool ok = a && tmp && counts;
  for (size_t b = 0; ok && b < BUCKETS; b++) {
    size_t n = s.count[b];
    if (n == 0) continue;
    size_t got = 0;
    for (uint32_t chunk = s.head[b]; got < n; chunk = s.next[chunk]) {
      size_t take = n - got < CHUNK_BLOCKS ? n - got : CHUNK_BLOCKS;
      memcpy(a + got, s.pool + size_t(chunk) * CHUNK_BLOCKS,
             take * sizeof(held6));
      got += take;
    }
    sort_bucket(a, tmp, n, counts);
    const uint64_t top = bucket_top(s, b);
    for (size_t i = 0; ok && i < n; i++) ok = visit_held(s, top, a[i], visit);
  }
  if (a) munmap(a, largest * sizeof(held6) + 1);
  if (tmp) munmap(tmp, largest * sizeof(held6) + 1);
  if (counts) munmap(counts, BUCKET_COUNT_SLOTS * sizeof(uint32_t));
  return ok;
}

#endif  // TENVIK_BUCKETS_H_
