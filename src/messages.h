#ifndef TENVIK_MESSAGES_H_
#define TENVIK_MESSAGES_H_

// The program's fixed texts and exit statuses. Scripts compare them byte
// for byte, so each is written down once, here.

enum { EXIT_OK = 0, EXIT_FAILURE_STATUS = 1 };

#define MSG_NO_MEMORY "No more memory\n"
#define MSG_CANNOT_OPEN "Cannot open input file %s\n"
#define MSG_CANNOT_READ "Cannot read input file %s\n"
#define MSG_CANNOT_WRITE "Cannot write output\n"
#define MSG_NO_MODIFIER \
  "WARNING: No %m (modifier) in format string. Option -p assumed\n"
#define MSG_PREFIX_TOO_LONG "WARNING: prefix /%lld greater than 32\n"
#define MSG_PREFIX_NEGATIVE "WARNING: prefix /%lld is negative, line ignored\n"
#define MSG_OUT_OF_RANGE "WARNING: address out of range, line ignored: %s\n"
#define MSG_OVERWRITTEN "WARNING: %s/%d overwritten (%s -> %s)\n"
#define MSG_INVALID_MASK "WARNING: invalid mask: %lu.%lu.%lu.%lu\n"
#define MSG_ZERO_BITS_MASK \
  "WARNING: mask %lu.%lu.%lu.%lu treated as 0 significant bits\n"

#define MSG_STRICT_FAILED "%s: %llu error%s, no list written\n"
#define MSG_STRICT_ARGUMENT "tenvik: argument after the input file: %s\n"
#define MSG_BAD_SEQ "tenvik: --seq takes START,STEP (two integers): %s\n"

// IPv6 mode's own.
#define MSG_PREFIX_TOO_LONG6 "WARNING: prefix /%lld greater than 128\n"
#define MSG_INVALID_BLOCK6 "WARNING: invalid IPv6 block, line ignored: %s\n"
#define MSG_RANGE_REVERSED "WARNING: range end below start, line ignored: %s\n"
#define MSG_INVALID_MASK6 "WARNING: invalid mask, line ignored: %s\n"
#define MSG_ZERO_BITS_MASK6 "WARNING: mask %s treated as 0 significant bits\n"

#define IDENT_LINE \
  "#(@)tenvik 2.02, tenvik developers <tenvik@example.org>, 8 Dec 2026\n"

#define USAGE_TEXT                                                      \
  "Usage: tenvik [options] [infile]\n"                                  \
  "Options:\n"                                                          \
  "-h    print this message and exit\n"                                 \
  "-i    invert input\n"                                                \
  "-p    force \"positive\" mode. (no denied subtrees)\n"               \
  "-s    silent. (suppress warnings)\n"                                 \
  "-m permit_string,deny_string\n"                                      \
  "      override default modifiers (+,-)\n"                            \
  "-f    format string. It should conatin conversion specifications:\n" \
  "     %a address\n"                                                   \
  "     %w wildcard bits\n"                                             \
  "     %k mask\n"                                                      \
  "     %p prefix\n"                                                    \
  "     %m modifier\n"                                                  \
  "     %% %\n"                                                         \
  "-t N  trace flags\n"                                                 \
  "      1 show input parsing\n"                                        \
  "      2 print raw tree\n"                                            \
  "      4 print optimized tree\n"                                      \
  " 16-128 debug optimization step 1-4\n"

// --help prints the usage text and then these; the usage text itself
// stays as scripts know it.
#define LONG_OPTIONS_TEXT                                                  \
  "Long options:\n"                                                        \
  "--ipv4           read and print IPv4 blocks (the default)\n"            \
  "--ipv6           read and print IPv6 blocks; default format %m %a/%p\n" \
  "--optimal        print the shortest possible list\n"                    \
  "--strict         fail on any line not read exactly as written\n"        \
  "--exact-ranges   cover IPv4 ranges by exactly their addresses\n"        \
  "--seq=START,STEP %n numbers the entries: START, then STEP more each\n"  \
  "--help           print this help and exit\n"                            \
  "--version        print the version and exit\n"

#define VERSION_LINE "tenvik 2.02\n"

#endif  // TENVIK_MESSAGES_H_
