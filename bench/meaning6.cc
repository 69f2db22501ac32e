// The meaning of an IPv6 list, computed the slow and obvious way over all
// 128 bits, with no sampling: the block boundaries cut the address space
// into intervals, and a sweep gives each interval the state of the block
// that decides for it. In a list the most specific block decides (the
// later line between equal blocks); in tenvik's output (--output) the
// first line that matches decides, as on a router. An address that no
// block contains is denied. Prints the permitted addresses as merged
// ranges "A-B", ascending, one per line, so that two lists mean the same
// exactly when their outputs are equal.
//
// It reads lines as tenvik's IPv6 mode does: an optional modifier, then
// ADDR/LEN, a range A - B, an address with a mask, or a bare address;
// a line that begins with an IPv4 block is skipped. With --output every
// line must be an entry as tenvik writes it: "[WORD ]ADDR/LEN", ADDR in
// canonical text and the first address of its block. A line it cannot
// model ends it with status 2; an output that breaks the form, or (with
// --flat) holds overlapping blocks, ends it with status 1.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_tool.h"

namespace {

struct block6 {
  address6 start;
  uint32_t order;  // line number
  uint8_t len;
  bool permit;
  address6 last() const { return start | host_bits6(len); }
};

bool is_address_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// Whether the run of address characters at p holds a ':'.
bool run_has_colon(const char* p) {
  for (; is_address_char(*p); p++)
    if (*p == ':') return true;
  return false;
}

struct list_reader6 {
  const char* name;
  bool output = false;
  std::vector<block6> blocks;

  [[noreturn]] void not_modelled(long number, const char* why) {
    fail(2, "%s:%ld: not modelled: %s", name, number, why);
  }
  [[noreturn]] void bad_entry(long number, const char* why) {
    fail(1, "%s:%ld: not an entry as tenvik writes it: %s", name, number, why);
  }

  // Reads a valid run at p: inet_pton accepts it and no letter or '_'
  // follows it.
  bool read_run(const char*& p, address6* a) {
    const char* q = p;
    if (!read_ipv6(q, a)) return false;
    if ((*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z') || *q == '_')
      return false;
    p = q;
    return true;
  }

  void add(address6 a, int len, long number, bool permit) {
    blocks.push_back(
        {a & ~host_bits6(len), uint32_t(number), uint8_t(len), permit});
  }

  void parse(const char* p, long number) {
    while (*p == ' ' || *p == '\t' || *p == '\r') p++;
    if (*p == '\0' || *p == '\n') return;
    bool permit = true;
    const char* word = p;
    if (!(is_address_char(*p) && run_has_colon(p))) {
      if (*p >= '0' && *p <= '9') {
        if (output) bad_entry(number, "an IPv4 block");
        return;  // an IPv4 line
      }
      permit = strchr("PpYy+", *p) != nullptr;
      p++;
      while (*p && !(is_address_char(*p) && run_has_colon(p))) {
        while (is_address_char(*p)) p++;
        while (*p && !is_address_char(*p)) p++;
      }
      if (!*p) {
        if (output) bad_entry(number, "no IPv6 block");
        return;  // not an IPv6 line
      }
    }
    const char* text = p;
    address6 a;
    if (!read_run(p, &a)) {
      if (output) bad_entry(number, "an invalid IPv6 address");
      not_modelled(number, "an invalid IPv6 address");
    }
    if (output) {
      check_entry(word, text, p, a, number);
      return;
    }
    const char* after = p;
    while (*p == ' ' || *p == '\t') p++;
    if (*after == '/') {
      p = after + 1;
      while (*p == ' ' || *p == '\t') p++;
      if (*p == '-') not_modelled(number, "a negative prefix length");
      if (*p == '+') p++;
      if (*p < '0' || *p > '9') not_modelled(number, "no prefix length");
      int len = 0;
      while (*p >= '0' && *p <= '9' && len <= 128)
        len = len * 10 + (*p++ - '0');
      if (len > 128) not_modelled(number, "prefix length above 128");
      add(a, len, number, permit);
    } else if (*p == '-') {
      p++;
      while (*p == ' ' || *p == '\t') p++;
      address6 last;
      if (!read_run(p, &last)) not_modelled(number, "range without valid end");
      if (last < a) not_modelled(number, "range end below start");
      split_into_blocks6(a, last, [&](address6 start, int len) {
        add(start, len, number, permit);
      });
    } else if (p > after && is_address_char(*p) && run_has_colon(p)) {
      address6 mask;
      if (!read_run(p, &mask)) not_modelled(number, "an invalid mask");
      address6 netmask = mask >> 127 ? mask : ~mask;
      int len = 0;
      while (len < 128 && (netmask >> (127 - len) & 1)) len++;
      if (netmask != ~host_bits6(len))
        not_modelled(number, "a mask that is not contiguous");
      if (len == 128 && a == 0) not_modelled(number, "a mask treated as /0");
      add(a, len, number, permit);
    } else {
      add(a, 128, number, permit);
    }
  }

  // An entry "[WORD ]ADDR/LEN" in canonical text, nothing after it.
  void check_entry(const char* word, const char* text, const char* p,
                   address6 a, long number) {
    if (word != text) {
      const char* q = word;
      while (*q && *q != ' ' && *q != '\t') q++;
      while (*q == ' ' || *q == '\t') q++;
      if (q != text) bad_entry(number, "more than one word before the block");
    }
    if (std::string(text, size_t(p - text)) != ipv6_text(a))
      bad_entry(number, "the address is not in canonical text");
    if (*p++ != '/' || *p < '0' || *p > '9')
      bad_entry(number, "no /LEN after the address");
    int len = 0;
    while (*p >= '0' && *p <= '9' && len <= 128) len = len * 10 + (*p++ - '0');
    if (len > 128) bad_entry(number, "prefix length above 128");
    if (a & host_bits6(len))
      bad_entry(number, "the address is not the first of its block");
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    if (*p) bad_entry(number, "text after the block");
    add(a, len, number, word == text || strchr("PpYy+", *word) != nullptr);
  }
};

// Collects permitted ranges, merging neighbours.
struct range_printer6 {
  bool open = false;
  address6 first = 0, last = 0;
  void add(address6 from, address6 to, bool permit) {
    if (!permit || from > to) return;  // a block that ends with its container
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
      printf("%s-%s\n", ipv6_text(first).c_str(), ipv6_text(last).c_str());
    open = false;
  }
};

}  // namespace

int meaning6_main(int argc, char** argv) {
  list_reader6 reader;
  bool flat = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1]; i++) {
    if (strcmp(argv[i], "--output") == 0)
      reader.output = true;
    else if (strcmp(argv[i], "--flat") == 0)
      flat = true;
    else
      fail(2, "unknown option %s", argv[i]);
  }
  if (i + 1 != argc)
    fail(2, "usage: bench_tool meaning --ipv6 [--output] [--flat] LIST");
  reader.name = argv[i];
  FILE* in = fopen(reader.name, "r");
  if (!in) fail(2, "cannot open %s", reader.name);
  char* line = nullptr;
  size_t capacity = 0;
  for (long number = 1; getline(&line, &capacity, in) > 0; number++) {
    char* hash = strchr(line, '#');
    if (hash) *hash = '\0';
    if (line[0] == '*') continue;  // a dump request changes nothing
    reader.parse(line, number);
  }
  free(line);
  if (ferror(in)) fail(2, "cannot read %s", reader.name);
  fclose(in);

