// Hooks for the runtime's own tests and fuzzers; programs never use them.
#pragma once

namespace b32::testing {

// Flushes pending output, then starts input and output afresh on the given file
// descriptors: empty buffers, read scratch 0, no end of input seen, the output
// stream to be set up again at its first write.
void resetIo(int inputFd, int outputFd);

} // namespace b32::testing
