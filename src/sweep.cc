#include "sweep.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>

#include "address.h"
#include "optimize.h"
#include "output.h"
#include "pieces.h"
#include "radix.h"
#include "settings.h"

namespace {

// A finished node as its parent's steps see it, and the entry of its lone
// leaf child, outside positive mode: the rotation reaches one level further
// down, to that child, whose entry it moves.
struct summary {
  half_view view;
  uint32_t lone_entry;
};

// A node on the current path that is a block or has two children: its
// depth, its state (filled on the way down, optimized on the way up) and
// the children finished so far. Between two frames the path runs through
// nodes that are no block and have one child, a chain that is finished in
// one step: a random /32 leaves a chain of a dozen such nodes.
struct frame {
  uint8_t depth;
  uint8_t state;
  summary child[2];
};

// An entry as it is found. Sorted by the block's last address and then by
// the prefix, longer first, they are in output order, the order of a walk
// that prints a node after its children: a block ends after the blocks
// inside it, or with the one along its upper edge.
template <typename F>
struct entry {
  typename F::entry_addr last;
  uint8_t shift;  // BITS minus the prefix length
  uint8_t state;
  bool operator<(const entry& o) const {
    typename F::addr a = last, b = o.last;
    return a != b ? a < b : shift < o.shift;
  }
  bool operator<=(const entry& o) const { return !(o < *this); }
};

template <typename F>
struct sweep_state {
  typedef typename F::addr addr;
  entry<F>* entries = nullptr;
  size_t count = 0, capacity = 0, reserved = 0;
  size_t given = 0;  // see give_next_page
  frame stack[F::BITS + 2];
  int top = 0;
  addr path = 0;  // the address of the path's last block

  ~sweep_state() { unmap_mapping(entries, capacity, reserved); }

  bool add_entry(addr first, int prefix, unsigned state) {
    if (count == given) {
      if (!room_for_one(entries, count, capacity, reserved, UINT32_MAX / 2))
        return false;
      given = give_next_page(entries, given, capacity);
    }
    entries[count++] = {addr(first | wildcard_of<F>(prefix)),
                        uint8_t(F::BITS - prefix), uint8_t(state)};
    return true;
  }
};

}  // namespace

// The node at `depth` on the path `path` is finished: its children are
// done. These are the optimizer's four steps at it, on the summaries of the
// children, with the entries of the children that keep a state. A child's
// state is final once its parent's steps are done, except that of a lone
// leaf, which its grandparent's rotation may still move: its entry is
// patched then. In positive mode the leaves and the missing halves under a
// node with children are its blocks of the partition, with the state they
// have here; a rotation above moves a leaf into a missing half and takes
// the half's state, so the blocks and their states stay as they are.
template <typename F>
__attribute__((always_inline)) inline static bool finish_node(
    sweep_state<F>& w, frame& f, int depth, typename F::addr path,
    summary& out) {
  typedef typename F::addr addr;
  const bool positive = settings.opt_positive;
  unsigned s = f.state;
  half_view h[2] = {f.child[0].view, f.child[1].view};
  optimize_steps(s, h, [&](optimizer_step step, int k) {
    if (step != STEP_ROTATE || positive) return;
    // The lone leaf moves to the other half of its parent and takes the
    // state this node has.
    entry<F>& e = w.entries[f.child[k].lone_entry];
    e.last = addr(e.last) ^ addr(1) << (F::BITS - 2 - depth);
    e.state = uint8_t(s);
  });
  addr a = path & F::netmask(depth);
  half_view& v = out.view;
  v.present = true;
  v.state = uint8_t(s);
  v.leaf = !h[0].present && !h[1].present;
  v.lone_leaf = h[0].present != h[1].present && h[h[1].present].leaf;
  v.lone_state = h[h[1].present].state;
  for (int b = 0; b < 2 && !v.leaf; b++) {
    addr child = child_of<F>(a, depth, b);
    if (positive) {
      // A child with children of its own gives its blocks itself.
      if (h[b].present && !h[b].leaf) continue;
      if (positive_state(s, h[b]) == ST_YES &&
          !w.add_entry(child, depth + 1, ST_YES))
        return false;
    } else if (h[b].present && h[b].state != ST_UNSET) {
      if (!w.add_entry(child, depth + 1, h[b].state)) return false;
      out.lone_entry = uint32_t(w.count - 1);
    }
  }
  return true;
}

