#include "output.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "address.h"
#include "settings.h"

// No format character is taken once this many characters are out.
const size_t FORMAT_STOP = 253;
// Bytes past every text that a short copy may read.
const size_t PAD = 16;


entry_format::entry_format(const char* format) {
  // Characters that print as themselves, "%%" and unknown conversions among
  // them, go with the conversion before them as one literal run: the rule of
  // 253 cuts a run just where it would stop taking its characters one by
  // one. The first piece converts nothing and holds the run before the
  // first conversion.
  pieces.push_back({NONE, 0, 0});
  auto conversion = [this](kind what) {
    pieces.push_back({what, uint32_t(text.size()), 0});
  };
  auto literal = [this](char c) {
    pieces.back().length++;
    text += c;
  };
  for (const char* f = format; *f;) {
    if (*f != '%') {
      literal(*f++);
      continue;
    }
    if (!*++f) break;
    switch (char c = *f++) {
      case 'a':
        conversion(ADDRESS);
        break;
      case 'k':
        conversion(NETMASK);
        break;
      case 'w':
        conversion(WILDCARD);
        break;
      case 'm':
        conversion(MODIFIER);
        break;
      case 'p':
        conversion(PREFIX);
        break;
      case 'n':
        if (settings.opt_seq) {
          conversion(NUMBER);
          break;
        }
        literal(c);
        break;
      default:
        literal(c);
    }
  }
  if (pieces[0].length == 0) pieces.erase(pieces.begin());
  address_slash_prefix = pieces.size() == 2 && pieces[0].what == ADDRESS &&
                         pieces[0].length == 1 && text[pieces[0].at] == '/' &&
                         pieces[1].what == PREFIX && pieces[1].length == 0;
  // Nothing past ENTRY_MAX of a modifier text is ever printed.
  const char* modifiers[2] = {settings.deny_string, settings.permit_string};
  for (int i = 0; i < 2; i++) {
    size_t n = strnlen(modifiers[i], ENTRY_MAX);
    modifier_at[i] = uint32_t(text.size());
    modifier_length[i] = uint32_t(n);
    text.append(modifiers[i], n);
  }
  text.append(PAD, '\0');
  // The longest entry but for its addresses, and whether every short copy
  // stays a short copy.
  short_texts = modifier_length[0] <= PAD && modifier_length[1] <= PAD;
  size_t modifier_max = std::max(modifier_length[0], modifier_length[1]);
  for (const piece& p : pieces) {
    short_texts = short_texts && p.length <= PAD;
    fixed_max += p.length;
    if (p.what == ADDRESS || p.what == NETMASK || p.what == WILDCARD)
      addresses++;
    else if (p.what == MODIFIER)
      fixed_max += modifier_max;
    else if (p.what == PREFIX)
      fixed_max += 3;
    else if (p.what == NUMBER)
      fixed_max += 20;
  }
}

// Appends n bytes of src to the len in line, cut at `limit`.
__attribute__((noinline)) static size_t put_cut(char* line, size_t len,
                                                const char* src, size_t n,
                                                size_t limit) {
  if (n > limit - len) n = limit - len;
  memcpy(line + len, src, n);
  return len + n;
}

// put_cut, in one fixed-size copy when the text is short and nowhere near
// the cut (src has PAD bytes readable past it): the bytes past n are
// written over or cut later.
static inline size_t put(char* line, size_t len, const char* src, size_t n,
                         size_t limit) {
  if (n > PAD || len > FORMAT_STOP - PAD)
    return put_cut(line, len, src, n, limit);
  memcpy(line + len, src, PAD);
  return len + n;
}

template <typename F>
__attribute__((noinline)) static size_t put_address_cut(char* line, size_t len,
                                                        typename F::addr a) {
  char text[F::TEXT_MAX];
  return put_cut(line, len, text, size_t(F::format(a, text)), ENTRY_MAX);
}

template <typename F>
static inline size_t put_address(char* line, size_t len, typename F::addr a) {
  // Straight into the line when the whole text and its NUL fit.
  if (len + F::TEXT_MAX > ENTRY_MAX + 1)
    return put_address_cut<F>(line, len, a);
  return len + size_t(F::format(a, line + len));
}

