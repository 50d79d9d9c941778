// Store calls driven by an asyncio event loop: each call is an awaitable whose waits are the
// loop's own (a descriptor watched by the loop, a timer), whose long or blocking work (a lock wait,
// a listing, a name lookup) runs on a thread of its own, and which a cancelled task stops.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "bindings/python/store_ops.h"
#include "storage/call.h"

namespace velk::py {

// Ends a long listing's C++ values (their destructors, the memory given back to the system: a few
// milliseconds for 50,000 records) on a thread of their own, away from the event loop's; a short one,
// or one no thread can be had for, here.
template <typename T>
void let_go(std::vector<T>&& items) {
  constexpr std::size_t kLongListing = 4096;
  if (items.size() >= kLongListing) {
    try {
      std::thread([doomed = std::move(items)]() mutable { doomed = std::vector<T>(); }).detach();
      return;
    } catch (const std::system_error&) {
      // No thread to be had: they end here.
    }
  }
  items = std::vector<T>();
}

// A store call on the loop, its operation's kind erased: what the awaitable drives.
class LoopCall {
 public:
  explicit LoopCall(std::optional<double> timeout) : cx(timeout) {}
  LoopCall(const LoopCall&) = delete;
  auto operator=(const LoopCall&) -> LoopCall& = delete;
  virtual ~LoopCall() = default;

  // Runs the coroutine up to its first wait (or its end).
  virtual void start() = 0;
  virtual auto done() const -> bool = 0;
  // Once done: what became of the call's change, for a stopped call's note.
  virtual auto outcome() -> Outcome = 0;
  // Once done: the result's Python value, or its error raised (throws PyErrSet).
  virtual auto value() -> PyObject* = 0;
  // Once done: makes more items of a listing's Python value until the clock passes until; true once
  // it is whole (or the result is not a listing, or an error), which value() then gives. A long
  // listing is made a part at a time, so that other tasks run in between.
  virtual auto convert_some(Clock::time_point) -> bool { return true; }

  Call cx;  // declared first: the coroutine's frames, which live in it, end before it
};

template <typename Op>
class LoopCallOf final : public LoopCall {
 public:
  using T = OpResult<Op>;
  template <typename... Args>
  LoopCallOf(const Store& store, std::optional<double> timeout, Args&&... args)
      : LoopCall(timeout), op(std::forward<Args>(args)...), store_(store) {}

  void start() override {
    task_.emplace(op.start(store_, cx));
    cx.start(task_->handle());
  }
  auto done() const -> bool override { return task_ && task_->done(); }
  auto outcome() -> Outcome override {
    const auto& r = taken();
    if (r) return Outcome::Made;
    return r.error().outcome_unknown() ? Outcome::Unknown : Outcome::None;
  }
  auto value() -> PyObject* override {
    if (list_) return list_.release();
    taken();
    return op_value(op, std::move(*result_));
  }
  auto convert_some(Clock::time_point until) -> bool override {
    if constexpr (requires(typename T::value_type item) { Op::item(std::move(item)); }) {
      auto& r = taken();
      if (!r) return true;
      auto& items = *r;
      if (!list_) list_ = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
      constexpr std::size_t kBetweenClocks = 64;
      while (converted_ < items.size()) {
        for (std::size_t end = std::min(items.size(), converted_ + kBetweenClocks); converted_ < end; ++converted_) {
          list_set(list_.get(), static_cast<Py_ssize_t>(converted_), Op::item(std::move(items[converted_])));
        }
        if (converted_ < items.size() && Clock::now() >= until) return false;
      }
      let_go(std::move(items));
      return true;
    } else {
      return true;
    }
  }

  Op op;

 private:
  auto taken() -> Result<T>& {
    if (!result_) result_.emplace(task_->take());
    return *result_;
  }
  const Store& store_;
  std::optional<Task<Result<T>>> task_;  // after op: it reads op's arguments, and ends first
  std::optional<Result<T>> result_;
  OwnedRef list_;  // a listing's value while it is made
  std::size_t converted_ = 0;
};

// The running loop, which the store is bound to from now on when it was bound to none (or to one
// that is closed, or of the parent of a fork); RuntimeError without one, or when the store is bound
// to another that is open. A borrowed reference.
auto bound_loop(LoopStore& store, const char* class_name) -> PyObject*;

// An awaitable that drives call on the loop that awaits it (the one store is bound to, when the
// call is on a store); owner (the store's object, or the class that opens one) is kept alive until
// it ends.
auto new_loop_call(std::unique_ptr<LoopCall> call, PyObject* owner, LoopStore* store) -> PyObject*;
// An awaitable that is done at once with value (stolen).
auto new_ready_call(PyObject* value) -> PyObject*;

}  // namespace velk::py
