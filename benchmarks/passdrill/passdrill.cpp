// passdrill: small functions named after the code-improvement technique each one
// exercises, three computing functions and a sum. main reads a pass count and runs the
// whole set once per pass (one pass fewer than the count), writing every result; then
// it writes 9999.
//
// The functions are left to the optimiser: folding, propagating, eliminating and
// hoisting what they hold is what they are there to measure. The one barrier is on the
// count of hoisting's loop, whose million steps are described work with no result.
#include "bench32.hpp"

namespace {
using namespace b32;

Int global1 = 0;
Int global2 = 0;
Int global3 = 0;

Int constantFolding() { return 2 * 100 + 30 - divide(8, 2); }

Int constantPropagation() {
  Int base = 65293;
  Int next = base + 97;
  Int product = base * next; // wraps past 2^31
  Int offset = 137;
  return product + offset;
}

Int deadCodeElimination() {
  Int half = 19;
  global1 = 11;
  global1 = 5;
  global1 = 9;
  return half + half;
}

Int sum(Int n) {
  Int total = 0;
  while (n > 0) {
    total = total + n;
    n = n - 1;
  }
  return total;
}

// Nothing calls it: it is the function an inter-procedural optimiser may prove
// harmless to the globals.
[[maybe_unused]] Int doesntModifyGlobals() { return 1 + 2; }

Int interProceduralOptimization() {
  global1 = 1;
  global2 = 0;
  global3 = 0;
  Int x = sum(100);
  // The tests look at the globals as sum left them.
  if (global1 == 1) {
    x = sum(10000);
  } else {
    if (global2 == 2) x = sum(20000);
    if (global3 == 3) x = sum(30000);
  }
  return x;
}

Int commonSubexpressionElimination() {
  Int a = 4;
  Int b = 11;
  Int c = -1065;
  return (a * b) * (c - a * b);
}

Int hoisting() {
  Int i = 0;
  // The count is the work and nothing uses it: through the barrier each step stays.
  while (i < 1000000) i = opaque(i) + 1;
  return 2;
}

Int doubleIf() {
  Int a = 5;
  Int b = 10;
  Int result = 0;
  if (a < b) {
    if (a * 2 == b) result = a * b;
  }
  return result;
}

Int integerDivide() {
  Int x = 2944;
  return divide(x, 4);
}

Int association() {
  Int a = 1;
  return (a + 2) + (3 + 4);
}

// The self-call is the last action, so it is written as a loop: any depth runs in
// constant stack, at -O0 too.
Int tailRecursionHelper(Int value, Int accumulated) {
  while (value != 0) {
    accumulated = accumulated + value;
    value = value - 1;
  }
  return accumulated;
}

Int tailRecursion(Int n) { return tailRecursionHelper(n, 0); }

Int unswitching() {
  bool always = true;
  Int i = 1;
  while (i < 1000000) {
    if (always) i = i + 1;
  }
  return i;
}

// Multiplies value by k and divides it by k again, which gives value back wherever the
// product fits in 32 bits.
Int timesThenDivided(Int value, Int k) { return divide(value * k, k); }

// Up to a counter of 536870911 every product of a pass fits, and the pass is the
// described one. From 536870912 on, counter × 4 would wrap and the quotient differ (and
// from there send the counter below zero, so that the loop never ended); there a pass
// steps the counter by 1, as the pairs are meant to give it back. The split is tested
// once, before the loops.
Int randomCalculation(Int n) {
  constexpr Int kAllFit = 536870912; // INT32_MAX / 4 + 1
  Int counter = 0;
  Int total = 0;
  Int described = n < kAllFit ? n : kAllFit;
  while (counter < described) {
    total = total + 19;
    counter = timesThenDivided(timesThenDivided(timesThenDivided(counter, 2), 3), 4) + 1;
  }
  while (counter < n) {
    total = total + 19;
    counter = counter + 1;
  }
  return total;
}

Int iterativeFibonacci(Int n) {
  Int previous = -1;
  Int current = 1;
  Int i = 0;
  while (i < n) {
    Int next = current + previous;
    previous = current;
    current = next;
    i = i + 1;
  }
  return current;
}

Int recursiveFibonacci(Int n) {
  if (n <= 0 || n == 1) return n;
  return recursiveFibonacci(n - 1) + recursiveFibonacci(n - 2);
}

Int main() {
  Int count = read();
  Int i = 1;
  while (i < count) {
    println(constantFolding());
    println(constantPropagation());
    println(deadCodeElimination());
    println(interProceduralOptimization());
    println(commonSubexpressionElimination());
    println(hoisting());
    println(doubleIf());
    println(integerDivide());
    println(association());
    println(tailRecursion(divide(count, 1000)));
    println(unswitching());
    println(randomCalculation(count));
    println(iterativeFibonacci(divide(count, 5)));
    println(recursiveFibonacci(divide(count, 1000)));
    i = i + 1;
  }
  println(9999);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