// Entries in output order. Most already are: a node's entries come after
// its subtree's, but a lower half's entry waits for its parent's steps,
// which come after the upper half's subtree. A radix sort on the prefix
// and the top bits of the last address (the rest, for IPv6, by comparison
// within each stretch of equal top bits), or without memory for it a sort
// in place.
template <typename F>
static void sort_entries(sweep_state<F>& w) {
  entry<F>* entries = w.entries;
  size_t n = w.count;
  if (std::is_sorted(entries, entries + n)) return;
  entry<F>* spare = static_cast<entry<F>*>(map_pages(n * sizeof(entry<F>)));
  uint32_t* counts = static_cast<uint32_t*>(malloc(65536 * sizeof(uint32_t)));
  // Both are written whole by the first passes: given at once.
  populate_pages(spare, n * sizeof(entry<F>));
  populate_pages(counts, 65536 * sizeof(uint32_t));
  if (!spare || !counts) {
    unmap_mapping(spare, n);
    free(counts);
    std::sort(entries, entries + n);
    return;
  }
  radix_pass(
      entries, spare, n, [](const entry<F>& e) { return e.shift; }, 0xff,
      counts);
  std::swap(entries, spare);
  const int low = F::BITS >= 64 ? 0 : 64 - F::BITS;
  for (int shift = low; shift < 64; shift += 16) {
    radix_pass(
        entries, spare, n,
        [shift](const entry<F>& e) {
          return uint32_t(F::top64(e.last) >> shift);
        },
        0xffff, counts);
    std::swap(entries, spare);
  }
  if (F::BITS > 64) {
    for (size_t i = 0; i < n;) {
      uint64_t top = F::top64(entries[i].last);
      size_t j = i + 1;
      while (j < n && F::top64(entries[j].last) == top) j++;
      if (j - i > 1) std::sort(entries + i, entries + j);
      i = j;
    }
  }
  // The passes leave the sorted entries in either buffer.
  if (entries == w.entries) {
    unmap_mapping(spare, n);
  } else {
    unmap_mapping(w.entries, w.capacity, w.reserved);
    w.entries = entries;
    w.capacity = w.given = n;
    w.reserved = 0;
  }
  free(counts);
}

// The chain of nodes from depth `top` down to depth `bottom` - 1 above
// the finished node `below` at depth `bottom`, all of state f: no block,
// one child each. Each node's steps come down to the clearing of its
// child's state where it is f, and the pruning of the child if that leaves
// it an unset leaf; so above the lowest node each one clears its child, and
// the whole chain is pruned with a pruned bottom. Returns in `below` the
// summary of the node at depth top.
template <typename F>
__attribute__((always_inline)) inline static bool finish_chain(
    sweep_state<F>& w, int top, int bottom, typename F::addr path, unsigned f,
    summary& below) {
  typedef typename F::addr addr;
  if (top >= bottom) return true;
  const half_view& b = below.view;
  bool kept = b.state != f;
  bool pruned = !kept && b.leaf;
  summary out;
  out.view.present = true;
  out.view.state = uint8_t(f);
  out.view.leaf = pruned;
  out.view.lone_leaf = kept && b.leaf && bottom - 1 == top;
  out.view.lone_state = b.state;
  out.lone_entry = 0;
  if (!settings.opt_positive) {
    if (kept) {
      if (!w.add_entry(path & F::netmask(bottom), bottom, b.state))
        return false;
      out.lone_entry = uint32_t(w.count - 1);
    }
  } else if (!pruned) {
    if (b.leaf && b.state == ST_YES &&
        !w.add_entry(path & F::netmask(bottom), bottom, ST_YES))
      return false;
    // Every node of the chain has the half beside the path missing.
    if (f == ST_YES) {
      for (int d = bottom - 1; d >= top; d--) {
        addr other =
            (path ^ (addr(1) << (F::BITS - 1 - d))) & F::netmask(d + 1);
        if (!w.add_entry(other, d + 1, ST_YES)) return false;
      }
    }
  }
  below = out;
  return true;
}

// Finishes the top frame and its chain up to the frame below it (or up to
// depth `stop` + 1, where a new frame then takes the chain's top), and
// hands the summary to that frame.
template <typename F>
__attribute__((always_inline)) inline static bool pop_frame(sweep_state<F>& w,
                                                            int stop) {
  frame* stack = w.stack;
  frame& f = stack[w.top];
  summary done;
  if (!finish_node(w, f, f.depth, w.path, done)) return false;
  const frame& parent = stack[w.top - 1];
  int above = std::max(int(parent.depth), stop);
  if (!finish_chain(w, above + 1, f.depth, w.path, parent.state, done))
    return false;
  int b = bit_at<F>(w.path, above);
  if (above > parent.depth) {
    // The next block leaves the path inside the chain: the node there gets
    // a second child and a frame of its own.
    f.depth = uint8_t(above);
    f.state = parent.state;
    f.child[b] = done;
    f.child[1 - b] = summary();
    return true;
  }
  stack[w.top - 1].child[b] = done;
  w.top--;
  return true;
}

