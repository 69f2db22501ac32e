#include "queue.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>

#include "address.h"
#include "settings.h"

// Holding every block stops at this many entries (2 GB of IPv4 blocks; a
// range is one entry), and the tree takes over: a list that needs more, or
// a spread of runs that would, is beyond any memory anyway.
const size_t HOLD_LIMIT = size_t(1) << 27;

// The end of the stretch of the queue that add_block may fill without a
// look at the mode: up to a full queue, or to a full batch for the tree.
// Up to the start of the buckets, where they may take over.
template <typename F>
static void update_room(block_queue<F>& q) {
  q.room = q.mode == BATCH_OFF || !q.batch ? 0
           : q.mode == BATCH_SOME ? std::min(q.capacity, BATCH_SIZE_BLOCKS)
           : q.may_bucket         ? std::min(q.capacity, q.bucket_after)
                                  : q.capacity;
  q.room = std::min(q.room, q.given);
}

// A list of 150,000 blocks took 450 faults on the queue's small pages, a
// third of its run.
template <typename F>
static void give_pages(block_queue<F>& q) {
  if (q.used < q.given) return;
  q.given = give_next_page(q.batch, q.given, q.capacity);
  update_room(q);
}

template <typename F>
block_queue<F>::~block_queue() {
  unmap_mapping(batch, capacity, reserved);
  release_spare(*this);
  free(counts);
  close_store(buckets);
}

template <typename F>
static void start_batch(block_queue<F>& q) {
  q.used = 0;
  q.sorted = q.distinct = true;
  q.has_runs = q.mixed_prefixes = false;
  q.log->line = 0;
}

template <typename F>
void set_batching(block_queue<F>& q, int mode) {
  q.mode = mode;
  q.log->holding = mode != BATCH_OFF;
  // Only a list held whole can be, and only where no warning needs the
  // lines.
  q.may_bucket = F::BITS > 64 && mode == BATCH_ALL && settings.opt_silent;
  close_store(q.buckets);
  q.buckets = nullptr;
  if (mode == BATCH_OFF) {
    // The tree, which may still grow, gets the queue's memory back.
    unmap_mapping(q.batch, q.capacity, q.reserved);
    q.batch = nullptr;
    q.capacity = q.reserved = q.given = 0;
    release_spare(q);
  }
  start_batch(q);
  update_room(q);
  q.log->count = q.log->text_used = q.log->written = 0;
}

template <typename F>
bool flush_blocks(block_queue<F>& q) {
  typedef typename F::addr addr;
  if (!leave_buckets(q)) return false;
  // Without memory to sort, the blocks go in in input order: slower only.
  // So do runs, which may share blocks with others: a run's blocks would
  // all go in where its first one sorts.
  bool by_block = !q.sorted && !q.has_runs && sort_batch(q, false);
  bool ok = true;
  warning_log& log = *q.log;
  // In input order the warnings need not wait for the whole batch: each
  // line's held ones go out before its blocks go in, and the insertions'
  // at once. Ranges that overwrite each other can write billions.
  bool streaming = log.holding && !by_block;
  if (streaming) {
    sort_held(log);
    log.holding = false;
    log.streaming = true;
  }
  log.inserting = true;
  for (size_t i = 0; ok && i < q.used; i++) {
    const queued_block<F>& e = q.batch[i];
    log.inserting_line = e.line;
    if (streaming && log.written < log.count) write_held_through(log, e.line);
    addr size = e.prefix ? addr(1) << (F::BITS - e.prefix) : 0;
    addr a = e.addr;
    for (uint32_t k = 0; ok && k < e.count; k++, a += size)
      ok = insert_prefix(*q.tree, int(e.prefix), a, e.state);
  }
  log.inserting = false;
  if (streaming) {
    log.streaming = false;
    log.holding = true;
  }
  write_held(log);
  start_batch(
      q);  // a line whose blocks go on into the next batch comes first there
  // Once the tree holds blocks, it has to take all of them.
  if (q.mode == BATCH_ALL) q.mode = BATCH_SOME;
  q.may_bucket = false;
  update_room(q);
  return ok;
}

// Moves the queued blocks into buckets; false, with the queue as it was and
// no more buckets to come, without memory for them.
template <typename F>
static bool open_buckets(block_queue<F>& q) {
  if constexpr (F::BITS > 64) {
    uint64_t any = 0, all = ~uint64_t(0);
    for (size_t i = 0; i < q.used; i++) {
      uint64_t top = F::top64(block_of(q.batch[i]));
      any |= top;
      all &= top;
    }
    bucket_store* s = open_store(any, all);
    if (s) s->huge_pool = q.big_input;
    for (size_t i = 0; s && i < q.used; i++) {
      const queued_block<F>& e = q.batch[i];
      if (!hold_block(*s, block_of(e), e.prefix, e.state)) {
        close_store(s);
        s = nullptr;
      }
    }
    if (s) {
      q.buckets = s;
      unmap_mapping(q.batch, q.capacity, q.reserved);
      q.batch = nullptr;
      q.capacity = q.used = q.reserved = 0;
      release_spare(q);
      update_room(q);
      return true;
    }
  }
  q.may_bucket = false;
  update_room(q);
  return false;
}

