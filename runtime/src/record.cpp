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
std::size_t reservedBytes = 0;

} // namespace

void reserve() {
  // Some environments (valgrind, low address-space limits) refuse a large mapping:
  // halve it until one is accepted.
  for (std::size_t bytes = kPreferred; bytes >= kSmallest; bytes /= 2) {
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) {
      state.base = static_cast<std::byte*>(p);
      reservedBytes = bytes;
      // The first page stays inaccessible: index 0 is null, and a record never
      // starts there.
      const auto page = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
      state.top = page / 4;
      state.committed = page / 4;
      return;
    }
  }
  fail("cannot reserve memory for records");
}

void grow(std::uint32_t cells) {
  const std::size_t committedBytes = std::size_t{state.committed} * 4;
  const std::size_t needed = (std::size_t{state.top} + cells) * 4;
  if (needed > reservedBytes) fail("out of memory for records");
  // Grow geometrically so that mprotect calls stay rare.
  std::size_t target = std::max({needed, committedBytes * 2, kMinCommit});
  target = std::min((target + kMinCommit - 1) / kMinCommit * kMinCommit, reservedBytes);
  if (mprotect(state.base + committedBytes, target - committedBytes, PROT_READ | PROT_WRITE) != 0)
    fail("out of memory for records");
  state.committed = static_cast<std::uint32_t>(std::min<std::size_t>(target / 4, UINT32_MAX));
}

} // namespace b32::heap
