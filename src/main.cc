// tenvik: turns a list of permitted and denied IPv4 or IPv6 blocks into the
// shortest access list that means the same.

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "driver.h"
#include "messages.h"
#include "settings.h"

static int usage() {
  fputs(IDENT_LINE USAGE_TEXT, stdout);
  fflush(stdout);
  return EXIT_FAILURE_STATUS;
}

// --seq=START,STEP: two integers and nothing else.
static bool read_seq(const char* text) {
  char* end;
  errno = 0;
  long long start = strtoll(text, &end, 10);
  if (end == text || *end != ',' || errno) return false;
  const char* step_text = end + 1;
  long long step = strtoll(step_text, &end, 10);
  if (end == step_text || *end || errno) return false;
  settings.opt_seq = 1;
  settings.seq_start = start;
  settings.seq_step = step;
  return true;
}

// -t takes the number's leading digits as atoi would (0 when there are
// none), without atoi's undefined overflow.
static int trace_value(const char* text) {
  long v = strtol(text, nullptr, 10);
  if (v > 0x7fffffffL) return 0x7fffffff;
  if (v < -0x7fffffffL - 1) return int(-0x7fffffffL - 1);
  return int(v);
}

int main(int argc, char** argv) {
  // Long options have no letter of their own: their codes lie above every
  // character, so no short option can be mistaken for one.
  enum {
    OPT_OPTIMAL = 256,
    OPT_IPV4,
    OPT_IPV6,
    OPT_STRICT,
    OPT_EXACT_RANGES,
    OPT_SEQ,
    OPT_HELP,
    OPT_VERSION
  };
  static const struct option long_options[] = {
      {"optimal", no_argument, nullptr, OPT_OPTIMAL},
      {"ipv4", no_argument, nullptr, OPT_IPV4},
      {"ipv6", no_argument, nullptr, OPT_IPV6},
      {"strict", no_argument, nullptr, OPT_STRICT},
      {"exact-ranges", no_argument, nullptr, OPT_EXACT_RANGES},
      {"seq", required_argument, nullptr, OPT_SEQ},
      {"help", no_argument, nullptr, OPT_HELP},
      {"version", no_argument, nullptr, OPT_VERSION},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  // "+": stop at the first non-option argument, as POSIX asks, even where
  // getopt would otherwise permute the arguments.
  while ((c = getopt_long(argc, argv, "+hipsm:f:t:", long_options, nullptr)) !=
         -1) {
    switch (c) {
      case OPT_OPTIMAL:
        settings.opt_optimal++;
        break;
      case OPT_IPV4:
        settings.family = FAMILY_IPV4;
        break;
      case OPT_IPV6:
        settings.family = FAMILY_IPV6;
        break;
      case OPT_STRICT:
        settings.opt_strict++;
        break;
      case OPT_EXACT_RANGES:
        settings.opt_exact_ranges++;
        break;
      case OPT_SEQ:
        if (!read_seq(optarg)) {
          fprintf(stderr, MSG_BAD_SEQ, optarg);
          return EXIT_FAILURE_STATUS;
        }
        break;
      case OPT_HELP:
        fputs(USAGE_TEXT LONG_OPTIONS_TEXT, stdout);
        return fflush(stdout) == 0 ? EXIT_OK : EXIT_FAILURE_STATUS;
      case OPT_VERSION:
        fputs(VERSION_LINE, stdout);
        return fflush(stdout) == 0 ? EXIT_OK : EXIT_FAILURE_STATUS;
      case 'i':
        settings.opt_invert++;
        break;
      case 'p':
        settings.opt_positive++;
        break;
      case 's':
        settings.opt_silent++;
        break;
      case 'm': {
        char* comma = strchr(optarg, ',');
        if (!comma) return usage();
        *comma = '\0';
        settings.permit_string = optarg;
        settings.deny_string = comma + 1;
        break;
      }
      case 'f':
        settings.format_string = optarg;
        break;
      case 't':
        settings.trace_flags |= trace_value(optarg);
        break;
      default:  // -h, an unknown option, a missing argument
        return usage();
    }
  }
  check_format();

  const char* name = optind < argc ? argv[optind] : "-";
  // Arguments after the input file are ignored, which --strict will not
  // let pass: "tenvik list.txt -s" would silence nothing.
  unsigned long long strict_errors = 0;
  for (int i = optind + 1; settings.opt_strict && i < argc; i++) {
    fprintf(stderr, MSG_STRICT_ARGUMENT, argv[i]);
    strict_errors++;
  }
  int fd = 0;
  if (strcmp(name, "-") != 0) {
    fd = open(name, O_RDONLY);
    if (fd < 0) {
      fprintf(stderr, MSG_CANNOT_OPEN, name);
      return EXIT_FAILURE_STATUS;
    }
  }
  int status = run_input(fd, name, strict_errors);
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fputs(MSG_CANNOT_WRITE, stderr);
    status = EXIT_FAILURE_STATUS;
  }
  return status;
}
