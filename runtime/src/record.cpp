// The record heap: one reservation of address space, committed as it grows.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "bench32/entry.hpp"
#include "bench32/record.hpp"

namespace b32::heap {
namespace {

// The reservation is address space only; pages are committed as the heap grows. It
// must lie below 4 GiB, where every address fits a 32-bit reference: on a 64-bit host
// the kernel is asked for a place low in the address space, and as much as fits there
// is taken (3 GiB, less where a sanitizer or valgrind keeps that space for itself). A
// 32-bit process cannot spare more than 1 GiB.
constexpr std::size_t kPreferred = sizeof(void*) == 8 ? std::size_t{3} << 30 : std::size_t{1} << 30;
constexpr std::size_t kSmallest = std::size_t{64} << 20;
constexpr std::size_t kMinCommit = std::size_t{1} << 20;
void* const kLowHint = reinterpret_cast<void*>(std::uintptr_t{1} << 20);
std::uintptr_t heapBegin = 0;
std::uintptr_t heapEnd = 0; // below 2^32: the top always fits in 32 bits

// In 64-bit arithmetic, so that one test serves 32-bit and 64-bit hosts alike.
bool fitsBelowFourGiB(std::uintptr_t begin, std::size_t bytes) {
  return begin != 0 && std::uint64_t{begin} + bytes < (std::uint64_t{1} << 32);
}

} // namespace

void reserve() {
  // Some environments (valgrind, sanitizers, low address-space limits) refuse a large
  // mapping, or place it high: halve it until one is accepted below 4 GiB.
  for (std::size_t bytes = kPreferred; bytes >= kSmallest; bytes /= 2) {
    void* p = mmap(kLowHint, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) continue;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    if (!fitsBelowFourGiB(begin, bytes)) {
      munmap(p, bytes);
      continue;
    }
    heapBegin = begin;
    heapEnd = begin + bytes;
    state.top = static_cast<std::uint32_t>(heapBegin);
    state.committed = static_cast<std::uint32_t>(heapBegin);
    return;
  }
  fail("cannot reserve memory for records");
}

void grow(std::uint32_t bytes) {
  const std::uintptr_t committed = state.committed;
  const std::uintptr_t needed = std::uintptr_t{state.top} + bytes;
  if (needed > heapEnd || needed < committed) fail("out of memory for records");
  // Grow geometrically so that mprotect calls stay rare.
  std::uintptr_t size =
      std::max<std::uintptr_t>({needed - heapBegin, 2 * (committed - heapBegin), kMinCommit});
  size = (size + kMinCommit - 1) / kMinCommit * kMinCommit;
  const std::uintptr_t target = std::min(heapBegin + size, heapEnd);
  if (mprotect(at(static_cast<std::uint32_t>(committed)), target - committed,
               PROT_READ | PROT_WRITE) != 0)
    fail("out of memory for records");
  state.committed = static_cast<std::uint32_t>(target);
}

} // namespace b32::heap
