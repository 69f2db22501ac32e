#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "model.h"
#include "run_capture.h"

namespace {

uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
  return a << 24 | b << 16 | c << 8 | d;
}

std::string text(uint32_t a) { return model_dotted(a); }
std::string text(model_u128 a) { return model_canonical(a); }

// Blocks or entries, each as its sign, address and prefix length.
template <typename Block>
std::string blocks_text(const std::vector<Block>& blocks) {
  std::string s;
  for (const Block& b : blocks)
    s += (b.permit ? "+" : "-") + text(b.addr) + "/" +
         std::to_string(b.prefix) + " ";
  return s;
}

TEST(Model, BlocksOfEachNotation) {
  struct row {
    const char* input;
    const char* blocks;
  } rows[] = {
      {"permit 10.0.0.0/8\n", "+10.0.0.0/8 "},
      {"10.1.2.3/8", "+10.0.0.0/8 "},
      {"deny 10.0.0.0/40\n", "-10.0.0.0/32 "},
      {"d 10.0.0.0/4294967296\n", "-10.0.0.0/32 "},
      {"10.0.0.0/-1\n", ""},
      {"10.0.0.0/-0\n", "+0.0.0.0/0 "},
      {"10.0.0.0/ +8\n", "+10.0.0.0/8 "},
      {"10.0.0.0/x\n", "+10.0.0.0/8 "},
      {"10.0.0.0/8 deny\n", "+10.0.0.0/8 "},
      {"allow 10.0.0.0/8\n", "-10.0.0.0/8 "},
      {"Yes 1.2.3.4/32\n", "+1.2.3.4/32 "},
      {"\xff 1.2.3.4/32\n", "-1.2.3.4/32 "},
      {"p-5.0.0.0/8\n", "+5.0.0.0/8 "},
      {"10. 1.2.3/32\n", "+10.1.2.3/32 "},
      {"10 .1.2.3/32\n", ""},
      {"256.0.0.0/8\n", ""},
      {"1.2.3.-4/32\n", ""},
      {"1.2.3.99999999999999999999999/32\n", ""},
      {"0.0.0.0 - 0.0.0.5\n", "+0.0.0.0/31 +0.0.0.2/31 +0.0.0.4/31 "},
      {"10.0.0.0-10.0.0.255\n", "+10.0.0.0/24 "},
      {"10.0.0.5 - 10.0.1.0\n", "+10.0.0.0/24 "},
      {"10.0.0.0 - 10.0.0.0\n", "+10.0.0.0/8 "},
      {"10.0.0.255 - 10.0.0.0\n", ""},
      {"0.0.0.0 - 255.255.255.255\n", "+0.0.0.0/0 "},
      {"255.255.255.0 - 255.255.255.255\n", "+255.255.255.0/24 "},
      {"10.0.0.0 - 10.0.0.300\n", ""},
      {"10.0.0.0 - x\n", "+10.0.0.0/8 "},
      {"10.0.0.0 0.255.255.255\n", "+10.0.0.0/8 "},
      {"10.0.0.0 255.255.255.0\n", "+10.0.0.0/24 "},
      {"10.1.2.3 0.0.0.0\n", "+10.1.2.3/32 "},
      {"10.0.0.0 127.255.255.255\n", "+0.0.0.0/1 "},
      {"1.2.3.4 255.0.255.0\n", "+1.0.0.0/8 "},
      {"1.2.3.4 0.255.0.255\n", "+1.0.0.0/8 "},
      {"0.0.0.0 0.0.0.0\n", "+0.0.0.0/0 "},
      {"0.0.0.0 255.255.255.255\n", "+0.0.0.0/0 "},
      {"1.2.3.4 255.0.0.256\n", ""},
      {"192.168.1.0\n", "+192.168.1.0/24 "},
      {"0.0.0.0\n", "+0.0.0.0/8 "},
      {"128.0.0.0\n172.16.0.0\n224.0.0.0\n10.0.1.0\n",
       "+128.0.0.0/16 +172.16.0.0/16 +224.0.0.0/32 +10.0.1.0/24 "},
      {"10.0.0.1 extra words\n", "+10.0.0.1/32 "},
      {"# 10.0.0.0/8\n\n   \n*10.0.0.0/8\n  *\n deny\n", ""},
      {"10.0.0.0/8 # 11.0.0.0/8\n", "+10.0.0.0/8 "},
      {"10.0.0.0/8\r\n\r\n11.0.0.0/8\r", "+10.0.0.0/8 +11.0.0.0/8 "},
  };
  for (const row& r : rows) {
    EXPECT_EQ(r.blocks, blocks_text(model_blocks(r.input, false))) << r.input;
  }
}

TEST(Model, NulEndsTheLineText) {
  static const char text[] = "10.0.0.0/8\n11.0.0.0\0/16\n12.0.0.0/8";
  std::string input(text, sizeof text - 1);
  EXPECT_EQ("+10.0.0.0/8 +11.0.0.0/8 +12.0.0.0/8 ",
            blocks_text(model_blocks(input, false)));
}

TEST(Model, InvertSwapsEveryLine) {
  EXPECT_EQ("-10.0.0.0/8 +11.0.0.0/8 ",
            blocks_text(model_blocks("10.0.0.0/8\nno 11.0.0.0/8\n", true)));
}

TEST(Model, BlockCountWithoutExpanding) {
  EXPECT_EQ(0u, model_block_count("", false));
  EXPECT_EQ(3u, model_block_count("0.0.0.0 - 0.0.0.5\n", false));
  EXPECT_EQ(4294967295u,
            model_block_count("0.0.0.0 - 255.255.255.254\n", false));
  EXPECT_EQ(16777215u + 1,
            model_block_count("10.0.0.1 - 10.255.255.255\n1.0.0.0/8\n", false));
}

TEST(Model, TraceOfEachNotation) {
  EXPECT_EQ(
      "+  address/prefix 10.1.2.3/8\n"
      "-  address/prefix 10.0.0.0/32\n"
      "+  address 192.168.1.0 auto prefix 24\n"
      "+  address 1.2.3.4 mask 255.0.0.0\n"
      "+  address 0.0.0.0 mask 0.0.0.0\n"
      "+  range 0.0.0.0 - 0.0.0.5 by 0x00000002\n"
      "+  range 0.0.0.0 - 255.255.255.255 by 0x00000000\n"
      "+  range 10.0.0.255 - 10.0.0.0 by 0x01000000\n"
      "-  range 128.0.0.0 - 1.255.255.255 by 0x00000001\n"
      "+  -  +  +  ",
      model_trace("10.1.2.3/8\nd 10.0.0.0/40\npermit 192.168.1.0\n"
                  "p 1.2.3.4 255.0.255.0\n0.0.0.0 0.0.0.0\n"
                  "0.0.0.0 - 0.0.0.5\n0.0.0.0-255.255.255.255\n"
                  "10.0.0.255 - 10.0.0.0\nd 128.0.0.0 - 1.255.255.255\n"
                  "\n# c\n*\n  deny\n"
                  "1.2.3.256/8\nd 10.0.0.0/-1\n1.2.3\n+ 1.2.x\n",
                  false));
}

TEST(Model, LongestPrefixDecides) {
  std::vector<model_block> inner_deny =
      model_blocks("permit 10.0.0.0/8\ndeny 10.1.2.0/24\n", false);
  EXPECT_TRUE(model_decision(inner_deny, ip(10, 0, 0, 0)));
  EXPECT_TRUE(model_decision(inner_deny, ip(10, 1, 1, 255)));
  EXPECT_FALSE(model_decision(inner_deny, ip(10, 1, 2, 0)));
  EXPECT_FALSE(model_decision(inner_deny, ip(10, 1, 2, 255)));
  EXPECT_TRUE(model_decision(inner_deny, ip(10, 1, 3, 0)));
  EXPECT_TRUE(model_decision(inner_deny, ip(10, 255, 255, 255)));
  EXPECT_FALSE(model_decision(inner_deny, ip(9, 255, 255, 255)));
  EXPECT_FALSE(model_decision(inner_deny, ip(11, 0, 0, 0)));

  // The order of nested blocks does not matter.
  std::vector<model_block> outer_last =
      model_blocks("permit 10.1.2.0/24\ndeny 0.0.0.0/0\n", false);
  EXPECT_TRUE(model_decision(outer_last, ip(10, 1, 2, 7)));
  EXPECT_FALSE(model_decision(outer_last, ip(10, 1, 3, 7)));

  std::vector<model_block> small_range =
      model_blocks("permit 0.0.0.0 - 0.0.0.5\n", false);
  for (uint32_t a = 0; a < 6; ++a) EXPECT_TRUE(model_decision(small_range, a));
  EXPECT_FALSE(model_decision(small_range, 6));
  EXPECT_FALSE(model_decision(small_range, 7));
}

