#include "sweep.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include "address.h"
#include "driver.h"
#include "queue.h"
#include "run_capture.h"
#include "settings.h"

namespace {

// The options that change the list or its warnings; `args` is how the
// command line would give them, for a failure message.
struct options {
  const char* args = "";
  int invert = 0, silent = 0, positive = 0;
  const char* permit = "permit";
  const char* deny = "deny  ";
  const char* format = "%m %a %w";
};

const options SETTINGS[] = {
    {},
    {"-p", 0, 0, 1},
    {"-i", 1},
    {"-s", 0, 1},
    // No "%m": positive mode by the format check, with its warning.
    {"-f '%a/%p'", 0, 0, 0, "permit", "deny  ", "%a/%p"},
    {"-i -m allow,block -f '%m %a %k %p'", 1, 0, 0, "allow", "block",
     "%m %a %k %p"},
};

struct run_text {
  std::string out, err;
  bool swept = false;  // the sweep printed the list
};

// Runs the lines as run_input would, through the tree or through the sweep
// of the held blocks, and captures everything written.
run_text run_path(const std::vector<std::string>& lines, const options& o,
                  bool sweep) {
  captured_streams streams;  // resets every setting: set them after it
  settings.opt_invert = o.invert;
  settings.opt_silent = o.silent;
  settings.opt_positive = o.positive;
  settings.permit_string = o.permit;
  settings.deny_string = o.deny;
  settings.format_string = o.format;
  check_format();
  run_text result;
  {
    tenvik_run<ipv4> r;  // takes the captured streams
    set_batching(r.queue, sweep ? BATCH_ALL : BATCH_SOME);
    for (const std::string& l : lines) {
      std::string copy = l;
      EXPECT_TRUE(handle_line(r, &copy[0]));
    }
    const queued_block<ipv4>* blocks = nullptr;
    size_t count = 0;
    bool merged = false;
    if (sweep) {
      // A list this small never makes the queue hand its blocks to the tree.
      EXPECT_TRUE(holding_all_blocks(r.queue));
      merged = merge_held_blocks(r.queue, &blocks, &count);
      EXPECT_TRUE(merged);
    }
    if (merged) {
      result.swept = sweep_blocks(blocks, count, settings.format_string, r.out);
      EXPECT_TRUE(result.swept);
      set_batching(r.queue, BATCH_OFF);
    } else {
      // The tree, which is also where run_input goes when the merge fails.
      EXPECT_TRUE(flush_blocks(r.queue));
      set_batching(r.queue, BATCH_OFF);
      EXPECT_EQ(0, finish_input(r));
    }
  }
  result.out = streams.out();
  result.err = streams.err();
  return result;
}

// Both paths on the lines; true when they wrote the same, else a failure
// with the input and options. The sweep's output goes to *sweep_out.
bool same_on_both(const std::vector<std::string>& lines, const options& o,
                  run_text* sweep_out = nullptr) {
  run_text tree = run_path(lines, o, false);
  run_text sweep = run_path(lines, o, true);
  if (sweep_out) *sweep_out = sweep;
  bool skipped = !sweep.swept;
  if (!skipped && tree.out == sweep.out && tree.err == sweep.err) return true;
  std::string input;
  for (const std::string& l : lines) input += l + "\n";
  ADD_FAILURE() << (skipped ? "the tree printed the list"
                            : "tree and sweep differ")
                << "\noptions: " << (*o.args ? o.args : "none") << "\ninput:\n"
                << input << "tree stdout:\n"
                << tree.out << "sweep stdout:\n"
                << sweep.out << "tree stderr:\n"
                << tree.err << "sweep stderr:\n"
                << sweep.err;
  return false;
}

std::string quad(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." +
         std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255);
}

