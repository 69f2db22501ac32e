#include "driver.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "address.h"
#include "messages.h"
#include "notation.h"
#include "notation6.h"
#include "optimal.h"
#include "optimize.h"
#include "output.h"
#include "positive.h"
#include "reader.h"
#include "settings.h"
#include "shortest.h"
#include "strict.h"
#include "sweep.h"

template <typename F>
tenvik_run<F>::tenvik_run() {
  out.stream = settings.out_stream;
  err.stream = settings.err_stream;
  init_log<F>(log, &err);
  tree.log = &log;
  queue.tree = &tree;
  queue.log = &log;
}

template <typename F>
tenvik_run<F>::~tenvik_run() {
  release_log(log);
}

template <typename F>
bool handle_line(tenvik_run<F>& r, char* line) {
  if (!next_line(r.queue)) return false;
  if (line[0] == '\0' || line[0] == '#') return true;
  if (line[0] == '*') {
    if (!flush_blocks(r.queue)) return false;
    dump_tree(r.tree, &r.tree.root, 0, 0, 0, ' ', &r.tree.root);
    return true;
  }
  return read_line(r.queue, line) != NOTATION_NO_MEMORY;
}

template <typename F>
int finish_input(tenvik_run<F>& r) {
  prefix_tree<F>& t = r.tree;
  if (settings.trace_flags & TRACE_RAW_TREE)
    dump_with_counts(t, "raw tree:\n-----\n");
  // Positive mode keeps the usual path: its disjoint permit blocks are
  // already the shortest such list, whichever tree they are taken from.
  if (settings.opt_optimal && !settings.opt_positive) {
    if (!make_optimal(t, &t.root)) {
      fputs(MSG_NO_MEMORY, settings.err_stream);
      return EXIT_FAILURE_STATUS;
    }
  } else if (settings.trace_flags & TRACE_STEPS) {
    fill_states(t, &t.root, ST_NO);
    optimize_tree(t, &t.root);
  } else {
    fill_and_optimize(t, &t.root, ST_NO);
  }
  if (settings.trace_flags & TRACE_OPTIMIZED_TREE)
    dump_with_counts(t, "-----\noptimized tree:\n");
  if (settings.opt_positive && !make_positive(t, &t.root)) {
    fputs(MSG_NO_MEMORY, settings.err_stream);
    return EXIT_FAILURE_STATUS;
  }
  print_entries(t, r.out, settings.format_string);
  return EXIT_OK;
}

template <typename F>
static inline bool handle(tenvik_run<F>& r, char* line, size_t length) {
  // Editors on some systems begin a file with a byte-order mark; its first
  // byte would be taken for a deny modifier.
  if (++r.line_number == 1 && strncmp(line, "\xef\xbb\xbf", 3) == 0) {
    line += 3;
    length -= 3;
  }
  // A line that starts with its address has no modifier to read: the
  // usual line of a big list goes straight to its notation.
  if constexpr (F::BITS == 32) {
    if (unsigned(line[0] - '0') < 10 && !settings.opt_strict &&
        !(settings.trace_flags & TRACE_INPUT)) {
      if (!next_line(r.queue)) return false;
      return read_address_line(r.queue, line) != NOTATION_NO_MEMORY;
    }
  }
  if (settings.opt_strict) {
    char why[STRICT_TEXT_MAX];
    address_family family = F::BITS == 128 ? FAMILY_IPV6 : FAMILY_IPV4;
    switch (judge_line(family, line, length, why)) {
      case STRICT_ERROR:
        fprintf(settings.err_stream, "%s:%llu: %s\n", r.name, r.line_number,
                why);
        r.strict_errors++;
        return next_line(r.queue);
      case STRICT_SKIP:
        return next_line(r.queue);
      case STRICT_READ:
        break;
    }
  }
  return handle_line(r, line);
}

// After --strict found lines not read as written: what the list's warnings
// were is still told, but no list is.
template <typename F>
static int fail_strict(tenvik_run<F>& r) {
  fprintf(settings.err_stream, MSG_STRICT_FAILED, r.name, r.strict_errors,
          r.strict_errors == 1 ? "" : "s");
  return EXIT_FAILURE_STATUS;
}

