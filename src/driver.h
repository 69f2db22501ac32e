#ifndef TENVIK_DRIVER_H_
#define TENVIK_DRIVER_H_

#include "queue.h"
#include "tree.h"
#include "warnings.h"
#include "writer.h"

/// Everything one run of family F owns: the tree with its pool, the queue
/// of blocks, the warnings held back and the writers of entries and of held
/// warnings, wired to the streams of the settings when it is made.
template <typename F>
struct tenvik_run {
  chunk_writer out;  // entries
  chunk_writer err;  // held warnings
  warning_log log;
  prefix_tree<F> tree;
  block_queue<F> queue;
  const char* name = "-";  // the input, for --strict's diagnostics
  unsigned long long line_number = 0;
  unsigned long long strict_errors = 0;

  tenvik_run();
  ~tenvik_run();
  tenvik_run(const tenvik_run&) = delete;
  tenvik_run& operator=(const tenvik_run&) = delete;
};

/// Handles one input line (NUL-terminated, line ending removed; changed in
/// place): comment, dump request, modifier, trace, notations. Returns false
/// only when the node pool is exhausted.
template <typename F>
bool handle_line(tenvik_run<F>& r, char* line);

/// After the input: the dumps, fill and optimizer, positive expansion and
/// the entries. Returns the exit status (EXIT_FAILURE_STATUS after "No more
/// memory").
template <typename F>
int finish_input(tenvik_run<F>& r);

/// Reads the list from fd (`name` for messages) in the family the settings
/// name and runs to the end. With --strict, `strict_errors` diagnostics
/// already written (of the command line) fail the run as a line's would.
/// Returns the exit status; the caller still has to check that standard
/// output took everything.
int run_input(int fd, const char* name, unsigned long long strict_errors = 0);

/// Back to the settings of a fresh process; for tests.
void reset_run();

#endif  // TENVIK_DRIVER_H_
