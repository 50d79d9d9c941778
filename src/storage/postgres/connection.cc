// libpq in pipeline mode, non-blocking: every wait for the socket is the call's driver's.
#include "storage/postgres/connection.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "storage/postgres/conninfo.h"

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

// A host of a connection text, with its address and port: what one attempt connects to.
struct Host {
  std::string host, hostaddr, port;
};

auto split(const char* list) -> std::vector<std::string> {
  std::vector<std::string> items;
  if (list == nullptr || *list == '\0') return items;
  std::string_view rest = list;
  for (;;) {
    const auto comma = rest.find(',');
    items.emplace_back(rest.substr(0, comma));
    if (comma == std::string_view::npos) return items;
    rest.remove_prefix(comma + 1);
  }
}

// The hosts of a connection text in order, as libpq reads its lists (one port for all, or one
// each); nothing when it names at most one, which one attempt with the text itself serves.
auto hosts_of(const std::string& url) -> std::vector<Host> {
  std::vector<std::string> hosts, addresses, ports;
  if (PQconninfoOption* options = PQconninfoParse(url.c_str(), nullptr)) {
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (std::strcmp(o->keyword, "host") == 0) hosts = split(o->val);
      if (std::strcmp(o->keyword, "hostaddr") == 0) addresses = split(o->val);
      if (std::strcmp(o->keyword, "port") == 0) ports = split(o->val);
    }
    PQconninfoFree(options);
  }
  const std::size_t n = std::max(hosts.size(), addresses.size());
  std::vector<Host> out;
  if (n <= 1) return out;
  for (std::size_t k = 0; k < n; ++k) {
    out.push_back({k < hosts.size() ? hosts[k] : "", k < addresses.size() ? addresses[k] : "",
                   ports.size() == 1 ? ports[0] : (k < ports.size() ? ports[k] : "")});
  }
  return out;
}

