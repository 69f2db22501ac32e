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

/// fill_states followed by optimize_tree in one walk. The result is the
/// same: every step at a node sees only its own subtree, which is filled by
/// then. Only the step traces, which dump the whole tree, could tell the
/// difference, so they need the two separate walks.
void fill_and_optimize(node* x, unsigned inherited);

#endif  // TENVIK_OPTIMIZE_H_
