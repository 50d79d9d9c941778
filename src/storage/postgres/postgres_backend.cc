// A table's primitives: each is one round trip, or two for a transaction (lock, then write and
// commit).
#include "storage/postgres/postgres_backend.h"

#include <cerrno>
#include <cstdlib>
#include <variant>

#include "storage/postgres/conninfo.h"
#include "storage/record/digest.h"
#include "storage/record/text_bytes.h"

namespace velk::pg {
namespace {

// How often a call is tried in all before failures that trying again may mend end it.
constexpr int kMaxAttempts = 10;
// Identifiers up to this many bytes are their own key.
constexpr std::size_t kMaxPlainKey = 256;
// The server cuts longer identifiers short (NAMEDATALEN - 1).
constexpr std::size_t kMaxIdentifier = 63;
// The version marker of the table's layout, its comment; a later layout is refused, not misread.
constexpr std::string_view kLayoutMarker = "velk_trust records, layout ";
constexpr std::string_view kLayout = "1";

// Rows a listing reads in one round trip: its memory stays near its result's, whatever the table's
// size.
constexpr int kChunk = 1000;

// The value of one attempt: done, a failed batch, or an error that ends the call.
template <typename T>
using Attempt = std::variant<T, Failure, TrustError>;

auto rows_of(const Reply& reply) -> int { return PQntuples(reply.get()); }

// A row's record as the statements below select it: its size, and its text only when within the
// limit (a larger one never crosses the network).
constexpr std::string_view kSizedRecord = "octet_length(record), CASE WHEN octet_length(record) <= 67108864 THEN record END";
static_assert(kMaxRecordBytes == 67108864);

// The record of row r whose size and text stand in columns column and column + 1.
auto stored_of(const Reply& reply, int r, int column) -> Stored {
  if (PQgetisnull(reply.get(), r, column + 1)) {
    // The size in binary format: a 4-byte integer in network order.
    const auto size = cell(reply, r, column);
    std::uint64_t n = 0;
    for (const char c : size) n = (n << 8) | static_cast<unsigned char>(c);
    return Stored{{}, n};
  }
  return Stored{std::string(cell(reply, r, column + 1))};
}

// What a create-if-absent found: made, or the text of a row there, or a row that was there and
// is gone again (another client made and removed it meanwhile).
struct Found {
  bool made = false;
  std::optional<Stored> stored;
};

}  // namespace

auto row_key(std::string_view entity_id) -> Result<std::string> {
  if (entity_id.size() <= kMaxPlainKey) return std::string(entity_id);
  const auto digest = sha256_of(entity_id);
  if (!digest) return digest.error();
  std::string key(1, '\xff');
  key.append(reinterpret_cast<const char*>(digest->data()), digest->size());
  return key;
}

PostgresBackend::PostgresBackend(Address address, bool create)
    : address_(std::move(address)), quoted_(quote_identifier(address_.table)), create_(create) {
  const std::string& t = quoted_;
  const std::string sized(kSizedRecord);
  const std::string chunk = std::to_string(kChunk);
  // Named after the table and the layout: stores on other tables (or of another layout) behind one
  // pooler never share a name, so a statement run on the wrong server session fails with "does
  // not exist" instead of touching another table.
  const auto digest = sha256_of("layout " + std::string(kLayout) + " " + t);
  char hex[25] = {};
  if (digest) write_hex(digest->data(), 12, hex);
  const std::string prefix = "velk_" + std::string(hex) + "_";
  const std::pair<Sql, std::pair<const char*, std::string>> sql[] = {
      {Sql::Get, {"get", "SELECT " + sized + " FROM " + t + " WHERE key = $1"}},
      {Sql::Create, {"create", "INSERT INTO " + t + " (key, entity_id, entity_type, record) VALUES ($1, $2, $3, $4) "
                               "ON CONFLICT (key) DO NOTHING RETURNING key"}},
      {Sql::Save, {"save", "INSERT INTO " + t + " (key, entity_id, entity_type, record) VALUES ($1, $2, $3, $4) "
                           "ON CONFLICT (key) DO UPDATE SET entity_id = EXCLUDED.entity_id, "
                           "entity_type = EXCLUDED.entity_type, record = EXCLUDED.record"}},
      {Sql::Insert, {"insert", "INSERT INTO " + t + " (key, entity_id, entity_type, record) VALUES ($1, $2, $3, $4)"}},
      {Sql::Replace, {"replace", "UPDATE " + t + " SET entity_type = $2, record = $3 WHERE key = $1"}},
      {Sql::Lock, {"lock", "SELECT key, " + sized + " FROM " + t + " WHERE key = $1 FOR UPDATE"}},
      {Sql::LockPair, {"lock_pair", "SELECT key, " + sized + " FROM " + t +
                                    " WHERE key = $1 OR key = $2 ORDER BY key FOR UPDATE"}},
      {Sql::Remove, {"delete", "DELETE FROM " + t + " WHERE key = $1"}},
      {Sql::Exists, {"exists", "SELECT 1 FROM " + t + " WHERE key = $1"}},
      {Sql::First, {"first", "SELECT key, entity_id, " + sized + " FROM " + t + " ORDER BY key LIMIT " + chunk}},
      {Sql::After, {"after", "SELECT key, entity_id, " + sized + " FROM " + t + " WHERE key > $1 ORDER BY key LIMIT " +
                             chunk}},
      {Sql::FirstOfType, {"first_of_type", "SELECT key, entity_id, " + sized + " FROM " + t +
                                           " WHERE entity_type = $1 ORDER BY key LIMIT " + chunk}},
      {Sql::AfterOfType, {"after_of_type", "SELECT key, entity_id, " + sized + " FROM " + t +
                                           " WHERE entity_type = $1 AND key > $2 ORDER BY key LIMIT " + chunk}},
  };
  for (const auto& [which, text] : sql) statements_[static_cast<std::size_t>(which)] = {prefix + text.first, text.second};
  pool_ = std::make_unique<Pool>(address_.where, address_.pool_size.value_or(kDefaultPoolSize),
                                 [this](Call& cx, Connection& conn) -> Task<Result<void>> {
    if (!table_ready_.load(std::memory_order_acquire)) {
      if (auto ready = co_await ready_table(cx, conn); !ready) co_return ready;
      table_ready_.store(true, std::memory_order_release);
    }
    if (whole_.load(std::memory_order_relaxed)) co_return Result<void>();
    auto prepared = co_await conn.prepare(cx, statements_);
    if (!prepared) {
      // The server session has our statements already (a pooler handed it to us after another of
      // this store's sessions): a pooler in transaction mode.
      if (prepared.failure->kind == Failure::Kind::Server && prepared.failure->sqlstate == "42P05") {
        whole_.store(true, std::memory_order_relaxed);
        co_return Result<void>();
      }
      auto error = TrustError::storage(prepared.failure->message);
      if (prepared.failure->transient()) error.as_transient();
      co_return error;
    }
    co_return Result<void>();
  });
}

auto PostgresBackend::open(Call& cx, Address address, bool create) -> Task<Result<std::unique_ptr<const Backend>>> {
  const std::string& table = address.table;
  if (table.empty()) co_return TrustError::storage("the table name is empty");
  if (table.find('\0') != std::string::npos) co_return TrustError::storage("the table name holds a NUL byte");
  if (table.size() > kMaxIdentifier) {
    co_return TrustError::storage("the table name '" + table + "' is " + std::to_string(table.size()) +
                                  " bytes; the server keeps only " + std::to_string(kMaxIdentifier));
  }
  std::unique_ptr<PostgresBackend> backend(new PostgresBackend(std::move(address), create));
  // A first session now: an unreachable server or a table of another shape fails here, not later.
  auto first = co_await backend->pool_->take(cx);
  if (!first) co_return first.error();
  co_return std::unique_ptr<const Backend>(backend.release());
}

auto PostgresBackend::ready_table(Call& cx, Connection& conn) const -> Task<Result<void>> {
  const Step shape[] = {Step::sql(
      "SELECT a.attname::text, format_type(a.atttypid, a.atttypmod), obj_description(c.oid, 'pg_class') "
      "FROM pg_class c JOIN pg_attribute a ON a.attrelid = c.oid "
      "WHERE c.oid = to_regclass($1) AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum",
      std::string_view(quoted_))};
  const std::string& table = address_.table;
  std::string index = table + "_entity_type";
  if (index.size() > kMaxIdentifier) index = "velk_trust_entity_type_" + std::to_string(std::hash<std::string>{}(table));
  const std::string create_table = "CREATE TABLE IF NOT EXISTS " + quoted_ +
                                   " (key bytea PRIMARY KEY, entity_id bytea NOT NULL, entity_type bytea NOT NULL, "
                                   "record text NOT NULL)";
  const std::string create_index = "CREATE INDEX IF NOT EXISTS " + quote_identifier(index) + " ON " + quoted_ +
                                   " (entity_type)";
  const std::string comment = "COMMENT ON TABLE " + quoted_ + " IS '" + std::string(kLayoutMarker) +
                              std::string(kLayout) + "'";
  for (int attempt = 0;; ++attempt) {
    auto found = co_await conn.exchange(cx, shape, Interruption::Ends);
    if (!found) co_return TrustError::storage(found.failure->message);
    const Reply& columns = found.replies[0];
    if (rows_of(columns) == 0) {
      if (!create_) co_return TrustError::storage("no table '" + table + "' in the database");
      // One implicit transaction: the table, its index and its marker, or none of them. Two
      // processes creating it at once: the loser looks again.
      const Step create[] = {Step::sql(create_table.c_str()), Step::sql(create_index.c_str()),
                             Step::sql(comment.c_str())};
      auto made = co_await conn.exchange(cx, create, Interruption::Ends);
      if (!made && !(made.failure->retryable() && attempt < 3)) co_return TrustError::storage(made.failure->message);
      continue;
    }
    std::string have, want = "key bytea, entity_id bytea, entity_type bytea, record text";
    for (int r = 0; r < rows_of(columns); ++r) {
      if (r > 0) have += ", ";
      have.append(cell(columns, r, 0)).append(" ").append(cell(columns, r, 1));
    }
    if (have != want) {
      co_return TrustError::storage("table " + quoted_ + " is not a velk_trust record table: it has (" + have +
                                    "), a record table has (" + want + ")");
    }
    const std::string_view marker = PQgetisnull(columns.get(), 0, 2) ? "" : cell(columns, 0, 2);
    if (marker.starts_with(kLayoutMarker) && marker.substr(kLayoutMarker.size()) != kLayout) {
      co_return TrustError::storage("table " + quoted_ + " holds records in layout " +
                                    std::string(marker.substr(kLayoutMarker.size())) +
                                    "; this release reads layout " + std::string(kLayout));
    }
    co_return Result<void>();
  }
}

auto PostgresBackend::shown_address() const -> std::string { return without_secrets(address_.where); }

auto PostgresBackend::row_name(std::string_view entity_id) const -> std::string {
  return address_.table + "/" + std::string(entity_id);
}

auto PostgresBackend::place_of(std::string_view id) const -> Result<Place> {
  auto key = row_key(id);
  if (!key) return key.error();
  return Place{row_name(id), std::move(*key)};
}

template <typename T, typename Body>
auto PostgresBackend::run(Call& cx, Body&& body) const -> Task<Result<T>> {
  std::string last;
  bool lost_once = false;
  for (int attempt = 1;; ++attempt) {
    // A pooled session that died while idle (a server restart) is seen and replaced here.
    auto lease = co_await pool_->take(cx);
    if (!lease) co_return lease.error();
    Connection& conn = **lease;
    const bool whole = whole_.load(std::memory_order_relaxed);
    conn.send_whole(whole);
    Attempt<T> outcome = co_await body(conn);
    // A body that decided to write nothing leaves its transaction to be ended here, as does a
    // failure; a call that ran out of time, or was stopped, drops the session instead (the
    // server rolls it back).
    if (conn.in_transaction()) {
      if (cx.stopping() || (cx.deadline() && *cx.deadline() <= Clock::now())) {
        conn.drop();
      } else {
        const Step rollback[] = {Step::sql("ROLLBACK")};
        (void)co_await conn.exchange(cx, rollback, Interruption::Ends);
      }
    }
    if (auto* value = std::get_if<0>(&outcome)) co_return std::move(*value);
    if (auto* error = std::get_if<2>(&outcome)) co_return std::move(*error);
    Failure& failure = std::get<1>(outcome);
    const std::string unknown = failure.during_commit ? "; the change may or may not have been made" : "";
    switch (failure.kind) {
      case Failure::Kind::Interrupted: {
        auto error = TrustError::io(EINTR);
        if (failure.during_commit) error.as_outcome_unknown();
        co_return error;
      }
      case Failure::Kind::TimedOut: {
        auto error = TrustError::storage(cx.timed_out() + unknown).as_transient();
        if (failure.during_commit) error.as_outcome_unknown();
        co_return error;
      }
      case Failure::Kind::Lost:
        if (failure.during_commit) {
          co_return TrustError::storage(
              "the connection to the database was lost before the commit's outcome was known; the change may "
              "or may not have been made: " + failure.message)
              .as_transient()
              .as_outcome_unknown();
        }
        // Nothing of the call reached its end: once more, on a new session.
        if (!lost_once) {
          lost_once = true;
          continue;
        }
        co_return TrustError::storage("the connection to the database was lost: " + failure.message).as_transient();
      case Failure::Kind::Server:
        // A pooler gave this attempt a server session without our statements: from now on every
        // call of this store sends its statements whole (other calls may have met it meanwhile).
        if (failure.statement_missing() && !whole) {
          whole_.store(true, std::memory_order_relaxed);
          continue;
        }
        if (!failure.retryable()) {
          auto error = TrustError::storage(failure.message);
          if (failure.transient()) error.as_transient();
          co_return error;
        }
        last = std::move(failure.message);
        break;
    }
    if (attempt == kMaxAttempts) break;
    // Conflicts with other clients: tried again a little later each time, at a moment of its own.
    const auto pause = std::chrono::milliseconds(std::min(200, 5 << std::min(attempt, 6)));
    const auto until = Clock::now() + pause / 2 + pause * cx.jitter_permille() / 1000;
    const Woken woken = co_await cx.sleep(until);
    if (woken == Woken::Interrupted) co_return TrustError::io(EINTR);
    if (cx.deadline() && *cx.deadline() <= Clock::now()) {
      co_return TrustError::storage(cx.timed_out() + " after " + std::to_string(attempt) + " attempts: " + last)
          .as_transient();
    }
  }
  co_return TrustError::storage("gave up after " + std::to_string(kMaxAttempts) + " attempts: " + last).as_transient();
}

auto PostgresBackend::read(Call& cx, std::string_view id) const -> Task<Result<std::optional<Stored>>> {
  const auto key = row_key(id);
  if (!key) co_return key.error();
  auto body = [&](Connection& conn) -> Task<Attempt<std::optional<Stored>>> {
    const Step read[] = {Step::call(statement(Sql::Get), *key)};
    auto found = co_await conn.exchange(cx, read, Interruption::Ends);
    if (!found) co_return *found.failure;
    if (rows_of(found.replies[0]) == 0) co_return std::optional<Stored>();
    co_return std::optional(stored_of(found.replies[0], 0, 0));
  };
  co_return co_await run<std::optional<Stored>>(cx, body);
}

auto PostgresBackend::write(Call& cx, std::string_view id, const Write& write) const -> Task<Result<void>> {
  const auto key = row_key(id);
  if (!key) co_return key.error();
  auto body = [&](Connection& conn) -> Task<Attempt<bool>> {
    const Step save[] = {Step::call(statement(Sql::Save), *key, id, write.type, write.text)};
    auto done = co_await conn.exchange(cx, save, Interruption::AfterGrace);
    if (!done) co_return std::move(*done.failure).committing();
    co_return true;
  };
  auto saved = co_await run<bool>(cx, body);
  if (!saved) co_return saved.error();
  co_return Result<void>();
}

auto PostgresBackend::create(Call& cx, std::string_view id, const Write& write) const
    -> Task<Result<std::optional<Stored>>> {
  const auto key = row_key(id);
  if (!key) co_return key.error();
  // The insert and, should a row be there, its read: one implicit transaction, one round trip.
  auto body = [&](Connection& conn) -> Task<Attempt<Found>> {
    const Step steps[] = {Step::call(statement(Sql::Create), *key, id, write.type, write.text),
                          Step::call(statement(Sql::Get), *key)};
    auto done = co_await conn.exchange(cx, steps, Interruption::AfterGrace);
    if (!done) co_return std::move(*done.failure).committing();
    if (rows_of(done.replies[0]) > 0) co_return Found{true, std::nullopt};
    if (rows_of(done.replies[1]) == 0) co_return Found{};
    co_return Found{false, stored_of(done.replies[1], 0, 0)};
  };
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    auto found = co_await run<Found>(cx, body);
    if (!found) co_return found.error();
    if (found->made) co_return std::optional<Stored>();
    if (found->stored) co_return std::move(found->stored);
    // Made and removed by others between the insert's look and the read: tried again.
  }
  co_return TrustError::storage("gave up after " + std::to_string(kMaxAttempts) +
                                " attempts: another client made and removed the record each time");
}

