#ifndef TENVIK_READER_H_
#define TENVIK_READER_H_

enum { READ_OK, READ_FAILED, READ_NO_MEMORY, READ_STOPPED };

/// Reads fd to its end and hands each line, whatever its length, to
/// handle_line as a NUL-terminated text without its line ending ("\n" or
/// "\r\n"); the handler may change the text in place. Returns READ_STOPPED
/// as soon as the handler returns false, READ_FAILED on a read error,
/// READ_NO_MEMORY when a line does not fit in memory.
int read_lines(int fd, bool (*handle_line)(char* line));

#endif  // TENVIK_READER_H_
