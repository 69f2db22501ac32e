#include "writer.h"

#include <string.h>

void put_text(chunk_writer& w, const char* text, size_t length) {
  if (!make_room(w, length)) {
    fwrite(text, 1, length, w.stream);
    return;
  }
  memcpy(w.chunk + w.used, text, length);
  w.used += length;
}

void flush_text(chunk_writer& w) {
  if (w.used) fwrite(w.chunk, 1, w.used, w.stream);
  w.used = 0;
}
