// The awaitable of a store call on an event loop. Awaited, it runs the call's coroutine on the
// loop's thread up to its first wait, and at each wait hands the task a future of the loop that
// the wait's end completes: a descriptor ready (the loop watches it), the wait's limit (a timer of
// the loop), or work done on a thread of its own. A task cancelled meanwhile ends the wait as the
// Ctrl-C of a blocking call does: at once, after a grace (a commit's answer), or not at all (the
// replies of cancelled statements), and the call's CancelledError carries a note of what became of
// its change.
#include "bindings/python/async_call.h"

#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/thread_storage.h"

namespace velk::py {
namespace {

struct AwaitObject {
  PyObject_HEAD
  std::unique_ptr<LoopCall> call;  // null once ended (or before, for a ready awaitable)
  PyObject* owner;      // the store whose call this is, or the class that opens one (kept alive)
  LoopStore* store;     // the owner's, for a call on a store
  PyObject* loop;       // once started
  PyObject* future;     // what the task waits on, while the call waits
  PyObject* timer;      // the loop's timer of the wait's limit, while it waits with one
  PyObject* cancelled;  // the exception the task threw in (CancelledError), once it did
  PyObject* ready;      // a ready awaitable's value
  int fd;
  bool reading, writing;  // watched for
  short fired;            // the events the loop reported
  bool timed_out;
  bool started, working, work_done, abandoned;
  bool converting;  // making a long listing's value
  bool waited;      // suspended at least once (for a wait, work or a turn)
  Clock::time_point began;
  std::optional<Clock::time_point> grace_end;  // of a wait that ends after a grace, once begun
  std::atomic<bool> stop;  // read by work on its thread
};

auto as_await(PyObject* self) -> AwaitObject* { return reinterpret_cast<AwaitObject*>(self); }

// Names and callables looked up once, kept for the life of the process.
struct Names {
  PyObject* create_future;
  PyObject* add_reader;
  PyObject* call_later;
  PyObject* call_soon_threadsafe;
  PyObject* cancel;
  PyObject* done;
  PyObject* set_result;
  PyObject* blocking;
  PyObject* start;
  PyObject* is_closed;
  PyObject* get_running_loop;
  PyObject* thread_class;
  PyObject* daemon;
  PyObject* target;
};

auto names() -> const Names& {
  static Names n = [] {
    auto intern = [](const char* s) { return OwnedRef::checked(PyUnicode_InternFromString(s)).release(); };
    OwnedRef asyncio = OwnedRef::checked(PyImport_ImportModule("asyncio"));
    OwnedRef threading = OwnedRef::checked(PyImport_ImportModule("threading"));
    return Names{intern("create_future"), intern("add_reader"), intern("call_later"), intern("call_soon_threadsafe"), intern("cancel"),
                 intern("done"), intern("set_result"), intern("_asyncio_future_blocking"), intern("start"),
                 intern("is_closed"),
                 OwnedRef::checked(PyObject_GetAttrString(asyncio.get(), "get_running_loop")).release(),
                 OwnedRef::checked(PyObject_GetAttrString(threading.get(), "Thread")).release(), intern("daemon"),
                 intern("target")};
  }();
  return n;
}

auto call_method(PyObject* obj, PyObject* name, auto... args) -> OwnedRef {
  return OwnedRef::checked(PyObject_CallMethodObjArgs(obj, name, args..., nullptr));
}

// Who waits for each descriptor. The loop is told of one descriptor per loop only, an epoll set of
// the module's, which holds the descriptors its calls wait on: adding one there and taking it away
// again is a system call each, where the loop's own add_reader and remove_reader cost a round of
// Python each. A descriptor may have several waiters at once (a pool's wake-up descriptor). Touched
// only under the interpreter lock.
struct Watch {
  int epfd = -1;
  std::uint32_t events = 0;  // as registered in epfd
  std::vector<AwaitObject*> readers, writers;
};
std::unordered_map<int, Watch> watches;

// Each loop's epoll set (a process has few loops; those closed are let go when a new one comes).
struct LoopPoller {
  PyObject* loop;  // strong
  int epfd;
};
std::vector<LoopPoller> pollers;

void forget_watches_in_child() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The parent's waiters are not the child's, and an epoll set that a fork shares is the
    // parent's too (the map's and the list's own memory is abandoned, not freed).
    ::pthread_atfork(nullptr, nullptr, [] {
      new (&watches) std::unordered_map<int, Watch>();
      for (const auto& p : pollers) ::close(p.epfd);
      new (&pollers) std::vector<LoopPoller>();
    });
  });
}

