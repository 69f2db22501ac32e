#ifndef TENVIK_OPTIMIZE_H_
#define TENVIK_OPTIMIZE_H_

#include <stdint.h>

#include "tree.h"

// The optimizer's rules, once, over what a node's steps look at: its state
// and a summary of each child. The tree walk applies them to nodes (and
// traces each step); the sweep applies them to the summaries of a tree it
// never builds.

/// A child as its parent's steps see it.
struct half_view {
  bool present = false;
  uint8_t state = ST_UNSET;
  bool leaf = false;
  bool lone_leaf = false;         // exactly one child, and that child is a leaf
  uint8_t lone_state = ST_UNSET;  // that child's state
};

enum optimizer_step { STEP_ROTATE, STEP_MERGE, STEP_CLEAR, STEP_PRUNE };

/// The state a node takes in the fill: its own, or else its parent's.
inline unsigned filled_state(unsigned own, unsigned inherited) {
  return own == ST_UNSET ? inherited : own;
}

/// The four steps at a node of state s, its children's subtrees done, in
/// their order: rotation (k = 0, then 1), merge, clearing of repeated
/// states (child 0, then 1), pruning of unset leaves (child 0, then 1).
/// Updates s and h as each step changes them and calls done(step, index)
/// right after it. A rotation moves child k's lone leaf G to its other half
/// and exchanges their states, so that child k turns opposite to the node
/// like its leaf sibling and the merge can take both.
template <typename Done>
inline void optimize_steps(unsigned& s, half_view h[2], Done done) {
  if (h[0].present && h[1].present) {
    for (int k = 0; k < 2; k++) {
      half_view& a = h[k];
      const half_view& b = h[1 - k];
      if (s == ST_UNSET || a.state != s || b.state != opposite_state(s) ||
          !b.leaf || !a.lone_leaf)
        continue;
      a.state = a.lone_state;
      a.lone_state = uint8_t(s);
      done(STEP_ROTATE, k);
    }
    if (h[0].state != ST_UNSET && h[0].state == h[1].state) {
      s = h[0].state;
      h[0].state = h[1].state = ST_UNSET;
      done(STEP_MERGE, 0);
    }
  }
  for (int b = 0; b < 2; b++) {
    if (h[b].present && h[b].state == s) {
      h[b].state = ST_UNSET;
      done(STEP_CLEAR, b);
    }
  }
  for (int b = 0; b < 2; b++) {
    if (h[b].present && h[b].state == ST_UNSET && h[b].leaf) {
      h[b].present = false;
      done(STEP_PRUNE, b);
    }
  }
}

/// The state that half h of an optimized node of state s holds in the
/// positive expansion, where only leaves keep states: a missing half
/// becomes a leaf of the node's state, and a child without a state of its
/// own takes it.
inline unsigned positive_state(unsigned s, const half_view& h) {
  return !h.present || h.state == ST_UNSET ? s : h.state;
}

/// Gives every ST_UNSET node of the subtree the state of its nearest
/// ancestor with one (`inherited` for x itself). Afterwards no node is unset.
template <typename F>
void fill_states(prefix_tree<F>& t, node* x, unsigned inherited);

/// Bottom-up, each node once: the four steps, each traced as the trace
/// bits ask. The decision for every address stays the same; afterwards a
/// node keeps a state only where it differs from its nearest ancestor's,
/// and no leaf is unset. Expects a filled tree.
template <typename F>
void optimize_tree(prefix_tree<F>& t, node* x);

/// fill_states followed by optimize_tree in one walk, without traces. The
/// result is the same: every step at a node sees only its own subtree,
/// which is filled by then. Only the step traces, which dump the whole
/// tree, could tell the difference, so they need the two separate walks.
template <typename F>
void fill_and_optimize(prefix_tree<F>& t, node* x, unsigned inherited);

#endif  // TENVIK_OPTIMIZE_H_
