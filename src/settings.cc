#include "settings.h"

#include <string.h>

#include "messages.h"

int opt_invert = 0;
int opt_silent = 0;
int opt_positive = 0;
int trace_flags = 0;
int opt_optimal = 0;
const char* permit_string = "permit";
const char* deny_string = "deny  ";
const char* format_string = "%m %a %w";
FILE* out_stream = stdout;
FILE* err_stream = stderr;

void reset_settings() {
  opt_invert = 0;
  opt_silent = 0;
  opt_positive = 0;
  trace_flags = 0;
  opt_optimal = 0;
  permit_string = "permit";
  deny_string = "deny  ";
  format_string = "%m %a %w";
  out_stream = stdout;
  err_stream = stderr;
}

void check_format() {
  // A plain substring search: "%%m" counts as holding the modifier too.
  if (strstr(format_string, "%m") == nullptr && !opt_positive) {
    opt_positive = 1;
    if (!opt_silent) fputs(MSG_NO_MODIFIER, err_stream);
  }
}
