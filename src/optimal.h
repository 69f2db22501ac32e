#ifndef TENVIK_OPTIMAL_H_
#define TENVIK_OPTIMAL_H_

#include "tree.h"

/// Rewrites the tree as read (explicit states only where lines named them)
/// into the fewest explicit states that give every address the same
/// decision: the ORTC construction of Draves, King, Venkatachary and Zill.
/// Takes the place of fill_states and optimize_tree. Afterwards the root
/// holds a state (ST_NO whenever that is as short), every other node holds
/// one only where it differs from its nearest ancestor's, and no subtree
/// without a state is left. Each node is visited a fixed number of times.
/// Returns false when a node was needed and the pool could not grow.
bool make_optimal(node* x);

#endif  // TENVIK_OPTIMAL_H_
