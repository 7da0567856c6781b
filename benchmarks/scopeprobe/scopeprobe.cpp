// scopeprobe: reads a starting number and, for every integer from it up to 9999, writes
// the result of fun1(3, i, 5): a threshold t = 10 + 4 / i picks 3 or i, and fun2 counts
// t down to zero by self-calls before handing the pick back. At i = 0 the division by
// zero ends the process with SIGFPE, as any division by zero does.
#include "bench32.hpp"

namespace {
using namespace b32;

// Program-wide cells that no function touches: they are part of the probe's scope.
[[maybe_unused]] Int count = 0;
[[maybe_unused]] Int GLOBAL = 0;

// Yields y after x nested steps. The self-call is a tail call, written as a loop so
// that it needs no stack at any optimisation level; the barrier keeps every step of
// the count-down, which the optimiser could otherwise drop since it only yields y.
Int fun2(Int x, Int y) {
  while (x != 0) x = opaque(x) - 1;
  return y;
}

Int fun1(Int x, Int y, Int z) {
  Int t = 11 - x * 2 + divide(4, y) + z;
  if (t > y) return fun2(t, x);
  return fun2(t, y);
}

Int main() {
  Int i = read();
  while (i < 10000) {
    println(fun1(3, i, 5));
    i = i + 1;
  }
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
