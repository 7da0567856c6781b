// radixsum: reads an integer whose decimal digits stand for binary digits (1010 is
// ten), converts it, spends a busy delay of value² count-downs, and writes the value.
// Only the digit 1 counts; every other digit counts as 0.
#include "bench32.hpp"

namespace {
using namespace b32;

Int wait(Int ticks) {
  // The count-down is the work and its end is known: through the barrier each step
  // stays.
  while (ticks > 0) ticks = opaque(ticks) - 1;
  return 0;
}

Int power(Int base, Int exponent) {
  Int result = 1;
  while (exponent > 0) {
    result = result * base;
    exponent = exponent - 1;
  }
  return result;
}

// Adds 2^(position + k) for each decimal digit 1 of digits, k counting from the
// lowest digit; a tail call per digit.
Int recursiveDecimalSum(Int digits, Int total, Int position) {
  if (digits <= 0) return total;
  if (digits - divide(digits, 10) * 10 == 1) total = total + power(2, position);
  return recursiveDecimalSum(divide(digits, 10), total, position + 1);
}

Int convertToDecimal(Int digits) { return recursiveDecimalSum(digits, 0, 0); }

Int main() {
  Int number = read();
  number = convertToDecimal(number);
  Int delay = number * number;
  while (delay > 0) {
    wait(delay);
    delay = delay - 1;
  }
  println(number);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