// libpq's message about a connection text it cannot read, with what it quotes of the text (which
// may be a password) left out.
auto without_quotes(std::string_view message) -> std::string {
  std::string out;
  bool quoted = false;
  for (const char c : message) {
    if (c == '"') {
      if (!quoted) out += "\"...\"";
      quoted = !quoted;
      continue;
    }
    if (!quoted) out += c;
  }
  return out;
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

namespace {

// One attempt: the text, or one of its hosts, within connect_timeout and the call's deadline.
auto connect_one(Call& cx, const std::string& url, const Host* host, const std::vector<std::string>& secrets)
    -> Task<Result<PGconn*>> {
  // Keywords are read in order, each overriding the one before: the connection text may set its own
  // connect_timeout, but not the encoding, which record texts need; a host of a list overrides the
  // list (an empty value overrides nothing).
  const char* const keys[] = {"connect_timeout", "dbname",          "host", "hostaddr", "port",
                              "client_encoding", "fallback_application_name", nullptr};
  const char* const values[] = {"10",   url.c_str(), host ? host->host.c_str() : "", host ? host->hostaddr.c_str() : "",
                                host ? host->port.c_str() : "", "UTF8", "velk_trust", nullptr};
  PGconn* conn = nullptr;
  // Name lookups happen in libpq's connecting steps: each is taken away from the caller.
  auto start = [&](Waiter&) { conn = PQconnectStartParams(keys, values, 1); };
  co_await cx.work(start);
  if (conn == nullptr) throw std::bad_alloc();
  struct Owned {
    PGconn*& conn;
    ~Owned() {
      if (conn != nullptr) PQfinish(conn);
    }
  } owned{conn};
  // libpq leaves the timeout of a non-blocking connection to its caller.
  const auto timeout = connect_timeout(conn);
  auto limit = timeout ? std::optional(Clock::now() + std::chrono::seconds(*timeout)) : std::nullopt;
  if (cx.deadline() && (!limit || *cx.deadline() < *limit)) limit = cx.deadline();
  auto state = PQstatus(conn) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  while (state == PGRES_POLLING_READING || state == PGRES_POLLING_WRITING) {
    const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    const Woken woken = co_await cx.ready(PQsocket(conn), events, limit, Interruption::Ends);
    if (woken == Woken::Interrupted) co_return TrustError::io(EINTR);
    if (woken == Woken::TimedOut) {
      if (cx.deadline() && *cx.deadline() <= Clock::now()) {
        co_return TrustError::storage(cx.timed_out() + " connecting: " + server_of(conn)).as_transient();
      }
      co_return TrustError::storage(server_of(conn) + " failed: timeout expired").as_transient();
    }
    // Names were looked up at the start (one host per attempt): each step after it only moves the
    // connection on. (A service file that lists several hosts is served by libpq itself, whose
    // later steps look up the next host's name.)
    state = PQconnectPoll(conn);
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string message = one_line(PQerrorMessage(conn));
    throw_if_out_of_memory(message);
    std::string shown = message;
    for (const auto& secret : secrets) {
      for (std::size_t at; !secret.empty() && (at = shown.find(secret)) != std::string::npos;) shown.replace(at, secret.size(), "***");
    }
    auto error = TrustError::storage(shown);
    // A server that is not there, not yet or no more (starting, shutting down, full) may be there
    // later; a refusal of who or what was asked for (a wrong password, an unknown database or role,
    // no rule for the client) is not.
    constexpr std::string_view kFinal[] = {"authentication failed", "does not exist", "no pg_hba.conf entry",
                                           "permission denied", "not permitted"};
    if (std::none_of(std::begin(kFinal), std::end(kFinal), [&](std::string_view w) { return message.find(w) != std::string::npos; })) {
      error.as_transient();
    }
    co_return error;
  }
  if (PQsetnonblocking(conn, 1) != 0 || PQenterPipelineMode(conn) != 1) {
    co_return TrustError::storage("cannot use the database connection: " + one_line(PQerrorMessage(conn)));
  }
  co_return std::exchange(conn, nullptr);
}

}  // namespace

auto Connection::open(Call& cx, const std::string& url) -> Task<Result<Connection>> {
  if (url.find('\0') != std::string::npos) co_return TrustError::storage("the connection text holds a NUL byte");
  char* parse_error = nullptr;
  if (PQconninfoOption* options = PQconninfoParse(url.c_str(), &parse_error)) {
    PQconninfoFree(options);
  } else {
    const std::string why = parse_error != nullptr ? one_line(parse_error) : "out of memory";
    PQfreemem(parse_error);
    throw_if_out_of_memory(why);
    co_return TrustError::storage("cannot connect to the database: the connection text does not read: " +
                                  without_quotes(why));
  }
  if (has_stray_at(url)) {
    co_return TrustError::storage(
        "cannot connect to the database: the URI holds an '@' after its host; in a user name or password, "
        "'/', '?', '#' and '@' are written %2F, %3F, %23 and %40");
  }
  auto secrets = secrets_of(url);
  const auto hosts = hosts_of(url);
  if (hosts.empty()) {
    auto one = co_await connect_one(cx, url, nullptr, secrets);
    if (!one) {
      if (one.error().os_error() == EINTR) co_return one.error();
      auto error = TrustError::storage("cannot connect to the database: " + one.error().detail());
      if (one.error().transient()) error.as_transient();
      co_return error;
    }
    co_return Connection(*one, std::move(secrets));
  }
  // Each host in turn, each with its own connect_timeout: a host that does not answer (a
  // partition, a primary powered off) is followed by the next.
  std::string failures;
  bool transient = true;
  for (const Host& host : hosts) {
    auto one = co_await connect_one(cx, url, &host, secrets);
    if (one) co_return Connection(*one, std::move(secrets));
    if (one.error().os_error() == EINTR) co_return one.error();
    if (!failures.empty()) failures += "; ";
    failures += one.error().detail();
    transient = transient && one.error().transient();
    if (cx.deadline() && *cx.deadline() <= Clock::now()) break;
  }
  auto error = TrustError::storage("cannot connect to the database: " + failures);
  if (transient) error.as_transient();
  co_return error;
}

Connection::Connection(Connection&& other) noexcept
    : conn_(std::exchange(other.conn_, nullptr)),
      secrets_(std::move(other.secrets_)),
      whole_(other.whole_),
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

auto Connection::scrubbed(std::string_view text) const -> std::string {
  std::string out(text);
  for (const auto& secret : secrets_) {
    if (secret.empty()) continue;
    // As given, and as a URI writes it (percent-encoded).
    std::string encoded;
    for (const unsigned char c : secret) {
      if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
        encoded += static_cast<char>(c);
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        encoded += hex;
      }
    }
    for (const std::string* form : {&secret, static_cast<const std::string*>(&encoded)}) {
      for (std::size_t at; (at = out.find(*form)) != std::string::npos;) out.replace(at, form->size(), "***");
    }
  }
  return out;
}

