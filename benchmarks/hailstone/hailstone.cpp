// hailstone: reads one integer and writes the hailstone sequence that starts at it,
// on one line. An odd value is followed by 3n + 1 (wrapping), an even one by its half,
// and the sequence stops after the first value that is 1 or less.
#include "bench32.hpp"

namespace {
using namespace b32;

// The remainder with the sign of a.
Int mod(Int a, Int b) { return a - divide(a, b) * b; }

void hailstone(Int n) {
  for (;;) {
    print(n);
    // Asks for a remainder of 1, not for a non-zero one: a negative odd n has the
    // remainder -1 and is halved.
    if (mod(n, 2) == 1) {
      n = 3 * n + 1;
    } else {
      n = divide(n, 2);
    }
    if (n <= 1) {
      println(n);
      return;
    }
  }
}

Int main() {
  Int n = read();
  hailstone(n);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
