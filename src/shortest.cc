#include "shortest.h"

#include <stdlib.h>

#include <algorithm>

#include "optimal.h"
#include "output.h"
#include "pages.h"
#include "pieces.h"
#include "settings.h"

namespace {

// A node of the tree that the blocks would make, kept only where it is a
// block or where two paths part; between a node and its child the tree
// runs through a chain of nodes with no state and one child, which is
// worked out as a whole.
template <typename F>
struct trie_node {
  typename F::stored_addr addr;
  uint32_t child[2];  // 1 + the index, or 0 for none
  uint8_t depth;
  uint8_t state;  // as planted
  uint8_t read;   // the decision as read: its state, or else its parent's
  uint8_t set;    // its candidates
};

template <typename F>
struct trie {
  typedef typename F::addr addr;
  trie_node<F>* nodes = nullptr;
  size_t count = 0, capacity = 0, reserved = 0;
  uint32_t stack[F::BITS + 2];
  int top = 0;
  addr path = 0;
  chunk_writer* out = nullptr;
  const entry_format* format = nullptr;

  ~trie() { unmap_mapping(nodes, capacity, reserved); }

  trie_node<F>& at(uint32_t i) { return nodes[i]; }
  int depth(int level) const { return nodes[stack[level]].depth; }

  // A new node; UINT32_MAX when there is no memory.
  uint32_t make(addr a, int depth, unsigned state) {
    if (!room_for_one(nodes, count, capacity, reserved, UINT32_MAX / 4))
      return UINT32_MAX;
    trie_node<F>& x = nodes[count];
    x.addr = a;
    x.child[0] = x.child[1] = 0;
    x.depth = uint8_t(depth);
    x.state = uint8_t(state);
    x.read = x.set = 0;
    return uint32_t(count++);
  }

  void attach(uint32_t parent, uint32_t c) {
    trie_node<F>& p = nodes[parent];
    p.child[bit_at<F>(addr(nodes[c].addr), p.depth)] = c + 1;
  }

  // Moves the path to the block x/n of state s, as the sweep does: the
  // nodes the path leaves go under the node below them, or under a new
  // node where the paths part.
  bool visit(addr x, int n, unsigned s) {
    // Blocks that a run of blocks starting here covers: it replaces them.
    if (x == path)
      while (depth(top) > n) top--;
    int common = std::min(n, depth(top));
    common = std::min(common, F::leading_zeros(x ^ path));
    while (depth(top) > common) {
      uint32_t c = stack[top--];
      if (depth(top) < common) {
        uint32_t fork =
            make(addr(nodes[c].addr) & F::netmask(common), common, ST_UNSET);
        if (fork == UINT32_MAX) return false;
        stack[++top] = fork;
      }
      attach(stack[top], c);
    }
    if (n == depth(top)) {
      nodes[stack[top]].state = uint8_t(s);
      return true;
    }
    uint32_t block = make(x, n, s);
    if (block == UINT32_MAX) return false;
    stack[++top] = block;
    path = x;
    return true;
  }

  void finish() {
    while (top > 0) {
      uint32_t c = stack[top--];
      attach(stack[top], c);
    }
  }

  // The candidates at the top of a chain of `length` nodes that decide
  // `read` as read, above a child with candidates `set`: each chain node
  // meets its child with its missing half, after two no more changes.
  static unsigned chain_up(unsigned set, int length, unsigned read) {
    for (int k = 0; k < length && k < 2; k++) set = meet(set, read);
    return set;
  }

  int chain_length(const trie_node<F>& parent, uint32_t c) const {
    return nodes[c - 1].depth - parent.depth - 1;
  }

  // Bottom-up, as make_optimal's first pass on the whole tree.
  unsigned candidates(uint32_t i, unsigned inherited) {
    trie_node<F>& x = nodes[i];
    x.read = uint8_t(filled(x.state, inherited));
    unsigned set = x.read;
    if (x.child[0] || x.child[1]) {
      unsigned s[2];
      for (int b = 0; b < 2; b++) {
        uint32_t c = x.child[b];
        s[b] =
            c ? chain_up(candidates(c - 1, x.read), chain_length(x, c), x.read)
              : x.read;
      }
      set = meet(s[0], s[1]);
    }
    nodes[i].set = uint8_t(set);
    return set;
  }

