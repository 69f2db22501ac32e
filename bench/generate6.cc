// The synthetic IPv6 benchmark lists, "ADDR/LEN" lines in canonical text.
// Every list is a pure function of its kind, line count and seed.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bench_tool.h"

namespace {

// Where the registries hand out global unicast space, all inside 2000::/3,
// weighted by how much of a real table each holds.
struct region {
  uint16_t top;  // the first 16 bits
  int len;
  long weight;
};
const region REGIONS[] = {
    {0x2a00, 12, 400},  // RIPE NCC
    {0x2600, 12, 250},  // ARIN
    {0x2400, 12, 150},  // APNIC
    {0x2800, 12, 100},  // LACNIC
    {0x2001, 16, 80},   // the early allocations
    {0x2c00, 12, 20},   // AFRINIC
};

address6 random_bits(rng& r) { return address6(r.next()) << 64 | r.next(); }

address6 block_start6(address6 a, int len) { return a & ~host_bits6(len); }

address6 region_address(rng& r) {
  long pick = long(r.below(1000));
  for (const region& g : REGIONS) {
    if (pick < g.weight)
      return address6(g.top) << 112 | (random_bits(r) & host_bits6(g.len));
    pick -= g.weight;
  }
  return address6(0x2a00) << 112 | (random_bits(r) & host_bits6(12));
}

// Prefix lengths per million lines, shaped like a full IPv6 table: about
// half /48, many /32, /44, /40, /36 and /29, and a thin spread of others.
// The /48 takes what the others leave.
const int LONGEST = 64;
long length_weight(int len) {
  static const struct {
    int len;
    long weight;
  } WEIGHTS[] = {
      {19, 200},   {20, 300},   {21, 200},   {22, 300},    {23, 300},
      {24, 500},   {25, 300},   {26, 500},   {27, 600},    {28, 4000},
      {29, 30000}, {30, 6000},  {31, 5000},  {32, 150000}, {33, 12000},
      {34, 10000}, {35, 7000},  {36, 35000}, {37, 5000},   {38, 8000},
      {39, 5000},  {40, 55000}, {41, 5000},  {42, 10000},  {43, 5000},
      {44, 65000}, {45, 8000},  {46, 15000}, {47, 12000},  {52, 1000},
      {56, 8000},  {60, 1000},  {64, 6000},
  };
  long others = 0;
  for (const auto& w : WEIGHTS) {
    if (w.len == len) return w.weight;
    others += w.weight;
  }
  return len == 48 ? 1000000 - others : 0;
}

int realistic_length6(rng& r) {
  long pick = long(r.below(1000000));
  for (int len = 0; len <= LONGEST; len++) {
    if (pick < length_weight(len)) return len;
    pick -= length_weight(len);
  }
  return 48;
}

// The registries' allocations to networks: the blocks that routes cluster
// in.
struct allocation {
  address6 base;
  int len;
};

int allocation_length(rng& r) {
  long pick = long(r.below(100));
  return pick < 65 ? 32 : pick < 90 ? 29 : pick < 94 ? 30 : pick < 97 ? 31 : 28;
}

void put6(address6 a, int len) {
  printf("%s/%d\n", ipv6_text(block_start6(a, len)).c_str(), len);
}

// Each allocation is announced about once as itself or an aggregate (the
// lines of /32 and shorter), and the longer routes crowd into a few busy
// allocations: an allocation's share falls with its rank.
void random_prefixes6(long lines, rng& r) {
  std::vector<allocation> pool(size_t(lines / 5 + 16));
  for (allocation& a : pool) {
    a.len = allocation_length(r);
    a.base = block_start6(region_address(r), a.len);
  }
  size_t fresh = 0;
  for (long i = 0; i < lines; i++) {
    int len = realistic_length6(r);
    const allocation* a;
    if (len <= 32) {
      a = &pool[fresh++ % pool.size()];
    } else {
      double u = double(r.next() >> 11) * 0x1p-53;
      a = &pool[size_t(u * u * double(pool.size()))];
    }
    put6(a->base | (random_bits(r) & host_bits6(a->len)), len);
  }
}

}  // namespace

int generate6_main(int argc, char** argv) {
  if (argc != 4)
    fail(2, "usage: bench_tool generate --ipv6 prefixes|hosts|nets LINES SEED");
  const char* kind = argv[1];
  long lines = atol(argv[2]);
  rng r(strtoull(argv[3], nullptr, 10));
  if (lines <= 0) fail(2, "LINES must be positive");
  if (strcmp(kind, "prefixes") == 0) {
    random_prefixes6(lines, r);
  } else if (strcmp(kind, "hosts") == 0) {
    for (long i = 0; i < lines; i++) put6(region_address(r), 128);
  } else if (strcmp(kind, "nets") == 0) {
    for (long i = 0; i < lines; i++) put6(region_address(r), 64);
  } else {
    fail(2, "unknown IPv6 list kind %s", kind);
  }
  if (fflush(stdout) != 0) fail(1, "cannot write the list");
  return 0;
}
