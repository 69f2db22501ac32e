#include "optimize.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "address.h"
#include "driver.h"
#include "run_capture.h"
#include "settings.h"
#include "tree.h"

namespace {

const int ALL_STEPS = TRACE_ROTATE | TRACE_MERGE | TRACE_REPEATED | TRACE_PRUNE;

run_settings traced(int flags) {
  run_settings s;
  s.trace = flags;
  return s;
}

// Trees whose only steps happen at the root, so that the trace of each step
// stands alone; each part is the step's line and the dump after it.
struct steps_row {
  const char* input;
  const char* rotate;
  const char* merge;
  const char* repeated;
  const char* prune;
  const char* entries;
  const char* err;
};

const steps_row steps_rows[] = {
    // The lower half's lone quarter moves to the other quarter: k = 0.
    {"permit 128.0.0.0/1\npermit 0.0.0.0/2\n",
     "-opt1/0-\n"
     "  /1,YES,80000000 128.0.0.0\n"
     "* =0,NO,00000000 0.0.0.0\n"
     "    /2,NO,40000000 64.0.0.0\n"
     "  \\1,YES,00000000 0.0.0.0\n",
     "-opt2-\n"
     "  /1,,80000000 128.0.0.0\n"
     "* =0,YES,00000000 0.0.0.0\n"
     "    /2,NO,40000000 64.0.0.0\n"
     "  \\1,,00000000 0.0.0.0\n",
     "",
     "-opt4/1-\n"
     "* =0,YES,00000000 0.0.0.0\n"
     "    /2,NO,40000000 64.0.0.0\n"
     "  \\1,,00000000 0.0.0.0\n",
     "deny   64.0.0.0 63.255.255.255\n"
     "permit 0.0.0.0 255.255.255.255\n",
     ""},
    // The mirror image: k = 1, and the quarter moves down.
    {"permit 0.0.0.0/1\npermit 192.0.0.0/2\n",
     "-opt1/1-\n"
     "  /1,YES,80000000 128.0.0.0\n"
     "    \\2,NO,80000000 128.0.0.0\n"
     "* =0,NO,00000000 0.0.0.0\n"
     "  \\1,YES,00000000 0.0.0.0\n",
     "-opt2-\n"
     "  /1,,80000000 128.0.0.0\n"
     "    \\2,NO,80000000 128.0.0.0\n"
     "* =0,YES,00000000 0.0.0.0\n"
     "  \\1,,00000000 0.0.0.0\n",
     "",
     "-opt4/0-\n"
     "  /1,,80000000 128.0.0.0\n"
     "    \\2,NO,80000000 128.0.0.0\n"
     "* =0,YES,00000000 0.0.0.0\n",
     "deny   128.0.0.0 63.255.255.255\n"
     "permit 0.0.0.0 255.255.255.255\n",
     ""},
    {"permit 0.0.0.0/1\npermit 128.0.0.0/1\n", "",
     "-opt2-\n"
     "  /1,,80000000 128.0.0.0\n"
     "* =0,YES,00000000 0.0.0.0\n"
     "  \\1,,00000000 0.0.0.0\n",
     "",
     "-opt4/0-\n"
     "  /1,,80000000 128.0.0.0\n"
     "* =0,YES,00000000 0.0.0.0\n"
     "-opt4/1-\n"
     "* =0,YES,00000000 0.0.0.0\n",
     "permit 0.0.0.0 255.255.255.255\n", ""},
    {"deny 0.0.0.0/1\npermit 128.0.0.0/1\n", "", "",
     "-opt3/0-\n"
     "  /1,YES,80000000 128.0.0.0\n"
     "* =0,NO,00000000 0.0.0.0\n"
     "  \\1,,00000000 0.0.0.0\n",
     "-opt4/0-\n"
     "  /1,YES,80000000 128.0.0.0\n"
     "* =0,NO,00000000 0.0.0.0\n",
     "permit 128.0.0.0 127.255.255.255\n"
     "deny   0.0.0.0 255.255.255.255\n",
     ""},
    {"permit 0.0.0.0/0\npermit 128.0.0.0/1\ndeny 0.0.0.0/1\n", "", "",
     "-opt3/1-\n"
     "  /1,,80000000 128.0.0.0\n"
     "* =0,YES,00000000 0.0.0.0\n"
     "  \\1,NO,00000000 0.0.0.0\n",
     "-opt4/1-\n"
     "* =0,YES,00000000 0.0.0.0\n"
     "  \\1,NO,00000000 0.0.0.0\n",
     "deny   0.0.0.0 127.255.255.255\n"
     "permit 0.0.0.0 255.255.255.255\n",
     "WARNING: 0.0.0.0/0 overwritten (- -> +)\n"},
};

TEST(OptimizeSteps, EachTraceBitShowsOnlyItsStep) {
  // 8 is no step's bit and must show nothing.
  const int flag_sets[] = {0,
                           8,
                           TRACE_ROTATE,
                           TRACE_MERGE,
                           TRACE_REPEATED,
                           TRACE_PRUNE,
                           TRACE_ROTATE | TRACE_PRUNE,
                           ALL_STEPS};
  for (const steps_row& r : steps_rows) {
    for (int flags : flag_sets) {
      std::string expected;
      if (flags & TRACE_ROTATE) expected += r.rotate;
      if (flags & TRACE_MERGE) expected += r.merge;
      if (flags & TRACE_REPEATED) expected += r.repeated;
      if (flags & TRACE_PRUNE) expected += r.prune;
      expected += r.entries;
      captured c = run_list(r.input, traced(flags));
      EXPECT_EQ(expected, c.out) << r.input << "-t " << flags;
      EXPECT_EQ(r.err, c.err) << r.input << "-t " << flags;
      EXPECT_EQ(0, c.status);
    }
  }
}

// Each step line with the line of the node it marks in the dump after it.
std::vector<std::pair<std::string, std::string>> steps_and_marks(
    const std::string& out) {
  std::vector<std::pair<std::string, std::string>> found;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, 4, "-opt") == 0)
      found.push_back({line, ""});
    else if (!line.empty() && line[0] == '*' && !found.empty())
      found.back().second = line;
  }
  return found;
}

