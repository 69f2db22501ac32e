// tenvik: turns a list of permitted and denied IPv4 blocks into the
// shortest access list that means the same.

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
  enum { OPT_OPTIMAL = 256 };
  static const struct option long_options[] = {
      {"optimal", no_argument, nullptr, OPT_OPTIMAL},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  // "+": stop at the first non-option argument, as POSIX asks, even where
  // getopt would otherwise permute the arguments.
  while ((c = getopt_long(argc, argv, "+hipsm:f:t:", long_options, nullptr)) !=
         -1) {
    switch (c) {
      case OPT_OPTIMAL:
        opt_optimal++;
        break;
      case 'i':
        opt_invert++;
        break;
      case 'p':
        opt_positive++;
        break;
      case 's':
        opt_silent++;
        break;
      case 'm': {
        char* comma = strchr(optarg, ',');
        if (!comma) return usage();
        *comma = '\0';
        permit_string = optarg;
        deny_string = comma + 1;
        break;
      }
      case 'f':
        format_string = optarg;
        break;
      case 't':
        trace_flags |= trace_value(optarg);
        break;
      default:  // -h, an unknown option, a missing argument
        return usage();
    }
  }
  check_format();

  const char* name = optind < argc ? argv[optind] : "-";
  int fd = 0;
  if (strcmp(name, "-") != 0) {
    fd = open(name, O_RDONLY);
    if (fd < 0) {
      fprintf(stderr, MSG_CANNOT_OPEN, name);
      return EXIT_FAILURE_STATUS;
    }
  }
  int status = run_input(fd, name);
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fputs(MSG_CANNOT_WRITE, stderr);
    status = EXIT_FAILURE_STATUS;
  }
  return status;
}
