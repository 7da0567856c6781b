// Heap records: every field is a 32-bit cell, references included, on every host.
//
// A reference (`Ref<T>`) is a 32-bit index of a 4-byte cell in one record heap that
// the runtime reserves at start-up, so a record of k fields takes exactly 4·k bytes on
// 64-bit hosts too, with no header. Released records go on a free list per record
// size (LIFO) and are reused first; new ones are cut from the top of the heap, whose
// pages are committed as it grows. Index 0 is null, and the first page of the heap is
// never readable, so following a null reference faults as it would in C.
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
  std::byte* base;                        // cell i lives at base + 4·i
  std::uint32_t top;                      // first cell never handed out
  std::uint32_t committed;                // cells [0, committed) are accessible
  std::uint32_t freeHead[kMaxFields + 1]; // per field count, 0 when empty
};
inline State state{};

// Commits more of the reservation so that `cells` more cells fit above `top`, or
// ends the process with a message when the reservation is used up.
[[gnu::noinline]] void grow(std::uint32_t cells);
// Takes the reservation; called once before `main` runs.
void reserve();
} // namespace heap

template <class T>
struct Ref {
  std::uint32_t index;

  Ref() = default;
  B32_INLINE constexpr Ref(std::nullptr_t) : index(0) {}
  B32_INLINE static constexpr Ref fromIndex(std::uint32_t i) {
    Ref r;
    r.index = i;
    return r;
  }

  // A plain cast, as C would write it: records are implicit-lifetime types, begun by
  // newRecord's placement new. (std::launder is an optimisation barrier to g++: with it,
  // stores into a record could no longer be sunk out of a loop.)
  B32_INLINE T* operator->() const {
    return reinterpret_cast<T*>(heap::state.base + std::size_t{index} * 4);
  }
  B32_INLINE T& operator*() const { return *operator->(); }

  B32_INLINE friend constexpr bool operator==(Ref a, Ref b) { return a.index == b.index; }
  B32_INLINE friend constexpr bool operator==(Ref a, std::nullptr_t) { return a.index == 0; }
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
  std::uint32_t i = h.freeHead[k];
  if (i != 0) {
    std::uint32_t next;
    __builtin_memcpy(&next, h.base + std::size_t{i} * 4, 4);
    h.freeHead[k] = next;
  } else {
    if (h.committed - h.top < k) heap::grow(k);
    i = h.top;
    h.top += k;
  }
  ::new (h.base + std::size_t{i} * 4) T;
  return Ref<T>::fromIndex(i);
}

// Releases the one record `r` denotes; releasing null does nothing.
template <RecordType T>
B32_INLINE void release(Ref<T> r) {
  if (r.index == 0) return;
  constexpr std::uint32_t k = fieldCount<T>;
  heap::State& h = heap::state;
  std::uint32_t next = h.freeHead[k];
  __builtin_memcpy(h.base + std::size_t{r.index} * 4, &next, 4);
  h.freeHead[k] = r.index;
}

} // namespace b32
