// sinksort: builds a ring of n × 1000 records holding n × 1000 down to 1, sorts it into
// ascending order with a bubble sort that exchanges the values of neighbouring records,
// then writes the values one per line while it releases the records. A count that is
// not positive writes -1 and ends with status 255.
#include "bench32.hpp"

namespace {
using namespace b32;

struct node {
  Int value;
  Ref<node> prev; // written when the record is made, never read
  Ref<node> next; // the last record's next is the first record
};

// Set once and never read: the sort keeps its pass flag in a local. The store is dead,
// and the compiler may drop it.
Int swapped = 0;

// Wraps like every subtraction.
Int compare(Ref<node> a, Ref<node> b) { return a->value - b->value; }

// Each pass walks from head to the last record and stops there; passes repeat until
// one exchanges nothing.
void deathSort(Ref<node> head) {
  bool passSwapped;
  do {
    passSwapped = false;
    Ref<node> cur = head;
    while (cur->next != head) {
      if (compare(cur, cur->next) > 0) {
        Int value = cur->value;
        cur->value = cur->next->value;
        cur->next->value = value;
        passSwapped = true;
      }
      cur = cur->next;
    }
  } while (passSwapped);
}

// The walk ends when it comes back to head, recognised by its reference alone: head has
// been released by then.
void printGRIMList(Ref<node> head) {
  println(head->value);
  Ref<node> cur = head->next;
  release(head);
  while (cur != head) {
    println(cur->value);
    Ref<node> next = cur->next;
    release(cur);
    cur = next;
  }
}

Int main() {
  swapped = 666;
  Int n = read();
  if (n <= 0) {
    println(-1);
    return -1;
  }
  Int count = n * 1000;
  Ref<node> first = newRecord<node>();
  first->value = count;
  first->prev = first;
  first->next = first;
  Ref<node> last = first;
  for (Int i = count - 1; i > 0; --i) {
    Ref<node> record = newRecord<node>();
    record->value = i;
    record->prev = last;
    record->next = first;
    last->next = record;
    last = record;
  }
  deathSort(first);
  printGRIMList(first);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