  std::vector<block6>& blocks = reader.blocks;
  // Outer blocks before the blocks inside them; equal blocks by line.
  std::sort(blocks.begin(), blocks.end(), [](const block6& x, const block6& y) {
    if (x.start != y.start) return x.start < y.start;
    if (x.len != y.len) return x.len < y.len;
    return x.order < y.order;
  });
  if (flat) {
    for (size_t k = 1; k < blocks.size(); k++) {
      if (blocks[k].start <= blocks[k - 1].last())
        fail(1, "%s: blocks %s/%d and %s/%d overlap", reader.name,
             ipv6_text(blocks[k - 1].start).c_str(), blocks[k - 1].len,
             ipv6_text(blocks[k].start).c_str(), blocks[k].len);
    }
  }

  // A sweep from low to high addresses with the stack of blocks that
  // contain the current address, innermost on top. Each holds the block
  // that decides inside it and outside the blocks above it: itself in a
  // list; in an output, whichever of it and its container's decider comes
  // first.
  struct open_block {
    address6 last;
    uint32_t order;  // of the deciding block
    bool permit;
  };
  range_printer6 out;
  std::vector<open_block> open;
  address6 next = 0;   // the first address not yet given a state
  bool swept = false;  // every address has its state
  auto close_until = [&](address6 limit, bool all) {
    while (!open.empty() && (all || open.back().last < limit)) {
      if (!swept) out.add(next, open.back().last, open.back().permit);
      // Blocks that end at the last address end there together.
      if (open.back().last == ~address6(0)) swept = true;
      next = open.back().last + 1;
      open.pop_back();
    }
  };
  // Equal blocks stack up in line order, so the later line decides in a
  // list and the earlier one in an output.
  for (const block6& b : blocks) {
    close_until(b.start, false);
    if (b.start > next)
      out.add(next, b.start - 1, !open.empty() && open.back().permit);
    next = b.start;
    if (reader.output && !open.empty() && open.back().order < b.order)
      open.push_back({b.last(), open.back().order, open.back().permit});
    else
      open.push_back({b.last(), b.order, b.permit});
  }
  close_until(0, true);
  out.flush();
  if (fflush(stdout) != 0) fail(1, "cannot write the ranges");
  return 0;
}
