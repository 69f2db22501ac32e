#ifndef TENVIK_OPTIMIZE_H_
#define TENVIK_OPTIMIZE_H_

#include "tree.h"

/// Gives every ST_UNSET node of the subtree the state of its nearest
/// ancestor with one (`inherited` for x itself). Afterwards no node is unset.
void fill_states(node* x, unsigned inherited);

/// Bottom-up, each node once: rotation, merge, clearing of repeated states,
/// pruning of unset leaves. The decision for every address stays the same;
/// afterwards a node keeps a state only where it differs from its nearest
/// ancestor's, and no leaf is unset. Expects a filled tree.
void optimize_tree(node* x);

#endif  // TENVIK_OPTIMIZE_H_