auto poll_dispatch(PyObject*, PyObject* arg) -> PyObject*;
PyMethodDef poll_dispatch_def = {"_dispatch", poll_dispatch, METH_O, nullptr};

auto callable(PyMethodDef& def) -> PyObject* { return OwnedRef::checked(PyCFunction_NewEx(&def, nullptr, nullptr)).release(); }

auto epoll_of(PyObject* loop) -> int {
  for (const auto& p : pollers) {
    if (p.loop == loop) return p.epfd;
  }
  for (auto it = pollers.begin(); it != pollers.end();) {
    OwnedRef closed = call_method(it->loop, names().is_closed);
    if (closed.get() == Py_True) {
      ::close(it->epfd);
      Py_DECREF(it->loop);
      it = pollers.erase(it);
    } else {
      ++it;
    }
  }
  const int epfd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epfd < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    throw PyErrSet{};
  }
  static PyObject* dispatcher = callable(poll_dispatch_def);
  try {
    OwnedRef fd = OwnedRef::checked(PyLong_FromLong(epfd));
    (void)call_method(loop, names().add_reader, fd.get(), dispatcher, fd.get());
    pollers.push_back({Py_NewRef(loop), epfd});
  } catch (...) {
    ::close(epfd);
    throw;
  }
  return epfd;
}

void wake(AwaitObject* a) {
  if (a->future == nullptr) return;
  OwnedRef done = call_method(a->future, names().done);
  if (done.get() == Py_False) (void)call_method(a->future, names().set_result, Py_None);
}

