// mixed: four unrelated workloads, each sized by one input number: a self-recursive
// countdown in tail position, records holding records and a countdown, a loop that
// creates and releases one record per step, and Ackermann's function. Writes the
// first three numbers back after their workloads have run, then ackermann(m, n).
#include "bench32.hpp"

namespace {
using namespace b32;

struct innerRecord {
  Int whole;
};

struct mathRecord {
  Int whole;
  Int spare; // never written or read
  Ref<innerRecord> inner;
};

// The self-call is the last action, so it is written as the jump it amounts to: the
// countdown runs in constant stack for any depth, at every optimisation level. Its
// steps are the work: through the barrier they cannot be folded away.
void tailrecursive(Int num) {
  while (num > 0) num = opaque(num) - 1;
}

// Leaves the two inner records allocated.
void domath(Int num) {
  Ref<mathRecord> first = newRecord<mathRecord>();
  first->inner = newRecord<innerRecord>();
  Ref<mathRecord> second = newRecord<mathRecord>();
  second->inner = newRecord<innerRecord>();
  first->whole = num;
  second->whole = 3;
  first->inner->whole = first->whole;
  second->inner->whole = second->whole;
  while (num > 0) num = opaque(num) - 1;
  release(first);
  release(second);
}

void objinstantiation(Int num) {
  while (num > 0) {
    Ref<mathRecord> record = newRecord<mathRecord>();
    release(record);
    num = num - 1;
  }
}

// Defined for m >= 0 and n >= 0. With m = 0 it returns at once whatever n is; any other
// negative argument sends the recursion away from its base case for good.
Int ackermann(Int m, Int n) {
  if (m == 0) return n + 1;
  if (n == 0) return ackermann(m - 1, 1);
  return ackermann(m - 1, ackermann(m, n - 1));
}

// Nothing calls it: the compiler may drop it, as it would an unused static C function.
[[maybe_unused]] Int add(Int a, Int b) { return a + b; }

Int main() {
  Int depth = read();
  Int size = read();
  Int count = read();
  Int m = read();
  Int n = read();

  tailrecursive(depth);
  println(depth);
  domath(size);
  println(size);
  objinstantiation(count);
  println(count);
  // A run that could never end stops here instead, with the lines above written.
  if (m < 0 || (m != 0 && n < 0)) fail("ackermann never ends for a negative argument");
  println(ackermann(m, n));
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