  static unsigned filled(unsigned own, unsigned inherited) {
    return own != ST_UNSET ? own : inherited;
  }

  void emit(addr a, int prefix, unsigned state) {
    put_entry<F>(*out, *format, state, a, prefix);
  }

  // Top-down, as make_optimal's second pass, printing each entry where the
  // walk of the finished tree would: after the nodes below it.
  void settle(uint32_t i, unsigned set, unsigned own, unsigned decision) {
    const trie_node<F> x = nodes[i];
    if (!x.child[0] && !x.child[1]) {
      if (own) emit(x.addr, x.depth, own);
      return;
    }
    unsigned child_set[2] = {0, 0};
    for (int b = 0; b < 2; b++)
      if (x.child[b])
        child_set[b] = chain_up(nodes[x.child[b] - 1].set,
                                chain_length(x, x.child[b]), x.read);
    for (int b = 0; b < 2; b++) {
      if (x.child[b]) {
        settle_chain(x.child[b] - 1, x.depth + 1, chain_length(x, x.child[b]),
                     decision, x.read);
        continue;
      }
      unsigned leaf = missing_child_state(set, child_set[1 - b]);
      if (leaf != decision)
        emit(child_of<F>(x.addr, x.depth, b), x.depth + 1, leaf);
    }
    if (own) emit(x.addr, x.depth, own);
  }

  void choose(uint32_t i, unsigned inherited) {
    unsigned set = nodes[i].set;
    if (set & inherited)
      settle(i, set, ST_UNSET, inherited);
    else
      settle(i, set, set, set);
  }

  // The chain of `length` nodes from depth k down to node c, which decide
  // `read` as read, and then c, receiving `inherited` from above.
  void settle_chain(uint32_t c, int k, int length, unsigned inherited,
                    unsigned read) {
    if (length == 0) return choose(c, inherited);
    addr a = addr(nodes[c].addr) & F::netmask(k);
    if (length > 2) {
      // The candidates are {read} down to the last two nodes: the top one
      // takes that state unless it has it already, and its missing half
      // and the nodes below it up to the last two need nothing.
      settle_chain(c, k + length - 2, 2, read, read);
      if (inherited != read) emit(a, k, read);
      return;
    }
    unsigned set = chain_up(nodes[c].set, length, read);
    unsigned below = chain_up(nodes[c].set, length - 1, read);
    unsigned own = (set & inherited) ? unsigned(ST_UNSET) : set;
    unsigned decision = own ? own : inherited;
    unsigned leaf = missing_child_state(set, below);
    int side = bit_at<F>(addr(nodes[c].addr), k);
    if (side == 1 && leaf != decision) emit(child_of<F>(a, k, 0), k + 1, leaf);
    settle_chain(c, k + 1, length - 1, decision, read);
    if (side == 0 && leaf != decision) emit(child_of<F>(a, k, 1), k + 1, leaf);
    if (own) emit(a, k, own);
  }
};

}  // namespace

template <typename F>
bool print_shortest(const queued_block<F>* blocks, size_t count,
                    const char* format, chunk_writer& out) {
  trie<F> t;
  t.out = &out;
  const entry_format program(format);
  t.format = &program;
  if (t.make(0, 0, ST_NO) == UINT32_MAX) return false;
  t.stack[0] = 0;
  bool ok = for_each_piece(
      blocks, count,
      [&t](typename F::addr x, int n, unsigned s) { return t.visit(x, n, s); });
  if (!ok) return false;
  t.finish();
  // The root always takes a state, ST_NO whenever that is as short.
  unsigned set = t.candidates(0, ST_NO);
  unsigned own = (set & ST_NO) ? ST_NO : ST_YES;
  t.settle(0, set, own, own);
  flush_text(out);
  return true;
}

template bool print_shortest(const queued_block<ipv4>*, size_t, const char*,
                             chunk_writer&);
template bool print_shortest(const queued_block<ipv6>*, size_t, const char*,
                             chunk_writer&);
