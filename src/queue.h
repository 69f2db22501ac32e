#ifndef TENVIK_QUEUE_H_
#define TENVIK_QUEUE_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/types.h>

#include "buckets.h"
#include "family.h"
#include "tree.h"
#include "warnings.h"

// Blocks on their way into the tree, or held to the end of the input for
// the sweep. A big list in random order makes every insertion, and later
// every walk of the tree, jump around memory; sorted by address they build
// the tree in the order the walks read it. The sort is stable, so a block
// named twice still takes its later state, and the tree comes out the same
// as with insertions in input order. The warnings are held back and
// written in input order when a batch is flushed or the held blocks are
// merged.

/// Blocks read from the input: an address of the first, the number of
/// blocks (a range names a run of them, each 2^(BITS - prefix) addresses on
/// from the one before), their prefix length and state, and the line that
/// named them (for the order of their warnings). Twelve bytes an IPv4
/// block: a million-line list is sorted as it is.
template <typename F>
struct queued_block {
  typename F::stored_addr addr;
  uint32_t line;
  uint32_t count : F::COUNT_BITS;
  uint32_t prefix : F::PREFIX_BITS;
  uint32_t state : 2;
};
static_assert(sizeof(queued_block<ipv4>) == 12, "an IPv4 block in 12 bytes");
static_assert(sizeof(queued_block<ipv6>) == 24, "an IPv6 block in 24 bytes");

/// The most blocks one queued_block holds; a longer run takes several.
template <typename F>
constexpr uint32_t max_run() {
  return (uint32_t(1) << F::COUNT_BITS) - 1;
}

/// First address of a queued block's first block.
template <typename F>
inline typename F::addr block_of(const queued_block<F>& q) {
  return typename F::addr(q.addr) & F::netmask(q.prefix);
}

/// Last address of a queued block's last block.
template <typename F>
inline typename F::addr run_last(const queued_block<F>& q) {
  typedef typename F::addr addr;
  if (q.prefix == 0) return ~addr(0);
  addr last = addr(q.addr) | wildcard_of<F>(q.prefix);
  // Most entries are one block: no shift by a variable count, which costs
  // branches on a 128-bit address.
  if (q.count > 1) last += addr(q.count - 1) << (F::BITS - q.prefix);
  return last;
}

/// Tree order: by block, and a block before the longer blocks it holds.
template <typename F>
inline bool tree_less(const queued_block<F>& a, const queued_block<F>& b) {
  typename F::addr x = block_of(a), y = block_of(b);
  return x != y ? x < y : a.prefix < b.prefix;
}
template <typename F>
inline bool same_block(const queued_block<F>& a, const queued_block<F>& b) {
  return a.prefix == b.prefix && block_of(a) == block_of(b);
}

/// Blocks that go into the tree at a time while the tree is being built.
const size_t BATCH_SIZE_BLOCKS = size_t(1) << 18;

/// Blocks queued before they may go into buckets: enough to tell which
/// bits of their addresses vary, and whether they come sorted, which needs
/// no sorting and no buckets. Fewer would fill a chunk of every bucket
/// but little of it, and take more memory than the queue.
const size_t BUCKET_AFTER_BLOCKS = size_t(1) << 16;

/// A list file this big holds hundreds of thousands of blocks, as a rule.
const off_t BIG_INPUT_BYTES = off_t(8) << 20;

enum {
  BATCH_OFF,   // every block goes into the tree at once
  BATCH_SOME,  // blocks go in a batch at a time
  BATCH_ALL,   // every block is held for the sweep, until the tree is needed
};

template <typename F>
struct block_queue {
  typedef typename F::addr addr;
  typedef queued_block<F> queued;
  prefix_tree<F>* tree = nullptr;
  warning_log* log = nullptr;
  int mode = BATCH_OFF;
  queued* batch = nullptr;
  size_t capacity = 0;
  queued* spare = nullptr;  // room for a copy, for the radix sort
  size_t spare_capacity = 0;
  size_t reserved = 0, spare_reserved = 0;  // grow_mapping's
  uint32_t* counts = nullptr;               // the radix sort's counters
  size_t used = 0;
  // add_block queues a block at once while used is below this: no flush
  // or growth is due, and its page has been given.
  size_t room = 0;
  // The queue's first `given` blocks are on pages the system has given.
  size_t given = 0;
  bool sorted = true;
  bool distinct = true;  // sorted, no block twice, none inside a run
  bool has_runs = false;
  bool mixed_prefixes = false;
  // The entry queued last, as the next one is compared with it.
  addr last_block = 0;
  unsigned last_prefix = 0;
  bool last_is_run = false;
  addr last_run_last = 0;  // of the last entry, if a run
  // A silent IPv6 run holds its blocks in buckets from the time the queue
  // holds `bucket_after` of them, unless they came sorted; see buckets.h.
  bool may_bucket = false;
  // The list is a file big enough that the queue is sure to fill its first
  // huge page, which it then takes from the start.
  bool big_input = false;
  size_t bucket_after = BUCKET_AFTER_BLOCKS;
  bucket_store* buckets = nullptr;

  block_queue() = default;
  block_queue(const block_queue&) = delete;
  block_queue& operator=(const block_queue&) = delete;
  ~block_queue();
};

/// Gives back the radix sort's spare copy of the queue.
template <typename F>
inline void release_spare(block_queue<F>& q) {
  unmap_mapping(q.spare, q.spare_capacity, q.spare_reserved);
  q.spare = nullptr;
  q.spare_capacity = q.spare_reserved = 0;
}

