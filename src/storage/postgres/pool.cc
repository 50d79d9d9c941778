// The pool's lock is one for all pools, held only to move a session in or out, and taken by a
// fork's prepare handler: a child never inherits it held, whatever its parent's threads did.
#include "storage/postgres/pool.h"

#include <pthread.h>
#include <unistd.h>

#include <mutex>

namespace velk::pg {
namespace {

// Sessions kept idle per store; more are ended when given back.
constexpr std::size_t kMaxIdle = 16;

std::mutex pools_lock;

void install_fork_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    ::pthread_atfork([] { pools_lock.lock(); }, [] { pools_lock.unlock(); }, [] { pools_lock.unlock(); });
  });
}

}  // namespace

Pool::Pool(std::string url, Setup setup) : url_(std::move(url)), setup_(std::move(setup)), owner_(::getpid()) {
  install_fork_handlers();
}

Pool::~Pool() {
  std::lock_guard hold(pools_lock);
  forget_inherited();
  idle_.clear();
}

void Pool::forget_inherited() {
  if (owner_ == ::getpid()) return;
  for (auto& conn : idle_) conn.abandon();
  idle_.clear();
  owner_ = ::getpid();
}

Pool::Lease::~Lease() {
  if (conn_ && conn_->reusable()) pool_.give_back(std::move(*conn_));
}

void Pool::give_back(Connection&& conn) {
  std::lock_guard hold(pools_lock);
  forget_inherited();
  if (idle_.size() < kMaxIdle) idle_.push_back(std::move(conn));
}

auto Pool::take(Call& cx) -> Task<Result<Lease>> {
  std::vector<Connection> dead;  // ended outside the lock
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
      dead.push_back(std::move(conn));
    }
  }
  dead.clear();
  auto opened = co_await Connection::open(cx, url_);
  if (!opened) co_return opened.error();
  if (auto ready = co_await setup_(cx, *opened); !ready) co_return ready.error();
  co_return Lease(*this, std::move(*opened));
}

}  // namespace velk::pg