template <typename F>
bool leave_buckets(block_queue<F>& q) {
  if constexpr (F::BITS > 64) {
    bucket_store* s = q.buckets;
    if (!s) return true;
    q.buckets = nullptr;
    q.may_bucket = false;
    size_t capacity = BATCH_SIZE_BLOCKS;
    while (capacity < s->held) capacity *= 2;
    queued_block<F>* batch = static_cast<queued_block<F>*>(
        map_pages(capacity * sizeof(queued_block<F>)));
    size_t used = 0;
    auto put = [batch, &used](uint128 block, unsigned n, unsigned st) {
      queued_block<F>& e = batch[used++];
      e.addr = block;
      e.line = 0;
      e.count = 1;
      e.prefix = n;
      e.state = st;
      return true;
    };
    if (batch && for_each_held(*s, put)) {
      close_store(s);
      q.batch = batch;
      q.capacity = capacity;
      q.reserved = 0;
      q.used = used;
      q.sorted = true;
      // The next block is queued after the last one here.
      q.last_block = block_of(batch[used - 1]);
      q.last_prefix = batch[used - 1].prefix;
      q.last_is_run = false;
      update_room(q);
      return true;
    }
    if (batch) munmap(batch, capacity * sizeof(queued_block<F>));
    // No memory for the queue: the tree takes the blocks, which only a
    // block named again makes depend on their order.
    warning_log& log = *q.log;
    log.inserting = true;
    bool ok = for_each_held_unsorted(
        *s, [&q](uint128 block, unsigned n, unsigned st) {
          return insert_prefix(*q.tree, int(n), block, st);
        });
    log.inserting = false;
    close_store(s);
    start_batch(q);
    if (q.mode == BATCH_ALL) q.mode = BATCH_SOME;
    update_room(q);
    return ok;
  }
  (void)q;
  return true;
}

// Doubles the queue while every block is held; false when it may not grow.
template <typename F>
static bool grow_batch(block_queue<F>& q) {
  if (q.mode != BATCH_ALL || q.capacity >= HOLD_LIMIT) return false;
  // In place while the first mapping's reservation lasts.
  queued_block<F>* bigger =
      grow_mapping(q.batch, q.capacity, 2 * q.capacity, q.reserved);
  if (!bigger) return false;
  q.batch = bigger;
  q.capacity *= 2;
  update_room(q);
  return true;
}

// Room for at least one more block in the queue, or batching off when
// there is no memory for a queue at all. False when a flush found the node
// pool exhausted.
template <typename F>
static bool make_room(block_queue<F>& q) {
  if (!q.batch) {
    // Room for the most a queue may hold, used as it grows.
    const bool huge_first = F::BITS > 64 || q.big_input;
    q.batch = grow_mapping<queued_block<F>>(nullptr, 0, BATCH_SIZE_BLOCKS,
                                            q.reserved, HOLD_LIMIT, huge_first);
    if (!q.batch) {
      // The tree takes every block as it comes, after the warnings held.
      bool ok = flush_blocks(q);
      q.mode = BATCH_OFF;
      q.log->holding = false;
      update_room(q);
      return ok;
    }
    q.capacity = BATCH_SIZE_BLOCKS;
    // On huge pages from the start there is nothing to give.
    q.given = huge_first ? HOLD_LIMIT : 0;
    update_room(q);
  }
  if (q.may_bucket && q.mode == BATCH_ALL && q.used >= q.bucket_after) {
    if (!q.sorted && open_buckets(q)) return true;
    q.may_bucket = false;
    update_room(q);
  }
  if (q.used == q.capacity ||
      (q.mode == BATCH_SOME && q.used >= BATCH_SIZE_BLOCKS))
    return grow_batch(q) || flush_blocks(q);
  give_pages(q);
  return true;
}

template <typename F>
bool add_blocks(block_queue<F>& q, int n, typename F::addr a, uint64_t count,
                unsigned s) {
  typedef typename F::addr addr;
  if (q.mode == BATCH_ALL && q.used < q.room && count <= max_run<F>() &&
      count > 0) {
    // The usual range: one entry.
    if (count > 1) q.has_runs = true;
    push_entry(q, n, a, uint32_t(count), s);
    return true;
  }
  addr size = n ? addr(1) << (F::BITS - n) : 0;
  while (count > 0) {
    if (q.mode != BATCH_OFF && !make_room(q)) return false;
    if (q.buckets) {
      if (!hold_in_bucket(q, n, a, s)) return false;
      a += size;
      count--;
      continue;
    }
    if (q.mode == BATCH_OFF) {
      if (!insert_prefix(*q.tree, n, a, s)) return false;
      a += size;
      count--;
      continue;
    }
    // While every block is held a range is one entry; a batch for the tree
    // takes its blocks one by one, in their order among the others.
    uint32_t take = 1;
    if (q.mode == BATCH_ALL && count > 1) {
      take = uint32_t(std::min(count, uint64_t(max_run<F>())));
      q.has_runs = true;
    }
    push_entry(q, n, a, take, s);
    a += addr(take) * size;
    count -= take;
  }
  return true;
}

#define INSTANTIATE(F)                                                         \
  template struct block_queue<F>;                                              \
  template void set_batching(block_queue<F>&, int);                            \
  template bool flush_blocks(block_queue<F>&);                                 \
  template bool add_blocks(block_queue<F>&, int, F::addr, uint64_t, unsigned); \
  template bool leave_buckets(block_queue<F>&);
INSTANTIATE(ipv4)
INSTANTIATE(ipv6)
