#include "reader.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef bool (*line_handler)(void*, char*, size_t);

static bool end_line(char* line, char* end, line_handler handle_line,
                     void* context) {
  if (end > line && end[-1] == '\r') end--;
  *end = '\0';
  return handle_line(context, line, size_t(end - line));
}

int read_lines(int fd, line_handler handle_line, void* context) {
  size_t capacity = size_t(1) << 20;
  // One byte more than the capacity, for the terminator of a last line
  // without a newline.
  char* buf = static_cast<char*>(malloc(capacity + 1));
  if (!buf) return READ_NO_MEMORY;
  size_t start = 0, scanned = 0, filled = 0;
  int result = READ_OK;
  for (;;) {
    char* nl =
        static_cast<char*>(memchr(buf + scanned, '\n', filled - scanned));
    if (nl) {
      if (!end_line(buf + start, nl, handle_line, context)) {
        result = READ_STOPPED;
        break;
      }
      start = scanned = size_t(nl - buf) + 1;
      continue;
    }
    scanned = filled;
    if (start > 0) {
      memmove(buf, buf + start, filled - start);
      filled -= start;
      scanned = filled;
      start = 0;
    }
    if (filled == capacity) {
      char* bigger = static_cast<char*>(realloc(buf, 2 * capacity + 1));
      if (!bigger) {
        result = READ_NO_MEMORY;
        break;
      }
      buf = bigger;
      capacity *= 2;
    }
    ssize_t got = read(fd, buf + filled, capacity - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      result = READ_FAILED;
      break;
    }
    if (got == 0) {
      if (filled > 0 && !end_line(buf, buf + filled, handle_line, context))
        result = READ_STOPPED;
      break;
    }
    filled += size_t(got);
  }
  free(buf);
  return result;
}
