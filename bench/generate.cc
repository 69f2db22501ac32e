// The synthetic benchmark lists. Every list is a pure function of its kind,
// line count and seed.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench_tool.h"

// Unicast space, 1.0.0.0 to 223.255.255.255: where routes and hosts live.
static uint32_t unicast_address(rng& r) {
  return 0x01000000u + uint32_t(r.below(0xe0000000ull - 0x01000000ull));
}

// Prefix lengths per million lines, shaped like a full routing table:
// mostly /24, many /16 to /23, a few shorter ones, plus some longer ones as
// customer routes and blocklist entries add them. Placed at random, the
// blocks cover about two thirds of the unicast space, as real routes do.
static const long LENGTH_WEIGHTS[33] = {
    0,      0,    0,     0,     0,     0,     0,      0,      //
    15,     15,   40,    100,   300,   600,   1200,   2000,   // /8 to /15
    13000,  8000, 14000, 26000, 45000, 55000, 120000, 90000,  // /16 to /23
    574730,                                                   // /24
    10000,  8000, 7000,  6000,  6000,  5000,  2000,   6000,   // /25 to /32
};

static int realistic_length(rng& r) {
  long pick = long(r.below(1000000));
  for (int len = 0; len <= 32; len++) {
    if (pick < LENGTH_WEIGHTS[len]) return len;
    pick -= LENGTH_WEIGHTS[len];
  }
  return 24;
}

static void put_prefix(const char* modifier, uint32_t a, int len) {
  printf("%s%s/%d\n", modifier, quad_text(block_start(a, len)).c_str(), len);
}

static void random_prefixes(long lines, rng& r) {
  for (long i = 0; i < lines; i++) {
    int len = realistic_length(r);
    put_prefix("", unicast_address(r), len);
  }
}

// Bare addresses mean single hosts to tenvik only when the last octet is not
// 0 (a bare x.y.z.0 names a classful block), so the last octet is 1 to 255.
static void random_hosts(long lines, rng& r) {
  for (long i = 0; i < lines; i++) {
    uint32_t a = unicast_address(r);
    if ((a & 255) == 0) a |= 1 + uint32_t(r.below(255));
    puts(quad_text(a).c_str());
  }
}

// A random block of length len inside the block outer/outer_len.
static uint32_t inner_block(rng& r, uint32_t outer, int outer_len, int len) {
  uint32_t span = outer_len == 0 ? 0xffffffffu : (0xffffffffu >> outer_len);
  return block_start(outer | (uint32_t(r.next()) & span), len);
}

// Permitted blocks with denied holes and permitted islands in the holes, a
// few denies of blocks that nothing permits, and a few blocks given twice
// with opposite states; all lines shuffled.
static void mixed_list(long lines, rng& r) {
  std::vector<std::string> out;
  char text[64];
  auto add = [&](const char* modifier, uint32_t a, int len) {
    snprintf(text, sizeof text, "%s %s/%d", modifier, quad_text(a).c_str(),
             len);
    out.push_back(text);
  };
  while (long(out.size()) < lines) {
    int outer_len = 12 + int(r.below(9));
    uint32_t outer = block_start(unicast_address(r), outer_len);
    add("permit", outer, outer_len);
    for (int holes = int(r.below(7)); holes > 0; holes--) {
      int hole_len = outer_len + 2 + int(r.below(9));
      if (hole_len > 28) hole_len = 28;
      uint32_t hole = inner_block(r, outer, outer_len, hole_len);
      add("deny", hole, hole_len);
      for (int islands = int(r.below(3)); islands > 0; islands--) {
        int island_len = hole_len + 1 + int(r.below(6));
        if (island_len > 32) island_len = 32;
        add("permit", inner_block(r, hole, hole_len, island_len), island_len);
      }
    }
    if (r.below(10) == 0) add("deny", block_start(unicast_address(r), 24), 24);
    if (r.below(100) == 0) {
      add("deny", outer, outer_len);
      add("permit", outer, outer_len);
    }
  }
  for (size_t i = out.size() - 1; i > 0; i--)
    std::swap(out[i], out[r.below(i + 1)]);
  out.resize(size_t(lines));
  for (const std::string& line : out) puts(line.c_str());
}

int generate_main(int argc, char** argv) {
  if (argc != 4)
    fail(2,
         "usage: bench_tool generate prefixes|hosts|mixed|bigrange LINES SEED");
  const char* kind = argv[1];
  long lines = atol(argv[2]);
  rng r(strtoull(argv[3], nullptr, 10));
  if (lines <= 0) fail(2, "LINES must be positive");
  if (strcmp(kind, "prefixes") == 0) {
    random_prefixes(lines, r);
  } else if (strcmp(kind, "hosts") == 0) {
    random_hosts(lines, r);
  } else if (strcmp(kind, "mixed") == 0) {
    mixed_list(lines, r);
  } else if (strcmp(kind, "bigrange") == 0) {
    // 16.7 million single-address insertions for tenvik: the start is not
    // aligned, so the range cannot be cut into larger blocks.
    puts("10.0.0.1 - 10.255.255.255");
  } else {
    fail(2, "unknown list kind %s", kind);
  }
  if (fflush(stdout) != 0) fail(1, "cannot write the list");
  return 0;
}
