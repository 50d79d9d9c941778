// libpq in pipeline mode, non-blocking: the caller's waiter is left for every poll.
#include "storage/postgres/connection.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

namespace velk::pg {
namespace {

using Clock = std::chrono::steady_clock;

// How long the replies of cancelled statements are waited for before the session is dropped.
constexpr auto kCancelGrace = std::chrono::milliseconds(150);
// How often an interruptible wait asks its waiter.
constexpr int kInterruptTickMs = 20;

// libpq's own "out of memory" (the server's carries an SQLSTATE): the caller's MemoryError.
void throw_if_out_of_memory(std::string_view message) {
  if (message.find("out of memory") != std::string_view::npos) throw std::bad_alloc();
}

// The connection's connect_timeout in seconds as libpq reads it (at least 2); none when 0.
auto connect_timeout(PGconn* conn) -> std::optional<int> {
  std::optional<int> seconds;
  if (PQconninfoOption* options = PQconninfo(conn)) {
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val != nullptr) {
        const int value = std::atoi(o->val);
        if (value > 0) seconds = std::max(value, 2);
      }
    }
    PQconninfoFree(options);
  }
  return seconds;
}

// "connection to server at "host", port N" or "... on socket "path"", as libpq words it.
auto server_of(PGconn* conn) -> std::string {
  const std::string host = PQhost(conn) != nullptr ? PQhost(conn) : "";
  const std::string port = PQport(conn) != nullptr ? PQport(conn) : "";
  if (host.starts_with('/')) return "connection to server on socket \"" + host + "/.s.PGSQL." + port + "\"";
  return "connection to server at \"" + host + "\", port " + port;
}

}  // namespace

auto one_line(std::string_view text) -> std::string {
  std::string out;
  bool space = false;
  for (const char c : text) {
    if (c == '\n' || c == '\r' || c == '\t') {
      space = true;
      continue;
    }
    if (space && !out.empty()) out += ' ';
    space = false;
    out += c;
  }
  return out;
}

auto Connection::open(const std::string& url, Waiter& waiter) -> Result<Connection> {
  if (url.find('\0') != std::string::npos) return TrustError::storage("the connection text holds a NUL byte");
  // Keywords are read in order, each overriding the one before: the connection text may set its own
  // connect_timeout, but not the encoding, which record texts need.
  const char* const keys[] = {"connect_timeout", "dbname", "client_encoding", "fallback_application_name", nullptr};
  const char* const values[] = {"10", url.c_str(), "UTF8", "velk_trust", nullptr};
  std::optional<Connection> made;
  bool timed_out = false, interrupted = false;
  {
    // Name lookups happen in here too: all of it away from the caller. libpq leaves the timeout of a
    // non-blocking connection to its caller.
    SteppedAside away(waiter);
    PGconn* conn = PQconnectStartParams(keys, values, 1);
    if (conn == nullptr) throw std::bad_alloc();
    made.emplace(Connection(conn));
    const auto timeout = connect_timeout(conn);
    const auto deadline = Clock::now() + std::chrono::seconds(timeout.value_or(0));
    auto state = PQstatus(conn) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (state == PGRES_POLLING_READING || state == PGRES_POLLING_WRITING) {
      pollfd p{PQsocket(conn), static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
      const int ready = ::poll(&p, 1, kInterruptTickMs);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0) {
        state = PQconnectPoll(conn);
        continue;
      }
      if (timeout && Clock::now() >= deadline) {
        timed_out = true;
        break;
      }
      if (waiter.interrupted()) {
        interrupted = true;
        break;
      }
    }
  }
  PGconn* conn = made->conn_;
  if (interrupted) return TrustError::io(EINTR);
  if (timed_out) return TrustError::storage("cannot connect to the database: " + server_of(conn) + " failed: timeout expired");
  if (PQstatus(conn) != CONNECTION_OK) {
    throw_if_out_of_memory(PQerrorMessage(conn));
    return TrustError::storage("cannot connect to the database: " + one_line(PQerrorMessage(conn)));
  }
  if (PQsetnonblocking(conn, 1) != 0 || PQenterPipelineMode(conn) != 1) {
    return TrustError::storage("cannot use the database connection: " + one_line(PQerrorMessage(conn)));
  }
  return std::move(*made);
}

Connection::Connection(Connection&& other) noexcept
    : conn_(std::exchange(other.conn_, nullptr)),
      broken_(other.broken_),
      cancelled_(other.cancelled_),
      grace_end_(other.grace_end_),
      busy_(other.busy_) {}

Connection::~Connection() {
  if (conn_ != nullptr) PQfinish(conn_);
}

void Connection::abandon() noexcept {
  // The descriptor is this process's copy; closing it leaves the parent's session alone, whereas
  // PQfinish would tell the server to end it.
  if (conn_ != nullptr && PQsocket(conn_) >= 0) ::close(PQsocket(conn_));
  conn_ = nullptr;
}