auto PostgresBackend::remove(Call& cx, std::string_view id) const -> Task<Result<bool>> {
  const auto key = row_key(id);
  if (!key) co_return key.error();
  auto body = [&](Connection& conn) -> Task<Attempt<bool>> {
    const Step remove[] = {Step::call(statement(Sql::Remove), *key)};
    auto done = co_await conn.exchange(cx, remove, Interruption::AfterGrace);
    if (!done) co_return std::move(*done.failure).committing();
    co_return std::atoi(PQcmdTuples(done.replies[0].get())) > 0;
  };
  co_return co_await run<bool>(cx, body);
}

auto PostgresBackend::exists(Call& cx, std::string_view id) const -> Task<Result<bool>> {
  const auto key = row_key(id);
  if (!key) co_return key.error();
  auto body = [&](Connection& conn) -> Task<Attempt<bool>> {
    const Step look[] = {Step::call(statement(Sql::Exists), *key)};
    auto found = co_await conn.exchange(cx, look, Interruption::Ends);
    if (!found) co_return *found.failure;
    co_return rows_of(found.replies[0]) > 0;
  };
  co_return co_await run<bool>(cx, body);
}

auto PostgresBackend::transact(Call& cx, std::span<const std::string_view> ids, Change change) const
    -> Task<Result<void>> {
  constexpr std::size_t kMost = 2;
  const std::size_t n = ids.size();
  if (n == 0 || n > kMost) co_return TrustError::storage("a transaction names one or two records");
  std::string keys[kMost];
  for (std::size_t k = 0; k < n; ++k) {
    auto key = row_key(ids[k]);
    if (!key) co_return key.error();
    keys[k] = std::move(*key);
  }
  auto body = [&](Connection& conn) -> Task<Attempt<bool>> {
    // Two rows are locked in key order by one statement, so crossed pairs cannot deadlock.
    const Step lock[] = {Step::sql("BEGIN"), n == 1 ? Step::call(statement(Sql::Lock), keys[0])
                                                    : Step::call(statement(Sql::LockPair), keys[0], keys[1])};
    auto locked = co_await conn.exchange(cx, lock, Interruption::Ends);
    if (!locked) co_return *locked.failure;
    const Reply& rows = locked.replies[1];
    std::optional<Stored> stored[kMost];
    for (int r = 0; r < rows_of(rows); ++r) {
      for (std::size_t k = 0; k < n; ++k) {
        if (cell(rows, r, 0) == keys[k]) stored[k] = stored_of(rows, r, 1);
      }
    }
    std::optional<Write> writes[kMost];
    if (auto changed = change(std::span(stored, n), std::span(writes, n)); !changed) co_return changed.error();
    std::vector<Step> steps;
    for (std::size_t k = 0; k < n; ++k) {
      if (!writes[k]) continue;
      // An UPDATE of the locked row, or an INSERT where there was none (which fails, and so ends
      // the attempt, when another client made the row meanwhile).
      steps.push_back(stored[k] ? Step::call(statement(Sql::Replace), keys[k], writes[k]->type, writes[k]->text)
                                : Step::call(statement(Sql::Insert), keys[k], ids[k], writes[k]->type, writes[k]->text));
    }
    if (steps.empty()) co_return true;  // nothing to write: rolled back
    steps.push_back(Step::sql("COMMIT"));
    auto done = co_await conn.exchange(cx, steps, Interruption::AfterGrace);
    if (!done) co_return std::move(*done.failure).committing();
    co_return true;
  };
  auto done = co_await run<bool>(cx, body);
  if (!done) co_return done.error();
  co_return Result<void>();
}

