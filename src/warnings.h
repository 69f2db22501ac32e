#ifndef TENVIK_WARNINGS_H_
#define TENVIK_WARNINGS_H_

#include <stddef.h>
#include <stdint.h>

#include "address6.h"
#include "writer.h"

// Warnings on their way to the error stream. While blocks are queued, the
// warnings of a batch are held back and written in input order when the
// batch goes into the tree or the held blocks are merged: by line, and
// within a line those of its reading before those of its insertion.

struct held_warning;

struct warning_log {
  chunk_writer* out = nullptr;  // the error stream's
  /// Writes an address of the run's family; for the held overwrites.
  int (*format_addr)(uint128 a, char* dest) = nullptr;
  int bits = 32;  // of the run's family's addresses
  bool holding = false;
  // Not holding, warnings go through `out`, after the held ones written.
  bool streaming = false;
  uint32_t line = 0;       // the line being read, counted from the batch start
  bool inserting = false;  // a batch's blocks are going into the tree
  uint32_t inserting_line = 0;  // the line whose block goes in
  held_warning* items = nullptr;
  size_t count = 0, capacity = 0;
  size_t written = 0;  // held warnings written by write_held_through
  char* text = nullptr;
  size_t text_used = 0, text_capacity = 0;
};

/// A log writing to `out`, for addresses of family F.
template <typename F>
void init_log(warning_log& log, chunk_writer* out) {
  log.out = out;
  log.bits = F::BITS;
  log.format_addr = [](uint128 a, char* dest) {
    return F::format(typename F::addr(a), dest);
  };
}

/// Frees what the log holds, without writing it.
void release_log(warning_log& log);

/// Writes a warning unless -s: at once, or held in its line's turn while
/// the log holds.
void warn(warning_log& log, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/// warn with a format whose one conversion is the line, quoted without
/// its comment.
void warn_quoting(warning_log& log, const char* format, const char* line);

/// The overwrite warnings of `blocks` blocks of length `prefix`, the first
/// at `first` as named and each next one a block further on, from state
/// `old` to `now`; written in the turn of line `line`, as insertions.
void warn_overwrites(warning_log& log, uint32_t line, uint128 first, int prefix,
                     unsigned old, unsigned now, uint32_t blocks);

/// Puts the held warnings in input order, for write_held_through.
void sort_held(warning_log& log);

/// Writes the held warnings, in the order sort_held put them, of the lines
/// up to `line` that are not written yet.
void write_held_through(warning_log& log, uint32_t line);

/// Writes every held warning not yet written in input order and empties
/// the log.
void write_held(warning_log& log);

#endif  // TENVIK_WARNINGS_H_
