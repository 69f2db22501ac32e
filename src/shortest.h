#ifndef TENVIK_SHORTEST_H_
#define TENVIK_SHORTEST_H_

#include <stddef.h>

#include "queue.h"
#include "writer.h"

/// Prints the shortest list (--optimal) for distinct blocks in tree order,
/// as sweep_blocks takes them, exactly as planting them in the tree and
/// running make_optimal and print_entries would, but on the tree with its
/// chains of one-child nodes left out: only the blocks and the nodes where
/// two paths part are made, so a million random IPv6 addresses take two
/// million nodes, not a hundred million. Returns false, having printed
/// nothing, when there is no memory for them.
template <typename F>
bool print_shortest(const queued_block<F>* blocks, size_t count,
                    const char* format, chunk_writer& out);

#endif  // TENVIK_SHORTEST_H_
