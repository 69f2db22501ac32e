#include "pages.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <unistd.h>

namespace {

// Fills items [from, to) with their own index, and checks [0, to) holds it.
void fill(uint64_t* a, size_t from, size_t to) {
  for (size_t i = from; i < to; i++) a[i] = i * 0x9e3779b97f4a7c15u;
}
bool holds(const uint64_t* a, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (a[i] != i * 0x9e3779b97f4a7c15u) return false;
  return true;
}

TEST(Pages, ArrayGrowsInPlaceWithinItsReservationAndMovesPastIt) {
  // Room reserved for three doublings: the array stays where it is, and
  // each growth's new part is usable and zero; the fourth moves it.
  const size_t first = 1000;  // not a whole number of pages
  size_t reserved = 0;
  uint64_t* a = grow_mapping<uint64_t>(nullptr, 0, first, reserved, 8 * first);
  ASSERT_NE(nullptr, a);
  ASSERT_EQ(8 * first, reserved) << "no reservation made";
  fill(a, 0, first);
  size_t capacity = first;
  for (int i = 0; i < 3; i++) {
    uint64_t* b = grow_mapping(a, capacity, 2 * capacity, reserved);
    ASSERT_EQ(a, b) << "moved within its reservation, growth " << i;
    EXPECT_EQ(0u, a[2 * capacity - 1]);
    fill(a, capacity, 2 * capacity);
    capacity *= 2;
  }
  uint64_t* moved = grow_mapping(a, capacity, 2 * capacity, reserved);
  ASSERT_NE(nullptr, moved);
  EXPECT_EQ(0u, reserved);
  EXPECT_TRUE(holds(moved, capacity));
  fill(moved, capacity, 2 * capacity);
  capacity *= 2;
  // Once moved it grows as any mapping does.
  uint64_t* again = grow_mapping(moved, capacity, 2 * capacity, reserved);
  ASSERT_NE(nullptr, again);
  EXPECT_TRUE(holds(again, capacity));
  unmap_mapping(again, 2 * capacity, reserved);
}

TEST(Pages, RoomForOneDoublesUpToItsLimit) {
  uint64_t* a = nullptr;
  size_t capacity = 0, reserved = 0, count = 0;
  const size_t limit = 4096 * 4;
  while (room_for_one(a, count, capacity, reserved, limit)) {
    a[count] = count * 0x9e3779b97f4a7c15u;
    count++;
  }
  EXPECT_EQ(limit, count);
  EXPECT_EQ(limit, capacity);
  EXPECT_TRUE(holds(a, count));
  unmap_mapping(a, capacity, reserved);
}

// Scratch that is written at once comes zeroed and usable to its last
// byte, and starts on a huge page, so that its whole ones can be huge.
TEST(Pages, WrittenPagesStartOnAHugePage) {
  const size_t n = (size_t(3) << 20) / sizeof(uint64_t) + 5;
  uint64_t* a = static_cast<uint64_t*>(map_written_pages(n * sizeof(uint64_t)));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(a) % (size_t(2) << 20));
  for (size_t i = 0; i < n; i++) ASSERT_EQ(0u, a[i]) << i;
  fill(a, 0, n);
  EXPECT_TRUE(holds(a, n));
  munmap(a, n * sizeof(uint64_t));
}

// An array written in order has each page given before it is written, and
// none past the frontier. Items of twelve bytes, as a queue's, straddle
// pages, and start the advice in the middle of one.
TEST(Pages, NextPageGivenAheadOfTheWritesAndNoFurther) {
  const size_t page = size_t(getpagesize());
  if (page != 4096) GTEST_SKIP() << "pages of " << page << " bytes";
#ifdef MADV_POPULATE_WRITE
  void* probe = mmap(nullptr, page, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, probe);
  const bool gives = madvise(probe, page, MADV_POPULATE_WRITE) == 0;
  munmap(probe, page);
  if (!gives) GTEST_SKIP() << "this system does not give pages ahead";
#else
  GTEST_SKIP() << "this system does not give pages ahead";
#endif
  struct item {
    uint32_t word[3];
  };
  size_t capacity = 0, reserved = 0;
  item* a = nullptr;
  ASSERT_TRUE(room_for_one(a, 0, capacity, reserved, 1 << 20));
  const uintptr_t base = reinterpret_cast<uintptr_t>(a);
  auto resident = [&](size_t byte) {
    unsigned char in = 0;
    void* at = reinterpret_cast<void*>((base + byte) / page * page);
    return mincore(at, page, &in) == 0 && (in & 1);
  };
  size_t given = 0;
  for (size_t i = 0; i < 8 * page / sizeof(item); i++) {
    if (i == given) {
      given = give_next_page(a, given, capacity);
      EXPECT_EQ(i + page / sizeof(item), given);
      EXPECT_FALSE(resident(given * sizeof(item) - 1 + page))
          << "a page given past the frontier, item " << given;
    }
    ASSERT_TRUE(resident(i * sizeof(item)) &&
                resident((i + 1) * sizeof(item) - 1))
        << "written before it was given, item " << i;
    a[i].word[0] = uint32_t(i);
  }
  // Past the small pages an array is on huge ones: nothing more to give.
  const size_t small = SMALL_PAGES_BYTES / sizeof(item) + 1;
  item* bigger = grow_mapping(a, capacity, 2 * small, reserved);
  ASSERT_NE(nullptr, bigger);
  EXPECT_EQ(2 * small, give_next_page(bigger, small, 2 * small));
  unmap_mapping(bigger, 2 * small, reserved);
}

}  // namespace
