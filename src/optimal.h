#ifndef TENVIK_OPTIMAL_H_
#define TENVIK_OPTIMAL_H_

#include "tree.h"

// The candidate states of a node: ST_NO is 1 and ST_YES is 2, so a set is
// the OR of its members and BOTH stands for the two of them; no set is ever
// empty.
const unsigned BOTH = ST_NO | ST_YES;

/// The candidates of a node from those of its two halves: the states they
/// share, or else either.
inline unsigned meet(unsigned s0, unsigned s1) {
  return (s0 & s1) ? (s0 & s1) : (s0 | s1);
}

/// The decision as read of the missing child of a node with set `set` whose
/// other child has set `sibling`. It was the node's own decision d, and the
/// node's set came from {d} and `sibling`: when they meet, the set is {d};
/// when they do not, it is their union, which is BOTH only then, and d is
/// the one state that `sibling` lacks.
inline unsigned missing_child_state(unsigned set, unsigned sibling) {
  return set == BOTH ? BOTH ^ sibling : set;
}

/// Rewrites the tree as read (explicit states only where lines named them)
/// into the fewest explicit states that give every address the same
/// decision: the ORTC construction of Draves, King, Venkatachary and Zill.
/// Takes the place of fill_states and optimize_tree. Afterwards the root
/// holds a state (ST_NO whenever that is as short), every other node holds
/// one only where it differs from its nearest ancestor's, and no subtree
/// without a state is left. Each node is visited a fixed number of times.
/// Returns false when a node was needed and the pool could not grow.
template <typename F>
bool make_optimal(prefix_tree<F>& t, node* x);

#endif  // TENVIK_OPTIMAL_H_