template <typename F>
static int run_family(int fd, const char* name,
                      unsigned long long strict_errors) {
  tenvik_run<F> r;
  r.name = name;
  r.strict_errors = strict_errors;
  block_queue<F>& q = r.queue;
  // Known before the first line, so that a big file's queue starts on the
  // huge pages it would fill anyway.
  struct stat st;
  q.big_input = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                st.st_size >= BIG_INPUT_BYTES;
  // Without dumps or step traces every block may be held to the end. With
  // them and the input trace every line goes into the tree as it is read,
  // so that running out of memory ends the trace at the line that needed
  // it.
  int trace = settings.trace_flags;
  set_batching(q, !(trace & TRACE_TREE) ? BATCH_ALL
                  : trace & TRACE_INPUT ? BATCH_OFF
                                        : BATCH_SOME);
  // The usual line of a big list is read where it lies in the buffer; the
  // first goes the long way, past a byte-order mark.
  const bool plain_lines = !settings.opt_strict && !(trace & TRACE_INPUT);
  auto fast = [&r, plain_lines](char* line, const char* end,
                                bool* stop) -> char* {
    if (!plain_lines || r.line_number == 0) return line;
    unsigned long long count;
    char* next;
    if constexpr (F::BITS == 32)
      next = read_address_lines(r.queue, line, end, &count, stop);
    else
      next = read_address6_lines(r.queue, line, end, &count, stop);
    r.line_number += count;
    return next;
  };
  int result = read_lines(
      fd, [&r](char* line, size_t length) { return handle(r, line, length); },
      fast);
  bool failed = r.strict_errors > 0;
  // The list comes out of the buckets as they are sorted; the shortest
  // list needs the tree.
  if (result == READ_OK && q.buckets && !failed &&
      !(settings.opt_optimal && !settings.opt_positive) &&
      sweep_buckets(*q.buckets, settings.format_string, r.out))
    return EXIT_OK;
  if (result == READ_OK && holding_all_blocks(q)) {
    const queued_block<F>* blocks;
    size_t count;
    if (merge_held_blocks(q, &blocks, &count)) {
      if (failed) return fail_strict(r);
      // In positive mode the shortest list is the usual one: its disjoint
      // permit blocks are already the fewest such.
      bool ok =
          settings.opt_optimal && !settings.opt_positive
              ? print_shortest(blocks, count, settings.format_string, r.out)
              : sweep_blocks(blocks, count, settings.format_string, r.out);
      if (ok) return EXIT_OK;
      fputs(MSG_NO_MEMORY, settings.err_stream);
      return EXIT_FAILURE_STATUS;
    }
  }
  // After a read error the blocks read so far still go in: their warnings
  // are written as if each line had gone in as it was read.
  const queued_block<F>* blocks;
  size_t count;
  bool written = result == READ_FAILED && holding_all_blocks(q) &&
                 merge_held_blocks(q, &blocks, &count);
  if (!written && (result == READ_OK || result == READ_FAILED) &&
      !flush_blocks(q))
    result = READ_NO_MEMORY;
  set_batching(q, BATCH_OFF);
  switch (result) {
    case READ_OK:
      return failed ? fail_strict(r) : finish_input(r);
    case READ_FAILED:
      // A half-read list must not become a valid-looking access list.
      fprintf(settings.err_stream, MSG_CANNOT_READ, name);
      return EXIT_FAILURE_STATUS;
    default:
      fputs(MSG_NO_MEMORY, settings.err_stream);
      return EXIT_FAILURE_STATUS;
  }
}

int run_input(int fd, const char* name, unsigned long long strict_errors) {
  return settings.family == FAMILY_IPV6
             ? run_family<ipv6>(fd, name, strict_errors)
             : run_family<ipv4>(fd, name, strict_errors);
}

void reset_run() { reset_settings(); }

#define INSTANTIATE(F)                              \
  template struct tenvik_run<F>;                    \
  template bool handle_line(tenvik_run<F>&, char*); \
  template int finish_input(tenvik_run<F>&);
INSTANTIATE(ipv4)
INSTANTIATE(ipv6)
