// The runtime's one compiler hint: its small operations are always inlined, so that a
// program's code is what the compiler makes of the program, at every optimisation level.
#pragma once

#define B32_INLINE [[gnu::always_inline]] inline
