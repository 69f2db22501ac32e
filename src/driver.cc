#include "driver.h"

#include <stdio.h>
#include <string.h>

#include "address.h"
#include "batch.h"
#include "messages.h"
#include "notation.h"
#include "optimal.h"
#include "optimize.h"
#include "output.h"
#include "positive.h"
#include "reader.h"
#include "settings.h"
#include "sweep.h"
#include "tree.h"

static inline bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}
static inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool handle_line(char* line) {
  if (!next_line()) return false;
  // A comment runs from "#" to the end of the line. The line is not cut
  // there: no notation reads past a "#", so only the search for the first
  // digit has to stop at it (and the one warning that quotes the line).
  if (line[0] == '\0' || line[0] == '#') return true;
  if (line[0] == '*') {
    if (!flush_blocks()) return false;
    dump_tree(&root, 0, 0, 0, ' ', &root);
    return true;
  }
  const char* p = line;
  while (is_blank(*p)) p++;
  unsigned state = ST_YES;
  if (!is_digit(*p)) {
    // Only the first character of the modifier word counts.
    char c = *p;
    if (c != 'P' && c != 'p' && c != 'Y' && c != 'y' && c != '+') state = ST_NO;
    while (*p && *p != '#' && !is_digit(*p)) p++;
    if (!is_digit(*p)) return true;
  }
  if (opt_invert) state = opposite_state(state);
  if (trace_flags & TRACE_INPUT) fprintf(out_stream, "%s  ", state_sign(state));
  return parse_notations(p, state, line) != NOTATION_NO_MEMORY;
}

int finish_input() {
  if (trace_flags & TRACE_RAW_TREE) dump_with_counts("raw tree:\n-----\n");
  // Positive mode keeps the usual path: its disjoint permit blocks are
  // already the shortest such list, whichever tree they are taken from.
  if (opt_optimal && !opt_positive) {
    if (!make_optimal(&root)) {
      fputs(MSG_NO_MEMORY, err_stream);
      return EXIT_FAILURE_STATUS;
    }
  } else if (trace_flags &
             (TRACE_ROTATE | TRACE_MERGE | TRACE_REPEATED | TRACE_PRUNE)) {
    fill_states(&root, ST_NO);
    optimize_tree(&root);
  } else {
    fill_and_optimize(&root, ST_NO);
  }
  if (trace_flags & TRACE_OPTIMIZED_TREE)
    dump_with_counts("-----\noptimized tree:\n");
  if (opt_positive && !make_positive(&root)) {
    fputs(MSG_NO_MEMORY, err_stream);
    return EXIT_FAILURE_STATUS;
  }
  print_entries(&root, format_string);
  return EXIT_OK;
}

// Whether every block may be held to the end: neither dumps nor traces
// need the tree while the input is read.
static bool hold_allowed() {
  return !(trace_flags &
           (TRACE_INPUT | TRACE_RAW_TREE | TRACE_OPTIMIZED_TREE | TRACE_ROTATE |
            TRACE_MERGE | TRACE_REPEATED | TRACE_PRUNE));
}

int run_input(int fd, const char* name) {
  // With the input trace every line goes into the tree as it is read, so
  // that running out of memory ends the trace at the line that needed it.
  set_batching(trace_flags & TRACE_INPUT ? BATCH_OFF
               : hold_allowed()          ? BATCH_ALL
                                         : BATCH_SOME);
  int result = read_lines(fd, handle_line);
  if (result == READ_OK && holding_all_blocks()) {
    const queued_block* blocks;
    size_t count;
    if (merge_held_blocks(&blocks, &count)) {
      // The shortest list is worked out on the tree; the sweep gives the
      // others (in positive mode the option changes nothing).
      bool tree = opt_optimal && !opt_positive;
      bool ok = tree ? plant_blocks(blocks, count)
                     : sweep_blocks(blocks, count, format_string);
      set_batching(BATCH_OFF);
      if (ok) return tree ? finish_input() : EXIT_OK;
      fputs(MSG_NO_MEMORY, err_stream);
      return EXIT_FAILURE_STATUS;
    }
  }
  // After a read error the blocks read so far still go in: their warnings
  // are written as if each line had gone in as it was read.
  const queued_block* blocks;
  size_t count;
  bool written = result == READ_FAILED && holding_all_blocks() &&
                 merge_held_blocks(&blocks, &count);
  if (!written && (result == READ_OK || result == READ_FAILED) &&
      !flush_blocks())
    result = READ_NO_MEMORY;
  set_batching(BATCH_OFF);
  switch (result) {
    case READ_OK:
      return finish_input();
    case READ_FAILED:
      // A half-read list must not become a valid-looking access list.
      fprintf(err_stream, MSG_CANNOT_READ, name);
      return EXIT_FAILURE_STATUS;
    default:
      fputs(MSG_NO_MEMORY, err_stream);
      return EXIT_FAILURE_STATUS;
  }
}

void reset_run() {
  reset_settings();
  reset_tree();
}
