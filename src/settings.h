#ifndef TENVIK_SETTINGS_H_
#define TENVIK_SETTINGS_H_

#include <stdio.h>

// Run settings: written by the option parsing in main.cc (and by tests),
// read everywhere else.
extern int opt_invert;    // -i count; nonzero swaps every line's state
extern int opt_silent;    // -s count; nonzero suppresses every warning
extern int opt_positive;  // -p count; nonzero prints permit entries only
extern int trace_flags;   // -t bits, see TRACE_*
extern int opt_optimal;   // --optimal count; nonzero prints the shortest list
extern const char* permit_string;
extern const char* deny_string;
extern const char* format_string;

// Where traces and entries go, and where warnings and fatal messages go.
// The program uses stdout and stderr; tests point them at memory streams.
extern FILE* out_stream;
extern FILE* err_stream;

enum {
  TRACE_INPUT = 1,
  TRACE_RAW_TREE = 2,
  TRACE_OPTIMIZED_TREE = 4,
  TRACE_ROTATE = 16,
  TRACE_MERGE = 32,
  TRACE_REPEATED = 64,
  TRACE_PRUNE = 128,
};

/// Puts every setting back to its default (stdout and stderr included).
void reset_settings();

/// Switches positive mode on, with the warning, when the format string has
/// no modifier conversion. Called once, after the options are read.
void check_format();

#endif  // TENVIK_SETTINGS_H_
