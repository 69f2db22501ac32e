#ifndef TENVIK_SETTINGS_H_
#define TENVIK_SETTINGS_H_

#include <stdio.h>

enum {
  TRACE_INPUT = 1,
  TRACE_RAW_TREE = 2,
  TRACE_OPTIMIZED_TREE = 4,
  TRACE_ROTATE = 16,
  TRACE_MERGE = 32,
  TRACE_REPEATED = 64,
  TRACE_PRUNE = 128,
};

/// The trace bits that need the tree while the input is read or after it.
const int TRACE_TREE = TRACE_RAW_TREE | TRACE_OPTIMIZED_TREE | TRACE_ROTATE |
                       TRACE_MERGE | TRACE_REPEATED | TRACE_PRUNE;
const int TRACE_STEPS =
    TRACE_ROTATE | TRACE_MERGE | TRACE_REPEATED | TRACE_PRUNE;

enum address_family { FAMILY_IPV4 = 4, FAMILY_IPV6 = 6 };

// Run settings: written by the option parsing in main.cc (and by tests),
// read everywhere else.
struct tenvik_settings {
  int opt_invert = 0;    // -i count; nonzero swaps every line's state
  int opt_silent = 0;    // -s count; nonzero suppresses every warning
  int opt_positive = 0;  // -p count; nonzero prints permit entries only
  int trace_flags = 0;   // -t bits, see TRACE_*
  int opt_optimal = 0;   // --optimal count; nonzero prints the shortest list
  address_family family = FAMILY_IPV4;  // --ipv4, --ipv6
  int opt_strict = 0;        // --strict: a line not read as written fails
  int opt_exact_ranges = 0;  // --exact-ranges: IPv4 ranges covered exactly
  int opt_seq = 0;           // --seq given: %n numbers the entries
  long long seq_start = 0, seq_step = 0;  // of --seq=START,STEP
  const char* permit_string = "permit";
  const char* deny_string = "deny  ";
  /// -f; nullptr until check_format puts in the family's default.
  const char* format_string = nullptr;
  // Where traces and entries go, and where warnings and fatal messages go.
  // The program uses stdout and stderr; tests point them at memory streams.
  FILE* out_stream = stdout;
  FILE* err_stream = stderr;
};

extern tenvik_settings settings;

/// Puts every setting back to its default (stdout and stderr included).
void reset_settings();

/// Puts in the family's default format when -f gave none, and switches
/// positive mode on, with the warning, when the format string has no
/// modifier conversion. Called once, after the options are read.
void check_format();

#endif  // TENVIK_SETTINGS_H_
