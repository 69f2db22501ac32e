// tenvik_floor: the benchmark's yardstick, what merely reading a list
// costs. It parses every line as tenvik's reader must (address, optional
// length, optional range end), keeps nothing, and prints the first block of
// every fourth line in the text tenvik writes, so that a ratio of tenvik's
// time to this one shows what tenvik's own work adds. Every step is made as
// fast as plain code allows: a floor that dawdles would flatter the tool.
//
//   tenvik_floor [--ipv6] FILE
//
// A line is blanks, an optional modifier word (permit, deny), the address,
// an optional "/N" and an optional "- LAST" range end; the rest of the line
// is skipped. Lines it cannot read are skipped, not judged; their count
// goes to standard error.

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// Big enough that the read(2) calls cost nothing next to the parsing, small
// enough to stay in the cache.
const size_t CHUNK = size_t(1) << 18;
// A partial line is carried over to the next chunk; a longer one is no
// line of a list.
const size_t MAX_LINE = 4096;

static char input[CHUNK + MAX_LINE + 1];
// The longest output line is an IPv6 address of 39 characters and "/128\n";
// the slack lets a line be written without a bounds check.
static char output[CHUNK + 64];
static size_t output_used = 0;

// Makes the checksum observable, so that the compiler keeps the parsing of
// lines that are never printed.
static volatile uint64_t checksum_sink;

static void write_all(const char* p, size_t n) {
  while (n > 0) {
    ssize_t done = write(1, p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "tenvik_floor: cannot write: %s\n", strerror(errno));
      _exit(1);
    }
    p += done;
    n -= size_t(done);
  }
}

static void flush_output() {
  write_all(output, output_used);
  output_used = 0;
}

// Hexadecimal digit values, 0xff for anything else; a table rather than
// three comparisons, as a fast reader would have it.
static uint8_t hex_value[256];

// "0".."255" packed as the digits in the low bytes and the length in the
// top byte: one load and one 4-byte store per octet or prefix length.
static uint32_t octet_text[256];
static const char HEX[] = "0123456789abcdef";

static void init_tables() {
  memset(hex_value, 0xff, sizeof hex_value);
  for (int c = '0'; c <= '9'; c++) hex_value[c] = uint8_t(c - '0');
  for (int c = 'a'; c <= 'f'; c++) hex_value[c] = uint8_t(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; c++) hex_value[c] = uint8_t(c - 'A' + 10);
  for (unsigned v = 0; v < 256; v++) {
    char digits[4] = {0, 0, 0, 0};
    unsigned n = 0;
    if (v >= 100) digits[n++] = char('0' + v / 100);
    if (v >= 10) digits[n++] = char('0' + v / 10 % 10);
    digits[n++] = char('0' + v % 10);
    octet_text[v] = uint32_t(uint8_t(digits[0])) | uint32_t(uint8_t(digits[1])) << 8 |
                    uint32_t(uint8_t(digits[2])) << 16 | n << 24;
  }
}

static inline bool is_digit(char c) { return unsigned(c - '0') < 10; }

// Every parser below stops at the first character it does not take, and
// each line in the buffer ends in '\n', so none of them needs the buffer's
// end.

// A dotted quad of four numbers 0..255, one to three digits each.
static inline bool read_quad(const char*& p, uint32_t* a) {
  uint32_t value = 0;
  for (int i = 0; i < 4; i++) {
    if (i > 0) {
      if (*p != '.') return false;
      p++;
    }
    if (!is_digit(*p)) return false;
    unsigned octet = unsigned(*p++ - '0');
    if (is_digit(*p)) {
      octet = octet * 10 + unsigned(*p++ - '0');
      if (is_digit(*p)) octet = octet * 10 + unsigned(*p++ - '0');
    }
    if (octet > 255) return false;
    value = value << 8 | octet;
  }
  *a = value;
  return true;
}