TEST(Model, LaterDuplicateReplacesEarlier) {
  std::vector<model_block> b = model_blocks(
      "permit 10.0.0.0/8\ndeny 10.1.2.3/8\n192.168.0.0/16\nn 192.168.0.0/16\n"
      "d 172.16.0.0/12\np 172.16.0.0/12\n",
      false);
  EXPECT_FALSE(model_decision(b, ip(10, 0, 0, 1)));
  EXPECT_FALSE(model_decision(b, ip(192, 168, 5, 5)));
  EXPECT_TRUE(model_decision(b, ip(172, 31, 0, 0)));
  EXPECT_FALSE(model_decision(b, ip(172, 32, 0, 0)));
}

TEST(Model, WarningsOfEachLineInOrder) {
  struct row {
    const char* input;
    const char* warnings;
  } rows[] = {
      {"permit 10.0.0.0/8\ndeny 10.1.2.3/8\n10.0.0.0/8\n",
       "WARNING: 10.1.2.3/8 overwritten (+ -> -)\n"
       "WARNING: 10.0.0.0/8 overwritten (- -> +)\n"},
      {"permit 0.0.0.0/0\n", "WARNING: 0.0.0.0/0 overwritten (- -> +)\n"},
      {"deny 0.0.0.0/0\n10.0.0.0/8\n10.0.0.0/8\n", ""},
      {"d 10.0.0.0/40\n10.0.0.0/32\n",
       "WARNING: prefix /40 greater than 32\n"
       "WARNING: 10.0.0.0/32 overwritten (- -> +)\n"},
      {"10.0.0.0/4294967296\n",
       "WARNING: prefix /4294967296 greater than 32\n"},
      {"10.0.0.0/-1\n10.0.0.0/-0\n",
       "WARNING: prefix /-1 is negative, line ignored\n"
       "WARNING: 10.0.0.0/0 overwritten (- -> +)\n"},
      {"1.2.3.4 255.0.255.0\n", "WARNING: invalid mask: 255.0.255.0\n"},
      {"1.2.3.4 0.255.00.+255\n", "WARNING: invalid mask: 0.255.0.255\n"},
      {"0.0.0.0 255.255.255.255\n",
       "WARNING: mask 255.255.255.255 treated as 0 significant bits\n"
       "WARNING: 0.0.0.0/0 overwritten (- -> +)\n"},
      {" p 10.0.0.256/8 # comment\r\nx 1.2.3.4 - 1.2.3.999\n1.2.3.4 "
       "0.0.0.256\n",
       "WARNING: address out of range, line ignored:  p 10.0.0.256/8 \n"
       "WARNING: address out of range, line ignored: x 1.2.3.4 - 1.2.3.999\n"
       "WARNING: address out of range, line ignored: 1.2.3.4 0.0.0.256\n"},
      {"p 0.0.0.0 - 0.0.0.5\nd 0.0.0.2 - 0.0.0.3\nd 0.0.0.4-0.0.0.5\n",
       "WARNING: 0.0.0.2/31 overwritten (+ -> -)\n"
       "WARNING: 0.0.0.4/31 overwritten (+ -> -)\n"},
      {"p 10.0.0.0/24\nd 10.0.0.5 - 10.0.1.0\n",
       "WARNING: 10.0.0.5/24 overwritten (+ -> -)\n"},
  };
  for (const row& r : rows)
    EXPECT_EQ(r.warnings, model_warnings(r.input, false)) << r.input;
  EXPECT_EQ("WARNING: 10.0.0.0/8 overwritten (+ -> -)\n",
            model_warnings("deny 10.0.0.0/8\npermit 10.0.0.0/8\n", true));
}

std::string listing_text(const char* input, bool positive) {
  return blocks_text(model_listing(model_blocks(input, false), positive));
}

TEST(Model, ReferenceReductionByHand) {
  EXPECT_EQ("-0.0.0.0/0 ", listing_text("", false));
  EXPECT_EQ("", listing_text("", true));
  EXPECT_EQ("-0.0.0.0/0 ", listing_text("deny 10.0.0.0/8\n", false));
  EXPECT_EQ("+10.0.0.0/8 -0.0.0.0/0 ",
            listing_text("permit 10.0.0.0/8\npermit 10.1.0.0/16\n", false));
  EXPECT_EQ("+10.0.0.0/24 -0.0.0.0/0 ",
            listing_text("p 10.0.0.0/25\np 10.0.0.128/25\n", false));
  // A rotation, then a merge.
  EXPECT_EQ("+10.64.0.0/10 -0.0.0.0/0 ",
            listing_text("permit 10.0.0.0/8\npermit 10.0.0.0/9\n"
                         "deny 10.128.0.0/9\ndeny 10.0.0.0/10\n",
                         false));
  EXPECT_EQ("-0.0.0.6/31 +0.0.0.0/29 -0.0.0.0/0 ",
            listing_text("permit 0.0.0.0 - 0.0.0.5\n", false));
  EXPECT_EQ("+10.0.0.4/30 +10.0.0.8/30 -0.0.0.0/0 ",
            listing_text("10.0.0.4 - 10.0.0.11\n", false));
  EXPECT_EQ("-10.1.2.0/24 +10.0.0.0/8 -0.0.0.0/0 ",
            listing_text("permit 10.0.0.0/8\ndeny 10.1.2.0/24\n", false));
  EXPECT_EQ("+0.0.0.0/0 ", listing_text("permit 0.0.0.0 0.0.0.0\n", false));
  EXPECT_EQ("+0.0.0.0/0 ", listing_text("permit 0.0.0.0/0\n", true));
  EXPECT_EQ(
      "+10.0.0.0/16 +10.2.0.0/15 +10.4.0.0/14 +10.8.0.0/13 "
      "+10.16.0.0/12 +10.32.0.0/11 +10.64.0.0/10 +10.128.0.0/9 ",
      listing_text("permit 10.0.0.0/8\ndeny 10.1.0.0/16\n", true));
  EXPECT_EQ(
      "+0.0.0.0/5 +8.0.0.0/7 +11.0.0.0/8 +12.0.0.0/6 +16.0.0.0/4 "
      "+32.0.0.0/3 +64.0.0.0/2 +128.0.0.0/1 ",
      listing_text("permit 0.0.0.0/0\ndeny 10.0.0.0/8\n", true));
}

TEST(Model, TreeDumpsByHand) {
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
      "-----\n"
      "optimized tree:\n"
      "*  0,NO,00000000 0.0.0.0\n"
      "  \\1,,00000000 0.0.0.0\n"
      "    \\2,,00000000 0.0.0.0\n"
      "      \\3,,00000000 0.0.0.0\n"
      "          /5,,08000000 8.0.0.0\n"
      "              /7,,0a000000 10.0.0.0\n"
      "                \\8,YES,0a000000 10.0.0.0\n"
      "            \\6,,08000000 8.0.0.0\n"
      "        \\4,,00000000 0.0.0.0\n"
      "n=1 y=1 u=7\n",
      model_tree_dumps(model_blocks("permit 10.0.0.0/8\n", false)));
  // Merged and pruned down to the root.
  EXPECT_EQ(
      "raw tree:\n-----\n"
      "  /1,YES,80000000 128.0.0.0\n"
      "*  0,NO,00000000 0.0.0.0\n"
      "  \\1,YES,00000000 0.0.0.0\n"
      "n=1 y=2 u=0\n"
      "-----\noptimized tree:\n"
      "*  0,YES,00000000 0.0.0.0\n"
      "n=0 y=1 u=0\n",
      model_tree_dumps(model_blocks("0.0.0.0/1\n128.0.0.0/1\n", false)));
}

