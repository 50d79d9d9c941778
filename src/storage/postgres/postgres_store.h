// The records as rows of one PostgreSQL table, shared by every process and machine that opens it.
//
// A row holds the record's text exactly as the writer renders it (so a row and a record file are
// interchangeable), keyed by the identifier's bytes, or for identifiers over 256 bytes by 0xFF and
// their SHA-256 (UTF-8 never holds 0xFF, so the two kinds of keys never meet); the identifier's
// bytes and the stored type sit beside it, the type indexed for listings by kind:
//
//   key bytea PRIMARY KEY, entity_id bytea, entity_type bytea, record text
//
// update, decay and witness are one transaction each that locks its rows first (a witness locks
// its two in key order, so crossed pairs cannot deadlock); serialization failures, deadlocks and
// rows created meanwhile by another client make the transaction run again, a bounded number of
// times, so engines at serializable isolation work unchanged.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/postgres/pool.h"
#include "storage/store.h"

namespace velk::pg {

class PostgresStore final : public Store {
 public:
  // Connects and makes the table and its index when missing. Storage when the table name is empty,
  // holds a NUL byte or is longer than the server keeps (63 bytes), when the server cannot be
  // reached, or when the table has another shape.
  static auto open(std::string url, std::string table, Waiter& waiter) -> Result<std::unique_ptr<const Store>>;

  auto get(std::string_view entity_id, Waiter& waiter) const -> Result<EntityTrust> override;
  auto save(const EntityTrust& record, Waiter& waiter) const -> Result<void> override;
  auto remove(std::string_view entity_id, Waiter& waiter) const -> Result<bool> override;
  auto exists(std::string_view entity_id, Waiter& waiter) const -> Result<bool> override;
  auto list(std::optional<EntityType> kind, Waiter& waiter) const -> Result<std::vector<std::string>> override;
  auto records_of_kind(EntityType kind, Waiter& waiter) const -> Result<std::vector<EntityTrust>> override;
  auto update(std::string_view entity_id, bool success, double magnitude, Waiter& waiter) const
      -> Result<EntityTrust> override;
  auto decay(std::string_view entity_id, double days_inactive, double decay_rate, double min_idle,
             Waiter& waiter) const -> Result<bool> override;
  auto witness(std::string_view witness_id, std::string_view target_id, bool success, double magnitude,
               Waiter& waiter) const -> Result<std::pair<EntityTrust, EntityTrust>> override;
  auto check(Waiter& waiter) const -> Result<std::vector<Finding>> override;
  auto repr() const -> std::string override;
  auto address() const -> Address override { return {pool_->url(), table_}; }

 private:
  PostgresStore(std::string url, std::string table);
  // body(session) for one call, on a session of the pool: tried again on a serialization failure, a
  // deadlock or a row created meanwhile; an open transaction is rolled back whatever happened.
  template <typename T, typename Body>
  auto run(Waiter& waiter, Body&& body) const -> Result<T>;
  // Every row (of one stored type when given): key, entity_id and record, in that order.
  auto rows(std::optional<EntityType> kind, Waiter& waiter) const -> Result<Reply>;
  // Makes the table and its index when missing and checks its shape: once per store.
  auto ready_table(Connection& conn, Waiter& waiter) const -> Result<void>;
  // "<table>/<identifier>": how messages and checks name a row.
  auto row_name(std::string_view entity_id) const -> std::string;

  std::string table_;
  std::string quoted_;  // the table as a quoted identifier
  std::vector<std::pair<const char*, std::string>> statements_;
  mutable std::atomic<bool> table_ready_{false};
  std::unique_ptr<Pool> pool_;
};

// The row key of an identifier (see above).
auto row_key(std::string_view entity_id) -> Result<std::string>;
// The table name as a quoted SQL identifier.
auto quote_identifier(std::string_view name) -> std::string;
// The connection text without its password (in a URI's user part, a URI parameter, or a keyword).
auto without_password(std::string_view url) -> std::string;

}  // namespace velk::pg