// IPv6 text: up to eight groups of one to four hexadecimal digits, at most
// one "::", and a dotted quad in place of the last two groups.
static inline bool read_ipv6(const char*& p, uint16_t group[8]) {
  uint16_t g[8];
  int n = 0, gap = -1;
  if (*p == ':') {
    if (p[1] != ':') return false;
    p += 2;
    gap = 0;
    if (hex_value[uint8_t(*p)] == 0xff) goto expand;
  }
  for (;;) {
    const char* start = p;
    unsigned v = hex_value[uint8_t(*p)];
    if (v == 0xff) return false;
    p++;
    for (int d = 1; d < 4; d++) {
      unsigned h = hex_value[uint8_t(*p)];
      if (h == 0xff) break;
      v = v << 4 | h;
      p++;
    }
    if (*p == '.') {  // the group was the first number of a dotted quad
      uint32_t quad;
      p = start;
      if (n > 6 || !read_quad(p, &quad)) return false;
      g[n++] = uint16_t(quad >> 16);
      g[n++] = uint16_t(quad);
      break;
    }
    if (hex_value[uint8_t(*p)] != 0xff) return false;  // five digits
    g[n++] = uint16_t(v);
    if (*p != ':' || n == 8) break;
    if (p[1] == ':') {
      if (gap >= 0) return false;
      gap = n;
      p += 2;
      if (hex_value[uint8_t(*p)] == 0xff) break;
    } else {
      p++;
    }
  }
expand:
  if (gap < 0) {
    if (n != 8) return false;
    memcpy(group, g, sizeof g);
    return true;
  }
  if (n > 7) return false;  // "::" stands for at least one zero group
  int tail = n - gap;
  for (int i = 0; i < gap; i++) group[i] = g[i];
  for (int i = gap; i < 8 - tail; i++) group[i] = 0;
  for (int i = 0; i < tail; i++) group[8 - tail + i] = g[gap + i];
  return true;
}

// "/N" with N up to max, one to three digits.
static inline bool read_length(const char*& p, unsigned max, unsigned* length) {
  p++;  // the '/'
  if (!is_digit(*p)) return false;
  unsigned v = unsigned(*p++ - '0');
  if (is_digit(*p)) {
    v = v * 10 + unsigned(*p++ - '0');
    if (is_digit(*p)) v = v * 10 + unsigned(*p++ - '0');
  }
  if (v > max || is_digit(*p)) return false;
  *length = v;
  return true;
}

static inline bool ends_token(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '-' || c == '#';
}

// Moves p past a modifier word and the blanks after it. Only called once
// the address failed to read, so that bare lines pay nothing for it.
static inline const char* past_modifier(const char* p) {
  while (*p != ' ' && *p != '\t' && *p != '\n') p++;
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

// length <= 128, so the octet table has its text too.
static inline char* put_length(char* o, unsigned length) {
  uint32_t t = octet_text[length];
  *o++ = '/';
  memcpy(o, &t, 4);
  o += t >> 24;
  *o++ = '\n';
  return o;
}

static inline void put_ipv4(uint32_t a, unsigned length) {
  char* o = output + output_used;
  for (int shift = 24; shift >= 0; shift -= 8) {
    uint32_t t = octet_text[(a >> shift) & 255];
    memcpy(o, &t, 4);  // the stray bytes are overwritten by what follows
    o += t >> 24;
    *o++ = '.';
  }
  o = put_length(o - 1, length);
  output_used = size_t(o - output);
  if (output_used >= CHUNK) flush_output();
}

static inline char* put_group(char* o, unsigned v) {
  if (v >= 0x1000) *o++ = HEX[v >> 12];
  if (v >= 0x100) *o++ = HEX[(v >> 8) & 15];
  if (v >= 0x10) *o++ = HEX[(v >> 4) & 15];
  *o++ = HEX[v & 15];
  return o;
}

// RFC 5952: the first longest run of two or more zero groups becomes "::".
static inline void put_ipv6(const uint16_t g[8], unsigned length) {
  int best = 8, best_length = 1;
  for (int i = 0; i < 8; i++) {
    if (g[i] != 0) continue;
    int j = i + 1;
    while (j < 8 && g[j] == 0) j++;
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j;
  }
  char* o = output + output_used;
  for (int i = 0; i < best; i++) {
    if (i > 0) *o++ = ':';
    o = put_group(o, g[i]);
  }
  if (best < 8) {
    *o++ = ':';
    *o++ = ':';
    for (int i = best + best_length; i < 8; i++) {
      o = put_group(o, g[i]);
      *o++ = ':';
    }
    if (best + best_length < 8) o--;
  }
  o = put_length(o, length);
  output_used = size_t(o - output);
  if (output_used >= CHUNK) flush_output();
}

struct tally {
  uint64_t checksum = 0;
  uint64_t parsed = 0;
  uint64_t unreadable = 0;
};

// Parses the whole lines in [p, end); end[-1] is '\n'.
static void parse_ipv4(const char* p, const char* end, tally* t) {
  uint64_t checksum = t->checksum, parsed = t->parsed, unreadable = t->unreadable;
  while (p < end) {
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '\n') {
      p++;
      continue;
    }
    if (*p != '#' && *p != '\r') {
      uint32_t first, last;
      unsigned length = 32;
      const char* start = p;
      bool ok = read_quad(p, &first);
      if (!ok && !is_digit(*start)) {
        // The modifier's first character decides, so digits may follow it
        // directly ("+10.0.0.0/8").
        p = start + 1;
        while (!is_digit(*p) && *p != '\n') p++;
        ok = read_quad(p, &first);
      }
      if (ok && *p == '/') ok = read_length(p, 32, &length);
      ok = ok && ends_token(*p);
      if (ok) {
        while (*p == ' ' || *p == '\t') p++;
        if (*p == '-') {
          p++;
          while (*p == ' ' || *p == '\t') p++;
          ok = read_quad(p, &last) && ends_token(*p);
          if (ok) checksum ^= uint64_t(last) << 32;
        }
      }
      if (ok) {
        checksum ^= first + length;
        if ((++parsed & 3) == 0) put_ipv4(first, length);
      } else {
        unreadable++;
      }
    }
    while (*p != '\n') p++;
    p++;
  }
  t->checksum = checksum;
  t->parsed = parsed;
  t->unreadable = unreadable;
}

