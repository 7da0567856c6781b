// The three input/output operations, byte for byte as C stdio does them for a
// 32-bit `long`: print = printf("%ld "), println = printf("%ld\n"),
// read = scanf("%ld") into one program-wide read scratch.
//
// Neither printf nor scanf is used: output goes through a buffer that reproduces
// glibc's buffering exactly (so the same bytes survive a SIGFPE), and input through a
// buffered reader that reproduces scanf's rules exactly:
//   - the six C white-space characters are skipped, then an optional sign is taken
//     and then a run of digits; values outside 32 bits saturate;
//   - when no digit follows, the read fails: the scratch keeps its value and is
//     yielded, a consumed sign stays consumed, and the offending character stays
//     unread (so "- 5" fails once and then yields 5, while "-x" fails forever);
//   - end of input is final.
// Reading never asks the system for more input than the current number needs.
#pragma once

#include <cstddef>

#include "bench32/int.hpp"

namespace b32 {

void print(Int value);
void println(Int value);
// Booleans are written as 1 and 0.
B32_INLINE void print(bool value) { print(Int{value ? 1 : 0}); }
B32_INLINE void println(bool value) { println(Int{value ? 1 : 0}); }
B32_INLINE void print(Bool value) { print(Int{value ? 1 : 0}); }
B32_INLINE void println(Bool value) { println(Int{value ? 1 : 0}); }

// Reads one integer into the read scratch and yields the scratch.
Int read();

// True when the last `read` failed and no later `read` can ever yield a value again
// (end of input, or a character that no read consumes, possibly after signs that
// reads would still consume). A program that reads up to an end marker asks this
// after each read, so that input which ends early stops it instead of repeating the
// last value forever. It may look ahead (and so wait for input), but only after a
// failed read; it consumes nothing that a read would not.
bool inputExhausted();

// Writes whatever output is buffered. The runtime calls it when `main` returns.
void flushOutput();

} // namespace b32
