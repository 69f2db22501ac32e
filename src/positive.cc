#include "positive.h"

#include "optimize.h"

template <typename F>
bool make_positive(prefix_tree<F>& t, node* x) {
  if (is_leaf(x)) return true;
  unsigned s = get_state(x);
  for (int b = 0; b < 2; b++) {
    half_view h;
    node* c = t.child(x, b);
    if (c) {
      h.present = true;
      h.state = uint8_t(get_state(c));
    } else {
      node_index index = take_node(t.pool);
      if (!index) return false;
      set_child(x, b, index);
      c = t.at(index);
    }
    set_state(c, positive_state(s, h));
  }
  set_state(x, ST_UNSET);
  return make_positive(t, t.child(x, 0)) && make_positive(t, t.child(x, 1));
}

template bool make_positive(prefix_tree<ipv4>&, node*);
template bool make_positive(prefix_tree<ipv6>&, node*);