auto Connection::lost() -> Failure {
  broken_ = true;
  throw_if_out_of_memory(PQerrorMessage(conn_));
  // libpq keeps what the server said before it ended the session (an administrator's command, a
  // shutdown) in front of its own "server closed the connection".
  std::string message = scrubbed(one_line(PQerrorMessage(conn_)));
  if (message.empty()) message = "the connection to the server was lost";
  return {Failure::Kind::Lost, {}, std::move(message)};
}

namespace {

// Cancel requests still on their way. A process that ends at once after a stopped call (Ctrl-C,
// then exit) would end them unsent, and a server waiting for a synchronous standby would go on
// holding the transaction's locks: the process's exit waits for them, up to half a second.
struct CancelsInFlight {
  std::mutex lock;
  std::condition_variable done;
  int count = 0;
};

auto cancels_in_flight() -> CancelsInFlight& {
  static auto* const cancels = new CancelsInFlight;  // never destroyed: threads may outlive exit's handlers
  static std::once_flag once;
  std::call_once(once, [] {
    std::atexit([] {
      std::unique_lock hold(cancels->lock);
      cancels->done.wait_for(hold, std::chrono::milliseconds(500), [] { return cancels->count == 0; });
    });
    // A child of fork has none of its parent's threads.
    ::pthread_atfork([] { cancels->lock.lock(); }, [] { cancels->lock.unlock(); },
                     [] {
                       new (&cancels->lock) std::mutex();
                       cancels->count = 0;
                     });
  });
  return *cancels;
}

}  // namespace

void Connection::cancel(Failure::Kind why) {
  cancelled_ = why;
  grace_end_ = Clock::now() + kCancelGrace;
  PGcancel* handle = PQgetCancel(conn_);
  if (handle == nullptr) return;
  // libpq 15's PQcancel connects to the server afresh and blocks until it is done, as long as a host
  // that drops packets makes it: it runs on a thread of its own, left to finish on its own should
  // the grace end first (the session is dropped then). Without a thread to be had, the session is
  // dropped at the grace's end as well.
  CancelsInFlight& cancels = cancels_in_flight();
  {
    std::lock_guard hold(cancels.lock);
    ++cancels.count;
  }
  try {
    std::thread([handle, &cancels] {
      char error[256];
      (void)PQcancel(handle, error, sizeof error);
      PQfreeCancel(handle);
      std::lock_guard hold(cancels.lock);
      --cancels.count;
      cancels.done.notify_all();
    }).detach();
  } catch (const std::exception&) {
    PQfreeCancel(handle);
    std::lock_guard hold(cancels.lock);
    --cancels.count;
  }
}

