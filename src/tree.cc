#include "tree.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include "messages.h"
#include "settings.h"

// Blocks are carved out of big mappings: a million-line list needs tens of
// thousands of blocks, and with huge pages their memory arrives in a few
// hundred page faults instead of tens of thousands.
const size_t BLOCK_BYTES = (NODES_PER_BLOCK + 1) * sizeof(node);
const size_t ARENA_BYTES = size_t(64) << 20;

struct pool_arena {
  void* start;
  size_t bytes;
};

// Near the memory limit the mapping shrinks, down to a single block.
static bool grow_arena(node_pool& pool) {
  void* table =
      realloc(pool.arenas, (pool.arena_count + 1) * sizeof(pool_arena));
  if (!table) return false;
  pool.arenas = static_cast<pool_arena*>(table);
  for (size_t bytes = ARENA_BYTES; bytes >= BLOCK_BYTES; bytes /= 2) {
    if (void* p = map_pages(bytes)) {
      pool.arenas[pool.arena_count++] = {p, bytes};
      pool.arena_next = static_cast<char*>(p);
      pool.arena_end = pool.arena_next + bytes;
      return true;
    }
  }
  return false;
}

static bool grow_pool(node_pool& pool) {
  if ((pool.block_count + 1) << BLOCK_SHIFT > INDEX_MASK) return false;
  if (pool.block_count == pool.block_capacity) {
    size_t capacity = pool.block_capacity ? 2 * pool.block_capacity : 64;
    void* table = realloc(pool.blocks, capacity * sizeof(node*));
    if (!table) return false;
    pool.blocks = static_cast<node**>(table);
    pool.block_capacity = capacity;
  }
  if (size_t(pool.arena_end - pool.arena_next) < BLOCK_BYTES &&
      !grow_arena(pool))
    return false;
  node* block = reinterpret_cast<node*>(pool.arena_next);
  pool.arena_next += BLOCK_BYTES;
  pool.bump_next = node_index(pool.block_count << BLOCK_SHIFT) + 1;
  pool.bump_end = pool.bump_next + NODES_PER_BLOCK;
  pool.blocks[pool.block_count++] = block;
  return true;
}

node_index take_node(node_pool& pool) {
  node_index index;
  if (pool.free_head) {
    index = pool.free_head;
    pool.free_head = child_index(node_at(pool, index), 0);
  } else {
    if (pool.bump_next == pool.bump_end && !grow_pool(pool)) return 0;
    index = pool.bump_next++;
  }
  node* x = node_at(pool, index);
  x->child[0] = 0;
  x->child[1] = 0;
  return index;
}

void release_pool(node_pool& pool) {
  for (size_t i = 0; i < pool.arena_count; i++)
    munmap(pool.arenas[i].start, pool.arenas[i].bytes);
  free(pool.arenas);
  free(pool.blocks);
  pool = node_pool();
}

// The node of block a/n, made with the nodes on its path where missing.
template <typename F>
static node* reach(prefix_tree<F>& t, int n, typename F::addr a) {
  int start = t.path_len;
  int common = F::leading_zeros(a ^ t.path_addr);
  if (common < start) start = common;
  if (n < start) start = n;
  node* x = t.path[start];
  for (int i = start; i < n; i++) {
    int b = bit_at<F>(a, i);
    node_index next = child_index(x, b);
    if (!next) {
      next = take_node(t.pool);
      if (!next) {
        t.path_addr = a;
        t.path_len = i;
        return nullptr;
      }
      set_child(x, b, next);
    }
    x = t.at(next);
    t.path[i + 1] = x;
  }
  // A shorter block on the cached path leaves the deeper path usable.
  if (start < n || n >= t.path_len) {
    t.path_addr = a;
    t.path_len = n;
  }
  return x;
}

template <typename F>
node* insert_prefix(prefix_tree<F>& t, int n, typename F::addr a, unsigned s) {
  node* x = reach(t, n, a);
  if (!x) return nullptr;
  unsigned old = get_state(x);
  if (old != ST_UNSET && old != s) {
    char text[F::TEXT_MAX];
    F::format(a, text);
    warn(*t.log, MSG_OVERWRITTEN, text, n, state_sign(old), state_sign(s));
  }
  set_state(x, s);
  return x;
}

template <typename F>
node* plant_prefix(prefix_tree<F>& t, int n, typename F::addr a, unsigned s) {
  node* x = reach(t, n, a);
  if (!x) return nullptr;
  set_state(x, s);
  if (!is_leaf(x)) {
    free_subtree(t, child_index(x, 0));
    free_subtree(t, child_index(x, 1));
    set_child(x, 0, 0);
    set_child(x, 1, 0);
  }
  return x;
}

template <typename F>
void free_subtree(prefix_tree<F>& t, node_index index) {
  if (!index) return;
  node* x = t.at(index);
  if (!is_leaf(x)) {
    free_subtree(t, child_index(x, 0));
    free_subtree(t, child_index(x, 1));
  }
  x->child[0] = t.pool.free_head;
  x->child[1] = 0;
  t.pool.free_head = index;
  t.path_len = 0;
}

template <typename F>
void dump_tree(const prefix_tree<F>& t, const node* x, typename F::addr addr,
               int prefix, int level, char branch, const node* marked) {
  if (!x) return;
  if (prefix < F::BITS)
    dump_tree(t, t.child(x, 1), child_of<F>(addr, prefix, 1), prefix + 1,
              level + 1, '/', marked);
  char hex[F::TEXT_MAX > 33 ? F::TEXT_MAX : 33];
  char text[F::TEXT_MAX];
  F::format_hex(addr, hex);
  F::format(addr, text);
  fprintf(settings.out_stream, "%c%*s%c%d,%s,%s %s\n", x == marked ? '*' : ' ',
          2 * level - 1, "", branch, prefix, state_name(get_state(x)), hex,
          text);
  if (prefix < F::BITS)
    dump_tree(t, t.child(x, 0), addr, prefix + 1, level + 1, '\\', marked);
}

template <typename F>
void count_states(const prefix_tree<F>& t, const node* x, long counts[3]) {
  if (!x) return;
  count_states(t, t.child(x, 0), counts);
  count_states(t, t.child(x, 1), counts);
  counts[get_state(x)]++;
}

template <typename F>
void dump_with_counts(const prefix_tree<F>& t, const char* header) {
  fputs(header, settings.out_stream);
  dump_tree(t, &t.root, 0, 0, 0, ' ', &t.root);
  long counts[3] = {0, 0, 0};
  count_states(t, &t.root, counts);
  fprintf(settings.out_stream, "n=%ld y=%ld u=%ld\n", counts[ST_NO],
          counts[ST_YES], counts[ST_UNSET]);
}

#define INSTANTIATE(F)                                                      \
  template node* insert_prefix(prefix_tree<F>&, int, F::addr, unsigned);    \
  template node* plant_prefix(prefix_tree<F>&, int, F::addr, unsigned);     \
  template void free_subtree(prefix_tree<F>&, node_index);                  \
  template void dump_tree(const prefix_tree<F>&, const node*, F::addr, int, \
                          int, char, const node*);                          \
  template void count_states(const prefix_tree<F>&, const node*, long[3]);  \
  template void dump_with_counts(const prefix_tree<F>&, const char*);
INSTANTIATE(ipv4)
INSTANTIATE(ipv6)
