// The meaning of a list, computed the slow and obvious way: every address
// takes the state of the most specific block that contains it (the later
// line wins between equal blocks), and an address that no block contains
// is denied. Prints the permitted addresses as merged ranges
// "a.b.c.d-e.f.g.h", ascending, one per line, so that two lists mean the
// same exactly when their outputs are equal.
//
// It reads the lines that the benchmark's lists and tenvik's outputs hold:
// an optional modifier word, then a.b.c.d/len, a range a.b.c.d - e.f.g.h,
// a bare address, or (with --wildcard) an address and wildcard bits, as in
// tenvik's default output. A line it cannot model surely ends it with
// status 2, so a caller can tell "not checked" from "differs".

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "bench_tool.h"

namespace {

struct block {
  uint32_t start;
  uint32_t order;  // line number: the later of two equal blocks wins
  uint8_t len;
  bool permit;
  uint64_t last() const {
    return uint64_t(start) + (uint64_t(1) << (32 - len)) - 1;
  }
};

struct list_reader {
  const char* name;
  bool wildcard = false;
  std::vector<block> blocks;
  bool any_deny = false;
  long multi_block_range_line = 0;

  [[noreturn]] void not_modelled(long number, const char* why) {
    fail(2, "%s:%ld: not modelled: %s", name, number, why);
  }

  void parse(const char* p, long number) {
    while (*p == ' ' || *p == '\t' || *p == '\r') p++;
    if (*p == '\0' || *p == '\n') return;
    bool permit = true;
    if (*p < '0' || *p > '9') {
      permit = strchr("PpYy+", *p) != nullptr;
      while (*p && (*p < '0' || *p > '9')) p++;
      if (!*p) return;  // tenvik ignores a line without digits
    }
    if (!permit) any_deny = true;
    uint32_t a;
    if (!read_quad(p, &a)) not_modelled(number, "not a dotted quad");
    while (*p == ' ' || *p == '\t') p++;
    uint32_t order = uint32_t(number);
    if (*p == '/') {
      p++;
      if (*p < '0' || *p > '9') not_modelled(number, "no prefix length");
      int len = 0;
      while (*p >= '0' && *p <= '9' && len <= 32) len = len * 10 + (*p++ - '0');
      if (len > 32) not_modelled(number, "prefix length above 32");
      blocks.push_back({block_start(a, len), order, uint8_t(len), permit});
    } else if (*p == '-') {
      p++;
      while (*p == ' ' || *p == '\t') p++;
      uint32_t last;
      if (!read_quad(p, &last)) not_modelled(number, "range without end");
      if (last < a) return;  // an empty range
      if (tenvik_range_blocks(a, last) == 0)
        not_modelled(number, "a range that tenvik widens to classful blocks");
      size_t before = blocks.size();
      split_into_blocks(a, last, [&](uint32_t start, int len) {
        blocks.push_back({start, order, uint8_t(len), permit});
      });
      // tenvik inserts a range as equal blocks, which the minimal blocks
      // here only match while nothing of the opposite state is inside.
      if (blocks.size() - before > 1 && !multi_block_range_line)
        multi_block_range_line = number;
    } else if (*p >= '0' && *p <= '9') {
      uint32_t bits;
      if (!wildcard || !read_quad(p, &bits))
        not_modelled(number, "an address with a mask");
      int len = bits == 0 ? 32 : __builtin_clz(bits);
      if (len == 32 ? bits != 0 : bits != (0xffffffffu >> len))
        not_modelled(number, "wildcard bits that are not contiguous");
      blocks.push_back({block_start(a, len), order, uint8_t(len), permit});
    } else {
      if ((a & 255) == 0 && a < 0xe0000000u)
        not_modelled(number, "a bare x.y.z.0 address names a classful block");
      blocks.push_back({a, order, 32, permit});
    }
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    if (*p) not_modelled(number, "text after the address");
  }
};

// Collects permitted ranges, merging neighbours.
struct range_printer {
  bool open = false;
  uint64_t first = 0, last = 0;
  void add(uint64_t from, uint64_t to, bool permit) {
    if (!permit || from > to) return;
    if (open && from == last + 1) {
      last = to;
      return;
    }
    flush();
    open = true;
    first = from;
    last = to;
  }
  void flush() {
    if (open)
      printf("%s-%s\n", quad_text(uint32_t(first)).c_str(),
             quad_text(uint32_t(last)).c_str());
    open = false;
  }
};

}  // namespace

int meaning_main(int argc, char** argv) {
  list_reader reader;
  bool flat = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1]; i++) {
    if (strcmp(argv[i], "--wildcard") == 0)
      reader.wildcard = true;
    else if (strcmp(argv[i], "--flat") == 0)
      flat = true;
    else
      fail(2, "unknown option %s", argv[i]);
  }
  if (i + 1 != argc)
    fail(2, "usage: bench_tool meaning [--wildcard] [--flat] LIST");
  reader.name = argv[i];
  FILE* in = fopen(reader.name, "r");
  if (!in) fail(2, "cannot open %s", reader.name);
  char* line = nullptr;
  size_t capacity = 0;
  // As in tenvik, a NUL byte ends the text of its line.
  for (long number = 1; getline(&line, &capacity, in) > 0; number++) {
    char* hash = strchr(line, '#');
    if (hash) *hash = '\0';
    if (line[0] == '*') continue;  // a dump request changes nothing
    reader.parse(line, number);
  }
  free(line);
  if (ferror(in)) fail(2, "cannot read %s", reader.name);
  fclose(in);
  if (reader.any_deny && reader.multi_block_range_line)
    reader.not_modelled(reader.multi_block_range_line,
                        "a range of several blocks in a list with deny lines");

  std::vector<block>& blocks = reader.blocks;
  // Outer blocks before the blocks inside them; equal blocks by line.
  std::sort(blocks.begin(), blocks.end(), [](const block& x, const block& y) {
    if (x.start != y.start) return x.start < y.start;
    if (x.len != y.len) return x.len < y.len;
    return x.order < y.order;
  });
  if (flat) {
    for (size_t k = 1; k < blocks.size(); k++) {
      if (blocks[k].start <= blocks[k - 1].last())
        fail(1, "%s: blocks %s/%d and %s/%d overlap", reader.name,
             quad_text(blocks[k - 1].start).c_str(), blocks[k - 1].len,
             quad_text(blocks[k].start).c_str(), blocks[k].len);
    }
  }

  // A sweep from low to high addresses with the stack of blocks that
  // contain the current address, innermost on top.
  range_printer out;
  std::vector<block> open;
  uint64_t next = 0;  // the first address not yet given a state
  auto close_until = [&](uint64_t limit) {
    while (!open.empty() && open.back().last() < limit) {
      out.add(next, open.back().last(), open.back().permit);
      next = open.back().last() + 1;
      open.pop_back();
    }
  };
  for (size_t k = 0; k < blocks.size(); k++) {
    // Of equal blocks only the last line counts.
    if (k + 1 < blocks.size() && blocks[k + 1].start == blocks[k].start &&
        blocks[k + 1].len == blocks[k].len)
      continue;
    const block& b = blocks[k];
    close_until(b.start);
    if (b.start > next)
      out.add(next, uint64_t(b.start) - 1, !open.empty() && open.back().permit);
    next = b.start;
    open.push_back(b);
  }
  close_until(uint64_t(1) << 32);
  out.flush();
  if (fflush(stdout) != 0) fail(1, "cannot write the ranges");
  return 0;
}