TEST(Model, ParsesPrintedLists) {
  std::vector<acl_entry> e;
  std::string error;
  ASSERT_TRUE(
      parse_entries("deny   10.1.2.0 0.0.0.255\npermit 10.0.0.0 0.255.255.255\n"
                    "deny   0.0.0.0 255.255.255.255\n",
                    "permit", "deny  ", &e, &error))
      << error;
  ASSERT_EQ(3u, e.size());
  EXPECT_FALSE(e[0].permit);
  EXPECT_EQ(ip(10, 1, 2, 0), e[0].addr);
  EXPECT_EQ(24, e[0].prefix);
  EXPECT_TRUE(e[1].permit);
  EXPECT_EQ(8, e[1].prefix);
  EXPECT_EQ(0, e[2].prefix);
  EXPECT_FALSE(first_match(e, ip(10, 1, 2, 200)));
  EXPECT_TRUE(first_match(e, ip(10, 1, 3, 0)));
  EXPECT_FALSE(first_match(e, ip(11, 0, 0, 0)));
  EXPECT_FALSE(first_match({}, 0));

  ASSERT_TRUE(
      parse_prefix_entries("10.0.0.0/8\n1.2.3.4/32\n0.0.0.0/0\n", &e, &error))
      << error;
  ASSERT_EQ(3u, e.size());
  EXPECT_TRUE(e[2].permit);
  EXPECT_EQ(32, e[1].prefix);
  EXPECT_TRUE(parse_entries("", "permit", "deny  ", &e, &error));
  EXPECT_TRUE(e.empty());

  ASSERT_TRUE(
      parse_entries("allow 10.0.0.0 0.255.255.255\n"
                    "no,really 0.0.0.0 255.255.255.255\n",
                    "allow", "no,really", &e, &error))
      << error;
  ASSERT_EQ(2u, e.size());
  EXPECT_TRUE(e[0].permit);
  EXPECT_FALSE(e[1].permit);
  EXPECT_FALSE(parse_entries("permit 10.0.0.0 0.255.255.255\n", "allow",
                             "block", &e, &error));
}

TEST(Model, RejectsMalformedEntries) {
  const char* bad[] = {
      "permit 10.0.0.0 0.255.255.255",     // no newline
      "permit 10.0.0.0 0.255.0.255\n",     // wildcard with a hole
      "permit 10.0.0.1 0.0.0.255\n",       // not aligned
      "deny 0.0.0.0 255.255.255.255\n",    // deny text is six wide
      "permit 10.0.0.0  0.255.255.255\n",  // two blanks
      "permit 10.0.0.0 0.255.255.255 \n",  // trailing blank
      "permit 010.0.0.0 0.255.255.255\n",  // leading zero
      "permit 10.0.0.256 0.0.0.0\n",       // octet out of range
      "permit 10.0.0 0.0.0.0\n",           // three octets
      "allow 10.0.0.0 0.255.255.255\n",    // unknown modifier
  };
  std::vector<acl_entry> e;
  for (const char* b : bad) {
    std::string error;
    EXPECT_FALSE(parse_entries(b, "permit", "deny  ", &e, &error)) << b;
    EXPECT_FALSE(error.empty()) << b;
  }
  const char* bad_prefix[] = {"10.0.0.0/33\n", "10.0.0.1/24\n", "10.0.0.0/8",
                              "10.0.0.0/08\n", "10.0.0.0 /8\n", "/8\n"};
  for (const char* b : bad_prefix) {
    std::string error;
    EXPECT_FALSE(parse_prefix_entries(b, &e, &error)) << b;
    EXPECT_FALSE(error.empty()) << b;
  }
}

TEST(Model, CheckerFindsAChangedEntry) {
  const std::string input =
      "permit 10.0.0.0/8\ndeny 10.1.2.0/24\npermit 0.0.0.0 - 0.0.0.5\n";
  const std::string right =
      "deny   0.0.0.6 0.0.0.1\npermit 0.0.0.0 0.0.0.7\n"
      "deny   10.1.2.0 0.0.0.255\npermit 10.0.0.0 0.255.255.255\n"
      "deny   0.0.0.0 255.255.255.255\n";
  EXPECT_EQ("", check_output(input, false, right, output_kind::MODIFIER));

  struct row {
    std::string from, to;
    uint32_t addr;
    bool input_permits;
  } changes[] = {
      {"deny   10.1.2.0 0.0.0.255", "permit 10.1.2.0 0.0.0.255",
       ip(10, 1, 2, 0), false},
      {"deny   10.1.2.0 0.0.0.255", "deny   10.1.3.0 0.0.0.255",
       ip(10, 1, 2, 0), false},
      {"deny   10.1.2.0 0.0.0.255", "deny   10.1.2.0 0.0.0.127",
       ip(10, 1, 2, 128), false},
      {"deny   0.0.0.6 0.0.0.1", "deny   0.0.0.6 0.0.0.0", ip(0, 0, 0, 7),
       false},
      {"permit 10.0.0.0 0.255.255.255", "deny   10.0.0.0 0.255.255.255",
       ip(10, 0, 0, 0), true},
      {"deny   0.0.0.0 255.255.255.255", "permit 0.0.0.0 255.255.255.255",
       ip(0, 0, 0, 8), false},
  };
  for (const row& c : changes) {
    std::string wrong = right;
    wrong.replace(wrong.find(c.from), c.from.size(), c.to);
    std::vector<acl_entry> e;
    std::string error;
    ASSERT_TRUE(parse_entries(wrong, "permit", "deny  ", &e, &error));
    meaning_difference d = compare_meanings(model_blocks(input, false), e);
    EXPECT_TRUE(d.found) << c.to;
    EXPECT_EQ(model_dotted(c.addr), model_dotted(d.addr)) << c.to;
    EXPECT_EQ(c.input_permits, d.input) << c.to;
    EXPECT_EQ(!c.input_permits, d.output) << c.to;
    EXPECT_NE("", check_output(input, false, wrong, output_kind::MODIFIER));
  }
  std::string shorter = right;
  shorter.replace(shorter.find("0.0.0.255"), 9, "0.0.0.127");
  EXPECT_EQ("at 10.1.2.128 the input denies but the list permits",
            check_output(input, false, shorter, output_kind::MODIFIER));

  // Order matters under first match: the catch-all first hides everything.
  EXPECT_EQ(
      "entry deny 0.0.0.6/31 comes after the entry around it, "
      "deny 0.0.0.0/0",
      check_output(input, false, "deny   0.0.0.0 255.255.255.255\n" + right,
                   output_kind::MODIFIER));
  EXPECT_EQ(
      "entry deny 10.1.2.0/24 repeats the decision of the entry around "
      "it, deny 10.0.0.0/8",
      check_output("deny 10.1.2.0/24\n", false,
                   "deny   10.1.2.0 0.0.0.255\n"
                   "deny   10.0.0.0 0.255.255.255\n"
                   "deny   0.0.0.0 255.255.255.255\n",
                   output_kind::MODIFIER));
  EXPECT_EQ("list does not end with the whole address space",
            check_output("", false, "", output_kind::MODIFIER));
}

TEST(Model, CheckerOfPositiveLists) {
  const std::string input = "permit 10.0.0.0/8\ndeny 10.1.0.0/16\n";
  std::string right;
  for (int p = 16; p >= 9; --p)
    right +=
        model_dotted(p == 16 ? ip(10, 0, 0, 0) : ip(10, 1u << (16 - p), 0, 0)) +
        "/" + std::to_string(p) + "\n";
  EXPECT_EQ("",
            check_output(input, false, right, output_kind::POSITIVE_PREFIX));
  EXPECT_EQ(
      "at 10.1.0.0 the input denies but the list permits",
      check_output(input, false, "10.0.0.0/8\n", output_kind::POSITIVE_PREFIX));
  EXPECT_EQ(
      "positive list has overlapping entries: permit 10.0.0.0/8 and "
      "permit 10.0.0.0/16",
      check_output(input, false, right + "10.0.0.0/8\n",
                   output_kind::POSITIVE_PREFIX));
  EXPECT_EQ("positive list has a deny entry: deny 10.1.0.0/16",
            check_output(input, false,
                         "deny   10.1.0.0 0.0.255.255\n"
                         "permit 10.0.0.0 0.255.255.255\n",
                         output_kind::POSITIVE_MODIFIER));
  EXPECT_EQ("", check_output("", false, "", output_kind::POSITIVE_MODIFIER));
  EXPECT_EQ("at 0.0.0.0 the input denies but the list permits",
            check_output("", false, "permit 0.0.0.0 0.0.0.0\n",
                         output_kind::POSITIVE_MODIFIER));
}

model_u128 ip6(const std::string& text) {
  model_u128 a = 0;
  EXPECT_TRUE(model_pton6(text, &a)) << text;
  return a;
}

const std::string TOP = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";

