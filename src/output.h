#ifndef TENVIK_OUTPUT_H_
#define TENVIK_OUTPUT_H_

#include <stddef.h>
#include <stdint.h>

#include "tree.h"

// An entry line holds at most this many characters before its newline.
const size_t ENTRY_MAX = 255;

/// Renders the entry for block addr/prefix in `state` through `format` into
/// line (ENTRY_MAX + 1 bytes), without a newline; returns its length.
/// Conversions: %a address, %k netmask, %w wildcard bits, %m modifier
/// text, %p prefix; % and any other character gives that character, a
/// trailing % nothing. No format character is taken once 253 characters
/// are out, and a conversion is cut at ENTRY_MAX.
size_t format_entry(const char* format, unsigned state, uint32_t addr,
                    int prefix, char* line);

/// Adds one entry line to the output, which goes out in big chunks.
void put_entry(const char* format, unsigned state, uint32_t addr, int prefix);

/// Writes out the entries put so far.
void end_entries();

/// Prints the entries of the tree whose root is x (the block 0.0.0.0/0),
/// children before parents (so every block comes after the blocks inside
/// it, the root last): ST_YES nodes, and ST_NO nodes unless positive mode
/// is on.
void print_entries(const node* x, const char* format);

#endif  // TENVIK_OUTPUT_H_
