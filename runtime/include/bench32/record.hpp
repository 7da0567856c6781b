// Heap records: every field is a 32-bit cell, references included, on every host.
//
// A reference (`Ref<T>`) is the record's address in 32 bits: the runtime reserves the
// record heap below 4 GiB, so on 64-bit hosts too a record of k fields takes exactly
// 4·k bytes, with no header, and following a reference is one load, as following a C
// pointer is. Released records go on a free list per record size (LIFO) and are reused
// first; new ones are cut from the top of the heap, whose pages are committed as it
// grows. The null reference is address 0, which is never mapped, so following it
// faults as it would in C.
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

namespace b32 {

namespace heap {
inline constexpr std::uint32_t kMaxFields = 64;

// The state of the record heap; read by every dereference, so kept in one place.
struct State {
  std::uint32_t top;                      // address of the first byte never handed out
  std::uint32_t committed;                // the heap is accessible below this address
  std::uint32_t freeHead[kMaxFields + 1]; // per field count, 0 when empty
};

// The memory at a 32-bit heap address.
B32_INLINE std::byte* at(std::uint32_t address) {
  return reinterpret_cast<std::byte*>(std::uintptr_t{address});
}
inline State state{};

// Commits more of the reservation so that `bytes` more bytes fit above `top`, or ends
// the process with a message when the reservation is used up.
[[gnu::noinline]] void grow(std::uint32_t bytes);
// Takes the reservation; called once before `main` runs.
void reserve();
} // namespace heap

template <class T>
struct Ref {
  std::uint32_t address;

  Ref() = default;
  B32_INLINE constexpr Ref(std::nullptr_t) : address(0) {}
  B32_INLINE static constexpr Ref fromAddress(std::uint32_t a) {
    Ref ref;
    ref.address = a;
    return ref;
  }

  // A plain cast, as C would write it: records are implicit-lifetime types, begun by
  // newRecord's placement new. (std::launder is an optimisation barrier to g++: with it,
  // stores into a record could no longer be sunk out of a loop.)
  B32_INLINE T* operator->() const { return reinterpret_cast<T*>(heap::at(address)); }
  B32_INLINE T& operator*() const { return *operator->(); }

  B32_INLINE friend constexpr bool operator==(Ref a, Ref b) { return a.address == b.address; }
  B32_INLINE friend constexpr bool operator==(Ref a, std::nullptr_t) { return a.address == 0; }
};

template <class T>
inline constexpr std::uint32_t fieldCount = sizeof(T) / 4;

template <class T>
concept RecordType = std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T> && sizeof(T) %
                             4 ==
                         0 &&
                     sizeof(T) >= 4 && alignof(T) == 4 && sizeof(T) / 4 <= heap::kMaxFields;

// Allocates one record of type T; its fields hold no defined value yet.
template <RecordType T>
B32_INLINE Ref<T> newRecord() {
  constexpr std::uint32_t k = fieldCount<T>;
  heap::State& h = heap::state;
  std::uint32_t r = h.freeHead[k];
  if (r != 0) {
    std::uint32_t next;
    __builtin_memcpy(&next, heap::at(r), 4);
    h.freeHead[k] = next;
  } else {
    if (h.committed - h.top < sizeof(T)) heap::grow(sizeof(T));
    r = h.top;
    h.top += sizeof(T);
  }
  ::new (heap::at(r)) T;
  return Ref<T>::fromAddress(r);
}

// Releases the one record `r` denotes; releasing null does nothing.
template <RecordType T>
B32_INLINE void release(Ref<T> r) {
  if (r.address == 0) return;
  constexpr std::uint32_t k = fieldCount<T>;
  heap::State& h = heap::state;
  std::uint32_t next = h.freeHead[k];
  __builtin_memcpy(heap::at(r.address), &next, 4);
  h.freeHead[k] = r.address;
}

} // namespace b32