TEST(Model, Ipv6BlocksOfEachNotation) {
  struct row {
    std::string input;
    const char* blocks;
  } rows[] = {
      {"permit 2001:db8::/32\n2001:db8::1/32",
       "+2001:db8::/32 +2001:db8::/32 "},
      {"deny fe80::/10\n-::1\ndeny-all ::1\n", "-fe80::/10 -::1/128 -::1/128 "},
      {"permit\t2001:db8::/32\n", "+2001:db8::/32 "},
      {"d::1\n", "+d::1/128 "},  // "d::1" is an address, not a modifier
      {"\xff ::/ +8 office\n", "-::/8 "},
      {"::/200\n::/99999999999999999999\n", "+::/128 +::/128 "},
      {"::/-0\n::/-1\n", "+::/0 "},
      {"10.0.0.0/8\ndeny 10.0.0.0/8\n  \t\n10.1.2.3 ::1\n1 - ::1\n", ""},
      {"::ffff:10.1.2.3\n", "+::ffff:a01:203/128 "},
      {"2001:db8::1g\n2001:dg8::/32\n::_\n1:2:3:4:5:6:7:8:9\n::/\n::/x\n", ""},
      {"::1 - ::6\n", "+::1/128 +::2/127 +::4/127 +::6/128 "},
      {"::-::\n", "+::/128 "},
      {"2001:db8::\t-\t2001:db8::ffff\n", "+2001:db8::/112 "},
      {":: - " + TOP + "\n", "+::/0 "},
      {"::5 - ::4\n::1 -\n::1 - x\n::1 - ::2g\n", ""},
      {"2001:db8:: ffff:ffff::\n", "+2001:db8::/32 "},
      {"2001:db8::\t::ffff:ffff:ffff:ffff:ffff:ffff\n", "+2001:db8::/32 "},
      {"2001:db8::1 ::\n", "+2001:db8::1/128 "},
      {":: ::\n:: " + TOP + "\n", "+::/0 +::/0 "},
      {"::1 2001:db8::2\n::1 ffff::g\n", ""},
      {"::1 deadbeef\n::2 office\n", "+::1/128 +::2/128 "},
      {"# ::1\n*::1\n ::2 # ::3\n", "+::2/128 "}};
  for (const row& r : rows)
    EXPECT_EQ(r.blocks, blocks_text(model_blocks6(r.input, false))) << r.input;
  EXPECT_EQ("-::1/128 +::2/128 ",
            blocks_text(model_blocks6("::1\nno ::2\n", true)));

  // The longest cover: a block of each length on either side of 8000::.
  const std::string range = "::1 - " + TOP.substr(0, 38) + "e\n";
  std::vector<model_block6> b = model_blocks6(range, false);
  EXPECT_EQ(254u, model_block_count6(range + "10.0.0.0/8\n", false));
  ASSERT_EQ(254u, b.size());
  EXPECT_EQ("+4000::/2 +8000::/2 ",
            blocks_text(std::vector<model_block6>(&b[126], &b[128])));
  EXPECT_FALSE(model_decision(b, ip6(TOP)));
}

TEST(Model, Ipv6WarningsOfEachRow) {
  const std::string invalid = "WARNING: invalid IPv6 block, line ignored: ";
  struct row {
    std::string input, warnings;
  } rows[] = {
      {"2001:db8::1g\n", invalid + "2001:db8::1g\n"},
      {" p 2001:db8::/ # x\r\n::1 -\n::1 ffff::g\n",
       invalid + " p 2001:db8::/ \n" + invalid + "::1 -\n" + invalid +
           "::1 ffff::g\n"},
      {"::1 2001:db8::2\n",
       "WARNING: invalid mask, line ignored: ::1 2001:db8::2\n"},
      {"::5-::4\n", "WARNING: range end below start, line ignored: ::5-::4\n"},
      {"::1/200\n", "WARNING: prefix /200 greater than 128\n"},
      {"::/-1\n::/-99999999999999999999\n",
       "WARNING: prefix /-1 is negative, line ignored\n"
       "WARNING: prefix /-9223372036854775807 is negative, line ignored\n"},
      {":: FFFF:" + TOP.substr(5) + "\n:: 0:0::0\n",
       "WARNING: mask " + TOP +
           " treated as 0 significant bits\n"
           "WARNING: ::/0 overwritten (- -> +)\n"
           "WARNING: mask :: treated as 0 significant bits\n"},
      {"2001:db8::/32\nd 2001:DB8:0::1/32\n",
       "WARNING: 2001:db8::1/32 overwritten (+ -> -)\n"},
      {"::2/127\nd ::1 - ::3\n", "WARNING: ::2/127 overwritten (+ -> -)\n"},
      {"deny ::/0\n10.0.0.0/40\n::1\n::1\n", ""}};
  for (const row& r : rows)
    EXPECT_EQ(r.warnings, model_warnings6(r.input, false)) << r.input;
}

TEST(Model, Ipv6TraceOfEachNotation) {
  EXPECT_EQ(
      "+  address/prefix 2001:db8::1/32\n"
      "-  address/prefix ::/128\n"
      "+  range ::1 - ::6, blocks: 4\n"
      "+  range :: - " +
          TOP +
          ", blocks: 1\n"
          "+  address 2001:db8::1 mask ffff:ffff::\n"
          "+  address :: mask ::\n"
          "-  address 2001:db8::1 prefix 128\n"
          "+  -  +  +  ",
      model_trace6("permit 2001:db8::1/32\nd ::/200\n::1 - ::6\n:: - " + TOP +
                       "\n2001:db8::1 ::ffff:ffff:ffff:ffff:ffff:ffff\n"
                       ":: ::\nn 2001:DB8::1 office\n10.0.0.0/8\n"
                       "deny 10.0.0.0/8\n+ 2001:db8::1g\n- ::/-1\n::5-::4\n"
                       "::1 ::2\n",
                   false));
}

TEST(Model, CanonicalText) {
  const char* rows[][2] = {
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"::ffff:10.1.2.3", "::ffff:a01:203"},
      {"0:0:0:0:0:0:0:0", "::"},
      {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},
      {"0:0:1::", "0:0:1::"},
      {"1::", "1::"},
      {"::1", "::1"}};
  for (const auto& r : rows) EXPECT_EQ(r[1], model_canonical(ip6(r[0])));
}

TEST(Model, Ipv6ExamplesAndTreeDumps) {
  const std::string input =
      "permit 2001:db8::/32\n"
      "deny   2001:db8:dead::/48   # lab\n"
      "10.0.0.0/8                  # IPv4: not read in this mode\n";
  EXPECT_EQ("-2001:db8:dead::/48 +2001:db8::/32 -::/0 ",
            blocks_text(model_listing(model_blocks6(input, false), false)));
  EXPECT_EQ("", check_output6(input, false,
                              "deny   2001:db8:dead::/48\n"
                              "permit 2001:db8::/32\ndeny   ::/0\n",
                              output_kind::MODIFIER));
  EXPECT_EQ(
      "+  address/prefix 2001:db8::/32\n-  address/prefix 2001:db8:dead::/48\n",
      model_trace6(input, false));
  EXPECT_EQ(
      "+2001:db8::/32 ",
      blocks_text(model_listing(model_blocks6("2001:db8::/32", false), true)));
  const std::string zero(32, '0');
  EXPECT_EQ("raw tree:\n-----\n  /1,YES,8" + zero.substr(1) + " 8000::\n" +
                "*  0,NO," + zero + " ::\n  \\1,YES," + zero +
                " ::\nn=1 y=2 u=0\n-----\noptimized tree:\n*  0,YES," + zero +
                " ::\nn=0 y=1 u=0\n",
            model_tree_dumps(model_blocks6("::/1\n8000::/1\n", false)));
  EXPECT_NE(std::string::npos, model_tree_dumps(model_blocks6("::1", false))
                                   .find(std::string(256, ' ') + "/128,YES," +
                                         zero.substr(1) + "1 ::1\n"));
}

TEST(Model, Ipv6ParsesAndRejectsPrintedLists) {
  std::vector<acl_entry6> e;
  std::string error;
  ASSERT_TRUE(
      parse_entries6("deny   2001:db8::1/128\npermit ::/1\ndeny   ::/0\n",
                     "permit", "deny  ", &e, &error))
      << error;
  EXPECT_EQ("-2001:db8::1/128 +::/1 -::/0 ", blocks_text(e));
  EXPECT_TRUE(first_match(e, ip6("2001:db8::2")));
  ASSERT_TRUE(parse_prefix_entries6(TOP + "/128\n::/0\n", &e, &error));
  EXPECT_EQ("+" + TOP + "/128 +::/0 ", blocks_text(e));
  EXPECT_FALSE(parse_prefix_entries6("::/0", &e, &error));  // no newline
  for (std::string b : {"2001:DB8::/32", "2001:db8:0::/32", "2001:0db8::/32",
                        "::ffff:1.2.3.4/128", "::1/64", "::/129", "::/08",
                        "::/-0", " ::/0", "::/0 ", "::"}) {
    EXPECT_FALSE(
        parse_entries6("permit " + b + "\n", "permit", "deny  ", &e, &error))
        << b;
    EXPECT_FALSE(parse_prefix_entries6(b + "\n", &e, &error)) << b;
  }
}

