// Sessions of one store, shared by its callers: each call takes one for itself and gives it back.
#pragma once

#include <sys/types.h>

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
  Pool(std::string url, Setup setup);
  Pool(const Pool&) = delete;
  auto operator=(const Pool&) -> Pool& = delete;
  // Ends the idle sessions; in a child of fork, only forgets its parent's.
  ~Pool();

  // One session for one call; back to the pool when the call leaves it reusable.
  class Lease {
   public:
    Lease(Pool& pool, Connection conn) : pool_(pool), conn_(std::move(conn)) {}
    Lease(Lease&& other) noexcept : pool_(other.pool_), conn_(std::move(other.conn_)) {
      other.conn_.reset();
    }
    Lease(const Lease&) = delete;
    auto operator=(Lease&&) -> Lease& = delete;
    auto operator=(const Lease&) -> Lease& = delete;
    ~Lease();
    auto operator*() -> Connection& { return *conn_; }
    auto operator->() -> Connection* { return &*conn_; }

   private:
    Pool& pool_;
    std::optional<Connection> conn_;
  };

  // An idle session that still looks alive, else a new one (connected and set up away from the
  // caller).
  auto take(Call& cx) -> Task<Result<Lease>>;
  auto url() const noexcept -> const std::string& { return url_; }

 private:
  void give_back(Connection&& conn);
  // Forgets sessions a parent process left in a child of fork. Under the pools' lock.
  void forget_inherited();

  std::string url_;
  Setup setup_;
  pid_t owner_;                  // the process whose sessions idle_ holds
  std::vector<Connection> idle_;
};

}  // namespace velk::pg
