#include "tree.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "address.h"
#include "driver.h"
#include "run_capture.h"
#include "settings.h"

namespace {

uint32_t quad(unsigned a, unsigned b, unsigned c, unsigned d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}

typedef prefix_tree<ipv4> tree4;

std::string dump_of_root(const tree4& t) {
  char* text = nullptr;
  size_t size = 0;
  FILE* saved = settings.out_stream;
  settings.out_stream = open_memstream(&text, &size);
  dump_tree(t, &t.root, 0, 0, 0, ' ', &t.root);
  fclose(settings.out_stream);
  settings.out_stream = saved;
  std::string dump(text, size);
  free(text);
  return dump;
}

// The node of block addr/prefix, found by walking from the root; nullptr
// when the path does not exist.
node* find(tree4& t, uint32_t addr, int prefix) {
  node* x = &t.root;
  for (int i = 0; i < prefix && x; i++) x = t.child(x, (addr >> (31 - i)) & 1);
  return x;
}

struct counts {
  long no, yes, unset;
};
counts count_all(const tree4& t) {
  long c[3] = {0, 0, 0};
  count_states(t, &t.root, c);
  return {c[ST_NO], c[ST_YES], c[ST_UNSET]};
}

TEST(Pool, SecondBlockAtTheFiveHundredEleventhNode) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  EXPECT_EQ(0u, r.tree.pool.block_count);
  std::set<uint32_t> taken;
  for (unsigned i = 1; i <= NODES_PER_BLOCK; i++) {
    uint32_t index = take_node(r.tree.pool);
    ASSERT_NE(0u, index);
    ASSERT_TRUE(taken.insert(index).second) << "node " << i << " twice";
    ASSERT_EQ(1u, r.tree.pool.block_count) << "after node " << i;
  }
  uint32_t index = take_node(r.tree.pool);
  EXPECT_EQ(0u, taken.count(index));
  EXPECT_EQ(2u, r.tree.pool.block_count);
  // Every node of both blocks is memory of its own: each keeps what was
  // written into it.
  taken.insert(index);
  for (uint32_t i : taken) set_child(r.tree.at(i), 1, i);
  for (uint32_t i : taken) EXPECT_EQ(i, child_index(r.tree.at(i), 1));
}

TEST(Pool, FreedNodesAreTakenAgainMostRecentFirst) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  uint32_t a = take_node(r.tree.pool), b = take_node(r.tree.pool),
           c = take_node(r.tree.pool);
  ASSERT_NE(a, b);
  ASSERT_NE(b, c);
  free_subtree(r.tree, a);
  free_subtree(r.tree, c);
  EXPECT_EQ(c, take_node(r.tree.pool));
  EXPECT_EQ(a, take_node(r.tree.pool));
  uint32_t fresh = take_node(r.tree.pool);
  EXPECT_NE(a, fresh);
  EXPECT_NE(b, fresh);
  EXPECT_NE(c, fresh);
}

TEST(Pool, SubtreeIsFreedChildrenFirst) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  // x with both children, and a grandchild under child[0].
  uint32_t x = take_node(r.tree.pool), c0 = take_node(r.tree.pool),
           c1 = take_node(r.tree.pool), g = take_node(r.tree.pool);
  set_child(r.tree.at(x), 0, c0);
  set_child(r.tree.at(x), 1, c1);
  set_child(r.tree.at(c0), 1, g);
  for (uint32_t i : {x, c0, c1, g}) set_state(r.tree.at(i), ST_YES);
  free_subtree(r.tree, x);
  // Pushed g, c0, c1, x: taken back in the reverse order, each clean.
  for (uint32_t expected : {x, c1, c0, g}) {
    uint32_t i = take_node(r.tree.pool);
    EXPECT_EQ(expected, i);
    EXPECT_TRUE(is_leaf(r.tree.at(i))) << i;
    EXPECT_EQ(unsigned(ST_UNSET), get_state(r.tree.at(i))) << i;
  }
  EXPECT_EQ(1u, r.tree.pool.block_count);
}