// Moves the path to the block x/n of state s, finishing every node it
// leaves behind.
template <typename F>
static bool visit_block(sweep_state<F>& w, typename F::addr x, int n,
                        unsigned s) {
  frame* stack = w.stack;
  if (x == w.path) {
    // Blocks that a run of blocks starting here covers: they have no
    // children yet, and the run turns them into one leaf.
    while (stack[w.top].depth > n) w.top--;
  }
  int common = std::min(n, int(stack[w.top].depth));
  common = std::min(common, F::leading_zeros(x ^ w.path));
  while (stack[w.top].depth > common)
    if (!pop_frame(w, common)) return false;
  if (n == stack[w.top].depth) {
    // The node is on the path already: the whole space, or a block a run
    // covers.
    stack[w.top].state = uint8_t(s);
    return true;
  }
  w.path = x;
  frame& f = stack[++w.top];
  f.depth = uint8_t(n);
  f.state = uint8_t(s);
  f.child[0] = f.child[1] = summary();
  return true;
}

// Positive mode lists the permitted addresses as the fewest aligned blocks,
// in address order, which needs no tree walk: each address takes the state
// of the longest block that holds it, so a stack of the blocks around the
// current address gives the states of the stretches between block edges,
// and every maximal permitted stretch is printed as its cover. A run holds
// no other block, so it is one stretch of its state. Blocks come one at a
// time, in tree order, so that they need not be in one array.
template <typename F>
struct permitted_printer {
  typedef typename F::addr addr;
  struct around {
    addr last;
    unsigned state;
  };
  const entry_format& program;
  chunk_writer& out;
  around stack[F::BITS + 2];
  int top = 0;
  addr cursor = 0;  // the first address whose state is not yet known
  bool permitting = false;
  addr first_permitted = 0;

  permitted_printer(const entry_format& p, chunk_writer& o)
      : program(p), out(o) {
    stack[0] = {~addr(0), ST_NO};
  }

  // Out of line: inlined into the loop over the blocks, it left too few
  // registers for the cursor, which went through memory in halves and was
  // copied whole, a stall a block that cost IPv6 lists a tenth of their
  // time.
  __attribute__((noinline)) void print_cover(addr first, addr last) {
    // Most stretches of a big list are one aligned block: no search.
    addr size = last - first;
    if ((size & (size + 1)) == 0 && (first & size) == 0) {
      put_entry<F>(out, program, ST_YES, first, F::leading_zeros(size));
      return;
    }
    cover_range<F>(first, last, [this](addr x, int n) {
      put_entry<F>(out, program, ST_YES, x, n);
      return true;
    });
  }

  // The addresses from the cursor to `last` have the state s.
  void stretch(addr last, unsigned s) {
    if (s == ST_YES) {
      if (!permitting) first_permitted = cursor;
      permitting = true;
    } else if (permitting) {
      print_cover(first_permitted, cursor - 1);
      permitting = false;
    }
    cursor = last + 1;  // wraps only at the very end
  }

  // The block (or run) from first to last, of length n.
  void add(addr first, addr last, int n, unsigned state) {
    if (n == 0) {
      stack[0].state = state;
      return;
    }
    for (; stack[top].last < first; top--)
      if (cursor <= stack[top].last) stretch(stack[top].last, stack[top].state);
    if (cursor < first) stretch(first - 1, stack[top].state);
    // What is left of a block that ends where this one ends is this one:
    // it takes the place, so that a block named again (the later entry
    // wins) does not deepen the stack.
    if (stack[top].last != last) top++;
    stack[top] = {last, state};
  }

  void finish() {
    // A block that ends where the one around it ends leaves it nothing.
    bool wrapped = false;
    for (; top >= 0; top--) {
      if (!wrapped && cursor <= stack[top].last) {
        stretch(stack[top].last, stack[top].state);
        wrapped = stack[top].last == ~addr(0);
      }
    }
    if (permitting) print_cover(first_permitted, ~addr(0));
    flush_text(out);
  }
};

