// The record heap: one reservation of address space, committed as it grows.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "bench32/entry.hpp"
#include "bench32/record.hpp"

namespace b32::heap {
namespace {

// The reservation is address space only; pages are committed as the heap grows.
// 4 GiB on 64-bit hosts; a 32-bit process cannot spare that much address space.
constexpr std::size_t kPreferred = sizeof(void*) == 8 ? std::size_t{4} << 30 : std::size_t{1} << 30;
constexpr std::size_t kSmallest = std::size_t{64} << 20;
constexpr std::size_t kMinCommit = std::size_t{1} << 20;
// Offsets are 32 bits: on a 64-bit host the top page of a 4 GiB reservation stays
// unused, so that every offset, and the top, fits.
std::size_t usableBytes = 0;

} // namespace

void reserve() {
  // Some environments (valgrind, low address-space limits) refuse a large mapping:
  // halve it until one is accepted.
  for (std::size_t bytes = kPreferred; bytes >= kSmallest; bytes /= 2) {
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) {
      state.base = static_cast<std::byte*>(p);
      // The first page stays inaccessible: offset 0 is null, and a record never
      // starts there.
      const auto page = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
      usableBytes = std::min<std::size_t>(bytes, (std::size_t{1} << 32) - page);
      state.top = page;
      state.committed = page;
      return;
    }
  }
  fail("cannot reserve memory for records");
}

void grow(std::uint32_t bytes) {
  const std::size_t committed = state.committed;
  const std::size_t needed = std::size_t{state.top} + bytes;
  if (needed > usableBytes) fail("out of memory for records");
  // Grow geometrically so that mprotect calls stay rare.
  std::size_t target = std::max({needed, committed * 2, kMinCommit});
  target = std::min((target + kMinCommit - 1) / kMinCommit * kMinCommit, usableBytes);
  if (mprotect(state.base + committed, target - committed, PROT_READ | PROT_WRITE) != 0)
    fail("out of memory for records");
  state.committed = static_cast<std::uint32_t>(target);
}

} // namespace b32::heap
