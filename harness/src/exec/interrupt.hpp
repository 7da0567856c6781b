// Interrupting the harness. SIGINT and SIGTERM end it at once (status 130 or 143), with
// the running programs' process groups killed, unless a stage that keeps what it has is
// under way: a build or the measuring session, which poll the flag, stop within a
// second and write what was measured. A second signal ends the harness at once even
// then. So any stage that cannot poll (preparing inputs, connecting to a database,
// copying to a remote target) still ends when asked.
#pragma once

#include <atomic>

namespace bench32 {

// Set by SIGINT/SIGTERM: the running program is killed and the session stops.
const std::atomic<bool>& interruptFlag();
// The exit status for the signal that interrupted the harness: 128 + its number (130
// for SIGINT, 143 for SIGTERM); 130 when none did.
int interruptedStatus();
// Installed by main before anything slow starts.
void installInterruptHandler();

// While one exists, an interrupt only sets the flag and kills the running programs:
// the stage sees it and stops with what it has.
struct KeepOnInterrupt {
  KeepOnInterrupt();
  ~KeepOnInterrupt();
  KeepOnInterrupt(const KeepOnInterrupt&) = delete;
  KeepOnInterrupt& operator=(const KeepOnInterrupt&) = delete;
};

} // namespace bench32
