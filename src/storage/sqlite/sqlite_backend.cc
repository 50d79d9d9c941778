// A SQLite table's primitives: each one statement, or one IMMEDIATE transaction.
#include "storage/sqlite/sqlite_backend.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <variant>

#include "storage/sql_name.h"
#include "storage/waiter.h"

namespace velk::lite {
namespace {

// The file's application id ("VLKT") and the layout of its tables, its user version: a file of
// another application is refused, and a later layout is refused rather than misread.
constexpr int kApplicationId = 0x564C4B54;
constexpr int kLayout = 1;

// Between two tries of a call that found another writer holding the lock: growing to this.
constexpr auto kFirstPause = std::chrono::microseconds(500);
constexpr auto kLongestPause = std::chrono::milliseconds(10);

// The lock of every store's idle connections, held across fork by its handlers: a child never
// inherits it held, whatever its parent's threads did.
std::mutex backends_lock;

void install_fork_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    ::pthread_atfork([] { backends_lock.lock(); }, [] { backends_lock.unlock(); }, [] { backends_lock.unlock(); });
  });
}

// Another writer holds the lock this attempt needed: the attempt is tried again a little later.
struct Busy {};

template <typename T>
using Attempt = std::variant<T, Busy, TrustError>;

// A row's record as the statements below select it (columns column and column + 1): its size in
// bytes (length() of a text counts characters up to a NUL), and its text only when within the limit.
constexpr std::string_view kSizedRecord =
    "length(CAST(record AS BLOB)), "
    "CASE WHEN length(CAST(record AS BLOB)) <= 67108864 THEN record END";
static_assert(kMaxRecordBytes == 67108864);

auto stored_of(sqlite3_stmt* statement, int column) -> Stored {
  if (sqlite3_column_type(statement, column + 1) == SQLITE_NULL) {
    return Stored{{}, static_cast<std::uint64_t>(sqlite3_column_int64(statement, column))};
  }
  return Stored{std::string(column_bytes(statement, column + 1))};
}

// A one-row statement's integer (0 without a row), or why not.
struct Looked {
  Stepped stepped;
  std::int64_t value = 0;
};
auto integer_of(Connection& conn, const char* text) -> Looked {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(conn.handle(), text, -1, &s, nullptr) != SQLITE_OK) {
    sqlite3_finalize(s);
    return {Stepped::Failed};
  }
  Looked looked{conn.step(s)};
  if (looked.stepped == Stepped::Row) looked.value = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  return looked;
}

}  // namespace

auto target_of(std::string_view text) -> Result<Target> {
  Target target;
  std::string_view rest = text.substr(text.find(':') + 1);
  const auto query = rest.find('?');
  target.path = std::string(rest.substr(0, query));
  if (target.path.empty()) return TrustError::storage("the database file's path is empty in '" + std::string(text) + "'");
  if (target.path.find('\0') != std::string::npos) {
    return TrustError::io_message("file name contained an unexpected NUL byte");
  }
  if (query == std::string_view::npos) return target;
  std::string_view params = rest.substr(query + 1);
  while (!params.empty()) {
    const auto amp = params.find('&');
    const std::string_view param = params.substr(0, amp);
    params = amp == std::string_view::npos ? std::string_view() : params.substr(amp + 1);
    const auto eq = param.find('=');
    const std::string_view key = param.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : param.substr(eq + 1);
    if (key == "synchronous" && (value == "full" || value == "FULL")) {
      target.synchronous = Synchronous::Full;
    } else if (key == "synchronous" && (value == "normal" || value == "NORMAL")) {
      target.synchronous = Synchronous::Normal;
    } else if (key == "synchronous") {
      return TrustError::storage("synchronous='" + std::string(value) + "' in '" + std::string(text) +
                                 "': a store takes synchronous=full or synchronous=normal");
    } else {
      return TrustError::storage("unknown parameter '" + std::string(key) + "' in '" + std::string(text) +
                                 "': a store takes synchronous=full or synchronous=normal");
    }
  }
  return target;
}

