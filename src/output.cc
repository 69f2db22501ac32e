#include "output.h"

#include <stdio.h>
#include <string.h>

#include "address.h"
#include "settings.h"

static size_t append(char* line, size_t len, const char* text, size_t n) {
  if (n > ENTRY_MAX - len) n = ENTRY_MAX - len;
  memcpy(line + len, text, n);
  return len + n;
}

size_t format_entry(const char* format, unsigned state, uint32_t addr,
                    int prefix, char* line) {
  size_t len = 0;
  char text[16];
  for (const char* f = format; *f && len < 253;) {
    if (*f != '%') {
      line[len++] = *f++;
      continue;
    }
    if (!*++f) break;
    switch (char c = *f++) {
      case 'a':
        len = append(line, len, text, size_t(format_dotted(addr, text)));
        break;
      case 'k':
        len = append(line, len, text,
                     size_t(format_dotted(netmask(prefix), text)));
        break;
      case 'w':
        len = append(line, len, text,
                     size_t(format_dotted(wildcard(prefix), text)));
        break;
      case 'm': {
        const char* m = state == ST_YES ? permit_string : deny_string;
        len = append(line, len, m, strlen(m));
        break;
      }
      case 'p': {
        size_t n = 0;
        if (prefix >= 10) text[n++] = char('0' + prefix / 10);
        text[n++] = char('0' + prefix % 10);
        len = append(line, len, text, n);
        break;
      }
      default:
        line[len++] = c;
    }
  }
  line[len] = '\0';
  return len;
}

// Entries are gathered into one chunk and written a chunk at a time: a big
// list has hundreds of thousands of them.
static char chunk[1 << 16];
static size_t chunk_used = 0;

void put_entry(const char* format, unsigned state, uint32_t addr, int prefix) {
  if (sizeof chunk - chunk_used < ENTRY_MAX + 2) {
    fwrite(chunk, 1, chunk_used, out_stream);
    chunk_used = 0;
  }
  size_t len = format_entry(format, state, addr, prefix, chunk + chunk_used);
  chunk[chunk_used + len] = '\n';
  chunk_used += len + 1;
}

void end_entries() {
  fwrite(chunk, 1, chunk_used, out_stream);
  chunk_used = 0;
}

static void print_walk(const node* x, uint32_t addr, int prefix,
                       const char* format) {
  if (!is_leaf(x)) {
    const node* c0 = get_child(x, 0);
    const node* c1 = get_child(x, 1);
    if (c0) print_walk(c0, addr, prefix + 1, format);
    if (c1) print_walk(c1, child_addr(addr, prefix, 1), prefix + 1, format);
  }
  unsigned s = get_state(x);
  if (s == ST_YES || (s == ST_NO && !opt_positive))
    put_entry(format, s, addr, prefix);
}

void print_entries(const node* x, const char* format) {
  if (!x) return;
  print_walk(x, 0, 0, format);
  end_entries();
}