TEST(Pool, FreedNodesAreUsedBeforeTheNextBlock) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  std::vector<uint32_t> taken;
  for (unsigned i = 0; i < NODES_PER_BLOCK; i++)
    taken.push_back(take_node(r.tree.pool));
  free_subtree(r.tree, taken[100]);
  free_subtree(r.tree, taken[7]);
  EXPECT_EQ(taken[7], take_node(r.tree.pool));
  EXPECT_EQ(taken[100], take_node(r.tree.pool));
  EXPECT_EQ(1u, r.tree.pool.block_count);
  take_node(r.tree.pool);
  EXPECT_EQ(2u, r.tree.pool.block_count);
}

TEST(Insert, CreatesUnsetNodesOnThePath) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  node* leaf = insert_prefix(r.tree, 8, quad(10, 0, 0, 0), ST_YES);
  ASSERT_NE(nullptr, leaf);
  EXPECT_EQ(leaf, find(r.tree, quad(10, 0, 0, 0), 8));
  for (int p = 1; p < 8; p++) {
    node* x = find(r.tree, quad(10, 0, 0, 0), p);
    ASSERT_NE(nullptr, x) << "/" << p;
    EXPECT_EQ(unsigned(ST_UNSET), get_state(x)) << "/" << p;
    // One child each, on the side of 10.0.0.0's next bit.
    int bit = (quad(10, 0, 0, 0) >> (31 - p)) & 1;
    EXPECT_EQ(nullptr, r.tree.child(x, 1 - bit)) << "/" << p;
  }
  EXPECT_EQ(unsigned(ST_YES), get_state(leaf));
  EXPECT_TRUE(is_leaf(leaf));
  counts c = count_all(r.tree);
  EXPECT_EQ(1, c.no);
  EXPECT_EQ(1, c.yes);
  EXPECT_EQ(7, c.unset);
  EXPECT_EQ("", streams.err());
}

TEST(Insert, OnlyTheTopBitsOfTheAddressCount) {
  std::string aligned;
  {
    captured_streams streams;
    tenvik_run<ipv4> r;
    insert_prefix(r.tree, 8, quad(10, 0, 0, 0), ST_YES);
    aligned = dump_of_root(r.tree);
  }
  captured_streams streams;
  tenvik_run<ipv4> r;
  node* x = insert_prefix(r.tree, 8, quad(10, 1, 2, 3), ST_YES);
  EXPECT_EQ(aligned, dump_of_root(r.tree));
  EXPECT_EQ(x, insert_prefix(r.tree, 8, quad(10, 255, 255, 255), ST_YES));
  EXPECT_EQ(x, insert_prefix(r.tree, 8, quad(10, 0, 0, 0), ST_YES));
  counts c = count_all(r.tree);
  EXPECT_EQ(1, c.yes);
  EXPECT_EQ(7, c.unset);
  // Prefix 0 is the root itself, whatever the address.
  EXPECT_EQ(&r.tree.root, insert_prefix(r.tree, 0, quad(200, 1, 2, 3), ST_NO));
}

