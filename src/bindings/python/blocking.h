// A store call run to its end on the calling thread, as TrustStore runs every call.
#pragma once

#include "bindings/python/store_ops.h"
#include "storage/call.h"

namespace velk::py {

// Releases the interpreter lock while a store call waits for the directory lock or works through
// a listing, and lets the interpreter's signal handlers interrupt it: their exception (for Ctrl-C,
// KeyboardInterrupt) is then raised in place of the call's result.
//
// An interpreter that is exiting ends a thread that asks for its lock back (a daemon thread still in
// a call) by a forced unwind out of PyEval_RestoreThread: that unwind passes every frame up to the
// boundary, and the lock is not asked for a second time on the way.
class InterpreterWaiter final : public Waiter {
 public:
  void leave() noexcept override {
    if (depth_++ == 0) saved_ = PyEval_SaveThread();
  }
  void enter() override {
    if (--depth_ == 0 && !ended_) take_back();
  }
  auto interrupted() -> bool override {
    take_back();
    raised_ = raised_ || PyErr_CheckSignals() != 0;
    saved_ = PyEval_SaveThread();
    return raised_;
  }

  // The call's result, or the exception of a signal handler that interrupted it, with a note of
  // what became of the call's change: none, made (the call had finished), or unknown (a commit's
  // answer that did not come within the grace).
  template <typename T>
  auto result(Result<T>&& r) -> T {
    if (raised_) {
      note_outcome(outcome_note(r ? Outcome::Made : r.error().outcome_unknown() ? Outcome::Unknown : Outcome::None));
      throw PyErrSet{};
    }
    return value_or_raise(std::move(r));
  }

 private:
  void take_back() {
    ended_ = true;  // stays set only if the thread ends here
    PyEval_RestoreThread(saved_);
    ended_ = false;
  }

  PyThreadState* saved_ = nullptr;
  int depth_ = 0;
  bool raised_ = false;
  bool ended_ = false;
};

// One store call, run to its end on this thread: its result, or the exception of a signal handler
// that interrupted it.
class Runner {
 public:
  // A call on the store at address: within its timeout, when it has one.
  explicit Runner(const Address& address) : cx(address.timeout) {}
  explicit Runner(const Store& store) : Runner(store.address()) {}

  template <typename T>
  auto operator()(Task<Result<T>> task) -> T {
    return waiter.result(run(std::move(task), cx, waiter));
  }

  Call cx;
  InterpreterWaiter waiter;
};

}  // namespace velk::py