// Up to 30 lines whose blocks crowd into one /24 or /26, so that siblings,
// lone children, nested blocks of both states and repeats are the rule.
std::vector<std::string> packed_lines(std::mt19937& rng) {
  auto pick = [&](unsigned n) { return unsigned(rng() % n); };
  const char* mods[] = {"permit ", "deny ", "+", "- ", "yes ", "no ", ""};
  int region = pick(2) ? 24 : 26;
  // The ends of the address space test the carries and the sign bit.
  uint32_t base = pick(6) == 0   ? 0u
                  : pick(5) == 0 ? netmask(region)
                                 : rng() & netmask(region);
  std::vector<std::string> bodies, lines;
  uint32_t range_end = base;
  unsigned count = 1 + pick(30);
  for (unsigned i = 0; i < count; i++) {
    uint32_t a = base | (rng() & wildcard(region));
    // Blocks at the end of a range, inside or beside its last block.
    if (pick(4) == 0) a = range_end;
    int n = pick(5) ? region + int(pick(33 - region)) : 22 + int(pick(11));
    std::string body;
    unsigned kind = pick(20);
    if (!bodies.empty() && pick(4) == 0) {
      body = bodies[pick(unsigned(bodies.size()))];  // often another state
    } else if (kind < 9) {
      body = quad(a) + "/" + std::to_string(n);
      if (pick(4) == 0) {
        std::string sibling =
            quad(a ^ 1u << (32 - n)) + "/" + std::to_string(n);
        lines.push_back(mods[pick(7)] + sibling);
      }
    } else if (kind < 11) {
      // A range is read as a run of blocks of one length, which the end
      // decides: short and long runs, aligned or not at either end.
      uint32_t from = base | (rng() & wildcard(region));
      if (pick(2)) from &= netmask(n);
      uint64_t to = uint64_t(from) + pick(70);
      if (pick(3) == 0)
        to = uint64_t(from | wildcard(n)) + (uint64_t(pick(4)) << (32 - n));
      if (pick(4) == 0) to = (from + 256 * uint64_t(1 + pick(3))) & ~0xffull;
      if (to > 0xffffffffu) to = 0xffffffffu;
      range_end = uint32_t(to);
      body = pick(8) ? quad(from) + " - " + quad(uint32_t(to))
                     : quad(uint32_t(to)) + " - " + quad(from);
    } else if (kind < 13) {
      body = quad(a) + " " + quad(pick(2) ? wildcard(n) : netmask(n));
    } else if (kind < 15) {
      body = quad(pick(3) ? a : a & ~255u);  // a zero octet shortens it
    } else if (kind < 16) {
      body = pick(2) ? "0.0.0.0/0" : "0.0.0.0 0.0.0.0";
    } else if (kind < 18) {
      const char* bad[] = {"/33", "/40", "/-1", " 255.0.255.0"};
      std::string q = quad(a);
      body = pick(3) ? q + bad[pick(4)] : q.substr(0, q.rfind('.')) + ".300";
    } else {
      lines.push_back(pick(2) ? "# " + quad(a) : "");
      continue;
    }
    bodies.push_back(body);
    lines.push_back(mods[pick(7)] + body);
  }
  return lines;
}

TEST(Sweep, SameListAndWarningsAsTheTree) {
  int overwrites = 0, runs = 0;
  for (unsigned seed = 1; seed <= 500; seed++) {
    std::mt19937 rng(seed);
    std::vector<std::string> lines = packed_lines(rng);
    for (const options& o : SETTINGS) {
      run_text sweep;
      ASSERT_TRUE(same_on_both(lines, o, &sweep)) << "seed " << seed;
      if (sweep.err.find("overwritten") != std::string::npos) overwrites++;
      runs++;
    }
  }
  // The inputs must really exercise the repeats, else they prove little.
  EXPECT_GT(overwrites, runs / 10);
}

run_text sweep_of(const std::vector<std::string>& lines,
                  const options& o = {}) {
  run_text sweep;
  same_on_both(lines, o, &sweep);
  return sweep;
}

