// Task<T>: a lazily started coroutine that a caller awaits, and FunctionRef, a borrowed callable.
// Store calls are written as coroutines so that one body serves a blocking caller and an event
// loop alike: where a call would wait, it suspends, and whoever drives it does the waiting.
#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace velk {

template <typename T>
class [[nodiscard]] Task {
 public:
  struct promise_type {
    std::coroutine_handle<> continuation = std::noop_coroutine();
    std::optional<T> value;
    std::exception_ptr failure;

    auto get_return_object() noexcept -> Task { return Task(Handle::from_promise(*this)); }
    auto initial_suspend() noexcept -> std::suspend_always { return {}; }
    // Resumes the awaiting coroutine directly (symmetric transfer), so that chains of calls that
    // complete without waiting never grow the stack.
    struct Final {
      auto await_ready() noexcept -> bool { return false; }
      auto await_suspend(std::coroutine_handle<promise_type> done) noexcept -> std::coroutine_handle<> {
        return done.promise().continuation;
      }
      void await_resume() noexcept {}
    };
    auto final_suspend() noexcept -> Final { return {}; }
    void unhandled_exception() noexcept { failure = std::current_exception(); }
    template <typename U>
    void return_value(U&& v) {
      value.emplace(std::forward<U>(v));
    }
  };
  using Handle = std::coroutine_handle<promise_type>;

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task(const Task&) = delete;
  auto operator=(const Task&) -> Task& = delete;
  auto operator=(Task&&) -> Task& = delete;
  // Destroying a suspended task ends its coroutine: the destructors of its locals run.
  ~Task() {
    if (handle_) handle_.destroy();
  }

  // Awaited by another coroutine: starts this one, which resumes the awaiter when it is done.
  auto await_ready() const noexcept -> bool { return false; }
  auto await_suspend(std::coroutine_handle<> awaiter) noexcept -> std::coroutine_handle<> {
    handle_.promise().continuation = awaiter;
    return handle_;
  }
  auto await_resume() -> T { return take(); }

  // For a driver: the coroutine to resume first, whether it has finished, and its value (an
  // exception that escaped it is thrown here).
  auto handle() const noexcept -> std::coroutine_handle<> { return handle_; }
  auto done() const noexcept -> bool { return handle_.done(); }
  auto take() -> T {
    auto& promise = handle_.promise();
    if (promise.failure) std::rethrow_exception(promise.failure);
    return std::move(*promise.value);
  }

 private:
  explicit Task(Handle handle) noexcept : handle_(handle) {}
  Handle handle_;
};

// A callable borrowed for the length of a call: no allocation, no ownership.
template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& f) noexcept  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
        }) {}

  auto operator()(Args... args) const -> R { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace velk
