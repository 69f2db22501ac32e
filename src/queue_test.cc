#include "queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "driver.h"
#include "run_capture.h"
#include "settings.h"
#include "sweep.h"

namespace {

struct run_text {
  std::string out, err;
  bool ok = true;
};

// Runs the lines through the reader's handler with blocks queued as `mode`
// says, and captures everything written. Blocks held to the end go to the
// sweep (or for the shortest list are planted in the tree), the others
// into the tree, as for a whole input.
run_text run_lines(const std::vector<std::string>& lines, int mode, int silent,
                   int positive = 0, int optimal = 0) {
  captured_streams streams;  // resets every setting: set them after it
  settings.opt_silent = silent;
  settings.opt_positive = positive;
  settings.opt_optimal = optimal;
  check_format();  // the default format, which has a modifier
  run_text result;
  {
    tenvik_run<ipv4> r;  // takes the captured streams
    set_batching(r.queue, mode);
    for (const std::string& l : lines) {
      std::string copy = l;
      if (!handle_line(r, &copy[0])) result.ok = false;
    }
    size_t count;
    const queued_block<ipv4>* blocks;
    if (holding_all_blocks(r.queue) &&
        merge_held_blocks(r.queue, &blocks, &count)) {
      if (optimal && !positive) {
        if (!plant_blocks(r.tree, blocks, count)) result.ok = false;
        set_batching(r.queue, BATCH_OFF);
        if (finish_input(r) != 0) result.ok = false;
      } else {
        if (!sweep_blocks(blocks, count, settings.format_string, r.out))
          result.ok = false;
        set_batching(r.queue, BATCH_OFF);
      }
    } else {
      if (!flush_blocks(r.queue)) result.ok = false;
      set_batching(r.queue, BATCH_OFF);
      if (finish_input(r) != 0) result.ok = false;
    }
  }
  result.out = streams.out();
  result.err = streams.err();
  return result;
}

std::string quad(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." +
         std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255);
}

// Lines that collide a lot, so that overwrite warnings are common, mixed
// with every other kind of warning.
std::vector<std::string> warning_heavy_lines(std::mt19937& rng, int count) {
  std::vector<std::string> lines;
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  for (int i = 0; i < count; i++) {
    uint32_t a = 0x0a000000u | (rng() & 0x0000ff0fu);
    std::string mod = pick(2) ? "permit " : "deny ";
    switch (pick(9)) {
      case 0:
        lines.push_back(mod + quad(a) + "/" + std::to_string(20 + pick(20)));
        break;
      case 1:
        lines.push_back(mod + quad(a) + " - " + quad(a + unsigned(pick(40))));
        break;
      case 2:
        lines.push_back(mod + quad(a) + " 255.255." +
                        std::to_string(pick(256)) + ".0");
        break;
      case 3:
        lines.push_back(mod + "10." + std::to_string(250 + pick(10)) +
                        ".0.0/16");
        break;
      case 4:
        lines.push_back(mod + quad(a) + "/-" + std::to_string(pick(3)));
        break;
      case 5:
        lines.push_back(mod + quad(a & 0xffffff00u));
        break;
      case 6:
        lines.push_back(pick(4) ? mod + "0.0.0.0 0.0.0.0" : std::string("*"));
        break;
      default:
        lines.push_back(mod + quad(a) + "/" + std::to_string(24 + pick(9)));
    }
  }
  return lines;
}

TEST(Batch, SameOutputAndWarningsAsInsertingLineByLine) {
  for (unsigned seed = 1; seed <= 60; seed++) {
    std::mt19937 rng(seed);
    std::vector<std::string> lines = warning_heavy_lines(rng, 200);
    run_text direct = run_lines(lines, BATCH_OFF, 0);
    run_text batched = run_lines(lines, BATCH_SOME, 0);
    run_text held = run_lines(lines, BATCH_ALL, 0);
    run_text optimal = run_lines(lines, BATCH_OFF, 0, 0, 1);
    run_text held_optimal = run_lines(lines, BATCH_ALL, 0, 0, 1);
    ASSERT_EQ(optimal.err, held_optimal.err) << "seed " << seed;
    ASSERT_EQ(optimal.out, held_optimal.out) << "seed " << seed;
    ASSERT_NE("", direct.err) << "seed " << seed << " made no warnings";
    ASSERT_EQ(direct.err, batched.err) << "seed " << seed;
    ASSERT_EQ(direct.out, batched.out) << "seed " << seed;
    ASSERT_EQ(direct.err, held.err) << "seed " << seed;
    ASSERT_EQ(direct.out, held.out) << "seed " << seed;
    ASSERT_TRUE(batched.ok);
    ASSERT_TRUE(held.ok);
  }
}

