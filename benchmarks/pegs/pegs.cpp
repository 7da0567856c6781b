// pegs: reads a disc count n, stacks n discs on peg 1 and moves them all to peg 3
// through peg 2, one disc at a time, by recursion. Writes the three pegs before and
// after, and the number of moves (2^n - 1), one number per line; then releases the
// discs.
#include "bench32.hpp"

namespace {
using namespace b32;

struct disc {
  Int size;
  Ref<disc> next; // the disc below; null for the bottom disc
};

// The top disc of each peg, null when the peg is empty.
Ref<disc> peg1 = nullptr;
Ref<disc> peg2 = nullptr;
Ref<disc> peg3 = nullptr;
Int numMoves = 0;

// Peg 1 and 2 are themselves; every other number stands for peg 3.
Ref<disc>& peg(Int number) {
  if (number == 1) return peg1;
  if (number == 2) return peg2;
  return peg3;
}

void move(Int from, Int to) {
  Ref<disc> d = peg(from);
  peg(from) = d->next;
  d->next = peg(to);
  peg(to) = d;
  numMoves = numMoves + 1;
}

void hanoi(Int n, Int from, Int to, Int spare) {
  if (n == 1) {
    move(from, to);
    return;
  }
  hanoi(n - 1, from, spare, to);
  move(from, to);
  hanoi(n - 1, spare, to, from);
}

void printPeg(Ref<disc> top) {
  for (Ref<disc> d = top; d != nullptr; d = d->next) println(d->size);
}

void printPegs() {
  println(1);
  printPeg(peg1);
  println(2);
  printPeg(peg2);
  println(3);
  printPeg(peg3);
}

Int main() {
  peg1 = nullptr;
  peg2 = nullptr;
  peg3 = nullptr;
  numMoves = 0;

  Int n = read();
  if (n < 1) return 0;

  for (Int i = n; i >= 1; i = i - 1) {
    Ref<disc> d = newRecord<disc>();
    d->size = i;
    d->next = peg1;
    peg1 = d;
  }

  printPegs();
  hanoi(n, 1, 3, 2);
  printPegs();
  println(numMoves);

  while (peg3 != nullptr) {
    Ref<disc> top = peg3;
    peg3 = top->next;
    release(top);
  }
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
