// The C entry point: reserves the record heap, runs the program's `main` on a big
// stack, flushes standard output and exits with main's result modulo 256.
#include "bench32/entry.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>

#include "bench32/io.hpp"
#include "bench32/record.hpp"

namespace {

// Enough for a million nested calls of a small recursive function at -O0, even under
// the sanitizers; the pages are committed only when the stack reaches them.
constexpr std::size_t kStackBytes =
    sizeof(void*) == 8 ? std::size_t{1} << 30 : std::size_t{256} << 20;
// Below the stack: never accessible, so running off the stack faults there.
constexpr std::size_t kGuardBytes = std::size_t{1} << 20;

std::byte* guardBegin = nullptr;
std::int32_t programStatus = 0;

void onSegv(int, siginfo_t* info, void*) {
  auto* addr = static_cast<std::byte*>(info->si_addr);
  if (addr >= guardBegin && addr < guardBegin + kGuardBytes) {
    static constexpr char kMessage[] = "bench32: stack exhausted\n";
    ssize_t ignored = ::write(2, kMessage, sizeof kMessage - 1);
    (void)ignored;
    _exit(2);
  }
  // Any other fault (a null reference followed, say) is a crash: let it be one.
  signal(SIGSEGV, SIG_DFL);
}

void* runProgram(void*) {
  // The fault handler needs a stack of its own when the program's stack is gone.
  // Mapped rather than static: AddressSanitizer unmaps a thread's signal stack when
  // the thread ends.
  constexpr std::size_t kAltStackBytes = 64 * 1024;
  void* altStack =
      mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (altStack != MAP_FAILED) {
    stack_t ss{};
    ss.ss_sp = altStack;
    ss.ss_size = kAltStackBytes;
    sigaltstack(&ss, nullptr);
  }
  programStatus = b32::programMain().v;
  return nullptr;
}

} // namespace

int main() {
  b32::heap::reserve();

  void* region = mmap(nullptr, kStackBytes + kGuardBytes, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (region == MAP_FAILED) b32::fail("cannot reserve the program stack");
  guardBegin = static_cast<std::byte*>(region);
  if (mprotect(guardBegin + kGuardBytes, kStackBytes, PROT_READ | PROT_WRITE) != 0)
    b32::fail("cannot reserve the program stack");

  struct sigaction sa {};
  sa.sa_sigaction = onSegv;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, nullptr);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, guardBegin + kGuardBytes, kStackBytes);
  pthread_t thread;
  if (pthread_create(&thread, &attr, runProgram, nullptr) != 0)
    b32::fail("cannot start the program thread");
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);

  b32::flushOutput();
  return programStatus; // the exit status is this modulo 256
}
