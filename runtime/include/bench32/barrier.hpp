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
// Both are empty volatile assembly statements with no instruction of their own and no
// memory clobber. What that costs differs between compilers:
//   - g++ takes the statement at its word: it touches no memory, so values stay in
//     registers across it and stores are not forced out.
//   - clang++ (14) treats every volatile assembly statement as a call that may read and
//     write any memory it cannot prove private: globals, and every record (a record's
//     address comes from the record heap's state, not from a call it knows to be
//     malloc). Across a barrier such a value is stored if it changed and loaded again.
// No form avoids the clang++ cost: an assembly statement that is not volatile and has
// outputs is taken as touching no memory, but it may then be hoisted out of a loop or,
// when its result is unused, deleted, which is the very thing a barrier exists to stop.
// So the cost stays, and it is known: the same loop in C pays it for globals (quadloop:
// clang++ loads its two loop bounds from their globals on every pass, in C as here),
// and here also for a record the barrier's loop writes (quadloop stores its box once
// per pass, where C's malloc'ed box stays in a register).
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
