// The suite's integer and boolean model: signed 32-bit two's complement that wraps.
//
// `Int` is std::int32_t itself, so the optimiser sees exactly the integer code a C
// programmer would write. The build compiles the runtime and every program with
// -fwrapv, placed after any flags a user gives, so + - * and negation wrap modulo 2^32
// whatever else is chosen (and the sanitizer's signed-overflow check, which would
// report that wrapping, is off for them).
//
// Division is the one operation that needs more than the machine's instruction, so it
// is a function: `divide(a, b)` truncates toward zero, raises SIGFPE for a zero divisor
// before any quotient exists, and gives INT32_MIN for INT32_MIN / -1 (which traps as a
// machine division). There is deliberately no remainder: a program that needs one writes
// a - divide(a, b) * b.
#pragma once

#include <cstdint>

#include "bench32/inline.hpp"

namespace b32 {

using Int = std::int32_t;

// Raises SIGFPE, which ends the process unless a handler is installed.
[[gnu::cold, gnu::noinline]] void divideByZero();

// With a constant divisor both tests fold away, leaving what `a / b` compiles to. The
// quotient after a returning handler is written here, not in divideByZero, so that the
// compiler knows the quotient's range on every path, as it does for C's `/`.
B32_INLINE constexpr Int divide(Int a, Int b) {
  if (b == 0) [[unlikely]] {
    divideByZero();
    return 0;
  }
  // Negation through uint32_t: -INT32_MIN wraps to itself without relying on -fwrapv.
  if (b == -1) return static_cast<Int>(0u - static_cast<std::uint32_t>(a));
  return a / b;
}

// A boolean held in a 32-bit cell (1 or 0), for record fields and globals. Converts to
// and from bool, so conditions read naturally.
struct Bool {
  std::uint32_t v;

  Bool() = default;
  B32_INLINE constexpr Bool(bool b) : v(b ? 1u : 0u) {}
  B32_INLINE constexpr operator bool() const { return v != 0; }
};

static_assert(sizeof(Int) == 4 && sizeof(Bool) == 4);

} // namespace b32