TEST(OptimizeSteps, WorkedExampleOrderAndMarkedNodes) {
  captured c = run_list(
      "permit 10.0.0.0/8\npermit 10.0.0.0/9\ndeny 10.128.0.0/9\n"
      "deny 10.0.0.0/10\n",
      traced(ALL_STEPS));
  // Rotation, merge and pruning at 10.0.0.0/8; then every node above it
  // clears its repeated NO child, up to the root.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"-opt1/0-", "*               \\8,YES,0a000000 10.0.0.0"},
      {"-opt2-", "*               \\8,NO,0a000000 10.0.0.0"},
      {"-opt4/1-", "*               \\8,NO,0a000000 10.0.0.0"},
      {"-opt3/0-", "*             /7,NO,0a000000 10.0.0.0"},
      {"-opt3/1-", "*           \\6,NO,08000000 8.0.0.0"},
      {"-opt3/0-", "*         /5,NO,08000000 8.0.0.0"},
      {"-opt3/1-", "*       \\4,NO,00000000 0.0.0.0"},
      {"-opt3/0-", "*     \\3,NO,00000000 0.0.0.0"},
      {"-opt3/0-", "*   \\2,NO,00000000 0.0.0.0"},
      {"-opt3/0-", "* \\1,NO,00000000 0.0.0.0"},
      {"-opt3/0-", "* =0,NO,00000000 0.0.0.0"},
  };
  EXPECT_EQ(expected, steps_and_marks(c.out));
  const std::string entries =
      "permit 10.64.0.0 0.63.255.255\n"
      "deny   0.0.0.0 255.255.255.255\n";
  ASSERT_LE(entries.size(), c.out.size());
  EXPECT_EQ(entries, c.out.substr(c.out.size() - entries.size()));
  EXPECT_EQ("", c.err);
}

