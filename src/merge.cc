// Sorting the queue into tree order, and merging the held blocks into one
// entry per block for the sweep.

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>

#include "address.h"
#include "messages.h"
#include "queue.h"
#include "radix.h"
#include "settings.h"

// Holding every block stops at this many entries; see queue.cc.
const size_t SPREAD_LIMIT = size_t(1) << 27;

// The radix sorts' counters: IPv4's passes from the lowest digit up take
// 3 x 2048, IPv6's from the top down 65537 and 257 for each level below.
const size_t COUNT_SLOTS = 65537 + 8 * 257;

// The spare takes the queue's place, and the queue the spare's.
template <typename F>
static void swap_spare(block_queue<F>& q) {
  std::swap(q.batch, q.spare);
  std::swap(q.capacity, q.spare_capacity);
  std::swap(q.reserved, q.spare_reserved);
}

// Room for a copy of the queue, for the radix sort.
template <typename F>
static bool get_spare(block_queue<F>& q) {
  if (q.spare_capacity < q.capacity) {
    release_spare(q);
    q.spare = static_cast<queued_block<F>*>(
        map_pages(q.capacity * sizeof(queued_block<F>)));
    q.spare_capacity = q.spare ? q.capacity : 0;
  }
  if (!q.counts)
    q.counts = static_cast<uint32_t*>(malloc(COUNT_SLOTS * sizeof(uint32_t)));
  return q.spare && q.counts;
}

// One stable counting pass of the queue into the spare, which then takes
// the queue's place.
template <typename F, typename Key>
static void pass(block_queue<F>& q, Key key, uint32_t mask) {
  radix_pass(q.batch, q.spare, q.used, key, mask, q.counts);
  swap_spare(q);
}

// Orders each stretch of entries with the same first address, in place,
// by prefix length, keeping the order of equal ones: a block sorted by
// address only is then in tree order. Such stretches are short but for a
// list that names one block over and over.
template <typename F>
static void order_prefixes(block_queue<F>& q) {
  queued_block<F>* batch = q.batch;
  auto by_prefix = [](const queued_block<F>& a, const queued_block<F>& b) {
    return a.prefix < b.prefix;
  };
  typename F::addr before = q.used ? block_of(batch[0]) : 0;
  for (size_t i = 1; i < q.used; i++) {
    typename F::addr block = block_of(batch[i]);
    bool in_order = block != before || batch[i].prefix >= batch[i - 1].prefix;
    before = block;
    if (in_order) continue;
    size_t start = i - 1, end = i + 1;
    while (start > 0 && block_of(batch[start - 1]) == block) start--;
    while (end < q.used && block_of(batch[end]) == block) end++;
    if (end - start <= 32)
      insertion_sort(batch + start, end - start, by_prefix);
    else
      std::stable_sort(batch + start, batch + end, by_prefix);
    i = end - 1;
  }
}

// IPv4's radix sort: three digits of eleven bits from the lowest up.
const int DIGIT_WIDTH = 11, DIGITS = 3;
const uint32_t DIGIT_BUCKETS = uint32_t(1) << DIGIT_WIDTH;

static inline void count_digits(uint32_t* c, uint32_t key) {
  for (int k = 0; k < DIGITS; k++)
    c[k * DIGIT_BUCKETS + ((key >> (k * DIGIT_WIDTH)) & (DIGIT_BUCKETS - 1))]++;
}

// Turns one digit's counts into where each bucket starts; false when all n
// items are in one bucket, and the pass would not move any.
static bool start_buckets(uint32_t* c, size_t n) {
  uint32_t sum = 0;
  bool one_bucket = false;
  for (uint32_t d = 0; d < DIGIT_BUCKETS; d++) {
    uint32_t here = c[d];
    one_bucket |= here == n;
    c[d] = sum;
    sum += here;
  }
  return !one_bucket;
}

template <typename T, typename Digit>
static inline void scatter(const T* from, T* to, size_t n, uint32_t* starts,
                           Digit digit) {
  for (size_t i = 0; i < n; i++) to[starts[digit(from[i])]++] = from[i];
}

// A queued IPv4 block of one block and a line below 2^24 fits in 64 bits:
// the address above, then the line, the state and the prefix length. The
// sort's stores are what it waits on, and one store of eight bytes costs
// less than two of twelve; the spare gets a third fewer fresh pages too.
static inline uint64_t packed_key_mask(uint64_t v) {
  return ~(uint64_t(0xffffffff) >> (v & 63));
}
static inline uint32_t packed_block(uint64_t v) {
  return uint32_t(v >> 32) & uint32_t(packed_key_mask(v));
}