// The loop's callback for its epoll set: wakes the waiters of each ready descriptor.
auto poll_dispatch(PyObject*, PyObject* arg) -> PyObject* {
  return guard([&] {
    const long epfd = PyLong_AsLong(arg);
    if (epfd == -1 && PyErr_Occurred()) throw PyErrSet{};
    epoll_event ready[64];
    const int n = ::epoll_wait(static_cast<int>(epfd), ready, 64, 0);
    for (int k = 0; k < n; ++k) {
      auto found = watches.find(ready[k].data.fd);
      if (found == watches.end()) continue;
      const std::uint32_t e = ready[k].events;
      // Copies: a waiter woken may leave the lists before the loop ends.
      if ((e & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
        for (AwaitObject* a : std::vector<AwaitObject*>(found->second.readers)) {
          a->fired = static_cast<short>(a->fired | POLLIN);
          wake(a);
        }
      }
      found = watches.find(ready[k].data.fd);
      if (found != watches.end() && (e & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) {
        for (AwaitObject* a : std::vector<AwaitObject*>(found->second.writers)) {
          a->fired = static_cast<short>(a->fired | POLLOUT);
          wake(a);
        }
      }
    }
    return none();
  });
}

auto on_timer(PyObject*, PyObject* self) -> PyObject* {
  return guard([&] {
    AwaitObject* a = as_await(self);
    Py_CLEAR(a->timer);  // fired: the loop holds it no more
    a->timed_out = true;
    wake(a);
    return none();
  });
}
PyMethodDef on_timer_def = {"_on_timer", on_timer, METH_O, nullptr};

auto timer_callback() -> PyObject* {
  static PyObject* f = callable(on_timer_def);
  return f;
}

// Registers the descriptor's events of the watch in its epoll set as they now are.
auto update_watch(int fd, Watch& w) -> bool {
  const std::uint32_t want = (w.readers.empty() ? 0 : EPOLLIN) | (w.writers.empty() ? 0 : EPOLLOUT);
  if (want == w.events) return true;
  epoll_event ev{};
  ev.events = want;
  ev.data.fd = fd;
  const int op = w.events == 0 ? EPOLL_CTL_ADD : want == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  // A descriptor closed meanwhile has left the set by itself.
  if (::epoll_ctl(w.epfd, op, fd, &ev) != 0 && !(op == EPOLL_CTL_DEL && (errno == ENOENT || errno == EBADF))) {
    return false;
  }
  w.events = want;
  return true;
}

void watch(AwaitObject* a, bool writing) {
  const int epfd = epoll_of(a->loop);
  Watch& w = watches[a->fd];
  w.epfd = epfd;
  (writing ? w.writers : w.readers).push_back(a);
  (writing ? a->writing : a->reading) = true;
  if (!update_watch(a->fd, w)) {
    PyErr_SetFromErrno(PyExc_OSError);
    throw PyErrSet{};
  }
}

// Never fails: a descriptor the set cannot forget has left it.
void unwatch(AwaitObject* a, bool writing) {
  bool& on = writing ? a->writing : a->reading;
  if (!on) return;
  on = false;
  auto found = watches.find(a->fd);
  if (found == watches.end()) return;
  auto& list = writing ? found->second.writers : found->second.readers;
  list.erase(std::remove(list.begin(), list.end(), a), list.end());
  (void)update_watch(a->fd, found->second);
  if (found->second.readers.empty() && found->second.writers.empty()) watches.erase(found);
}

// Ends the current wait's watching: descriptors, timer, future. Keeps any pending exception.
void unwait(AwaitObject* a) {
  PyObject* pending = PyErr_GetRaisedException();
  unwatch(a, false);
  unwatch(a, true);
  if (a->timer != nullptr) {
    PyObject* r = PyObject_CallMethodObjArgs(a->timer, names().cancel, nullptr);
    if (r == nullptr) PyErr_Clear();
    Py_XDECREF(r);
    Py_CLEAR(a->timer);
  }
  Py_CLEAR(a->future);
  a->fired = 0;
  a->timed_out = false;
  PyErr_SetRaisedException(pending);
}

// A new future of the loop for the task to wait on, marked as one that it waits for.
auto new_future(AwaitObject* a) -> PyObject* {
  OwnedRef future = call_method(a->loop, names().create_future);
  if (PyObject_SetAttr(future.get(), names().blocking, Py_True) < 0) throw PyErrSet{};
  a->future = Py_NewRef(future.get());
  return future.release();
}

// Waits for io's descriptor until limit: the future the task waits on.
auto wait_on(AwaitObject* a, const Call::Io& io, std::optional<Clock::time_point> limit) -> PyObject* {
  PyObject* future = new_future(a);
  a->fd = io.fd;
  if (io.fd >= 0) {
    if ((io.events & POLLIN) != 0) watch(a, false);
    if ((io.events & POLLOUT) != 0) watch(a, true);
  }
  if (limit) {
    const double seconds = std::max(0.0, std::chrono::duration<double>(*limit - Clock::now()).count());
    OwnedRef delay = OwnedRef::checked(PyFloat_FromDouble(seconds));
    a->timer = call_method(a->loop, names().call_later, delay.get(), timer_callback(), reinterpret_cast<PyObject*>(a))
                   .release();
  }
  return future;
}

// Work's waiter on its thread: releases the interpreter lock while it works; asked whether to
// stop, says whether the task gave the call up.
class ThreadWaiter final : public Waiter {
 public:
  explicit ThreadWaiter(const std::atomic<bool>& stop) : stop_(stop) {}
  void leave() noexcept override {
    if (depth_++ == 0) saved_ = PyEval_SaveThread();
  }
  void enter() override {
    if (--depth_ == 0) PyEval_RestoreThread(saved_);
  }
  auto interrupted() -> bool override { return stop_.load(); }

 private:
  const std::atomic<bool>& stop_;
  PyThreadState* saved_ = nullptr;
  int depth_ = 0;
};

// How much less than the loop's thread a work thread weighs for the scheduler (about a tenth).
constexpr int kWorkNice = 10;

auto after_work(PyObject*, PyObject* self) -> PyObject* {
  return guard([&] {
    wake(as_await(self));
    return none();
  });
}
PyMethodDef after_work_def = {"_after_work", after_work, METH_O, nullptr};

// The body of a call's work thread. Nothing it raises reaches the thread's owner: a loop closed
// meanwhile only means nobody waits any more.
auto run_work(PyObject*, PyObject* self) -> PyObject* {
  AwaitObject* a = as_await(self);
  guard([&] {
    if (!ready_thread_storage()) throw std::bad_alloc();
    if (a->call && !a->abandoned) {
      // Work beside an event loop yields the processor to it: on a machine whose cores a listing's
      // threads fill, the loop's thread would otherwise wake milliseconds late, waiting for their
      // time slices. A lower priority (never the idle class, which a busy machine would starve)
      // for this thread alone; the threads a listing starts from here inherit it, and it ends
      // with the thread.
      (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkNice);
      const auto run = std::get<Call::Work>(a->call->cx.pending()).run;
      ThreadWaiter waiter(a->stop);
      {
        SteppedAside away(waiter);
        run(waiter);
      }
    }
    a->work_done = true;
    if (a->abandoned) {
      a->call.reset();  // given up by its task: the frames end here, the call never goes on
      return 0;
    }
    static PyObject* wake_callback = callable(after_work_def);
    (void)call_method(a->loop, names().call_soon_threadsafe, wake_callback, self);
    return 0;
  });
  if (PyErr_Occurred()) {
    PyErr_Clear();
    if (!a->abandoned && a->future == nullptr) a->call.reset();
  }
  return none();
}
PyMethodDef run_work_def = {"_run_work", run_work, METH_O, nullptr};

auto start_work(AwaitObject* a) -> PyObject* {
  OwnedRef future = OwnedRef::steal(new_future(a));
  static PyObject* body = callable(run_work_def);
  OwnedRef args = OwnedRef::checked(PyTuple_Pack(1, reinterpret_cast<PyObject*>(a)));
  OwnedRef kwargs = OwnedRef::checked(PyDict_New());
  OwnedRef none_args = OwnedRef::checked(PyTuple_New(0));
  static PyObject* args_key = OwnedRef::checked(PyUnicode_InternFromString("args")).release();
  if (PyDict_SetItem(kwargs.get(), names().target, body) < 0 || PyDict_SetItem(kwargs.get(), args_key, args.get()) < 0 ||
      PyDict_SetItem(kwargs.get(), names().daemon, Py_True) < 0) {
    throw PyErrSet{};
  }
  // A daemon thread: a process may end while a lock wait goes on; its work holds the call (and
  // this awaitable) until it is done.
  OwnedRef thread = OwnedRef::checked(PyObject_Call(names().thread_class, none_args.get(), kwargs.get()));
  a->working = true;
  a->work_done = false;
  try {
    (void)call_method(thread.get(), names().start);
  } catch (...) {
    a->working = false;
    throw;
  }
  return future.release();
}

// How long a turn of the loop may make a listing's Python value: the rest waits for later turns.
constexpr auto kConvertingPerTurn = std::chrono::microseconds(500);

// Calls that end at once run on the loop without a hop (a 10 us call); but a task that awaits
// them one after another would hold the loop for as long as it goes on. Once such calls on a
// store have run back to back (less than kAtOnceGap apart) for kAtOnceRun, one of them gives the
// loop a turn before it returns.
constexpr auto kAtOnceRun = std::chrono::milliseconds(1);
constexpr auto kAtOnceGap = std::chrono::microseconds(50);

auto long_at_once(LoopStore& store, Clock::time_point began) -> bool {
  const auto now = Clock::now();
  if (began - store.at_once_last > kAtOnceGap) store.at_once_since = began;
  store.at_once_last = now;
  if (now - store.at_once_since < kAtOnceRun) return false;
  store.at_once_since = now;
  return true;
}

// The loop's next turn: a bare yield, on which the task steps again after the others had theirs
// (as asyncio.sleep(0) does); a cancel in between is thrown in then.
auto next_turn() -> PyObject* { return Py_NewRef(Py_None); }

// The Python value of a call that ended (PYGEN_RETURN), or its error, or the exception its task
// threw in, with the note of what became of its change (PYGEN_ERROR); or, for a long listing, a
// part of its value made and the next turn of the loop to wait for (PYGEN_NEXT).
auto finish(AwaitObject* a, PyObject** out) -> PySendResult {
  unwait(a);
  if (a->cancelled == nullptr && !a->call->convert_some(Clock::now() + kConvertingPerTurn)) {
    a->converting = a->waited = true;
    *out = next_turn();
    return PYGEN_NEXT;
  }
  if (a->cancelled == nullptr && !a->waited && a->store != nullptr && long_at_once(*a->store, a->began)) {
    a->converting = a->waited = true;
    *out = next_turn();
    return PYGEN_NEXT;
  }
  std::unique_ptr<LoopCall> call = std::move(a->call);
  if (a->cancelled != nullptr) {
    const Outcome outcome = call->outcome();
    call.reset();
    PyErr_SetRaisedException(Py_NewRef(a->cancelled));
    note_outcome(outcome_note(outcome));
    return PYGEN_ERROR;
  }
  *out = call->value();  // throws PyErrSet with the call's error
  return PYGEN_RETURN;
}

// Runs the call on until it ends or waits.
auto drive(AwaitObject* a, PyObject** out) -> PySendResult {
  LoopCall& call = *a->call;
  for (;;) {
    if (call.done()) return finish(a, out);
    const Call::Pending& pending = call.cx.pending();
    if (std::holds_alternative<Call::Work>(pending)) {
      *out = start_work(a);
      a->waited = true;
      return PYGEN_NEXT;
    }
    const Call::Io io = std::get<Call::Io>(pending);
    std::optional<Clock::time_point> limit = io.limit;
    if (a->cancelled != nullptr) {
      if (io.interruption == Interruption::Ends) {
        a->grace_end.reset();
        call.cx.resume(Woken::Interrupted);
        continue;
      }
      if (io.interruption == Interruption::AfterGrace && !a->grace_end) a->grace_end = Clock::now() + kGrace;
    }
    if (a->grace_end) limit = a->grace_end;
    if (limit && *limit <= Clock::now()) {
      if (io.interruption == Interruption::AfterGrace && !a->grace_end) {
        a->grace_end = Clock::now() + kGrace;  // the deadline passed: the grace begins
        continue;
      }
      const bool stopped = a->cancelled != nullptr && io.interruption == Interruption::AfterGrace;
      a->grace_end.reset();
      call.cx.resume(stopped ? Woken::Interrupted : Woken::TimedOut);
      continue;
    }
    *out = wait_on(a, io, limit);
    a->waited = true;
    return PYGEN_NEXT;
  }
}

// The task resumed the call: its future is done.
auto resumed(AwaitObject* a, PyObject** out) -> PySendResult {
  if (a->ready != nullptr) {
    *out = std::exchange(a->ready, nullptr);
    return PYGEN_RETURN;
  }
  if (!a->call) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited store call");
    return PYGEN_ERROR;
  }
  if (!a->started) {
    // The loop is the one running the awaiting task: bound when the call starts, not when it is
    // made (the awaitable may be made before the loop runs, as a coroutine may).
    if (a->store != nullptr && a->store->closed) raise(PyExc_RuntimeError, "this AsyncTrustStore is closed");
    a->loop = Py_NewRef(a->store != nullptr ? bound_loop(*a->store, "AsyncTrustStore")
                                            : OwnedRef::checked(PyObject_CallNoArgs(names().get_running_loop)).get());
    a->started = true;
    a->began = Clock::now();
    a->call->start();
    return drive(a, out);
  }
  if (a->converting) return finish(a, out);
  if (a->working) {
    if (!a->work_done) {  // not the work's wake-up: wait on
      *out = Py_NewRef(a->future);
      return PYGEN_NEXT;
    }
    a->working = false;
    Py_CLEAR(a->future);
    a->call->cx.resume(Woken::Ready);
    return drive(a, out);
  }
  const short fired = a->fired;
  unwait(a);
  if (fired != 0) {
    a->grace_end.reset();
    a->call->cx.resume(Woken::Ready, fired);
  }
  // A limit that passed (or a wake-up for nothing): drive decides.
  return drive(a, out);
}

// Gives the call up where it stands: its work, if any, ends on its thread, which ends the frames
// then; else they end now (a database session in the middle of a statement is not reused).
void give_up(AwaitObject* a) {
  unwait(a);
  if (a->working && !a->work_done) {
    a->stop = true;
    a->abandoned = true;
    return;
  }
  a->call.reset();
}

// The task threw exc in (it was cancelled): the call stops as its wait allows.
auto thrown(AwaitObject* a, PyObject* exc, PyObject** out) -> PySendResult {
  if (!a->call || !a->started) {
    give_up(a);
    PyErr_SetRaisedException(Py_NewRef(exc));
    return PYGEN_ERROR;
  }
  if (a->cancelled == nullptr) a->cancelled = Py_NewRef(exc);
  if (a->converting) {
    // The call had ended; only its value was being made.
    unwait(a);
    a->converting = false;
    return finish(a, out);
  }
  if (a->working) {
    // A lock wait or a listing changes nothing: the call is given up at once.
    give_up(a);
    PyErr_SetRaisedException(Py_NewRef(a->cancelled));
    note_outcome(outcome_note(Outcome::None));
    return PYGEN_ERROR;
  }
  unwait(a);
  return drive(a, out);
}

auto await_send(PyObject* self, PyObject*, PyObject** out) -> PySendResult {
  AwaitObject* a = as_await(self);
  PySendResult result = PYGEN_ERROR;
  guard([&] {
    result = resumed(a, out);
    return 0;
  });
  if (result == PYGEN_ERROR && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "store call failed");
  if (PyErr_Occurred() && result != PYGEN_ERROR) result = PYGEN_ERROR;
  return result;
}

// As a generator's: the value of a return, or the next future (or nullptr with the error).
auto to_iteration(PySendResult result, PyObject* value) -> PyObject* {
  if (result == PYGEN_NEXT) return value;
  if (result == PYGEN_RETURN) {
    if (value == Py_None) {
      Py_DECREF(value);
      PyErr_SetNone(PyExc_StopIteration);
    } else {
      PyObject* stop = call_one(PyExc_StopIteration, value);
      Py_DECREF(value);
      if (stop != nullptr) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
      }
    }
  }
  return nullptr;
}

