// One store call in flight: what it waits for while it is suspended, its deadline, and whether its
// caller has asked it to stop. A driver performs each wait and resumes the call: run() blocks the
// calling thread, an event loop waits with its own means.
#pragma once

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "common/task.h"
#include "storage/waiter.h"

namespace velk {

using Clock = std::chrono::steady_clock;

// How a wait ended.
enum class Woken : std::uint8_t {
  Ready,        // the descriptor is ready, or has failed (its next operation says how)
  TimedOut,     // the wait's limit passed (for a sleep: it slept its time)
  Interrupted,  // the caller asked the call to stop (Ctrl-C, a cancelled task)
};

// What the caller's request to stop (and the call's deadline) does to a wait: ends it at once;
// nothing (the wait runs to its own limit); or ends it after a grace (kGrace) in which an answer
// that decides what happened may still come (a commit's).
enum class Interruption : std::uint8_t { Ends, Waits, AfterGrace };

// How long a wait that ends after a grace goes on once it was asked to end.
inline constexpr auto kGrace = std::chrono::milliseconds(300);

class Call {
 public:
  Call() = default;
  // A call that may take timeout seconds in all (none: unbounded).
  explicit Call(std::optional<double> timeout)
      : deadline_(timeout ? std::optional(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                             std::chrono::duration<double>(*timeout)))
                          : std::nullopt),
        timeout_(timeout) {}
  Call(const Call&) = delete;
  auto operator=(const Call&) -> Call& = delete;

  // A wait for a descriptor's events (none, fd < 0: a sleep), up to a limit.
  struct Io {
    int fd;
    short events;
    std::optional<Clock::time_point> limit;
    Interruption interruption;
  };
  // Work that may take long or block (a lock wait, a listing): done away from the caller, where
  // it may ask the waiter whether to stop.
  struct Work {
    FunctionRef<void(Waiter&)> run;
  };

  struct IoAwait {
    Call& cx;
    Io io;
    auto await_ready() const noexcept -> bool { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept { cx.suspend(h, io); }
    auto await_resume() const noexcept -> Woken { return cx.outcome_; }
  };
  struct WorkAwait {
    Call& cx;
    Work work;
    auto await_ready() const noexcept -> bool { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept { cx.suspend(h, work); }
    void await_resume() const noexcept {}
  };

  // co_await ready(fd, POLLIN): until the events, the call's deadline or its caller's stop.
  auto ready(int fd, short events) -> IoAwait { return {*this, {fd, events, deadline_, Interruption::Ends}}; }
  // The same up to its own limit (none: until the events), which the caller's stop ends or not.
  auto ready(int fd, short events, std::optional<Clock::time_point> limit, Interruption interruption) -> IoAwait {
    return {*this, {fd, events, limit, interruption}};
  }
  // co_await sleep(until): TimedOut once slept, earlier on the caller's stop or the deadline.
  auto sleep(Clock::time_point until) -> IoAwait {
    return {*this, {-1, 0, deadline_ && *deadline_ < until ? *deadline_ : until, Interruption::Ends}};
  }
  // co_await work(fn): fn runs away from the caller.
  auto work(FunctionRef<void(Waiter&)> run) -> WorkAwait { return {*this, {run}}; }

  // Where the call's coroutine frames live while they fit.
  auto frame_arena() noexcept -> FrameArena& { return frames_; }

  // The events the last ready descriptor reported.
  auto revents() const noexcept -> short { return revents_; }
  auto deadline() const noexcept -> std::optional<Clock::time_point> { return deadline_; }
  // A number from 0 to 999, another each time, for pauses that clients that collided should not
  // all take alike (splitmix64, seeded from the call and the clock at first use).
  auto jitter_permille() noexcept -> int;
  // "timed out after N s", for the messages of a call that ran out of time.
  auto timed_out() const -> std::string;
  // True once a wait has ended because the caller asked to stop.
  auto stopping() const noexcept -> bool { return stopping_; }

  // For drivers: what the suspended call waits for (monostate when it is not suspended), and how
  // the wait ended, which resumes it.
  using Pending = std::variant<std::monostate, Io, Work>;
  auto pending() const noexcept -> const Pending& { return pending_; }
  void resume(Woken outcome, short revents = 0);
  // Starts a call's coroutine.
  void start(std::coroutine_handle<> first) { first.resume(); }

 private:
  void suspend(std::coroutine_handle<> h, const Io& io) noexcept {
    waiting_ = h;
    pending_ = io;
  }
  void suspend(std::coroutine_handle<> h, const Work& work) noexcept {
    waiting_ = h;
    pending_ = work;
  }
  friend void wait_here(Call& cx, Waiter& waiter);

  std::optional<Clock::time_point> deadline_;
  std::optional<double> timeout_;
  FrameArena frames_;
  Pending pending_;
  std::coroutine_handle<> waiting_;
  Woken outcome_ = Woken::Ready;
  short revents_ = 0;
  bool stopping_ = false;
  std::uint64_t jitter_ = 0;
};

// Performs the suspended call's wait on this thread, away from the caller (see Waiter), asking it
// every 20 ms (and at every signal) whether to stop, then resumes the call.
void wait_here(Call& cx, Waiter& waiter);

// Runs a call on this thread to its end.
template <typename T>
auto run(Task<T> task, Call& cx, Waiter& waiter) -> T {
  cx.start(task.handle());
  while (!task.done()) wait_here(cx, waiter);
  return task.take();
}

}  // namespace velk