static inline uint64_t pack_entry(const queued_block<ipv4>& e) {
  return uint64_t(e.addr) << 32 | uint64_t(e.line) << 8 |
         uint64_t(e.state) << 6 | e.prefix;
}
static inline queued_block<ipv4> unpack_entry(uint64_t v) {
  queued_block<ipv4> e;
  e.addr = uint32_t(v >> 32);
  e.line = uint32_t(v >> 8) & 0xffffff;
  e.count = 1;
  e.prefix = uint32_t(v & 63);
  e.state = uint32_t(v >> 6) & 3;
  return e;
}

// Unpacks the first `count` words of a queue packed where it lies back into
// its entries, from the last down: entry k's place overlaps only word k,
// read first, and later words, already unpacked.
template <typename Word, typename Unpack>
static void unpack_in_place(char* bytes, size_t count, Unpack unpack) {
  for (size_t k = count; k-- > 0;) {
    Word v;
    memcpy(&v, bytes + k * sizeof v, sizeof v);
    auto back = unpack(v);
    memcpy(bytes + k * sizeof back, &back, sizeof back);
  }
}

// Sorts the queue's single blocks as 64-bit words: packs them where they
// are, counting the digits as it goes, sorts them between the queue and the
// spare and unpacks them into the other. False, with the queue as it was,
// when some entry does not fit.
static bool sort_packed(block_queue<ipv4>& q) {
  const size_t n = q.used;
  uint32_t* c = q.counts;
  memset(c, 0, DIGITS * DIGIT_BUCKETS * sizeof(uint32_t));
  char* bytes = reinterpret_cast<char*>(q.batch);
  // Word i goes where entry i started or before it, so nothing is
  // overwritten before it is read.
  for (size_t i = 0; i < n; i++) {
    queued_block<ipv4> e;
    memcpy(&e, bytes + i * sizeof e, sizeof e);
    if ((e.line >> 24) | (e.count ^ 1)) {
      unpack_in_place<uint64_t>(bytes, i, unpack_entry);
      return false;
    }
    uint64_t v = pack_entry(e);
    memcpy(bytes + i * sizeof v, &v, sizeof v);
    count_digits(c, packed_block(v));
  }
  uint64_t* packed = reinterpret_cast<uint64_t*>(q.batch);
  uint64_t* other = reinterpret_cast<uint64_t*>(q.spare);
  for (int k = 0; k < DIGITS; k++) {
    const int shift = k * DIGIT_WIDTH;
    if (!start_buckets(c + k * DIGIT_BUCKETS, n)) continue;
    scatter(packed, other, n, c + k * DIGIT_BUCKETS, [shift](uint64_t v) {
      return (packed_block(v) >> shift) & (DIGIT_BUCKETS - 1);
    });
    std::swap(packed, other);
  }
  queued_block<ipv4>* to = reinterpret_cast<queued_block<ipv4>*>(other);
  for (size_t i = 0; i < n; i++) to[i] = unpack_entry(packed[i]);
  if (to != q.batch) swap_spare(q);
  return true;
}

// Where IPv6's first 16-bit digit starts, given the bits some (`any`) and
// all (`all`) of the blocks' top 64 bits have: at the highest bit they do
// not all share. Tables are mostly in 2000::/3, where the top sixteen bits
// would leave buckets too big for their few blocks.
static int top_digit_shift(uint64_t any, uint64_t all) {
  uint64_t varying = any & ~all;
  int high = varying ? 63 - __builtin_clzll(varying) : 15;
  return high < 15 ? 0 : high - 15;
}

// An IPv6 block with no address bits below the top 64, as nearly every
// block of a table is, in 16 bytes: those bits, then the line, the prefix
// length and the state. Sorted so, its stores are a third smaller and the
// spare gets a third fewer fresh pages, as with IPv4's words.
struct packed6 {
  uint64_t top;
  uint64_t rest;  // line << 32 | prefix << 2 | state
};
static inline unsigned packed6_prefix(const packed6& v) {
  return unsigned(v.rest >> 2) & 0xff;
}
static inline uint64_t packed6_block(const packed6& v) {
  return v.top & IPV6_NETMASKS.high[packed6_prefix(v)];
}
static inline queued_block<ipv6> unpack6(const packed6& v) {
  queued_block<ipv6> e;
  e.addr = uint128(v.top) << 64;
  e.line = uint32_t(v.rest >> 32);
  e.count = 1;
  e.prefix = packed6_prefix(v);
  e.state = unsigned(v.rest) & 3;
  return e;
}

