#include "output.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "address.h"
#include "driver.h"
#include "run_capture.h"
#include "settings.h"
#include "tree.h"

namespace {

uint32_t quad(unsigned a, unsigned b, unsigned c, unsigned d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}

// One entry through format_entry, with the current modifier texts.
std::string entry(const std::string& format, unsigned state, uint32_t addr,
                  int prefix) {
  char line[ENTRY_MAX + 1];
  memset(line, '?', sizeof line);
  size_t len = format_entry<ipv4>(format.c_str(), state, addr, prefix, line);
  EXPECT_GE(ENTRY_MAX, len) << format;
  if (len > ENTRY_MAX) return "";
  EXPECT_EQ('\0', line[len]) << format;
  return std::string(line, len);
}

TEST(FormatEntry, EveryConversion) {
  struct row {
    const char* format;
    unsigned state;
    uint32_t addr;
    int prefix;
    const char* expected;
  };
  const uint32_t a = quad(10, 1, 2, 3);
  const row rows[] = {
      {"%a", ST_YES, a, 8, "10.1.2.3"},
      {"%k", ST_YES, a, 8, "255.0.0.0"},
      {"%w", ST_YES, a, 8, "0.255.255.255"},
      {"%p", ST_YES, a, 8, "8"},
      {"%m", ST_YES, a, 8, "permit"},
      {"%m", ST_NO, a, 8, "deny  "},
      {"%m", ST_UNSET, a, 8, "deny  "},
      {"%m %a %w", ST_YES, quad(10, 0, 0, 0), 8,
       "permit 10.0.0.0 0.255.255.255"},
      {"%m %a %k /%p %w 100%% %x %", ST_NO, quad(10, 1, 2, 0), 24,
       "deny   10.1.2.0 255.255.255.0 /24 0.0.0.255 100% x "},
      {"", ST_YES, a, 8, ""},
      {"plain", ST_YES, a, 8, "plain"},
      {"%%", ST_YES, a, 8, "%"},
      {"%%%%", ST_YES, a, 8, "%%"},
      {"%%m", ST_YES, a, 8, "%m"},
      {"%%%", ST_YES, a, 8, "%"},
      {"%x", ST_YES, a, 8, "x"},
      {"%A%K%5% %\t", ST_YES, a, 8, "AK5 \t"},
      {"%", ST_YES, a, 8, ""},
      {"a%", ST_YES, a, 8, "a"},
      {"%a%a", ST_YES, 0, 0, "0.0.0.00.0.0.0"},
      {"%k %w /%p", ST_YES, 0, 0, "0.0.0.0 255.255.255.255 /0"},
      {"%k %w /%p", ST_YES, 0, 1, "128.0.0.0 127.255.255.255 /1"},
      {"%k %w /%p", ST_YES, 0, 31, "255.255.255.254 0.0.0.1 /31"},
      {"%k %w /%p", ST_YES, 0xffffffffu, 32, "255.255.255.255 0.0.0.0 /32"},
      {"%a", ST_YES, 0xffffffffu, 32, "255.255.255.255"},
  };
  captured_streams defaults;
  for (const row& r : rows)
    EXPECT_EQ(r.expected, entry(r.format, r.state, r.addr, r.prefix))
        << r.format;
}

TEST(FormatEntry, ModifierTexts) {
  captured_streams defaults;
  settings.permit_string = "allow";
  settings.deny_string = "block,with,commas";
  EXPECT_EQ("allow:10.1.2.3/32",
            entry("%m:%a/%p", ST_YES, quad(10, 1, 2, 3), 32));
  EXPECT_EQ("block,with,commas:0.0.0.0/0", entry("%m:%a/%p", ST_NO, 0, 0));
  settings.permit_string = "";
  EXPECT_EQ("[]", entry("[%m]", ST_YES, 0, 0));
}

TEST(FormatEntry, LengthLimits) {
  captured_streams defaults;
  const std::string x252(252, 'x'), x253(253, 'x');
  const std::string long_permit(1000, 'P'), permit200(200, 'P');
  struct row {
    std::string format;
    const char* permit;
    int prefix;
    std::string expected;
  };
  const row rows[] = {
      // No format character is taken once 253 characters are out.
      {std::string(300, 'x'), "permit", 8, x253},
      {x253 + "%p", "permit", 24, x253},
      {x252 + "ab", "permit", 24, x252 + "a"},
      {std::string(251, 'x') + "%p%p", "permit", 32,
       std::string(251, 'x') + "32"},
      // A conversion starting below the limit finishes ...
      {x252 + "%p", "permit", 24, x252 + "24"},
      {x252 + "%%", "permit", 24, x253.substr(0, 252) + "%"},
      {x252 + "%m", "abc", 24, x252 + "abc"},
      // ... but never past 255 characters.
      {x252 + "%a", "permit", 0, x252 + "0.0"},
      {x252 + "%m", "abcdef", 24, x252 + "abc"},
      {"%m", long_permit.c_str(), 8, std::string(255, 'P')},
      {"%m%m", permit200.c_str(), 8, std::string(255, 'P')},
      {"%m-%m-", permit200.c_str(), 8, permit200 + "-" + std::string(54, 'P')},
  };
  for (const row& r : rows) {
    settings.permit_string = r.permit;
    EXPECT_EQ(r.expected, entry(r.format, ST_YES, 0, r.prefix))
        << r.format.size() << "-character format, permit text of "
        << strlen(r.permit);
  }
}

TEST(FormatEntry, WholeLinesThroughTheProgram) {
  struct row {
    const char* input;
    run_settings settings;
    std::string out;
  };
  run_settings example;
  example.format = "%m %a %k /%p %w 100%% %x %";
  run_settings renamed;
  renamed.permit = "allow";
  renamed.deny = "block";
  renamed.format = "%m:%a/%p";
  run_settings positive;
  positive.positive = 1;
  run_settings long_permit;
  long_permit.permit = std::string(1000, 'P');
  long_permit.format = "%m";
  const row rows[] = {
      {"permit 10.0.0.0/8\ndeny 10.1.2.0/24\n", example,
       "deny   10.1.2.0 255.255.255.0 /24 0.0.0.255 100% x \n"
       "permit 10.0.0.0 255.0.0.0 /8 0.255.255.255 100% x \n"
       "deny   0.0.0.0 0.0.0.0 /0 255.255.255.255 100% x \n"},
      {"permit 10.1.2.3/32\n", renamed,
       "allow:10.1.2.3/32\n"
       "block:0.0.0.0/0\n"},
      {"", positive, ""},
      {"deny 10.0.0.0/8\n", positive, ""},
      {"permit 0.0.0.0/0\n", long_permit, std::string(255, 'P') + "\n"},
  };
  for (const row& r : rows) {
    captured c = run_list(r.input, r.settings);
    EXPECT_EQ(r.out, c.out) << r.input << r.settings.format;
    EXPECT_EQ(0, c.status);
  }
}

TEST(PrintEntries, ChildrenBeforeParentsLowerHalfFirst) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  insert_prefix(r.tree, 8, quad(10, 0, 0, 0), ST_YES);
  insert_prefix(r.tree, 16, quad(10, 1, 0, 0), ST_NO);
  insert_prefix(r.tree, 16, quad(10, 0, 0, 0), ST_YES);
  insert_prefix(r.tree, 32, quad(10, 1, 0, 7), ST_YES);
  insert_prefix(r.tree, 16, quad(192, 168, 0, 0), ST_NO);
  insert_prefix(r.tree, 1, quad(128, 0, 0, 0), ST_YES);
  print_entries(r.tree, r.out, "%m %a/%p");
  // Unset nodes on the paths never print; the root comes last.
  EXPECT_EQ(
      "permit 10.0.0.0/16\n"
      "permit 10.1.0.7/32\n"
      "deny   10.1.0.0/16\n"
      "permit 10.0.0.0/8\n"
      "deny   192.168.0.0/16\n"
      "permit 128.0.0.0/1\n"
      "deny   0.0.0.0/0\n",
      streams.out());
}

