#include "batch.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>

#include "address.h"
#include "messages.h"
#include "radix.h"
#include "settings.h"
#include "tree.h"

// Lines are counted from the start of the batch.
typedef queued_block queued;

// A warning held back: its line, whether the insertion (rather than the
// reading) of that line wrote it, and where its text is. Or the overwrite
// warnings of a run of blocks, one per block, written when their turn
// comes: a range named twice can overwrite millions of blocks.
struct held {
  uint32_t line;
  uint8_t from_insertion;
  uint8_t prefix, old_state, new_state;  // of a run's overwrites
  uint32_t blocks;                       // of a run's overwrites, else 0
  uint32_t addr;                         // the run's first block as named
  size_t offset;
  size_t length;
};

static const size_t BATCH_SIZE = size_t(1) << 18;
// Holding every block stops at this many entries (2 GB; a range is one
// entry), and the tree takes over: a list that needs more, or a spread
// of runs that would, is beyond any memory anyway.
static const size_t HOLD_LIMIT = size_t(1) << 27;
static int mode = BATCH_OFF;
static queued* batch = nullptr;
static size_t capacity = 0;
static queued* spare = nullptr;
static size_t spare_capacity = 0;
static uint32_t* counts = nullptr;
static size_t used = 0;
static bool sorted = true;
static bool distinct = true;  // sorted, no block twice, none inside a run
static bool has_runs = false;
static bool mixed_prefixes = false;
static uint32_t line = 0;

static bool inserting = false;
static uint32_t inserting_line = 0;
static held* held_list = nullptr;
static size_t held_count = 0, held_capacity = 0;
static char* held_text = nullptr;
static size_t text_used = 0, text_capacity = 0;

static uint32_t block_of(const queued& q) { return q.addr & netmask(q.prefix); }

// Just past the last address of q's blocks.
static uint64_t run_end(const queued& q) {
  return block_of(q) + (uint64_t(q.count) << (32 - q.prefix));
}

// Tree order: by block, and a block before the longer blocks it holds.
static uint64_t tree_key(const queued& q) {
  return uint64_t(block_of(q)) << 6 | q.prefix;
}

static void release_spare() {
  if (spare) munmap(spare, spare_capacity * sizeof(queued));
  spare = nullptr;
  spare_capacity = 0;
}

void set_batching(int new_mode) {
  mode = new_mode;
  if (mode == BATCH_OFF) {
    // The tree, which may still grow, gets the queue's memory back.
    if (batch) munmap(batch, capacity * sizeof(queued));
    batch = nullptr;
    capacity = 0;
    release_spare();
  }
  used = 0;
  sorted = distinct = true;
  has_runs = mixed_prefixes = false;
  line = 0;
  held_count = text_used = 0;
}

bool holding_all_blocks() { return mode == BATCH_ALL; }

bool next_line() {
  // Line numbers are counted within a batch; flush long before they wrap.
  if (++line >= 0x7fffffffu) return flush_blocks();
  return true;
}

static bool hold_item(const held& h) {
  if (held_count == held_capacity) {
    size_t capacity = held_capacity ? 2 * held_capacity : 256;
    void* p = realloc(held_list, capacity * sizeof(held));
    if (!p) return false;
    held_list = static_cast<held*>(p);
    held_capacity = capacity;
  }
  held_list[held_count++] = h;
  return true;
}

static bool hold(const char* text, size_t length) {
  if (text_capacity - text_used < length) {
    size_t capacity = std::max(2 * text_capacity, text_used + length + 4096);
    void* p = realloc(held_text, capacity);
    if (!p) return false;
    held_text = static_cast<char*>(p);
    text_capacity = capacity;
  }
  held h = {};
  h.line = inserting ? inserting_line : line;
  h.from_insertion = inserting;
  h.offset = text_used;
  h.length = length;
  if (!hold_item(h)) return false;
  memcpy(held_text + text_used, text, length);
  text_used += length;
  return true;
}