auto await_next(PyObject* self) -> PyObject* {
  PyObject* value = nullptr;
  const PySendResult result = await_send(self, Py_None, &value);
  return to_iteration(result, value);
}

auto await_send_method(PyObject* self, PyObject* arg) -> PyObject* {
  PyObject* value = nullptr;
  const PySendResult result = await_send(self, arg, &value);
  return to_iteration(result, value);
}

auto await_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) -> PyObject* {
  AwaitObject* a = as_await(self);
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument");
    return nullptr;
  }
  OwnedRef exc;
  PyObject* given = args[0];
  if (PyExceptionInstance_Check(given)) {
    exc = OwnedRef::borrow(given);
  } else if (PyExceptionClass_Check(given)) {
    exc = OwnedRef::steal(nargs > 1 && args[1] != Py_None ? call_one(given, args[1])
                                                           : PyObject_CallNoArgs(given));
    if (!exc) return nullptr;
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException");
    return nullptr;
  }
  PyObject* value = nullptr;
  PySendResult result = PYGEN_ERROR;
  guard([&] {
    result = thrown(a, exc.get(), &value);
    return 0;
  });
  if (PyErr_Occurred() && result != PYGEN_ERROR) result = PYGEN_ERROR;
  return to_iteration(result, value);
}