TEST(Sweep, RotationMovesThePermittedQuarterUp) {
  // Only 10.64.0.0/10 ends up permitted: 10.0.0.0/10 and 10.128.0.0/9 are
  // denied by their own lines, and the rest of 10/8 lies outside.
  run_text r = sweep_of({"permit 10.0.0.0/8", "permit 10.0.0.0/9",
                         "deny 10.128.0.0/9", "deny 10.0.0.0/10"});
  EXPECT_EQ(
      "permit 10.64.0.0 0.63.255.255\n"
      "deny   0.0.0.0 255.255.255.255\n",
      r.out);
  EXPECT_EQ("", r.err);
}

TEST(Sweep, RangeBecomesABlockWithAHole) {
  // 0..5 is 0..7 without 6 and 7: the hole first, then its block.
  run_text r = sweep_of({"permit 0.0.0.0 - 0.0.0.5"});
  EXPECT_EQ(
      "deny   0.0.0.6 0.0.0.1\n"
      "permit 0.0.0.0 0.0.0.7\n"
      "deny   0.0.0.0 255.255.255.255\n",
      r.out);
}

TEST(Sweep, PositiveModeSplitsAroundTheDeniedBlock) {
  // 10/8 without 10.1/16 is the sibling 10.0/16 and then, at each shorter
  // prefix, the upper half beside the path down to 10.1/16.
  run_text r = sweep_of({"permit 10.0.0.0/8", "deny 10.1.0.0/16"}, SETTINGS[1]);
  EXPECT_EQ(
      "permit 10.0.0.0 0.0.255.255\n"
      "permit 10.2.0.0 0.1.255.255\n"
      "permit 10.4.0.0 0.3.255.255\n"
      "permit 10.8.0.0 0.7.255.255\n"
      "permit 10.16.0.0 0.15.255.255\n"
      "permit 10.32.0.0 0.31.255.255\n"
      "permit 10.64.0.0 0.63.255.255\n"
      "permit 10.128.0.0 0.127.255.255\n",
      r.out);
  EXPECT_EQ("", r.err);
}

TEST(Sweep, PermittingTheWholeSpaceWarns) {
  // The whole space starts out denied, so the permit changes a state; the
  // deny inside it then needs its own entry before the catch-all.
  run_text r = sweep_of({"permit 0.0.0.0/0", "deny 10.0.0.0/8"});
  EXPECT_EQ(
      "deny   10.0.0.0 0.255.255.255\n"
      "permit 0.0.0.0 255.255.255.255\n",
      r.out);
  EXPECT_EQ("WARNING: 0.0.0.0/0 overwritten (- -> +)\n", r.err);
}

TEST(Sweep, SiblingsMergeAndTheLastStateWins) {
  // The two halves of 10.0.0.0/24 make the whole: the upper half, denied
  // first, is permitted by its last line, which warns of the change.
  options named = SETTINGS[5];
  named.invert = 0;
  run_text r = sweep_of({"permit 10.0.0.0/25", "deny 10.0.0.128 0.0.0.127",
                         "permit 10.0.0.128 255.255.255.128"},
                        named);
  EXPECT_EQ(
      "allow 10.0.0.0 255.255.255.0 24\n"
      "block 0.0.0.0 0.0.0.0 0\n",
      r.out);
  EXPECT_EQ("WARNING: 10.0.0.128/25 overwritten (- -> +)\n", r.err);
}

TEST(Sweep, FormatWithoutModifierWarnsFirstAndPrintsPermitsOnly) {
  // The /33 is read as /32, a lone permitted address in a denied block.
  run_text r =
      sweep_of({"permit 10.0.0.0/33", "deny 10.0.0.0/24"}, SETTINGS[4]);
  EXPECT_EQ("10.0.0.0/32\n", r.out);
  EXPECT_EQ(
      "WARNING: No %m (modifier) in format string. Option -p assumed\n"
      "WARNING: prefix /33 greater than 32\n",
      r.err);
}

}  // namespace