TEST(Batch, RangeLongerThanABatchKeepsItsWarningsInOrder) {
  // The range needs more blocks than one batch holds, so it is flushed in
  // the middle; the overwrites it makes on both sides of that flush, and
  // the warnings of the lines around it, must still come in input order.
  std::vector<std::string> lines = {
      "deny 10.0.0.7/32",   "deny 10.5.0.3/32",
      "permit 300.1.1.1/8", "permit 10.0.0.1 - 10.6.255.255",
      "deny 10.6.0.9/32",   "permit 1.2.3.4 255.0.255.0",
  };
  run_text direct = run_lines(lines, BATCH_OFF, 0);
  run_text batched = run_lines(lines, BATCH_SOME, 0);
  EXPECT_EQ(
      "WARNING: address out of range, line ignored: permit 300.1.1.1/8\n"
      "WARNING: 10.0.0.7/32 overwritten (- -> +)\n"
      "WARNING: 10.5.0.3/32 overwritten (- -> +)\n"
      "WARNING: 10.6.0.9/32 overwritten (+ -> -)\n"
      "WARNING: invalid mask: 255.0.255.0\n",
      direct.err);
  EXPECT_EQ(direct.err, batched.err);
  EXPECT_EQ(direct.out, batched.out);
}

// Held blocks that go into the tree in input order, as when they cannot be
// merged, write each line's warnings as they go: ranges that overwrite
// each other's blocks would otherwise hold one warning a block, billions
// on a big list.
TEST(Batch, InputOrderBatchHoldsNoOverwrites) {
  std::vector<std::string> lines = {
      "permit 10.0.0.1 - 10.0.255.254", "permit 300.1.1.1/8",
      "deny 10.0.0.1 - 10.0.255.254", "permit 10.0.7.7",
      "permit 1.2.3.4 255.0.255.0"};
  run_text direct = run_lines(lines, BATCH_OFF, 0);
  captured_streams streams;
  check_format();
  size_t held_room;
  {
    tenvik_run<ipv4> r;
    set_batching(r.queue, BATCH_ALL);
    for (const std::string& l : lines) {
      std::string copy = l;
      ASSERT_TRUE(handle_line(r, &copy[0]));
    }
    ASSERT_TRUE(flush_blocks(r.queue));
    held_room = r.log.capacity;
    set_batching(r.queue, BATCH_OFF);
  }
  std::string err = streams.err();
  EXPECT_EQ(65534u + 3, size_t(std::count(err.begin(), err.end(), '\n')));
  EXPECT_EQ(direct.err, err);
  EXPECT_GT(1000u, held_room);
}

TEST(Batch, SilentRunWritesNoWarnings) {
  std::mt19937 rng(7);
  std::vector<std::string> lines = warning_heavy_lines(rng, 200);
  run_text loud = run_lines(lines, BATCH_SOME, 0);
  run_text silent = run_lines(lines, BATCH_SOME, 1);
  EXPECT_NE("", loud.err);
  EXPECT_EQ("", silent.err);
  EXPECT_EQ(loud.out, silent.out);
}

// Range lists as country databases and hand-made lists have them: mostly
// sorted, ranges side by side or apart, the odd block inside or across a
// range, and ranges of single addresses overlapping each other.
std::vector<std::string> range_lines(std::mt19937& rng) {
  auto pick = [&](unsigned n) { return rng() % n; };
  const uint32_t steps[] = {1, 2, 4, 8, 256};
  uint32_t a = pick(3) == 0 ? 0xfffff000u : 0x0a000000u;
  std::vector<std::string> lines;
  std::vector<std::string> ranges;
  if (pick(8) == 0)
    lines.push_back(pick(2) ? "permit 0.0.0.0/0" : "deny 0.0.0.0/0");
  for (int i = int(pick(16)) + 1; i > 0; i--) {
    std::string mod = pick(3) ? "permit " : "deny ";
    uint32_t step = steps[pick(5)];
    uint64_t start = a + pick(3) * step;
    uint64_t end = start + (pick(40) + 1) * uint64_t(step) - 1;
    switch (pick(7)) {
      case 6:  // a range named again
        if (ranges.empty()) break;
        lines.push_back(mod + ranges[pick(unsigned(ranges.size()))]);
        continue;
      case 0:  // a block inside or across what came before
        lines.push_back(mod + quad(uint32_t(start - pick(600))) + "/" +
                        std::to_string(22 + pick(11)));
        continue;
      case 1:  // a range that does not end on a block boundary
        end += pick(3) + 1;
        break;
      case 2:  // a range over what came before
        start -= pick(300);
        break;
      default:
        break;
    }
    if (end > 0xffffffffu) break;
    ranges.push_back(quad(uint32_t(start)) + " - " + quad(uint32_t(end)));
    lines.push_back(mod + ranges.back());
    a = uint32_t(end + 1 == uint64_t(1) << 32 ? end : end + 1 - pick(2) * step);
  }
  return lines;
}

