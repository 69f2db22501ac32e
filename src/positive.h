#ifndef TENVIK_POSITIVE_H_
#define TENVIK_POSITIVE_H_

#include "tree.h"

/// Pushes every state down to the leaves, adding the missing halves as new
/// leaves: afterwards inner nodes are ST_UNSET with both children, and the
/// leaves partition the subtree's block, each holding the decision for its
/// whole block. Expects an optimized tree. Returns false when the pool
/// cannot grow (the tree is then incomplete).
template <typename F>
bool make_positive(prefix_tree<F>& t, node* x);

#endif  // TENVIK_POSITIVE_H_
