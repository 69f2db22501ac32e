#include "pages.h"

#include <unistd.h>

// What a huge page spans: a reservation starts at such a boundary, so that
// each whole stretch of it can be one.
const size_t HUGE_PAGE_BYTES = size_t(2) << 20;

static size_t page_bytes() { return size_t(getpagesize()); }

static size_t round_up(size_t n, size_t unit) {
  return (n + unit - 1) / unit * unit;
}

void* map_pages(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}

void populate_pages(void* p, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  if (!p || bytes == 0) return;
  // The advice takes whole pages.
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = start / page_bytes() * page_bytes();
  // Older systems refuse the advice; the pages then come as they are used.
  madvise(reinterpret_cast<void*>(first), start + bytes - first,
          MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)bytes;
#endif
}

void* reserve_pages(size_t bytes, size_t small) {
  if (bytes == 0 || bytes > SIZE_MAX / 2) return nullptr;
  // munmap takes the end of the last page given, as it does here.
  bytes = round_up(bytes, page_bytes());
  // Space without access is not memory the system promises, so it is not
  // counted against its commit limit; only the pages made usable are.
  void* p = mmap(nullptr, bytes + HUGE_PAGE_BYTES, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  char* start = static_cast<char*>(p);
  char* aligned = reinterpret_cast<char*>(
      round_up(reinterpret_cast<uintptr_t>(start), HUGE_PAGE_BYTES));
  if (aligned > start) munmap(start, size_t(aligned - start));
  size_t tail = size_t(start + bytes + HUGE_PAGE_BYTES - (aligned + bytes));
  if (tail > 0) munmap(aligned + bytes, tail);
#ifdef MADV_HUGEPAGE
  small = round_up(small, HUGE_PAGE_BYTES);
  if (bytes > small) madvise(aligned + small, bytes - small, MADV_HUGEPAGE);
#endif
  return aligned;
}

void* map_written_pages(size_t bytes) {
  // Reserved as all small pages, then advised for the whole huge ones: a
  // huge page past the end of what is written would be memory unused.
  void* p = reserve_pages(bytes, bytes);
  if (!p) {
    p = map_pages(bytes);  // no room to align it
  } else if (!use_pages(p, 0, bytes, bytes)) {
    munmap(p, bytes);
    return nullptr;
  } else {
#ifdef MADV_HUGEPAGE
    const size_t whole = bytes / HUGE_PAGE_BYTES * HUGE_PAGE_BYTES;
    if (whole > 0) madvise(p, whole, MADV_HUGEPAGE);
#endif
  }
  populate_pages(p, bytes);
  return p;
}

bool use_pages(void* start, size_t from, size_t to, size_t most) {
  const size_t page = page_bytes();
  from = from / page * page;
  // Up to the end of a huge page, where the reservation has it: a stretch
  // the usable part ends in the middle of gets small pages, and on a
  // virtual machine each small page's fault costs microseconds.
  to = round_up(to, HUGE_PAGE_BYTES) <= most ? round_up(to, HUGE_PAGE_BYTES)
                                             : round_up(to, page);
  if (to <= from) return true;
  return mprotect(static_cast<char*>(start) + from, to - from,
                  PROT_READ | PROT_WRITE) == 0;
}

void release_pages(void* start, size_t from, size_t to) {
  from = round_up(from, page_bytes());
  if (to > from) munmap(static_cast<char*>(start) + from, to - from);
}