TEST(Insert, OverwriteWarnings) {
  struct step {
    int prefix;
    uint32_t addr;
    unsigned state;
  };
  struct row {
    std::vector<step> steps;
    int silent;
    const char* err;
    unsigned final_state;  // of the last step's block
  };
  const row rows[] = {
      {{{0, 0, ST_YES}},
       0,
       "WARNING: 0.0.0.0/0 overwritten (- -> +)\n",
       ST_YES},
      {{{0, 0, ST_NO}}, 0, "", ST_NO},
      {{{8, quad(10, 0, 0, 0), ST_YES}, {8, quad(10, 1, 2, 3), ST_NO}},
       0,
       "WARNING: 10.1.2.3/8 overwritten (+ -> -)\n",
       ST_NO},
      {{{24, quad(10, 1, 2, 0), ST_NO}, {24, quad(10, 1, 2, 0), ST_YES}},
       0,
       "WARNING: 10.1.2.0/24 overwritten (- -> +)\n",
       ST_YES},
      // The same block twice with the same state.
      {{{8, quad(10, 0, 0, 0), ST_YES}, {8, quad(10, 0, 0, 0), ST_YES}},
       0,
       "",
       ST_YES},
      // A node on an earlier path is unset: setting it is no overwrite.
      {{{8, quad(10, 0, 0, 0), ST_YES}, {7, quad(10, 0, 0, 0), ST_NO}},
       0,
       "",
       ST_NO},
      // Nested blocks of different lengths never interfere.
      {{{16, quad(10, 1, 0, 0), ST_NO}, {8, quad(10, 0, 0, 0), ST_YES}},
       0,
       "",
       ST_YES},
      {{{8, quad(10, 0, 0, 0), ST_YES},
        {8, quad(10, 0, 0, 0), ST_NO},
        {8, quad(10, 9, 9, 9), ST_YES}},
       0,
       "WARNING: 10.0.0.0/8 overwritten (+ -> -)\n"
       "WARNING: 10.9.9.9/8 overwritten (- -> +)\n",
       ST_YES},
      {{{32, quad(255, 255, 255, 255), ST_YES},
        {32, quad(255, 255, 255, 255), ST_NO}},
       0,
       "WARNING: 255.255.255.255/32 overwritten (+ -> -)\n",
       ST_NO},
      // Silent: no text, the later state still wins.
      {{{0, 0, ST_YES}}, 1, "", ST_YES},
      {{{8, quad(10, 0, 0, 0), ST_YES}, {8, quad(10, 1, 2, 3), ST_NO}},
       1,
       "",
       ST_NO},
  };
  for (const row& w : rows) {
    captured_streams streams;
    settings.opt_silent = w.silent;
    tenvik_run<ipv4> r;
    node* last = nullptr;
    for (const step& s : w.steps)
      last = insert_prefix(r.tree, s.prefix, s.addr, s.state);
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(w.err, streams.err());
    EXPECT_EQ(w.final_state, get_state(last)) << w.err;
    EXPECT_EQ(last, find(r.tree, w.steps.back().addr, w.steps.back().prefix));
    EXPECT_EQ("", streams.out());
  }
}

TEST(Insert, NestedBlocksKeepTheirOwnStatesInEitherOrder) {
  for (int order = 0; order < 2; order++) {
    captured_streams streams;
    tenvik_run<ipv4> r;
    if (order == 0) insert_prefix(r.tree, 24, quad(10, 1, 2, 0), ST_NO);
    insert_prefix(r.tree, 8, quad(10, 0, 0, 0), ST_YES);
    if (order == 1) insert_prefix(r.tree, 24, quad(10, 1, 2, 0), ST_NO);
    EXPECT_EQ(unsigned(ST_NO), get_state(find(r.tree, quad(10, 1, 2, 0), 24)));
    EXPECT_EQ(unsigned(ST_YES), get_state(find(r.tree, quad(10, 0, 0, 0), 8)));
    EXPECT_EQ("", streams.err());
  }
}

struct block {
  uint32_t addr;  // as passed, low bits not cleared
  int prefix;
  unsigned state;
};

// Blocks in a few clusters, so that consecutive insertions share long
// paths, nest and part at every depth; each block appears once.
std::vector<block> random_blocks(std::mt19937& gen, int count) {
  std::vector<uint32_t> bases;
  for (int i = 0; i < 4; i++) bases.push_back(uint32_t(gen()));
  bases.push_back(0);
  bases.push_back(0xffffffffu);
  std::set<std::pair<uint32_t, int>> seen;
  std::vector<block> blocks;
  while (int(blocks.size()) < count) {
    uint32_t base = bases[gen() % bases.size()];
    int spread = int(gen() % 33);
    uint32_t low = spread == 0 ? 0 : uint32_t(gen()) & wildcard(32 - spread);
    uint32_t addr = gen() % 4 == 0 ? uint32_t(gen()) : base ^ low;
    int prefix = gen() % 3 == 0 ? int(gen() % 33) : 24 + int(gen() % 9);
    if (!seen.insert({addr & netmask(prefix), prefix}).second) continue;
    blocks.push_back(
        {addr, prefix, gen() % 2 ? unsigned(ST_YES) : unsigned(ST_NO)});
  }
  return blocks;
}

