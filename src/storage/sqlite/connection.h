// One connection to a SQLite database file, with the store's statements prepared on it. A
// connection is used by one call at a time (SQLite's multi-thread mode); it may move between
// threads between calls.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "storage/backend.h"

namespace velk::lite {

// The store's statements, by what they do.
enum class Sql : std::uint8_t {
  Get, Exists, Save, Insert, Replace, Remove,
  Begin, Commit, Rollback,
  All, OfType,
  Count
};

// The outcome of stepping a statement: a row, the end, busy (another connection holds a lock this
// one needs), or an error.
enum class Stepped : std::uint8_t { Row, Done, Busy, Failed };

class Connection {
 public:
  // Opens path (creating the file when create), in multi-thread mode; Storage, or Io with the
  // system's errno, when it cannot be opened.
  static auto open(const std::string& path, bool create) -> Result<std::unique_ptr<Connection>>;
  Connection(const Connection&) = delete;
  auto operator=(const Connection&) -> Connection& = delete;
  // Ends the statements and the connection, unless this process is a child of the one that opened
  // it: SQLite's files must not be touched through a parent's connection, so it is left as it is.
  ~Connection();

  // Prepares the statements of texts (indexed by Sql).
  auto prepare(const std::array<std::string, static_cast<std::size_t>(Sql::Count)>& texts) -> Result<void>;
  // A prepared statement, reset and with its bindings cleared.
  auto statement(Sql sql) -> sqlite3_stmt*;

  // Resets every statement, ending the reads they hold open.
  void settle() noexcept;
  // Runs one statement text to its end (no rows wanted): Done, Busy or Failed.
  auto exec(const char* text) -> Stepped;
  auto step(sqlite3_stmt* statement) -> Stepped;

  // The error of the last step that failed: Io with the system's errno for the file's own failures
  // (a full disk, an I/O error, a file that cannot be opened), else Storage with SQLite's text;
  // std::bad_alloc when SQLite ran out of memory.
  auto error() const -> TrustError;
  // The same for a step that commits: after an I/O error there (a write or sync of the log that
  // failed, perhaps after it reached the disk) the change may or may not be in the file.
  auto commit_error() const -> TrustError;
  auto handle() const noexcept -> sqlite3* { return db_; }
  auto in_transaction() const noexcept -> bool { return sqlite3_get_autocommit(db_) == 0; }
  // Whether a call that failed left this connection fit for the next one.
  auto reusable() const noexcept -> bool { return !broken_; }
  void mark_broken() noexcept { broken_ = true; }

 private:
  Connection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)), owner_(::getpid()) {}
  sqlite3* db_;
  std::string path_;
  pid_t owner_;
  std::array<sqlite3_stmt*, static_cast<std::size_t>(Sql::Count)> statements_{};
  int last_ = SQLITE_OK;
  bool broken_ = false;
};

// A column's bytes.
auto column_bytes(sqlite3_stmt* statement, int column) -> std::string_view;
// Binds text as a blob (the identifier's and type's exact bytes) or as text (a record).
auto bind_blob(sqlite3_stmt* statement, int index, std::string_view bytes) -> bool;
auto bind_text(sqlite3_stmt* statement, int index, std::string_view text) -> bool;

}  // namespace velk::lite
