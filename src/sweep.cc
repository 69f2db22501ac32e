#include "sweep.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "address.h"
#include "output.h"
#include "radix.h"
#include "settings.h"
#include "tree.h"

// A finished node as its parent's optimizer steps see it. The rotation
// reaches one level further down, to a lone leaf child, so that child's
// side, state and entry come along.
struct summary {
  uint8_t state;
  bool leaf;
  bool lone_leaf;  // exactly one child, and that child is a leaf
  uint8_t lone_state;
  uint32_t lone_entry;  // that child's entry, outside positive mode
};

// A node on the current path that is a block or has two children: its
// depth, its state (filled on the way down, optimized on the way up) and
// the children finished so far. Between two frames the path runs through
// nodes that are no block and have one child, a chain that is finished in
// one step: a random /32 leaves a chain of a dozen such nodes.
struct frame {
  uint8_t depth;
  uint8_t state;
  bool has[2];
  summary child[2];
};

// Entries as they are found, each a 64-bit key that sorts into output
// order, the order of a walk that prints a node after its children: the
// block's last address above (a block ends after the blocks inside it, or
// with the one along its upper edge), 32 minus the prefix length next (of
// those, the longer first), the state at the bottom.
static uint64_t* entries = nullptr;
static size_t entry_count = 0, entry_capacity = 0;

static inline uint64_t entry_key(uint32_t addr, int prefix, unsigned state) {
  return uint64_t(addr | wildcard(prefix)) << 32 | uint64_t(32 - prefix) << 8 |
         state;
}

static bool add_entry(uint32_t addr, int prefix, unsigned state) {
  if (entry_count == entry_capacity) {
    if (entry_count >= UINT32_MAX / 2) return false;
    size_t capacity = entry_capacity ? 2 * entry_capacity : 4096;
    void* p = realloc(entries, capacity * sizeof(uint64_t));
    if (!p) return false;
    entries = static_cast<uint64_t*>(p);
    entry_capacity = capacity;
  }
  entries[entry_count++] = entry_key(addr, prefix, state);
  return true;
}

// The node at `depth` on the path `path` is finished: its children are
// done. These are the optimizer's four steps at it, on the summaries of the
// children, with the entries of the children that keep a state. A child's
// state is final once its parent's steps are done, except that of a lone
// leaf, which its grandparent's rotation may still move: its entry is
// patched then. In positive mode the leaves and the missing halves under a
// node with children are its blocks of the partition, with the state they
// have here; a rotation above moves a leaf into a missing half and takes
// the half's state, so the blocks and their states stay as they are.
static bool finish_node(frame& f, int depth, uint32_t path, summary& out) {
  unsigned s = f.state;
  uint32_t addr = path & netmask(depth);
  if (f.has[0] && f.has[1]) {
    for (int k = 0; k < 2; k++) {
      summary& a = f.child[k];
      const summary& b = f.child[1 - k];
      if (a.state != s || b.state != opposite_state(s) || !b.leaf ||
          !a.lone_leaf)
        continue;
      if (!opt_positive) {
        uint64_t& e = entries[a.lone_entry];
        e = (e ^ uint64_t(1u << (30 - depth)) << 32) & ~uint64_t(0xff);
        e |= s;
      }
      a.state = a.lone_state;
      a.lone_state = uint8_t(s);
    }
    if (f.child[0].state != ST_UNSET && f.child[0].state == f.child[1].state) {
      s = f.child[0].state;
      f.child[0].state = f.child[1].state = ST_UNSET;
    }
  }
  for (int b = 0; b < 2; b++) {
    if (!f.has[b]) continue;
    summary& c = f.child[b];
    if (c.state == s) c.state = ST_UNSET;
    if (c.state == ST_UNSET && c.leaf) f.has[b] = false;
  }

  out.state = uint8_t(s);
  out.leaf = !f.has[0] && !f.has[1];
  out.lone_leaf = f.has[0] != f.has[1] && f.child[f.has[1]].leaf;
  out.lone_state = f.child[f.has[1]].state;
  for (int b = 0; b < 2 && !out.leaf; b++) {
    uint32_t child = child_addr(addr, depth, b);
    const summary& c = f.child[b];
    if (opt_positive) {
      unsigned state = f.has[b] ? (c.leaf ? c.state : unsigned(ST_UNSET)) : s;
      if (state == ST_YES && !add_entry(child, depth + 1, ST_YES)) return false;
    } else if (f.has[b] && c.state != ST_UNSET) {
      if (!add_entry(child, depth + 1, c.state)) return false;
      out.lone_entry = uint32_t(entry_count - 1);
    }
  }
  return true;
}