auto await_close(PyObject* self, PyObject*) -> PyObject* {
  guard([&] {
    give_up(as_await(self));
    return 0;
  });
  if (PyErr_Occurred()) return nullptr;
  return none();
}

auto await_await(PyObject* self) -> PyObject* { return Py_NewRef(self); }

auto await_traverse(PyObject* self, visitproc visit, void* arg) -> int {
  AwaitObject* a = as_await(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(a->owner);
  Py_VISIT(a->loop);
  Py_VISIT(a->future);
  Py_VISIT(a->timer);
  Py_VISIT(a->cancelled);
  Py_VISIT(a->ready);
  return 0;
}

auto await_clear(PyObject* self) -> int {
  AwaitObject* a = as_await(self);
  Py_CLEAR(a->future);
  Py_CLEAR(a->timer);
  Py_CLEAR(a->cancelled);
  Py_CLEAR(a->ready);
  return 0;
}

void await_dealloc(PyObject* self) {
  AwaitObject* a = as_await(self);
  PyObject_GC_UnTrack(self);
  PyObject* pending = PyErr_GetRaisedException();
  guard([&] {
    give_up(a);
    return 0;
  });
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
  // Work still on its thread holds a reference: a call is never freed under it.
  std::destroy_at(&a->call);
  std::destroy_at(&a->grace_end);
  std::destroy_at(&a->stop);
  Py_CLEAR(a->owner);
  Py_CLEAR(a->loop);
  await_clear(self);
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

PyMethodDef await_methods[] = {
    {"send", await_send_method, METH_O, "send(value)\n--\n\nResume the call."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(await_throw)), METH_FASTCALL,
     "throw(exception)\n--\n\nStop the call (its task was cancelled)."},
    {"close", await_close, METH_NOARGS, "close()\n--\n\nGive the call up."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot await_slots[] = {
    {Py_tp_doc, const_cast<char*>("A velk_trust store call on an event loop: await it once.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(await_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(await_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(await_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(await_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(await_next)},
    {Py_tp_methods, await_methods},
    {Py_am_await, reinterpret_cast<void*>(await_await)},
    {Py_am_send, reinterpret_cast<void*>(await_send)},
    {0, nullptr},
};

PyType_Spec await_spec = {
    .name = "velk_trust.StoreCall",
    .basicsize = sizeof(AwaitObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = await_slots,
};

auto await_type() -> PyTypeObject* {
  static PyTypeObject* type = [] {
    PyObject* made = PyType_FromSpec(&await_spec);
    if (made == nullptr) throw PyErrSet{};
    return reinterpret_cast<PyTypeObject*>(made);
  }();
  return type;
}

auto new_await(PyObject* owner, LoopStore* store) -> AwaitObject* {
  forget_watches_in_child();
  PyObject* self = type_alloc(await_type());
  if (self == nullptr) throw PyErrSet{};
  AwaitObject* a = as_await(self);
  new (&a->call) std::unique_ptr<LoopCall>();
  new (&a->grace_end) std::optional<Clock::time_point>();
  new (&a->stop) std::atomic<bool>(false);
  a->owner = Py_XNewRef(owner);
  a->store = store;
  a->loop = nullptr;
  a->future = a->timer = a->cancelled = a->ready = nullptr;
  a->fd = -1;
  a->reading = a->writing = false;
  a->fired = 0;
  a->timed_out = a->started = a->working = a->work_done = a->abandoned = a->converting = a->waited = false;
  new (&a->began) Clock::time_point();
  return a;
}

}  // namespace

auto bound_loop(LoopStore& store, const char* class_name) -> PyObject* {
  OwnedRef running = OwnedRef::checked(PyObject_CallNoArgs(names().get_running_loop));
  if (running.get() == store.loop && store.pid == ::getpid()) return store.loop;
  if (store.loop != nullptr && store.pid == ::getpid()) {
    OwnedRef closed = call_method(store.loop, names().is_closed);
    if (closed.get() != Py_True) {
      raise(PyExc_RuntimeError, std::string("this ") + class_name +
                                    " is bound to the event loop that first used it, which is still open; make one "
                                    "store per event loop");
    }
  }
  PyObject* was = std::exchange(store.loop, running.release());
  Py_XDECREF(was);
  store.pid = ::getpid();
  return store.loop;
}

auto new_loop_call(std::unique_ptr<LoopCall> call, PyObject* owner, LoopStore* store) -> PyObject* {
  AwaitObject* a = new_await(owner, store);
  a->call = std::move(call);
  return reinterpret_cast<PyObject*>(a);
}

auto new_ready_call(PyObject* value) -> PyObject* {
  OwnedRef kept = OwnedRef::steal(value);
  AwaitObject* a = new_await(nullptr, nullptr);
  a->ready = kept.release();
  return reinterpret_cast<PyObject*>(a);
}

}  // namespace velk::py
