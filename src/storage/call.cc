// The blocking driver of store calls: each wait is a poll on this thread.
#include "storage/call.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace velk {
namespace {

// How often a wait that the caller may end asks the waiter.
constexpr auto kTick = std::chrono::milliseconds(20);

}  // namespace

auto Waiter::plain() noexcept -> Waiter& {
  static Waiter waiter;
  return waiter;
}

auto Call::timed_out() const -> std::string {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", timeout_.value_or(0));
  return std::string("timed out after ") + seconds + " s";
}

auto Call::jitter_permille() noexcept -> int {
  if (jitter_ == 0) {
    jitter_ = reinterpret_cast<std::uintptr_t>(this) ^
              static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()) ^ 0x9e3779b97f4a7c15ull;
  }
  std::uint64_t z = (jitter_ += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return static_cast<int>((z ^ (z >> 31)) % 1000);
}

void Call::resume(Woken outcome, short revents) {
  outcome_ = outcome;
  revents_ = revents;
  if (outcome == Woken::Interrupted) stopping_ = true;
  pending_ = std::monostate{};
  std::exchange(waiting_, {}).resume();
}

void wait_here(Call& cx, Waiter& waiter) {
  if (const auto* work = std::get_if<Call::Work>(&cx.pending())) {
    const auto run = work->run;
    {
      SteppedAside away(waiter);
      run(waiter);
    }
    cx.resume(Woken::Ready);
    return;
  }
  const Call::Io io = std::get<Call::Io>(cx.pending());
  // A call asked to stop once is not waited for again, but where it must wait.
  if (io.interruption == Interruption::Ends && cx.stopping()) return cx.resume(Woken::Interrupted);
  // Past the deadline or asked to stop, a wait that ends after a grace has this much left.
  std::optional<Clock::time_point> grace_end;
  if (io.interruption == Interruption::AfterGrace && (cx.stopping() || (io.limit && *io.limit <= Clock::now()))) {
    grace_end = Clock::now() + kGrace;
  }
  Woken outcome = Woken::TimedOut;
  short revents = 0;
  bool stopped = io.interruption == Interruption::AfterGrace && cx.stopping();
  {
    SteppedAside away(waiter);
    pollfd p{io.fd, io.events, 0};
    for (;;) {
      const bool asks = io.interruption == Interruption::Ends || (io.interruption == Interruption::AfterGrace && !grace_end);
      auto limit = grace_end ? grace_end : io.limit;
      auto wait = asks ? std::optional(kTick) : std::nullopt;
      if (limit) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*limit - Clock::now());
        if (left.count() <= 0) {
          if (grace_end || io.interruption != Interruption::AfterGrace) break;
          grace_end = Clock::now() + kGrace;  // the deadline passed: the grace begins
          continue;
        }
        wait = wait ? std::min(*wait, left) : left;
      }
      const int n = ::poll(io.fd >= 0 ? &p : nullptr, io.fd >= 0 ? 1 : 0, wait ? static_cast<int>(wait->count()) : -1);
      if (n > 0) {
        outcome = Woken::Ready;
        revents = p.revents;
        break;
      }
      if (n < 0 && errno != EINTR) {
        // The descriptor's own operations report what is wrong.
        outcome = Woken::Ready;
        revents = POLLERR;
        break;
      }
      // A signal (EINTR) is asked about at once, not at the next tick.
      if (asks && waiter.interrupted()) {
        if (io.interruption == Interruption::Ends) {
          outcome = Woken::Interrupted;
          break;
        }
        stopped = true;
        grace_end = Clock::now() + kGrace;
      }
    }
  }
  // A grace that ran out after the caller's stop: the wait ended for the stop.
  if (stopped && outcome == Woken::TimedOut) outcome = Woken::Interrupted;
  cx.resume(outcome, revents);
}

}  // namespace velk
