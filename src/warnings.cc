#include "warnings.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "address.h"
#include "messages.h"
#include "settings.h"

// A warning held back: its line, whether the insertion (rather than the
// reading) of that line wrote it, and where its text is. Or the overwrite
// warnings of a run of blocks, one per block, written when their turn
// comes: a range named twice can overwrite millions of blocks.
struct held_warning {
  uint32_t line;
  uint8_t from_insertion;
  uint8_t prefix, old_state, new_state;  // of a run's overwrites
  uint32_t blocks;                       // of a run's overwrites, else 0
  uint128 addr;                          // the run's first block as named
  size_t offset;
  size_t length;
};

void release_log(warning_log& log) {
  free(log.items);
  free(log.text);
  log.items = nullptr;
  log.text = nullptr;
  log.count = log.capacity = log.text_used = log.text_capacity = 0;
  log.written = 0;
}

static bool hold_item(warning_log& log, const held_warning& h) {
  if (log.count == log.capacity) {
    size_t capacity = log.capacity ? 2 * log.capacity : 256;
    void* p = realloc(log.items, capacity * sizeof(held_warning));
    if (!p) return false;
    log.items = static_cast<held_warning*>(p);
    log.capacity = capacity;
  }
  log.items[log.count++] = h;
  return true;
}

static bool hold(warning_log& log, const char* text, size_t length) {
  if (log.text_capacity - log.text_used < length) {
    size_t capacity =
        std::max(2 * log.text_capacity, log.text_used + length + 4096);
    void* p = realloc(log.text, capacity);
    if (!p) return false;
    log.text = static_cast<char*>(p);
    log.text_capacity = capacity;
  }
  held_warning h = {};
  h.line = log.inserting ? log.inserting_line : log.line;
  h.from_insertion = log.inserting;
  h.offset = log.text_used;
  h.length = length;
  if (!hold_item(log, h)) return false;
  memcpy(log.text + log.text_used, text, length);
  log.text_used += length;
  return true;
}

static void write_overwrites(warning_log& log, const held_warning& h) {
  // A run of the whole space is one block.
  uint128 size = h.prefix ? uint128(1) << (log.bits - h.prefix) : 0;
  char address[IPV6_TEXT_MAX];
  char text[160];
  for (uint32_t k = 0; k < h.blocks; k++) {
    log.format_addr(h.addr + k * size, address);
    int length =
        snprintf(text, sizeof text, MSG_OVERWRITTEN, address, int(h.prefix),
                 state_sign(h.old_state), state_sign(h.new_state));
    put_text(*log.out, text, size_t(length));
  }
}

void warn_overwrites(warning_log& log, uint32_t line, uint128 first, int prefix,
                     unsigned old, unsigned now, uint32_t blocks) {
  if (settings.opt_silent) return;
  held_warning h = {};
  h.line = line;
  h.from_insertion = 1;
  h.prefix = uint8_t(prefix);
  h.old_state = uint8_t(old);
  h.new_state = uint8_t(now);
  h.blocks = blocks;
  h.addr = first;
  // No memory to hold them: better out of order than lost.
  if (!hold_item(log, h)) {
    write_overwrites(log, h);
    flush_text(*log.out);
  }
}

void warn(warning_log& log, const char* format, ...) {
  if (settings.opt_silent) return;
  va_list args;
  va_start(args, format);
  if (!log.holding && !log.streaming) {
    vfprintf(log.out->stream, format, args);
    va_end(args);
    return;
  }
  char text[512];
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  bool done = false;
  if (length >= 0 && size_t(length) < sizeof text) {
    if (log.holding) {
      done = hold(log, text, size_t(length));
    } else {
      put_text(*log.out, text, size_t(length));
      done = true;
    }
  } else if (length >= 0 && log.holding) {
    // A warning that quotes a long line.
    if (char* big = static_cast<char*>(malloc(size_t(length) + 1))) {
      vsnprintf(big, size_t(length) + 1, format, again);
      done = hold(log, big, size_t(length));
      free(big);
    }
  }
  if (!done) {
    // No memory to hold it: better out of order than lost.
    if (log.streaming) flush_text(*log.out);
    vfprintf(log.out->stream, format, again);
  }
  va_end(again);
}

void warn_quoting(warning_log& log, const char* format, const char* line) {
  if (settings.opt_silent) return;
  const char* hash = strchr(line, '#');
  size_t length = hash ? size_t(hash - line) : strlen(line);
  char* text = static_cast<char*>(malloc(length + 1));
  if (text) {
    memcpy(text, line, length);
    text[length] = '\0';
  }
  warn(log, format, text ? text : line);
  free(text);
}

// By line, and within a line its reading before its insertion. A range's
// insertions run in ascending order either way, so within a line and kind
// the order written is kept.
static void sort_from(warning_log& log, size_t first) {
  std::stable_sort(log.items + first, log.items + log.count,
                   [](const held_warning& a, const held_warning& b) {
                     return a.line != b.line
                                ? a.line < b.line
                                : a.from_insertion < b.from_insertion;
                   });
}

static void write_item(warning_log& log, const held_warning& h) {
  if (h.blocks)
    write_overwrites(log, h);
  else
    put_text(*log.out, log.text + h.offset, h.length);
}

void sort_held(warning_log& log) { sort_from(log, log.written); }

void write_held_through(warning_log& log, uint32_t line) {
  while (log.written < log.count && log.items[log.written].line <= line)
    write_item(log, log.items[log.written++]);
}

void write_held(warning_log& log) {
  sort_from(log, log.written);
  for (size_t i = log.written; i < log.count; i++)
    write_item(log, log.items[i]);
  flush_text(*log.out);
  log.count = log.text_used = log.written = 0;
}
