// Process entry and exit.
//
// The runtime owns the C `main`. It reserves the record heap, switches to a large,
// lazily committed stack (a million nested calls of a small recursive function fit at
// -O0) and runs the program's own `main` on it, in the same thread; it flushes standard
// output when that returns and exits with its result modulo 256. A program that still
// exhausts its stack ends with one line on standard error and exit status 2 instead of a
// bare SIGSEGV.
//
// Each program defines its `main` privately and hands it over with one line:
//
//   namespace { Int main() { ...; return 0; } }
//   b32::Int b32::programMain() { return main(); }
#pragma once

#include "bench32/int.hpp"

namespace b32 {

Int programMain(); // defined by each program

// Ends the process after a fatal runtime condition (no memory, no stack, input that
// ended before a program's end marker): one line on standard error, exit status 2.
// Buffered output is written first, so no completed output is lost.
[[noreturn]] void fail(const char* message);

} // namespace b32