// Sorts the queue by `less` as packed6 when every entry packs: packs them
// where they lie, noting in any and all the bits some and all of their blocks'
// top 64 bits have, sorts them from the top down into the spare and unpacks
// them into the queue. False, with the queue as it was, when one does not pack.
template <typename Less>
static bool sort_packed6(block_queue<ipv6>& q, Less less, uint64_t* any,
                         uint64_t* all) {
  const size_t n = q.used;
  char* bytes = reinterpret_cast<char*>(q.batch);
  // Word i goes where entry i started or before it, so nothing is
  // overwritten before it is read; a misfit unpacks the words back.
  for (size_t i = 0; i < n; i++) {
    queued_block<ipv6> e;
    memcpy(&e, bytes + i * sizeof e, sizeof e);
    uint128 a = e.addr;
    if (uint64_t(a) != 0 || e.count != 1) {
      unpack_in_place<packed6>(bytes, i, unpack6);
      return false;
    }
    packed6 v = {uint64_t(a >> 64),
                 uint64_t(e.line) << 32 | uint64_t(e.prefix) << 2 | e.state};
    memcpy(bytes + i * sizeof v, &v, sizeof v);
    uint64_t top = packed6_block(v);
    *any |= top;
    *all &= top;
  }
  packed6* from = reinterpret_cast<packed6*>(q.batch);
  packed6* to = reinterpret_cast<packed6*>(q.spare);
  sort_from_top(
      from, to, n, top_digit_shift(*any, *all), 16, q.counts, packed6_block,
      [less](const packed6& x, const packed6& y) {
        return less(unpack6(x), unpack6(y));
      },
      true);
  for (size_t i = 0; i < n; i++) q.batch[i] = unpack6(to[i]);
  return true;
}

// Radix passes from the lowest digit up over the block address, and no
// pass for a digit all the entries share; with `with_prefix`, then the prefix
// order of blocks with the same address. IPv6 goes from the top digit down
// instead, sorting by `less` as a whole.
template <typename F, typename Less>
static void sort_by_blocks(block_queue<F>& q, Less less, bool with_prefix) {
  if constexpr (F::BITS > 64) {
    (void)with_prefix;
    uint64_t any = 0, all = ~uint64_t(0);
    if (!q.has_runs && sort_packed6(q, less, &any, &all)) return;
    any = 0, all = ~uint64_t(0);
    for (size_t i = 0; i < q.used; i++) {
      uint64_t top = F::top64(block_of(q.batch[i]));
      any |= top;
      all &= top;
    }
    sort_from_top(
        q.batch, q.spare, q.used, top_digit_shift(any, all), 16, q.counts,
        [](const queued_block<F>& e) { return F::top64(block_of(e)); }, less,
        true);
    swap_spare(q);
  } else {
    (void)less;
    // Eleven bits a digit: a pass then writes to 2048 places at a time,
    // whose cache lines stay in the core's cache, where sixteen bits would
    // miss it on nearly every write. All three digits are counted in one
    // read.
    uint32_t* c = q.counts;
    // Runs need their count; a list of them comes sorted, as a rule.
    if (q.has_runs || !sort_packed(q)) {
      const size_t n = q.used;
      memset(c, 0, DIGITS * DIGIT_BUCKETS * sizeof(uint32_t));
      for (size_t i = 0; i < n; i++) count_digits(c, block_of(q.batch[i]));
      for (int k = 0; k < DIGITS; k++) {
        const int shift = k * DIGIT_WIDTH;
        if (!start_buckets(c + k * DIGIT_BUCKETS, n)) continue;
        scatter(q.batch, q.spare, n, c + k * DIGIT_BUCKETS,
                [shift](const queued_block<F>& e) {
                  return (uint32_t(block_of(e)) >> shift) & (DIGIT_BUCKETS - 1);
                });
        swap_spare(q);
      }
    }
    if (with_prefix) order_prefixes(q);
  }
}

