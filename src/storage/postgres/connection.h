// One session with a PostgreSQL server through libpq: statements sent in a pipeline, one round
// trip per batch, and every wait for the network left to the call's driver.
#pragma once

#include <libpq-fe.h>

#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"
#include "common/task.h"
#include "storage/call.h"

namespace velk::pg {

// A statement of the store's: prepared by name on a session, or sent whole (unnamed) where a
// pooler in transaction mode could hand the next transaction another server's session.
struct Statement {
  std::string name;
  std::string sql;
};

// One statement of a batch: one of the store's, or a text (BEGIN, COMMIT). Parameters are binary:
// bytea takes the bytes, text takes UTF-8.
struct Step {
  const Statement* statement = nullptr;
  const char* text = nullptr;
  std::array<std::string_view, 4> values{};
  int count = 0;

  template <typename... V>
  static auto sql(const char* text, const V&... values) -> Step {
    return {nullptr, text, {std::string_view(values)...}, static_cast<int>(sizeof...(V))};
  }
  template <typename... V>
  static auto call(const Statement& statement, const V&... values) -> Step {
    return {&statement, nullptr, {std::string_view(values)...}, static_cast<int>(sizeof...(V))};
  }
};

struct ResultFree {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using Reply = std::unique_ptr<PGresult, ResultFree>;

// The value at (row, column) of a reply in binary format: the bytes of bytea and text alike.
inline auto cell(const Reply& reply, int row, int column) -> std::string_view {
  return {PQgetvalue(reply.get(), row, column), static_cast<std::size_t>(PQgetlength(reply.get(), row, column))};
}

// How a batch failed.
struct Failure {
  enum class Kind {
    Server,       // the server refused a statement; the session is usable (sqlstate says why)
    Lost,         // the connection failed: the session is gone
    Interrupted,  // the caller asked to stop the batch; its statements were cancelled
    TimedOut,     // the call's deadline passed; its statements were cancelled
  };
  Kind kind;
  std::string sqlstate;
  std::string message;  // the server's or libpq's text, on one line, without secrets
  bool during_commit = false;  // set by the caller when the batch carried a commit

  // A failure that trying the whole transaction again may mend: a serialization failure, a
  // deadlock, or a row inserted meanwhile by another client.
  auto retryable() const noexcept -> bool {
    return kind == Kind::Server && (sqlstate == "40001" || sqlstate == "40P01" || sqlstate == "23505");
  }
  // A refusal that the server may not repeat later: a lost or refused connection (class 08), too
  // many connections or no resources (53), a lock not available (55P03), a cancelled or timed-out
  // statement (57014), a shutting or starting server (57P01 to 57P03), a conflict (40).
  auto transient() const noexcept -> bool {
    return kind != Kind::Server || sqlstate.starts_with("08") || sqlstate.starts_with("53") ||
           sqlstate.starts_with("40") || sqlstate == "55P03" || sqlstate == "57014" || sqlstate == "57P01" ||
           sqlstate == "57P02" || sqlstate == "57P03";
  }
  // A prepared statement of the store's that the session does not have: a pooler gave this
  // transaction another server's session.
  auto statement_missing() const noexcept -> bool { return kind == Kind::Server && sqlstate == "26000"; }
  // A failure of a batch that carried a commit.
  auto committing() && -> Failure&& {
    during_commit = true;
    return std::move(*this);
  }
};

// The replies of a batch, one per step, or how it failed.
struct Outcome {
  std::vector<Reply> replies;
  std::optional<Failure> failure;
  explicit operator bool() const noexcept { return !failure; }
};

class Connection {
 public:
  // Connects with the connection text (a URI or keywords), whose connect_timeout applies (10 s
  // when it names none) to each of its hosts in turn, within the call's deadline; the next host is
  // tried after one that times out or refuses (target_session_attrs included). Every wait, and
  // every step that may look a name up, is spent away from the caller. Storage with libpq's
  // messages, which name the hosts and hold no secret of the text, on failure.
  static auto open(Call& cx, const std::string& url) -> Task<Result<Connection>>;

  Connection(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  auto operator=(const Connection&) -> Connection& = delete;
  auto operator=(Connection&&) -> Connection& = delete;
  // Ends the session (the server rolls back whatever it had open).
  ~Connection();

  // Sends the steps and a sync in one write and reads every reply. On the first refused statement
  // the rest are skipped by the server; in an explicit transaction the caller then rolls back.
  // A batch that carries no commit is cancelled on the server when the caller stops or the
  // deadline passes (Interruption::Ends); one that carries a commit (AfterGrace) waits a grace for
  // the answer first, then drops the session.
  auto exchange(Call& cx, std::span<const Step> steps, Interruption interruption) -> Task<Outcome>;
  // Prepares statements by name, in one round trip.
  auto prepare(Call& cx, std::span<const Statement> statements) -> Task<Outcome>;
  // Whether the store's statements go by name (prepared on this session) or whole.
  void send_whole(bool whole) noexcept { whole_ = whole; }
  // False when the session is known to be gone: lost, or the server said something between calls
  // (a server that shuts down says goodbye on every session).
  auto usable() -> bool;
  // Forgets the session without a word to the server or a close of the descriptor's other copies:
  // for a child of fork, whose copy of the socket belongs to its parent's session.
  void abandon() noexcept;
  // Marks the session as not to be used again: ending it rolls back what it had open.
  void drop() noexcept { broken_ = true; }
  // True between statements of an open transaction (also one a refused statement aborted).
  auto in_transaction() const -> bool {
    const auto status = PQtransactionStatus(conn_);
    return status == PQTRANS_INTRANS || status == PQTRANS_INERROR;
  }
  // True when the session can go back to the pool: not lost, nothing half-read, no transaction.
  auto reusable() const -> bool { return !broken_ && !busy_ && PQtransactionStatus(conn_) == PQTRANS_IDLE; }
  // The text without the connection text's secrets (libpq's messages may quote them).
  auto scrubbed(std::string_view text) const -> std::string;

 private:
  Connection(PGconn* conn, std::vector<std::string> secrets) noexcept : conn_(conn), secrets_(std::move(secrets)) {}
  // Waits for the socket (to read, and to write when flushing) and reads what came.
  auto wait(Call& cx, Interruption interruption, bool for_write) -> Task<std::optional<Failure>>;
  // Sends a sync, flushes, and reads count steps' replies and the sync's.
  auto receive(Call& cx, std::size_t count, Interruption interruption) -> Task<Outcome>;
  auto lost() -> Failure;
  // Asks the server to cancel what runs, without waiting for it (see connection.cc).
  void cancel(Failure::Kind why);

  PGconn* conn_ = nullptr;
  std::vector<std::string> secrets_;
  bool whole_ = false;
  bool broken_ = false;
  std::optional<Failure::Kind> cancelled_;  // why the running statements were cancelled
  Clock::time_point grace_end_;             // when cancelled statements' replies are given up
  bool busy_ = false;
};

// Text of libpq or the server on one line: line breaks and the tabs after them become one space.
auto one_line(std::string_view text) -> std::string;

}  // namespace velk::pg
