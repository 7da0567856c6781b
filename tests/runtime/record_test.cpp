#include <gtest/gtest.h>

#include "bench32/record.hpp"

namespace {
using namespace b32;

struct One {
  Int a;
};
struct Three {
  Int a;
  Bool b;
  Ref<Three> c;
};
struct Nine {
  Int f[9];
};

void ensureHeap() {
  static bool reserved = (heap::reserve(), true);
  (void)reserved;
}

TEST(Records, TakeExactlyFourBytesPerField) {
  ensureHeap();
  static_assert(sizeof(One) == 4 && sizeof(Three) == 12 && sizeof(Nine) == 36);
  const auto before = heap::state.top;
  Ref<Three> a = newRecord<Three>();
  Ref<Nine> b = newRecord<Nine>();
  Ref<One> c = newRecord<One>();
  EXPECT_EQ(heap::state.top - before, 4 * (3u + 9u + 1u));
  EXPECT_EQ(b.address - a.address, 12u);
  EXPECT_EQ(c.address - b.address, 36u);
}

TEST(Records, ReleasedStorageIsReusedBySize) {
  ensureHeap();
  Ref<Three> a = newRecord<Three>();
  Ref<One> small = newRecord<One>();
  release(a);
  release(small);
  const auto top = heap::state.top;
  EXPECT_EQ(newRecord<Three>(), a); // a three-field record reuses the three-field slot
  EXPECT_EQ(newRecord<One>(), small);
  EXPECT_EQ(heap::state.top, top);
}

TEST(Records, FieldsKeepTheirValuesAndReferencesCompare) {
  ensureHeap();
  Ref<Three> head = nullptr;
  for (int i = 0; i < 100000; ++i) { // crosses several commit steps
    Ref<Three> node = newRecord<Three>();
    node->a = i;
    node->b = i % 2 == 0;
    node->c = head;
    head = node;
  }
  int expected = 99999, count = 0;
  for (Ref<Three> p = head; p != nullptr; p = p->c, --expected, ++count) {
    ASSERT_EQ(p->a, expected);
    ASSERT_EQ(bool(p->b), expected % 2 == 0);
  }
  EXPECT_EQ(count, 100000);
  EXPECT_TRUE(head == head);
  EXPECT_FALSE(head == head->c);
  EXPECT_TRUE(Ref<Three>(nullptr) == nullptr);
}

TEST(Records, ReleasingNullDoesNothing) {
  ensureHeap();
  const auto top = heap::state.top;
  const auto freeHead = heap::state.freeHead[3];
  release(Ref<Three>(nullptr));
  EXPECT_EQ(heap::state.top, top);
  EXPECT_EQ(heap::state.freeHead[3], freeHead);
}

} // namespace