TEST(PrintEntries, PositiveModePrintsOnlyPermits) {
  captured_streams streams;
  settings.opt_positive = 1;
  tenvik_run<ipv4> r;
  insert_prefix(r.tree, 8, quad(10, 0, 0, 0), ST_YES);
  insert_prefix(r.tree, 16, quad(10, 1, 0, 0), ST_NO);
  insert_prefix(r.tree, 32, quad(10, 1, 0, 7), ST_YES);
  print_entries(r.tree, r.out, "%m %a/%p");
  EXPECT_EQ(
      "permit 10.1.0.7/32\n"
      "permit 10.0.0.0/8\n",
      streams.out());
}

// The walk starts at the root, which every tree has: the least it can be
// given is a tree without a single state.
TEST(PrintEntries, NothingForATreeWithoutStates) {
  captured_streams streams;
  tenvik_run<ipv4> r;
  set_state(&r.tree.root, ST_UNSET);
  print_entries(r.tree, r.out, "%m %a/%p");
  EXPECT_EQ("", streams.out());
  EXPECT_EQ(0u, r.out.used);
}

// In the writer's own chunk, and in a lent one that holds two lines at
// most, with text put before it was lent and after it was given back.
TEST(PrintEntries, ThousandsOfLongLinesInOrder) {
  for (bool lent : {false, true}) {
    captured_streams streams;
    const std::string long_permit(300, 'P');
    settings.permit_string = long_permit.c_str();
    tenvik_run<ipv4> r;
    char small[600];
    put_text(r.out, "before\n", 7);
    if (lent) lend_chunk(r.out, small, sizeof small);
    std::string expected = "before\n";
    for (uint32_t i = 0; i < 4096; i++) {
      uint32_t a = quad(10, 0, 0, 0) + i;
      unsigned s = i % 3 == 0 ? ST_NO : ST_YES;
      insert_prefix(r.tree, 32, a, s);
      // Permit lines are cut at 255 characters; deny lines are short.
      std::string line = std::string(dotted(a)) + " " +
                         (s == ST_YES ? long_permit : std::string("deny  "));
      expected += line.substr(0, 255) + "\n";
    }
    expected += "0.0.0.0 deny  \n";
    print_entries(r.tree, r.out, "%a %m");
    if (lent) lend_chunk(r.out, nullptr, 0);
    put_text(r.out, "after\n", 6);
    flush_text(r.out);
    expected += "after\n";
    std::string out = streams.out();
    EXPECT_EQ(expected.size(), out.size());
    EXPECT_TRUE(expected == out) << "the printed list differs, lent " << lent;
  }
}

}  // namespace