static inline uint64_t fold(const uint16_t g[8]) {
  uint64_t high = uint64_t(g[0]) << 48 | uint64_t(g[1]) << 32 | uint64_t(g[2]) << 16 | g[3];
  uint64_t low = uint64_t(g[4]) << 48 | uint64_t(g[5]) << 32 | uint64_t(g[6]) << 16 | g[7];
  return high ^ (low << 1 | low >> 63);
}

static void parse_ipv6(const char* p, const char* end, tally* t) {
  uint64_t checksum = t->checksum, parsed = t->parsed, unreadable = t->unreadable;
  while (p < end) {
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '\n') {
      p++;
      continue;
    }
    if (*p != '#' && *p != '\r') {
      uint16_t first[8], last[8];
      unsigned length = 128;
      const char* start = p;
      bool ok = read_ipv6(p, first);
      if (!ok && *start != ':') {
        // A modifier may begin with a hexadecimal digit ("deny"), so it can
        // only be told from an address by the address failing.
        p = past_modifier(start);
        ok = read_ipv6(p, first);
      }
      if (ok && *p == '/') ok = read_length(p, 128, &length);
      ok = ok && ends_token(*p);
      if (ok) {
        while (*p == ' ' || *p == '\t') p++;
        if (*p == '-') {
          p++;
          while (*p == ' ' || *p == '\t') p++;
          ok = read_ipv6(p, last) && ends_token(*p);
          if (ok) checksum ^= fold(last) << 7;
        }
      }
      if (ok) {
        checksum ^= fold(first) + length;
        if ((++parsed & 3) == 0) put_ipv6(first, length);
      } else {
        unreadable++;
      }
    }
    while (*p != '\n') p++;
    p++;
  }
  t->checksum = checksum;
  t->parsed = parsed;
  t->unreadable = unreadable;
}

int main(int argc, char** argv) {
  bool ipv6 = argc == 3 && strcmp(argv[1], "--ipv6") == 0;
  if (argc != 2 + ipv6 || argv[argc - 1][0] == '-') {
    fprintf(stderr, "usage: tenvik_floor [--ipv6] FILE\n");
    return 2;
  }
  const char* path = argv[argc - 1];
  int fd = open(path, O_RDONLY);
  if (fd < 0) {
    fprintf(stderr, "tenvik_floor: cannot open %s: %s\n", path, strerror(errno));
    return 1;
  }
  init_tables();
  tally t;
  size_t kept = 0;        // bytes of a partial line at the buffer's start
  bool skipping = false;  // inside a line too long to be carried over
  for (;;) {
    ssize_t got = read(fd, input + kept, CHUNK);
    if (got < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "tenvik_floor: cannot read %s: %s\n", path, strerror(errno));
      return 1;
    }
    size_t have = kept + size_t(got);
    if (got == 0) {
      if (have == 0 || skipping) break;
      input[have++] = '\n';  // a last line without its newline
    }
    char* begin = input;
    char* stop = input + have;
    if (skipping) {
      char* newline = static_cast<char*>(memchr(begin, '\n', have));
      if (!newline) continue;  // kept is still 0: the whole chunk dropped
      begin = newline + 1;
      skipping = false;
    }
    char* line_end = stop;
    while (line_end > begin && line_end[-1] != '\n') line_end--;
    if (line_end > begin) {
      if (ipv6)
        parse_ipv6(begin, line_end, &t);
      else
        parse_ipv4(begin, line_end, &t);
    }
    if (got == 0) break;
    kept = size_t(stop - line_end);
    if (kept > MAX_LINE) {
      t.unreadable++;
      skipping = true;
      kept = 0;
    } else {
      memmove(input, line_end, kept);
    }
  }
  close(fd);
  flush_output();
  checksum_sink = t.checksum;
  if (t.unreadable > 0)
    fprintf(stderr, "tenvik_floor: %llu unreadable lines skipped\n",
            static_cast<unsigned long long>(t.unreadable));
  return 0;
}