// Entries in output order. Most already are: a node's entries come after
// its subtree's, but a lower half's entry waits for its parent's steps,
// which come after the upper half's subtree. A radix sort on the last
// address and the prefix, or without memory for it a sort in place.
static void sort_entries() {
  if (std::is_sorted(entries, entries + entry_count)) return;
  uint64_t* spare =
      static_cast<uint64_t*>(malloc(entry_count * sizeof(uint64_t)));
  uint32_t* counts = static_cast<uint32_t*>(malloc(65536 * sizeof(uint32_t)));
  if (!spare || !counts) {
    free(spare);
    free(counts);
    std::sort(entries, entries + entry_count);
    return;
  }
  radix_pass(
      entries, spare, entry_count, [](uint64_t e) { return uint32_t(e >> 8); },
      0x3f, counts);
  radix_pass(
      spare, entries, entry_count, [](uint64_t e) { return uint32_t(e >> 32); },
      0xffff, counts);
  radix_pass(
      entries, spare, entry_count, [](uint64_t e) { return uint32_t(e >> 48); },
      0xffff, counts);
  std::swap(entries, spare);
  free(spare);
  free(counts);
}

// The chain of nodes from depth `top` down to depth `bottom` - 1 above
// the finished node `below` at depth `bottom`, all of state f: no block,
// one child each. Each node's steps come down to the clearing of its
// child's state where it is f, and the pruning of the child if that leaves
// it an unset leaf; so above the lowest node each one clears its child, and
// the whole chain is pruned with a pruned bottom. Returns in `below` the
// summary of the node at depth top.
static bool finish_chain(int top, int bottom, uint32_t path, unsigned f,
                         summary& below) {
  if (top >= bottom) return true;
  bool kept = below.state != f;
  bool pruned = !kept && below.leaf;
  summary out;
  out.state = uint8_t(f);
  out.leaf = pruned;
  out.lone_leaf = kept && below.leaf;
  out.lone_state = below.state;
  out.lone_entry = 0;
  if (!opt_positive) {
    if (kept) {
      if (!add_entry(path & netmask(bottom), bottom, below.state)) return false;
      out.lone_entry = uint32_t(entry_count - 1);
    }
  } else if (!pruned) {
    if (below.leaf && below.state == ST_YES &&
        !add_entry(path & netmask(bottom), bottom, ST_YES))
      return false;
    // Every node of the chain has the half beside the path missing.
    if (f == ST_YES) {
      for (int d = bottom - 1; d >= top; d--) {
        uint32_t other = (path ^ (1u << (31 - d))) & netmask(d + 1);
        if (!add_entry(other, d + 1, ST_YES)) return false;
      }
    }
  }
  if (bottom - 1 > top) out.lone_leaf = false;
  below = out;
  return true;
}

// Finishes the top frame and its chain up to the frame below it (or up to
// depth `stop` + 1, where a new frame then takes the chain's top), and
// hands the summary to that frame.
static bool pop_frame(frame* stack, int& top, uint32_t path, int stop) {
  frame& f = stack[top];
  summary done;
  if (!finish_node(f, f.depth, path, done)) return false;
  const frame& parent = stack[top - 1];
  int above = std::max(int(parent.depth), stop);
  if (!finish_chain(above + 1, f.depth, path, parent.state, done)) return false;
  int b = (path >> (31 - above)) & 1;
  if (above > parent.depth) {
    // The next block leaves the path inside the chain: the node there gets
    // a second child and a frame of its own.
    f.depth = uint8_t(above);
    f.state = parent.state;
    f.has[b] = true;
    f.has[1 - b] = false;
    f.child[b] = done;
    f.child[1 - b] = summary();
    return true;
  }
  stack[top - 1].has[b] = true;
  stack[top - 1].child[b] = done;
  top--;
  return true;
}

// The current path: its frames, the root first, and the address of its
// last block.
struct path_stack {
  frame stack[34];
  int top;
  uint32_t path;
};

