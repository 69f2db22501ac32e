#ifndef TENVIK_BATCH_H_
#define TENVIK_BATCH_H_

#include <stdint.h>

// Blocks on their way into the tree. A big list in random order makes every
// insertion, and later every walk of the tree, jump around memory; sorted
// by address they build the tree in the order the walks read it. The sort is
// stable, so a block named twice still takes its later state, and the tree
// comes out the same as with insertions in input order. The warnings of a
// batch are held back and written in input order when it is flushed.

/// Switches batching on or off; call before the first line and after the
/// last flush.
void set_batching(bool on);

/// Marks the start of the next input line, for the order of warnings.
/// Returns false when a flush it needed found the node pool exhausted.
bool next_line();

/// Sets the state of block a/n: at once, or at the next flush_blocks.
/// Returns false when the node pool is exhausted.
bool add_block(int n, uint32_t a, unsigned s);

/// Inserts every queued block and writes the warnings held back with them.
/// Returns false when the node pool is exhausted.
bool flush_blocks();

/// Writes a warning to the error stream unless -s: at once, or in its line's
/// turn at the next flush while a batch is open.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // TENVIK_BATCH_H_
