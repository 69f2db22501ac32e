#ifndef TENVIK_PAGES_H_
#define TENVIK_PAGES_H_

#include <stddef.h>
#include <string.h>
#include <sys/mman.h>

/// Zero-filled memory straight from the system, on huge pages where it has
/// them; nullptr when there is none. Released with munmap.
void* map_pages(size_t bytes);

/// An array of `count` T in mapped pages grown to `bigger`, moved rather
/// than copied where the system can (nullptr, with p untouched, when there
/// is no memory). Pages never written take no memory, so a doubling array
/// costs what it holds, not twice that: lists of millions grow this way.
template <typename T>
T* grow_mapping(T* p, size_t count, size_t bigger) {
  size_t bytes = count * sizeof(T);
  size_t new_bytes = bigger * sizeof(T);
#ifdef MREMAP_MAYMOVE
  if (p) {
    void* moved = mremap(p, bytes, new_bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(moved, new_bytes, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(moved);
  }
#endif
  T* q = static_cast<T*>(map_pages(new_bytes));
  if (q && p) memcpy(q, p, bytes);
  if (q && p) munmap(p, bytes);
  return q;
}

/// Room for one more T in an array made by grow_mapping holding `count`:
/// doubles it when full, up to `limit` items. False when it may not grow.
template <typename T>
bool room_for_one(T*& p, size_t count, size_t& capacity, size_t limit) {
  if (count < capacity) return true;
  if (capacity >= limit) return false;
  size_t bigger = capacity ? 2 * capacity : 4096;
  T* q = grow_mapping(p, capacity, bigger);
  if (!q) return false;
  p = q;
  capacity = bigger;
  return true;
}

/// Gives back an array of `count` T made by grow_mapping or map_pages.
template <typename T>
void unmap_mapping(T* p, size_t count) {
  if (p) munmap(p, count * sizeof(T));
}

#endif  // TENVIK_PAGES_H_
