// spinloop: reads n and, for each level k from n down to 1, writes the k * k
// consecutive integers that start at k, each through its own print; then ends the
// line with 0. The output grows with the cube of n, which makes it a scalable busy loop.
#include "bench32.hpp"

namespace {
using namespace b32;

// Writes every level from num down to 1 and yields 0. The self-call for the next level
// is the function's last action, so it is written as a loop: the levels run in
// constant stack for any num, at every optimisation level.
Int function(Int num) {
  while (num > 0) {
    Int i = 0;
    while (i < num * num) {
      print(num + i);
      i = i + 1;
    }
    num = num - 1;
  }
  return 0;
}

Int main() {
  Int n = read();
  function(n);
  println(0);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
