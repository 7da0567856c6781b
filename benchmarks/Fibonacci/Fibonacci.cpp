// Fibonacci: reads n and writes the n-th Fibonacci number, computed by plain double
// recursion that recomputes every smaller value again and again.
#include "bench32.hpp"

namespace {
using namespace b32;

Int computeFib(Int n) {
  if (n == 0) return 0;
  if (n <= 2) return 1;
  // The barriers keep every call made at run time: hiding the arguments stops the
  // compiler from working out small cases ahead of time in an inlined copy, and
  // keeping the second result stops it from turning the second call into a loop.
  Int previous = computeFib(opaque(n - 1));
  Int beforeThat = computeFib(opaque(n - 2));
  keep(beforeThat);
  return previous + beforeThat;
}

Int main() {
  Int n = read();
  println(computeFib(n));
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
