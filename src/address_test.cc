#include "address.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <random>
#include <string>

namespace {

uint32_t quad(unsigned a, unsigned b, unsigned c, unsigned d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}

std::string text(uint32_t a) {
  char buf[16];
  int n = format_dotted(a, buf);
  EXPECT_EQ(int(std::string(buf).size()), n) << "returned length";
  return buf;
}

TEST(AutoPrefix, ClassfulBoundaries) {
  struct row {
    uint32_t addr;
    int prefix;
  };
  const row rows[] = {
      {quad(10, 0, 0, 0), 8},
      {quad(10, 1, 0, 0), 16},
      {quad(10, 0, 1, 0), 24},
      {quad(10, 1, 2, 3), 32},
      {quad(0, 0, 0, 0), 8},
      {quad(127, 0, 0, 0), 8},
      {quad(128, 0, 0, 0), 16},
      {quad(172, 16, 0, 0), 16},
      {quad(191, 255, 0, 0), 16},
      {quad(192, 0, 0, 0), 24},
      {quad(192, 168, 0, 0), 24},
      {quad(192, 168, 1, 0), 24},
      {quad(223, 255, 255, 0), 24},
      {quad(224, 0, 0, 0), 32},
      {quad(240, 0, 0, 0), 32},
      {quad(255, 255, 255, 255), 32},
      // Around the thresholds: each rule's own test, not just the class.
      {quad(127, 255, 255, 255), 32},
      {quad(127, 0, 1, 0), 24},
      {quad(127, 1, 0, 0), 16},
      {quad(128, 0, 0, 1), 32},
      {quad(128, 0, 1, 0), 24},
      {quad(191, 255, 255, 0), 24},
      {quad(192, 1, 0, 0), 24},
      {quad(223, 0, 0, 0), 24},
      {quad(223, 255, 255, 1), 32},
      {quad(224, 0, 1, 0), 32},
      {quad(239, 255, 0, 0), 32},
      {quad(64, 0, 0, 0), 8},
  };
  for (const row& r : rows)
    EXPECT_EQ(r.prefix, auto_prefix(r.addr)) << text(r.addr);
}

TEST(Masks, NetmaskAndWildcardAtTheEnds) {
  struct row {
    int prefix;
    const char* netmask;
    const char* wildcard;
  };
  const row rows[] = {
      {0, "0.0.0.0", "255.255.255.255"},  {1, "128.0.0.0", "127.255.255.255"},
      {8, "255.0.0.0", "0.255.255.255"},  {23, "255.255.254.0", "0.0.1.255"},
      {31, "255.255.255.254", "0.0.0.1"}, {32, "255.255.255.255", "0.0.0.0"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(r.netmask, text(netmask(r.prefix))) << "/" << r.prefix;
    EXPECT_EQ(r.wildcard, text(wildcard(r.prefix))) << "/" << r.prefix;
  }
}

TEST(Masks, EveryPrefixSetsExactlyItsTopBits) {
  for (int p = 0; p <= 32; p++) {
    uint32_t expected = 0;
    for (int bit = 31; bit > 31 - p; bit--) expected |= uint32_t(1) << bit;
    EXPECT_EQ(expected, netmask(p)) << "/" << p;
    EXPECT_EQ(uint32_t(~expected), wildcard(p)) << "/" << p;
  }
}

TEST(Dotted, OctetsWithoutLeadingZeros) {
  struct row {
    uint32_t addr;
    const char* text;
  };
  const row rows[] = {
      {0, "0.0.0.0"},
      {0xffffffffu, "255.255.255.255"},
      {quad(10, 0, 0, 1), "10.0.0.1"},
      {quad(1, 2, 3, 4), "1.2.3.4"},
      {quad(9, 10, 99, 100), "9.10.99.100"},
      {quad(101, 109, 110, 199), "101.109.110.199"},
      {quad(200, 205, 250, 0), "200.205.250.0"},
      {quad(0, 0, 0, 255), "0.0.0.255"},
      {quad(128, 0, 0, 0), "128.0.0.0"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(r.text, text(r.addr));
    EXPECT_EQ(r.text, std::string(dotted(r.addr)));
  }
}

TEST(Dotted, AgreesWithPrintfOverRandomAddresses) {
  const unsigned seed = 20261208;
  std::mt19937 gen(seed);
  for (int i = 0; i < 20000; i++) {
    uint32_t a = uint32_t(gen());
    char expected[16];
    snprintf(expected, sizeof expected, "%u.%u.%u.%u", a >> 24, a >> 16 & 255,
             a >> 8 & 255, a & 255);
    ASSERT_EQ(expected, text(a)) << "seed " << seed;
  }
}

TEST(Dotted, SharedBufferIsOverwrittenByEachUse) {
  const char* first = dotted(quad(10, 0, 0, 0));
  EXPECT_EQ(dotted_buf, first);
  dotted(quad(192, 168, 100, 200));
  EXPECT_EQ("192.168.100.200", std::string(first));
}

TEST(States, SignsNamesAndOpposites) {
  EXPECT_EQ("+", std::string(state_sign(ST_YES)));
  EXPECT_EQ("-", std::string(state_sign(ST_NO)));
  EXPECT_EQ("YES", std::string(state_name(ST_YES)));
  EXPECT_EQ("NO", std::string(state_name(ST_NO)));
  EXPECT_EQ("", std::string(state_name(ST_UNSET)));
  EXPECT_EQ(unsigned(ST_NO), opposite_state(ST_YES));
  EXPECT_EQ(unsigned(ST_YES), opposite_state(ST_NO));
  EXPECT_EQ(unsigned(ST_UNSET), opposite_state(ST_UNSET));
}

}  // namespace
