// The suite's integer and boolean model: signed 32-bit two's complement that wraps.
//
// `Int` is a 32-bit value with always-inlined operators. Every operation that could
// overflow goes through uint32_t, where wrapping is defined, and converts back (a
// modular conversion since C++20), so no signed overflow ever happens in C++ and no
// -fwrapv is needed. At -O1 and above each operator compiles to the single machine
// instruction that plain `int` arithmetic would use.
//
// There is deliberately no `%`: a program that needs a remainder writes a - (a / b) * b.
#pragma once

#include <compare>
#include <cstdint>

#define B32_INLINE [[gnu::always_inline]] inline

namespace b32 {

// Raises SIGFPE for a zero divisor; yields the quotient 0 if a handler returns.
[[gnu::cold, gnu::noinline]] std::int32_t divideByZero();

struct Int {
  std::int32_t v;

  Int() = default; // trivial, so records of Ints live in raw record storage
  B32_INLINE constexpr Int(std::int32_t x) : v(x) {}

  static constexpr Int min() { return Int(INT32_MIN); }
  static constexpr Int max() { return Int(INT32_MAX); }

  B32_INLINE friend constexpr Int operator+(Int a, Int b) {
    return Int(static_cast<std::int32_t>(static_cast<std::uint32_t>(a.v) +
                                         static_cast<std::uint32_t>(b.v)));
  }
  B32_INLINE friend constexpr Int operator-(Int a, Int b) {
    return Int(static_cast<std::int32_t>(static_cast<std::uint32_t>(a.v) -
                                         static_cast<std::uint32_t>(b.v)));
  }
  B32_INLINE friend constexpr Int operator*(Int a, Int b) {
    return Int(static_cast<std::int32_t>(static_cast<std::uint32_t>(a.v) *
                                         static_cast<std::uint32_t>(b.v)));
  }
  B32_INLINE constexpr Int operator-() const {
    return Int(static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(v)));
  }
  B32_INLINE constexpr Int operator+() const { return *this; }

  // Truncates toward zero. A zero divisor raises SIGFPE before any quotient is
  // formed; INT32_MIN / -1 is the one overflowing case and wraps to INT32_MIN.
  B32_INLINE friend constexpr Int operator/(Int a, Int b) {
    if (b.v == 0) return Int(divideByZero());
    if (b.v == -1) return -a;
    return Int(a.v / b.v);
  }

  B32_INLINE friend constexpr bool operator==(Int a, Int b) { return a.v == b.v; }
  B32_INLINE friend constexpr std::strong_ordering operator<=>(Int a, Int b) { return a.v <=> b.v; }

  B32_INLINE constexpr Int& operator+=(Int b) { return *this = *this + b; }
  B32_INLINE constexpr Int& operator-=(Int b) { return *this = *this - b; }
  B32_INLINE constexpr Int& operator*=(Int b) { return *this = *this * b; }
  B32_INLINE constexpr Int& operator/=(Int b) { return *this = *this / b; }
  B32_INLINE constexpr Int& operator++() { return *this += 1; }
  B32_INLINE constexpr Int& operator--() { return *this -= 1; }
  B32_INLINE constexpr Int operator++(int) {
    Int old = *this;
    *this += 1;
    return old;
  }
  B32_INLINE constexpr Int operator--(int) {
    Int old = *this;
    *this -= 1;
    return old;
  }
};

// A boolean held in a 32-bit cell (1 or 0), for record fields and globals.
// Converts to and from bool, so conditions read naturally.
struct Bool {
  std::uint32_t v;

  Bool() = default;
  B32_INLINE constexpr Bool(bool b) : v(b ? 1u : 0u) {}
  B32_INLINE constexpr operator bool() const { return v != 0; }
};

static_assert(sizeof(Int) == 4 && sizeof(Bool) == 4);

} // namespace b32
