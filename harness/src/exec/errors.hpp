// The harness's errors and exit statuses. Each error carries one line for the user;
// main prints it after "bench32: " and exits with the status its kind calls for.
#pragma once

#include <stdexcept>

namespace bench32 {

// Exit statuses: 0 all well, 1 a run or build failed (or a comparison is over its
// gate), 2 bad usage or bad input, 3 the system refused (a file could not be written,
// memory ran out), 128 + the signal when interrupted (130 SIGINT, 143 SIGTERM).
inline constexpr int exitOk = 0, exitFailed = 1, exitBadInput = 2, exitSystemError = 3,
                     exitInterrupted = 130;

// Something the user gave (an option, a JSON file, a folder) cannot be used.
struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A file could not be written (a full disk, a missing folder): not the input's fault.
struct WriteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A build that cannot go ahead at all (no compiler, configure failed).
struct BuildError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The exit status for an exception that stopped a command: bad input, or a build that
// cannot start, is the user's to fix; anything else is the system's refusal.
inline int exitStatusFor(const std::exception& error) {
  if (dynamic_cast<const BadInput*>(&error) || dynamic_cast<const BuildError*>(&error))
    return exitBadInput;
  return exitSystemError;
}

} // namespace bench32
