// The record heap: one reservation of address space, committed as it grows.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "bench32/entry.hpp"
#include "bench32/record.hpp"

namespace b32::heap {
namespace {

// The reservation is address space only; pages are committed as the heap grows. With
// compact references it must lie below 4 GiB, where every address fits a 32-bit
// reference: the kernel is asked for a place low in the address space, and as much as
// fits there is taken (3 GiB, less where a sanitizer or valgrind keeps that space for
// itself). A 32-bit process cannot spare more than 1 GiB.
constexpr std::size_t kPreferred = sizeof(void*) == 8 ? std::size_t{3} << 30 : std::size_t{1} << 30;
constexpr std::size_t kSmallest = std::size_t{64} << 20;
constexpr std::size_t kMinCommit = std::size_t{1} << 20;
constexpr std::uintptr_t kLowHint = std::uintptr_t{1} << 20;
std::uintptr_t heapBegin = 0;
std::uintptr_t heapEnd = 0; // with compact references, below 2^32

// Whether every address of the reservation fits an Address. In 64-bit arithmetic, so
// that one test serves 32-bit and 64-bit hosts alike.
bool addressable(std::uintptr_t begin, std::size_t bytes) {
  if (begin == 0) return false;
  return !kCompact || std::uint64_t{begin} + bytes < (std::uint64_t{1} << 32);
}

} // namespace

void reserve() {
  // Some environments (valgrind, sanitizers, low address-space limits) refuse a large
  // mapping, or place it high: halve it until one is accepted below 4 GiB. The kernel
  // takes a hint only where the whole mapping fits, so each size is asked for just above
  // the first megabyte and again just below 4 GiB: a statically linked executable sits
  // at 4 MiB, with its data growing above, and leaves only the second place free.
  for (std::size_t bytes = kPreferred; bytes >= kSmallest; bytes /= 2) {
    const std::uint64_t belowFourGiB = (std::uint64_t{1} << 32) - bytes - kMinCommit;
    for (std::uint64_t hint : {std::uint64_t{kLowHint}, belowFourGiB}) {
      void* p = mmap(reinterpret_cast<void*>(static_cast<std::uintptr_t>(hint)), bytes, PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (p == MAP_FAILED) continue;
      const auto begin = reinterpret_cast<std::uintptr_t>(p);
      if (!addressable(begin, bytes)) {
        munmap(p, bytes);
        continue;
      }
      heapBegin = begin;
      heapEnd = begin + bytes;
      state.top = static_cast<Address>(heapBegin);
      state.committed = static_cast<Address>(heapBegin);
      return;
    }
  }
  fail("cannot reserve memory for records");
}

void grow(std::size_t bytes) {
  const std::uintptr_t committed = state.committed;
  const std::uintptr_t needed = std::uintptr_t{state.top} + bytes;
  if (needed > heapEnd || needed < committed) fail("out of memory for records");
  // Grow geometrically so that mprotect calls stay rare.
  std::uintptr_t size =
      std::max<std::uintptr_t>({needed - heapBegin, 2 * (committed - heapBegin), kMinCommit});
  size = (size + kMinCommit - 1) / kMinCommit * kMinCommit;
  const std::uintptr_t target = std::min(heapBegin + size, heapEnd);
  if (mprotect(at(static_cast<Address>(committed)), target - committed, PROT_READ | PROT_WRITE) !=
      0)
    fail("out of memory for records");
  state.committed = static_cast<Address>(target);
}

} // namespace b32::heap