auto PostgresBackend::scan(Call& cx, std::optional<std::string_view> type, Scope, ScanSink& sink) const
    -> Task<Result<void>> {
  // A chunk at a time in key order, each a statement of its own (no transaction stays open, which
  // a pooler in transaction mode serves), decoded away from the caller before the next is read.
  std::optional<std::string> after;
  std::size_t handed = 0;
  for (;;) {
    auto body = [&](Connection& conn) -> Task<Attempt<Reply>> {
      Step step;
      if (type) {
        step = after ? Step::call(statement(Sql::AfterOfType), *type, *after) : Step::call(statement(Sql::FirstOfType), *type);
      } else {
        step = after ? Step::call(statement(Sql::After), *after) : Step::call(statement(Sql::First));
      }
      const Step steps[] = {step};
      auto found = co_await conn.exchange(cx, steps, Interruption::Ends);
      if (!found) co_return *found.failure;
      co_return std::move(found.replies[0]);
    };
    auto rows = co_await run<Reply>(cx, body);
    if (!rows) co_return rows.error();
    const int count = rows_of(*rows);
    Result<void> taken;
    auto hand_over = [&](Waiter&) {
      for (int r = 0; r < count; ++r) {
        Entry entry{Entry::Shape::Record, Place{row_name(cell(*rows, r, 1)), std::string(cell(*rows, r, 0))},
                    stored_of(*rows, r, 2)};
        if (taken = sink.take(handed++, std::move(entry)); !taken) return;
      }
      if (count < kChunk) sink.finish();
    };
    co_await cx.work(hand_over);
    if (!taken) co_return taken;
    if (count < kChunk) co_return Result<void>();
    after = std::string(cell(*rows, count - 1, 0));
  }
}

}  // namespace velk::pg
