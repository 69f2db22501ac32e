#ifndef TENVIK_TREE_H_
#define TENVIK_TREE_H_

#include <stddef.h>
#include <stdint.h>

#include "address.h"
#include "family.h"
#include "pages.h"
#include "warnings.h"

// The pool grows by this many nodes at a time and never shrinks.
const unsigned NODES_PER_BLOCK = 510;

// A node of the prefix tree: the node at depth d stands for one block of
// prefix length d. Its first address and prefix length are not stored; they
// follow from the path from the root, and every walk carries them down
// (child b of addr/p is addr | b << (BITS - 1 - p), p + 1). Children are
// pool indexes (0 = absent), which keeps a node at 8 bytes in either family:
// a million-line list makes tens of millions of nodes. The top two bits of
// child[0] hold the state; use the accessors below.
struct node {
  uint32_t child[2];
};

typedef uint32_t node_index;

const uint32_t INDEX_MASK = 0x3fffffffu;
const int STATE_SHIFT = 30;

// A pool index is the block number times BLOCK_SLOTS plus the slot, 1 to
// NODES_PER_BLOCK; slot 0 of every block stays unused so that index 0 can
// mean "absent" and finding a node costs a shift and a mask.
const int BLOCK_SHIFT = 9;
const uint32_t BLOCK_SLOTS = 1u << BLOCK_SHIFT;
static_assert(NODES_PER_BLOCK < BLOCK_SLOTS, "a block's slots fit its nodes");

struct pool_arena;

/// Where nodes come from: blocks of NODES_PER_BLOCK carved out of big
/// mappings, and a free list of the nodes given back.
struct node_pool {
  node** blocks = nullptr;
  size_t block_count = 0, block_capacity = 0;
  node_index free_head = 0;
  // The newest block's nodes that were never taken: bump_next up to
  // bump_end. Handing them out in order after the freed nodes gives the
  // same order as chaining the whole block into the free list when it
  // arrives, without touching its memory twice.
  node_index bump_next = 0, bump_end = 0;
  char* arena_next = nullptr;
  char* arena_end = nullptr;
  pool_arena* arenas = nullptr;
  size_t arena_count = 0;
};

/// The node behind a nonzero pool index.
inline node* node_at(const node_pool& pool, node_index index) {
  return pool.blocks[index >> BLOCK_SHIFT] + (index & (BLOCK_SLOTS - 1));
}

inline unsigned get_state(const node* x) { return x->child[0] >> STATE_SHIFT; }
inline void set_state(node* x, unsigned s) {
  x->child[0] = (x->child[0] & INDEX_MASK) | (uint32_t(s) << STATE_SHIFT);
}
inline node_index child_index(const node* x, int b) {
  return x->child[b] & INDEX_MASK;
}
inline node* get_child(const node_pool& pool, const node* x, int b) {
  node_index i = child_index(x, b);
  return i ? node_at(pool, i) : nullptr;
}
inline void set_child(node* x, int b, node_index index) {
  x->child[b] = (x->child[b] & ~INDEX_MASK) | index;
}
inline bool is_leaf(const node* x) {
  return ((x->child[0] | x->child[1]) & INDEX_MASK) == 0;
}

/// Takes a node from the pool: no children, ST_UNSET. Returns its index, or
/// 0 when the pool is empty and cannot grow.
node_index take_node(node_pool& pool);

/// Gives the pool's memory back to the system.
void release_pool(node_pool& pool);

/// The tree of one run: the root, the whole address space, which is not
/// from the pool and starts ST_NO, and the pool of every other node.
template <typename F>
struct prefix_tree {
  typedef typename F::addr addr;
  node root = {{uint32_t(ST_NO) << STATE_SHIFT, 0}};
  node_pool pool;
  warning_log* log = nullptr;  // where overwrite warnings go
  // The path of the previous insertion: path[d] is its node at depth d,
  // for d up to path_len. Sorted and clustered input shares most of its
  // path with the line before, so the next insertion starts where the two
  // addresses part instead of at the root.
  node* path[F::BITS + 1] = {&root};
  addr path_addr = 0;
  int path_len = 0;

  prefix_tree() = default;
  prefix_tree(const prefix_tree&) = delete;
  prefix_tree& operator=(const prefix_tree&) = delete;
  ~prefix_tree() { release_pool(pool); }

  node* at(node_index i) const { return node_at(pool, i); }
  node* child(const node* x, int b) const { return get_child(pool, x, b); }
};

/// Sets the state of block a/n, creating the nodes on its path. Only the top
/// n bits of a count. Warns when an explicit opposite state is overwritten.
/// Returns the node, or nullptr when the pool cannot grow (the nodes made
/// so far stay in the tree).
template <typename F>
node* insert_prefix(prefix_tree<F>& t, int n, typename F::addr a, unsigned s);

/// Sets the state of block a/n like insert_prefix but without a warning,
/// and returns whatever the tree holds below it to the pool.
template <typename F>
node* plant_prefix(prefix_tree<F>& t, int n, typename F::addr a, unsigned s);

/// Returns the node and all its descendants to the pool.
template <typename F>
void free_subtree(prefix_tree<F>& t, node_index index);

/// Prints the subtree sideways, upper halves above: the block addr/prefix is
/// x's. `marked` gets a "*" in the first column.
template <typename F>
void dump_tree(const prefix_tree<F>& t, const node* x, typename F::addr addr,
               int prefix, int level, char branch, const node* marked);

/// Adds the subtree's states to counts[ST_UNSET], counts[ST_NO] and
/// counts[ST_YES].
template <typename F>
void count_states(const prefix_tree<F>& t, const node* x, long counts[3]);

/// Dumps the whole tree with the given header and its state counts line.
template <typename F>
void dump_with_counts(const prefix_tree<F>& t, const char* header);

#endif  // TENVIK_TREE_H_
