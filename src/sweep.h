#ifndef TENVIK_SWEEP_H_
#define TENVIK_SWEEP_H_

#include <stddef.h>
#include <stdint.h>

// The access list straight from the input's blocks, without building the
// tree. The tree the blocks would make is visited in the order a walk of it
// would take, one root-to-block path at a time: a stack of at most 33 nodes
// replaces the tree. Filling, the four optimizer steps at every node and
// the positive expansion give exactly what the tree's walks give; the
// entries are gathered and printed in the tree's output order. The tree is
// still needed for dumps, step traces and the shortest list.

/// Blocks read from the input: an address of the first, the number of
/// blocks (a range names a run of them, each 2^(32 - prefix) addresses on
/// from the one before), their prefix length and state, and the line that
/// named them (for the order of their warnings).
struct queued_block {
  uint32_t addr;
  uint32_t line;
  // Twelve bytes a block: a million-line list is sorted as it is.
  uint32_t count : 24;
  uint32_t prefix : 6;
  uint32_t state : 2;
};

/// The most blocks one queued_block holds; a longer run takes several.
const uint32_t MAX_RUN = (1u << 24) - 1;

/// Prints the list for distinct blocks in tree order: by first address, and
/// a block before the blocks inside it. Only the top `prefix` bits of an
/// address count. A run of blocks stands where its first block would, and
/// no other block may start inside it. A block 0.0.0.0/0 sets the state of
/// the whole space, which is otherwise ST_NO. Returns false, having printed
/// nothing, when there is no memory for the entries.
bool sweep_blocks(const queued_block* blocks, size_t count, const char* format);

/// Puts the same blocks into the tree, a run as the aligned blocks that
/// cover it, each a leaf: the tree's optimized list is then the one the
/// blocks one by one would give, for the shortest list too, since a node
/// whose every address has one decision ends up as one leaf either way.
/// Warns of nothing. Returns false when the node pool runs out.
bool plant_blocks(const queued_block* blocks, size_t count);

#endif  // TENVIK_SWEEP_H_