TEST(Model, Ipv6CheckerFindsAChangedEntry) {
  const std::string top_pair = TOP.substr(0, 38) + "e";
  const std::string input = "permit 2001:db8::/32\ndeny 2001:db8:dead::/48\n" +
                            top_pair + " - " + TOP + "\n";
  const std::string right =
      "deny   2001:db8:dead::/48\npermit 2001:db8::/32\n"
      "permit " +
      top_pair + "/127\ndeny   ::/0\n";
  EXPECT_EQ("", check_output6(input, false, right, output_kind::MODIFIER));
  const std::string changes[][3] = {
      {"::/48", "::/49", "2001:db8:dead:8000:: the input denies"},
      {"::/32", "::/31", "2001:db9:: the input denies"},
      {"e/127", "e/128", TOP + " the input permits"}};
  for (const auto& c : changes) {
    std::string wrong = right;
    wrong.replace(wrong.find(c[0]), c[0].size(), c[1]);
    std::string fault =
        check_output6(input, false, wrong, output_kind::MODIFIER);
    EXPECT_EQ("at " + c[2], fault.substr(0, fault.find(" but"))) << c[1];
  }
  const std::string half = "2001:db8::/32\nd 2001:db8::/33\n";
  EXPECT_EQ("at 2001:db8:: the input denies but the list permits",
            check_output6(half, false, "2001:db8::/32\n",
                          output_kind::POSITIVE_PREFIX));
  EXPECT_EQ(
      "positive list has a deny entry: deny 2001:db8::/33",
      check_output6(half, false, "deny   2001:db8::/33\npermit 2001:db8::/32\n",
                    output_kind::POSITIVE_MODIFIER));
}

// Random input lists. Addresses come mostly from a few small regions so
// that blocks nest, overlap, repeat and sit next to each other, which is
// what makes the optimizer rotate, merge and prune along deep paths.
class list_generator {
 public:
  explicit list_generator(uint64_t seed) : rng_(seed) {
    int regions = 1 + below(4);
    for (int k = 0; k < regions; ++k) {
      int width = 2 + below(19);  // the region spans 2^width addresses
      uint32_t base = random_address();
      if (chance(8)) base = 0;
      if (chance(8)) base = 0xffffffffu;
      base &= ~uint32_t((uint64_t(1) << width) - 1);
      regions_.push_back({base, width});
    }
  }

  std::string list() {
    std::string text;
    int lines = 1 + below(chance(4) ? 60 : 16);
    for (int k = 0; k < lines; ++k) {
      // Ranges can name millions of blocks; keep the lists small. The
      // whole line counts: a modifier can turn "-1.2.3.4" into 1.2.3.4.
      std::string l = line();
      while (model_block_count(l, false) > 128) l = line();
      text += l;
    }
    return text;
  }

 private:
  struct region {
    uint32_t base;
    int width;
  };

  int below(int n) { return int(rng_() % uint64_t(n)); }
  bool chance(int one_in) { return below(one_in) == 0; }
  uint32_t random_address() { return uint32_t(rng_()); }
  template <typename T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(int(N))];
  }

  uint32_t address() {
    if (chance(10)) return random_address();
    const region& r = regions_[below(int(regions_.size()))];
    return r.base + uint32_t(rng_() & ((uint64_t(1) << r.width) - 1));
  }

  // Prefix lengths cluster around the regions' sizes but reach 0 to 32.
  int prefix_length() {
    if (chance(4)) return below(33);
    const region& r = regions_[below(int(regions_.size()))];
    return 32 - r.width + below(r.width + 1);
  }

  static uint32_t mask_of(int prefix) {
    return prefix == 0 ? 0 : uint32_t(0xffffffffu << (32 - prefix));
  }

  std::string number(uint32_t n) {
    if (chance(40)) return "0" + std::to_string(n);  // still decimal
    if (chance(80)) return "+" + std::to_string(n);
    return std::to_string(n);
  }

  std::string quad(uint32_t a) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
      if (shift < 24) s += chance(100) ? ". " : ".";
      s += number(a >> shift & 255);
    }
    // Now and then one number is out of range, which ignores the line.
    if (chance(60)) s += pick({"0", "9", "00"});
    if (chance(120)) s = "-1." + s.substr(s.find('.') + 1);
    return s;
  }

  std::string blank() { return pick({" ", " ", " ", "\t", "  ", " \t "}); }

  std::string prefix_line() {
    if (chance(30))
      return pick({"0.0.0.0/0", "0.0.0.0 0.0.0.0", "0.0.0.0 255.255.255.255",
                   "0.0.0.0 - 255.255.255.255", "0.0.0.0/00"});
    uint32_t a = address();
    int p = prefix_length();
    if (!chance(3)) a &= mask_of(p);  // else only the top bits count
    std::string length = std::to_string(p);
    if (chance(40))
      length = pick({"33", "40", "4294967296", "-1", "-0", "+8", " 24",
                     "99999999999999999999"});
    return quad(a) + "/" + length;
  }

  std::string range_line() {
    uint32_t start = address();
    uint64_t end = start;
    switch (below(5)) {
      case 0: {  // a whole number of aligned blocks
        int k = below(17);
        start &= mask_of(32 - k);
        end = uint64_t(start) + (uint64_t(1) << k) - 1;
        break;
      }
      case 1:  // a few addresses
        end = uint64_t(start) + below(300);
        break;
      case 2:  // an end whose automatic prefix gives large blocks
        end = (uint64_t(start) & 0xff000000u) + (uint64_t(below(4)) << 24);
        if (chance(2)) end += uint64_t(below(256)) << 16;
        break;
      case 3:  // empty: end below start
        end = uint64_t(start) - (start > 0 ? 1 + below(1000) % start : 0);
        break;
      default:  // start equals end
        break;
    }
    if (end > 0xffffffffu) end = 0xffffffffu;
    std::string dash = pick({" - ", "-", " -", "- ", "\t-\t"});
    return quad(start) + dash + quad(uint32_t(end));
  }

  std::string mask_line() {
    uint32_t a = address();
    int p = prefix_length();
    uint32_t mask = mask_of(p);
    if (chance(2)) mask = ~mask;                      // wildcard bits
    if (chance(8)) mask ^= uint32_t(1) << below(32);  // maybe not contiguous
    if (chance(3)) a &= mask_of(p);
    return quad(a) + blank() + quad(mask);
  }

  std::string address_line() {
    uint32_t a = address();
    switch (below(5)) {
      case 0:
        a &= 0xff000000u;
        break;
      case 1:
        a &= 0xffff0000u;
        break;
      case 2:
        a &= 0xffffff00u;
        break;
    }
    return quad(a);
  }

  std::string line() {
    switch (below(24)) {
      case 0:
        return "\n";
      case 1:
        return "# " + prefix_line() + "\n";
      case 2:
        return pick({"   \n", " # only a comment\n", "permit\n", "deny # x\n",
                     "\r\n", "garbage\n", "10.0.0\n", "1.2.3.4/\n"});
      case 3:
        return "*\n";  // prints a dump before the entries
      case 4:
        return " *" + prefix_line() + "\n";  // '*' as a modifier: deny
    }
    std::string modifier =
        pick({"",   "",    "",       "permit ", "deny ", "deny\t", "p",
              "P ", "Y ",  "yes ",   "+",       "-",     "! ",     "n ",
              "N ", "no ", "allow ", "d",       "\xff ", "pass ",  "x-"});
    std::string body;
    switch (below(7)) {
      case 0:
      case 1:
        body = prefix_line();
        break;
      case 2:
      case 3:
        body = range_line();
        break;
      case 4:
      case 5:
        body = mask_line();
        break;
      default:
        body = address_line();
    }
    std::string indent = chance(6) ? blank() : "";
    if (chance(100)) indent = std::string(300, ' ');
    // Long tails: a line is read whole, however long, so a notation past
    // the 254th byte is neither an entry of its own nor lost.
    const std::string tails[] = {"",
                                 "",
                                 "",
                                 "",
                                 " # note",
                                 " office",
                                 "#1.2.3.4/32",
                                 "\r",
                                 " \r",
                                 std::string(1, '\0') + "1.2.3.4/32",
                                 " #" + std::string(300, 'x') + " 1.2.3.4/32",
                                 std::string(300, ' ') + "1.2.3.4/32"};
    std::string tail = pick(tails);
    return indent + modifier + body + tail + "\n";
  }

  std::mt19937_64 rng_;
  std::vector<region> regions_;
};

