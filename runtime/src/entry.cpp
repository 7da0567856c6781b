// The C entry point: reserves the record heap, switches to a big stack, runs the
// program's `main` there, flushes standard output and exits with main's result modulo
// 256.
//
// The big stack is a mapping of this process, entered with swapcontext in the same
// thread: no second thread to start, and the program's `main` ends by returning to this
// one through the context's link. AddressSanitizer cannot follow swapcontext (it warns on
// standard error), so a sanitized build runs the program on a thread with that stack.
#include "bench32/entry.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>

#include "bench32/io.hpp"
#include "bench32/record.hpp"

namespace {

// Enough for a million nested calls of a small recursive function at -O0, even under
// the sanitizers; the pages are committed only when the stack reaches them.
constexpr std::size_t kStackBytes =
    sizeof(void*) == 8 ? std::size_t{1} << 30 : std::size_t{256} << 20;
// Below the stack: never accessible, so running off the stack faults there.
constexpr std::size_t kGuardBytes = std::size_t{1} << 20;
// The fault handler's own stack, for when the program's stack is used up.
constexpr std::size_t kAltStackBytes = 64 * 1024;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

std::byte* guardBegin = nullptr;
b32::Int programStatus = 0;

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

// Runs on the big stack. The fault handler's stack is set here, by the thread that runs
// the program (an alternate signal stack belongs to one thread).
void runProgram() {
  stack_t altStack{};
  altStack.ss_sp = guardBegin + kGuardBytes + kStackBytes;
  altStack.ss_size = kAltStackBytes;
  sigaltstack(&altStack, nullptr);
  programStatus = b32::programMain();
}

void runOnStack(std::byte* stack, std::size_t bytes) {
  if constexpr (kAddressSanitizer) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, bytes);
    pthread_t thread;
    auto body = [](void*) -> void* {
      runProgram();
      return nullptr;
    };
    if (pthread_create(&thread, &attr, body, nullptr) != 0)
      b32::fail("cannot start the program thread");
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
  } else {
    // Both live until the program's main returns through the link.
    ucontext_t entryContext;
    ucontext_t programContext;
    getcontext(&programContext);
    programContext.uc_stack.ss_sp = stack;
    programContext.uc_stack.ss_size = bytes;
    programContext.uc_link = &entryContext;
    makecontext(&programContext, runProgram, 0);
    if (swapcontext(&entryContext, &programContext) != 0)
      b32::fail("cannot switch to the program stack");
  }
}

} // namespace

int main() {
  b32::heap::reserve();

  void* region = mmap(nullptr, kGuardBytes + kStackBytes + kAltStackBytes, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (region == MAP_FAILED) b32::fail("cannot reserve the program stack");
  guardBegin = static_cast<std::byte*>(region);
  std::byte* stackBegin = guardBegin + kGuardBytes;
  if (mprotect(stackBegin, kStackBytes + kAltStackBytes, PROT_READ | PROT_WRITE) != 0)
    b32::fail("cannot reserve the program stack");

  struct sigaction sa {};
  sa.sa_sigaction = onSegv;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, nullptr);

  runOnStack(stackBegin, kStackBytes);

  b32::flushOutput();
  return programStatus; // the exit status is this modulo 256
}
