// biggest: reads integers into a list, one nested call per value, up to and including
// the end marker -1, and writes the largest value read before the marker (or -1 when
// the marker comes first).
#include "bench32.hpp"

namespace {
using namespace b32;

struct ListNode {
  Int value;
  Ref<ListNode> next;
};

// The node is allocated before its value is read. Input that ends, or can never yield
// another number, before the marker would make the recursion go on allocating without
// end, so the program stops there instead.
Ref<ListNode> getIntList() {
  Ref<ListNode> n = newRecord<ListNode>();
  Int v = read();
  if (v == -1) {
    n->value = -1;
    n->next = nullptr;
    return n;
  }
  if (inputExhausted()) fail("input ended before the end marker -1");
  n->value = v;
  n->next = getIntList();
  return n;
}

Int biggest(Int a, Int b) {
  if (a > b) return a;
  return b;
}

// The last node holds the end marker and is not compared.
Int biggestInList(Ref<ListNode> list) {
  Int big = list->value;
  Ref<ListNode> cur = list;
  while (cur->next != nullptr) {
    big = biggest(big, cur->value);
    cur = cur->next;
  }
  return big;
}

Int main() {
  Ref<ListNode> list = getIntList();
  println(biggestInList(list));
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
