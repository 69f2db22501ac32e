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

template <typename F>
size_t format_entry(const char* format, unsigned state, typename F::addr addr,
                    int prefix, char* line, uint64_t index) {
  size_t len = 0;
  char text[F::TEXT_MAX];
  for (const char* f = format; *f && len < 253;) {
    if (*f != '%') {
      line[len++] = *f++;
      continue;
    }
    if (!*++f) break;
    switch (char c = *f++) {
      case 'a':
        len = append(line, len, text, size_t(F::format(addr, text)));
        break;
      case 'k':
        len = append(line, len, text,
                     size_t(F::format(F::netmask(prefix), text)));
        break;
      case 'w':
        len = append(line, len, text,
                     size_t(F::format(wildcard_of<F>(prefix), text)));
        break;
      case 'm': {
        const char* m =
            state == ST_YES ? settings.permit_string : settings.deny_string;
        len = append(line, len, m, strlen(m));
        break;
      }
      case 'p': {
        size_t n = 0;
        if (prefix >= 100) text[n++] = char('0' + prefix / 100);
        if (prefix >= 10) text[n++] = char('0' + prefix / 10 % 10);
        text[n++] = char('0' + prefix % 10);
        len = append(line, len, text, n);
        break;
      }
      case 'n':
        if (settings.opt_seq) {
          // Wraps rather than overflows, for absurd starts and steps.
          long long number = static_cast<long long>(
              static_cast<unsigned long long>(settings.seq_start) +
              static_cast<unsigned long long>(settings.seq_step) * index);
          char digits[24];
          int n = snprintf(digits, sizeof digits, "%lld", number);
          len = append(line, len, digits, size_t(n));
          break;
        }
        line[len++] = c;
        break;
      default:
        line[len++] = c;
    }
  }
  line[len] = '\0';
  return len;
}

template <typename F>
static void print_walk(const prefix_tree<F>& t, chunk_writer& out,
                       const node* x, typename F::addr addr, int prefix,
                       const char* format) {
  if (!is_leaf(x)) {
    const node* c0 = t.child(x, 0);
    const node* c1 = t.child(x, 1);
    if (c0) print_walk(t, out, c0, addr, prefix + 1, format);
    if (c1)
      print_walk(t, out, c1, child_of<F>(addr, prefix, 1), prefix + 1, format);
  }
  unsigned s = get_state(x);
  if (s == ST_YES || (s == ST_NO && !settings.opt_positive))
    put_entry<F>(out, format, s, addr, prefix);
}

template <typename F>
void print_entries(const prefix_tree<F>& t, chunk_writer& out,
                   const char* format) {
  print_walk(t, out, &t.root, 0, 0, format);
  flush_text(out);
}

#define INSTANTIATE(F)                                                        \
  template size_t format_entry<F>(const char*, unsigned, F::addr, int, char*, \
                                  uint64_t);                                  \
  template void print_entries(const prefix_tree<F>&, chunk_writer&,           \
                              const char*);
INSTANTIATE(ipv4)
INSTANTIATE(ipv6)