// Lines of odd tokens in the shape of the notations: numbers of every size
// and sign, blanks and separators where the notations have them or
// nearly, modifiers, comments, dumps, NULs and CRs. Many lines match only
// part of a notation, which is where a parser that reads a notation
// differently shows.
std::string token_soup(uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto below = [&](int n) { return int(rng() % uint64_t(n)); };
  auto one_of = [&](std::initializer_list<const char*> items) {
    return std::string(items.begin()[below(int(items.size()))]);
  };
  auto num = [&]() {
    if (below(3)) return std::to_string(below(below(2) ? 256 : 8));
    return one_of({"0",
                   "00",
                   "007",
                   "255",
                   "256",
                   "-0",
                   "+0",
                   "-1",
                   "+7",
                   " 1",
                   "\t2",
                   "4294967296",
                   "4294967297",
                   "18446744073709551615",
                   "18446744073709551616",
                   "99999999999999999999999",
                   "",
                   "-",
                   "+",
                   "x"});
  };
  auto quad = [&]() {
    std::string q = num();
    for (int k = 0; k < 3; ++k)
      q += (below(30) ? "." : one_of({"", "..", ",", " ."})) + num();
    return q;
  };
  std::string text;
  int lines = 1 + below(12);
  for (int k = 0; k < lines; ++k) {
    std::string line = one_of({"", "", "", "p ", "d ", "-", "+", "n", " ", "*",
                               "#", "\t", "y-", "!"});
    line += quad();
    switch (below(5)) {
      case 0:
        line += one_of({"/", "/", "/ ", "/-", "/+", "//"}) + num();
        break;
      case 1:
        line +=
            one_of({" - ", "-", " -", "- ", "--", " -- ", " ", "\t-"}) + quad();
        break;
      case 2:
        line += one_of({" ", "\t", "  ", ""}) + quad();
        break;
      case 3:
        break;
      default:
        line += num();
    }
    line += one_of({"", "", "", " x", "#", "\r", " /8", "@", "\r\r", ".5"});
    if (below(20) == 0) line = "@" + line;
    for (char& c : line)
      if (c == '@') c = '\0';
    text += line + "\n";
  }
  return text;
}

// Lists of a few hundred thousand blocks: big ranges of single addresses
// interleaved with lines that give some of the same blocks, or blocks
// around them, the other state. A program that inserts in batches must
// keep the order of the lines (and of their warnings) across batches.
std::string big_list(uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto below = [&](uint32_t n) { return uint32_t(rng() % n); };
  const uint32_t bases[] = {0x0a000000u, 0xc0a80000u, 0u, 0xfff00000u};
  const uint32_t base = bases[below(4)];
  const char* modifiers[] = {"p ", "d ", "", "n "};
  std::string text;
  int lines = 3 + int(below(10));
  for (int k = 0; k < lines; ++k) {
    text += modifiers[below(4)];
    uint32_t a = base + below(1u << 19);
    if (k == 0) {  // one range of some 300,000 blocks in every list
      uint64_t end = std::min<uint64_t>(a + 270000 + below(30000), UINT32_MAX);
      if ((end & 0xff) == 0) ++end;
      text += model_dotted(a) + " - " + model_dotted(uint32_t(end)) + "\n";
      continue;
    }
    switch (below(4)) {
      case 0: {
        uint64_t end = std::min<uint64_t>(a + 1000 + below(20000), UINT32_MAX);
        if ((end & 0xff) == 0) ++end;  // single addresses, not /24s
        text += model_dotted(a) + " - " + model_dotted(uint32_t(end));
        break;
      }
      case 1:
        text += model_dotted(a) + " - " + model_dotted(a + below(600));
        break;
      default:
        text += model_dotted(a) + "/" + std::to_string(20 + below(13));
    }
    text += "\n";
  }
  return text;
}

// Random IPv6 lists in the same spirit: blocks from a few regions, every
// notation, addresses in many texts (compressed or not, upper case, leading
// zeros, dotted tails) and now and then one that is no address, among
// IPv4 lines, comments and dump requests.
std::string ipv6_list(uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto below = [&](int n) { return int(rng() % uint64_t(n)); };
  auto one_of = [&](std::initializer_list<const char*> items) {
    return std::string(items.begin()[below(int(items.size()))]);
  };
  auto random128 = [&]() { return model_u128(rng()) << 64 | rng(); };
  auto mask_of = [](int p) {
    return p == 0 ? model_u128(0) : ~model_u128(0) << (128 - p);
  };
  std::vector<std::pair<model_u128, int>> regions;
  for (int k = 1 + below(3); k > 0; --k) {
    int width = 2 + below(below(2) ? 24 : 127);
    model_u128 base = below(8) ? random128() : below(2) ? 0 : ~model_u128(0);
    regions.push_back({base & mask_of(128 - width), width});
  }
  auto address = [&]() {
    if (below(10) == 0) return random128();
    auto& r = regions[size_t(below(int(regions.size())))];
    return r.first + (random128() & ~mask_of(128 - r.second));
  };
  auto length = [&]() {
    auto& r = regions[size_t(below(int(regions.size())))];
    return below(4) ? 128 - r.second + below(r.second + 1) : below(129);
  };
  auto text = [&](model_u128 a) {
    std::string t = model_canonical(a);
    switch (below(12)) {
      case 0: {  // every group in four digits, upper case
        char buf[48];
        snprintf(buf, sizeof buf, "%04X:%04X:%04X:%04X:%04X:%04X:%04X:%04X",
                 unsigned(a >> 112 & 0xffff), unsigned(a >> 96 & 0xffff),
                 unsigned(a >> 80 & 0xffff), unsigned(a >> 64 & 0xffff),
                 unsigned(a >> 48 & 0xffff), unsigned(a >> 32 & 0xffff),
                 unsigned(a >> 16 & 0xffff), unsigned(a & 0xffff));
        return std::string(buf);
      }
      case 1:  // the low 32 bits as a dotted quad
        if (t.size() > 10 && t.find('.') == std::string::npos &&
            (a >> 32) != 0) {
          std::string head = model_canonical(a & ~model_u128(0xffffffff));
          if (head.size() > 2 && head.compare(head.size() - 2, 2, "::") == 0)
            return head + model_dotted(uint32_t(a));
        }
        return t;
      case 2:
        return one_of({"1:2:3:4:5:6:7:8:9", "12345::", "1::2::3", "::g",
                       "2001:db8::1g", ":1::", "::1.2.3.256"});
    }
    return t;
  };
  std::string list;
  for (int lines = 1 + below(below(4) ? 16 : 50); lines > 0; --lines) {
    std::string l;
    switch (below(14)) {
      case 0:
        list += one_of({"\n", "# 2001:db8::/32\n", "*\n", "10.0.0.0/8\n",
                        "permit 10.1.0.0/16\n", "permit\n", "deny any\n",
                        "  ::/0\n", "::ffff:10.1.2.3\n", "\xef\xbb\xbf::1\n"});
        continue;
      case 1:
      case 2:
      case 3: {
        model_u128 a = address();
        int p = length();
        if (below(3)) a &= mask_of(p);
        l = text(a) + "/" +
            (below(30) ? std::to_string(p)
                       : one_of({"129", "-1", "-0", "", " 64", "+48",
                                 "999999999999999999999"}));
        break;
      }
      case 4:
      case 5:
      case 6: {
        model_u128 a = address(), b = a;
        switch (below(4)) {
          case 0: {
            int p = length();
            a &= mask_of(p);
            b = a | ~mask_of(p);
            break;
          }
          case 1:
            b = a + model_u128(below(300));
            break;
          case 2:
            b = address();
            break;
        }
        if (b < a && below(2)) std::swap(a, b);
        l = text(a) + one_of({" - ", "-", "\t- ", " -"}) + text(b);
        break;
      }
      case 7:
      case 8: {
        int p = length();
        model_u128 mask = mask_of(p);
        if (below(2)) mask = ~mask;
        if (below(8) == 0) mask ^= model_u128(1) << below(128);
        model_u128 a = below(10) ? address() : 0;
        l = text(a) + one_of({" ", "\t", "  "}) + text(mask);
        break;
      }
      default:
        l = text(address());
    }
    std::string modifier = one_of({"", "", "", "permit ", "deny ", "-", "+",
                                   "d", "P\t", "deny-all ", "no ", "allow "});
    std::string tail =
        one_of({"", "", "", " # note", " office", "\r", "/x", "g"});
    list += modifier + l + tail + "\n";
  }
  return list;
}

// The ways a list is run and printed.
enum class mode { DEFAULT, POSITIVE, PREFIX_FORMAT, OPTIMAL, TRACE, DUMPS };

const char* mode_name(mode m) {
  switch (m) {
    case mode::DEFAULT:
      return "default";
    case mode::POSITIVE:
      return "-p";
    case mode::OPTIMAL:
      return "--optimal";
    case mode::TRACE:
      return "-t 1";
    case mode::DUMPS:
      return "-t 6";
    default:
      return "-f %a/%p";
  }
}

output_kind kind_of(mode m) {
  switch (m) {
    case mode::DEFAULT:
    case mode::OPTIMAL:
    case mode::TRACE:
    case mode::DUMPS:
      return output_kind::MODIFIER;
    case mode::POSITIVE:
      return output_kind::POSITIVE_MODIFIER;
    default:
      return output_kind::POSITIVE_PREFIX;
  }
}

