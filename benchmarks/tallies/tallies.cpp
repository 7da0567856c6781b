// tallies: reads triples; for each it writes the sum of the factorials of the first
// two values, and it stops after the first triple whose third value is -1.
#include "bench32.hpp"

namespace {
using namespace b32;

Int sum(Int a, Int b) { return a + b; }

// n! reduced to 32 bits, and fact(-n) for negative n. The products are those of the
// recursion n × fact(n - 1), made in the same order (2 × 1, then 3 × 2!, ...) by a
// loop, so that every argument runs in constant stack.
Int fact(Int n) {
  if (n == 1 || n == 0) return 1;
  if (n <= 1) {
    // -n does not fit for the smallest integer; as 2^31 ≡ -2^31 (mod 2^32), its
    // factorial is n × (2^31 - 1)!, which holds 2^32 as a factor and is 0.
    if (n == INT32_MIN) return n * fact(INT32_MAX);
    return fact(-1 * n);
  }
  Int product = 1;
  Int factor = 1;
  while (factor < n) {
    factor = factor + 1;
    product = factor * product;
  }
  return product;
}

// A read that fails with no input left would yield the same value for ever: unless
// that value is -1, which ends the run within this triple, the run would never end.
void stopIfInputEnded(Int value) {
  if (value != -1 && inputExhausted()) {
    fail("no more numbers in the input before a triple whose third value is -1");
  }
}

Int main() {
  Int more = 0;
  while (more != -1) {
    Int a = read();
    stopIfInputEnded(a);
    Int b = read();
    stopIfInputEnded(b);
    a = fact(a);
    b = fact(b);
    println(sum(a, b));
    more = read();
    stopIfInputEnded(more);
  }
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
