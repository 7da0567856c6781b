// A counted busy loop of a million steps whose result is thrown away; built at -O3,
// it must still execute every step (checked with callgrind).
#include "bench32.hpp"

namespace {
using namespace b32;

Int main() {
  for (Int i = 0; i < 1000000; ++i) keep(i);
  Int acc = 1000000;
  while (acc != 0) acc = opaque(acc - 1);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
