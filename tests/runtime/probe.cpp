// A program on the runtime that exercises the process-level contract: deep recursion,
// stack exhaustion, exit statuses, division by zero after buffered output, records.
// Its cases (cases.json) give the first number read as the mode.
#include "bench32.hpp"

namespace {
using namespace b32;

Int depth(Int n) {
  if (n == 0) return 0;
  return depth(n - 1) + 1;
}

// Deeper than any stack: it would end only after 2^32 nested calls.
Int forever(Int n) {
  if (n == -1) return 0;
  return forever(n + 1) + 1;
}

struct Pair {
  Int value;
  Ref<Pair> next;
};

Int main() {
  Int mode = read();
  if (mode == 1) { // nested calls: prints the depth reached
    println(depth(read()));
  } else if (mode == 2) { // runs off the stack
    println(forever(0));
  } else if (mode == 3) { // returns the number read: the exit status is it mod 256
    return read();
  } else if (mode == 4) { // prints n numbers, then divides by zero
    Int n = read();
    for (Int i = 0; i < n; ++i) print(i);
    println(divide(n, n - n));
  } else if (mode == 5) { // a list of n records, summed, then released
    Int n = read();
    Ref<Pair> head = nullptr;
    for (Int i = 1; i <= n; ++i) {
      Ref<Pair> p = newRecord<Pair>();
      p->value = i;
      p->next = head;
      head = p;
    }
    Int sum = 0;
    while (head != nullptr) {
      sum += head->value;
      Ref<Pair> next = head->next;
      release(head);
      head = next;
    }
    println(sum);
  } else if (mode == 6) { // follows a null reference: a plain crash
    Ref<Pair> p = nullptr;
    println(p->value);
  }
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
