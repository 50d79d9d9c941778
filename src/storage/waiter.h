// How a store call steps aside while it waits for the directory lock or works through a listing.
#pragma once

#include <chrono>

namespace velk {

// The caller of a store operation may release its own locks in leave() and take them back in
// enter() (the Python binding releases the interpreter lock there). Calls to leave() and enter()
// pair up and may nest; interrupted() is asked between them (every few milliseconds in a listing,
// whenever a signal ends a lock wait), and true abandons the operation with Io "Interrupted system
// call" before it changes anything. enter() and interrupted() may end the thread by a forced unwind
// (an interpreter that is exiting does so), so no frame between them and the caller is noexcept.
class Waiter {
 public:
  virtual ~Waiter() = default;
  virtual void leave() noexcept {}
  virtual void enter() {}
  virtual auto interrupted() -> bool { return false; }

  // A waiter that neither releases nor interrupts anything.
  static auto plain() noexcept -> Waiter&;
};

// leave() for one scope.
class SteppedAside {
 public:
  explicit SteppedAside(Waiter& waiter) noexcept : waiter_(waiter) { waiter_.leave(); }
  SteppedAside(const SteppedAside&) = delete;
  auto operator=(const SteppedAside&) -> SteppedAside& = delete;
  ~SteppedAside() noexcept(false) { waiter_.enter(); }

 private:
  Waiter& waiter_;
};

// Polled in a loop, asks the waiter at most every 20 ms (a clock read is cheap; asking may wait
// for the caller's lock).
class InterruptCheck {
 public:
  explicit InterruptCheck(Waiter& waiter) : waiter_(waiter), asked_(Clock::now()) {}
  // True when the waiter asks to abandon the call.
  auto operator()() -> bool {
    if (Clock::now() - asked_ < std::chrono::milliseconds(20)) return false;
    if (waiter_.interrupted()) return true;
    asked_ = Clock::now();
    return false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  Waiter& waiter_;
  Clock::time_point asked_;
};

}  // namespace velk
