#include "batch.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "driver.h"
#include "run_capture.h"
#include "settings.h"

namespace {

struct run_text {
  std::string out, err;
  bool ok = true;
};

// Runs the lines through the reader's handler with batching on or off, and
// captures everything written.
run_text run_lines(const std::vector<std::string>& lines, bool batched,
                   int silent) {
  captured_streams streams;
  opt_silent = silent;
  set_batching(batched ? BATCH_SOME : BATCH_OFF);
  run_text r;
  for (const std::string& l : lines) {
    std::string copy = l;
    if (!handle_line(&copy[0])) r.ok = false;
  }
  if (!flush_blocks()) r.ok = false;
  set_batching(BATCH_OFF);
  if (finish_input() != 0) r.ok = false;
  r.out = streams.out();
  r.err = streams.err();
  return r;
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
    run_text direct = run_lines(lines, false, 0);
    run_text batched = run_lines(lines, true, 0);
    ASSERT_NE("", direct.err) << "seed " << seed << " made no warnings";
    ASSERT_EQ(direct.err, batched.err) << "seed " << seed;
    ASSERT_EQ(direct.out, batched.out) << "seed " << seed;
    ASSERT_TRUE(batched.ok);
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
  run_text direct = run_lines(lines, false, 0);
  run_text batched = run_lines(lines, true, 0);
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

TEST(Batch, SilentRunWritesNoWarnings) {
  std::mt19937 rng(7);
  std::vector<std::string> lines = warning_heavy_lines(rng, 200);
  run_text loud = run_lines(lines, true, 0);
  run_text silent = run_lines(lines, true, 1);
  EXPECT_NE("", loud.err);
  EXPECT_EQ("", silent.err);
  EXPECT_EQ(loud.out, silent.out);
}

}  // namespace
