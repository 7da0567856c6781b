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

// Four bytes per field wherever a link is four bytes: on every 32-bit target, and with
// compact references on a 64-bit host. With native links there, a record holding one
// takes what C's struct does, rounded to the pointer's alignment.
constexpr bool kLinksAreFourBytes = sizeof(Ref<Three>) == 4;
static_assert(kLinksAreFourBytes == (sizeof(void*) == 4 || heap::kCompact));

TEST(Records, TakeExactlyFourBytesPerFieldWhereLinksDo) {
  ensureHeap();
  const std::size_t three = kLinksAreFourBytes ? 12 : 16;
  const std::size_t one = kLinksAreFourBytes ? 4 : 8;
  EXPECT_EQ(heap::recordBytes<Three>, three);
  const std::size_t nine = kLinksAreFourBytes ? 36 : 40; // rounded to a pointer's alignment
  EXPECT_EQ(heap::recordBytes<Nine>, nine);
  EXPECT_EQ(heap::recordBytes<One>, one);
  const auto before = heap::state.top;
  Ref<Three> a = newRecord<Three>();
  Ref<Nine> b = newRecord<Nine>();
  Ref<One> c = newRecord<One>();
  EXPECT_EQ(heap::state.top - before, three + nine + one);
  EXPECT_EQ(heap::addressOf(b) - heap::addressOf(a), three);
  EXPECT_EQ(heap::addressOf(c) - heap::addressOf(b), nine);
  // Every link lies where a pointer may.
  EXPECT_EQ(heap::addressOf(a) % alignof(Ref<Three>), 0u);
}

TEST(Records, SizeClassesAreDistinctPerRecordSize) {
  struct Two {
    Int a, b;
  };
  struct Ten {
    Int a[9];
    Ref<Ten> link;
  };
  // Records of different sizes never share a free list; the largest one fits.
  EXPECT_NE(heap::sizeClass<One>, heap::sizeClass<Three>);
  EXPECT_NE(heap::sizeClass<Nine>, heap::sizeClass<Ten>);
  EXPECT_EQ(heap::sizeClass<Two> * heap::kGrain, heap::recordBytes<Two>);
  struct Largest {
    Ref<Largest> links[heap::kMaxFields];
  };
  static_assert(RecordType<Largest>);
  EXPECT_LE(heap::sizeClass<Largest>, heap::kMaxFields);
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
  const auto freeHead = heap::state.freeHead[heap::sizeClass<Three>];
  release(Ref<Three>(nullptr));
  EXPECT_EQ(heap::state.top, top);
  EXPECT_EQ(heap::state.freeHead[heap::sizeClass<Three>], freeHead);
}

} // namespace
