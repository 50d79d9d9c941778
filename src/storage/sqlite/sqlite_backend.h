// The records as rows of a table in one SQLite database file, shared by the processes and threads
// of one machine.
//
// A row holds the record's text exactly as the writer renders it (so a row, a record file and a
// PostgreSQL row are interchangeable), keyed by the identifier's exact bytes; the stored type sits
// beside it, indexed with the key for scans by kind:
//
//   entity_id BLOB PRIMARY KEY, entity_type BLOB, record TEXT
//
// The file is marked as velk_trust's (its application id) with its layout (its user version); a
// file of another application, of another layout, or that is not a database is refused and left
// as it is. The journal is a write-ahead log; every change is one transaction, begun IMMEDIATE
// (the writer's lock first), so a witness pair is never split, not by a kill nor a power loss at
// synchronous=full. Waiting for another writer is the call's own wait (a sleep the caller's stop
// and the store's timeout end), never SQLite's busy timeout.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/backend.h"
#include "storage/sqlite/connection.h"

namespace velk::lite {

// How a store's connections sync the file: full (every commit on stable storage) or normal
// (a commit may be lost with the power, never the file's consistency).
enum class Synchronous : std::uint8_t { Full, Normal };

// What a "sqlite:PATH?key=value&..." text says.
struct Target {
  std::string path;
  Synchronous synchronous = Synchronous::Full;
};
// Storage naming the fault for an empty path or an unknown parameter or value.
auto target_of(std::string_view text) -> Result<Target>;

class SqliteBackend final : public Backend {
 public:
  // Opens the file (made when missing, with create, in a directory that must exist) and makes the
  // table and its index when missing (or with !create refuses a missing file or table).
  static auto open(Call& cx, Address address, bool create) -> Task<Result<std::unique_ptr<const Backend>>>;
  ~SqliteBackend() override;

  auto read(Call& cx, std::string_view id) const -> Task<Result<std::optional<Stored>>> override;
  auto write(Call& cx, std::string_view id, const Write& write) const -> Task<Result<void>> override;
  auto create(Call& cx, std::string_view id, const Write& write) const -> Task<Result<std::optional<Stored>>> override;
  auto remove(Call& cx, std::string_view id) const -> Task<Result<bool>> override;
  auto exists(Call& cx, std::string_view id) const -> Task<Result<bool>> override;
  auto transact(Call& cx, std::span<const std::string_view> ids, Change change) const -> Task<Result<void>> override;
  // Every row in key order (of one type: by the index), read away from the caller.
  auto scan(Call& cx, std::optional<std::string_view> type, Scope scope, ScanSink& sink) const
      -> Task<Result<void>> override;
  auto place_of(std::string_view id) const -> Result<Place> override;
  void close() const override;
  auto noun() const noexcept -> std::string_view override { return "row"; }
  auto address() const noexcept -> const Address& override { return address_; }
  auto shown_address() const -> std::string override { return address_.where; }

  // A connection of this process for one call, given back when the lease ends.
  class Lease {
   public:
    Lease(const SqliteBackend& backend, std::unique_ptr<Connection> conn) : backend_(&backend), conn_(std::move(conn)) {}
    Lease(Lease&& other) noexcept = default;
    Lease(const Lease&) = delete;
    auto operator=(const Lease&) -> Lease& = delete;
    ~Lease();
    auto operator*() const noexcept -> Connection& { return *conn_; }

   private:
    const SqliteBackend* backend_;
    std::unique_ptr<Connection> conn_;
  };

 private:
  SqliteBackend(Address address, Target target, bool create);
  auto take() const -> Result<Lease>;
  void give_back(std::unique_ptr<Connection> conn) const;
  // A new connection, set up: the file checked (or made ours), its pragmas, the statements.
  auto connect() const -> Result<std::unique_ptr<Connection>>;
  auto ready(Connection& conn) const -> Result<void>;
  // Whether a body commits a change (which at synchronous=full waits for the disk).
  enum class Commits : bool { No, Yes };
  // body(conn) on a leased connection, again a little later while another writer holds the lock,
  // until the call's deadline or its caller's stop; an open transaction is rolled back whatever
  // happened. A body that commits to stable storage runs away from the caller.
  template <typename T, typename Body>
  auto run(Call& cx, Commits commits, Body&& body) const -> Task<Result<T>>;
  auto row_name(std::string_view entity_id) const -> std::string;

  Address address_;
  Target target_;
  bool create_;
  std::string quoted_;  // the table as a quoted identifier
  std::array<std::string, static_cast<std::size_t>(Sql::Count)> sql_;
  mutable std::atomic<bool> table_ready_{false};
  // Idle connections of the process owner_, under the backends' lock (held across fork by its
  // handlers, so that a child never inherits it held).
  mutable std::vector<std::unique_ptr<Connection>> idle_;
  mutable pid_t owner_;
};

}  // namespace velk::lite
