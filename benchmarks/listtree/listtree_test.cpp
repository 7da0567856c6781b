// The list operations that main never calls, quickSort and pop, called directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "listtree.cpp"

namespace {

heap::Address heapStart = 0;

void ensureHeap() {
  static bool reserved = (heap::reserve(), heapStart = heap::state.top, true);
  (void)reserved;
}

// Only ListNodes are allocated here, so the cells handed out, less those on the free
// list of two-cell records, are the live nodes.
std::size_t liveNodes() {
  std::size_t released = 0;
  for (heap::Address i = heap::state.freeHead[heap::sizeClass<ListNode>]; i != 0; ++released)
    __builtin_memcpy(&i, heap::at(i), sizeof i);
  return (heap::state.top - heapStart) / heap::recordBytes<ListNode> - released;
}

Ref<ListNode> makeList(const std::vector<std::int32_t>& values) {
  Ref<ListNode> list = nullptr;
  for (auto it = values.rbegin(); it != values.rend(); ++it) list = add(list, *it);
  return list;
}

std::vector<std::int32_t> valuesOf(Ref<ListNode> list) {
  std::vector<std::int32_t> values;
  for (; list != nullptr; list = list->next) values.push_back(list->value);
  return values;
}

void expectSorts(const std::vector<std::int32_t>& values) {
  Ref<ListNode> list = makeList(values);
  const std::size_t before = liveNodes();
  Ref<ListNode> sorted = quickSort(list);
  std::vector<std::int32_t> expected = values;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(valuesOf(sorted), expected);
  // The argument's nodes and every partial list are released; only the result lives.
  EXPECT_EQ(liveNodes(), before);
  freeList(sorted);
}

TEST(QuickSort, SortsListsWhosePartitionsMakeProgress) {
  ensureHeap();
  for (const auto& values : std::vector<std::vector<std::int32_t>>{
           {3, 1, 2}, {8, 3, 5, 1}, {7, 2}, {9, 4, 7, 1, 8}, {2, 7}, {-3, 5, -8, 0}})
    expectSorts(values);
}

// On these one side of a partition takes every value: the halved sum of the end
// values is one of two neighbours, or equal to them all, or has wrapped.
TEST(QuickSort, EndsOnListsThatOneSideTakesWhole) {
  ensureHeap();
  for (const auto& values :
       std::vector<std::vector<std::int32_t>>{{1, 1},
                                              {0, -1},
                                              {-2, -1},
                                              {4, 4, 5},
                                              {2147483647, 2147483646},
                                              {2147483647, 2147483647},
                                              {-2147483647 - 1, -2147483647 - 1},
                                              {-2147483647 - 1, 2147483647, -2147483647 - 1},
                                              {5, 5, 5, 5, 5},
                                              {-1, 0, -1, 0},
                                              {2147483647, -5, 2147483646}})
    expectSorts(values);
}

TEST(QuickSort, SortsRandomLists) {
  ensureHeap();
  std::mt19937 rng(20261209);
  const std::int32_t extremes[] = {-2147483647 - 1, -2147483647, -1, 0, 1, 2147483646, 2147483647};
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::int32_t> values(rng() % 13);
    for (auto& v : values) {
      switch (rng() % 3) {
      case 0:
        v = static_cast<std::int32_t>(rng() % 7) - 3;
        break;
      case 1:
        v = extremes[rng() % 7];
        break;
      default:
        v = static_cast<std::int32_t>(rng());
        break;
      }
    }
    expectSorts(values);
  }
}

TEST(QuickSort, ReturnsShortListsUnchanged) {
  ensureHeap();
  EXPECT_EQ(quickSort(nullptr), nullptr);
  Ref<ListNode> one = add(nullptr, 42);
  const std::size_t before = liveNodes();
  EXPECT_EQ(quickSort(one), one);
  EXPECT_EQ(one->value, 42);
  EXPECT_EQ(one->next, nullptr);
  EXPECT_EQ(liveNodes(), before);
  freeList(one);
}

TEST(Pop, ReturnsTheRestAndReleasesNothing) {
  ensureHeap();
  Ref<ListNode> list = add(add(nullptr, 5), 3);
  const std::size_t before = liveNodes();
  Ref<ListNode> rest = pop(list);
  EXPECT_EQ(rest, list->next);
  EXPECT_EQ(valuesOf(rest), std::vector<std::int32_t>{5});
  EXPECT_EQ(valuesOf(list), (std::vector<std::int32_t>{3, 5}));
  EXPECT_EQ(liveNodes(), before);
  freeList(list);
}

} // namespace
