#ifndef TENVIK_SWEEP_H_
#define TENVIK_SWEEP_H_

#include <stddef.h>

#include "queue.h"
#include "tree.h"
#include "writer.h"

// The access list straight from the input's blocks, without building the
// tree. The tree the blocks would make is visited in the order a walk of it
// would take, one root-to-block path at a time: a stack of at most BITS + 1
// nodes replaces the tree. Filling, the four optimizer steps at every node
// and the positive expansion give exactly what the tree's walks give; the
// entries are gathered and printed in the tree's output order. The tree is
// still needed for dumps, step traces and the shortest list. Positive mode
// needs no walk at all: its list is the permitted addresses as the fewest
// aligned blocks.

/// Prints the list for distinct blocks in tree order: by first address, and
/// a block before the blocks inside it. Only the top `prefix` bits of an
/// address count. A run of blocks stands where its first block would, and
/// no other block may start inside it. A block of the whole space sets its
/// state, which is otherwise ST_NO. Returns false, having printed nothing,
/// when there is no memory for the entries.
template <typename F>
bool sweep_blocks(const queued_block<F>* blocks, size_t count,
                  const char* format, chunk_writer& out);

/// The list of the blocks held in s, as sweep_blocks prints it after
/// merge_held_blocks. Returns false, having printed nothing, when there is
/// no memory for it.
bool sweep_buckets(const bucket_store& s, const char* format,
                   chunk_writer& out);

/// Puts the same blocks into the tree, a run as the aligned blocks that
/// cover it, each a leaf: the tree's optimized list is then the one the
/// blocks one by one would give, for the shortest list too, since a node
/// whose every address has one decision ends up as one leaf either way.
/// Warns of nothing. Returns false when the node pool runs out.
template <typename F>
bool plant_blocks(prefix_tree<F>& t, const queued_block<F>* blocks,
                  size_t count);

#endif  // TENVIK_SWEEP_H_