template <typename F>
bool sort_batch(block_queue<F>& q, bool by_prefix) {
  auto by_block = [](const queued_block<F>& a, const queued_block<F>& b) {
    return block_of(a) < block_of(b);
  };
  auto by_tree = [](const queued_block<F>& a, const queued_block<F>& b) {
    return tree_less(a, b);
  };
  // A plain merge sort where the radix passes' fixed cost would dominate.
  if (q.used < 4096) {
    if (by_prefix)
      std::stable_sort(q.batch, q.batch + q.used, by_tree);
    else
      std::stable_sort(q.batch, q.batch + q.used, by_block);
    return true;
  }
  if (!get_spare(q)) return false;
  if (by_prefix)
    sort_by_blocks(q, by_tree, q.mixed_prefixes);
  else
    sort_by_blocks(q, by_block, false);
  return true;
}

// Whether the sorted queue can go to the sweep as it is: entries with the
// same first block cover the same blocks (a block or a run named again),
// and no entry starts inside a run.
template <typename F>
static bool runs_apart(const block_queue<F>& q) {
  for (size_t i = 1; i < q.used; i++) {
    const queued_block<F>& before = q.batch[i - 1];
    const queued_block<F>& e = q.batch[i];
    if (same_block(before, e)) {
      if (before.count != e.count) return false;
    } else if (before.count > 1 && block_of(e) <= run_last(before)) {
      return false;
    }
  }
  return true;
}

template <typename F>
static bool same_blocks(const queued_block<F>& a, const queued_block<F>& b) {
  return same_block(a, b) && a.count == b.count;
}

// Marks the runs of the sorted queue that share some blocks with other
// entries or have entries starting inside them; `all` marks every run. A
// run that starts inside another is marked with it, and a run named again
// shares its marks, so no unmarked run has another entry's block inside it
// once the marked ones are spread out.
template <typename F>
static void mark_runs(const block_queue<F>& q, bool* marked, bool all) {
  const queued_block<F>* batch = q.batch;
  bool any_open = false;
  typename F::addr open_last = 0;  // the furthest end of the runs so far
  size_t open = 0;
  for (size_t i = 0; i < q.used; i++) {
    const queued_block<F>& e = batch[i];
    marked[i] = all && e.count > 1;
    if (i > 0 && same_block(batch[i - 1], e)) {
      if (batch[i - 1].count != e.count) {
        marked[i - 1] = batch[i - 1].count > 1;
        marked[i] = e.count > 1;
      }
    } else if (any_open && block_of(e) <= open_last) {
      marked[open] = true;
      if (e.count > 1) marked[i] = true;
    }
    if (e.count > 1 && (!any_open || run_last(e) > open_last)) {
      any_open = true;
      open_last = run_last(e);
      open = i;
    }
  }
  for (size_t i = 1; i < q.used; i++)
    if (marked[i - 1] && same_blocks(batch[i - 1], batch[i])) marked[i] = true;
  for (size_t i = q.used; i-- > 1;)
    if (marked[i] && same_blocks(batch[i - 1], batch[i])) marked[i - 1] = true;
}

// Replaces the marked runs by their blocks and sorts the queue again, into
// tree order and, for a block named more than once, input order. False,
// with nothing changed, when they do not fit.
template <typename F>
static bool spread_runs(block_queue<F>& q, bool all) {
  typedef typename F::addr addr;
  bool* marked = static_cast<bool*>(malloc(q.used ? q.used : 1));
  if (!marked) return false;
  mark_runs(q, marked, all);
  uint64_t total = 0;
  for (size_t i = 0; i < q.used; i++) total += marked[i] ? q.batch[i].count : 1;
  queued_block<F>* blocks = nullptr;
  if (total <= SPREAD_LIMIT)
    blocks = static_cast<queued_block<F>*>(
        map_pages(size_t(total) * sizeof(queued_block<F>)));
  if (!blocks) {
    free(marked);
    return false;
  }
  size_t out = 0;
  for (size_t i = 0; i < q.used; i++) {
    queued_block<F> e = q.batch[i];
    if (!marked[i]) {
      blocks[out++] = e;
      continue;
    }
    addr size = e.prefix ? addr(1) << (F::BITS - e.prefix) : 0;
    addr a = e.addr;
    e.count = 1;
    for (uint32_t k = 0; k < q.batch[i].count; k++, a += size) {
      e.addr = a;
      blocks[out++] = e;
    }
  }
  free(marked);
  unmap_mapping(q.batch, q.capacity, q.reserved);
  q.batch = blocks;
  q.capacity = q.used = out;
  q.reserved = 0;
  q.room = 0;
  auto by_tree_and_line = [](const queued_block<F>& a,
                             const queued_block<F>& b) {
    return !same_block(a, b) ? tree_less(a, b) : a.line < b.line;
  };
  if (get_spare(q)) {
    pass(
        q, [](const queued_block<F>& e) { return e.line; }, 0xffff);
    pass(
        q, [](const queued_block<F>& e) { return e.line >> 16; }, 0xffff);
    sort_by_blocks(q, by_tree_and_line, true);
  } else {
    // No two entries have the same block and line.
    std::sort(q.batch, q.batch + q.used, by_tree_and_line);
  }
  return true;
}