TEST(Batch, HeldRunsGiveTheTreesListAndWarnings) {
  int overwriting = 0, other = 0;
  for (unsigned seed = 1; seed <= 400; seed++) {
    std::mt19937 rng(seed);
    std::vector<std::string> lines = range_lines(rng);
    for (int mode = 0; mode < 3; mode++) {
      int positive = mode == 1, optimal = mode == 2;
      run_text tree = run_lines(lines, BATCH_SOME, 0, positive, optimal);
      run_text held = run_lines(lines, BATCH_ALL, 0, positive, optimal);
      std::string all;
      for (const std::string& l : lines) all += l + "\n";
      ASSERT_EQ(tree.err, held.err) << "seed " << seed << ":\n" << all;
      ASSERT_EQ(tree.out, held.out) << "seed " << seed << ", -p " << positive
                                    << ", --optimal " << optimal << ":\n"
                                    << all;
      ASSERT_TRUE(held.ok);
      (tree.err.empty() ? other : overwriting)++;
    }
  }
  // Both kinds of list must have come up: with runs that overwrite others,
  // which are spread out, and without.
  EXPECT_LT(100, overwriting);
  EXPECT_LT(100, other);
}

TEST(Batch, RunLongerThanOneEntry) {
  // 2^32 - 1 single addresses take 256 queue entries, which the sweep joins
  // again: every address but 0.0.0.0, whose /32 stays denied under a root
  // that all the merged halves turn into a permit.
  run_text r = run_lines({"permit 0.0.0.1 - 255.255.255.255"}, BATCH_ALL, 0);
  EXPECT_EQ("deny   0.0.0.0 0.0.0.0\npermit 0.0.0.0 255.255.255.255\n", r.out);
  EXPECT_EQ("", r.err);
}

}  // namespace

// A big queue is sorted by radix passes over its blocks: the order must be
// that of a stable sort, blocks named again in input order. The blocks
// cluster in a few regions with few bits varying, so that some digits are
// shared by all of them and some blocks come many times.
template <typename F>
class BigQueue : public ::testing::Test {};
typedef ::testing::Types<ipv4, ipv6> families;
TYPED_TEST_SUITE(BigQueue, families);

TYPED_TEST(BigQueue, SortsAsAStableSort) {
  typedef TypeParam F;
  typedef typename F::addr addr;
  // Both sorts pack the entries when they can: IPv4's when each line fits
  // 24 bits, IPv6's when no address has bits below the top 64 (so here
  // but in the last two times). The third time one entry late in the batch
  // will not pack, found when the others are packed; the fourth time some
  // entries are runs, which never pack.
  for (int variant : {0, 1, 2, 3, 4}) {
    const bool by_prefix = variant % 4 > 0;
    const addr kept = variant < 3 ? ~(~addr(0) >> F::BITS / 2) : ~addr(0);
    captured_streams streams;
    tenvik_run<F> r;
    set_batching(r.queue, BATCH_ALL);
    std::mt19937_64 rng(7);
    const addr regions[] = {addr(0x0a000000) << (F::BITS - 32), 0,
                            ~addr(0) << (F::BITS / 2),
                            addr(rng()) << (F::BITS / 2)};
    for (int k = 0; k < 20000; k++) {
      addr a =
          regions[rng() % 4] | (addr(rng() % 4096) << (rng() % (F::BITS - 8)));
      if (rng() % 3 == 0) a |= addr(rng());
      if (F::BITS > 64) a &= kept;
      int n = int(rng() % (F::BITS + 1));
      if (variant == 3 && k % 5 == 0 && n > 1)
        ASSERT_TRUE(add_blocks(r.queue, n, a & F::netmask(n), 3, ST_YES));
      else
        ASSERT_TRUE(add_block(r.queue, n, a, ST_NO + rng() % 2));
      next_line(r.queue);
    }
    if (variant == 2) {
      queued_block<F>& late = r.queue.batch[r.queue.used - 3];
      late.line = 1u << 24;
      late.addr = addr(late.addr) | 1;
    }
    std::vector<queued_block<F>> expected(r.queue.batch,
                                          r.queue.batch + r.queue.used);
    std::stable_sort(
        expected.begin(), expected.end(),
        [by_prefix](const queued_block<F>& a, const queued_block<F>& b) {
          return by_prefix ? tree_less(a, b) : block_of(a) < block_of(b);
        });
    ASSERT_TRUE(sort_batch(r.queue, by_prefix));
    ASSERT_EQ(expected.size(), r.queue.used);
    for (size_t i = 0; i < expected.size(); i++) {
      const queued_block<F>& got = r.queue.batch[i];
      ASSERT_TRUE(
          addr(got.addr) == addr(expected[i].addr) &&
          got.prefix == expected[i].prefix && got.line == expected[i].line &&
          got.state == expected[i].state && got.count == expected[i].count)
          << "block " << i << (by_prefix ? " in tree order" : "");
    }
  }
}

