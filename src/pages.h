#ifndef TENVIK_PAGES_H_
#define TENVIK_PAGES_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

/// Zero-filled memory straight from the system, on huge pages where it has
/// them; nullptr when there is none. Released with munmap.
void* map_pages(size_t bytes);

/// Makes the system give the pages that hold `bytes` of memory from p on
/// at once, where it can: pages that will all be written, each of whose
/// faults would otherwise cost a trip through the kernel.
void populate_pages(void* p, size_t bytes);

/// `bytes` of memory that will all be written at once, given now (see
/// populate_pages): it starts on a huge page, and is on huge pages as far
/// as it has whole ones, on small pages after them. nullptr without
/// memory. Released with munmap.
void* map_written_pages(size_t bytes);

/// Address space for `bytes`, aligned for huge pages, none of it usable
/// yet; nullptr when there is not that much to be had (a limit on the
/// address space, a 32-bit system). Released with munmap. Its first
/// `small` bytes, to the end of a huge page, are on small pages.
void* reserve_pages(size_t bytes, size_t small);

/// Makes bytes [from, to) of a reservation of `most` bytes usable,
/// zero-filled, and maybe some after them; false when the system has no
/// memory for them.
bool use_pages(void* start, size_t from, size_t to, size_t most);

/// Gives back bytes [from, to) of a mapping, from the first whole page on.
void release_pages(void* start, size_t from, size_t to);

/// How much of a growing array stays on small pages, unless it asks for
/// huge ones from the start: a huge page the list ends early in holds up
/// to 2 MB it does not use, which the arrays of most lists, under this
/// size, need not pay.
const size_t SMALL_PAGES_BYTES = size_t(4) << 20;

/// The most address space one growing array reserves: far more than any
/// list needs, and little of the 47 bits a 64-bit process has.
const uint64_t MOST_RESERVED_BYTES = uint64_t(1) << 34;

/// An array of `count` T in mapped pages grown to `bigger` (nullptr, with p
/// untouched, when there is no memory). Pages never written take no
/// memory, so a doubling array costs what it holds, not twice that: lists
/// of millions grow this way.
/// The first mapping reserves address space for `most` T, or as many as
/// MOST_RESERVED_BYTES hold, and the array then grows in place (`reserved`
/// is set to how many it has room for, 0 without a reservation). A move
/// would cost a fresh fault on every page it held, and split its huge pages
/// where the new place is not aligned for them: on a virtual machine, as
/// much as filling the array. Past its reservation, or without one, it
/// moves, or is copied.
/// Past its first mapping and SMALL_PAGES_BYTES it is on huge pages, and
/// from the start if `huge_first`: a short list would take a whole huge
/// page for its first few bytes, where small pages take what it uses, but
/// a long one saves a fault every small page.
template <typename T>
T* grow_mapping(T* p, size_t count, size_t bigger, size_t& reserved,
                size_t most = 0, bool huge_first = false) {
  size_t bytes = count * sizeof(T);
  size_t new_bytes = bigger * sizeof(T);
  if (p && bigger <= reserved)
    return use_pages(p, bytes, new_bytes, reserved * sizeof(T)) ? p : nullptr;
  if (most > MOST_RESERVED_BYTES / sizeof(T))
    most = size_t(MOST_RESERVED_BYTES / sizeof(T));
  // A 32-bit system has no room to spare.
  if (!p && sizeof(size_t) >= 8 && most > bigger) {
    const size_t small =
        new_bytes > SMALL_PAGES_BYTES ? new_bytes : SMALL_PAGES_BYTES;
    void* space = reserve_pages(most * sizeof(T), huge_first ? 0 : small);
    if (space && use_pages(space, 0, new_bytes, most * sizeof(T))) {
      reserved = most;
      return static_cast<T*>(space);
    }
    if (space) munmap(space, most * sizeof(T));
  }
#ifdef MREMAP_MAYMOVE
  if (p) {
    // Out of its reservation the array moves: the space it does not use
    // goes first, which may let it grow where it is.
    if (reserved > count) release_pages(p, bytes, reserved * sizeof(T));
    void* moved = mremap(p, bytes, new_bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
      // What it held is still there; no longer its reservation.
      reserved = 0;
      return nullptr;
    }
    reserved = 0;
#ifdef MADV_HUGEPAGE
    madvise(moved, new_bytes, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(moved);
  }
#endif
  T* q = static_cast<T*>(map_pages(new_bytes));
  if (q && p) {
    memcpy(q, p, bytes);
    munmap(p, (reserved > count ? reserved : count) * sizeof(T));
    reserved = 0;
  }
  return q;
}

/// Room for one more T in an array made by grow_mapping holding `count`:
/// doubles it when full, up to `limit` items, which it reserves. False when
/// it may not grow.
template <typename T>
bool room_for_one(T*& p, size_t count, size_t& capacity, size_t& reserved,
                  size_t limit) {
  if (count < capacity) return true;
  if (capacity >= limit) return false;
  size_t bigger = capacity ? 2 * capacity : 4096;
  T* q = grow_mapping(p, capacity, bigger, reserved, limit);
  if (!q) return false;
  p = q;
  capacity = bigger;
  return true;
}

/// For an array of `capacity` T made by grow_mapping and written in order,
/// whose first `given` are on pages given already: gives the page after
/// them, where the array is on small pages, and returns how many T are then
/// on given pages. On this kind of machine a small page's fault costs more
/// than a call that gives it and the first write after that; one page a
/// call, as more at once leaves the last ones unused when the list ends.
/// Past SMALL_PAGES_BYTES the array is on huge pages, which fault rarely.
template <typename T>
size_t give_next_page(T* p, size_t given, size_t capacity) {
  if (given * sizeof(T) >= SMALL_PAGES_BYTES) return capacity;
  const size_t page = 4096 / sizeof(T);
  const size_t upto = capacity - given < page ? capacity : given + page;
  populate_pages(p + given, (upto - given) * sizeof(T));
  return upto;
}

/// Gives back an array of `count` T made by grow_mapping, with the space
/// reserved for it, or one made by map_pages (reserved 0).
template <typename T>
void unmap_mapping(T* p, size_t count, size_t reserved = 0) {
  if (p) munmap(p, (reserved > count ? reserved : count) * sizeof(T));
}

#endif  // TENVIK_PAGES_H_
