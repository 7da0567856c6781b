#include "measure/interrupt.hpp"

#include <signal.h>

#include "exec/process.hpp"

namespace bench32 {
namespace {

std::atomic<bool> interruptedFlag{false};

extern "C" void onInterrupt(int signalNumber) {
  interruptedFlag = true;
  killRunningProcessGroups();
  // A second interrupt ends the harness at once.
  signal(signalNumber, SIG_DFL);
}

} // namespace

const std::atomic<bool>& interruptFlag() { return interruptedFlag; }

void installInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

} // namespace bench32
