// The C++ runtime's per-thread storage, set up ahead of need.
#pragma once

#include <cstdlib>
#include <exception>

namespace velk {

// The C++ runtime keeps each thread's exception state in storage of a library loaded with dlopen,
// which the system allocates on the thread's first exception and aborts the process when that
// allocation fails. Called where a thread starts its work (a listing's helper, a store call), it
// allocates that storage at once, so that a std::bad_alloc thrown later becomes MemoryError. It
// first takes and gives back a block far larger than that storage, in the thread's own heap: when
// even that block is refused, it returns false and the thread must not go on (nothing is thrown);
// when it was had, the storage's allocation reuses its room and cannot fail.
inline auto ready_thread_storage() noexcept -> bool {
  void* room = std::malloc(64 * 1024);
  if (room == nullptr) return false;
  std::free(room);
  // Declared pure: without a use of its value the call would be left out.
  [[maybe_unused]] volatile int uncaught = std::uncaught_exceptions();
  return true;
}

}  // namespace velk
