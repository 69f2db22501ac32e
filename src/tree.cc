#include "tree.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include "batch.h"
#include "messages.h"
#include "settings.h"

node root = {{uint32_t(ST_NO) << STATE_SHIFT, 0}};
node** pool_blocks = nullptr;

static size_t block_count = 0;
static size_t block_capacity = 0;
static uint32_t free_head = 0;

// The path of the previous insertion: path[d] is its node at depth d, for d
// up to path_len. Sorted and clustered input shares most of its path with
// the line before, so the next insertion starts where the two addresses
// part instead of at the root.
static node* path[33] = {&root};
static uint32_t path_addr = 0;
static int path_len = 0;

// The newest block's nodes that were never taken: bump_next up to
// bump_end. Handing them out in order after the freed nodes gives the same
// order as chaining the whole block into the free list when it arrives,
// without touching its memory twice.
static uint32_t bump_next = 0;
static uint32_t bump_end = 0;

// Blocks are carved out of big mappings: a million-line list needs tens of
// thousands of blocks, and with huge pages their memory arrives in a few
// hundred page faults instead of tens of thousands.
const size_t BLOCK_BYTES = (NODES_PER_BLOCK + 1) * sizeof(node);
const size_t ARENA_BYTES = size_t(64) << 20;
static char* arena_next = nullptr;
static char* arena_end = nullptr;
struct arena {
  void* start;
  size_t bytes;
};
static arena* arenas = nullptr;
static size_t arena_count = 0;

void* map_pages(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}

// Near the memory limit the mapping shrinks, down to a single block.
static bool grow_arena() {
  void* table = realloc(arenas, (arena_count + 1) * sizeof(arena));
  if (!table) return false;
  arenas = static_cast<arena*>(table);
  for (size_t bytes = ARENA_BYTES; bytes >= BLOCK_BYTES; bytes /= 2) {
    if (void* p = map_pages(bytes)) {
      arenas[arena_count++] = {p, bytes};
      arena_next = static_cast<char*>(p);
      arena_end = arena_next + bytes;
      return true;
    }
  }
  return false;
}

static bool grow_pool() {
  if ((block_count + 1) << BLOCK_SHIFT > INDEX_MASK) return false;
  if (block_count == block_capacity) {
    size_t capacity = block_capacity ? 2 * block_capacity : 64;
    void* table = realloc(pool_blocks, capacity * sizeof(node*));
    if (!table) return false;
    pool_blocks = static_cast<node**>(table);
    block_capacity = capacity;
  }
  if (size_t(arena_end - arena_next) < BLOCK_BYTES && !grow_arena())
    return false;
  node* block = reinterpret_cast<node*>(arena_next);
  arena_next += BLOCK_BYTES;
  bump_next = uint32_t(block_count << BLOCK_SHIFT) + 1;
  bump_end = bump_next + NODES_PER_BLOCK;
  pool_blocks[block_count++] = block;
  return true;
}

uint32_t take_node() {
  uint32_t index;
  if (free_head) {
    index = free_head;
    free_head = child_index(node_at(index), 0);
  } else {
    if (bump_next == bump_end && !grow_pool()) return 0;
    index = bump_next++;
  }
  node* x = node_at(index);
  x->child[0] = 0;
  x->child[1] = 0;
  return index;
}

// The node of block a/n, made with the nodes on its path where missing.
static node* reach(int n, uint32_t a) {
  int start = path_len;
  uint32_t diff = a ^ path_addr;
  if (diff && __builtin_clz(diff) < start) start = __builtin_clz(diff);
  if (n < start) start = n;
  node* x = path[start];
  for (int i = start; i < n; i++) {
    int b = (a >> (31 - i)) & 1;
    uint32_t next = child_index(x, b);
    if (!next) {
      next = take_node();
      if (!next) {
        path_addr = a;
        path_len = i;
        return nullptr;
      }
      set_child(x, b, next);
    }
    x = node_at(next);
    path[i + 1] = x;
  }
  // A shorter block on the cached path leaves the deeper path usable.
  if (start < n || n >= path_len) {
    path_addr = a;
    path_len = n;
  }
  return x;
}

node* insert_prefix(int n, uint32_t a, unsigned s) {
  node* x = reach(n, a);
  if (!x) return nullptr;
  unsigned old = get_state(x);
  if (old != ST_UNSET && old != s)
    warn(MSG_OVERWRITTEN, dotted(a), n, state_sign(old), state_sign(s));
  set_state(x, s);
  return x;
}

node* plant_prefix(int n, uint32_t a, unsigned s) {
  node* x = reach(n, a);
  if (!x) return nullptr;
  set_state(x, s);
  if (!is_leaf(x)) {
    free_subtree(child_index(x, 0));
    free_subtree(child_index(x, 1));
    set_child(x, 0, 0);
    set_child(x, 1, 0);
  }
  return x;
}

void free_subtree(uint32_t index) {
  if (!index) return;
  node* x = node_at(index);
  if (!is_leaf(x)) {
    free_subtree(child_index(x, 0));
    free_subtree(child_index(x, 1));
  }
  x->child[0] = free_head;
  x->child[1] = 0;
  free_head = index;
  path_len = 0;
}

void dump_tree(const node* x, uint32_t addr, int prefix, int level, char branch,
               const node* marked) {
  if (!x) return;
  if (prefix < 32)
    dump_tree(get_child(x, 1), child_addr(addr, prefix, 1), prefix + 1,
              level + 1, '/', marked);
  fprintf(out_stream, "%c%*s%c%d,%s,%.8lx %s\n", x == marked ? '*' : ' ',
          2 * level - 1, "", branch, prefix, state_name(get_state(x)),
          (unsigned long)addr, dotted(addr));
  if (prefix < 32)
    dump_tree(get_child(x, 0), addr, prefix + 1, level + 1, '\\', marked);
}

void count_states(const node* x, long counts[3]) {
  if (!x) return;
  count_states(get_child(x, 0), counts);
  count_states(get_child(x, 1), counts);
  counts[get_state(x)]++;
}

void dump_with_counts(const char* header) {
  fputs(header, out_stream);
  dump_tree(&root, 0, 0, 0, ' ', &root);
  long counts[3] = {0, 0, 0};
  count_states(&root, counts);
  fprintf(out_stream, "n=%ld y=%ld u=%ld\n", counts[ST_NO], counts[ST_YES],
          counts[ST_UNSET]);
}

void reset_tree() {
  for (size_t i = 0; i < arena_count; i++)
    munmap(arenas[i].start, arenas[i].bytes);
  free(arenas);
  arenas = nullptr;
  arena_count = 0;
  arena_next = arena_end = nullptr;
  free(pool_blocks);
  pool_blocks = nullptr;
  block_count = block_capacity = 0;
  free_head = 0;
  bump_next = bump_end = 0;
  root.child[0] = root.child[1] = 0;
  set_state(&root, ST_NO);
  path_len = 0;
  path_addr = 0;
}

size_t pool_block_count() { return block_count; }
