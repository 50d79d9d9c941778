// libpq in pipeline mode, non-blocking: every wait for the socket is the call's driver's.
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

// How long the replies of cancelled statements are waited for before the session is dropped.
constexpr auto kCancelGrace = std::chrono::milliseconds(150);

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

auto Connection::open(Call& cx, const std::string& url) -> Task<Result<Connection>> {
  if (url.find('\0') != std::string::npos) co_return TrustError::storage("the connection text holds a NUL byte");
  // Keywords are read in order, each overriding the one before: the connection text may set its own
  // connect_timeout, but not the encoding, which record texts need.
  const char* const keys[] = {"connect_timeout", "dbname", "client_encoding", "fallback_application_name", nullptr};
  const char* const values[] = {"10", url.c_str(), "UTF8", "velk_trust", nullptr};
  PGconn* started = nullptr;
  // Name lookups happen in libpq's connecting steps: each is taken away from the caller.
  auto start = [&](Waiter&) { started = PQconnectStartParams(keys, values, 1); };
  co_await cx.work(start);
  if (started == nullptr) throw std::bad_alloc();
  Connection made(started);
  PGconn* conn = made.conn_;
  // libpq leaves the timeout of a non-blocking connection to its caller.
  const auto timeout = connect_timeout(conn);
  const auto deadline = timeout ? std::optional(Clock::now() + std::chrono::seconds(*timeout)) : std::nullopt;
  auto state = PQstatus(conn) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  auto step = [&](Waiter&) { state = PQconnectPoll(conn); };
  while (state == PGRES_POLLING_READING || state == PGRES_POLLING_WRITING) {
    const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    const Woken woken = co_await cx.ready(PQsocket(conn), events, deadline, Interruption::Ends);
    if (woken == Woken::Interrupted) co_return TrustError::io(EINTR);
    if (woken == Woken::TimedOut) {
      co_return TrustError::storage("cannot connect to the database: " + server_of(conn) + " failed: timeout expired")
          .as_transient();
    }
    co_await cx.work(step);
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string message = one_line(PQerrorMessage(conn));
    throw_if_out_of_memory(message);
    auto error = TrustError::storage("cannot connect to the database: " + message);
    // A server that is not there, or not yet, may be there later; a refusal by one that answers
    // (a wrong password, an unknown database) is not.
    if (message.find("FATAL:") == std::string::npos) error.as_transient();
    co_return error;
  }
  if (PQsetnonblocking(conn, 1) != 0 || PQenterPipelineMode(conn) != 1) {
    co_return TrustError::storage("cannot use the database connection: " + one_line(PQerrorMessage(conn)));
  }
  co_return std::move(made);
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
  grace_end_ = Clock::now() + kCancelGrace;
  char error[256];
  if (PGcancel* handle = PQgetCancel(conn_)) {
    (void)PQcancel(handle, error, sizeof error);
    PQfreeCancel(handle);
  }
}

auto Connection::wait(Call& cx, Interruption interruption, bool for_write) -> Task<std::optional<Failure>> {
  const int fd = PQsocket(conn_);
  if (fd < 0) co_return lost();
  const auto events = static_cast<short>(POLLIN | (for_write ? POLLOUT : 0));
  for (;;) {
    Woken woken;
    if (cancelled_) {
      // The replies of the cancelled statements, for what is left of the grace.
      woken = co_await cx.ready(fd, events, grace_end_, Interruption::Waits);
      if (woken == Woken::TimedOut) {
        broken_ = true;
        co_return Failure{Failure::Kind::Interrupted, {}, "interrupted"};
      }
    } else if (interruption == Interruption::Ends) {
      woken = co_await cx.ready(fd, events);
      if (woken != Woken::Ready) {
        cancel();
        continue;
      }
    } else {
      woken = co_await cx.ready(fd, events, std::nullopt, Interruption::Waits);
    }
    break;
  }
  if ((cx.revents() & (POLLIN | POLLERR | POLLHUP)) != 0 && PQconsumeInput(conn_) == 0) co_return lost();
  co_return std::nullopt;
}

auto Connection::exchange(Call& cx, std::span<const Step> steps, Interruption interruption) -> Task<Outcome> {
  Outcome out;
  if (broken_) {
    out.failure = Failure{Failure::Kind::Lost, {}, "the connection to the server was lost"};
    co_return out;
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
      co_return out;
    }
  }
  co_return co_await receive(cx, steps.size(), interruption);
}

auto Connection::receive(Call& cx, std::size_t count, Interruption interruption) -> Task<Outcome> {
  Outcome out;
  busy_ = true;  // until every reply is read: a session dropped half-way is not reused
  if (PQpipelineSync(conn_) != 1) {
    out.failure = lost();
    co_return out;
  }
  for (;;) {
    const int flushed = PQflush(conn_);
    if (flushed == 0) break;
    if (flushed < 0) {
      out.failure = lost();
      co_return out;
    }
    if (auto failed = co_await wait(cx, interruption, true)) {
      out.failure = std::move(failed);
      co_return out;
    }
  }
  std::optional<Failure> refused;
  // Each step's result, then the null that ends it; then the sync's.
  for (std::size_t k = 0; k <= count; ++k) {
    for (int part = 0; part < (k < count ? 2 : 1); ++part) {
      while (PQisBusy(conn_) != 0) {
        if (auto failed = co_await wait(cx, interruption, false)) {
          out.failure = std::move(failed);
          co_return out;
        }
      }
      Reply reply(PQgetResult(conn_));
      if (k == count) {
        if (!reply || PQresultStatus(reply.get()) != PGRES_PIPELINE_SYNC) {
          out.failure = lost();
          co_return out;
        }
        break;
      }
      if (part == 1) {
        if (reply) {
          out.failure = Failure{Failure::Kind::Lost, {}, "unexpected reply from the server"};
          broken_ = true;
          co_return out;
        }
        continue;
      }
      if (!reply) {
        out.failure = lost();
        co_return out;
      }
      if (PQresultStatus(reply.get()) == PGRES_FATAL_ERROR && !refused) {
        const char* state = PQresultErrorField(reply.get(), PG_DIAG_SQLSTATE);
        if (state == nullptr) throw_if_out_of_memory(PQresultErrorMessage(reply.get()));
        refused = Failure{Failure::Kind::Server, state != nullptr ? state : "",
                          one_line(PQresultErrorMessage(reply.get()))};
      }
      out.replies.push_back(std::move(reply));
    }
  }
  busy_ = false;
  if (cancelled_) {
    out.failure = Failure{Failure::Kind::Interrupted, {}, "interrupted"};
  } else if (refused) {
    out.failure = std::move(refused);
  }
  co_return out;
}

auto Connection::prepare(Call& cx, std::span<const std::pair<const char*, std::string>> statements)
    -> Task<Outcome> {
  if (broken_) co_return Outcome{{}, Failure{Failure::Kind::Lost, {}, "the connection to the server was lost"}};
  cancelled_ = false;
  for (const auto& [name, sql] : statements) {
    if (PQsendPrepare(conn_, name, sql.c_str(), 0, nullptr) != 1) co_return Outcome{{}, lost()};
  }
  co_return co_await receive(cx, statements.size(), Interruption::Waits);
}

}  // namespace velk::pg
