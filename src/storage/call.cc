// The blocking driver of store calls: each wait is a poll on this thread.
#include "storage/call.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace velk {
namespace {

// How often a wait that the caller may end asks the waiter.
constexpr auto kTick = std::chrono::milliseconds(20);

}  // namespace

auto Waiter::plain() noexcept -> Waiter& {
  static Waiter waiter;
  return waiter;
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
  const bool ends = io.interruption == Interruption::Ends;
  // A call asked to stop once is not waited for again, but where it must wait.
  if (ends && cx.stopping()) return cx.resume(Woken::Interrupted);
  Woken outcome = Woken::TimedOut;
  short revents = 0;
  {
    SteppedAside away(waiter);
    pollfd p{io.fd, io.events, 0};
    for (;;) {
      auto wait = ends ? std::optional(kTick) : std::nullopt;
      if (io.limit) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*io.limit - Clock::now());
        if (left.count() <= 0) break;
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
      if (ends && waiter.interrupted()) {
        outcome = Woken::Interrupted;
        break;
      }
    }
  }
  cx.resume(outcome, revents);
}

}  // namespace velk
