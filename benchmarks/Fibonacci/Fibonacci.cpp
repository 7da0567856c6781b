// Fibonacci: reads n and writes the n-th Fibonacci number, computed by plain double
// recursion that recomputes every smaller value again and again.
#include "bench32.hpp"

namespace {
using namespace b32;

Int computeFib(Int n) {
  if (n == 0) return 0;
  if (n <= 2) return 1;
  return computeFib(n - 1) + computeFib(n - 2);
}

Int main() {
  Int n = read();
  println(computeFib(n));
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
