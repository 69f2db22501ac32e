#include "notation.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "address.h"
#include "driver.h"
#include "family.h"
#include "run_capture.h"
#include "settings.h"
#include "tree.h"

namespace {

// Every node below the root that holds a state of its own, in address
// order, as "10.0.0.0/8 YES" joined by ", ".
void collect(const prefix_tree<ipv4>& t, const node* x, uint32_t addr,
             int prefix, std::string* blocks) {
  if (!x) return;
  if (prefix > 0 && get_state(x) != ST_UNSET) {
    if (!blocks->empty()) *blocks += ", ";
    *blocks += std::string(dotted(addr)) + "/" + std::to_string(prefix) + " " +
               state_name(get_state(x));
  }
  if (prefix == 32) return;
  collect(t, t.child(x, 0), addr, prefix + 1, blocks);
  collect(t, t.child(x, 1), child_of<ipv4>(addr, prefix, 1), prefix + 1,
          blocks);
}

struct parsed {
  std::string out;     // the input-parsing trace
  std::string err;     // warnings
  std::string blocks;  // what the line inserted below the root
  std::string root;    // the root's state afterwards
};

// Hands one input line to the line handler of a fresh run, with the
// input-parsing trace on, and reports what it inserted.
parsed parse_line(const std::string& line, int silent = 0) {
  captured_streams streams;  // resets every setting: set them after it
  settings.trace_flags = TRACE_INPUT;
  settings.opt_silent = silent;
  parsed p;
  {
    tenvik_run<ipv4> r;  // takes the captured streams
    std::vector<char> text(line.begin(), line.end());
    text.push_back('\0');
    EXPECT_TRUE(handle_line(r, text.data())) << line;
    collect(r.tree, &r.tree.root, 0, 0, &p.blocks);
    p.root = state_name(get_state(&r.tree.root));
  }
  p.out = streams.out();
  p.err = streams.err();
  return p;
}

struct line_row {
  const char* line;
  const char* out;
  const char* err;
  const char* blocks;
  const char* root;
};

void check_rows(const std::vector<line_row>& rows) {
  for (const line_row& r : rows) {
    parsed p = parse_line(r.line);
    EXPECT_EQ(r.out, p.out) << r.line;
    EXPECT_EQ(r.err, p.err) << r.line;
    EXPECT_EQ(r.blocks, p.blocks) << r.line;
    EXPECT_EQ(r.root, p.root) << r.line;
  }
}

TEST(PrefixNotation, BlocksWarningsAndTraces) {
  check_rows({
      {"permit 10.1.2.3/8", "+  address/prefix 10.1.2.3/8\n", "",
       "10.0.0.0/8 YES", "NO"},
      {"10.0.0.0/8 office", "+  address/prefix 10.0.0.0/8\n", "",
       "10.0.0.0/8 YES", "NO"},
      {"deny 10.0.0.0/ 16", "-  address/prefix 10.0.0.0/16\n", "",
       "10.0.0.0/16 NO", "NO"},
      {"deny 10.0.0.0/40", "-  address/prefix 10.0.0.0/32\n",
       "WARNING: prefix /40 greater than 32\n", "10.0.0.0/32 NO", "NO"},
      // Saturated, never wrapped around to /0.
      {"10.0.0.0/4294967296", "+  address/prefix 10.0.0.0/32\n",
       "WARNING: prefix /4294967296 greater than 32\n", "10.0.0.0/32 YES",
       "NO"},
      {"10.0.0.0/-1", "+  ", "WARNING: prefix /-1 is negative, line ignored\n",
       "", "NO"},
      {"permit 10.0.0.0/0", "+  address/prefix 10.0.0.0/0\n",
       "WARNING: 10.0.0.0/0 overwritten (- -> +)\n", "", "YES"},
      // A blank before the slash ends the prefix notation's match; the
      // single address takes the line.
      {"10.0.0.0 /8", "+  address 10.0.0.0 auto prefix 8\n", "",
       "10.0.0.0/8 YES", "NO"},
  });
}

TEST(SingleAddressNotation, AutomaticPrefixOfEveryClass) {
  struct row {
    const char* addr;
    int prefix;
  };
  const row rows[] = {
      {"10.0.0.0", 8},         {"10.1.0.0", 16},    {"10.0.1.0", 24},
      {"10.1.2.3", 32},        {"0.0.0.0", 8},      {"127.0.0.0", 8},
      {"128.0.0.0", 16},       {"172.16.0.0", 16},  {"191.255.0.0", 16},
      {"192.0.0.0", 24},       {"192.168.0.0", 24}, {"192.168.1.0", 24},
      {"223.255.255.0", 24},   {"224.0.0.0", 32},   {"240.0.0.0", 32},
      {"255.255.255.255", 32},
  };
  for (const row& r : rows) {
    std::string len = std::to_string(r.prefix);
    parsed p = parse_line(std::string("permit ") + r.addr);
    EXPECT_EQ(
        std::string("+  address ") + r.addr + " auto prefix " + len + "\n",
        p.out);
    EXPECT_EQ("", p.err) << r.addr;
    EXPECT_EQ(std::string(r.addr) + "/" + len + " YES", p.blocks);
    EXPECT_EQ("NO", p.root) << r.addr;
  }
}

TEST(SingleAddressNotation, TrailingWordsAndState) {
  check_rows({
      {"permit 10.0.0.1 extra words", "+  address 10.0.0.1 auto prefix 32\n",
       "", "10.0.0.1/32 YES", "NO"},
      {"deny 0.0.0.0", "-  address 0.0.0.0 auto prefix 8\n", "", "0.0.0.0/8 NO",
       "NO"},
      {"192.168.1.0", "+  address 192.168.1.0 auto prefix 24\n", "",
       "192.168.1.0/24 YES", "NO"},
  });
}

TEST(RangeNotation, BlockSizeTraceAndBlocks) {
  check_rows({
      {"permit 10.0.0.0 - 10.0.3.0",
       "+  range 10.0.0.0 - 10.0.3.0 by 0x00000100\n", "",
       "10.0.0.0/24 YES, 10.0.1.0/24 YES, 10.0.2.0/24 YES, 10.0.3.0/24 YES",
       "NO"},
      {"permit 10.0.0.0 - 10.255.255.255",
       "+  range 10.0.0.0 - 10.255.255.255 by 0x01000000\n", "",
       "10.0.0.0/8 YES", "NO"},
      {"permit 10.0.0.0-10.0.0.255",
       "+  range 10.0.0.0 - 10.0.0.255 by 0x00000100\n", "", "10.0.0.0/24 YES",
       "NO"},
      {"permit 10.0.0.0\t-\t10.0.0.255",
       "+  range 10.0.0.0 - 10.0.0.255 by 0x00000100\n", "", "10.0.0.0/24 YES",
       "NO"},
      {"permit 0.0.0.0 - 0.0.0.5", "+  range 0.0.0.0 - 0.0.0.5 by 0x00000002\n",
       "", "0.0.0.0/31 YES, 0.0.0.2/31 YES, 0.0.0.4/31 YES", "NO"},
      {"permit 10.0.0.4 - 10.0.0.11",
       "+  range 10.0.0.4 - 10.0.0.11 by 0x00000001\n", "",
       "10.0.0.4/32 YES, 10.0.0.5/32 YES, 10.0.0.6/32 YES, 10.0.0.7/32 YES, "
       "10.0.0.8/32 YES, 10.0.0.9/32 YES, 10.0.0.10/32 YES, 10.0.0.11/32 YES",
       "NO"},
      {"permit 10.0.0.5 - 10.0.1.0",
       "+  range 10.0.0.5 - 10.0.1.0 by 0x00000100\n", "", "10.0.0.0/24 YES",
       "NO"},
      {"permit 192.168.1.0 - 192.168.2.0",
       "+  range 192.168.1.0 - 192.168.2.0 by 0x00000100\n", "",
       "192.168.1.0/24 YES, 192.168.2.0/24 YES", "NO"},
      {"permit 10.0.0.1 - 10.0.0.1",
       "+  range 10.0.0.1 - 10.0.0.1 by 0x00000001\n", "", "10.0.0.1/32 YES",
       "NO"},
      {"permit 10.0.0.0 - 10.0.0.0",
       "+  range 10.0.0.0 - 10.0.0.0 by 0x01000000\n", "", "10.0.0.0/8 YES",
       "NO"},
      {"deny 10.0.0.0 - 10.0.0.3",
       "-  range 10.0.0.0 - 10.0.0.3 by 0x00000004\n", "", "10.0.0.0/30 NO",
       "NO"},
      // The whole space is one block of size 2^32, shown as eight zeros.
      {"permit 0.0.0.0 - 255.255.255.255",
       "+  range 0.0.0.0 - 255.255.255.255 by 0x00000000\n",
       "WARNING: 0.0.0.0/0 overwritten (- -> +)\n", "", "YES"},
      // Stepping past the top address ends the loop instead of wrapping
      // to 0.0.0.0.
      {"permit 255.255.255.0 - 255.255.255.255",
       "+  range 255.255.255.0 - 255.255.255.255 by 0x00000100\n", "",
       "255.255.255.0/24 YES", "NO"},
      {"permit 255.255.255.250 - 255.255.255.255",
       "+  range 255.255.255.250 - 255.255.255.255 by 0x00000002\n", "",
       "255.255.255.250/31 YES, 255.255.255.252/31 YES, "
       "255.255.255.254/31 YES",
       "NO"},
      {"permit 255.255.255.255 - 255.255.255.255",
       "+  range 255.255.255.255 - 255.255.255.255 by 0x00000001\n", "",
       "255.255.255.255/32 YES", "NO"},
      // Reversed ranges insert nothing, but their trace is printed.
      {"permit 10.0.0.255 - 10.0.0.0",
       "+  range 10.0.0.255 - 10.0.0.0 by 0x01000000\n", "", "", "NO"},
      // end - start wraps to end ^ start in 32 bits: the block size must
      // still be the end's automatic one.
      {"permit 128.0.0.0 - 0.0.0.1",
       "+  range 128.0.0.0 - 0.0.0.1 by 0x00000001\n", "", "", "NO"},
  });
}

TEST(RangeNotation, PrintedAfterOptimization) {
  struct row {
    const char* input;
    const char* out;
  };
  const row rows[] = {
      {"permit 0.0.0.0 - 0.0.0.5\n",
       "deny   0.0.0.6 0.0.0.1\n"
       "permit 0.0.0.0 0.0.0.7\n"
       "deny   0.0.0.0 255.255.255.255\n"},
      {"permit 10.0.0.4 - 10.0.0.11\n",
       "permit 10.0.0.4 0.0.0.3\n"
       "permit 10.0.0.8 0.0.0.3\n"
       "deny   0.0.0.0 255.255.255.255\n"},
      {"permit 10.0.0.0 - 10.0.3.0\n",
       "permit 10.0.0.0 0.0.3.255\n"
       "deny   0.0.0.0 255.255.255.255\n"},
      {"permit 0.0.0.0 - 255.255.255.255\n",
       "permit 0.0.0.0 255.255.255.255\n"},
  };
  for (const row& r : rows) {
    captured c = run_list(r.input);
    EXPECT_EQ(r.out, c.out) << r.input;
    EXPECT_EQ(0, c.status) << r.input;
  }
}

TEST(MaskNotation, NetmasksWildcardsAndTheirWarnings) {
  check_rows({
      {"permit 10.0.0.0 0.255.255.255", "+  address 10.0.0.0 mask 255.0.0.0\n",
       "", "10.0.0.0/8 YES", "NO"},
      {"permit 10.0.0.0 255.0.0.0", "+  address 10.0.0.0 mask 255.0.0.0\n", "",
       "10.0.0.0/8 YES", "NO"},
      {"permit 10.0.0.0 255.255.255.0",
       "+  address 10.0.0.0 mask 255.255.255.0\n", "", "10.0.0.0/24 YES", "NO"},
      {"permit 10.1.2.3 255.255.255.255",
       "+  address 10.1.2.3 mask 255.255.255.255\n", "", "10.1.2.3/32 YES",
       "NO"},
      {"permit 10.1.2.3 0.0.0.0", "+  address 10.1.2.3 mask 255.255.255.255\n",
       "", "10.1.2.3/32 YES", "NO"},
      {"permit 10.0.0.0 127.255.255.255",
       "+  address 10.0.0.0 mask 128.0.0.0\n", "", "0.0.0.0/1 YES", "NO"},
      {"permit 10.0.0.0 128.0.0.0", "+  address 10.0.0.0 mask 128.0.0.0\n", "",
       "0.0.0.0/1 YES", "NO"},
      {"permit 1.2.3.4 255.0.255.0", "+  address 1.2.3.4 mask 255.0.0.0\n",
       "WARNING: invalid mask: 255.0.255.0\n", "1.0.0.0/8 YES", "NO"},
      {"permit 1.2.3.4 0.255.0.255", "+  address 1.2.3.4 mask 255.0.0.0\n",
       "WARNING: invalid mask: 0.255.0.255\n", "1.0.0.0/8 YES", "NO"},
      {"deny 10.0.0.0 0.0.0.5", "-  address 10.0.0.0 mask 255.255.255.248\n",
       "WARNING: invalid mask: 0.0.0.5\n", "10.0.0.0/29 NO", "NO"},
      {"permit 0.0.0.0 0.0.0.0", "+  address 0.0.0.0 mask 0.0.0.0\n",
       "WARNING: mask 0.0.0.0 treated as 0 significant bits\n"
       "WARNING: 0.0.0.0/0 overwritten (- -> +)\n",
       "", "YES"},
      {"permit 0.0.0.0 255.255.255.255", "+  address 0.0.0.0 mask 0.0.0.0\n",
       "WARNING: mask 255.255.255.255 treated as 0 significant bits\n"
       "WARNING: 0.0.0.0/0 overwritten (- -> +)\n",
       "", "YES"},
      {"deny 0.0.0.0 0.0.0.0", "-  address 0.0.0.0 mask 0.0.0.0\n",
       "WARNING: mask 0.0.0.0 treated as 0 significant bits\n", "", "NO"},
      // Only the whole space is widened: a host route stays one.
      {"permit 0.0.0.1 0.0.0.0", "+  address 0.0.0.1 mask 255.255.255.255\n",
       "", "0.0.0.1/32 YES", "NO"},
      {"permit 10.0.0.0\t 255.255.0.0",
       "+  address 10.0.0.0 mask 255.255.0.0\n", "", "10.0.0.0/16 YES", "NO"},
  });
}

TEST(MaskNotation, SilentKeepsThePrefixes) {
  const char* lines[] = {"permit 1.2.3.4 255.0.255.0",
                         "permit 1.2.3.4 0.255.0.255", "permit 0.0.0.0 0.0.0.0",
                         "permit 0.0.0.0 255.255.255.255"};
  for (const char* line : lines) {
    parsed loud = parse_line(line);
    parsed quiet = parse_line(line, 1);
    EXPECT_NE("", loud.err) << line;
    EXPECT_EQ("", quiet.err) << line;
    EXPECT_EQ(loud.out, quiet.out) << line;
    EXPECT_EQ(loud.blocks, quiet.blocks) << line;
    EXPECT_EQ(loud.root, quiet.root) << line;
  }
}

TEST(OutOfRange, LineIgnoredInEveryNotation) {
  // Each of these would insert something if the line were handed on to a
  // later notation (the single address matches the first quad of all).
  check_rows({
      {"permit 10.0.0.256/8", "+  ",
       "WARNING: address out of range, line ignored: permit 10.0.0.256/8\n", "",
       "NO"},
      {"permit 10.0.-1.0/16", "+  ",
       "WARNING: address out of range, line ignored: permit 10.0.-1.0/16\n", "",
       "NO"},
      {"deny 10.0.0.0 - 10.0.1.256", "-  ",
       "WARNING: address out of range, line ignored: deny 10.0.0.0 - "
       "10.0.1.256\n",
       "", "NO"},
      {"permit 300.0.0.0 - 10.0.0.0", "+  ",
       "WARNING: address out of range, line ignored: permit 300.0.0.0 - "
       "10.0.0.0\n",
       "", "NO"},
      {"permit 10.0.0.0 255.255.256.0", "+  ",
       "WARNING: address out of range, line ignored: permit 10.0.0.0 "
       "255.255.256.0\n",
       "", "NO"},
      {"permit 10.0.0.0 0.0.0.4294967296", "+  ",
       "WARNING: address out of range, line ignored: permit 10.0.0.0 "
       "0.0.0.4294967296\n",
       "", "NO"},
      {"permit 10.0.0.0 255.-1.0.0", "+  ",
       "WARNING: address out of range, line ignored: permit 10.0.0.0 "
       "255.-1.0.0\n",
       "", "NO"},
      {"permit 256.1.2.3", "+  ",
       "WARNING: address out of range, line ignored: permit 256.1.2.3\n", "",
       "NO"},
      {"10.0.0.123456789012345678901234567890 x", "+  ",
       "WARNING: address out of range, line ignored: "
       "10.0.0.123456789012345678901234567890 x\n",
       "", "NO"},
      // The warning shows the line without its comment, blanks kept.
      {"permit 1.2.3.999 # lab", "+  ",
       "WARNING: address out of range, line ignored: permit 1.2.3.999 \n", "",
       "NO"},
  });
}

TEST(OutOfRange, SilentIgnoresWithoutWarning) {
  parsed p = parse_line("permit 10.0.0.0 - 10.0.1.256", 1);
  EXPECT_EQ("+  ", p.out);
  EXPECT_EQ("", p.err);
  EXPECT_EQ("", p.blocks);
}

// The four patterns of the notations, in scan_pattern's and in scanf's
// spelling.
enum { PAT_PREFIX, PAT_RANGE, PAT_MASK, PAT_SINGLE, PAT_COUNT };
const char* const our_patterns[PAT_COUNT] = {"u.u.u.u/d", "u.u.u.u - u.u.u.u",
                                             "u.u.u.u u.u.u.u", "u.u.u.u"};
const char* const scanf_patterns[PAT_COUNT] = {
    "%lu.%lu.%lu.%lu/%d", "%lu.%lu.%lu.%lu - %lu.%lu.%lu.%lu",
    "%lu.%lu.%lu.%lu %lu.%lu.%lu.%lu", "%lu.%lu.%lu.%lu"};

int libc_scan(int pattern, const char* text, unsigned long* v, int* d) {
  switch (pattern) {
    case PAT_PREFIX:
      return sscanf(text, "%lu.%lu.%lu.%lu/%d", &v[0], &v[1], &v[2], &v[3], d);
    case PAT_RANGE:
      return sscanf(text, "%lu.%lu.%lu.%lu - %lu.%lu.%lu.%lu", &v[0], &v[1],
                    &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
    case PAT_MASK:
      return sscanf(text, "%lu.%lu.%lu.%lu %lu.%lu.%lu.%lu", &v[0], &v[1],
                    &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
    default:
      return sscanf(text, "%lu.%lu.%lu.%lu", &v[0], &v[1], &v[2], &v[3]);
  }
}

// How scan_pattern and sscanf differ on this text, or "" when they agree.
std::string disagreement(int pattern, const std::string& text) {
  unsigned long v[8];
  int d = -7;
  std::fill(v, v + 8, 77ul);
  int expected = libc_scan(pattern, text.c_str(), v, &d);
  // scanf reports a text that ends before the first conversion as EOF;
  // for the notations that is simply no match.
  if (expected == EOF) expected = 0;
  uint64_t u[8];
  long long s = -9;
  int count = scan_pattern(text.c_str(), our_patterns[pattern], u, &s);
  if (count != expected)
    return "count " + std::to_string(count) + ", scanf " +
           std::to_string(expected);
  int unsigned_count = pattern == PAT_PREFIX ? std::min(count, 4) : count;
  for (int i = 0; i < unsigned_count; i++) {
    // A negative number is a huge value to scanf; scan_pattern makes it
    // the largest one, so that the range check catches every such number.
    uint64_t want = v[i] > 0xffffffffu ? UINT64_MAX : uint64_t(v[i]);
    if (u[i] != want)
      return "number " + std::to_string(i) + " is " + std::to_string(u[i]) +
             ", scanf " + std::to_string(want);
  }
  if (pattern == PAT_PREFIX && count == 5 && s != d)
    return "prefix is " + std::to_string(s) + ", scanf " + std::to_string(d);
  return "";
}

// Numbers of ten digits or more are saturated on purpose where scanf
// wraps; they are tested on their own.
bool short_numbers(const std::string& text) {
  int run = 0;
  for (char c : text) {
    run = c >= '0' && c <= '9' ? run + 1 : 0;
    if (run > 9) return false;
  }
  return true;
}

std::string escaped(const std::string& text) {
  std::string e;
  for (char c : text) {
    switch (c) {
      case '\t':
        e += "\\t";
        break;
      case '\n':
        e += "\\n";
        break;
      case '\v':
        e += "\\v";
        break;
      case '\f':
        e += "\\f";
        break;
      case '\r':
        e += "\\r";
        break;
      default:
        e += c;
    }
  }
  return e;
}

// The shortest text, by deleting characters one at a time, on which the
// two still disagree.
std::string shrink(int pattern, std::string text) {
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t i = 0; i < text.size(); i++) {
      std::string shorter = text.substr(0, i) + text.substr(i + 1);
      if (!disagreement(pattern, shorter).empty()) {
        text = shorter;
        changed = true;
        break;
      }
    }
  }
  return text;
}

void expect_agreement(int pattern, const std::string& text,
                      const std::string& origin) {
  std::string why = disagreement(pattern, text);
  if (why.empty()) return;
  std::string small = shrink(pattern, text);
  ADD_FAILURE() << origin << ", pattern \"" << scanf_patterns[pattern]
                << "\": text \"" << escaped(text) << "\": " << why
                << "; smallest such text \"" << escaped(small)
                << "\": " << disagreement(pattern, small);
}

TEST(ScanPattern, AgreesWithScanfOnAdversarialTexts) {
  const char* texts[] = {
      "",
      " ",
      "\t",
      "1",
      "1.",
      "1.2.3",
      "1.2.3.4",
      "1.2.3.4/",
      "1.2.3.4/+5",
      "1.2.3.4/-5",
      "1.2.3.4/ -5",
      "1.2.3.4/- 5",
      "1.2.3.4 /5",
      "1 .2.3.4",
      "1. 2.\t3.\n4",
      "+1.+2.-3.4",
      "-0.-0.-0.-0/-0",
      "+-1.2.3.4",
      "-+1.2.3.4",
      "1..2.3.4",
      "1.2.3.4.5",
      "1.2.3.4--1.2.3.4",
      "1.2.3.4 - - 1.2.3.4",
      "1.2.3.4-\t5.6.7.8",
      "1.2.3.4\t-\t5.6.7.8",
      "1.2.3.4 -5.6.7.8",
      "1.2.3.4 - +5.6.7.8",
      "1.2.3.4 5.6.7.8",
      "1.2.3.4\v\f\r5.6.7.8",
      "1.2.3.4  \t 5.6.7.8/9",
      "1.2.3.4-5.6.7.8/9",
      "1.2.3.4 x 5.6.7.8",
      "1.2.3.4x",
      "1.2.3.4/8x",
      "1.2.3.4/x",
      "0x1.2.3.4",
      "1.2.3.0x4",
      "007.08.009.010/08",
      "1.2.3.4 - 5.6.7",
      "1.2.3.4 5.6.7.",
      "- 1.2.3.4",
      "a1.2.3.4",
      "1.2.3.4 -",
      "1.2.3.4 - ",
      "1.2.3.4 5",
      "1.2.3.4/32/",
      "999999999.999999999.999999999.999999999/999999999",
      "-999999999.1.2.3/-999999999",
  };
  for (int pattern = 0; pattern < PAT_COUNT; pattern++)
    for (const char* text : texts) expect_agreement(pattern, text, "fixed");
}

// Texts made from a pattern's own shape and then damaged, and texts of
// random characters that the notations care about.
class text_maker {
 public:
  explicit text_maker(unsigned seed) : gen_(seed) {}