void collect_explicit(const tree4& t, const node* x, uint32_t addr, int prefix,
                      std::map<std::pair<uint32_t, int>, unsigned>* found) {
  if (!x) return;
  if (get_state(x) != ST_UNSET) (*found)[{addr, prefix}] = get_state(x);
  if (prefix == 32) return;
  collect_explicit(t, t.child(x, 0), addr, prefix + 1, found);
  collect_explicit(t, t.child(x, 1), child_of<ipv4>(addr, prefix, 1),
                   prefix + 1, found);
}

TEST(Insert, PathCacheGivesTheSameTreeInAnyOrder) {
  const unsigned seed = 90210;
  std::mt19937 gen(seed);
  for (int round = 0; round < 20; round++) {
    std::vector<block> blocks = random_blocks(gen, 300);

    // What the tree must hold: every block's node with its state, the root
    // NO unless a block set it, and exactly the nodes on the blocks' paths.
    std::map<std::pair<uint32_t, int>, unsigned> expected;
    expected[{0, 0}] = ST_NO;
    std::set<std::pair<uint32_t, int>> path_nodes;
    for (const block& b : blocks) {
      expected[{b.addr & netmask(b.prefix), b.prefix}] = b.state;
      for (int p = 1; p <= b.prefix; p++)
        path_nodes.insert({b.addr & netmask(p), p});
    }

    std::vector<std::vector<block>> orders;
    std::vector<block> sorted = blocks;
    std::sort(sorted.begin(), sorted.end(), [](const block& x, const block& y) {
      uint32_t xa = x.addr & netmask(x.prefix), ya = y.addr & netmask(y.prefix);
      return xa != ya ? xa < ya : x.prefix < y.prefix;
    });
    orders.push_back(sorted);
    orders.emplace_back(sorted.rbegin(), sorted.rend());
    for (int i = 0; i < 3; i++) {
      std::shuffle(blocks.begin(), blocks.end(), gen);
      orders.push_back(blocks);
    }

    std::string first_dump;
    for (size_t o = 0; o < orders.size(); o++) {
      captured_streams streams;
      tenvik_run<ipv4> r;
      for (const block& b : orders[o])
        ASSERT_NE(nullptr, insert_prefix(r.tree, b.prefix, b.addr, b.state));
      std::map<std::pair<uint32_t, int>, unsigned> found;
      collect_explicit(r.tree, &r.tree.root, 0, 0, &found);
      counts c = count_all(r.tree);
      std::string dump = dump_of_root(r.tree);
      if (o == 0) first_dump = dump;
      std::string where = "seed " + std::to_string(seed) + ", round " +
                          std::to_string(round) + ", order " +
                          std::to_string(o);
      EXPECT_TRUE(found == expected) << where;
      EXPECT_EQ(long(path_nodes.size() + 1), c.no + c.yes + c.unset) << where;
      EXPECT_EQ(first_dump, dump) << where;
      if (testing::Test::HasFailure()) return;
    }
  }
}

TEST(Insert, StartsFromTheRootAfterASubtreeIsFreed) {
  std::string fresh;
  {
    captured_streams streams;
    tenvik_run<ipv4> r;
    insert_prefix(r.tree, 24, quad(10, 1, 2, 0), ST_NO);
    insert_prefix(r.tree, 25, quad(10, 1, 2, 128), ST_YES);
    fresh = dump_of_root(r.tree);
  }
  captured_streams streams;
  tenvik_run<ipv4> r;
  insert_prefix(r.tree, 24, quad(10, 1, 2, 0), ST_YES);
  insert_prefix(r.tree, 32, quad(10, 1, 2, 200), ST_YES);
  // Throw the whole lower half away, as the optimizer's pruning does; the
  // freed nodes are the next ones taken, so a stale cached path would
  // show in the tree.
  free_subtree(r.tree, child_index(&r.tree.root, 0));
  set_child(&r.tree.root, 0, 0);
  insert_prefix(r.tree, 24, quad(10, 1, 2, 0), ST_NO);
  insert_prefix(r.tree, 25, quad(10, 1, 2, 128), ST_YES);
  EXPECT_EQ(fresh, dump_of_root(r.tree));
  EXPECT_EQ("", streams.err());
}

