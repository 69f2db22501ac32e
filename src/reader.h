#ifndef TENVIK_READER_H_
#define TENVIK_READER_H_

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pages.h"

enum { READ_OK, READ_FAILED, READ_NO_MEMORY, READ_STOPPED };

/// Bytes past the end of the text that read_fast may read, all zero: room
/// to load a line's first 48 bytes at once, wherever it ends.
const size_t READ_SLACK = 48;

/// Reads fd to its end and hands each line, whatever its length, to
/// handle_line(line, length) as a NUL-terminated text of `length` bytes (a
/// NUL byte inside ends it early) without its line ending ("\n" or
/// "\r\n"); the handler may change the text in place.
/// Returns READ_STOPPED as soon as the handler returns false, READ_FAILED
/// on a read error, READ_NO_MEMORY when a line does not fit in memory.
/// Before a line is looked at, read_fast(line, end, &stop) may take it and
/// the lines after it whole from the buffer, whose text ends at `end` with
/// a NUL byte and READ_SLACK zero bytes: it returns the start of the first line
/// it left, which then goes to handle_line; `stop` set ends the reading as a
/// false handle_line does. A template, so that the handler of a million lines
/// is inlined.
template <typename Handler, typename Fast>
int read_lines(int fd, Handler handle_line, Fast read_fast) {
  auto end_line = [&handle_line](char* line, char* end) {
    if (end > line && end[-1] == '\r') end--;
    *end = '\0';
    return handle_line(line, size_t(end - line));
  };
  // Small enough that what a read(2) brings is still in the core's cache
  // when it is parsed: a megabyte is not.
  size_t capacity = size_t(1) << 18;
  // One byte more than the capacity, for the terminator of a last line
  // without a newline, and the slack.
  char* buf = static_cast<char*>(malloc(capacity + 1 + READ_SLACK));
  if (!buf) return READ_NO_MEMORY;
  // The pages the first read fills, given in one call rather than a fault
  // each (see populate_pages); no more than a short file fills.
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    populate_pages(
        buf, size_t(st.st_size) < capacity ? size_t(st.st_size) : capacity);
  size_t start = 0, scanned = 0, filled = 0;
  int result = READ_OK;
  for (;;) {
    if (scanned == start && start < filled) {
      // Finding a line's end is part of reading it there.
      memset(buf + filled, 0, 1 + READ_SLACK);
      bool stop = false;
      start = scanned =
          size_t(read_fast(buf + start, buf + filled, &stop) - buf);
      if (stop) {
        result = READ_STOPPED;
        break;
      }
      if (start == filled) continue;
    }
    char* nl =
        static_cast<char*>(memchr(buf + scanned, '\n', filled - scanned));
    if (nl) {
      if (!end_line(buf + start, nl)) {
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
      char* bigger =
          static_cast<char*>(realloc(buf, 2 * capacity + 1 + READ_SLACK));
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
      if (filled > 0 && !end_line(buf, buf + filled)) result = READ_STOPPED;
      break;
    }
    filled += size_t(got);
  }
  free(buf);
  return result;
}

#endif  // TENVIK_READER_H_
