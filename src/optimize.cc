#include "optimize.h"

#include <stdio.h>

#include "settings.h"

template <typename F>
void fill_states(prefix_tree<F>& t, node* x, unsigned inherited) {
  if (!x) return;
  set_state(x, filled_state(get_state(x), inherited));
  fill_states(t, t.child(x, 0), get_state(x));
  fill_states(t, t.child(x, 1), get_state(x));
}

// What x's steps see of its child at `index` (0: none).
template <typename F>
static half_view view_of(const prefix_tree<F>& t, node_index index) {
  half_view h;
  if (!index) return h;
  const node* c = t.at(index);
  h.present = true;
  h.state = uint8_t(get_state(c));
  h.leaf = is_leaf(c);
  node_index g0 = child_index(c, 0), g1 = child_index(c, 1);
  if ((g0 == 0) != (g1 == 0)) {
    const node* g = t.at(g0 | g1);
    h.lone_leaf = is_leaf(g);
    h.lone_state = uint8_t(get_state(g));
  }
  return h;
}

// The steps at x, once its children's subtrees are done, carried out on
// the nodes as the rules take them, each traced when its bit is on.
template <typename F>
static void optimize_node(prefix_tree<F>& t, node* x, bool traced) {
  node_index index[2] = {child_index(x, 0), child_index(x, 1)};
  half_view h[2] = {view_of(t, index[0]), view_of(t, index[1])};
  unsigned s = get_state(x);
  optimize_steps(s, h, [&](optimizer_step step, int b) {
    node* c = t.at(index[b]);
    int flag = 0;
    const char* text = nullptr;
    switch (step) {
      case STEP_ROTATE: {
        // The lone leaf moves to the other half.
        int j = child_index(c, 0) ? 0 : 1;
        node_index g = child_index(c, j);
        set_child(c, j, 0);
        set_child(c, 1 - j, g);
        set_state(c, h[b].state);
        set_state(t.at(g), h[b].lone_state);
        flag = TRACE_ROTATE;
        text = "-opt1/%d-\n";
        break;
      }
      case STEP_MERGE:
        set_state(x, s);
        set_state(t.at(index[0]), ST_UNSET);
        set_state(t.at(index[1]), ST_UNSET);
        flag = TRACE_MERGE;
        text = "-opt2-\n";
        break;
      case STEP_CLEAR:
        set_state(c, ST_UNSET);
        flag = TRACE_REPEATED;
        text = "-opt3/%d-\n";
        break;
      case STEP_PRUNE:
        free_subtree(t, index[b]);
        set_child(x, b, 0);
        flag = TRACE_PRUNE;
        text = "-opt4/%d-\n";
        break;
    }
    if (traced && (settings.trace_flags & flag)) {
      fprintf(settings.out_stream, text, b);
      dump_tree(t, &t.root, 0, 0, 0, '=', x);
    }
  });
}

template <typename F>
void optimize_tree(prefix_tree<F>& t, node* x) {
  if (!x || is_leaf(x)) return;
  optimize_tree(t, t.child(x, 0));
  optimize_tree(t, t.child(x, 1));
  optimize_node(t, x, true);
}

template <typename F>
void fill_and_optimize(prefix_tree<F>& t, node* x, unsigned inherited) {
  set_state(x, filled_state(get_state(x), inherited));
  if (is_leaf(x)) return;
  unsigned s = get_state(x);
  if (node* c = t.child(x, 0)) fill_and_optimize(t, c, s);
  if (node* c = t.child(x, 1)) fill_and_optimize(t, c, s);
  optimize_node(t, x, false);
}

#define INSTANTIATE(F)                                         \
  template void fill_states(prefix_tree<F>&, node*, unsigned); \
  template void optimize_tree(prefix_tree<F>&, node*);         \
  template void fill_and_optimize(prefix_tree<F>&, node*, unsigned);
INSTANTIATE(ipv4)
INSTANTIATE(ipv6)
