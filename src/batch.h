#ifndef TENVIK_BATCH_H_
#define TENVIK_BATCH_H_

#include <stdint.h>

// Blocks on their way into the tree. A big list in random order makes every
// insertion, and later every walk of the tree, jump around memory; sorted
// by address they build the tree in the order the walks read it. The sort is
// stable, so a block named twice still takes its later state, and the tree
// comes out the same as with insertions in input order. Only a run that
// prints nothing while it reads (-s, no input trace) is batched: otherwise
// the overwrite warnings would leave their input order.

/// Switches batching on or off; call before the first line.
void set_batching(bool on);

/// Sets the state of block a/n: at once, or at the next flush_blocks.
/// Returns false when the node pool is exhausted.
bool add_block(int n, uint32_t a, unsigned s);

/// Inserts every queued block. Returns false when the node pool is
/// exhausted.
bool flush_blocks();

#endif  // TENVIK_BATCH_H_