// Blocks put back from the buckets into the queue are sorted, and blocks
// queued after them are sorted in among them: merged, the list is that of a
// stable sort with each block's last state. The last block held is the
// smallest, and those queued after it ascend from it, so that only their
// order against the put-back ones tells that the queue needs sorting.
TEST(Buckets, PutBackBlocksAndLaterOnesMergeAsAStableSort) {
  typedef uint128 addr;
  captured_streams streams;
  settings.opt_silent = 1;
  tenvik_run<ipv6> r;
  r.queue.bucket_after = 64;
  set_batching(r.queue, BATCH_ALL);
  std::mt19937_64 rng(11);
  const addr base = addr(0x20010db8) << 96;
  std::vector<queued_block<ipv6>> added;
  auto add = [&](addr a, int n) {
    unsigned s = ST_NO + unsigned(rng() % 2);
    ASSERT_TRUE(add_block(r.queue, n, a, s));
    queued_block<ipv6> e = {};
    e.addr = a & ipv6::netmask(n);
    e.count = 1;
    e.prefix = unsigned(n);
    e.state = s;
    added.push_back(e);
  };
  for (int k = 0; k < 5000; k++)
    add(base | addr(rng() % 512) << 64, 48 + int(rng() % 17));
  add(base, 64);
  ASSERT_TRUE(r.queue.buckets != nullptr);
  ASSERT_TRUE(leave_buckets(r.queue));
  for (int k = 1; k < 300; k++) add(base | addr(k) << 64, 64);
  std::vector<queued_block<ipv6>> expected = added;
  std::stable_sort(expected.begin(), expected.end(), tree_less<ipv6>);
  size_t out = 0;
  for (size_t i = 0; i < expected.size(); i++) {
    if (out > 0 && same_block(expected[out - 1], expected[i]))
      expected[out - 1].state = expected[i].state;
    else
      expected[out++] = expected[i];
  }
  expected.resize(out);
  const queued_block<ipv6>* blocks;
  size_t count;
  ASSERT_TRUE(merge_held_blocks(r.queue, &blocks, &count));
  ASSERT_EQ(expected.size(), count);
  for (size_t i = 0; i < count; i++)
    ASSERT_TRUE(block_of(blocks[i]) == block_of(expected[i]) &&
                blocks[i].prefix == expected[i].prefix &&
                blocks[i].state == expected[i].state)
        << "block " << i;
}

// Blocks of one bucket held in the high word alone and in both words, the
// same address at several lengths and some named twice: read back in tree
// order, each kind's repeats in input order, and as they went in when
// unsorted.
TEST(Buckets, ShortAndLongBlocksComeBackInTreeOrder) {
  typedef uint128 addr;
  const addr x = addr(0x20010db800000000ull) << 64;
  struct held {
    addr block;
    unsigned prefix, state;
  };
  const std::vector<held> in = {{x | 1, 128, ST_YES},
                                {x, 64, ST_NO},
                                {x, 128, ST_YES},
                                {x, 60, ST_YES},
                                {x | 1, 128, ST_NO},
                                {x, 64, ST_YES},
                                {x | addr(1) << 64, 64, ST_NO},
                                {0, 0, ST_NO},
                                {x | addr(1) << 63, 65, ST_YES}};
  bucket_store* s = open_store(~uint64_t(0), 0);
  ASSERT_TRUE(s != nullptr);
  for (const held& h : in)
    ASSERT_TRUE(hold_block(*s, h.block, h.prefix, h.state));
  std::vector<held> out, unsorted;
  for_each_held(*s, [&out](addr b, unsigned n, unsigned st) {
    out.push_back({b, n, st});
    return true;
  });
  for_each_held_unsorted(*s, [&unsorted](addr b, unsigned n, unsigned st) {
    unsorted.push_back({b, n, st});
    return true;
  });
  close_store(s);
  std::vector<held> expected = in;
  std::stable_sort(
      expected.begin(), expected.end(), [](const held& a, const held& b) {
        return a.block != b.block ? a.block < b.block : a.prefix < b.prefix;
      });
  ASSERT_EQ(expected.size(), out.size());
  for (size_t i = 0; i < out.size(); i++)
    EXPECT_TRUE(out[i].block == expected[i].block &&
                out[i].prefix == expected[i].prefix &&
                out[i].state == expected[i].state)
        << "block " << i;
  EXPECT_EQ(in.size(), unsorted.size());
}
