#ifndef TENVIK_WRITER_H_
#define TENVIK_WRITER_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Text gathered into one chunk and written a chunk at a time: a big list
// has hundreds of thousands of entries, and millions of warnings can be
// held back, while the error stream is unbuffered.
struct chunk_writer {
  static const size_t CHUNK_BYTES = size_t(1) << 16;
  FILE* stream = nullptr;
  size_t used = 0;
  uint64_t lines = 0;  // entry lines put so far, for their numbers
  // Where the text gathers: the chunk, or a bigger one lent for a long
  // list (each write(2) costs microseconds on a virtual machine).
  char* text = chunk;
  size_t room = CHUNK_BYTES;
  char chunk[CHUNK_BYTES];

  chunk_writer() = default;
  chunk_writer(const chunk_writer&) = delete;
  chunk_writer& operator=(const chunk_writer&) = delete;
};

/// Writes out what the chunk holds and gathers text in `bytes` at `text`
/// from then on; with nullptr, in the writer's own chunk again.
void lend_chunk(chunk_writer& w, char* text, size_t bytes);

/// Writes out what the chunk holds.
void flush_text(chunk_writer& w);

/// Room for `length` more bytes at text + used, writing out the chunk if
/// need be; false when the text would not fit even in an empty chunk.
inline bool make_room(chunk_writer& w, size_t length) {
  if (length <= w.room - w.used) return true;
  flush_text(w);
  return length <= w.room;
}

/// Adds text to the chunk (text longer than a chunk goes out at once).
void put_text(chunk_writer& w, const char* text, size_t length);

#endif  // TENVIK_WRITER_H_
