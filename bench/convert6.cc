// Turns CSV files of IPv6 ranges ("start,end[,more]", as in the GeoLite2
// and ASN country CSVs and Tor's geoip6 file) into tenvik lists: the
// ranges as "A - B" lines, or one prefix line per block of each range's
// exact cover. tenvik inserts an IPv6 range as that same cover, so both
// lists mean the same to it, and neither needs cutting up.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_tool.h"

// A field is an address in text or, as in the "-num" CSVs, in decimal.
static bool read_field6(const char*& p, address6* a) {
  const char* end = p + strcspn(p, ",\r\n");
  if (memchr(p, ':', size_t(end - p))) {
    if (!read_ipv6(p, a)) return false;
  } else {
    address6 value = 0;
    const char* q = p;
    for (; q < end && *q >= '0' && *q <= '9'; q++) {
      address6 next = value * 10 + unsigned(*q - '0');
      if (next / 10 != value) return false;  // beyond 128 bits
      value = next;
    }
    if (q == p) return false;
    *a = value;
    p = q;
  }
  return p == end;
}

int convert6_main(int argc, char** argv) {
  if (argc != 3 || (strcmp(argv[1], "ranges") && strcmp(argv[1], "prefixes")))
    fail(2, "usage: bench_tool convert --ipv6 ranges|prefixes CSV");
  bool as_ranges = strcmp(argv[1], "ranges") == 0;
  FILE* in = fopen(argv[2], "r");
  if (!in) fail(1, "cannot open %s", argv[2]);
  char* line = nullptr;
  size_t capacity = 0;
  long number = 0, ranges = 0, blocks = 0;
  while (getline(&line, &capacity, in) > 0) {
    number++;
    const char* p = line;
    if (*p == '#' || *p == '\n' || *p == '\r') continue;
    const char* comma = strchr(p, ',');
    if (comma && !memchr(p, ':', size_t(comma - p)) &&
        memchr(p, '.', size_t(comma - p)))
      continue;  // an IPv4 range in a mixed file
    address6 first, last;
    if (!read_field6(p, &first) || *p++ != ',' || !read_field6(p, &last))
      fail(1, "%s:%ld: not an IPv6 range", argv[2], number);
    if (last < first) fail(1, "%s:%ld: end before start", argv[2], number);
    ranges++;
    if (as_ranges) {
      printf("%s - %s\n", ipv6_text(first).c_str(), ipv6_text(last).c_str());
      continue;
    }
    split_into_blocks6(first, last, [&](address6 start, int len) {
      printf("%s/%d\n", ipv6_text(start).c_str(), len);
      blocks++;
    });
  }
  free(line);
  if (ferror(in)) fail(1, "cannot read %s", argv[2]);
  fclose(in);
  if (fflush(stdout) != 0) fail(1, "cannot write the list");
  fprintf(stderr, "%ld ranges", ranges);
  if (!as_ranges) fprintf(stderr, ", %ld blocks", blocks);
  fputc('\n', stderr);
  return 0;
}