// Whether no two entries of the sorted queue have the same block.
template <typename F>
static bool no_block_twice(const block_queue<F>& q) {
  for (size_t i = 1; i < q.used; i++)
    if (same_block(q.batch[i - 1], q.batch[i])) return false;
  return true;
}

template <typename F>
bool merge_held_blocks(block_queue<F>& q, const queued_block<F>** blocks,
                       size_t* count) {
  warning_log& log = *q.log;
  // Without memory to put them back into the queue the tree took them.
  if (q.buckets && (!leave_buckets(q) || !holding_all_blocks(q))) return false;
  if (q.distinct) {
    // Nothing to merge; only the whole space starts out with a state.
    if (q.used > 0 && q.batch[0].prefix == 0 && q.batch[0].state == ST_YES) {
      log.inserting = true;
      log.inserting_line = q.batch[0].line;
      char text[F::TEXT_MAX];
      F::format(q.batch[0].addr, text);
      warn(log, MSG_OVERWRITTEN, text, 0, state_sign(ST_NO),
           state_sign(ST_YES));
      log.inserting = false;
    }
    write_held(log);
    *blocks = q.batch;
    *count = q.used;
    q.used = 0;
    return true;
  }
  if (!q.sorted && !sort_batch(q, true)) return false;
  // Sorted, a list that names no block twice needs no merging: as one that
  // came sorted, but for the whole space, whose warning the merge writes.
  // Nor does one for the positive sweep when no warning is written: of the
  // entries for one block it takes the last, as the merge would.
  if (!q.has_runs && q.used > 0 &&
      ((settings.opt_positive && settings.opt_silent) ||
       (q.batch[0].prefix != 0 && no_block_twice(q)))) {
    write_held(log);
    release_spare(q);
    *blocks = q.batch;
    *count = q.used;
    q.used = 0;
    return true;
  }
  // Runs that meet other entries are spread into their blocks, or all of
  // them should that somehow leave runs meeting others.
  if (q.has_runs && !runs_apart(q) &&
      (!spread_runs(q, false) || (!runs_apart(q) && !spread_runs(q, true)))) {
    // The tree takes them, in input order.
    std::stable_sort(q.batch, q.batch + q.used,
                     [](const queued_block<F>& a, const queued_block<F>& b) {
                       return a.line < b.line;
                     });
    return false;
  }
  // Each block once, with the state of its last line. The warnings are
  // those the insertions in input order would write: one wherever a line
  // turns the state its block had before, for each block of a run.
  queued_block<F>* batch = q.batch;
  size_t out = 0;
  for (size_t i = 0; i < q.used;) {
    const queued_block<F> first = batch[i];
    const typename F::addr block = block_of(first);
    unsigned state = first.prefix == 0 ? ST_NO : ST_UNSET;
    do {
      const queued_block<F>& e = batch[i];
      if (state != ST_UNSET && state != e.state)
        warn_overwrites(log, e.line, e.addr, e.prefix, state, e.state, e.count);
      state = e.state;
    } while (++i < q.used && batch[i].prefix == first.prefix &&
             block_of(batch[i]) == block);
    // Entries with the same first block cover the same blocks here.
    queued_block<F> merged;
    merged.addr = block;
    merged.line = 0;
    merged.count = batch[i - 1].count;
    merged.prefix = first.prefix;
    merged.state = state;
    batch[out++] = merged;
  }
  write_held(log);
  // The tree the blocks may go into gets the spare's memory.
  release_spare(q);
  *blocks = batch;
  *count = out;
  q.used = 0;
  return true;
}

#define INSTANTIATE(F)                                                      \
  template bool sort_batch(block_queue<F>&, bool);                          \
  template bool merge_held_blocks(block_queue<F>&, const queued_block<F>**, \
                                  size_t*);
INSTANTIATE(ipv4)
INSTANTIATE(ipv6)
