#ifndef TENVIK_DRIVER_H_
#define TENVIK_DRIVER_H_

/// Handles one input line (NUL-terminated, line ending removed; changed in
/// place): comment, dump request, modifier, trace, notations. Returns false
/// only when the node pool is exhausted.
bool handle_line(char* line);

/// After the input: the dumps, fill and optimizer, positive expansion and
/// the entries. Returns the exit status (EXIT_FAILURE_STATUS after "No more
/// memory").
int finish_input();

/// Reads the list from fd (`name` for messages) and runs to the end.
/// Returns the exit status; the caller still has to check that standard
/// output took everything.
int run_input(int fd, const char* name);

/// Back to the state of a fresh process: settings, tree and pool; for tests.
void reset_run();

#endif  // TENVIK_DRIVER_H_
