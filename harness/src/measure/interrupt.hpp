// Interrupting the harness: the first SIGINT or SIGTERM kills the running program's
// process group and asks the build or the session to stop and keep what it has; a
// second ends the harness at once.
#pragma once

#include <atomic>

namespace bench32 {

// Set by SIGINT/SIGTERM: the running program is killed and the session stops.
const std::atomic<bool>& interruptFlag();
void installInterruptHandler();

} // namespace bench32