// Moves the path to the block x/n of state s, finishing every node it
// leaves behind.
static bool visit_block(path_stack& p, uint32_t x, int n, unsigned s) {
  frame* stack = p.stack;
  if (x == p.path) {
    // Blocks that a run of blocks starting here covers: they have no
    // children yet, and the run turns them into one leaf.
    while (stack[p.top].depth > n) p.top--;
  }
  int common = std::min(n, int(stack[p.top].depth));
  if (uint32_t diff = x ^ p.path)
    common = std::min(common, __builtin_clz(diff));
  while (stack[p.top].depth > common)
    if (!pop_frame(stack, p.top, p.path, common)) return false;
  if (n == stack[p.top].depth) {
    // The node is on the path already: the whole space, or a block a run
    // covers.
    stack[p.top].state = uint8_t(s);
    return true;
  }
  p.path = x;
  frame& f = stack[++p.top];
  f.depth = uint8_t(n);
  f.state = uint8_t(s);
  f.has[0] = f.has[1] = false;
  f.child[0] = f.child[1] = summary();
  return true;
}

// Calls visit(x, n, s) for the blocks in tree order, a run of blocks of
// one length and state side by side (a range makes them) as the aligned
// blocks that cover it. Each node inside the run has two children of the
// run's state, so the optimizer merges it into a leaf whatever its own
// state; only blocks inside the run's last block would spoil that. A
// covering block may be one that came before it, or hold some: those are
// blocks of the run's first address, which the run covers. Stops at the
// first visit that fails.
template <typename Visit>
static bool for_each_piece(const queued_block* blocks, size_t count,
                           Visit visit) {
  auto first = [blocks](size_t i) {
    return blocks[i].addr & netmask(blocks[i].prefix);
  };
  for (size_t i = 0; i < count;) {
    int n = blocks[i].prefix;
    uint32_t a = first(i);
    unsigned s = blocks[i].state;
    uint64_t size = uint64_t(1) << (32 - n);
    uint64_t end = a + blocks[i].count * size;
    size_t j = i + 1;
    if (n > 0) {
      while (j < count && blocks[j].prefix == n && blocks[j].state == s &&
             first(j) == end) {
        end += blocks[j].count * size;
        j++;
      }
      if (j < count && j - 1 > i && blocks[j - 1].count == 1 &&
          (blocks[j].addr & netmask(n)) == first(j - 1)) {
        j--;
        end -= size;
      }
    }
    if (end - a == size) {
      if (!visit(a, n, s)) return false;
    } else {
      for (uint64_t x = a; x < end;) {
        // The biggest aligned block that starts at x and ends by end.
        int k = 63 - __builtin_clzll(end - x);
        if (x && __builtin_ctz(uint32_t(x)) < k) k = __builtin_ctz(uint32_t(x));
        if (!visit(uint32_t(x), 32 - k, s)) return false;
        x += uint64_t(1) << k;
      }
    }
    i = j;
  }
  return true;
}

bool sweep_blocks(const queued_block* blocks, size_t count,
                  const char* format) {
  path_stack p;
  frame* stack = p.stack;
  stack[0] = frame();
  stack[0].state = ST_NO;
  p.top = 0;
  p.path = 0;
  int& top = p.top;
  uint32_t& path = p.path;
  entry_count = 0;
  bool ok = for_each_piece(blocks, count, [&p](uint32_t x, int n, unsigned s) {
    return visit_block(p, x, n, s);
  });
  while (ok && top > 0) ok = pop_frame(stack, top, path, 0);
  summary root;
  if (ok) ok = finish_node(stack[0], 0, 0, root);
  if (ok) {
    if (!opt_positive)
      ok = add_entry(0, 0, root.state);
    else if (root.leaf && root.state == ST_YES)
      ok = add_entry(0, 0, ST_YES);
  }
  if (ok) {
    sort_entries();
    for (size_t i = 0; i < entry_count; i++) {
      uint64_t e = entries[i];
      int prefix = 32 - int((e >> 8) & 0xff);
      put_entry(format, unsigned(e & 0xff), uint32_t(e >> 32) & netmask(prefix),
                prefix);
    }
    end_entries();
  }
  free(entries);
  entries = nullptr;
  entry_count = entry_capacity = 0;
  return ok;
}

bool plant_blocks(const queued_block* blocks, size_t count) {
  return for_each_piece(blocks, count, [](uint32_t x, int n, unsigned s) {
    return plant_prefix(n, x, s) != nullptr;
  });
}
