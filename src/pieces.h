#ifndef TENVIK_PIECES_H_
#define TENVIK_PIECES_H_

#include <stddef.h>

#include "family.h"
#include "queue.h"

// Calls visit(x, n, s) for the blocks in tree order, a run of blocks of
// one length and state side by side (a range makes them) as the aligned
// blocks that cover it. Each node inside the run has two children of the
// run's state, so the optimizer merges it into a leaf whatever its own
// state; only blocks inside the run's last block would spoil that. A
// covering block may be one that came before it, or hold some: those are
// blocks of the run's first address, which the run covers. Stops at the
// first visit that fails.
template <typename F, typename Visit>
inline bool for_each_piece(const queued_block<F>* blocks, size_t count,
                           Visit visit) {
  typedef typename F::addr addr;
  for (size_t i = 0; i < count;) {
    int n = blocks[i].prefix;
    addr a = block_of(blocks[i]);
    unsigned s = blocks[i].state;
    addr last = run_last(blocks[i]);
    size_t j = i + 1;
    if (n > 0) {
      while (j < count && blocks[j].prefix == n && blocks[j].state == s &&
             last != ~addr(0) && block_of(blocks[j]) == last + 1) {
        last = run_last(blocks[j]);
        j++;
      }
      if (j < count && j - 1 > i && blocks[j - 1].count == 1 &&
          (addr(blocks[j].addr) & F::netmask(n)) == block_of(blocks[j - 1])) {
        j--;
        last -= addr(1) << (F::BITS - n);
      }
    }
    bool ok = last - a == wildcard_of<F>(n)
                  ? visit(a, n, s)
                  : cover_range<F>(a, last, [&](addr x, int prefix) {
                      return visit(x, prefix, s);
                    });
    if (!ok) return false;
    i = j;
  }
  return true;
}

/// for_each_piece for blocks that come one at a time in tree order, each
/// a single block, none twice: add each, then finish. A block is held
/// until the next one shows whether it joins the ones before it.
template <typename F, typename Visit>
struct piece_joiner {
  typedef typename F::addr addr;
  Visit& visit;
  bool open = false;
  bool several = false;  // the stretch is more than one block
  addr first = 0, last = 0, last_block = 0;
  int n = 0;
  unsigned s = 0;

  explicit piece_joiner(Visit& v) : visit(v) {}

  bool put() {
    return last - first == wildcard_of<F>(n)
               ? visit(first, n, s)
               : cover_range<F>(first, last, [this](addr x, int prefix) {
                   return visit(x, prefix, s);
                 });
  }
  bool add(addr a, int prefix, unsigned state) {
    if (open) {
      if (prefix == n && n > 0 && state == s && last != ~addr(0) &&
          a == last + 1) {
        last_block = a;
        last = a | wildcard_of<F>(n);
        several = true;
        return true;
      }
      if (several && (a & F::netmask(n)) == last_block) {
        // The block is inside the stretch's last one, which goes alone.
        last = last_block - 1;
        if (!put()) return false;
        first = last_block;
        last = last_block | wildcard_of<F>(n);
      }
      if (!put()) return false;
    }
    open = true;
    several = false;
    first = last_block = a;
    last = a | wildcard_of<F>(prefix);
    n = prefix;
    s = state;
    return true;
  }
  bool finish() { return !open || put(); }
};

#endif  // TENVIK_PIECES_H_