// Held warnings go out in big chunks: the error stream is unbuffered, and
// a batch can hold millions of them.
static char out_chunk[1 << 16];
static size_t out_used = 0;

static void flush_chunk() {
  fwrite(out_chunk, 1, out_used, err_stream);
  out_used = 0;
}

static void put_text(const char* text, size_t length) {
  if (length > sizeof out_chunk - out_used) {
    flush_chunk();
    if (length > sizeof out_chunk) {
      fwrite(text, 1, length, err_stream);
      return;
    }
  }
  memcpy(out_chunk + out_used, text, length);
  out_used += length;
}

static void write_overwrites(const held& h) {
  uint32_t size = uint32_t(uint64_t(1) << (32 - h.prefix));
  char text[96];
  for (uint32_t k = 0; k < h.blocks; k++) {
    int length = snprintf(text, sizeof text, MSG_OVERWRITTEN,
                          dotted(h.addr + k * size), int(h.prefix),
                          state_sign(h.old_state), state_sign(h.new_state));
    put_text(text, size_t(length));
  }
}

// The overwrite warnings of every block of q, whose blocks had state
// `old`: held as one item.
static void warn_overwrites(const queued& q, unsigned old) {
  if (opt_silent) return;
  held h = {};
  h.line = q.line;
  h.from_insertion = 1;
  h.prefix = uint8_t(q.prefix);
  h.old_state = uint8_t(old);
  h.new_state = uint8_t(q.state);
  h.blocks = q.count;
  h.addr = q.addr;
  // No memory to hold them: better out of order than lost.
  if (!hold_item(h)) {
    write_overwrites(h);
    flush_chunk();
  }
}

void warn(const char* format, ...) {
  if (opt_silent) return;
  va_list args;
  va_start(args, format);
  if (mode == BATCH_OFF) {
    vfprintf(err_stream, format, args);
    va_end(args);
    return;
  }
  char text[512];
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  bool held_back = false;
  if (length >= 0 && size_t(length) < sizeof text) {
    held_back = hold(text, size_t(length));
  } else if (length >= 0) {
    // A warning that quotes a long line.
    if (char* big = static_cast<char*>(malloc(size_t(length) + 1))) {
      vsnprintf(big, size_t(length) + 1, format, again);
      held_back = hold(big, size_t(length));
      free(big);
    }
  }
  if (!held_back) {
    // No memory to hold it: better out of order than lost.
    vfprintf(err_stream, format, again);
  }
  va_end(again);
}

// The warnings of the batch in input order: by line, and within a line
// those of its reading before those of its insertion, each kind in the
// order written (a range's insertions run in ascending order either way).
static void write_held() {
  std::stable_sort(
      held_list, held_list + held_count, [](const held& a, const held& b) {
        return a.line != b.line ? a.line < b.line
                                : a.from_insertion < b.from_insertion;
      });
  for (size_t i = 0; i < held_count; i++) {
    const held& h = held_list[i];
    if (h.blocks)
      write_overwrites(h);
    else
      put_text(held_text + h.offset, h.length);
  }
  flush_chunk();
  held_count = text_used = 0;
}

// Room for a copy of the batch, for the radix sort.
static bool get_spare() {
  if (spare_capacity < capacity) {
    if (spare) munmap(spare, spare_capacity * sizeof(queued));
    spare = static_cast<queued*>(map_pages(capacity * sizeof(queued)));
    spare_capacity = spare ? capacity : 0;
  }
  if (!counts)
    counts = static_cast<uint32_t*>(malloc(65536 * sizeof(uint32_t)));
  return spare && counts;
}

// One stable counting pass of the queue into the spare, which then takes
// the queue's place.
template <typename Key>
static void radix_pass(Key key, uint32_t mask) {
  ::radix_pass(batch, spare, used, key, mask, counts);
  std::swap(batch, spare);
  std::swap(capacity, spare_capacity);
}

