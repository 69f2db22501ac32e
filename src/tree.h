#ifndef TENVIK_TREE_H_
#define TENVIK_TREE_H_

#include <stddef.h>
#include <stdint.h>

#include "address.h"

// The pool grows by this many nodes at a time and never shrinks.
const unsigned NODES_PER_BLOCK = 510;

// A node of the prefix tree: the node at depth d stands for one block of
// prefix length d. Its first address and prefix length are not stored; they
// follow from the path from the root, and every walk carries them down
// (child b of addr/p is addr | b << (31 - p), p + 1). Children are pool
// indexes (0 = absent), which keeps a node at 8 bytes: a million-line list
// makes tens of millions of nodes. The top two bits of child[0] hold the
// state; use the accessors below.
struct node {
  uint32_t child[2];
};

const uint32_t INDEX_MASK = 0x3fffffffu;
const int STATE_SHIFT = 30;

/// The whole address space, 0.0.0.0/0. Not from the pool; ST_NO at start.
extern node root;

// A pool index is the block number times BLOCK_SLOTS plus the slot, 1 to
// NODES_PER_BLOCK; slot 0 of every block stays unused so that index 0 can
// mean "absent" and finding a node costs a shift and a mask.
const int BLOCK_SHIFT = 9;
const uint32_t BLOCK_SLOTS = 1u << BLOCK_SHIFT;
static_assert(NODES_PER_BLOCK < BLOCK_SLOTS, "a block's slots fit its nodes");

/// The node behind a nonzero pool index.
extern node** pool_blocks;
inline node* node_at(uint32_t index) {
  return pool_blocks[index >> BLOCK_SHIFT] + (index & (BLOCK_SLOTS - 1));
}

inline unsigned get_state(const node* x) { return x->child[0] >> STATE_SHIFT; }
inline void set_state(node* x, unsigned s) {
  x->child[0] = (x->child[0] & INDEX_MASK) | (uint32_t(s) << STATE_SHIFT);
}
inline uint32_t child_index(const node* x, int b) {
  return x->child[b] & INDEX_MASK;
}
inline node* get_child(const node* x, int b) {
  uint32_t i = child_index(x, b);
  return i ? node_at(i) : nullptr;
}
inline void set_child(node* x, int b, uint32_t index) {
  x->child[b] = (x->child[b] & ~INDEX_MASK) | index;
}
inline bool is_leaf(const node* x) {
  return ((x->child[0] | x->child[1]) & INDEX_MASK) == 0;
}
/// First address of child b of the block addr/prefix.
inline uint32_t child_addr(uint32_t addr, int prefix, int b) {
  return addr | (uint32_t(b) << (31 - prefix));
}

/// Takes a node from the pool: no children, ST_UNSET. Returns its index, or
/// 0 when the pool is empty and cannot grow.
uint32_t take_node();

/// Sets the state of block a/n, creating the nodes on its path. Only the top
/// n bits of a count. Warns when an explicit opposite state is overwritten.
/// Returns the node, or nullptr when the pool cannot grow (the nodes made
/// so far stay in the tree).
node* insert_prefix(int n, uint32_t a, unsigned s);

/// Sets the state of block a/n like insert_prefix but without a warning,
/// and returns whatever the tree holds below it to the pool.
node* plant_prefix(int n, uint32_t a, unsigned s);

/// Returns the node and all its descendants to the pool.
void free_subtree(uint32_t index);

/// Prints the subtree sideways, upper halves above: the block addr/prefix is
/// x's. `marked` gets a "*" in the first column.
void dump_tree(const node* x, uint32_t addr, int prefix, int level, char branch,
               const node* marked);

/// Adds the subtree's states to counts[ST_UNSET], counts[ST_NO] and
/// counts[ST_YES].
void count_states(const node* x, long counts[3]);

/// Dumps the whole tree with the given header and its state counts line.
void dump_with_counts(const char* header);

/// Zero-filled memory straight from the system, on huge pages where it has
/// them; nullptr when there is none. Released with munmap.
void* map_pages(size_t bytes);

/// Back to the lone ST_NO root with an empty pool; for tests.
void reset_tree();

/// Blocks the pool has allocated so far.
size_t pool_block_count();

#endif  // TENVIK_TREE_H_