  std::string random_text() {
    std::string t;
    int len = pick(0, 30);
    for (int i = 0; i < len; i++) t += random_char();
    return t;
  }

  std::string shaped_text(int pattern) {
    std::string t;
    for (const char* p = our_patterns[pattern]; *p; p++) {
      if (*p == 'u' || *p == 'd')
        t += number();
      else if (*p == ' ')
        t += blanks();
      else
        t += *p;
    }
    for (int edits = pick(0, 3); edits > 0; edits--) {
      size_t at = size_t(pick(0, int(t.size())));
      switch (pick(0, 2)) {
        case 0:
          t.insert(at, 1, random_char());
          break;
        case 1:
          if (at < t.size()) t.erase(at, 1);
          break;
        default:
          if (at < t.size()) t[at] = random_char();
      }
    }
    if (pick(0, 3) == 0) t += random_text();
    return t;
  }

 private:
  int pick(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(gen_);
  }
  char random_char() {
    static const char alphabet[] =
        "0123456789012345678901234567890123456789....../-+  \t\v\f\r\naxZ";
    return alphabet[pick(0, int(sizeof alphabet) - 2)];
  }
  std::string blanks() {
    static const char space[] = " \t\n\v\f\r";
    std::string b;
    for (int n = pick(0, 2) == 0 ? 0 : pick(1, 3); n > 0; n--)
      b += space[pick(0, pick(0, 1) ? 1 : 5)];
    return b;
  }
  std::string number() {
    std::string n;
    if (pick(0, 5) == 0) n += blanks();
    switch (pick(0, 7)) {
      case 0:
        n += '-';
        break;
      case 1:
        n += '+';
        break;
      default:
        break;
    }
    int digits = pick(0, 9) == 0 ? pick(0, 9) : pick(1, 3);
    for (int i = 0; i < digits; i++) n += char('0' + pick(0, 9));
    return n;
  }

