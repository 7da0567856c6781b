// primes: reads a bound and writes every prime from 2 up to it, one per line. Each
// candidate is tested on its own, by trial division by every integer up to its root.
#include "bench32.hpp"

namespace {
using namespace b32;

// The largest r with r × r ≤ n (0 for n ≤ 0), by adding up odd numbers: after k
// passes square is (k + 1)² and step is 2k + 3.
Int isqrt(Int n) {
  // From 46340² on, the running square would pass 2^31 - 1 before it passed n, and
  // wrap; every such n has the root 46340 (46341² does not fit in 32 bits). Tested
  // once, so the loop below is the described one.
  if (n >= 46340 * 46340) return 46340;
  Int square = 1;
  Int step = 3;
  while (square <= n) {
    square = square + step;
    step = step + 2;
  }
  return divide(step, 2) - 1;
}

bool prime(Int n) {
  if (n < 2) return false;
  Int limit = isqrt(n);
  for (Int i = 2; i <= limit; i = i + 1) {
    if (n - divide(n, i) * i == 0) return false;
  }
  return true;
}

Int main() {
  Int bound = read();
  for (Int candidate = 0; candidate <= bound; candidate = candidate + 1) {
    if (prime(candidate)) println(candidate);
    // Past the largest integer the candidate would wrap and the loop never end.
    if (candidate == INT32_MAX) break;
  }
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