// A "*" line dumps the tree before the entries. Dump lines begin with
// their mark column, a blank or "*"; entries here begin with a modifier
// text or a digit.
std::string without_dumps(const std::string& out) {
  size_t begin = 0;
  while (begin < out.size() && (out[begin] == ' ' || out[begin] == '*')) {
    size_t end = out.find('\n', begin);
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  return out.substr(begin);
}

// The input without its "*" lines, whose dumps would interleave with
// the trace.
std::string without_dump_requests(const std::string& input) {
  std::string kept;
  for (size_t begin = 0; begin < input.size();) {
    size_t end = input.find('\n', begin);
    end = end == std::string::npos ? input.size() : end + 1;
    if (input[begin] != '*') kept += input.substr(begin, end - begin);
    begin = end;
  }
  return kept;
}

const char FORMAT_WARNING[] =
    "WARNING: No %m (modifier) in format string. Option -p assumed\n";

captured run_in_process(const std::string& input, bool invert, bool silent,
                        mode m, int family = 4) {
  run_settings s;
  s.family = family;
  s.invert = invert;
  s.silent = silent;
  if (m == mode::POSITIVE) s.positive = 1;
  if (m == mode::PREFIX_FORMAT) s.format = "%a/%p";
  if (m == mode::OPTIMAL) s.optimal = 1;
  if (m == mode::TRACE) s.trace = 1;
  if (m == mode::DUMPS) s.trace = 2 | 4;
  return run_list(input, s);
}

template <typename Entry>
std::string describe(const Entry& e) {
  return std::string(e.permit ? "permit " : "deny ") + model_text(e.addr) +
         "/" + std::to_string(e.prefix);
}

// The printed entries, one by one, against the reference reduction.
template <typename M>
std::string differs_from_reference(const std::string& input, bool invert,
                                   mode m, const std::string& printed,
                                   const std::string& permit_text,
                                   const std::string& deny_text) {
  std::vector<typename M::entry> actual;
  std::string error;
  M::parse(printed, m == mode::PREFIX_FORMAT, permit_text, deny_text, &actual,
           &error);
  std::vector<typename M::entry> expected =
      model_listing(M::blocks(input, invert),
                    m == mode::POSITIVE || m == mode::PREFIX_FORMAT);
  for (size_t k = 0; k < std::max(actual.size(), expected.size()); ++k) {
    std::string want = k < expected.size() ? describe(expected[k]) : "nothing";
    std::string got = k < actual.size() ? describe(actual[k]) : "nothing";
    if (want != got)
      return "entry " + std::to_string(k + 1) + " is " + got +
             " where the reference reduction gives " + want + " (" +
             std::to_string(expected.size()) + " entries)";
  }
  return "";
}

// Checks one run's result; returns a description of the first fault.
template <typename M = model_ipv4>
std::string check_run(const std::string& input, bool invert, bool silent,
                      mode m, const captured& r,
                      const std::string& permit_text = "permit",
                      const std::string& deny_text = "deny  ") {
  if (r.status != 0) return "exit status " + std::to_string(r.status);
  if (silent && !r.err.empty()) return "-s run wrote: " + r.err;
  if (!silent) {
    std::string expected = m == mode::PREFIX_FORMAT ? FORMAT_WARNING : "";
    expected += M::warnings(input, invert);
    if (r.err != expected)
      return "warnings differ; expected:\n" + expected + "actual:\n" + r.err;
  }
  std::string entries = without_dumps(r.out);
  if (m == mode::TRACE) {
    std::string trace = M::trace(input, invert);
    if (r.out.compare(0, trace.size(), trace) != 0)
      return "trace differs; expected:\n" + trace + "actual:\n" + r.out;
    entries = r.out.substr(trace.size());
  }
  if (m == mode::DUMPS) {
    std::string dumps = model_tree_dumps(M::blocks(input, invert));
    if (r.out.compare(0, dumps.size(), dumps) != 0)
      return "tree dumps differ; expected:\n" + dumps + "actual:\n" + r.out;
    entries = r.out.substr(dumps.size());
  }
  std::string fault =
      M::check(input, invert, entries, kind_of(m), permit_text, deny_text);
  if (!fault.empty()) return fault;
  if (m != mode::OPTIMAL)
    return differs_from_reference<M>(input, invert, m, entries, permit_text,
                                     deny_text);
  std::string usual = without_dumps(
      run_in_process(input, invert, 1, mode::DEFAULT, M::family).out);
  std::string shortest = without_dumps(r.out);
  auto lines = [](const std::string& t) {
    return std::count(t.begin(), t.end(), '\n');
  };
  if (lines(shortest) > lines(usual))
    return "--optimal printed more entries than the default:\n" + usual;
  return "";
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size() - 1;
    lines.push_back(text.substr(begin, end + 1 - begin));
    begin = end + 1;
  }
  return lines;
}

// Drops lines one at a time while the fault still shows.
template <typename Fails>
std::string shrink(const std::string& input, Fails fails) {
  std::vector<std::string> lines = split_lines(input);
  for (bool dropped = true; dropped;) {
    dropped = false;
    for (size_t k = 0; k < lines.size(); ++k) {
      std::vector<std::string> fewer = lines;
      fewer.erase(fewer.begin() + long(k));
      std::string text;
      for (const std::string& l : fewer) text += l;
      if (fails(text)) {
        lines = fewer;
        dropped = true;
        --k;
      }
    }
  }
  std::string text;
  for (const std::string& l : lines) text += l;
  return text;
}

// The input as C string literals, one line each, to paste into a test.
std::string as_literal(const std::string& text) {
  std::string q = "\"";
  for (size_t k = 0; k < text.size(); ++k) {
    unsigned char c = (unsigned char)text[k];
    if (c == '\n') {
      q += "\\n\"\n";
      if (k + 1 < text.size()) q += "\"";
      continue;
    }
    if (c == '\\' || c == '"') {
      q += '\\';
      q += char(c);
    } else if (c < 32 || c > 126) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x\"\"", c);
      q += buf;
    } else {
      q += char(c);
    }
  }
  if (text.empty() || text.back() != '\n') q += "\"\n";
  return q;
}

uint64_t base_seed() {
  const char* s = getenv("TENVIK_PROPERTY_SEED");
  return s ? strtoull(s, nullptr, 10) : 20240611;
}

// Sanitizer builds run several times slower: they check fewer inputs.
#if defined(__SANITIZE_ADDRESS__)
#define TENVIK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TENVIK_SANITIZED 1
#endif
#endif
#ifdef TENVIK_SANITIZED
const int INPUT_SCALE = 1;
const int BINARY_RUNS = 80;
#else
const int INPUT_SCALE = 3;
const int BINARY_RUNS = 200;
#endif

int input_count(int sanitized) {
  const char* s = getenv("TENVIK_PROPERTY_COUNT");
  return s ? atoi(s) : sanitized * INPUT_SCALE;
}

std::string generated_list(uint64_t seed) {
  return list_generator(seed).list();
}

// Runs `count` random lists in one mode through the library in this
// process; stops at the first fault, with its seed and a shrunk input.
template <typename M = model_ipv4>
void check_in_process(mode m, uint64_t salt, int count,
                      std::string (*make_input)(uint64_t) = generated_list) {
  for (int k = 0; k < count; ++k) {
    uint64_t seed = base_seed() * 1000003 + salt * 100000 + uint64_t(k);
    std::string input = make_input(seed);
    if (m == mode::TRACE || m == mode::DUMPS)
      input = without_dump_requests(input);
    if (make_input != big_list && M::block_count(input, false) > 5000) continue;
    bool invert = seed % 4 == 0;
    bool silent = seed % 5 == 0;
    captured r = run_in_process(input, invert, silent, m, M::family);
    std::string fault = check_run<M>(input, invert, silent, m, r);
    if (fault.empty()) continue;
    auto fails = [&](const std::string& text) {
      return !check_run<M>(text, invert, silent, m,
                           run_in_process(text, invert, silent, m, M::family))
                  .empty();
    };
    std::string small = shrink(input, fails);
    captured rs = run_in_process(small, invert, silent, m, M::family);
    ADD_FAILURE() << (M::family == 6 ? "--ipv6 " : "") << "mode "
                  << mode_name(m) << (invert ? " -i" : "")
                  << (silent ? " -s" : "") << ", input " << k << " of seed "
                  << base_seed() << " (set TENVIK_PROPERTY_SEED to change it)\n"
                  << "fault: " << fault << "\nshrunk input:\n"
                  << as_literal(small)
                  << "its fault: " << check_run<M>(small, invert, silent, m, rs)
                  << "\nits output:\n"
                  << rs.out << "its warnings:\n"
                  << rs.err;
    return;
  }
}

