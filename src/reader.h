#ifndef TENVIK_READER_H_
#define TENVIK_READER_H_

#include <stddef.h>

enum { READ_OK, READ_FAILED, READ_NO_MEMORY, READ_STOPPED };

/// Reads fd to its end and hands each line, whatever its length, to
/// handle_line(context, line, length) as a NUL-terminated text of `length`
/// bytes (a NUL byte inside ends it early) without its line ending ("\n" or
/// "\r\n"); the handler may change the text in place.
/// Returns READ_STOPPED as soon as the handler returns false, READ_FAILED
/// on a read error, READ_NO_MEMORY when a line does not fit in memory.
int read_lines(int fd,
               bool (*handle_line)(void* context, char* line, size_t length),
               void* context);

#endif  // TENVIK_READER_H_
