#include "optimize.h"

#include <stdio.h>

#include "settings.h"

void fill_states(node* x, unsigned inherited) {
  if (!x) return;
  if (get_state(x) == ST_UNSET) set_state(x, inherited);
  fill_states(get_child(x, 0), get_state(x));
  fill_states(get_child(x, 1), get_state(x));
}

static void trace_step(int flag, const char* text, int index, const node* x) {
  if (!(trace_flags & flag)) return;
  fprintf(out_stream, text, index);
  dump_tree(&root, 0, 0, 0, '=', x);
}

// A's lone leaf child G moves to A's other half, and A and G exchange
// states. The decision of every address stays the same, and A becomes the
// opposite of x like its leaf sibling B, so that the merge can take both.
static void rotate(node* x, int k) {
  node* a = get_child(x, k);
  node* b = get_child(x, 1 - k);
  unsigned s = get_state(x);
  if (!a || !b || s == ST_UNSET || get_state(a) != s ||
      get_state(b) != opposite_state(s) || !is_leaf(b))
    return;
  uint32_t g0 = child_index(a, 0), g1 = child_index(a, 1);
  if ((g0 == 0) == (g1 == 0)) return;
  int j = g0 ? 0 : 1;
  uint32_t gi = g0 | g1;
  node* g = node_at(gi);
  if (!is_leaf(g)) return;
  set_child(a, j, 0);
  set_child(a, 1 - j, gi);
  set_state(a, get_state(g));
  set_state(g, s);
  trace_step(TRACE_ROTATE, "-opt1/%d-\n", k, x);
}

// The four steps at x, once its children's subtrees are done. No step
// changes which children x has before the pruning, so they are read once.
static void optimize_node(node* x) {
  uint32_t index[2] = {child_index(x, 0), child_index(x, 1)};
  if (index[0] && index[1]) {
    rotate(x, 0);
    rotate(x, 1);
    node* c0 = node_at(index[0]);
    node* c1 = node_at(index[1]);
    if (get_state(c0) != ST_UNSET && get_state(c0) == get_state(c1)) {
      set_state(x, get_state(c0));
      set_state(c0, ST_UNSET);
      set_state(c1, ST_UNSET);
      trace_step(TRACE_MERGE, "-opt2-\n", 0, x);
    }
  }

  unsigned s = get_state(x);
  for (int b = 0; b < 2; b++) {
    if (!index[b]) continue;
    node* c = node_at(index[b]);
    if (get_state(c) == s) {
      set_state(c, ST_UNSET);
      trace_step(TRACE_REPEATED, "-opt3/%d-\n", b, x);
    }
  }

  for (int b = 0; b < 2; b++) {
    if (!index[b]) continue;
    node* c = node_at(index[b]);
    if (get_state(c) == ST_UNSET && is_leaf(c)) {
      free_subtree(index[b]);
      set_child(x, b, 0);
      trace_step(TRACE_PRUNE, "-opt4/%d-\n", b, x);
    }
  }
}

void optimize_tree(node* x) {
  if (!x || is_leaf(x)) return;
  optimize_tree(get_child(x, 0));
  optimize_tree(get_child(x, 1));
  optimize_node(x);
}

void fill_and_optimize(node* x, unsigned inherited) {
  if (get_state(x) == ST_UNSET) set_state(x, inherited);
  if (is_leaf(x)) return;
  unsigned s = get_state(x);
  if (node* c = get_child(x, 0)) fill_and_optimize(c, s);
  if (node* c = get_child(x, 1)) fill_and_optimize(c, s);
  optimize_node(x);
}