auto Connection::wait(Call& cx, Interruption interruption, bool for_write) -> Task<std::optional<Failure>> {
  const int fd = PQsocket(conn_);
  if (fd < 0) co_return lost();
  const auto events = static_cast<short>(POLLIN | (for_write ? POLLOUT : 0));
  for (;;) {
    if (cancelled_) {
      // The replies of the cancelled statements, for what is left of the grace.
      const Woken woken = co_await cx.ready(fd, events, grace_end_, Interruption::Waits);
      if (woken != Woken::Ready) {
        broken_ = true;
        co_return Failure{*cancelled_, {}, "cancelled"};
      }
      break;
    }
    if (interruption == Interruption::Ends) {
      const Woken woken = co_await cx.ready(fd, events);
      if (woken == Woken::Ready) break;
      cancel(woken == Woken::Interrupted ? Failure::Kind::Interrupted : Failure::Kind::TimedOut);
      continue;
    }
    // A commit's answer: past the caller's stop or the deadline, a grace more; then whether the
    // commit was made cannot be known, and the session is dropped.
    const Woken woken = co_await cx.ready(fd, events, cx.deadline(), interruption);
    if (woken == Woken::Ready) break;
    const auto kind = woken == Woken::Interrupted ? Failure::Kind::Interrupted : Failure::Kind::TimedOut;
    // Cancelled too, not only dropped: a server waiting for a synchronous standby would go on
    // holding the transaction's row locks, unaware that its client has gone.
    cancel(kind);
    broken_ = true;
    co_return Failure{kind, {}, "no answer to the commit"};
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
  cancelled_.reset();
  for (const Step& step : steps) {
    const char* values[4];
    int lengths[4], formats[4];
    for (int k = 0; k < step.count; ++k) {
      // A null pointer would be SQL NULL: an empty value must still point somewhere.
      values[k] = step.values[k].data() != nullptr ? step.values[k].data() : "";
      lengths[k] = static_cast<int>(step.values[k].size());
      formats[k] = 1;
    }
    int sent;
    if (step.statement != nullptr && !whole_) {
      sent = PQsendQueryPrepared(conn_, step.statement->name.c_str(), step.count, values, lengths, formats, 1);
    } else {
      const char* text = step.statement != nullptr ? step.statement->sql.c_str() : step.text;
      sent = PQsendQueryParams(conn_, text, step.count, nullptr, values, lengths, formats, 1);
    }
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
  // A session the server ended says why in a FATAL error of its own (an administrator's command, a
  // shutdown) before libpq sees the connection close: that reason is the loss's.
  std::optional<std::string> ended;
  const auto fail = [&](Failure failure) {
    if (failure.kind == Failure::Kind::Lost && ended) failure.message = *ended;
    out.failure = std::move(failure);
  };
  // Each step's result, then the null that ends it; then the sync's.
  for (std::size_t k = 0; k <= count; ++k) {
    for (int part = 0; part < (k < count ? 2 : 1); ++part) {
      while (PQisBusy(conn_) != 0) {
        if (auto failed = co_await wait(cx, interruption, false)) {
          fail(std::move(*failed));
          co_return out;
        }
      }
      Reply reply(PQgetResult(conn_));
      if (k == count) {
        if (!reply || PQresultStatus(reply.get()) != PGRES_PIPELINE_SYNC) {
          fail(lost());
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
        fail(lost());
        co_return out;
      }
      if (PQresultStatus(reply.get()) == PGRES_FATAL_ERROR && !refused) {
        const char* state = PQresultErrorField(reply.get(), PG_DIAG_SQLSTATE);
        if (state == nullptr) throw_if_out_of_memory(PQresultErrorMessage(reply.get()));
        refused = Failure{Failure::Kind::Server, state != nullptr ? state : "",
                          scrubbed(one_line(PQresultErrorMessage(reply.get())))};
        const char* severity = PQresultErrorField(reply.get(), PG_DIAG_SEVERITY_NONLOCALIZED);
        if (severity != nullptr && (std::string_view(severity) == "FATAL" || std::string_view(severity) == "PANIC")) {
          ended = refused->message;
        }
      }
      out.replies.push_back(std::move(reply));
    }
  }
  busy_ = false;
  if (cancelled_) {
    out.failure = Failure{*cancelled_, {}, "cancelled"};
  } else if (refused) {
    out.failure = std::move(refused);
  }
  co_return out;
}

auto Connection::prepare(Call& cx, std::span<const Statement> statements) -> Task<Outcome> {
  if (broken_) co_return Outcome{{}, Failure{Failure::Kind::Lost, {}, "the connection to the server was lost"}};
  cancelled_.reset();
  for (const auto& statement : statements) {
    if (PQsendPrepare(conn_, statement.name.c_str(), statement.sql.c_str(), 0, nullptr) != 1) co_return Outcome{{}, lost()};
  }
  co_return co_await receive(cx, statements.size(), Interruption::Ends);
}

}  // namespace velk::pg