// Stable sort on the block address, and with `by_prefix` on the prefix
// length after it: a radix sort, sixteen bits a pass, for big batches; a
// plain merge sort where the radix passes' fixed cost would dominate.
// Returns false, leaving the batch as it was, without memory for either.
static bool sort_batch(bool by_prefix) {
  if (used < 4096) {
    if (by_prefix)
      std::stable_sort(batch, batch + used,
                       [](const queued& a, const queued& b) {
                         return tree_key(a) < tree_key(b);
                       });
    else
      std::stable_sort(batch, batch + used,
                       [](const queued& a, const queued& b) {
                         return block_of(a) < block_of(b);
                       });
    return true;
  }
  if (!get_spare()) return false;
  if (by_prefix && mixed_prefixes)
    radix_pass([](const queued& q) { return uint32_t(q.prefix); }, 63);
  radix_pass([](const queued& q) { return block_of(q); }, 0xffff);
  radix_pass([](const queued& q) { return block_of(q) >> 16; }, 0xffff);
  return true;
}

bool flush_blocks() {
  // Without memory to sort, the blocks go in in input order: slower only.
  // So do runs, which may share blocks with others: a run's blocks would
  // all go in where its first one sorts.
  if (!sorted && !has_runs) sort_batch(false);
  bool ok = true;
  inserting = true;
  for (size_t i = 0; ok && i < used; i++) {
    const queued& q = batch[i];
    inserting_line = q.line;
    uint32_t size = uint32_t(uint64_t(1) << (32 - q.prefix));
    for (uint32_t k = 0; ok && k < q.count; k++)
      ok = insert_prefix(q.prefix, q.addr + k * size, q.state);
  }
  inserting = false;
  write_held();
  used = 0;
  sorted = distinct = true;
  has_runs = mixed_prefixes = false;
  line = 0;  // a line whose blocks go on into the next batch comes first there
  // Once the tree holds blocks, it has to take all of them.
  if (mode == BATCH_ALL) mode = BATCH_SOME;
  return ok;
}