auto Connection::usable() -> bool {
  if (broken_ || PQstatus(conn_) != CONNECTION_OK) return false;
  // An idle session has nothing to read: anything there is the server saying goodbye, or the end of
  // the stream.
  pollfd p{PQsocket(conn_), POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

auto Connection::lost() -> Failure {
  broken_ = true;
  throw_if_out_of_memory(PQerrorMessage(conn_));
  std::string message = one_line(PQerrorMessage(conn_));
  if (message.empty()) message = "the connection to the server was lost";
  return {Failure::Kind::Lost, {}, std::move(message)};
}

void Connection::cancel() {
  cancelled_ = true;
  grace_end_ = std::chrono::steady_clock::now() + kCancelGrace;
  char error[256];
  if (PGcancel* handle = PQgetCancel(conn_)) {
    (void)PQcancel(handle, error, sizeof error);
    PQfreeCancel(handle);
  }
}

auto Connection::wait(Waiter& waiter, bool interruptible, bool for_write) -> std::optional<Failure> {
  pollfd p{PQsocket(conn_), static_cast<short>(POLLIN | (for_write ? POLLOUT : 0)), 0};
  if (p.fd < 0) return lost();
  int ready = 0, error = 0;
  bool dropped = false;
  {
    SteppedAside away(waiter);
    for (;;) {
      int timeout = -1;
      if (cancelled_) {
        // The replies of the cancelled statements, for what is left of the grace.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(grace_end_ - Clock::now()).count();
        if (left <= 0) {
          dropped = true;
          break;
        }
        timeout = static_cast<int>(left);
      } else if (interruptible) {
        timeout = kInterruptTickMs;
      }
      ready = ::poll(&p, 1, timeout);
      if (ready > 0) break;
      if (ready < 0 && errno != EINTR) {
        error = errno;
        break;
      }
      if (interruptible && !cancelled_ && waiter.interrupted()) cancel();
    }
  }
  if (dropped) {
    broken_ = true;
    return Failure{Failure::Kind::Interrupted, {}, "interrupted"};
  }
  if (ready < 0) {
    broken_ = true;
    return Failure{Failure::Kind::Lost, {}, std::strerror(error)};
  }
  if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0 && PQconsumeInput(conn_) == 0) return lost();
  return std::nullopt;
}

auto Connection::exchange(std::span<const Step> steps, Waiter& waiter, bool interruptible) -> Outcome {
  Outcome out;
  if (broken_) {
    out.failure = Failure{Failure::Kind::Lost, {}, "the connection to the server was lost"};
    return out;
  }
  cancelled_ = false;
  for (const Step& step : steps) {
    const char* values[4];
    int lengths[4], formats[4];
    for (int k = 0; k < step.count; ++k) {
      // A null pointer would be SQL NULL: an empty value must still point somewhere.
      values[k] = step.values[k].data() != nullptr ? step.values[k].data() : "";
      lengths[k] = static_cast<int>(step.values[k].size());
      formats[k] = 1;
    }
    const int sent = step.prepared != nullptr
                         ? PQsendQueryPrepared(conn_, step.prepared, step.count, values, lengths, formats, 1)
                         : PQsendQueryParams(conn_, step.text, step.count, nullptr, values, lengths, formats, 1);
    if (sent != 1) {
      out.failure = lost();
      return out;
    }
  }
  return receive(steps.size(), waiter, interruptible);
}

auto Connection::receive(std::size_t count, Waiter& waiter, bool interruptible) -> Outcome {
  Outcome out;
  busy_ = true;  // until every reply is read: a session dropped half-way is not reused
  if (PQpipelineSync(conn_) != 1) {
    out.failure = lost();
    return out;
  }
  for (;;) {
    const int flushed = PQflush(conn_);
    if (flushed == 0) break;
    if (flushed < 0) {
      out.failure = lost();
      return out;
    }
    if (auto failed = wait(waiter, interruptible, true)) {
      out.failure = std::move(failed);
      return out;
    }
  }
  // The next result, waited for; null between one step's results and the next step's.
  auto next = [&](Reply& reply) -> bool {
    while (PQisBusy(conn_) != 0) {
      if (auto failed = wait(waiter, interruptible, false)) {
        out.failure = std::move(failed);
        return false;
      }
    }
    reply.reset(PQgetResult(conn_));
    return true;
  };
  std::optional<Failure> refused;
  for (std::size_t k = 0; k < count; ++k) {
    Reply reply, end;
    if (!next(reply)) return out;
    if (!reply) {
      out.failure = lost();
      return out;
    }
    if (PQresultStatus(reply.get()) == PGRES_FATAL_ERROR && !refused) {
      const char* state = PQresultErrorField(reply.get(), PG_DIAG_SQLSTATE);
      if (state == nullptr) throw_if_out_of_memory(PQresultErrorMessage(reply.get()));
      refused = Failure{Failure::Kind::Server, state != nullptr ? state : "",
                        one_line(PQresultErrorMessage(reply.get()))};
    }
    out.replies.push_back(std::move(reply));
    if (!next(end)) return out;
    if (end) {
      out.failure = Failure{Failure::Kind::Lost, {}, "unexpected reply from the server"};
      broken_ = true;
      return out;
    }
  }
  Reply sync;
  if (!next(sync)) return out;
  if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) {
    out.failure = lost();
    return out;
  }
  busy_ = false;
  if (cancelled_) {
    out.failure = Failure{Failure::Kind::Interrupted, {}, "interrupted"};
  } else if (refused) {
    out.failure = std::move(refused);
  }
  return out;
}

auto Connection::prepare(std::span<const std::pair<const char*, std::string>> statements, Waiter& waiter)
    -> Outcome {
  if (broken_) return Outcome{{}, Failure{Failure::Kind::Lost, {}, "the connection to the server was lost"}};
  cancelled_ = false;
  for (const auto& [name, sql] : statements) {
    if (PQsendPrepare(conn_, name, sql.c_str(), 0, nullptr) != 1) return Outcome{{}, lost()};
  }
  return receive(statements.size(), waiter, false);
}

}  // namespace velk::pg
