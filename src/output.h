#ifndef TENVIK_OUTPUT_H_
#define TENVIK_OUTPUT_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "tree.h"
#include "writer.h"

// An entry line holds at most this many characters before its newline.
const size_t ENTRY_MAX = 255;

/// A format string read once into pieces, runs of literal characters and
/// conversions, with the modifier texts it prints: entries go by the
/// million, and each then takes a step a piece instead of a character at a
/// time. Read it after the settings are final; it keeps no pointer to them.
struct entry_format {
  enum kind : uint8_t {
    NONE,
    ADDRESS,
    NETMASK,
    WILDCARD,
    MODIFIER,
    PREFIX,
    NUMBER
  };
  /// A conversion and the literal run after it, at `at` in `text`.
  struct piece {
    kind what;
    uint32_t at, length;
  };
  std::vector<piece> pieces;
  /// The literal runs, then the deny and permit texts, then padding that
  /// lets a short text go in one fixed-size copy.
  std::string text;
  uint32_t modifier_at[2] = {0, 0}, modifier_length[2] = {0, 0};
  /// The longest entry without its addresses, and the number of those.
  size_t fixed_max = 0, addresses = 0;
  /// No literal run or modifier text longer than a short copy.
  bool short_texts = true;
  /// The format is "%a/%p", as for routing software and most peers.
  bool address_slash_prefix = false;

  explicit entry_format(const char* format);
};

/// Renders the entry for block addr/prefix in `state` through `format` into
/// line (ENTRY_MAX + 1 bytes), without a newline; returns its length.
/// Conversions: %a address, %k netmask, %w wildcard bits, %m modifier
/// text, %p prefix; % and any other character gives that character, a
/// trailing % nothing; with --seq, %n the entry's number, `index` counting
/// from 0 for the first. No format character is taken once 253 characters
/// are out, and a conversion is cut at ENTRY_MAX.
template <typename F>
size_t format_entry(const entry_format& format, unsigned state,
                    typename F::addr addr, int prefix, char* line,
                    uint64_t index = 0);
template <typename F>
size_t format_entry(const char* format, unsigned state, typename F::addr addr,
                    int prefix, char* line, uint64_t index = 0) {
  return format_entry<F>(entry_format(format), state, addr, prefix, line,
                         index);
}

// The digits of every prefix length, for a copy instead of divisions.
struct prefix_texts {
  char text[129][4] = {};
  uint8_t length[129] = {};
  constexpr prefix_texts() {
    for (int prefix = 0; prefix <= 128; prefix++) {
      int n = 0;
      if (prefix >= 100) text[prefix][n++] = char('0' + prefix / 100);
      if (prefix >= 10) text[prefix][n++] = char('0' + prefix / 10 % 10);
      text[prefix][n++] = char('0' + prefix % 10);
      length[prefix] = uint8_t(n);
    }
  }
};
inline constexpr prefix_texts prefixes;

/// Writes "addr/prefix" into line, without a terminator; returns its
/// length.
template <typename F>
inline size_t put_address_slash_prefix(typename F::addr addr, int prefix,
                                       char* line) {
  size_t len = size_t(F::format(addr, line));
  line[len] = '/';
  memcpy(line + len + 1, prefixes.text[prefix], 4);
  return len + 1 + prefixes.length[prefix];
}

/// Adds one entry line to the output.
template <typename F>
inline void put_entry(chunk_writer& out, const entry_format& format,
                      unsigned state, typename F::addr addr, int prefix) {
  make_room(out, ENTRY_MAX + 2);
  char* line = out.text + out.used;
  // The usual format of a positive list, without a call.
  size_t len =
      format.address_slash_prefix
          ? put_address_slash_prefix<F>(addr, prefix, line)
          : format_entry<F>(format, state, addr, prefix, line, out.lines);
  out.lines++;
  line[len] = '\n';
  out.used += len + 1;
}

/// Prints the entries of the tree, children before parents (so every block
/// comes after the blocks inside it, the root last): ST_YES nodes, and
/// ST_NO nodes unless positive mode is on; then writes out the chunk.
template <typename F>
void print_entries(const prefix_tree<F>& t, chunk_writer& out,
                   const char* format);

#endif  // TENVIK_OUTPUT_H_
