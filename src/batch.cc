#include "batch.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "address.h"
#include "settings.h"
#include "tree.h"

struct queued {
  uint32_t addr;
  uint32_t line;  // counted from the start of the batch
  uint8_t prefix;
  uint8_t state;
};

// A warning held back: its line, whether the insertion (rather than the
// reading) of that line wrote it, and where its text is.
struct held {
  uint32_t line;
  uint32_t from_insertion;
  size_t offset;
  size_t length;
};

static const size_t BATCH_SIZE = size_t(1) << 18;
static bool batching = false;
static queued* batch = nullptr;
static queued* spare = nullptr;
static uint32_t* counts = nullptr;
static size_t used = 0;
static bool sorted = true;
static uint32_t line = 0;

static bool inserting = false;
static uint32_t inserting_line = 0;
static held* held_list = nullptr;
static size_t held_count = 0, held_capacity = 0;
static char* held_text = nullptr;
static size_t text_used = 0, text_capacity = 0;

static uint32_t block_of(const queued& q) { return q.addr & netmask(q.prefix); }

void set_batching(bool on) {
  batching = on;
  used = 0;
  sorted = true;
  line = 0;
  held_count = text_used = 0;
}

bool next_line() {
  // Line numbers are counted within a batch; flush long before they wrap.
  if (++line >= 0x7fffffffu) return flush_blocks();
  return true;
}

static bool hold(const char* text, size_t length) {
  if (held_count == held_capacity) {
    size_t capacity = held_capacity ? 2 * held_capacity : 256;
    void* p = realloc(held_list, capacity * sizeof(held));
    if (!p) return false;
    held_list = static_cast<held*>(p);
    held_capacity = capacity;
  }
  if (text_capacity - text_used < length) {
    size_t capacity = std::max(2 * text_capacity, text_used + length + 4096);
    void* p = realloc(held_text, capacity);
    if (!p) return false;
    held_text = static_cast<char*>(p);
    text_capacity = capacity;
  }
  memcpy(held_text + text_used, text, length);
  held_list[held_count++] = {inserting ? inserting_line : line,
                             inserting ? 1u : 0u, text_used, length};
  text_used += length;
  return true;
}

void warn(const char* format, ...) {
  if (opt_silent) return;
  va_list args;
  va_start(args, format);
  if (!batching) {
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
  for (size_t i = 0; i < held_count; i++)
    fwrite(held_text + held_list[i].offset, 1, held_list[i].length, err_stream);
  held_count = text_used = 0;
}

// Stable sort on the block address: a radix sort, sixteen bits a pass, for
// big batches; a plain merge sort where the radix passes' fixed cost would
// dominate. Without memory for either the batch keeps its input order,
// which only costs speed.
static void sort_batch() {
  if (used < 4096) {
    std::stable_sort(batch, batch + used, [](const queued& a, const queued& b) {
      return block_of(a) < block_of(b);
    });
    return;
  }
  if (!spare)
    spare = static_cast<queued*>(map_pages(BATCH_SIZE * sizeof(queued)));
  if (!counts)
    counts = static_cast<uint32_t*>(malloc(65536 * sizeof(uint32_t)));
  if (!spare || !counts) return;
  for (int shift = 0; shift < 32; shift += 16) {
    memset(counts, 0, 65536 * sizeof(uint32_t));
    for (size_t i = 0; i < used; i++)
      counts[(block_of(batch[i]) >> shift) & 0xffff]++;
    uint32_t sum = 0;
    for (size_t d = 0; d < 65536; d++) {
      uint32_t c = counts[d];
      counts[d] = sum;
      sum += c;
    }
    for (size_t i = 0; i < used; i++)
      spare[counts[(block_of(batch[i]) >> shift) & 0xffff]++] = batch[i];
    std::swap(batch, spare);
  }
}

bool flush_blocks() {
  if (!sorted) sort_batch();
  bool ok = true;
  inserting = true;
  for (size_t i = 0; ok && i < used; i++) {
    inserting_line = batch[i].line;
    ok = insert_prefix(batch[i].prefix, batch[i].addr, batch[i].state);
  }
  inserting = false;
  write_held();
  used = 0;
  sorted = true;
  line = 0;  // a line whose blocks go on into the next batch comes first there
  return ok;
}

bool add_block(int n, uint32_t a, unsigned s) {
  if (!batching) return insert_prefix(n, a, s) != nullptr;
  if (!batch) {
    batch = static_cast<queued*>(map_pages(BATCH_SIZE * sizeof(queued)));
    if (!batch) return insert_prefix(n, a, s) != nullptr;
  }
  if (used == BATCH_SIZE && !flush_blocks()) return false;
  queued q = {a, line, uint8_t(n), uint8_t(s)};
  if (used > 0 && block_of(batch[used - 1]) > block_of(q)) sorted = false;
  batch[used++] = q;
  return true;
}