SqliteBackend::SqliteBackend(Address address, Target target, bool create)
    : address_(std::move(address)), target_(std::move(target)), create_(create),
      quoted_(quote_identifier(address_.table)), owner_(::getpid()) {
  install_fork_handlers();
  const std::string& t = quoted_;
  const std::string sized(kSizedRecord);
  auto set = [&](Sql sql, std::string text) { sql_[static_cast<std::size_t>(sql)] = std::move(text); };
  set(Sql::Get, "SELECT " + sized + " FROM " + t + " WHERE entity_id = ?1");
  set(Sql::Exists, "SELECT 1 FROM " + t + " WHERE entity_id = ?1");
  set(Sql::Save, "INSERT INTO " + t + " (entity_id, entity_type, record) VALUES (?1, ?2, ?3) ON CONFLICT (entity_id) "
                 "DO UPDATE SET entity_type = excluded.entity_type, record = excluded.record");
  set(Sql::Insert, "INSERT INTO " + t + " (entity_id, entity_type, record) VALUES (?1, ?2, ?3)");
  set(Sql::Replace, "UPDATE " + t + " SET entity_type = ?2, record = ?3 WHERE entity_id = ?1");
  set(Sql::Remove, "DELETE FROM " + t + " WHERE entity_id = ?1");
  set(Sql::Begin, "BEGIN IMMEDIATE");
  set(Sql::Commit, "COMMIT");
  set(Sql::Rollback, "ROLLBACK");
  set(Sql::All, "SELECT entity_id, " + sized + " FROM " + t + " ORDER BY entity_id");
  set(Sql::OfType, "SELECT entity_id, " + sized + " FROM " + t + " WHERE entity_type = ?1 ORDER BY entity_id");
}

SqliteBackend::~SqliteBackend() { close(); }

auto SqliteBackend::open(Call& cx, Address address, bool create) -> Task<Result<std::unique_ptr<const Backend>>> {
  const std::string& table = address.table;
  if (table.empty()) co_return TrustError::storage("the table name is empty");
  if (table.find('\0') != std::string::npos) co_return TrustError::storage("the table name holds a NUL byte");
  auto target = target_of(address.where);
  if (!target) co_return target.error();
  std::unique_ptr<SqliteBackend> backend(new SqliteBackend(std::move(address), std::move(*target), create));
  // A first connection now: a file that is not ours, or a table of another shape, fails here.
  auto first = co_await backend->run<bool>(cx, Commits::No, [](Connection&) -> Attempt<bool> { return true; });
  if (!first) co_return first.error();
  co_return std::unique_ptr<const Backend>(backend.release());
}

auto SqliteBackend::ready(Connection& conn) const -> Result<void> {
  // Busy while another connection makes the table: Io EBUSY, which run() waits out.
  for (;;) {
    const Looked looked[] = {integer_of(conn, "PRAGMA application_id"), integer_of(conn, "PRAGMA user_version"),
                             integer_of(conn, "SELECT count(*) FROM sqlite_master")};
    for (const Looked& l : looked) {
      if (l.stepped == Stepped::Busy) return TrustError::io(EBUSY);
      if (l.stepped == Stepped::Failed) return conn.error();
    }
    const std::int64_t id = looked[0].value, version = looked[1].value, count = looked[2].value;
    const std::string& path = target_.path;
    if (id != kApplicationId && (id != 0 || count > 0)) {
      return TrustError::storage("'" + path + "' is not a velk_trust database (it holds another application's "
                                 "tables); it was left as it is");
    }
    if (id == kApplicationId && version != kLayout) {
      return TrustError::storage("'" + path + "' holds records in layout " + std::to_string(version) +
                                 "; this release reads layout " + std::to_string(kLayout));
    }
    // A write-ahead log: readers never wait for the writer. A file that cannot be written keeps
    // its journal (and is read only).
    (void)conn.exec("PRAGMA journal_mode=WAL");
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(conn.handle(), "SELECT name, upper(type) FROM pragma_table_info(?1)", -1, &s, nullptr) !=
        SQLITE_OK) {
      sqlite3_finalize(s);
      return conn.error();
    }
    bind_text(s, 1, address_.table);
    std::string have;
    int columns = 0;
    Stepped stepped;
    while ((stepped = conn.step(s)) == Stepped::Row) {
      if (columns++ > 0) have += ", ";
      have.append(column_bytes(s, 0)).append(" ").append(column_bytes(s, 1));
    }
    sqlite3_finalize(s);
    if (stepped == Stepped::Busy) return TrustError::io(EBUSY);
    if (stepped == Stepped::Failed) return conn.error();
    const std::string want = "entity_id BLOB, entity_type BLOB, record TEXT";
    if (columns > 0) {
      if (have != want) {
        return TrustError::storage("table " + quoted_ + " is not a velk_trust record table: it has (" + have +
                                   "), a record table has (" + want + ")");
      }
      return {};
    }
    if (!create_) return TrustError::storage("no table '" + address_.table + "' in the database");
    // The marks, the table and its index: one transaction, or none of them. Two processes making
    // it at once: the loser looks again.
    const std::string index = quote_identifier(address_.table + "_entity_type");
    const std::string make = "BEGIN IMMEDIATE; PRAGMA application_id = " + std::to_string(kApplicationId) +
                             "; PRAGMA user_version = " + std::to_string(kLayout) + "; CREATE TABLE IF NOT EXISTS " +
                             quoted_ + " (entity_id BLOB PRIMARY KEY NOT NULL, entity_type BLOB NOT NULL, "
                             "record TEXT NOT NULL); CREATE INDEX IF NOT EXISTS " + index + " ON " + quoted_ +
                             " (entity_type, entity_id); COMMIT";
    const Stepped made = conn.exec(make.c_str());
    if (made != Stepped::Done) {
      const TrustError error = made == Stepped::Busy ? TrustError::io(EBUSY) : conn.error();
      if (conn.in_transaction()) (void)conn.exec("ROLLBACK");
      return error;
    }
  }
}

