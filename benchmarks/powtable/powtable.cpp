// powtable: reads a base and an exponent and computes the power by repeated
// multiplication a million times over, then writes the last result. The million
// computations are the load; a normal run ends with exit status 1.
#include "bench32.hpp"

namespace {
using namespace b32;

struct powerParams {
  Int base;
  Int exponent;
};

// base multiplied by itself exponent times, wrapping; 1 when exponent ≤ 0.
Int calcPower(Int base, Int exponent) {
  Int product = 1;
  while (exponent > 0) {
    product = product * base;
    exponent = exponent - 1;
  }
  return product;
}

Int main() {
  Ref<powerParams> params = newRecord<powerParams>();
  Int base = read();
  params->base = base;
  Int exponent = read();
  params->exponent = exponent;
  if (exponent < 0) return -1;

  Int result = 1;
  Int repetitions = 1000000;
  while (repetitions > 0) {
    result = calcPower(base, exponent);
    repetitions = repetitions - 1;
  }
  println(result);
  return 1;
}

} // namespace

b32::Int b32::programMain() { return main(); }
