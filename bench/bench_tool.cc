// bench_tool: the benchmark's helper. See usage() and bench/run.sh.

#include "bench_tool.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

void fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("bench_tool: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  exit(status);
}

std::string quad_text(uint32_t a) {
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255,
           (a >> 8) & 255, a & 255);
  return text;
}

bool read_quad(const char*& p, uint32_t* a) {
  const char* q = p;
  uint32_t value = 0;
  for (int i = 0; i < 4; i++) {
    if (i > 0 && *q++ != '.') return false;
    if (*q < '0' || *q > '9') return false;
    unsigned octet = 0;
    for (int digits = 0; *q >= '0' && *q <= '9'; digits++, q++) {
      octet = octet * 10 + unsigned(*q - '0');
      if (digits == 3 || octet > 255) return false;
    }
    value = value << 8 | octet;
  }
  *a = value;
  p = q;
  return true;
}

// Runs a command with standard input from /dev/null, its standard output
// and error into files, and prints "wall-seconds peak-KB exit-status
// cpu-seconds": the same wall clock, maximum resident set and user plus
// system time that /usr/bin/time reports, at a finer resolution. On a busy
// machine the CPU time says more than the wall clock.
int time_main(int argc, char** argv) {
  if (argc < 5 || strcmp(argv[3], "--") != 0)
    fail(2, "usage: bench_tool time OUT ERR -- COMMAND [ARG...]");
  // The last run's output goes before the clock starts: truncating a big
  // file on the clock charged each run for freeing the one before, and a
  // file truncated and written again is flushed to disk as it is closed.
  // Only a plain file: OUT may well be /dev/null.
  for (int i = 1; i <= 2; i++) {
    struct stat st;
    if (lstat(argv[i], &st) == 0 && S_ISREG(st.st_mode)) unlink(argv[i]);
  }
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) fail(2, "fork: %s", strerror(errno));
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(argv[4], argv + 4);
    _exit(127);
  }
  int status = 0;
  rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) fail(2, "wait: %s", strerror(errno));
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = double(end.tv_sec - start.tv_sec) +
                   double(end.tv_nsec - start.tv_nsec) * 1e-9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  printf("%.4f %ld %d %.4f\n", seconds, usage.ru_maxrss, code, cpu);
  return 0;
}

static int usage() {
  fputs(
      "usage: bench_tool generate prefixes|hosts|mixed|bigrange LINES SEED\n"
      "       bench_tool generate --ipv6 prefixes|hosts|nets LINES SEED\n"
      "       bench_tool convert ranges|whole|prefixes CSV\n"
      "       bench_tool convert --ipv6 ranges|prefixes CSV\n"
      "       bench_tool meaning [--wildcard] [--flat] LIST\n"
      "       bench_tool meaning --ipv6 [--output] [--flat] LIST\n"
      "       bench_tool time OUT ERR -- COMMAND [ARG...]\n",
      stderr);
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const char* command = argv[1];
  // "--ipv6" right after the command picks the IPv6 variant.
  if (argc > 2 && strcmp(argv[2], "--ipv6") == 0) {
    argv[2] = argv[1];
    if (strcmp(command, "generate") == 0)
      return generate6_main(argc - 2, argv + 2);
    if (strcmp(command, "convert") == 0)
      return convert6_main(argc - 2, argv + 2);
    if (strcmp(command, "meaning") == 0)
      return meaning6_main(argc - 2, argv + 2);
    return usage();
  }
  if (strcmp(command, "generate") == 0)
    return generate_main(argc - 1, argv + 1);
  if (strcmp(command, "convert") == 0) return convert_main(argc - 1, argv + 1);
  if (strcmp(command, "meaning") == 0) return meaning_main(argc - 1, argv + 1);
  if (strcmp(command, "time") == 0) return time_main(argc - 1, argv + 1);
  return usage();
}