auto SqliteBackend::connect() const -> Result<std::unique_ptr<Connection>> {
  auto conn = Connection::open(target_.path, create_);
  if (!conn) return conn.error();
  const char* sync = target_.synchronous == Synchronous::Full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL";
  if ((*conn)->exec(sync) == Stepped::Failed) return (*conn)->error();
  if (!table_ready_.load(std::memory_order_acquire)) {
    if (auto made = ready(**conn); !made) return made.error();
    table_ready_.store(true, std::memory_order_release);
  }
  if (auto prepared = (*conn)->prepare(sql_); !prepared) return prepared.error();
  return conn;
}

auto SqliteBackend::take() const -> Result<Lease> {
  {
    std::lock_guard hold(backends_lock);
    if (owner_ != ::getpid()) {
      // A parent's connections, in a child of fork: forgotten, never used nor closed here.
      idle_.clear();
      owner_ = ::getpid();
    }
    if (!idle_.empty()) {
      std::unique_ptr<Connection> conn = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(conn));
    }
  }
  auto conn = connect();
  if (!conn) return conn.error();
  return Lease(*this, std::move(*conn));
}

void SqliteBackend::give_back(std::unique_ptr<Connection> conn) const {
  // A statement left on a row holds a snapshot of the log, and a transaction left open (a
  // failure, a body that wrote nothing) its lock: both end here.
  conn->settle();
  if (conn->in_transaction() && conn->exec("ROLLBACK") != Stepped::Done) conn->mark_broken();
  if (!conn->reusable()) return;
  std::lock_guard hold(backends_lock);
  if (owner_ != ::getpid()) return;
  if (idle_.size() < address_.pool_size.value_or(kDefaultPoolSize)) idle_.push_back(std::move(conn));
}

SqliteBackend::Lease::~Lease() {
  if (conn_) backend_->give_back(std::move(conn_));
}

void SqliteBackend::close() const {
  std::vector<std::unique_ptr<Connection>> ending;
  {
    std::lock_guard hold(backends_lock);
    ending.swap(idle_);
  }
}

auto SqliteBackend::row_name(std::string_view entity_id) const -> std::string {
  return address_.table + "/" + std::string(entity_id);
}

auto SqliteBackend::place_of(std::string_view id) const -> Result<Place> { return Place{row_name(id), std::string(id)}; }

template <typename T, typename Body>
auto SqliteBackend::run(Call& cx, Commits commits, Body&& body) const -> Task<Result<T>> {
  // An fsync takes from a fraction of a millisecond to many: neither the interpreter's other
  // threads nor an event loop wait for it. Reads and unsynced commits are too short for a hop.
  const bool away = commits == Commits::Yes && target_.synchronous == Synchronous::Full;
  auto pause = std::chrono::duration_cast<Clock::duration>(kFirstPause);
  for (;;) {
    std::optional<Attempt<T>> outcome;
    {
      auto lease = take();
      if (lease && away) {
        std::exception_ptr thrown;  // carried back to the caller's side, where it is reported
        co_await cx.work([&](Waiter&) {
          try {
            outcome.emplace(body(**lease));
          } catch (...) {
            thrown = std::current_exception();
          }
        });
        if (thrown) std::rethrow_exception(thrown);
      } else if (lease) {
        outcome.emplace(body(**lease));
      } else if (lease.error().os_error() != EBUSY) {
        co_return lease.error();
      }
    }
    if (outcome) {
      if (auto* value = std::get_if<0>(&*outcome)) co_return std::move(*value);
      if (auto* error = std::get_if<2>(&*outcome)) co_return std::move(*error);
    }
    // Another writer holds the lock: waited for here, as long as the call may wait.
    if (cx.deadline() && *cx.deadline() <= Clock::now()) co_return TrustError::storage(cx.timed_out()).as_transient();
    const auto until = Clock::now() + pause / 2 + pause * cx.jitter_permille() / 1000;
    if (co_await cx.sleep(until) == Woken::Interrupted) co_return TrustError::io(EINTR);
    pause = std::min<Clock::duration>(pause * 2, kLongestPause);
  }
}

