// frontlist: reads a count n, builds the list 1, 2, ..., n by putting n down to 1 in
// front, writes each value as it goes in and then the length, then takes the nodes off
// the front one by one, writing the length before each removal, and ends the line with
// the sum of the removed values.
//
// The length is counted by walking the list, twice per removal: the n² walks are the
// load.
#include "bench32.hpp"

namespace {
using namespace b32;

struct ListNode {
  Int value;
  Ref<ListNode> next;
};

// A count, despite its name: the number read, counted down while the list is built.
Int intList = 0;

Int length(Ref<ListNode> list) {
  if (list == nullptr) return 0;
  return 1 + length(list->next);
}

Ref<ListNode> addToFront(Ref<ListNode> list, Int v) {
  Ref<ListNode> node = newRecord<ListNode>();
  node->value = v;
  node->next = list;
  return node;
}

Ref<ListNode> deleteFirst(Ref<ListNode> list) {
  if (list == nullptr) return nullptr;
  Ref<ListNode> rest = list->next;
  release(list);
  return rest;
}

Int main() {
  intList = read();
  Ref<ListNode> list = nullptr;
  while (intList > 0) {
    list = addToFront(list, intList);
    print(list->value);
    intList = intList - 1;
  }
  print(length(list));
  Int sum = 0;
  while (length(list) > 0) {
    sum = sum + list->value;
    print(length(list));
    list = deleteFirst(list);
  }
  println(sum);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
