// Optimisation barriers: they stop the compiler from deleting described work wholesale,
// and nothing else.
//
// A program is the code a careful C programmer would write, so the compiler under test
// stays free to inline, unroll, vectorise, turn recursion into loops and merge stores.
// A barrier goes only at the edge of a described repetition:
//   - opaque(x) on a repetition's input, when the same computation is repeated on the
//     same values, so that it cannot be computed once and hoisted out of the repetition
//     loop; or on the counter of a busy loop, whose steps are the work;
//   - keep(x) on a repetition's result, when it would otherwise be dead.
// Never inside the computation being measured and never on a value that reaches the
// output anyway. Each barrier of the suite is shown necessary by a work floor: the
// barrier-minimality test builds every program with each barrier dropped in turn
// (B32_DROP_BARRIER_AT=<line>) and requires some floor to be missed.
//
// Both are empty assembly statements: no instruction of their own, and no memory
// clobber, so values in registers and the record heap's base stay where they are.
#pragma once

#include "bench32/int.hpp"

namespace b32 {

// `value` is computed at this point every time control passes here.
B32_INLINE void keep(Int value, [[maybe_unused]] int line = __builtin_LINE()) {
#ifdef B32_DROP_BARRIER_AT
  if (line == B32_DROP_BARRIER_AT) return;
#endif
  asm volatile("" : : "r"(value));
}

// `value`, unchanged, but unknown to the optimiser from here on.
B32_INLINE Int opaque(Int value, [[maybe_unused]] int line = __builtin_LINE()) {
#ifdef B32_DROP_BARRIER_AT
  if (line == B32_DROP_BARRIER_AT) return value;
#endif
  asm volatile("" : "+r"(value));
  return value;
}

} // namespace b32
