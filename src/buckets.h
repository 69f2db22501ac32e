#ifndef TENVIK_BUCKETS_H_
#define TENVIK_BUCKETS_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

#include "address6.h"
#include "pages.h"

// A silent run of a big IPv6 list holds its blocks in buckets by twelve
// bits of their address as they are read, instead of in one array sorted
// at the end: the sort's first pass is done on the way in, each bucket is
// sorted on its own in the cache, and there is no copy of the whole list
// to sort into. No warning is written, so no line is kept: a block takes
// 16 bytes or 8 where the queue takes 24, and needs no spare 24 more. On
// this kind of machine fresh pages cost as much as the sorting. Blocks
// named again stay in input order, in the same bucket.

/// A held block: its address without the bits the bucket stands for, the
/// prefix length and the state in the lowest ten bits, as one 128-bit
/// number (high, low) that orders as the tree does, the state aside.
struct held6 {
  uint64_t high, low;
};

/// The lowest ten bits of a held block: prefix length and state.
const uint64_t HELD_TAG = 0x3ff;

// Twelve bits: the buckets' open chunks stay in the core's cache as the
// blocks are dealt out, and a million random blocks leave a few hundred to
// a bucket, sorted in one pass and a rank.
const int BUCKET_BITS = 12;
const size_t BUCKETS = size_t(1) << BUCKET_BITS;
/// 64-bit words in a chunk; a bucket is two lists of chunks. Small, since
/// each list has one that is not full.
const size_t CHUNK_WORDS = 32;

/// A block whose address ends within the high word of its held6, as most
/// blocks of a table do (a /64, a /48), is held in that word alone, its
/// prefix length and state in the ten bits the address leaves zero: half
/// the memory, and half to sort. Each bucket keeps such short blocks apart
/// from the long ones. A block and its length decide which it is, so a
/// block named again is always in the same list as before.
enum { HELD_LONG, HELD_SHORT };

struct bucket_store {
  /// Every block's top 64 bits above bit shift + BUCKET_BITS are those of
  /// `common`; the BUCKET_BITS from `shift` up pick its bucket, 1 <= shift
  /// <= 64 - BUCKET_BITS, so that at least ten bits are left below the
  /// block for its prefix length and state.
  uint64_t common;
  int shift;
  uint64_t* pool;  // the chunks, in the order they were taken
  uint32_t* next;  // the next chunk of each chunk's list
  size_t chunks, capacity, next_capacity;
  size_t pool_reserved, next_reserved;  // grow_mapping's
  bool huge_pool;  // the pool on huge pages from the start (a big file)
  size_t held;     // blocks held
  // Indexed [HELD_LONG or HELD_SHORT][bucket].
  uint32_t head[2][BUCKETS], tail[2][BUCKETS], count[2][BUCKETS];
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
  // The block shifted up past the bits the bucket stands for: 12 to 63
  // bits, so both halves are plain shifts.
  const int k = 64 - s.shift;
  const uint64_t high = top << k | low >> (64 - k), rest = low << k;
  const uint64_t tag = n << 2 | st;
  const int kind = rest == 0 && (high & HELD_TAG) == 0 ? HELD_SHORT : HELD_LONG;
  // A mask, not a remainder: a chunk holds one of two powers of two, which
  // the compiler would divide by.
  const uint32_t slot_mask =
      kind == HELD_SHORT ? CHUNK_WORDS - 1 : CHUNK_WORDS / 2 - 1;
  uint32_t c = s.count[kind][b];
  uint32_t chunk = s.tail[kind][b];
  const uint32_t slot = c & slot_mask;
  if (slot == 0) {
    if (s.chunks == s.capacity && !grow_pool(s)) return false;
    chunk = uint32_t(s.chunks++);
    if (c)
      s.next[s.tail[kind][b]] = chunk;
    else
      s.head[kind][b] = chunk;
    s.tail[kind][b] = chunk;
  }
  uint64_t* w = s.pool + size_t(chunk) * CHUNK_WORDS;
  if (kind == HELD_SHORT) {
    w[slot] = high | tag;
  } else {
    w += 2 * slot;
    w[0] = high;
    w[1] = rest | tag;
  }
  s.count[kind][b] = c + 1;
  s.held++;
  return true;
}

/// The top 64 bits that bucket b stands for, below them zero.
inline uint64_t bucket_top(const bucket_store& s, size_t b) {
  return (s.common >> s.shift >> BUCKET_BITS << BUCKET_BITS | b) << s.shift;
}

/// Calls visit(block, prefix, state) for the held block (high, low) of the
/// bucket whose bucket_top is top, and returns what it returns.
template <typename Visit>
inline bool visit_held(const bucket_store& s, uint64_t top, uint64_t high,
                       uint64_t low, Visit& visit) {
  const int k = 64 - s.shift;
  uint64_t a_high = top | high >> k;
  uint64_t a_low = high << s.shift | low >> k;
  return visit(uint128(a_high) << 64 | a_low, unsigned(low >> 2) & 0xff,
               unsigned(low) & 3);
}

/// A short held block as the two words of a long one.
inline held6 unpack_short(uint64_t w) { return {w & ~HELD_TAG, w & HELD_TAG}; }

/// Copies the n blocks of the list of chunks from `chunk` on, `words` words
/// a block, to `to`.
inline void gather_chunks(const bucket_store& s, uint32_t chunk, size_t n,
                          size_t words, uint64_t* to) {
  const size_t total = n * words;
  for (size_t got = 0; got < total; chunk = s.next[chunk]) {
    size_t take = total - got < CHUNK_WORDS ? total - got : CHUNK_WORDS;
    memcpy(to + got, s.pool + size_t(chunk) * CHUNK_WORDS,
           take * sizeof(uint64_t));
    got += take;
  }
}

