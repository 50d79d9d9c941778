// The records as rows of one PostgreSQL table, shared by every process and machine that opens it.
//
// A row holds the record's text exactly as the writer renders it (so a row and a record file are
// interchangeable), keyed by the identifier's bytes, or for identifiers over 256 bytes by 0xFF and
// their SHA-256 (UTF-8 never holds 0xFF, so the two kinds of keys never meet); the identifier's
// bytes and the stored type sit beside it, the type indexed for scans by kind:
//
//   key bytea PRIMARY KEY, entity_id bytea, entity_type bytea, record text
//
// A transaction locks its rows first (two in key order, so crossed pairs cannot deadlock);
// serialization failures, deadlocks and rows created meanwhile by another client make it run
// again, a bounded number of times, so engines at serializable isolation work unchanged.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/backend.h"
#include "storage/postgres/pool.h"
#include "storage/sql_name.h"

namespace velk::pg {

class PostgresBackend final : public Backend {
 public:
  // Connects and makes the table and its index when missing (or with !create refuses a missing
  // one). Storage when the table name is empty, holds a NUL byte or is longer than the server keeps
  // (63 bytes), when the server cannot be reached, or when the table has another shape.
  static auto open(Call& cx, Address address, bool create) -> Task<Result<std::unique_ptr<const Backend>>>;

  auto read(Call& cx, std::string_view id) const -> Task<Result<std::optional<Stored>>> override;
  auto write(Call& cx, std::string_view id, const Write& write) const -> Task<Result<void>> override;
  auto create(Call& cx, std::string_view id, const Write& write) const -> Task<Result<std::optional<Stored>>> override;
  auto remove(Call& cx, std::string_view id) const -> Task<Result<bool>> override;
  auto exists(Call& cx, std::string_view id) const -> Task<Result<bool>> override;
  auto transact(Call& cx, std::span<const std::string_view> ids, Change change) const -> Task<Result<void>> override;
  auto scan(Call& cx, std::optional<std::string_view> type, Scope scope, ScanSink& sink) const
      -> Task<Result<void>> override;
  auto place_of(std::string_view id) const -> Result<Place> override;
  void close() const override { pool_->close(); }
  auto noun() const noexcept -> std::string_view override { return "row"; }
  auto address() const noexcept -> const Address& override { return address_; }
  auto shown_address() const -> std::string override;

 private:
  PostgresBackend(Address address, bool create);
  // body(session) for one call, on a session of the pool, tried again (a bounded number of times)
  // when it fails in a way that trying again may mend; an open transaction is rolled back
  // whatever happened.
  // What run() may do again after a failure, beside a conflict (a serialization failure, a
  // deadlock, a row made meanwhile), which it always tries again, a little later each time.
  // Once more on a new session, too, when the session was lost and nothing was committed.
  template <typename T, typename Body>
  auto run(Call& cx, Body&& body) const -> Task<Result<T>>;
  // Makes the table and its index when missing and checks its shape: once per store.
  auto ready_table(Call& cx, Connection& conn) const -> Task<Result<void>>;
  // "<table>/<identifier>": how messages and checks name a row.
  auto row_name(std::string_view entity_id) const -> std::string;

  // The store's statements, by what they do.
  enum class Sql : std::uint8_t {
    Get, Create, Save, Insert, Replace, Lock, LockPair, Remove, Exists,
    // A chunk of the rows in key order: the first, or those after a key; of one stored type or all.
    First, After, FirstOfType, AfterOfType,
    Count
  };
  auto statement(Sql sql) const -> const Statement& { return statements_[static_cast<std::size_t>(sql)]; }

  Address address_;
  std::string quoted_;  // the table as a quoted identifier
  std::array<Statement, static_cast<std::size_t>(Sql::Count)> statements_;
  bool create_;  // whether a missing table is made
  mutable std::atomic<bool> table_ready_{false};
  // Set once a server session lacked a statement of ours, or had them already: a pooler in
  // transaction mode hands transactions to server sessions in turn. Statements go whole then.
  mutable std::atomic<bool> whole_{false};
  std::unique_ptr<Pool> pool_;
};

// The row key of an identifier (see above).
auto row_key(std::string_view entity_id) -> Result<std::string>;

}  // namespace velk::pg