TEST(Dump, RawTreeOfOnePrefix) {
  run_settings raw;
  raw.trace = TRACE_RAW_TREE;
  captured c = run_list("permit 10.0.0.0/8\n", raw);
  EXPECT_EQ(
      "raw tree:\n"
      "-----\n"
      "*  0,NO,00000000 0.0.0.0\n"
      "  \\1,,00000000 0.0.0.0\n"
      "    \\2,,00000000 0.0.0.0\n"
      "      \\3,,00000000 0.0.0.0\n"
      "          /5,,08000000 8.0.0.0\n"
      "              /7,,0a000000 10.0.0.0\n"
      "                \\8,YES,0a000000 10.0.0.0\n"
      "            \\6,,08000000 8.0.0.0\n"
      "        \\4,,00000000 0.0.0.0\n"
      "n=1 y=1 u=7\n"
      "permit 10.0.0.0 0.255.255.255\n"
      "deny   0.0.0.0 255.255.255.255\n",
      c.out);
  EXPECT_EQ("", c.err);
  EXPECT_EQ(0, c.status);
}

TEST(Dump, UpperHalvesAboveAndTheMarkedNode) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  insert_prefix(r.tree, 2, quad(192, 0, 0, 0), ST_NO);
  node* marked = insert_prefix(r.tree, 3, quad(160, 0, 0, 0), ST_YES);
  dump_tree(r.tree, &r.tree.root, 0, 0, 0, '=', marked);
  EXPECT_EQ(
      "    /2,NO,c0000000 192.0.0.0\n"
      "  /1,,80000000 128.0.0.0\n"
      "*     /3,YES,a0000000 160.0.0.0\n"
      "    \\2,,80000000 128.0.0.0\n"
      "  =0,NO,00000000 0.0.0.0\n",
      streams.out());
}

TEST(Dump, DeepestLevelIndent) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  insert_prefix(r.tree, 32, 0xffffffffu, ST_YES);
  dump_tree(r.tree, &r.tree.root, 0, 0, 0, ' ', &r.tree.root);
  std::string out = streams.out();
  std::string first = out.substr(0, out.find('\n') + 1);
  EXPECT_EQ(" " + std::string(63, ' ') + "/32,YES,ffffffff 255.255.255.255\n",
            first);
  EXPECT_EQ(33, std::count(out.begin(), out.end(), '\n'));
}

TEST(Dump, DumpRequestLinePrintsTheTreeSoFar) {
  captured c = run_list("permit 128.0.0.0/1\n*\ndeny 0.0.0.0/1\n  *\n");
  EXPECT_EQ(
      "  /1,YES,80000000 128.0.0.0\n"
      "*  0,NO,00000000 0.0.0.0\n"
      "permit 128.0.0.0 127.255.255.255\n"
      "deny   0.0.0.0 255.255.255.255\n",
      c.out);
}

TEST(CountStates, CountsEveryNodeAndAddsToTheCounters) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  insert_prefix(r.tree, 8, quad(10, 0, 0, 0), ST_YES);
  insert_prefix(r.tree, 16, quad(10, 1, 0, 0), ST_NO);
  insert_prefix(r.tree, 32, quad(10, 1, 0, 1), ST_YES);
  long c[3] = {0, 0, 0};
  count_states(r.tree, &r.tree.root, c);
  EXPECT_EQ(2, c[ST_NO]);
  EXPECT_EQ(2, c[ST_YES]);
  EXPECT_EQ(7 + 7 + 15, c[ST_UNSET]);
  count_states(r.tree, find(r.tree, quad(10, 1, 0, 0), 16), c);
  EXPECT_EQ(3, c[ST_NO]);
  EXPECT_EQ(3, c[ST_YES]);
  EXPECT_EQ(7 + 7 + 15 + 15, c[ST_UNSET]);
  count_states(r.tree, nullptr, c);
  EXPECT_EQ(3, c[ST_NO]);
}

}  // namespace
