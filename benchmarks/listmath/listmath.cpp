// listmath: reads six integers into a list of six records and walks it three ways: a
// running product and a running sum, each writing its five partial results, and a
// recursive product. Then writes twice the product, the product minus half the sum,
// and the 0 left by counting twice the product down to zero, one value per line.
#include "bench32.hpp"

namespace {
using namespace b32;

struct ListNode {
  Int value;
  Ref<ListNode> next;
};

Ref<ListNode> buildList() {
  Ref<ListNode> first = newRecord<ListNode>();
  Ref<ListNode> second = newRecord<ListNode>();
  Ref<ListNode> third = newRecord<ListNode>();
  Ref<ListNode> fourth = newRecord<ListNode>();
  Ref<ListNode> fifth = newRecord<ListNode>();
  Ref<ListNode> sixth = newRecord<ListNode>();
  first->value = read();
  second->value = read();
  third->value = read();
  fourth->value = read();
  fifth->value = read();
  sixth->value = read();
  first->next = second;
  second->next = third;
  third->next = fourth;
  fourth->next = fifth;
  fifth->next = sixth;
  sixth->next = nullptr;
  return first;
}

// Never tests for the end of the list: it must hold at least six nodes.
Int multiple(Ref<ListNode> list) {
  Int p = list->value;
  Ref<ListNode> cur = list->next;
  for (Int i = 0; i < 5; ++i) {
    p = p * cur->value;
    println(p);
    cur = cur->next;
  }
  return p;
}

// Never tests for the end of the list: it must hold at least six nodes.
Int add(Ref<ListNode> list) {
  Int p = list->value;
  Ref<ListNode> cur = list->next;
  for (Int i = 0; i < 5; ++i) {
    p = p + cur->value;
    println(p);
    cur = cur->next;
  }
  return p;
}

Int recurseList(Ref<ListNode> list) {
  if (list->next == nullptr) return list->value;
  return list->value * recurseList(list->next);
}

Int main() {
  Ref<ListNode> list = buildList();
  Int product = multiple(list);
  Int total = add(list);
  Int diff = product - divide(total, 2);
  Int acc = 0;
  for (Int i = 0; i < 2; ++i) acc = acc + recurseList(list);
  println(acc);
  // A busy loop of one step per unit, 2^32 - |acc| steps for a negative acc; its
  // steps are the work, and through the barrier, which keeps each value of the
  // counter, they cannot be replaced by the 0 they end at.
  while (acc != 0) {
    keep(acc);
    acc = acc - 1;
  }
  println(diff);
  println(acc);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
