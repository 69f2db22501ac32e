#include "address6.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <sstream>
#include <string>

namespace {

uint128 from_groups(const unsigned (&g)[8]) {
  uint128 a = 0;
  for (unsigned x : g) a = a << 16 | x;
  return a;
}

std::string hex(uint128 a) {
  char buf[33];
  format_ipv6_hex(a, buf);
  return buf;
}

std::string text(uint128 a) {
  char buf[IPV6_TEXT_MAX];
  int n = format_ipv6(a, buf);
  EXPECT_EQ(strlen(buf), size_t(n)) << hex(a);
  return buf;
}

bool system_parse(const std::string& s, uint128* a) {
  unsigned char b[16];
  if (inet_pton(AF_INET6, s.c_str(), b) != 1) return false;
  *a = 0;
  for (unsigned char x : b) *a = *a << 8 | x;
  return true;
}

// Parses from a buffer of exactly the text's size, so that a sanitizer build
// sees any read past the end.
bool parse(const std::string& s, uint128* a) {
  std::unique_ptr<char[]> buf(new char[s.size()]);
  memcpy(buf.get(), s.data(), s.size());
  return parse_ipv6(buf.get(), buf.get() + s.size(), a);
}

// Texts the full-address reader took, for a check that the tests reach it.
int full_taken = 0;

testing::AssertionResult agrees(const std::string& s) {
  uint128 mine = 1, theirs = 2, run = 3;
  bool ok = parse(s, &mine), expected = system_parse(s, &theirs);
  // The run reader's shortcut must decide as the general reader does, on a
  // run that ends where the text does.
  bool whole_run = std::all_of(s.begin(), s.end(), is_address6_char);
  std::string line = s + "/64";
  const char* end = nullptr;
  bool run_ok = whole_run && parse_ipv6_run(line.c_str(), &end, &run);
  if (whole_run &&
      (run_ok != ok || (ok && run != mine) || end != line.c_str() + s.size()))
    return testing::AssertionFailure() << "\"" << s << "\": parse_ipv6_run "
                                       << (run_ok ? hex(run) : "invalid");
  // The full-address reader takes a run only as parse_ipv6_run does, with
  // whatever follows it: an end, a dotted tail, more digits or groups (its
  // 48 bytes are filled by more text).
  if (can_parse_full_ipv6()) {
    for (const char* after : {"/64", ".", "", ":"}) {
      char full[64];
      const size_t n = std::min(s.size(), size_t(40));
      memcpy(full, s.data(), n);
      const size_t tail = std::min(strlen(after), sizeof full - 1 - n);
      memcpy(full + n, after, tail);
      const size_t length = std::max(n + tail, size_t(FULL_IPV6_READ));
      memset(full + n + tail, '1', length - n - tail);
      full[length] = '\0';
      uint128 general = 4;
      const char* general_end = nullptr;
      bool general_ok = parse_ipv6_run(full, &general_end, &general);
      bool taken = parse_full_ipv6(full, &end, &run);
      full_taken += taken;
      if (taken && (!general_ok || run != general || end != general_end))
        return testing::AssertionFailure()
               << "\"" << full << "\": parse_full_ipv6 " << hex(run);
    }
  }
  if (ok == expected && (!ok || mine == theirs))
    return testing::AssertionSuccess();
  auto result = [](bool valid, uint128 a) {
    return valid ? hex(a) : "invalid";
  };
  return testing::AssertionFailure()
         << "\"" << s << "\": parse_ipv6 " << result(ok, mine) << ", inet_pton "
         << result(expected, theirs);
}

TEST(Address6Parse, AgreesWithInetPtonOnAdversarialRuns) {
  // What glibc's inet_pton is known to decide, so that a C library that
  // decides otherwise shows up here, not as a parser fault. Texts are
  // separated by '|'; the first invalid one is the empty text.
  const std::string valid =
      "::|1::|::1|1:2:3:4:5:6:7:8|1:2:3:4:5:6:7::|::2:3:4:5:6:7:8|"
      "1:2:3::5:6:7:8|ffff::|0000::0001|ABCD::ef|aBcD:EfFe::|::ffff:10.1.2.3|"
      "::1.2.3.4|::0.0.0.0|::255.255.255.255|1:2:3:4:5:6:1.2.3.4|"
      "1:2:3:4:5::1.2.3.4|1::1.2.3.4|::1:1.2.3.4";
  const std::string invalid =
      "|:|:::|1:|:1|1:2:3:4:5:6:7|1:2:3:4:5:6:7:8:9|1:2:3:4::5:6:7:8|"
      "1:2:3:4:5:6:7:8::|::1:2:3:4:5:6:7:8|1::2::3|1:::2|:::1|1::2:|"
      "1:2:3:4:5:6:7:8:|1::2:3:|1:2::3::|1:2|1|12345::|01234::|1.2.3.4|"
      "::256.1.1.1|::1.2.3.300|::01.2.3.4|::1.2.3.00|::1.02.3.4|::0001.2.3.4|"
      "::1000.1.1.1|::12345.1.2.3|::1.2.3|::1.2.3.4.5|::1.2.3.4.|::1..2.3|"
      "::.1.2.3|::a.1.2.3|::1.2.3.a|::1.2.3.4:1|::1.2.3.4::|1.2.3.4::|"
      "1:2:3:4:5:6:7:1.2.3.4|1:2:3:4:5:6::1.2.3.4|1:2:3:4:5:1.2.3.4|.|::.|"
      ".::|1:.|::1.|::1:2.|g::|:1::|1:2:3:4:5:6:7:8:9::|"
      "1:2:3:4:5:6:7::1.2.3.4|::1 | ::1";
  for (bool expected : {true, false}) {
    std::stringstream list(expected ? valid : invalid);
    for (std::string t; std::getline(list, t, '|');) {
      EXPECT_TRUE(agrees(t));
      uint128 a;
      EXPECT_EQ(expected, parse(t, &a)) << t;
      // The text's end is the range's end, whatever follows it in memory.
      std::string longer = t + "0:";
      EXPECT_EQ(expected,
                parse_ipv6(longer.data(), longer.data() + t.size(), &a))
          << t;
    }
  }
}

// Near-addresses: mostly well-formed groups, sometimes empty or of five
// digits, a "::" or not, a dotted tail or not (mostly of four parts of 0 to
// 255), then now and then a few dropped, doubled or inserted characters.
std::string near_address(std::mt19937_64& rng) {
  const char alphabet[] = "0123456789abcdefABCDEF:.";
  auto pick = [&](unsigned n) { return unsigned(rng() % n); };
  bool tail = pick(3) == 0;
  unsigned groups = tail ? pick(8) : pick(10);
  unsigned gap = pick(3) == 0 ? 99 : pick(groups + 1);
  if (gap == 99 && pick(2) == 0) groups = tail ? 6 : 8;  // full, no "::"
  std::string s;
  for (unsigned i = 0; i < groups; i++) {
    s += i == gap ? "::" : i > 0 ? ":" : "";
    unsigned digits = pick(12) == 0 ? 5 * pick(2) : 1 + pick(4);
    while (digits-- > 0) s += alphabet[pick(22)];
  }
  if (gap == groups) s += "::";
  if (tail) {
    if (!s.empty() && s.back() != ':') s += ':';
    unsigned parts = pick(4) == 0 ? 2 + pick(5) : 4;
    for (unsigned i = 0; i < parts; i++) {
      s += i > 0 ? "." : "";
      s += pick(10) == 0 ? "0" : "";
      s += std::to_string(pick(8) == 0 ? pick(1000) : pick(256));
    }
  }
  for (unsigned m = pick(4) == 0 ? 1 + pick(3) : 0; m > 0 && !s.empty(); m--) {
    size_t at = pick(unsigned(s.size()));
    unsigned kind = pick(3);
    if (kind == 0)
      s.erase(at, 1);
    else
      s.insert(at, 1, kind == 1 ? s[at] : alphabet[pick(24)]);
  }
  return s;
}

TEST(Address6Parse, AgreesWithInetPtonOnRandomNearAddresses) {
  const int CASES = 400000;
  int valid = 0, failures = 0;
  for (int seed = 1; seed <= CASES && failures < 10; seed++) {
    std::mt19937_64 rng(seed);
    std::string s = near_address(rng);
    uint128 a;
    valid += system_parse(s, &a);
    if (agrees(s)) continue;
    failures++;
    for (size_t i = 0; i < s.size();) {  // the shortest text that still differs
      std::string shorter = std::string(s).erase(i, 1);
      if (!agrees(shorter))
        s = shorter;
      else
        i++;
    }
    ADD_FAILURE() << "seed " << seed << ": " << agrees(s).message();
  }
  // The generator must reach both sides of the boundary often.
  EXPECT_GT(valid, CASES / 10);
  EXPECT_LT(valid, CASES * 9 / 10);
  if (can_parse_full_ipv6()) {
    EXPECT_GT(full_taken, CASES / 40) << full_taken;
  }
}

// Everything RFC 5952 asks, step by step, with no cleverness.
std::string reference_text(uint128 a) {
  unsigned g[8];
  for (int i = 7; i >= 0; i--, a >>= 16) g[i] = unsigned(a & 0xffff);
  int start = -1, length = 0;
  for (int i = 0; i < 8; i++) {
    int n = 0;
    while (i + n < 8 && g[i + n] == 0) n++;
    if (n >= 2 && n > length) start = i, length = n;
  }
  std::ostringstream out;
  out << std::hex;
  for (int i = 0; i < 8; i++) {
    if (i == start) {
      out << "::";
      i += length - 1;
      continue;
    }
    if (i > 0 && i != start + length) out << ':';
    out << g[i];
  }
  return out.str();
}

TEST(Address6Format, CanonicalText) {
  const struct {
    const char* in;
    const char* out;
  } rows[] = {
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"::ffff:10.1.2.3", "::ffff:a01:203"},
      {"0:0:0:0:0:0:0:0", "::"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {"0:0:1:2:3:4:5:6", "::1:2:3:4:5:6"},
      {"1:2:3:4:5:6:0:0", "1:2:3:4:5:6::"},
      {"0:1:2:3:4:5:6:7", "0:1:2:3:4:5:6:7"},
      {"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"},
      {"1:0:0:2:3:0:0:4", "1::2:3:0:0:4"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
      {"0:0:0:1:0:0:0:0", "0:0:0:1::"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"1:0:0:0:0:0:0:0", "1::"},
      {"0:0:0:0:0:0:0:abc", "::abc"},
      {"100:20:3:4000:0:0:a:bcde", "100:20:3:4000::a:bcde"},
  };
  for (const auto& r : rows) {
    uint128 a = 0;
    ASSERT_TRUE(system_parse(r.in, &a)) << r.in;
    EXPECT_EQ(r.out, text(a)) << r.in;
  }
}

TEST(Address6Format, MatchesReferenceAndParsesBack) {
  std::mt19937_64 rng(5952);
  for (int n = 0; n < 200000; n++) {
    unsigned zeros = n % 256, g[8];  // every pattern of zero groups
    for (int i = 0; i < 8; i++) {
      unsigned digits = 1 + rng() % 4;  // short groups too
      g[i] = zeros >> i & 1 ? 0 : unsigned(rng() >> (64 - 4 * digits));
    }
    uint128 a = from_groups(g), back = ~a;
    std::string s = text(a);
    ASSERT_EQ(reference_text(a), s) << hex(a);
    ASSERT_TRUE(parse(s, &back) && back == a) << s;
  }
}

TEST(Address6Format, Hex) {
  EXPECT_EQ("00000000000000000000000000000000", hex(0));
  EXPECT_EQ("ffffffffffffffffffffffffffffffff", hex(~uint128(0)));
  EXPECT_EQ("20010db80000000000000000deadbeef",
            hex(from_groups({0x2001, 0xdb8, 0, 0, 0, 0, 0xdead, 0xbeef})));
  char buf[33];
  EXPECT_EQ(32, format_ipv6_hex(1, buf));
}

TEST(Address6Chars, ExactlyHexDigitsColonAndDot) {
  for (int c = 1; c < 256; c++)
    EXPECT_EQ(strchr("0123456789abcdefABCDEF:.", c) != nullptr,
              is_address6_char(char(c)))
        << c;
  EXPECT_FALSE(is_address6_char('\0'));
}

}  // namespace
