#include "positive.h"

bool make_positive(node* x) {
  if (is_leaf(x)) return true;
  unsigned s = get_state(x);
  for (int b = 0; b < 2; b++) {
    node* c = get_child(x, b);
    if (c) {
      if (get_state(c) == ST_UNSET) set_state(c, s);
      continue;
    }
    uint32_t index = take_node();
    if (!index) return false;
    set_state(node_at(index), s);
    set_child(x, b, index);
  }
  set_state(x, ST_UNSET);
  return make_positive(get_child(x, 0)) && make_positive(get_child(x, 1));
}
