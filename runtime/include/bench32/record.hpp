// Heap records: every field is a 32-bit cell where a pointer is 4 bytes, and on every
// host in the compact reference mode.
//
// A reference (`Ref<T>`) comes in one of two forms, fixed for a whole build:
//   - native (every 32-bit target, and 64-bit hosts by default): `Ref<T>` is `T*`. The
//     optimiser sees the pointer code a C programmer writes: a link is a pointer and
//     null is nullptr, so a link read from a record is told apart from the values around
//     it, and a recursion over links becomes a loop as it does in C. On a 32-bit target
//     a record of k fields takes 4·k bytes; on a 64-bit host a link takes 8, as in C
//     there (records are cut in multiples of 8, so that links are aligned).
//   - compact (64-bit hosts, B32_COMPACT_REFS): `Ref<T>` holds the record's address in
//     32 bits. The runtime reserves the record heap below 4 GiB, so a record of k fields
//     takes 4·k bytes on the 64-bit host too (a 5,000,000-node list fits in 40 MB), and
//     following a reference is one load. The price is that the optimiser no longer sees
//     pointers: a record's address is made from an integer, so it may alias anything,
//     and a reference passed to a function is a struct, which g++ treats differently
//     from a pointer (it does not turn frontlist's recursive length into a loop).
//
// In both, records have no header. Released records go on a free list per record size
// (LIFO) and are reused first; new ones are cut from the top of the heap, whose pages are
// committed as it grows. The null reference is address 0, which is never mapped, so
// following it faults as it would in C.
//
// Records are plain structs whose fields are `Int`, `Bool` or `Ref<...>`:
//
//   struct ListNode { Int value; Ref<ListNode> next; };
//   Ref<ListNode> node = newRecord<ListNode>();
//   node->value = 7; node->next = nullptr;
//   release(node);
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "bench32/inline.hpp"
#include "bench32/int.hpp"

// Compact references matter only where a pointer is wider than 32 bits; elsewhere the
// two modes are the same layout, and the native form is the one C has.
#if defined(B32_COMPACT_REFS) && UINTPTR_MAX > 0xFFFFFFFFu
#define B32_REFS_ARE_COMPACT 1
#else
#define B32_REFS_ARE_COMPACT 0
#endif

namespace b32 {

namespace heap {
inline constexpr std::uint32_t kMaxFields = 64;
inline constexpr bool kCompact = B32_REFS_ARE_COMPACT;

// A heap address: 32 bits in the compact mode, a machine address otherwise.
using Address = std::conditional_t<kCompact, std::uint32_t, std::uintptr_t>;

// Records are cut in multiples of this: a field, or a pointer where links are pointers
// (so that every link is aligned).
inline constexpr std::size_t kGrain = kCompact ? 4 : alignof(void*);

// The bytes a record of type T takes on the heap.
template <class T>
inline constexpr std::size_t recordBytes = (sizeof(T) + kGrain - 1) / kGrain* kGrain;
// Its free list: one per record size.
template <class T>
inline constexpr std::size_t sizeClass = recordBytes<T> / kGrain;

// The state of the record heap, kept in one place.
struct State {
  Address top;                      // address of the first byte never handed out
  Address committed;                // the heap is accessible below this address
  Address freeHead[kMaxFields + 1]; // per size class, 0 when empty
};

// The memory at a heap address.
B32_INLINE std::byte* at(Address address) {
  return reinterpret_cast<std::byte*>(static_cast<std::uintptr_t>(address));
}
inline State state{};

// Commits more of the reservation so that `bytes` more bytes fit above `top`, or ends
// the process with a message when the reservation is used up.
[[gnu::noinline]] void grow(std::size_t bytes);
// Takes the reservation; called once before `main` runs.
void reserve();

} // namespace heap

#if B32_REFS_ARE_COMPACT
// A link's own type: to clang's type-based alias analysis an enumeration is a type of
// its own, so a link copied out of a record is not taken for an Int field.
enum class Link : std::uint32_t {};

template <class T>
struct Ref {
  Link address;

  Ref() = default;
  B32_INLINE constexpr Ref(std::nullptr_t) : address(Link{0}) {}
  B32_INLINE static constexpr Ref fromAddress(std::uint32_t a) {
    Ref ref;
    ref.address = Link{a};
    return ref;
  }

  // A plain cast, as C would write it: records are implicit-lifetime types, begun by
  // newRecord's placement new. (std::launder is an optimisation barrier to g++: with it,
  // stores into a record could no longer be sunk out of a loop.)
  B32_INLINE T* operator->() const {
    return reinterpret_cast<T*>(heap::at(static_cast<std::uint32_t>(address)));
  }
  B32_INLINE T& operator*() const { return *operator->(); }

  B32_INLINE friend constexpr bool operator==(Ref a, Ref b) { return a.address == b.address; }
  B32_INLINE friend constexpr bool operator==(Ref a, std::nullptr_t) {
    return a.address == Link{0};
  }
};

namespace heap {
template <class T>
B32_INLINE Address addressOf(Ref<T> r) {
  return static_cast<Address>(r.address);
}
} // namespace heap
#else
template <class T>
using Ref = T*;

namespace heap {
template <class T>
B32_INLINE Address addressOf(T* r) {
  return reinterpret_cast<Address>(r);
}
} // namespace heap
#endif

template <class T>
concept RecordType = std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T> && sizeof(T) %
                             4 ==
                         0 &&
                     sizeof(T) >= 4 &&
                     alignof(T) <= heap::kGrain&& heap::sizeClass<T> <= heap::kMaxFields;

// Allocates one record of type T; its fields hold no defined value yet.
//
// Inline, unlike C's malloc: an allocation is a few instructions, and the programs that
// allocate and release in a loop measure exactly that. The price is that the compiler
// does not know a fresh record to be private (its address comes from the heap's state),
// so a barrier costs clang++ a store to it (see barrier.hpp).
template <RecordType T>
B32_INLINE Ref<T> newRecord() {
  constexpr std::size_t k = heap::sizeClass<T>;
  constexpr heap::Address bytes = heap::recordBytes<T>;
  heap::State& h = heap::state;
  heap::Address r = h.freeHead[k];
  if (r != 0) {
    heap::Address next;
    __builtin_memcpy(&next, heap::at(r), sizeof next);
    h.freeHead[k] = next;
  } else {
    if (h.committed - h.top < bytes) heap::grow(bytes);
    r = h.top;
    h.top += bytes;
  }
#if B32_REFS_ARE_COMPACT
  ::new (heap::at(r)) T;
  return Ref<T>::fromAddress(r);
#else
  return ::new (heap::at(r)) T;
#endif
}

// Releases the one record `r` denotes; releasing null does nothing.
template <RecordType T>
B32_INLINE void release(Ref<T> r) {
  const heap::Address a = heap::addressOf(r);
  if (a == 0) return;
  constexpr std::size_t k = heap::sizeClass<T>;
  heap::State& h = heap::state;
  const heap::Address next = h.freeHead[k];
  __builtin_memcpy(heap::at(a), &next, sizeof next);
  h.freeHead[k] = a;
}

} // namespace b32
