#include "writer.h"

#include <string.h>
#include <unistd.h>

void put_text(chunk_writer& w, const char* text, size_t length) {
  if (!make_room(w, length)) {
    fwrite(text, 1, length, w.stream);
    return;
  }
  memcpy(w.text + w.used, text, length);
  w.used += length;
}

void flush_text(chunk_writer& w) {
  // Straight to the file, one call a chunk: through the stream's small
  // buffer each chunk went out in two calls, one of them small. What the
  // stream holds goes first, and whatever the file does not take is left
  // to the stream, which reports the failure as it always has.
  size_t done = 0;
  const int fd = w.used ? fileno(w.stream) : -1;
  if (fd >= 0 && fflush(w.stream) == 0) {
    while (done < w.used) {
      ssize_t n = write(fd, w.text + done, w.used - done);
      if (n <= 0) break;
      done += size_t(n);
    }
  }
  if (done < w.used) fwrite(w.text + done, 1, w.used - done, w.stream);
  w.used = 0;
}

void lend_chunk(chunk_writer& w, char* text, size_t bytes) {
  flush_text(w);
  w.text = text ? text : w.chunk;
  w.room = text ? bytes : chunk_writer::CHUNK_BYTES;
}