__attribute__((noinline)) static size_t put_number(char* line, size_t len,
                                                   uint64_t index) {
  // Wraps rather than overflows, for absurd starts and steps.
  long long number = static_cast<long long>(
      static_cast<unsigned long long>(settings.seq_start) +
      static_cast<unsigned long long>(settings.seq_step) * index);
  char digits[24];
  int n = snprintf(digits, sizeof digits, "%lld", number);
  return put_cut(line, len, digits, size_t(n), ENTRY_MAX);
}

template <typename F>
size_t format_entry(const entry_format& format, unsigned state,
                    typename F::addr addr, int prefix, char* line,
                    uint64_t index) {
  if (format.address_slash_prefix) {
    size_t len = put_address_slash_prefix<F>(addr, prefix, line);
    line[len] = '\0';
    return len;
  }
  // Locals, not the program's fields: every byte stored through line might
  // alias those, and would make the compiler load them again.
  const entry_format::piece* piece = format.pieces.data();
  const entry_format::piece* const end = piece + format.pieces.size();
  const char* const text = format.text.data();
  const int m = state == ST_YES;
  const char* const modifier = text + format.modifier_at[m];
  const size_t modifier_length = format.modifier_length[m];
  size_t len = 0;
  // Where no entry can come near the cut, nor any copy or text reach past
  // the line, the pieces go without a test of the length.
  if (format.short_texts &&
      format.fixed_max + format.addresses * (F::TEXT_MAX - 1) + F::TEXT_MAX <=
          ENTRY_MAX + 1) {
    for (; piece != end; piece++) {
      switch (piece->what) {
        case entry_format::NONE:
          break;
        case entry_format::ADDRESS:
          len += size_t(F::format(addr, line + len));
          break;
        case entry_format::NETMASK:
          len += size_t(F::format(F::netmask(prefix), line + len));
          break;
        case entry_format::WILDCARD:
          len += size_t(F::format(wildcard_of<F>(prefix), line + len));
          break;
        case entry_format::MODIFIER:
          memcpy(line + len, modifier, PAD);
          len += modifier_length;
          break;
        case entry_format::PREFIX:
          memcpy(line + len, prefixes.text[prefix], 4);
          len += prefixes.length[prefix];
          break;
        case entry_format::NUMBER:
          len = put_number(line, len, index);
          break;
      }
      memcpy(line + len, text + piece->at, PAD);
      len += piece->length;
    }
    line[len] = '\0';
    return len;
  }
  for (; piece != end; piece++) {
    switch (piece->what) {
      case entry_format::NONE:
        break;
      case entry_format::ADDRESS:
        len = put_address<F>(line, len, addr);
        break;
      case entry_format::NETMASK:
        len = put_address<F>(line, len, F::netmask(prefix));
        break;
      case entry_format::WILDCARD:
        len = put_address<F>(line, len, wildcard_of<F>(prefix));
        break;
      case entry_format::MODIFIER:
        len = put(line, len, modifier, modifier_length, ENTRY_MAX);
        break;
      case entry_format::PREFIX:
        // Four bytes fit, as len is below 253.
        memcpy(line + len, prefixes.text[prefix], 4);
        len += prefixes.length[prefix];
        break;
      case entry_format::NUMBER:
        len = put_number(line, len, index);
        break;
    }
    if (len >= FORMAT_STOP) break;
    len = put(line, len, text + piece->at, piece->length, FORMAT_STOP);
    if (len >= FORMAT_STOP) break;
  }
  line[len] = '\0';
  return len;
}

template <typename F>
static void print_walk(const prefix_tree<F>& t, chunk_writer& out,
                       const node* x, typename F::addr addr, int prefix,
                       const entry_format& format) {
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
  print_walk(t, out, &t.root, 0, 0, entry_format(format));
  flush_text(out);
}

#define INSTANTIATE(F)                                                         \
  template size_t format_entry<F>(const entry_format&, unsigned, F::addr, int, \
                                  char*, uint64_t);                            \
  template void print_entries(const prefix_tree<F>&, chunk_writer&,            \
                              const char*);
INSTANTIATE(ipv4)
INSTANTIATE(ipv6)
