// The pool's lock is one for all pools, held only to move a session in or out, and taken by a
// fork's prepare handler: a child never inherits it held, whatever its parent's threads did.
#include "storage/postgres/pool.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace velk::pg {
namespace {

std::mutex pools_lock;

void install_fork_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    ::pthread_atfork([] { pools_lock.lock(); }, [] { pools_lock.unlock(); }, [] { pools_lock.unlock(); });
  });
}

// A server (or a pooler) that refuses a session because it has too many: worth asking again.
auto too_many_sessions(const TrustError& error) -> bool {
  const std::string& text = error.detail();
  return text.find("too many clients") != std::string::npos || text.find("too many connections") != std::string::npos ||
         text.find("remaining connection slots are reserved") != std::string::npos ||
         text.find("no more connections allowed") != std::string::npos;
}

// How long the connect timeout gives a server that has too many sessions, when the call has no
// deadline of its own.
constexpr auto kBusyWait = std::chrono::seconds(10);

}  // namespace

Pool::Pool(std::string url, std::size_t size, Setup setup)
    : url_(std::move(url)), size_(std::max<std::size_t>(1, size)), setup_(std::move(setup)), owner_(::getpid()),
      wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {
  install_fork_handlers();
}

Pool::~Pool() {
  std::lock_guard hold(pools_lock);
  forget_inherited();
  idle_.clear();
  if (wakeup_ >= 0) ::close(wakeup_);
}

void Pool::forget_inherited() {
  if (owner_ == ::getpid()) return;
  for (auto& conn : idle_) conn.abandon();
  idle_.clear();
  // The parent's callers and their sessions are not this process's.
  open_ = 0;
  if (wakeup_ >= 0) ::close(wakeup_);
  wakeup_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
  owner_ = ::getpid();
}

void Pool::signal() noexcept {
  if (wakeup_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wakeup_, &one, sizeof one);
}

Pool::Lease::~Lease() { pool_->give_back(std::move(conn_), generation_); }

void Pool::close() {
  std::vector<Connection> ended;
  {
    std::lock_guard hold(pools_lock);
    forget_inherited();
    ++generation_;
    open_ -= idle_.size();
    ended = std::move(idle_);
    idle_.clear();
  }
  signal();  // a caller waiting for a session makes one
}

void Pool::give_back(std::optional<Connection>&& conn, std::uint64_t generation) {
  {
    std::unique_lock hold(pools_lock);
    // A session taken before a fork is its parent's in the child: forgotten there, not counted.
    if (owner_ != ::getpid()) {
      if (conn) conn->abandon();
      forget_inherited();
      return;
    }
    if (!conn) return;
    if (conn->reusable() && generation == generation_) {
      idle_.push_back(std::move(*conn));
    } else {
      --open_;
      hold.unlock();
      conn.reset();  // ended outside the lock
    }
  }
  signal();
}

auto Pool::take(Call& cx) -> Task<Result<Lease>> {
  const auto busy_limit = cx.deadline().value_or(Clock::now() + kBusyWait);
  for (int busy = 0;;) {
    std::vector<Connection> dead;  // ended outside the lock
    bool make = false;
    int wakeup = -1;
    {
      std::unique_lock hold(pools_lock);
      forget_inherited();
      while (!idle_.empty()) {
        Connection conn = std::move(idle_.back());
        idle_.pop_back();
        if (conn.usable()) {
          hold.unlock();
          co_return Lease(*this, std::move(conn));
        }
        // Ended while idle (a server restart, a network that forgot it): replaced.
        dead.push_back(std::move(conn));
        --open_;
      }
      if (open_ < size_) {
        ++open_;  // this caller's, from now on
        make = true;
      }
      wakeup = wakeup_;
    }
    dead.clear();
    if (!make) {
      // All sessions are taken: the first one given back.
      const Woken woken = co_await cx.ready(wakeup, POLLIN);
      if (woken == Woken::Interrupted) co_return TrustError::io(EINTR);
      if (woken == Woken::TimedOut) {
        co_return TrustError::storage(cx.timed_out() + " waiting for one of the store's " + std::to_string(size_) +
                                      " database sessions")
            .as_transient();
      }
      std::uint64_t count = 0;
      [[maybe_unused]] const auto read = ::read(wakeup, &count, sizeof count);
      continue;
    }
    auto opened = co_await Connection::open(cx, url_);
    std::optional<TrustError> failed;
    if (opened) {
      auto ready = co_await setup_(cx, *opened);
      if (ready) co_return Lease(*this, std::move(*opened));
      failed = ready.error();
    } else {
      failed = opened.error();
    }
    {
      std::lock_guard hold(pools_lock);
      if (owner_ == ::getpid()) --open_;
    }
    signal();
    if (!too_many_sessions(*failed)) co_return std::move(*failed);
    // The server has too many sessions: asked again a little later, within the limit.
    const auto pause = std::chrono::milliseconds(std::min(1000, 50 << std::min(busy++, 5)));
    const auto until = Clock::now() + pause / 2 + pause * cx.jitter_permille() / 2000;
    if (until >= busy_limit) co_return std::move(*failed);
    if (co_await cx.sleep(until) == Woken::Interrupted) co_return TrustError::io(EINTR);
  }
}

}  // namespace velk::pg
