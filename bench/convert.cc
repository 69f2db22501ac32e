// Turns CSV files of IPv4 ranges ("start,end[,more]", numeric or dotted,
// as in GeoLite2 country CSVs and Tor's geoip file) into tenvik lists: one
// prefix line per aligned block, or range lines (cut into small ones, or
// whole).

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_tool.h"

// A range that tenvik inserts as more blocks than this is cut up.
const uint64_t MAX_BLOCKS_PER_RANGE = 256;

static bool read_field(const char*& p, uint32_t* a) {
  const char* end = p + strcspn(p, ",\r\n");
  if (memchr(p, '.', size_t(end - p))) {
    if (!read_quad(p, a)) return false;
  } else {
    char* stop;
    unsigned long long v = strtoull(p, &stop, 10);
    if (stop == p || v > 0xffffffffull) return false;
    *a = uint32_t(v);
    p = stop;
  }
  return p == end;
}

int convert_main(int argc, char** argv) {
  if (argc != 3 || (strcmp(argv[1], "ranges") && strcmp(argv[1], "whole") &&
                    strcmp(argv[1], "prefixes")))
    fail(2, "usage: bench_tool convert ranges|whole|prefixes CSV");
  bool whole = strcmp(argv[1], "whole") == 0;
  bool as_ranges = whole || strcmp(argv[1], "ranges") == 0;
  FILE* in = fopen(argv[2], "r");
  if (!in) fail(1, "cannot open %s", argv[2]);
  char* line = nullptr;
  size_t capacity = 0;
  long number = 0, ranges = 0, cut = 0;
  auto put_prefix = [](uint32_t a, int len) {
    printf("%s/%d\n", quad_text(a).c_str(), len);
  };
  auto put_range = [](uint32_t first, uint32_t last) {
    printf("%s - %s\n", quad_text(first).c_str(), quad_text(last).c_str());
  };
  while (getline(&line, &capacity, in) > 0) {
    number++;
    const char* p = line;
    if (*p == '#' || *p == '\n' || *p == '\r') continue;
    if (strchr(p, ':')) continue;  // an IPv6 range
    uint32_t first, last;
    if (!read_field(p, &first) || *p++ != ',' || !read_field(p, &last))
      fail(1, "%s:%ld: not an IPv4 range", argv[2], number);
    if (last < first) fail(1, "%s:%ld: end before start", argv[2], number);
    ranges++;
    if (!as_ranges) {
      split_into_blocks(first, last, put_prefix);
      continue;
    }
    // Country databases merge neighbouring blocks into ranges that tenvik
    // inserts address by address: over a billion insertions for a whole
    // database, more than its node pool holds once a trace or a dump line
    // needs the tree of single blocks. For "ranges" such a range, and for both kinds one
    // that tenvik would widen, is written as one range line per aligned
    // block; the others stay whole.
    uint64_t blocks = tenvik_range_blocks(first, last);
    if (blocks >= 1 && (whole || blocks <= MAX_BLOCKS_PER_RANGE)) {
      put_range(first, last);
      continue;
    }
    cut++;
    split_into_blocks(first, last, [&](uint32_t start, int len) {
      uint32_t end = len == 0 ? 0xffffffffu : start + (0xffffffffu >> len);
      if (tenvik_range_blocks(start, end) == 1)
        put_range(start, end);
      else  // a lone x.y.z.0, which tenvik would widen as a range
        put_prefix(start, len);
    });
  }
  free(line);
  if (ferror(in)) fail(1, "cannot read %s", argv[2]);
  fclose(in);
  if (fflush(stdout) != 0) fail(1, "cannot write the list");
  fprintf(stderr, "%ld ranges", ranges);
  if (as_ranges) fprintf(stderr, ", %ld of them cut into blocks", cut);
  fputc('\n', stderr);
  return 0;
}
