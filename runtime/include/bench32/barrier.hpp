// Optimisation barriers: the work a benchmark describes must run at every
// optimisation level, even when its result never reaches the output.
//
// Both barriers are empty inline-assembly statements, so they cost no instruction
// themselves. The compiler must treat them as having unknown side effects: it may not
// delete, merge or hoist them, and so must perform every iteration of a loop that
// contains one and materialise every value passed to one.
#pragma once

#include "bench32/int.hpp"

namespace b32 {

// Forces `value` to be computed at this point of every execution, and every pending
// store to memory to be done before it (the "memory" clobber).
template <class T>
B32_INLINE void keep(const T& value) {
  asm volatile("" : : "g"(value) : "memory");
}

// Returns `value` unchanged, but hides what it is from the optimiser: a loop whose
// counter passes through `opaque` cannot be replaced with its closed form, and a call
// whose argument passes through it cannot be hoisted out of the loop.
B32_INLINE Int opaque(Int value) {
  asm volatile("" : "+r"(value.v));
  return value;
}

} // namespace b32
