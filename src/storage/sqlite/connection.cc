// A SQLite connection and its statements.
#include "storage/sqlite/connection.h"

#include <unistd.h>

#include <cerrno>
#include <new>

namespace velk::lite {

auto Connection::open(const std::string& path, bool create) -> Result<std::unique_ptr<Connection>> {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc == SQLITE_NOMEM || db == nullptr) {
    sqlite3_close_v2(db);
    throw std::bad_alloc();
  }
  if (rc != SQLITE_OK) {
    const int os_error = sqlite3_system_errno(db);
    std::string why = sqlite3_errmsg(db);
    sqlite3_close_v2(db);
    if (!create && (os_error == ENOENT || rc == SQLITE_CANTOPEN)) {
      return TrustError::storage("no database file at '" + path + "'");
    }
    if (os_error == ENOENT) {
      return TrustError::storage("cannot make the database file '" + path + "': its directory does not exist");
    }
    if (os_error != 0) return TrustError::io(os_error).noted("in the database file '" + path + "'");
    return TrustError::storage("cannot open the database file '" + path + "': " + why);
  }
  sqlite3_extended_result_codes(db, 1);
  return std::unique_ptr<Connection>(new Connection(db, path));
}

Connection::~Connection() {
  if (owner_ != ::getpid()) return;
  for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
  sqlite3_close_v2(db_);
}

auto Connection::prepare(const std::array<std::string, static_cast<std::size_t>(Sql::Count)>& texts) -> Result<void> {
  for (std::size_t k = 0; k < texts.size(); ++k) {
    if (texts[k].empty()) continue;
    last_ = sqlite3_prepare_v3(db_, texts[k].c_str(), static_cast<int>(texts[k].size()), SQLITE_PREPARE_PERSISTENT,
                               &statements_[k], nullptr);
    if (last_ != SQLITE_OK) return error();
  }
  return {};
}

auto Connection::statement(Sql sql) -> sqlite3_stmt* {
  sqlite3_stmt* s = statements_[static_cast<std::size_t>(sql)];
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return s;
}

void Connection::settle() noexcept {
  for (sqlite3_stmt* s : statements_) {
    if (s != nullptr) sqlite3_reset(s);
  }
}

auto Connection::exec(const char* text) -> Stepped {
  last_ = sqlite3_exec(db_, text, nullptr, nullptr, nullptr);
  if (last_ == SQLITE_OK) return Stepped::Done;
  if ((last_ & 0xff) == SQLITE_BUSY) return Stepped::Busy;
  return Stepped::Failed;
}

auto Connection::step(sqlite3_stmt* statement) -> Stepped {
  last_ = sqlite3_step(statement);
  if (last_ == SQLITE_ROW) return Stepped::Row;
  if (last_ == SQLITE_DONE) return Stepped::Done;
  // The statement's own failure code (sqlite3_step gives it since 3.7.x with v2/v3 statements).
  sqlite3_reset(statement);
  if ((last_ & 0xff) == SQLITE_BUSY) return Stepped::Busy;
  return Stepped::Failed;
}

auto Connection::error() const -> TrustError {
  const int primary = last_ & 0xff;
  if (primary == SQLITE_NOMEM) throw std::bad_alloc();
  const int os_error = sqlite3_system_errno(db_);
  // The system's texts name no file: a note does (a place would be taken for a row's).
  const std::string in_file = "in the database file '" + path_ + "'";
  if ((primary == SQLITE_IOERR || primary == SQLITE_FULL || primary == SQLITE_CANTOPEN) && os_error != 0) {
    return TrustError::io(os_error).noted(in_file);
  }
  if (primary == SQLITE_FULL) return TrustError::io(ENOSPC).noted(in_file);
  std::string why = sqlite3_errmsg(db_);
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
    return TrustError::storage("'" + path_ + "' is not a readable velk_trust database: " + why);
  }
  return TrustError::storage(why).noted(in_file);
}

auto Connection::commit_error() const -> TrustError {
  TrustError error = this->error();
  if ((last_ & 0xff) == SQLITE_IOERR) error.explained("; the change may or may not have been made").as_outcome_unknown();
  return error;
}

auto column_bytes(sqlite3_stmt* statement, int column) -> std::string_view {
  const void* data = sqlite3_column_blob(statement, column);
  const int n = sqlite3_column_bytes(statement, column);
  if (data == nullptr || n <= 0) return {};
  return {static_cast<const char*>(data), static_cast<std::size_t>(n)};
}

auto bind_blob(sqlite3_stmt* statement, int index, std::string_view bytes) -> bool {
  // A zero-length blob is bound as such, never as NULL.
  return sqlite3_bind_blob64(statement, index, bytes.empty() ? "" : bytes.data(), bytes.size(), SQLITE_STATIC) ==
         SQLITE_OK;
}

auto bind_text(sqlite3_stmt* statement, int index, std::string_view text) -> bool {
  return sqlite3_bind_text64(statement, index, text.empty() ? "" : text.data(), text.size(), SQLITE_STATIC,
                             SQLITE_UTF8) == SQLITE_OK;
}

}  // namespace velk::lite
