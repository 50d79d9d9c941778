// Sessions of one store, shared by its callers: each call takes one for itself and gives it back.
// At most a bounded number exist at once; a caller beyond them waits for one to come back.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/task.h"
#include "storage/call.h"
#include "storage/postgres/connection.h"

namespace velk::pg {

class Pool {
 public:
  // setup readies every new session (prepares the store's statements).
  using Setup = std::function<Task<Result<void>>(Call&, Connection&)>;
  Pool(std::string url, std::size_t size, Setup setup);
  Pool(const Pool&) = delete;
  auto operator=(const Pool&) -> Pool& = delete;
  // Ends the idle sessions; in a child of fork, only forgets its parent's.
  ~Pool();

  // One session for one call; back to the pool when the call leaves it reusable, else ended.
  class Lease {
   public:
    Lease(Pool& pool, Connection conn) : pool_(&pool), conn_(std::move(conn)), generation_(pool.generation_) {}
    Lease(Lease&& other) noexcept : pool_(other.pool_), conn_(std::move(other.conn_)), generation_(other.generation_) {
      other.conn_.reset();
    }
    Lease(const Lease&) = delete;
    auto operator=(Lease&&) -> Lease& = delete;
    auto operator=(const Lease&) -> Lease& = delete;
    ~Lease();
    auto operator*() -> Connection& { return *conn_; }
    auto operator->() -> Connection* { return &*conn_; }

   private:
    Pool* pool_;
    std::optional<Connection> conn_;
    std::uint64_t generation_;
  };

  // An idle session that still looks alive, else a new one (connected and set up away from the
  // caller) while fewer than the pool's size exist, else the first one given back: waited for
  // within the call's deadline, ended by the caller's stop. A server that has too many sessions
  // already is asked again, a little later each time, within the deadline (or, without one, the
  // connect timeout).
  auto take(Call& cx) -> Task<Result<Lease>>;
  auto url() const noexcept -> const std::string& { return url_; }
  // Ends the idle sessions, and each taken one when it is given back; take() opens new ones.
  void close();

 private:
  void give_back(std::optional<Connection>&& conn, std::uint64_t generation);
  // Forgets sessions a parent process left in a child of fork. Under the pools' lock.
  void forget_inherited();
  // Wakes one caller that waits for a session.
  void signal() noexcept;

  std::string url_;
  std::size_t size_;
  Setup setup_;
  pid_t owner_;                  // the process whose sessions idle_ and open_ count
  std::vector<Connection> idle_;
  std::size_t open_ = 0;         // sessions that exist, idle or taken
  std::uint64_t generation_ = 0;  // counts close(): a session taken before one is ended when given back
  int wakeup_ = -1;              // an eventfd: readable when a session was given back
};

}  // namespace velk::pg
