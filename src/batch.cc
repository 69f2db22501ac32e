#include "batch.h"

#include <stdlib.h>
#include <string.h>

#include "address.h"
#include "tree.h"

struct queued {
  uint32_t addr;
  uint8_t prefix;
  uint8_t state;
};

static const size_t BATCH_SIZE = size_t(1) << 20;
static bool batching = false;
static queued* batch = nullptr;
static queued* spare = nullptr;
static uint32_t* counts = nullptr;
static size_t used = 0;
static bool sorted = true;

static uint32_t block_of(const queued& q) { return q.addr & netmask(q.prefix); }

void set_batching(bool on) {
  batching = on;
  used = 0;
  sorted = true;
}

// Stable LSD radix sort on the block address, sixteen bits a pass.
static bool sort_batch() {
  if (!spare) spare = static_cast<queued*>(map_pages(BATCH_SIZE * sizeof(queued)));
  if (!counts) counts = static_cast<uint32_t*>(malloc(65536 * sizeof(uint32_t)));
  if (!spare || !counts) return false;
  for (int shift = 0; shift < 32; shift += 16) {
    memset(counts, 0, 65536 * sizeof(uint32_t));
    for (size_t i = 0; i < used; i++) counts[(block_of(batch[i]) >> shift) & 0xffff]++;
    uint32_t sum = 0;
    for (size_t d = 0; d < 65536; d++) {
      uint32_t c = counts[d];
      counts[d] = sum;
      sum += c;
    }
    for (size_t i = 0; i < used; i++)
      spare[counts[(block_of(batch[i]) >> shift) & 0xffff]++] = batch[i];
    queued* t = batch;
    batch = spare;
    spare = t;
  }
  return true;
}

bool flush_blocks() {
  if (used == 0) return true;
  if (!sorted && !sort_batch()) return false;
  size_t n = used;
  used = 0;
  sorted = true;
  for (size_t i = 0; i < n; i++) {
    if (!insert_prefix(batch[i].prefix, batch[i].addr, batch[i].state))
      return false;
  }
  return true;
}

bool add_block(int n, uint32_t a, unsigned s) {
  if (!batching) return insert_prefix(n, a, s) != nullptr;
  if (!batch) {
    batch = static_cast<queued*>(map_pages(BATCH_SIZE * sizeof(queued)));
    if (!batch) return insert_prefix(n, a, s) != nullptr;
  }
  if (used == BATCH_SIZE && !flush_blocks()) return false;
  queued q = {a, uint8_t(n), uint8_t(s)};
  if (used > 0 && block_of(batch[used - 1]) > block_of(q)) sorted = false;
  batch[used++] = q;
  return true;
}