TEST(OptimizeSteps, RangeRotatesAtSlash29) {
  captured c = run_list("permit 0.0.0.0 - 0.0.0.5\n", traced(TRACE_ROTATE));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"-opt1/1-", "*" + std::string(57, ' ') + "\\29,NO,00000000 0.0.0.0"},
  };
  EXPECT_EQ(expected, steps_and_marks(c.out));
}

TEST(OptimizeSteps, RotationNeedsEveryCondition) {
  struct row {
    const char* why;
    const char* input;
    const char* entries;
  };
  const row rows[] = {
      {"the sibling is not a leaf",
       "permit 128.0.0.0/1\ndeny 192.0.0.0/2\npermit 0.0.0.0/2\n",
       "permit 0.0.0.0 63.255.255.255\n"
       "deny   192.0.0.0 63.255.255.255\n"
       "permit 128.0.0.0 127.255.255.255\n"
       "deny   0.0.0.0 255.255.255.255\n"},
      {"the grandchild is not a leaf",
       "permit 128.0.0.0/1\npermit 0.0.0.0/2\ndeny 0.0.0.0/3\n",
       "deny   0.0.0.0 31.255.255.255\n"
       "permit 0.0.0.0 63.255.255.255\n"
       "permit 128.0.0.0 127.255.255.255\n"
       "deny   0.0.0.0 255.255.255.255\n"},
      {"the child has two children",
       "permit 128.0.0.0/1\npermit 0.0.0.0/2\npermit 64.0.0.0/4\n",
       "permit 0.0.0.0 63.255.255.255\n"
       "permit 64.0.0.0 15.255.255.255\n"
       "permit 128.0.0.0 127.255.255.255\n"
       "deny   0.0.0.0 255.255.255.255\n"},
      {"the sibling has the node's own state",
       "deny 128.0.0.0/1\npermit 0.0.0.0/2\n",
       "permit 0.0.0.0 63.255.255.255\n"
       "deny   0.0.0.0 255.255.255.255\n"},
      {"the child differs from the node",
       "permit 0.0.0.0/1\ndeny 0.0.0.0/2\npermit 128.0.0.0/1\n",
       "deny   0.0.0.0 63.255.255.255\n"
       "permit 0.0.0.0 255.255.255.255\n"},
  };
  for (const row& r : rows) {
    captured c = run_list(r.input, traced(TRACE_ROTATE));
    EXPECT_EQ(r.entries, c.out) << r.why;
  }
}