// Doubles the queue while every block is held; false when it may not grow.
static bool grow_batch() {
  if (mode != BATCH_ALL || capacity >= HOLD_LIMIT) return false;
  size_t bytes = capacity * sizeof(queued);
#ifdef MREMAP_MAYMOVE
  // The pages move instead of being copied.
  void* moved = mremap(batch, bytes, 2 * bytes, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return false;
  queued* bigger = static_cast<queued*>(moved);
#ifdef MADV_HUGEPAGE
  madvise(moved, 2 * bytes, MADV_HUGEPAGE);
#endif
#else
  queued* bigger = static_cast<queued*>(map_pages(2 * bytes));
  if (!bigger) return false;
  memcpy(bigger, batch, used * sizeof(queued));
  munmap(batch, bytes);
#endif
  batch = bigger;
  capacity *= 2;
  return true;
}

// Room for at least one more block in the queue, or batching off when
// there is no memory for a queue at all. False when a flush found the node
// pool exhausted.
static bool make_room() {
  if (!batch) {
    batch = static_cast<queued*>(map_pages(BATCH_SIZE * sizeof(queued)));
    if (!batch) {
      // The tree takes every block as it comes, after the warnings held.
      bool ok = flush_blocks();
      mode = BATCH_OFF;
      return ok;
    }
    capacity = BATCH_SIZE;
  }
  if (used == capacity || (mode == BATCH_SOME && used >= BATCH_SIZE))
    return grow_batch() || flush_blocks();
  return true;
}

// The entry queued last, as the next one is compared with it.
static uint64_t last_key = 0;
static uint64_t last_run_end = 0;  // past its last block if a run, else 0
static unsigned last_prefix = 0;

// Notes how entry q, about to be queued, stands to the one before it.
static inline void note_order(const queued& q) {
  uint64_t key = tree_key(q);
  if (used > 0) {
    if (last_prefix != q.prefix) mixed_prefixes = true;
    if (last_key >= key) {
      distinct = false;
      if (last_key > key) sorted = false;
    } else if (block_of(q) < last_run_end) {
      distinct = false;
    }
  }
  last_key = key;
  last_prefix = q.prefix;
  last_run_end = q.count > 1 ? run_end(q) : 0;
}

bool add_block(int n, uint32_t a, unsigned s) {
  // Most lines name one block, and most such blocks just join the queue.
  if (mode == BATCH_OFF || !batch || used == capacity ||
      (mode == BATCH_SOME && used >= BATCH_SIZE))
    return add_blocks(n, a, 1, s);
  queued q = {a, line, 1, uint32_t(n), s};
  note_order(q);
  batch[used++] = q;
  return true;
}

bool add_blocks(int n, uint32_t a, uint64_t count, unsigned s) {
  uint32_t size = uint32_t(uint64_t(1) << (32 - n));
  while (count > 0) {
    if (mode != BATCH_OFF && !make_room()) return false;
    if (mode == BATCH_OFF) {
      if (!insert_prefix(n, a, s)) return false;
      a += size;
      count--;
      continue;
    }
    // While every block is held a range is one entry; a batch for the tree
    // takes its blocks one by one, in their order among the others.
    uint32_t take = 1;
    if (mode == BATCH_ALL && count > 1) {
      take = uint32_t(std::min(count, uint64_t(MAX_RUN)));
      has_runs = true;
    }
    queued q = {a, line, take, uint32_t(n), s};
    note_order(q);
    batch[used++] = q;
    a += take * size;
    count -= take;
  }
  return true;
}

// Whether the sorted queue can go to the sweep as it is: entries with the
// same first block cover the same blocks (a block or a run named again),
// and no entry starts inside a run.
static bool runs_apart() {
  for (size_t i = 1; i < used; i++) {
    const queued& before = batch[i - 1];
    const queued& q = batch[i];
    if (tree_key(before) == tree_key(q)) {
      if (before.count != q.count) return false;
    } else if (before.count > 1 && block_of(q) < run_end(before)) {
      return false;
    }
  }
  return true;
}

static bool same_blocks(const queued& a, const queued& b) {
  return tree_key(a) == tree_key(b) && a.count == b.count;
}

// Marks the runs of the sorted queue that share some blocks with other
// entries or have entries starting inside them; `all` marks every run. A
// run that starts inside another is marked with it, and a run named again
// shares its marks, so no unmarked run has another entry's block inside it
// once the marked ones are spread out.
static void mark_runs(bool* marked, bool all) {
  uint64_t open_end = 0;  // the furthest end of the runs so far
  size_t open = 0;
  for (size_t i = 0; i < used; i++) {
    const queued& q = batch[i];
    marked[i] = all && q.count > 1;
    if (i > 0 && tree_key(batch[i - 1]) == tree_key(q)) {
      if (batch[i - 1].count != q.count) {
        marked[i - 1] = batch[i - 1].count > 1;
        marked[i] = q.count > 1;
      }
    } else if (block_of(q) < open_end) {
      marked[open] = true;
      if (q.count > 1) marked[i] = true;
    }
    if (q.count > 1 && run_end(q) > open_end) {
      open_end = run_end(q);
      open = i;
    }
  }
  for (size_t i = 1; i < used; i++)
    if (marked[i - 1] && same_blocks(batch[i - 1], batch[i])) marked[i] = true;
  for (size_t i = used; i-- > 1;)
    if (marked[i] && same_blocks(batch[i - 1], batch[i])) marked[i - 1] = true;
}

// Replaces the marked runs by their blocks and sorts the queue again, into
// tree order and, for a block named more than once, input order. False,
// with nothing changed, when they do not fit.
static bool spread_runs(bool all) {
  bool* marked = static_cast<bool*>(malloc(used ? used : 1));
  if (!marked) return false;
  mark_runs(marked, all);
  uint64_t total = 0;
  for (size_t i = 0; i < used; i++) total += marked[i] ? batch[i].count : 1;
  queued* blocks = nullptr;
  if (total <= HOLD_LIMIT)
    blocks = static_cast<queued*>(map_pages(size_t(total) * sizeof(queued)));
  if (!blocks) {
    free(marked);
    return false;
  }
  size_t out = 0;
  for (size_t i = 0; i < used; i++) {
    queued q = batch[i];
    if (!marked[i]) {
      blocks[out++] = q;
      continue;
    }
    uint32_t size = uint32_t(uint64_t(1) << (32 - q.prefix));
    for (uint32_t k = 0; k < batch[i].count; k++, q.addr += size)
      blocks[out++] = {q.addr, q.line, 1, q.prefix, q.state};
  }
  free(marked);
  munmap(batch, capacity * sizeof(queued));
  batch = blocks;
  capacity = used = out;
  if (get_spare()) {
    radix_pass([](const queued& q) { return q.line; }, 0xffff);
    radix_pass([](const queued& q) { return q.line >> 16; }, 0xffff);
    radix_pass([](const queued& q) { return uint32_t(q.prefix); }, 63);
    radix_pass([](const queued& q) { return block_of(q); }, 0xffff);
    radix_pass([](const queued& q) { return block_of(q) >> 16; }, 0xffff);
  } else {
    // No two entries have the same block and line.
    std::sort(batch, batch + used, [](const queued& a, const queued& b) {
      uint64_t ka = tree_key(a), kb = tree_key(b);
      return ka != kb ? ka < kb : a.line < b.line;
    });
  }
  return true;
}

bool merge_held_blocks(const queued_block** blocks, size_t* count) {
  if (distinct) {
    // Nothing to merge; only the whole space starts out with a state.
    if (used > 0 && tree_key(batch[0]) == 0 && batch[0].state == ST_YES) {
      inserting = true;
      inserting_line = batch[0].line;
      warn(MSG_OVERWRITTEN, dotted(batch[0].addr), 0, state_sign(ST_NO),
           state_sign(ST_YES));
      inserting = false;
    }
    write_held();
    *blocks = batch;
    *count = used;
    used = 0;
    return true;
  }
  if (!sorted && !sort_batch(true)) return false;
  // Runs that meet other entries are spread into their blocks, or all of
  // them should that somehow leave runs meeting others.
  if (has_runs && !runs_apart() &&
      (!spread_runs(false) || (!runs_apart() && !spread_runs(true)))) {
    // The tree takes them, in input order.
    std::stable_sort(batch, batch + used, [](const queued& a, const queued& b) {
      return a.line < b.line;
    });
    return false;
  }
  // Each block once, with the state of its last line. The warnings are
  // those the insertions in input order would write: one wherever a line
  // turns the state its block had before, for each block of a run.
  size_t out = 0;
  uint64_t key = used ? tree_key(batch[0]) : 0;
  for (size_t i = 0; i < used;) {
    unsigned state = key == 0 ? ST_NO : ST_UNSET;
    uint64_t next;
    do {
      const queued& q = batch[i];
      if (state != ST_UNSET && state != q.state) warn_overwrites(q, state);
      state = q.state;
      // No block's key is all ones.
      next = ++i < used ? tree_key(batch[i]) : ~uint64_t(0);
    } while (next == key);
    // Entries with the same first block cover the same blocks here.
    uint32_t runs = batch[i - 1].count;
    batch[out++] = {uint32_t(key >> 6), 0, runs, uint32_t(key & 63), state};
    key = next;
  }
  write_held();
  release_spare();  // for the tree the blocks may go into
  *blocks = batch;
  *count = out;
  used = 0;
  return true;
}