  std::mt19937 gen_;
};

TEST(ScanPattern, AgreesWithScanfOnGeneratedTexts) {
  const unsigned seed = 4711;
  text_maker maker(seed);
  for (int pattern = 0; pattern < PAT_COUNT; pattern++) {
    int compared = 0;
    for (int i = 0; i < 20000; i++) {
      std::string text =
          i % 2 ? maker.random_text() : maker.shaped_text(pattern);
      if (!short_numbers(text)) continue;
      compared++;
      std::string origin =
          "seed " + std::to_string(seed) + ", text " + std::to_string(i);
      if (!disagreement(pattern, text).empty()) {
        expect_agreement(pattern, text, origin);
        break;
      }
    }
    // The filter must leave most texts to compare.
    EXPECT_LT(15000, compared) << scanf_patterns[pattern];
  }
}

TEST(ScanPattern, GeneratedTextsReachEveryConversionCount) {
  // Without this the differential test could pass on texts that never get
  // past the first number.
  text_maker maker(4711);
  for (int pattern = 0; pattern < PAT_COUNT; pattern++) {
    int full = pattern == PAT_PREFIX ? 5 : pattern == PAT_SINGLE ? 4 : 8;
    std::vector<int> seen(size_t(full) + 1, 0);
    for (int i = 0; i < 20000; i++) {
      std::string text =
          i % 2 ? maker.random_text() : maker.shaped_text(pattern);
      uint64_t u[8];
      long long s;
      seen[size_t(scan_pattern(text.c_str(), our_patterns[pattern], u, &s))]++;
    }
    for (int c = 0; c <= full; c++)
      EXPECT_LT(0, seen[size_t(c)])
          << scanf_patterns[pattern] << " never gave " << c;
  }
}

TEST(ScanPattern, HugeAndNegativeNumbersSaturate) {
  struct row {
    const char* text;
    uint64_t value;
  };
  const row rows[] = {
      {"123456789012345678901234567890", UINT64_MAX},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", UINT64_MAX},
      {"4294967296", 4294967296ull},
      {"-5", UINT64_MAX},
      {"-1", UINT64_MAX},
      {"-0", 0},
      {"+0", 0},
      {"+7", 7},
      {" \t00000000000000000000000000042", 42},
  };
  for (const row& r : rows) {
    uint64_t u[1] = {12345};
    EXPECT_EQ(1, scan_pattern(r.text, "u", u, nullptr)) << r.text;
    EXPECT_EQ(r.value, u[0]) << r.text;
  }
}

TEST(ScanPattern, SignedPrefixSaturates) {
  struct row {
    const char* text;
    long long value;
  };
  const row rows[] = {
      {"4294967296", 4294967296ll},
      {"2147483648", 2147483648ll},
      {"-2147483649", -2147483649ll},
      {"99999999999999999999", INT64_MAX},
      {"-0", 0},
      {"+32", 32},
  };
  for (const row& r : rows) {
    long long s = 12345;
    EXPECT_EQ(1, scan_pattern(r.text, "d", nullptr, &s)) << r.text;
    EXPECT_EQ(r.value, s) << r.text;
  }
  // Saturated, a huge negative length must stay negative.
  long long s = 0;
  EXPECT_EQ(1, scan_pattern("-99999999999999999999", "d", nullptr, &s));
  EXPECT_GT(-2147483648ll, s);
}

}  // namespace