namespace {

// Steps a statement that gives no rows: true when done. One that commits (a COMMIT, or a write
// outside a transaction) fails with what its failure leaves unknown.
template <typename T>
auto done_or(Connection& conn, sqlite3_stmt* s, std::optional<Attempt<T>>& failed, bool commits = false) -> bool {
  switch (conn.step(s)) {
    case Stepped::Done:
    case Stepped::Row: return true;
    case Stepped::Busy: failed.emplace(Busy{}); return false;
    case Stepped::Failed: failed.emplace(commits ? conn.commit_error() : conn.error()); return false;
  }
  return false;
}
constexpr bool kCommits = true;

// The stored text of id's row, or nothing; or why not.
auto read_row(Connection& conn, std::string_view id) -> Attempt<std::optional<Stored>> {
  sqlite3_stmt* s = conn.statement(Sql::Get);
  if (!bind_blob(s, 1, id)) return conn.error();
  switch (conn.step(s)) {
    case Stepped::Row: return std::optional(stored_of(s, 0));
    case Stepped::Done: return std::optional<Stored>();
    case Stepped::Busy: return Busy{};
    case Stepped::Failed: break;
  }
  return conn.error();
}

auto bind_write(sqlite3_stmt* s, std::string_view id, const Write& write) -> bool {
  return bind_blob(s, 1, id) && bind_blob(s, 2, write.type) && bind_text(s, 3, write.text);
}

}  // namespace

auto SqliteBackend::read(Call& cx, std::string_view id) const -> Task<Result<std::optional<Stored>>> {
  co_return co_await run<std::optional<Stored>>(cx, Commits::No, [&](Connection& conn) { return read_row(conn, id); });
}

auto SqliteBackend::write(Call& cx, std::string_view id, const Write& write) const -> Task<Result<void>> {
  auto saved = co_await run<bool>(cx, Commits::Yes, [&](Connection& conn) -> Attempt<bool> {
    sqlite3_stmt* s = conn.statement(Sql::Save);
    if (!bind_write(s, id, write)) return conn.error();
    std::optional<Attempt<bool>> failed;
    if (!done_or(conn, s, failed, kCommits)) return std::move(*failed);
    return true;
  });
  if (!saved) co_return saved.error();
  co_return Result<void>();
}

auto SqliteBackend::create(Call& cx, std::string_view id, const Write& write) const
    -> Task<Result<std::optional<Stored>>> {
  co_return co_await run<std::optional<Stored>>(cx, Commits::Yes, [&](Connection& conn) -> Attempt<std::optional<Stored>> {
    std::optional<Attempt<std::optional<Stored>>> failed;
    if (!done_or(conn, conn.statement(Sql::Begin), failed)) return std::move(*failed);
    auto there = read_row(conn, id);
    if (auto* stored = std::get_if<0>(&there); stored == nullptr || *stored) return there;  // rolled back
    sqlite3_stmt* s = conn.statement(Sql::Insert);
    if (!bind_write(s, id, write)) return conn.error();
    if (!done_or(conn, s, failed) || !done_or(conn, conn.statement(Sql::Commit), failed, kCommits)) {
      return std::move(*failed);
    }
    return std::optional<Stored>();
  });
}

auto SqliteBackend::remove(Call& cx, std::string_view id) const -> Task<Result<bool>> {
  co_return co_await run<bool>(cx, Commits::Yes, [&](Connection& conn) -> Attempt<bool> {
    sqlite3_stmt* s = conn.statement(Sql::Remove);
    if (!bind_blob(s, 1, id)) return conn.error();
    std::optional<Attempt<bool>> failed;
    if (!done_or(conn, s, failed, kCommits)) return std::move(*failed);
    return sqlite3_changes(conn.handle()) > 0;
  });
}

