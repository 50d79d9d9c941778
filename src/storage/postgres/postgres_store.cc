// Store operations on rows: each is one round trip, or two for the transactions (lock, then write
// and commit).
#include "storage/postgres/postgres_store.h"

#include <cerrno>
#include <cstdlib>
#include <variant>

#include "storage/digest.h"
#include "storage/file/record_json.h"

namespace velk::pg {
namespace {

// How often a call is tried in all before a serialization failure or deadlock ends it.
constexpr int kMaxAttempts = 10;
// Identifiers up to this many bytes are their own key.
constexpr std::size_t kMaxPlainKey = 256;
// The server cuts longer identifiers short (NAMEDATALEN - 1).
constexpr std::size_t kMaxIdentifier = 63;
// The version marker of the table's layout, its comment; a later layout is refused, not misread.
constexpr std::string_view kLayoutMarker = "velk_trust records, layout ";
constexpr std::string_view kLayout = "1";

// The value of one attempt: done, a failed batch, or an error that ends the call.
template <typename T>
using Attempt = std::variant<T, Failure, TrustError>;

template <typename T>
auto attempt_of(Result<T>&& result) -> Attempt<T> {
  if (result) return std::move(*result);
  return result.error();
}

auto rows_of(const Reply& reply) -> int { return PQntuples(reply.get()); }

auto committing(Failure failure) -> Failure {
  failure.during_commit = true;
  return failure;
}

auto parse_text(std::string_view text) -> Result<EntityTrust> { return parse_record(text, Timestamp::now()); }

}  // namespace

auto row_key(std::string_view entity_id) -> Result<std::string> {
  if (entity_id.size() <= kMaxPlainKey) return std::string(entity_id);
  const auto digest = sha256_of(entity_id);
  if (!digest) return digest.error();
  std::string key(1, '\xff');
  key.append(reinterpret_cast<const char*>(digest->data()), digest->size());
  return key;
}

auto quote_identifier(std::string_view name) -> std::string {
  std::string quoted = "\"";
  for (const char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

auto without_password(std::string_view url) -> std::string {
  std::string out;
  const bool uri = url.starts_with("postgresql://") || url.starts_with("postgres://");
  if (uri) {
    const auto scheme_end = url.find("://") + 3;
    const auto query = url.find('?', scheme_end);
    const auto authority_end = std::min(url.find('/', scheme_end), query);
    const std::string_view authority = url.substr(scheme_end, authority_end - scheme_end);
    out.append(url.substr(0, scheme_end));
    const auto at = authority.rfind('@');
    if (at != std::string_view::npos && authority.substr(0, at).find(':') != std::string_view::npos) {
      out.append(authority.substr(0, authority.find(':'))).append(":***").append(authority.substr(at));
    } else {
      out.append(authority);
    }
    if (query == std::string_view::npos) {
      out.append(url.substr(authority_end == std::string_view::npos ? url.size() : authority_end));
      return out;
    }
    out.append(url.substr(authority_end, query + 1 - authority_end));
    std::string_view params = url.substr(query + 1);
    for (bool first = true; !params.empty() || first; first = false) {
      const auto amp = params.find('&');
      const std::string_view param = params.substr(0, amp);
      if (!first) out += '&';
      out.append(param.starts_with("password=") ? "password=***" : param);
      if (amp == std::string_view::npos) break;
      params.remove_prefix(amp + 1);
    }
    return out;
  }
  // key = value pairs; a value is bare up to white space, or quoted with '' and backslash escapes.
  std::size_t k = 0;
  while (k < url.size()) {
    const auto key_start = k;
    while (k < url.size() && url[k] != '=' && url[k] != ' ' && url[k] != '\t' && url[k] != '\n') ++k;
    const std::string_view key = url.substr(key_start, k - key_start);
    while (k < url.size() && (url[k] == ' ' || url[k] == '\t' || url[k] == '\n')) ++k;
    if (k >= url.size() || url[k] != '=') {
      out.append(url.substr(key_start, k - key_start));
      continue;
    }
    ++k;
    while (k < url.size() && (url[k] == ' ' || url[k] == '\t' || url[k] == '\n')) ++k;
    const auto value_start = k;
    if (k < url.size() && url[k] == '\'') {
      for (++k; k < url.size() && url[k] != '\''; ++k) {
        if (url[k] == '\\') ++k;
      }
      if (k < url.size()) ++k;
    } else {
      while (k < url.size() && url[k] != ' ' && url[k] != '\t' && url[k] != '\n') ++k;
    }
    out.append(url.substr(key_start, value_start - key_start));
    out.append(key == "password" ? "***" : url.substr(value_start, k - value_start));
    while (k < url.size() && (url[k] == ' ' || url[k] == '\t' || url[k] == '\n')) out += url[k++];
  }
  return out;
}

PostgresStore::PostgresStore(std::string url, std::string table)
    : table_(std::move(table)), quoted_(quote_identifier(table_)) {
  const std::string& t = quoted_;
  statements_ = {
      {"velk_get", "SELECT record FROM " + t + " WHERE key = $1"},
      {"velk_create", "INSERT INTO " + t + " (key, entity_id, entity_type, record) VALUES ($1, $2, $3, $4) "
                      "ON CONFLICT (key) DO NOTHING RETURNING key"},
      {"velk_save", "INSERT INTO " + t + " (key, entity_id, entity_type, record) VALUES ($1, $2, $3, $4) "
                    "ON CONFLICT (key) DO UPDATE SET entity_id = EXCLUDED.entity_id, "
                    "entity_type = EXCLUDED.entity_type, record = EXCLUDED.record"},
      {"velk_insert", "INSERT INTO " + t + " (key, entity_id, entity_type, record) VALUES ($1, $2, $3, $4)"},
      {"velk_replace", "UPDATE " + t + " SET entity_type = $2, record = $3 WHERE key = $1"},
      {"velk_lock", "SELECT key, record FROM " + t + " WHERE key = $1 FOR UPDATE"},
      {"velk_lock_pair", "SELECT key, record FROM " + t + " WHERE key = $1 OR key = $2 ORDER BY key FOR UPDATE"},
      {"velk_delete", "DELETE FROM " + t + " WHERE key = $1"},
      {"velk_exists", "SELECT 1 FROM " + t + " WHERE key = $1"},
      {"velk_all", "SELECT key, entity_id, record FROM " + t},
      {"velk_kind", "SELECT key, entity_id, record FROM " + t + " WHERE entity_type = $1"},
  };
  pool_ = std::make_unique<Pool>(std::move(url), [this](Connection& conn, Waiter& waiter) -> Result<void> {
    if (!table_ready_.load(std::memory_order_acquire)) {
      if (auto ready = ready_table(conn, waiter); !ready) return ready;
      table_ready_.store(true, std::memory_order_release);
    }
    auto prepared = conn.prepare(statements_, waiter);
    if (!prepared) return TrustError::storage(prepared.failure->message);
    return {};
  });
}

auto PostgresStore::open(std::string url, std::string table, Waiter& waiter) -> Result<std::unique_ptr<const Store>> {
  if (table.empty()) return TrustError::storage("the table name is empty");
  if (table.find('\0') != std::string::npos) return TrustError::storage("the table name holds a NUL byte");
  if (table.size() > kMaxIdentifier) {
    return TrustError::storage("the table name '" + table + "' is " + std::to_string(table.size()) +
                               " bytes; the server keeps only " + std::to_string(kMaxIdentifier));
  }
  std::unique_ptr<PostgresStore> store(new PostgresStore(std::move(url), std::move(table)));
  // A first session now: an unreachable server or a table of another shape fails here, not later.
  auto first = store->pool_->take(waiter);
  if (!first) return first.error();
  return std::unique_ptr<const Store>(store.release());
}

auto PostgresStore::ready_table(Connection& conn, Waiter& waiter) const -> Result<void> {
  const Step shape[] = {Step::sql(
      "SELECT a.attname::text, format_type(a.atttypid, a.atttypmod), obj_description(c.oid, 'pg_class') "
      "FROM pg_class c JOIN pg_attribute a ON a.attrelid = c.oid "
      "WHERE c.oid = to_regclass($1) AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum",
      std::string_view(quoted_))};
  std::string index = table_ + "_entity_type";
  if (index.size() > kMaxIdentifier) index = "velk_trust_entity_type_" + std::to_string(std::hash<std::string>{}(table_));
  const std::string create_table = "CREATE TABLE IF NOT EXISTS " + quoted_ +
                                   " (key bytea PRIMARY KEY, entity_id bytea NOT NULL, entity_type bytea NOT NULL, "
                                   "record text NOT NULL)";
  const std::string create_index = "CREATE INDEX IF NOT EXISTS " + quote_identifier(index) + " ON " + quoted_ +
                                   " (entity_type)";
  const std::string comment = "COMMENT ON TABLE " + quoted_ + " IS '" + std::string(kLayoutMarker) +
                              std::string(kLayout) + "'";
  for (int attempt = 0;; ++attempt) {
    auto found = conn.exchange(shape, waiter, true);
    if (!found) return TrustError::storage(found.failure->message);
    const Reply& columns = found.replies[0];
    if (rows_of(columns) == 0) {
      // One implicit transaction: the table, its index and its marker, or none of them. Two
      // processes creating it at once: the loser looks again.
      const Step create[] = {Step::sql(create_table.c_str()), Step::sql(create_index.c_str()),
                             Step::sql(comment.c_str())};
      auto made = conn.exchange(create, waiter, true);
      if (!made && !(made.failure->retryable() && attempt < 3)) return TrustError::storage(made.failure->message);
      continue;
    }
    std::string have, want = "key bytea, entity_id bytea, entity_type bytea, record text";
    for (int r = 0; r < rows_of(columns); ++r) {
      if (r > 0) have += ", ";
      have.append(cell(columns, r, 0)).append(" ").append(cell(columns, r, 1));
    }
    if (have != want) {
      return TrustError::storage("table " + quoted_ + " is not a velk_trust record table: it has (" + have +
                                 "), a record table has (" + want + ")");
    }
    const std::string_view marker = PQgetisnull(columns.get(), 0, 2) ? "" : cell(columns, 0, 2);
    if (marker.starts_with(kLayoutMarker) && marker.substr(kLayoutMarker.size()) != kLayout) {
      return TrustError::storage("table " + quoted_ + " holds records in layout " +
                                 std::string(marker.substr(kLayoutMarker.size())) + "; this release reads layout " +
                                 std::string(kLayout));
    }
    return {};
  }
}

auto PostgresStore::repr() const -> std::string {
  return "TrustStore.connect('" + without_password(pool_->url()) + "', table='" + table_ + "')";
}

auto PostgresStore::row_name(std::string_view entity_id) const -> std::string {
  return table_ + "/" + std::string(entity_id);
}

template <typename T, typename Body>
auto PostgresStore::run(Waiter& waiter, Body&& body) const -> Result<T> {
  std::string last;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    // A pooled session that died while idle (a server restart) is seen here and replaced; one
    // lost once the call has begun fails the call, which may have waited on the server a while.
    auto lease = pool_->take(waiter);
    if (!lease) return lease.error();
    Connection& conn = **lease;
    Attempt<T> outcome = body(conn);
    // A body that decided to write nothing leaves its transaction to be ended here, as does a
    // failure.
    if (conn.in_transaction()) {
      const Step rollback[] = {Step::sql("ROLLBACK")};
      (void)conn.exchange(rollback, waiter, false);
    }
    if (auto* value = std::get_if<0>(&outcome)) return std::move(*value);
    if (auto* error = std::get_if<2>(&outcome)) return std::move(*error);
    Failure& failure = std::get<1>(outcome);
    switch (failure.kind) {
      case Failure::Kind::Interrupted:
        return TrustError::io(EINTR);
      case Failure::Kind::Lost:
        if (failure.during_commit) {
          return TrustError::storage(
              "the connection to the database was lost before the commit's outcome was known; the change may "
              "or may not have been made: " + failure.message);
        }
        return TrustError::storage("the connection to the database was lost: " + failure.message);
      case Failure::Kind::Server:
        if (!failure.retryable()) return TrustError::storage(failure.message);
        last = std::move(failure.message);
        continue;
    }
  }
  return TrustError::storage("gave up after " + std::to_string(kMaxAttempts) + " attempts: " + last);
}

namespace {

// The record of a locked row (or a new one when there is none); Storage when the row holds another
// entity's record.
auto load_locked(std::string_view entity_id, const Reply& rows, std::string_view key, const std::string& name)
    -> Result<std::optional<EntityTrust>> {
  for (int r = 0; r < rows_of(rows); ++r) {
    if (cell(rows, r, 0) != key) continue;
    auto record = parse_text(cell(rows, r, 1));
    if (!record) return record.error();
    if (record->entity_id != entity_id) {
      return TrustError::storage("row '" + name + "' holds the record of '" + record->entity_id + "', not of '" +
                                 std::string(entity_id) + "'");
    }
    return std::optional(std::move(*record));
  }
  return std::optional<EntityTrust>();
}

// The step that writes a record at key: UPDATE of the locked row, or INSERT where there was none
// (which fails, and so ends the attempt, when another client made the row meanwhile).
auto write_step(bool existed, const std::string& key, const EntityTrust& record, const std::string& text) -> Step {
  if (existed) return Step::call("velk_replace", key, record.entity_type, text);
  return Step::call("velk_insert", key, record.entity_id, record.entity_type, text);
}

// The writes and COMMIT in one round trip: nothing, or the failure, marked as carrying a commit.
auto commit(Connection& conn, Waiter& waiter, std::span<const Step> writes) -> std::optional<Failure> {
  auto done = conn.exchange(writes, waiter, false);
  if (!done) return committing(*done.failure);
  return std::nullopt;
}

// An attempt's failure, for an attempt of another value type.
template <typename T, typename U>
auto failed(Attempt<U>&& attempt) -> Attempt<T> {
  if (auto* failure = std::get_if<1>(&attempt)) return std::move(*failure);
  return std::get<2>(std::move(attempt));
}

// Opens a transaction and locks the identifier's row: its record, or none when there is no row.
auto lock_record(Connection& conn, Waiter& waiter, std::string_view entity_id, const std::string& key,
                 const std::string& name) -> Attempt<std::optional<EntityTrust>> {
  const Step lock[] = {Step::sql("BEGIN"), Step::call("velk_lock", key)};
  auto locked = conn.exchange(lock, waiter, true);
  if (!locked) return *locked.failure;
  auto stored = load_locked(entity_id, locked.replies[1], key, name);
  if (!stored) return stored.error();
  return std::move(*stored);
}

}  // namespace

auto PostgresStore::get(std::string_view entity_id, Waiter& waiter) const -> Result<EntityTrust> {
  const auto key = row_key(entity_id);
  if (!key) return key.error();
  return run<EntityTrust>(waiter, [&](Connection& conn) -> Attempt<EntityTrust> {
    const Step read[] = {Step::call("velk_get", *key)};
    auto found = conn.exchange(read, waiter, true);
    if (!found) return *found.failure;
    if (rows_of(found.replies[0]) > 0) return attempt_of(parse_text(cell(found.replies[0], 0, 0)));
    // None yet: a neutral record, unless another client makes one first (then theirs is read).
    auto record = EntityTrust::create(entity_id);
    const std::string text = render_record(record);
    const Step create[] = {Step::call("velk_create", *key, record.entity_id, record.entity_type, text)};
    auto made = conn.exchange(create, waiter, false);
    if (!made) return *made.failure;
    if (rows_of(made.replies[0]) > 0) return record;
    auto again = conn.exchange(read, waiter, true);
    if (!again) return *again.failure;
    if (rows_of(again.replies[0]) > 0) return attempt_of(parse_text(cell(again.replies[0], 0, 0)));
    return Failure{Failure::Kind::Server, "40001", "the record was made and removed meanwhile"};
  });
}

auto PostgresStore::save(const EntityTrust& record, Waiter& waiter) const -> Result<void> {
  const auto key = row_key(record.entity_id);
  if (!key) return key.error();
  const std::string text = render_record(record);
  auto saved = run<bool>(waiter, [&](Connection& conn) -> Attempt<bool> {
    const Step write[] = {Step::call("velk_save", *key, record.entity_id, record.entity_type, text)};
    if (auto failure = commit(conn, waiter, write)) return *failure;
    return true;
  });
  if (!saved) return saved.error();
  return {};
}

auto PostgresStore::remove(std::string_view entity_id, Waiter& waiter) const -> Result<bool> {
  const auto key = row_key(entity_id);
  if (!key) return key.error();
  return run<bool>(waiter, [&](Connection& conn) -> Attempt<bool> {
    const Step remove[] = {Step::call("velk_delete", *key)};
    auto done = conn.exchange(remove, waiter, false);
    if (!done) return committing(*done.failure);
    return std::atoi(PQcmdTuples(done.replies[0].get())) > 0;
  });
}

auto PostgresStore::exists(std::string_view entity_id, Waiter& waiter) const -> Result<bool> {
  const auto key = row_key(entity_id);
  if (!key) return key.error();
  return run<bool>(waiter, [&](Connection& conn) -> Attempt<bool> {
    const Step look[] = {Step::call("velk_exists", *key)};
    auto found = conn.exchange(look, waiter, true);
    if (!found) return *found.failure;
    return rows_of(found.replies[0]) > 0;
  });
}

auto PostgresStore::rows(std::optional<EntityType> kind, Waiter& waiter) const -> Result<Reply> {
  const std::string_view type = kind ? as_str(*kind) : std::string_view();
  return run<Reply>(waiter, [&](Connection& conn) -> Attempt<Reply> {
    const Step all[] = {kind ? Step::call("velk_kind", type) : Step::call("velk_all")};
    auto found = conn.exchange(all, waiter, true);
    if (!found) return *found.failure;
    return std::move(found.replies[0]);
  });
}

auto PostgresStore::list(std::optional<EntityType> kind, Waiter& waiter) const -> Result<std::vector<std::string>> {
  auto found = rows(kind, waiter);
  if (!found) return found.error();
  std::vector<std::string> ids;
  SteppedAside away(waiter);
  for (int r = 0; r < rows_of(*found); ++r) {
    auto record = parse_text(cell(*found, r, 2));
    if (!record) continue;  // a row that does not parse is skipped, as a file is
    if (!kind || matches_kind(record->entity_type, *kind)) ids.push_back(std::move(record->entity_id));
  }
  return ids;
}

auto PostgresStore::records_of_kind(EntityType kind, Waiter& waiter) const -> Result<std::vector<EntityTrust>> {
  auto found = rows(kind, waiter);
  if (!found) return found.error();
  std::vector<EntityTrust> records;
  std::vector<std::string> elsewhere;  // identifiers of copies under another identifier's key
  {
    SteppedAside away(waiter);
    for (int r = 0; r < rows_of(*found); ++r) {
      auto record = parse_text(cell(*found, r, 2));
      if (!record || !matches_kind(record->entity_type, kind)) continue;
      const auto own = row_key(record->entity_id);
      if (!own) return own.error();
      if (*own == cell(*found, r, 0)) {
        records.push_back(std::move(*record));
      } else {
        elsewhere.push_back(std::move(record->entity_id));
      }
    }
  }
  for (const auto& id : elsewhere) {
    auto got = get(id, waiter);
    if (got) {
      records.push_back(std::move(*got));
    } else if (got.error().kind() != TrustError::Kind::Serialization) {
      return got.error();
    }
  }
  return records;
}

auto PostgresStore::update(std::string_view entity_id, bool success, double magnitude, Waiter& waiter) const
    -> Result<EntityTrust> {
  const auto key = row_key(entity_id);
  if (!key) return key.error();
  return run<EntityTrust>(waiter, [&](Connection& conn) -> Attempt<EntityTrust> {
    auto stored = lock_record(conn, waiter, entity_id, *key, row_name(entity_id));
    if (stored.index() != 0) return failed<EntityTrust>(std::move(stored));
    auto& found = std::get<0>(stored);
    const bool existed = found.has_value();
    EntityTrust record = existed ? std::move(*found) : EntityTrust::create(entity_id);
    record.update_from_outcome(success, magnitude);
    const std::string text = render_record(record);
    const Step write[] = {write_step(existed, *key, record, text), Step::sql("COMMIT")};
    if (auto failure = commit(conn, waiter, write)) return *failure;
    return record;
  });
}

auto PostgresStore::decay(std::string_view entity_id, double days_inactive, double decay_rate, double min_idle,
                          Waiter& waiter) const -> Result<bool> {
  const auto key = row_key(entity_id);
  if (!key) return key.error();
  return run<bool>(waiter, [&](Connection& conn) -> Attempt<bool> {
    auto stored = lock_record(conn, waiter, entity_id, *key, row_name(entity_id));
    if (stored.index() != 0) return failed<bool>(std::move(stored));
    auto& found = std::get<0>(stored);
    if (!found) return false;  // a record is decayed, never created
    EntityTrust& record = *found;
    if (!(record.days_since_last_action() >= min_idle) || !record.apply_decay(days_inactive, decay_rate)) return false;
    const std::string text = render_record(record);
    const Step write[] = {write_step(true, *key, record, text), Step::sql("COMMIT")};
    if (auto failure = commit(conn, waiter, write)) return *failure;
    return true;
  });
}

auto PostgresStore::witness(std::string_view witness_id, std::string_view target_id, bool success, double magnitude,
                            Waiter& waiter) const -> Result<std::pair<EntityTrust, EntityTrust>> {
  using Pair = std::pair<EntityTrust, EntityTrust>;
  const auto target_key = row_key(target_id);
  if (!target_key) return target_key.error();
  const auto witness_key = row_key(witness_id);
  if (!witness_key) return witness_key.error();
  const bool self = witness_id == target_id;
  return run<Pair>(waiter, [&](Connection& conn) -> Attempt<Pair> {
    // Both rows locked in key order by one statement, so crossed pairs cannot deadlock.
    const Step lock[] = {Step::sql("BEGIN"), Step::call("velk_lock_pair", *witness_key, *target_key)};
    auto locked = conn.exchange(lock, waiter, true);
    if (!locked) return *locked.failure;
    auto target_stored = load_locked(target_id, locked.replies[1], *target_key, row_name(target_id));
    if (!target_stored) return target_stored.error();
    const bool target_existed = target_stored->has_value();
    EntityTrust target = target_existed ? std::move(**target_stored) : EntityTrust::create(target_id);
    if (self) {
      // One row: it takes both changes; the pair shows the witness with both, the target with one.
      target.receive_witness(witness_id, success, magnitude);
      EntityTrust both = target;
      both.give_witness(target_id, success, magnitude);
      const std::string text = render_record(both);
      const Step write[] = {write_step(target_existed, *target_key, both, text), Step::sql("COMMIT")};
      if (auto failure = commit(conn, waiter, write)) return *failure;
      return Pair{std::move(both), std::move(target)};
    }
    auto witness_stored = load_locked(witness_id, locked.replies[1], *witness_key, row_name(witness_id));
    if (!witness_stored) return witness_stored.error();
    const bool witness_existed = witness_stored->has_value();
    EntityTrust witness = witness_existed ? std::move(**witness_stored) : EntityTrust::create(witness_id);
    target.receive_witness(witness_id, success, magnitude);
    witness.give_witness(target_id, success, magnitude);
    const std::string target_text = render_record(target), witness_text = render_record(witness);
    const Step write[] = {write_step(target_existed, *target_key, target, target_text),
                          write_step(witness_existed, *witness_key, witness, witness_text), Step::sql("COMMIT")};
    if (auto failure = commit(conn, waiter, write)) return *failure;
    return Pair{std::move(witness), std::move(target)};
  });
}

auto PostgresStore::check(Waiter& waiter) const -> Result<std::vector<Finding>> {
  auto found = rows(std::nullopt, waiter);
  if (!found) return found.error();
  std::vector<Finding> findings;
  SteppedAside away(waiter);
  for (int r = 0; r < rows_of(*found); ++r) {
    Finding finding{row_name(cell(*found, r, 1)), Finding::Verdict::Unreadable, std::nullopt, {}};
    auto record = parse_text(cell(*found, r, 2));
    if (!record) {
      finding.detail = record.error().text();
    } else {
      const auto own = row_key(record->entity_id);
      if (!own) return own.error();
      const bool at_home = *own == cell(*found, r, 0);
      finding.verdict = at_home ? Finding::Verdict::Record : Finding::Verdict::Misplaced;
      if (!at_home) finding.detail = row_name(record->entity_id);
      finding.record = std::move(*record);
    }
    findings.push_back(std::move(finding));
  }
  return findings;
}

}  // namespace velk::pg
