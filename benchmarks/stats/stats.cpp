// stats: reads a seed and a count, builds a list of that many pseudo-random numbers
// from the seed, and writes their mean, their smallest and largest value, and the
// ceiling square root of each, one value per line.
#include "bench32.hpp"

namespace {
using namespace b32;

struct ListNode {
  Int value;
  Ref<ListNode> next;
};

// Each number is put in front of the previous one, so the list runs from the last
// number computed back to seed × seed. For num ≤ 1 the first node is made but left
// out of any list, and the result is null.
Ref<ListNode> getRands(Int seed, Int num) {
  Int cur = seed * seed;
  Ref<ListNode> previous = newRecord<ListNode>();
  previous->value = cur;
  previous->next = nullptr;
  Ref<ListNode> result = nullptr;
  // Every count ≤ 1 gives the empty list; for the smallest count, num - 1 would wrap
  // to the largest and build a list of 2^31 - 1 numbers instead.
  if (num < 1) num = 1;
  num = num - 1;
  while (num > 0) {
    // The quotients are formed in this order; a zero seed raises SIGFPE at the first.
    Int scaled = divide(cur * cur, seed);
    Int half = divide(seed, 2);
    cur = scaled * half + 1;
    Ref<ListNode> node = newRecord<ListNode>();
    node->value = cur;
    node->next = previous;
    previous = node;
    result = node;
    num = num - 1;
  }
  return result;
}

Int calcMean(Ref<ListNode> list) {
  Int sum = 0;
  Int count = 0;
  for (Ref<ListNode> node = list; node != nullptr; node = node->next) {
    sum = sum + node->value;
    count = count + 1;
  }
  if (count != 0) return divide(sum, count);
  return 0;
}

void range(Ref<ListNode> list) {
  bool first = true;
  Int smallest = 0;
  Int largest = 0;
  for (Ref<ListNode> node = list; node != nullptr; node = node->next) {
    if (first) {
      smallest = node->value;
      largest = node->value;
    } else if (node->value < smallest) {
      smallest = node->value;
    } else if (node->value > largest) {
      largest = node->value;
    }
    first = false;
  }
  println(smallest);
  println(largest);
}

// The smallest g ≥ 1 with g × g ≥ num, found by trying 1, 2, 3, ... in turn.
Int approxSqrt(Int num) {
  // 46341² does not fit in 32 bits and is larger than every num, so 46341 is the root
  // of whatever is above 46340²; squaring on would wrap and, for some values, never
  // end. Tested once, so the loop below is the described one.
  if (num > 46340 * 46340) return 46341;
  Int guess = 1;
  Int square = 0;
  Int root = 1;
  while (square < num) {
    square = guess * guess;
    root = guess;
    guess = guess + 1;
  }
  return root;
}

void approxSqrtAll(Ref<ListNode> list) {
  for (Ref<ListNode> node = list; node != nullptr; node = node->next) {
    println(approxSqrt(node->value));
  }
}

Int main() {
  Int seed = read();
  Int count = read();
  Ref<ListNode> list = getRands(seed, count);
  println(calcMean(list));
  range(list);
  approxSqrtAll(list);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
