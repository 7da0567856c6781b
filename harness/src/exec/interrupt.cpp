#include "exec/interrupt.hpp"

#include <signal.h>
#include <unistd.h>

#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/process.hpp"

namespace bench32 {
namespace {

std::atomic<bool> interruptedFlag{false};
std::atomic<int> interruptSignal{0};
std::atomic<int> keeping{0};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "read and written by a signal handler");

extern "C" void onInterrupt(int signalNumber) {
  const bool again = interruptedFlag.exchange(true);
  if (!again) interruptSignal = signalNumber;
  killRunningProcessGroups();
  if (keeping > 0 && !again) return;
  removeUnfinishedFile();
  _exit(128 + signalNumber);
}

} // namespace

const std::atomic<bool>& interruptFlag() { return interruptedFlag; }

int interruptedStatus() {
  const int signalNumber = interruptSignal;
  return signalNumber ? 128 + signalNumber : exitInterrupted;
}

void installInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // Each blocks the other, so that two at once are one after the other.
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

KeepOnInterrupt::KeepOnInterrupt() { ++keeping; }
KeepOnInterrupt::~KeepOnInterrupt() { --keeping; }

} // namespace bench32