/// Calls visit(block, prefix, state) for every held block, bucket by
/// bucket, in input order within one list, needing no memory; stops at the
/// first visit that returns false, and returns what the last one returned.
template <typename Visit>
bool for_each_held_unsorted(const bucket_store& s, Visit visit) {
  for (size_t b = 0; b < BUCKETS; b++) {
    const uint64_t top = bucket_top(s, b);
    for (int kind = HELD_LONG; kind <= HELD_SHORT; kind++) {
      const size_t words = kind == HELD_SHORT ? 1 : 2;
      size_t n = s.count[kind][b];
      uint32_t chunk = s.head[kind][b];
      for (size_t i = 0, at = 0; i < n; i++, at += words) {
        if (at == CHUNK_WORDS) {
          chunk = s.next[chunk];
          at = 0;
        }
        const uint64_t* w = s.pool + size_t(chunk) * CHUNK_WORDS + at;
        const held6 h =
            kind == HELD_SHORT ? unpack_short(w[0]) : held6{w[0], w[1]};
        if (!visit_held(s, top, h.high, h.low, visit)) return false;
      }
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

/// Sorts n long held blocks of one bucket at a by address and prefix,
/// stably, with tmp for as many and `counts` for the digits.
void sort_bucket(held6* a, held6* tmp, size_t n, uint32_t* counts);
/// The same for n short ones.
void sort_bucket(uint64_t* a, uint64_t* tmp, size_t n, uint32_t* counts);

/// Room for the digits sort_bucket counts.
const size_t BUCKET_COUNT_SLOTS = 65537 + 8 * 257;

template <typename Visit>
bool for_each_held(const bucket_store& s, Visit visit) {
  size_t largest[2] = {0, 0}, most_words = 0;
  for (size_t b = 0; b < BUCKETS; b++) {
    for (int kind = HELD_LONG; kind <= HELD_SHORT; kind++)
      if (s.count[kind][b] > largest[kind]) largest[kind] = s.count[kind][b];
    const size_t words = 2 * s.count[HELD_LONG][b] + s.count[HELD_SHORT][b];
    if (words > most_words) most_words = words;
  }
  // Room for any bucket's long blocks and, after them, its short ones, and
  // then scratch for sorting either: one mapping, all of it written by the
  // biggest buckets, and given at once, on huge pages as far as it has
  // whole ones (a table's busiest network takes megabytes).
  const size_t sort_words = 2 * largest[HELD_LONG] > largest[HELD_SHORT]
                                ? 2 * largest[HELD_LONG]
                                : largest[HELD_SHORT];
  const size_t bytes = (most_words + sort_words + 1) * sizeof(uint64_t);
  uint64_t* scratch = static_cast<uint64_t*>(map_written_pages(bytes));
  held6* a = reinterpret_cast<held6*>(scratch);
  held6* tmp =
      scratch ? reinterpret_cast<held6*>(scratch + most_words) : nullptr;
  uint32_t* counts =
      static_cast<uint32_t*>(map_pages(BUCKET_COUNT_SLOTS * sizeof(uint32_t)));
  bool ok = scratch && counts;
  for (size_t b = 0; ok && b < BUCKETS; b++) {
    // The next bucket's chunks, which lie all over the pool, are asked
    // into the cache while this one is sorted: gathered, each would be a
    // wait for memory. (Not a function of its own: g++ finds that it has no
    // effect and drops the call.)
    for (int kind = HELD_LONG; b + 1 < BUCKETS && kind <= HELD_SHORT; kind++) {
      const size_t words = kind == HELD_SHORT ? 1 : 2;
      const size_t chunks =
          (s.count[kind][b + 1] * words + CHUNK_WORDS - 1) / CHUNK_WORDS;
      uint32_t chunk = s.head[kind][b + 1];
      for (size_t k = 0; k < chunks; k++, chunk = s.next[chunk]) {
        const uint64_t* p = s.pool + size_t(chunk) * CHUNK_WORDS;
        for (size_t line = 0; line < CHUNK_WORDS; line += 8)
          __builtin_prefetch(p + line);
      }
    }
    const size_t n = s.count[HELD_LONG][b], m = s.count[HELD_SHORT][b];
    if (n + m == 0) continue;
    held6* longs = a;
    uint64_t* shorts = reinterpret_cast<uint64_t*>(a + n);
    gather_chunks(s, s.head[HELD_LONG][b], n, 2, &a->high);
    gather_chunks(s, s.head[HELD_SHORT][b], m, 1, shorts);
    sort_bucket(longs, tmp, n, counts);
    sort_bucket(shorts, &tmp->high, m, counts);
    // The two lists merged; no short block equals a long one.
    const uint64_t top = bucket_top(s, b);
    size_t i = 0, j = 0;
    while (ok && i < n && j < m) {
      const held6 sh = unpack_short(shorts[j]);
      const held6& l = longs[i];
      if (l.high < sh.high || (l.high == sh.high && l.low >> 2 < sh.low >> 2)) {
        ok = visit_held(s, top, l.high, l.low, visit);
        i++;
      } else {
        ok = visit_held(s, top, sh.high, sh.low, visit);
        j++;
      }
    }
    for (; ok && i < n; i++)
      ok = visit_held(s, top, longs[i].high, longs[i].low, visit);
    for (; ok && j < m; j++) {
      const held6 sh = unpack_short(shorts[j]);
      ok = visit_held(s, top, sh.high, sh.low, visit);
    }
  }
  if (scratch) munmap(scratch, bytes);
  if (counts) munmap(counts, BUCKET_COUNT_SLOTS * sizeof(uint32_t));
  return ok;
}

#endif  // TENVIK_BUCKETS_H_
