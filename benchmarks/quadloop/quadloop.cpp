// quadloop: reads two numbers, echoes them, then runs 50 identical passes of an inner
// loop that counts from 0 past `end` in steps set by `interval`. Every inner pass
// stores the count into a one-field record, multiplies the field by 4 twice through
// multBy4xTimes, halves it three times through divideBy8 and sets a fixed value.
// Finally it writes the last count and that fixed value.
//
// The record's contents never reach the output, so the value each inner pass leaves in
// it is kept: otherwise only the last pass's value would be computed. How the stores,
// multiplications and halvings of a pass are done, and whether `end` and `interval` are
// read from the globals again, is the compiler's business: that is what the program
// measures.
#include "bench32.hpp"

namespace {
using namespace b32;

struct numBox {
  Int num;
};

Int end = 0;
Int interval = 0;

Int multBy4xTimes(Ref<numBox> box, Int times) {
  if (times <= 0) return box->num;
  box->num = 4 * box->num;
  multBy4xTimes(box, times - 1);
  return box->num;
}

void divideBy8(Ref<numBox> box) {
  box->num = divide(box->num, 2);
  box->num = divide(box->num, 2);
  box->num = divide(box->num, 2);
}

Int main() {
  Ref<numBox> box = newRecord<numBox>();
  end = 1000000;
  Int first = read();
  interval = read();
  println(first);
  println(interval);
  Int i = 0;
  Int count = 0;
  Int fixed = 0;
  while (i < 50) {
    count = 0;
    while (count <= end) {
      count = count + 1;
      box->num = count;
      multBy4xTimes(box, 2);
      divideBy8(box);
      keep(box->num);
      fixed = 11 * 10 * 9 * 8 * 7 * 6 * 5 * 4 * 3 * 2;
      // Asks whether interval is at most 1 rather than whether interval - 1 is at most
      // 0: the same test for every interval but -2147483648, where interval - 1 wraps
      // to a step of 2147483647 that sends the count round past zero forever. That
      // interval steps by 2 like every other one below 2.
      Int step = 1;
      if (interval > 1) step = interval - 1;
      count = count + step;
    }
    i = i + 1;
  }
  println(count);
  println(fixed);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