TEST(OptimizeSteps, TheEdgeCaseLists) {
  struct row {
    const char* input;
    const char* out;
  };
  const row rows[] = {
      {"permit 10.0.0.0/25\npermit 10.0.0.128/25\n",
       "permit 10.0.0.0 0.0.0.255\n"
       "deny   0.0.0.0 255.255.255.255\n"},
      {"permit 10.0.0.0/8\npermit 10.1.0.0/16\n",
       "permit 10.0.0.0 0.255.255.255\n"
       "deny   0.0.0.0 255.255.255.255\n"},
      {"deny 10.0.0.0/8\n", "deny   0.0.0.0 255.255.255.255\n"},
      {"permit 0.0.0.0 - 0.0.0.5\n",
       "deny   0.0.0.6 0.0.0.1\n"
       "permit 0.0.0.0 0.0.0.7\n"
       "deny   0.0.0.0 255.255.255.255\n"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(r.out, run_list(r.input).out) << r.input;
  }
}

TEST(OptimizeTree, LoneRootIsLeftAlone) {
  EXPECT_EQ("deny   0.0.0.0 255.255.255.255\n",
            run_list("", traced(ALL_STEPS)).out);
  for (unsigned s : {ST_NO, ST_YES}) {
    captured_streams streams;
    settings.trace_flags = ALL_STEPS;
    tenvik_run<ipv4> r;
    set_state(&r.tree.root, s);
    fill_states(r.tree, &r.tree.root, ST_NO);
    optimize_tree(r.tree, &r.tree.root);
    EXPECT_EQ(s, get_state(&r.tree.root));
    EXPECT_TRUE(is_leaf(&r.tree.root));
    EXPECT_EQ("", streams.out());
  }
}

uint32_t quad(unsigned a, unsigned b, unsigned c, unsigned d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}

typedef prefix_tree<ipv4> tree4;

node* find(tree4& t, uint32_t addr, int prefix) {
  node* x = &t.root;
  for (int i = 0; i < prefix && x; i++) x = t.child(x, (addr >> (31 - i)) & 1);
  return x;
}

TEST(FillStates, StartNodeTakesTheInheritedState) {
  for (unsigned inherited : {ST_NO, ST_YES}) {
    captured_streams streams;
    tenvik_run<ipv4> r;
    insert_prefix(r.tree, 8, quad(10, 0, 0, 0), ST_YES);
    fill_states(r.tree, r.tree.child(&r.tree.root, 0), inherited);
    for (int p = 1; p < 8; p++)
      EXPECT_EQ(inherited, get_state(find(r.tree, quad(10, 0, 0, 0), p)))
          << "/" << p;
    EXPECT_EQ(unsigned(ST_YES), get_state(find(r.tree, quad(10, 0, 0, 0), 8)));
    EXPECT_EQ(unsigned(ST_NO), get_state(&r.tree.root));
  }
}

struct block {
  uint32_t addr;
  int prefix;
  unsigned state;
};

// Blocks packed into the few levels below one random block, so that they
// nest and neighbour each other, which is where every optimization step
// finds work; now and then one lies anywhere.
std::vector<block> random_blocks(std::mt19937& gen) {
  std::vector<block> blocks;
  int depth = int(gen() % 27);
  uint32_t base = uint32_t(gen());
  uint32_t window = wildcard(depth) & netmask(depth + 6);
  int count = 1 + int(gen() % 30);
  for (int i = 0; i < count; i++) {
    block b;
    if (gen() % 10 == 0) {
      b.prefix = int(gen() % 33);
      b.addr = uint32_t(gen());
    } else {
      b.prefix = depth + int(gen() % 7);
      b.addr = base ^ (uint32_t(gen()) & window);
    }
    b.state = gen() % 2 ? unsigned(ST_YES) : unsigned(ST_NO);
    blocks.push_back(b);
  }
  return blocks;
}

// Longest-prefix match over the input blocks, the later of two equal
// blocks winning; what no block covers is denied.
unsigned model_decision(const std::vector<block>& blocks, uint32_t a) {
  unsigned decision = ST_NO;
  int best = -1;
  for (const block& b : blocks) {
    if ((a & netmask(b.prefix)) != (b.addr & netmask(b.prefix))) continue;
    if (b.prefix >= best) {
      best = b.prefix;
      decision = b.state;
    }
  }
  return decision;
}

// The tree's decision: the deepest state on the address's path.
unsigned tree_decision(const tree4& t, uint32_t a) {
  const node* x = &t.root;
  unsigned decision = get_state(x);
  for (int i = 0; i < 32; i++) {
    x = t.child(x, (a >> (31 - i)) & 1);
    if (!x) break;
    if (get_state(x) != ST_UNSET) decision = get_state(x);
  }
  return decision;
}

std::vector<uint32_t> probes(const std::vector<block>& blocks,
                             std::mt19937& gen) {
  std::vector<uint32_t> p = {0, 0xffffffffu};
  for (const block& b : blocks) {
    uint32_t first = b.addr & netmask(b.prefix);
    uint32_t last = first | wildcard(b.prefix);
    for (uint32_t a : {first, last, first - 1, last + 1, first + 1, last - 1,
                       first + (wildcard(b.prefix) >> 1),
                       first + (wildcard(b.prefix) >> 1) + 1})
      p.push_back(a);
    p.push_back(first | (uint32_t(gen()) & wildcard(b.prefix)));
  }
  return p;
}

struct walk_result {
  long unset_leaves = 0;
  long repeated = 0;  // explicit states equal to the nearest explicit above
  long unset = 0;
};

void walk(const tree4& t, const node* x, unsigned above, walk_result* r) {
  unsigned s = get_state(x);
  if (s == ST_UNSET) {
    r->unset++;
    if (is_leaf(x)) r->unset_leaves++;
  } else if (s == above) {
    r->repeated++;
  }
  unsigned below = s == ST_UNSET ? above : s;
  for (int b = 0; b < 2; b++)
    if (const node* c = t.child(x, b)) walk(t, c, below, r);
}

TEST(OptimizeTree, KeepsEveryDecisionAndLeavesNoRedundantState) {
  const unsigned seed = 31337;
  std::mt19937 gen(seed);
  int rotations = 0;
  for (int round = 0; round < 1000; round++) {
    captured_streams streams;
    settings.opt_silent = 1;
    tenvik_run<ipv4> run;
    tree4& t = run.tree;
    std::vector<block> blocks = random_blocks(gen);
    for (const block& b : blocks)
      ASSERT_NE(nullptr, insert_prefix(t, b.prefix, b.addr, b.state));
    std::vector<uint32_t> addrs = probes(blocks, gen);
    std::string where =
        "seed " + std::to_string(seed) + ", round " + std::to_string(round);

    for (uint32_t a : addrs)
      ASSERT_EQ(model_decision(blocks, a), tree_decision(t, a))
          << where << ", as inserted, at " << dotted(a);

    fill_states(t, &t.root, ST_NO);
    long counts[3] = {0, 0, 0};
    count_states(t, &t.root, counts);
    ASSERT_EQ(0, counts[ST_UNSET]) << where;
    for (uint32_t a : addrs)
      ASSERT_EQ(model_decision(blocks, a), tree_decision(t, a))
          << where << ", filled, at " << dotted(a);

    // Only rotations are traced, to count them: they are the rare step.
    settings.trace_flags = TRACE_ROTATE;
    optimize_tree(t, &t.root);
    settings.trace_flags = 0;
    std::string trace = streams.out();
    for (size_t at = 0; (at = trace.find("-opt1/", at)) != std::string::npos;
         at++)
      rotations++;
    for (uint32_t a : addrs)
      ASSERT_EQ(model_decision(blocks, a), tree_decision(t, a))
          << where << ", optimized, at " << dotted(a);
    walk_result r;
    walk(t, &t.root, ST_UNSET, &r);
    EXPECT_EQ(0, r.unset_leaves) << where;
    EXPECT_EQ(0, r.repeated) << where;
    ASSERT_NE(unsigned(ST_UNSET), get_state(&t.root)) << where;
  }
  // The rounds must reach the one step that moves nodes.
  EXPECT_LT(60, rotations);
}

// Every node's block with the state of its nearest ancestor-or-self that
// has one: the decision for the block before the fill.
void nearest_states(const tree4& t, const node* x, uint32_t addr, int prefix,
                    unsigned above, std::vector<block>* found) {
  unsigned s = get_state(x) == ST_UNSET ? above : get_state(x);
  found->push_back({addr, prefix, s});
  if (prefix == 32) return;
  if (const node* c = t.child(x, 0))
    nearest_states(t, c, addr, prefix + 1, s, found);
  if (const node* c = t.child(x, 1))
    nearest_states(t, c, child_of<ipv4>(addr, prefix, 1), prefix + 1, s, found);
}

TEST(FillStates, EveryNodeTakesItsNearestSetAncestorsState) {
  const unsigned seed = 2718;
  std::mt19937 gen(seed);
  for (int round = 0; round < 200; round++) {
    captured_streams streams;
    settings.opt_silent = 1;
    tenvik_run<ipv4> r;
    std::vector<block> blocks = random_blocks(gen);
    for (const block& b : blocks)
      insert_prefix(r.tree, b.prefix, b.addr, b.state);
    std::vector<block> expected;
    nearest_states(r.tree, &r.tree.root, 0, 0, ST_NO, &expected);
    fill_states(r.tree, &r.tree.root, ST_NO);
    for (const block& e : expected) {
      const node* x = find(r.tree, e.addr, e.prefix);
      ASSERT_NE(nullptr, x);
      ASSERT_EQ(e.state, get_state(x))
          << "seed " << seed << ", round " << round << ", node "
          << dotted(e.addr) << "/" << e.prefix;
    }
  }
}

}  // namespace