// The list of the blocks that feed(visit) hands to visit(x, n, s) in tree
// order, as pieces: the tree's walks and optimizer without the tree.
template <typename F, typename Feed>
static bool sweep_pieces(Feed feed, const char* format, chunk_writer& out) {
  sweep_state<F> w;
  w.stack[0] = frame();
  w.stack[0].state = ST_NO;
  auto visit = [&w](typename F::addr x, int n, unsigned s) {
    return visit_block(w, x, n, s);
  };
  bool ok = feed(visit);
  while (ok && w.top > 0) ok = pop_frame(w, 0);
  summary root;
  if (ok) ok = finish_node(w, w.stack[0], 0, 0, root);
  if (ok) {
    if (!settings.opt_positive)
      ok = w.add_entry(0, 0, root.view.state);
    else if (root.view.leaf && root.view.state == ST_YES)
      ok = w.add_entry(0, 0, ST_YES);
  }
  if (!ok) return false;
  sort_entries(w);
  const entry_format program(format);
  for (size_t i = 0; i < w.count; i++) {
    const entry<F>& e = w.entries[i];
    int prefix = F::BITS - e.shift;
    put_entry<F>(out, program, e.state,
                 typename F::addr(e.last) & F::netmask(prefix), prefix);
  }
  flush_text(out);
  return true;
}

template <typename F>
bool sweep_blocks(const queued_block<F>* blocks, size_t count,
                  const char* format, chunk_writer& out) {
  if (settings.opt_positive) {
    const entry_format program(format);
    permitted_printer<F> printer(program, out);
    for (size_t i = 0; i < count; i++)
      printer.add(block_of(blocks[i]), run_last(blocks[i]),
                  int(blocks[i].prefix), blocks[i].state);
    printer.finish();
    return true;
  }
  return sweep_pieces<F>(
      [blocks, count](auto& visit) {
        return for_each_piece(blocks, count, visit);
      },
      format, out);
}

// A list held in buckets is a long one: its text goes out in writes of
// this size rather than the writer's usual chunk.
const size_t BUCKETED_CHUNK_BYTES = size_t(1) << 18;

static bool sweep_held(const bucket_store& s, const char* format,
                       chunk_writer& out);

bool sweep_buckets(const bucket_store& s, const char* format,
                   chunk_writer& out) {
  char* chunk = static_cast<char*>(map_pages(BUCKETED_CHUNK_BYTES));
  if (chunk) lend_chunk(out, chunk, BUCKETED_CHUNK_BYTES);
  bool ok = sweep_held(s, format, out);
  if (chunk) {
    lend_chunk(out, nullptr, 0);
    munmap(chunk, BUCKETED_CHUNK_BYTES);
  }
  return ok;
}

static bool sweep_held(const bucket_store& s, const char* format,
                       chunk_writer& out) {
  if (settings.opt_positive) {
    const entry_format program(format);
    permitted_printer<ipv6> printer(program, out);
    auto add = [&printer](uint128 block, unsigned n, unsigned state) {
      printer.add(block, block | wildcard_of<ipv6>(int(n)), int(n), state);
      return true;
    };
    if (!for_each_held(s, add)) return false;
    printer.finish();
    return true;
  }
  return sweep_pieces<ipv6>(
      [&s](auto& visit) {
        piece_joiner<ipv6, decltype(visit)> pieces(visit);
        // Each block once, with the state of its last line.
        bool held = false;
        uint128 block = 0;
        unsigned prefix = 0, state = 0;
        auto add = [&](uint128 b, unsigned n, unsigned st) {
          bool again = held && b == block && n == prefix;
          bool ok = again || !held || pieces.add(block, int(prefix), state);
          held = true;
          block = b;
          prefix = n;
          state = st;
          return ok;
        };
        return for_each_held(s, add) &&
               (!held || pieces.add(block, int(prefix), state)) &&
               pieces.finish();
      },
      format, out);
}

template <typename F>
bool plant_blocks(prefix_tree<F>& t, const queued_block<F>* blocks,
                  size_t count) {
  return for_each_piece(blocks, count,
                        [&t](typename F::addr x, int n, unsigned s) {
                          return plant_prefix(t, n, x, s) != nullptr;
                        });
}

#define INSTANTIATE(F)                                                    \
  template bool sweep_blocks(const queued_block<F>*, size_t, const char*, \
                             chunk_writer&);                              \
  template bool plant_blocks(prefix_tree<F>&, const queued_block<F>*, size_t);
INSTANTIATE(ipv4)
INSTANTIATE(ipv6)