/// Sets how blocks are queued; call before the first line and after the
/// last flush or merge_held_blocks.
template <typename F>
void set_batching(block_queue<F>& q, int mode);

/// True while the queue holds every block of the input: none has gone into
/// the tree, which a dump, a full queue or a long list makes them do.
template <typename F>
inline bool holding_all_blocks(const block_queue<F>& q) {
  return q.mode == BATCH_ALL;
}

/// add_block for `count` blocks of length n, the first at a and each next
/// one 2^(BITS - n) further on, as a range makes them.
template <typename F>
bool add_blocks(block_queue<F>& q, int n, typename F::addr a, uint64_t count,
                unsigned s);

/// Notes how entry e, about to be queued, stands to the one before it.
template <typename F>
inline void note_order(block_queue<F>& q, const queued_block<F>& e) {
  typename F::addr block = block_of(e);
  if (q.used == 0) {
  } else if constexpr (F::BITS > 64) {
    // Two 128-bit comparisons cost more than a branch that goes wrong.
    if (q.last_prefix != e.prefix) q.mixed_prefixes = true;
    if (block < q.last_block ||
        (block == q.last_block && e.prefix <= q.last_prefix)) {
      q.distinct = false;
      if (block != q.last_block || e.prefix != q.last_prefix) q.sorted = false;
    } else if (q.last_is_run && block <= q.last_run_last) {
      q.distinct = false;
    }
  } else {
    // Bitwise, not short-circuit: on a list in random order each of these
    // goes either way by chance, and a mispredicted branch a line costs
    // more than the few comparisons.
    bool before = block < q.last_block, same = block == q.last_block;
    bool same_prefix = e.prefix == q.last_prefix;
    q.mixed_prefixes |= !same_prefix;
    q.sorted &= !(before | (same & (e.prefix < q.last_prefix)));
    q.distinct &= !(before | (same & !(e.prefix > q.last_prefix)) |
                    (q.last_is_run & (block <= q.last_run_last)));
  }
  q.last_block = block;
  q.last_prefix = e.prefix;
  q.last_is_run = e.count > 1;
  if (q.last_is_run) q.last_run_last = run_last(e);
}

/// Queues `count` blocks of length n from a as one entry; the queue has
/// room for it.
template <typename F>
inline void push_entry(block_queue<F>& q, int n, typename F::addr a,
                       uint32_t count, unsigned s) {
  queued_block<F> e;
  e.addr = a;
  e.line = q.log->line;
  e.count = count;
  e.prefix = uint32_t(n);
  e.state = s;
  note_order(q, e);
  q.batch[q.used++] = e;
}

/// Puts the held blocks back into the queue, sorted, or without memory
/// for it into the tree; every block goes through the queue after it.
/// Returns false when the node pool is exhausted.
template <typename F>
bool leave_buckets(block_queue<F>& q);

/// Holds block a/n of state s in the queue's buckets (IPv6 only), or when
/// they cannot take it, puts the buckets back and it into the queue.
/// Returns false when the node pool is exhausted.
template <typename F>
inline bool hold_in_bucket(block_queue<F>& q, int n, typename F::addr a,
                           unsigned s) {
  if constexpr (F::BITS > 64) {
    typename F::addr block = a & F::netmask(n);
    if (!fits_store(*q.buckets, block)) {
      // Rare: the list leaves the network its first blocks were all in.
      bucket_store* wide = widen_store(q.buckets);
      if (wide) q.buckets = wide;
    }
    // The order needs no note: blocks go into buckets only when they did
    // not come sorted.
    if (fits_store(*q.buckets, block) &&
        hold_block(*q.buckets, block, unsigned(n), s))
      return true;
  }
  return leave_buckets(q) && add_blocks(q, n, a, 1, s);
}

/// Sets the state of block a/n: at once, or at the next flush_blocks.
/// Returns false when the node pool is exhausted.
template <typename F>
inline bool add_block(block_queue<F>& q, int n, typename F::addr a,
                      unsigned s) {
  if constexpr (F::BITS > 64) {
    if (q.buckets) return hold_in_bucket(q, n, a, s);
  }
  // Most lines name one block, and most such blocks just join the queue.
  if (q.used >= q.room) return add_blocks(q, n, a, 1, s);
  push_entry(q, n, a, 1, s);
  return true;
}

/// Inserts every queued block and writes the warnings held back with them.
/// Returns false when the node pool is exhausted.
template <typename F>
bool flush_blocks(block_queue<F>& q);

/// Marks the start of the next input line, for the order of warnings.
/// Returns false when a flush it needed found the node pool exhausted.
template <typename F>
inline bool next_line(block_queue<F>& q) {
  // Line numbers are counted within a batch; flush long before they wrap.
  if (++q.log->line >= 0x7fffffffu) return flush_blocks(q);
  return true;
}

/// Sorts the queue on the block address, and with `by_prefix` on the
/// prefix length after it; entries for the same block stay in input order.
/// Returns false, leaving the queue as it was, without memory for it.
template <typename F>
bool sort_batch(block_queue<F>& q, bool by_prefix);

/// Sorts the held blocks into tree order and keeps each block once, with
/// the state its last line gave it, writing the overwrite warnings and all
/// warnings held back, and sets `blocks` and `count` to the result. False,
/// with nothing changed, when there is no memory to sort them.
template <typename F>
bool merge_held_blocks(block_queue<F>& q, const queued_block<F>** blocks,
                       size_t* count);

#endif  // TENVIK_QUEUE_H_
