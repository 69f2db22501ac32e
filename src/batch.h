#ifndef TENVIK_BATCH_H_
#define TENVIK_BATCH_H_

#include <stddef.h>
#include <stdint.h>

#include "sweep.h"

// Blocks on their way into the tree, or held to the end of the input for
// the sweep. A big list in random order makes every insertion, and later
// every walk of the tree, jump around memory; sorted by address they build
// the tree in the order the walks read it. The sort is stable, so a block
// named twice still takes its later state, and the tree comes out the same
// as with insertions in input order. The warnings are held back and
// written in input order when a batch is flushed or the held blocks are
// merged.

enum {
  BATCH_OFF,   // every block goes into the tree at once
  BATCH_SOME,  // blocks go in a batch at a time
  BATCH_ALL,   // every block is held for the sweep, until the tree is needed
};

/// Sets how blocks are queued; call before the first line and after the
/// last flush or merge_held_blocks.
void set_batching(int mode);

/// True while the queue holds every block of the input: none has gone into
/// the tree, which a dump, a full queue or a long list makes them do.
bool holding_all_blocks();

/// Sorts the held blocks into tree order and keeps each block once, with
/// the state its last line gave it, writing the overwrite warnings and all
/// warnings held back, and sets `blocks` and `count` to the result. False,
/// with nothing changed, when there is no memory to sort them.
bool merge_held_blocks(const queued_block** blocks, size_t* count);

/// Marks the start of the next input line, for the order of warnings.
/// Returns false when a flush it needed found the node pool exhausted.
bool next_line();

/// Sets the state of block a/n: at once, or at the next flush_blocks.
/// Returns false when the node pool is exhausted.
bool add_block(int n, uint32_t a, unsigned s);

/// add_block for `count` blocks of length n, the first at a and each next
/// one 2^(32 - n) further on, as a range makes them.
bool add_blocks(int n, uint32_t a, uint64_t count, unsigned s);

/// Inserts every queued block and writes the warnings held back with them.
/// Returns false when the node pool is exhausted.
bool flush_blocks();

/// Writes a warning to the error stream unless -s: at once, or in its line's
/// turn at the next flush while a batch is open.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // TENVIK_BATCH_H_