TEST(Property, DefaultListMeansTheInput) {
  check_in_process(mode::DEFAULT, 1, input_count(500));
}

TEST(Property, PositiveListMeansTheInput) {
  check_in_process(mode::POSITIVE, 2, input_count(300));
}

TEST(Property, PrefixFormatListMeansTheInput) {
  check_in_process(mode::PREFIX_FORMAT, 3, input_count(300));
}

TEST(Property, TokenSoupMeansTheInput) {
  check_in_process(mode::DEFAULT, 5, input_count(300), token_soup);
  check_in_process(mode::POSITIVE, 6, input_count(100), token_soup);
}

TEST(Property, OptimalListMeansTheInputAndIsNoLonger) {
  check_in_process(mode::OPTIMAL, 7, input_count(200));
}

TEST(Property, BigListMeansTheInput) {
  check_in_process(mode::DEFAULT, 8, std::max(1, input_count(100) / 100),
                   big_list);
}

// Without batches: the input-parsing trace inserts line by line.
TEST(Property, TracedRunPrintsTheTraceAndMeansTheInput) {
  check_in_process(mode::TRACE, 9, input_count(300));
  check_in_process(mode::TRACE, 10, input_count(100), token_soup);
}

// The tree as read and as reduced, node by node.
TEST(Property, TreeDumpsShowTheTreeOfTheInput) {
  check_in_process(mode::DUMPS, 11, input_count(150));
}

// The same engine over 128-bit addresses: the sweep, the tree of the dumps
// and the shortest list against the model, in every mode.
TEST(Property, Ipv6ListsMeanTheInputInEveryMode) {
  for (mode m : {mode::DEFAULT, mode::POSITIVE, mode::PREFIX_FORMAT,
                 mode::OPTIMAL, mode::TRACE, mode::DUMPS})
    check_in_process<model_ipv6>(m, 20 + uint64_t(m), input_count(60),
                                 ipv6_list);
}

// Lists long enough that a silent run holds their blocks in buckets: the
// same list as a run that warns, which holds them in the queue, and the
// meaning of the input. Their first blocks are all in one network, which
// the rest leave; a dump request at the end puts the held ones into the
// tree.
TEST(Property, Ipv6BucketedListsAsQueuedOnes) {
  for (int k = 0; k < input_count(2) / 6 + 1; ++k) {
    uint64_t seed = base_seed() * 1000003 + 40 * 100000 + uint64_t(k);
    std::mt19937_64 rng(seed);
    std::string input;
    char line[64];
    for (int i = 0; i < 67000; ++i) {
      snprintf(line, sizeof line, "%s 2001:db8:%x:%x::/%d\n",
               rng() % 2 ? "permit" : "deny", unsigned(rng() % 65536),
               unsigned(rng() % 16), 32 + int(rng() % 33));
      input += line;
    }
    for (uint64_t i = 0; std::count(input.begin(), input.end(), '\n') < 70000;
         ++i)
      input += without_dump_requests(ipv6_list(seed * 1000 + i));
    if (k % 2) input += "*\n";
    const bool invert = k == 1;
    for (mode m :
         {mode::DEFAULT, mode::POSITIVE, mode::PREFIX_FORMAT, mode::OPTIMAL}) {
      captured loud = run_in_process(input, invert, false, m, 6);
      captured quiet = run_in_process(input, invert, true, m, 6);
      ASSERT_EQ(loud.status, quiet.status) << mode_name(m) << " " << seed;
      ASSERT_TRUE(loud.out == quiet.out) << mode_name(m) << " " << seed;
      if (k == 0) {
        ASSERT_EQ("", check_run<model_ipv6>(input, invert, true, m, quiet))
            << mode_name(m) << " " << seed;
      }
    }
  }
}

// --strict prints exactly the usual list for a list in the plainest form,
// and with one bad line planted in it fails, naming that line.
template <typename M>
void check_strict(uint64_t salt, int count, std::string (*make)(uint64_t)) {
  const char* const bad[] = {
      "permit any",     "allow 10.0.0.0/8",     "10.0.0.0/8,10.1.0.0/16",
      "permit ip ::/0", "2001:db8::/32 office", "10.0.0.255 - 10.0.1.0",
      "10.1.2.3.4",     "deny 2001:db8::1g"};
  for (int k = 0; k < count; ++k) {
    uint64_t seed = base_seed() * 1000003 + salt * 100000 + uint64_t(k);
    std::mt19937_64 rng(seed);
    std::vector<std::string> lines;
    for (const auto& b : M::blocks(make(seed), false))
      lines.push_back(std::string(rng() % 2 ? "permit " : "DENY\t") +
                      model_text(b.addr) + "/" + std::to_string(b.prefix) +
                      (rng() % 4 ? "" : "  # why") + "\n");
    std::string clean;
    for (const std::string& l : lines) clean += l;
    run_settings s;
    s.family = M::family;
    captured usual = run_list(clean, s);
    s.strict = 1;
    captured strict = run_list(clean, s);
    ASSERT_EQ(usual.out + usual.err, strict.out + strict.err) << clean;
    ASSERT_EQ(0, strict.status) << clean;
    size_t at = rng() % (lines.size() + 1);
    lines.insert(lines.begin() + long(at), std::string(bad[rng() % 8]) + "\n");
    std::string planted;
    for (const std::string& l : lines) planted += l;
    captured failed = run_list(planted, s);
    std::string name = "-:" + std::to_string(at + 1) + ": ";
    EXPECT_EQ(1, failed.status) << planted;
    EXPECT_EQ("", failed.out) << planted;
    EXPECT_EQ(0u, failed.err.find(name)) << planted << failed.err;
    EXPECT_NE(std::string::npos,
              failed.err.find("\n-: 1 error, no list written\n"))
        << planted << failed.err;
  }
}

TEST(Property, StrictPassesPlainListsAndNamesAPlantedBadLine) {
  check_strict<model_ipv4>(30, input_count(60), generated_list);
  check_strict<model_ipv6>(31, input_count(60), ipv6_list);
}

// Through the real binary: the options, standard input, "-" and a named
// file, and the reader.
TEST(Property, BinaryMeansTheInput) {
  char dir[] = "/tmp/tenvik-property-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string file = std::string(dir) + "/list.txt";
  int count = getenv("TENVIK_PROPERTY_COUNT") ? input_count(0) : BINARY_RUNS;
  for (int k = 0; k < count; ++k) {
    uint64_t seed = base_seed() * 1000003 + 400000 + uint64_t(k);
    list_generator gen(seed);
    std::string input = gen.list();
    std::mt19937 pick_run{uint32_t(seed)};
    bool invert = pick_run() % 3 == 0;
    bool silent = pick_run() % 3 == 0;
    mode m = mode(pick_run() % 3);
    int source = int(pick_run() % 3);
    std::vector<std::string> args;
    if (invert && silent)
      args.push_back("-is");
    else if (invert)
      args.push_back("-i");
    else if (silent)
      args.push_back("-s");
    if (m == mode::POSITIVE) args.push_back("-p");
    if (m == mode::PREFIX_FORMAT) args.insert(args.end(), {"-f", "%a/%p"});
    // -m splits at the first comma only.
    const char* const texts[][3] = {{"permit,deny  ", "permit", "deny  "},
                                    {"allow,block", "allow", "block"},
                                    {"ok,no,really", "ok", "no,really"}};
    int t = pick_run() % 5 == 0 ? 1 + int(pick_run() % 2) : 0;
    if (t > 0 || pick_run() % 4 == 0)
      args.insert(args.end(), {"-m", texts[t][0]});
    std::string stdin_text = input;
    switch (source) {
      case 1:
        args.push_back("-");
        break;
      case 2: {
        FILE* f = fopen(file.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(input.data(), 1, input.size(), f);
        fclose(f);
        args.push_back(file);
        args.push_back("-p");  // after the file name: not an option
        stdin_text = "1.2.3.4/32\n";
        break;
      }
    }
    captured r = run_tenvik(args, stdin_text);
    std::string fault =
        check_run(input, invert, silent, m, r, texts[t][1], texts[t][2]);
    if (fault.empty()) continue;
    std::string command;
    for (const std::string& a : args) command += " '" + a + "'";
    ADD_FAILURE() << "tenvik" << command << ", input " << k << " of seed "
                  << base_seed() << "\nfault: " << fault << "\ninput:\n"
                  << as_literal(input) << "output:\n"
                  << r.out << "warnings:\n"
                  << r.err;
    break;
  }
  unlink(file.c_str());
  rmdir(dir);
}

}  // namespace