auto SqliteBackend::exists(Call& cx, std::string_view id) const -> Task<Result<bool>> {
  co_return co_await run<bool>(cx, Commits::No, [&](Connection& conn) -> Attempt<bool> {
    sqlite3_stmt* s = conn.statement(Sql::Exists);
    if (!bind_blob(s, 1, id)) return conn.error();
    switch (conn.step(s)) {
      case Stepped::Row: return true;
      case Stepped::Done: return false;
      case Stepped::Busy: return Busy{};
      case Stepped::Failed: break;
    }
    return conn.error();
  });
}

auto SqliteBackend::transact(Call& cx, std::span<const std::string_view> ids, Change change) const
    -> Task<Result<void>> {
  constexpr std::size_t kMost = 2;
  const std::size_t n = ids.size();
  if (n == 0 || n > kMost) co_return TrustError::storage("a transaction names one or two records");
  auto done = co_await run<bool>(cx, Commits::Yes, [&](Connection& conn) -> Attempt<bool> {
    // The writer's lock first: no other writer comes between the reads and the writes.
    std::optional<Attempt<bool>> failed;
    if (!done_or(conn, conn.statement(Sql::Begin), failed)) return std::move(*failed);
    std::optional<Stored> stored[kMost];
    for (std::size_t k = 0; k < n; ++k) {
      auto there = read_row(conn, ids[k]);
      if (auto* busy = std::get_if<1>(&there)) return *busy;
      if (auto* error = std::get_if<2>(&there)) return std::move(*error);
      stored[k] = std::move(std::get<0>(there));
    }
    std::optional<Write> writes[kMost];
    if (auto changed = change(std::span(stored, n), std::span(writes, n)); !changed) return changed.error();
    bool wrote = false;
    for (std::size_t k = 0; k < n; ++k) {
      if (!writes[k]) continue;
      sqlite3_stmt* s = conn.statement(stored[k] ? Sql::Replace : Sql::Insert);
      if (!bind_write(s, ids[k], *writes[k]) || !done_or(conn, s, failed)) {
        return failed ? std::move(*failed) : Attempt<bool>(conn.error());
      }
      wrote = true;
    }
    if (wrote && !done_or(conn, conn.statement(Sql::Commit), failed, kCommits)) return std::move(*failed);
    return true;  // nothing written: rolled back when the connection is given back
  });
  if (!done) co_return done.error();
  co_return Result<void>();
}

auto SqliteBackend::scan(Call& cx, std::optional<std::string_view> type, Scope, ScanSink& sink) const
    -> Task<Result<void>> {
  // One statement over the rows (a snapshot of the log: writers go on meanwhile), each handed over
  // and decoded as it is read, away from the caller.
  Result<void> scanned;
  auto work = [&](Waiter& waiter) {
    InterruptCheck interrupted(waiter);
    auto pause = std::chrono::duration_cast<Clock::duration>(kFirstPause);
    for (;;) {
      auto lease = take();
      if (!lease) {
        if (lease.error().os_error() != EBUSY) {
          scanned = lease.error();
          return;
        }
      } else {
        Connection& conn = **lease;
        sqlite3_stmt* s = conn.statement(type ? Sql::OfType : Sql::All);
        if (type && !bind_blob(s, 1, *type)) {
          scanned = conn.error();
          return;
        }
        std::size_t handed = 0;
        Stepped stepped;
        while ((stepped = conn.step(s)) == Stepped::Row) {
          if (interrupted()) {
            scanned = TrustError::io(EINTR);
            return;
          }
          const std::string_view key = column_bytes(s, 0);
          Entry entry{Entry::Shape::Record, Place{row_name(key), std::string(key)}, stored_of(s, 1)};
          if (auto taken = sink.take(handed++, std::move(entry)); !taken) {
            scanned = taken;
            return;
          }
        }
        sqlite3_reset(s);
        if (stepped == Stepped::Done) {
          sink.finish();
          return;
        }
        // Busy before the first row only (a reader waits for no writer in the log's mode, but for
        // a file's recovery): tried again below.
        if (stepped == Stepped::Failed || handed > 0) {
          scanned = conn.error();
          return;
        }
      }
      if (cx.deadline() && *cx.deadline() <= Clock::now()) {
        scanned = TrustError::storage(cx.timed_out()).as_transient();
        return;
      }
      if (waiter.interrupted()) {
        scanned = TrustError::io(EINTR);
        return;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min<Clock::duration>(pause * 2, kLongestPause);
    }
  };
  co_await cx.work(work);
  co_return scanned;
}

}  // namespace velk::lite
