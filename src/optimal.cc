#include "optimal.h"

#include "address.h"

// While the pass runs, a node's state bits hold its set of candidate
// states.

// Bottom-up: the candidate set of x, whose decision as read is its own
// state or else `inherited`. The tree is completed only in thought: the
// missing child of an inner node is a leaf deciding as x does, so its set
// is that one state and no node is made for it.
template <typename F>
static unsigned candidates(prefix_tree<F>& t, node* x, unsigned inherited) {
  unsigned own = get_state(x);
  unsigned decision = own != ST_UNSET ? own : inherited;
  unsigned set = decision;
  if (!is_leaf(x)) {
    node* c0 = t.child(x, 0);
    node* c1 = t.child(x, 1);
    unsigned s0 = c0 ? candidates(t, c0, decision) : decision;
    unsigned s1 = c1 ? candidates(t, c1, decision) : decision;
    set = meet(s0, s1);
  }
  set_state(x, set);
  return set;
}

template <typename F>
static bool choose(prefix_tree<F>& t, node* x, unsigned inherited);

// x takes `own` (ST_UNSET for none) and passes `decision` down. A child
// left without a state in its whole subtree goes back to the pool; a
// missing child whose decision differs from x's new one becomes a leaf
// carrying it. Children are settled first so that the nodes they free are
// the ones taken again.
template <typename F>
static bool settle(prefix_tree<F>& t, node* x, unsigned set, unsigned own,
                   unsigned decision) {
  set_state(x, own);
  if (is_leaf(x)) return true;
  node_index index[2] = {child_index(x, 0), child_index(x, 1)};
  unsigned child_set[2] = {0, 0};
  for (int b = 0; b < 2; b++)
    if (index[b]) child_set[b] = get_state(t.at(index[b]));
  for (int b = 0; b < 2; b++) {
    if (!index[b]) continue;
    node* c = t.at(index[b]);
    if (!choose(t, c, decision)) return false;
    if (get_state(c) == ST_UNSET && is_leaf(c)) {
      free_subtree(t, index[b]);
      set_child(x, b, 0);
    }
  }
  for (int b = 0; b < 2; b++) {
    if (index[b]) continue;
    unsigned leaf = missing_child_state(set, child_set[1 - b]);
    if (leaf == decision) continue;
    node_index n = take_node(t.pool);
    if (!n) return false;
    set_state(t.at(n), leaf);
    set_child(x, b, n);
  }
  return true;
}

// Top-down: `inherited` is the decision x now receives from above. It is
// ST_NO or ST_YES, never ST_UNSET, since the root always takes a state. If
// it is among x's candidates, x needs no state of its own. Otherwise x
// takes its single candidate: a set of two members holds both states and
// so always holds `inherited`, hence a set that lacks it has exactly one
// member, and the set's value is that state.
template <typename F>
static bool choose(prefix_tree<F>& t, node* x, unsigned inherited) {
  unsigned set = get_state(x);
  if (set & inherited) return settle(t, x, set, ST_UNSET, inherited);
  return settle(t, x, set, set, set);
}

template <typename F>
bool make_optimal(prefix_tree<F>& t, node* x) {
  // The root has a state of its own, so the ST_NO passed in never counts.
  unsigned set = candidates(t, x, ST_NO);
  unsigned own = (set & ST_NO) ? ST_NO : ST_YES;
  return settle(t, x, set, own, own);
}

template bool make_optimal(prefix_tree<ipv4>&, node*);
template bool make_optimal(prefix_tree<ipv6>&, node*);
