// Task<T>: a lazily started coroutine that a caller awaits, and FunctionRef, a borrowed callable.
// Store calls are written as coroutines so that one body serves a blocking caller and an event
// loop alike: where a call would wait, it suspends, and whoever drives it does the waiting.
#pragma once

#include <concepts>
#include <coroutine>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

namespace velk {

// Room for the coroutine frames of one call, which come and go last in, first out: a call's
// frames cost no allocation of their own while they fit. A coroutine that takes an argument with
// frame_arena() (a Call) has its frame placed there; any other, or one that does not fit, on the
// heap.
class FrameArena {
 public:
  FrameArena() = default;
  FrameArena(const FrameArena&) = delete;
  auto operator=(const FrameArena&) -> FrameArena& = delete;

  static auto allocate(FrameArena* arena, std::size_t size) -> void* {
    const std::size_t total = kHeader + round_up(size);
    if (arena != nullptr && total <= sizeof(arena->bytes_) - arena->top_) {
      std::byte* at = arena->bytes_ + arena->top_;
      arena->top_ += total;
      *reinterpret_cast<FrameArena**>(at) = arena;
      return at + kHeader;
    }
    void* at = std::malloc(total);
    if (at == nullptr) throw std::bad_alloc();
    *static_cast<FrameArena**>(at) = nullptr;
    return static_cast<std::byte*>(at) + kHeader;
  }
  static void release(void* frame, std::size_t size) noexcept {
    std::byte* at = static_cast<std::byte*>(frame) - kHeader;
    FrameArena* arena = *reinterpret_cast<FrameArena**>(at);
    if (arena == nullptr) return std::free(at);
    // The top frame goes back; one that is not on top (never the case for awaited tasks) stays
    // until the arena ends.
    if (at + kHeader + round_up(size) == arena->bytes_ + arena->top_) arena->top_ = static_cast<std::size_t>(at - arena->bytes_);
  }

 private:
  static constexpr std::size_t kAlign = alignof(std::max_align_t);
  static constexpr std::size_t kHeader = kAlign;
  static constexpr auto round_up(std::size_t n) -> std::size_t { return (n + kAlign - 1) / kAlign * kAlign; }

  alignas(std::max_align_t) std::byte bytes_[4096];
  std::size_t top_ = 0;
};

namespace detail {
template <typename T>
concept HasFrameArena = requires(T& t) {
  { t.frame_arena() } -> std::same_as<FrameArena&>;
};
// The arena of the first argument that has one.
inline auto arena_of() -> FrameArena* { return nullptr; }
template <typename First, typename... Rest>
auto arena_of(First& first, Rest&... rest) -> FrameArena* {
  if constexpr (HasFrameArena<std::remove_cvref_t<First>>) {
    return &const_cast<std::remove_cvref_t<First>&>(first).frame_arena();
  } else {
    return arena_of(rest...);
  }
}
}  // namespace detail

template <typename T>
class [[nodiscard]] Task {
 public:
  struct promise_type {
    std::coroutine_handle<> continuation = std::noop_coroutine();
    bool started_inline = false;  // resumed from its awaiter's await_suspend, not yet suspended
    std::optional<T> value;
    std::exception_ptr failure;

    template <typename... Args>
    static auto operator new(std::size_t size, Args&... args) -> void* {
      return FrameArena::allocate(detail::arena_of(args...), size);
    }
    static void operator delete(void* frame, std::size_t size) noexcept { FrameArena::release(frame, size); }

    auto get_return_object() noexcept -> Task { return Task(Handle::from_promise(*this)); }
    auto initial_suspend() noexcept -> std::suspend_always { return {}; }
    // A task that finished without suspending returns to the await_suspend that started it; one
    // that waited on the way resumes its awaiter (symmetric transfer).
    struct Final {
      auto await_ready() noexcept -> bool { return false; }
      auto await_suspend(std::coroutine_handle<promise_type> done) noexcept -> std::coroutine_handle<> {
        auto& promise = done.promise();
        return promise.started_inline ? std::noop_coroutine() : promise.continuation;
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

  // A task that is done before it starts: its value, without a coroutine (for a primitive that
  // never has to wait).
  static auto ready(T value) -> Task { return Task(std::move(value)); }

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})), ready_(std::move(other.ready_)) {}
  Task(const Task&) = delete;
  auto operator=(const Task&) -> Task& = delete;
  auto operator=(Task&&) -> Task& = delete;
  // Destroying a suspended task ends its coroutine: the destructors of its locals run.
  ~Task() {
    if (handle_) handle_.destroy();
  }

  // Awaited by another coroutine: runs this one at once; the awaiter goes on without suspending if
  // it finished, or is resumed when it does. Symmetric transfer alone would not do: without a
  // guaranteed tail call (unoptimised or sanitised builds), a loop over tasks that finish without
  // waiting (a listing of a directory) would grow the stack by each one.
  auto await_ready() const noexcept -> bool { return !handle_; }
  auto await_suspend(std::coroutine_handle<> awaiter) noexcept -> bool {
    auto& promise = handle_.promise();
    promise.continuation = awaiter;
    promise.started_inline = true;
    handle_.resume();
    if (handle_.done()) return false;
    promise.started_inline = false;
    return true;
  }
  auto await_resume() -> T { return take(); }

  // For a driver: the coroutine to resume first (a noop for a ready task), whether it has
  // finished, and its value (an exception that escaped it is thrown here).
  auto handle() const noexcept -> std::coroutine_handle<> {
    return handle_ ? std::coroutine_handle<>(handle_) : std::noop_coroutine();
  }
  auto done() const noexcept -> bool { return !handle_ || handle_.done(); }
  auto take() -> T {
    if (!handle_) return std::move(*ready_);
    auto& promise = handle_.promise();
    if (promise.failure) std::rethrow_exception(promise.failure);
    return std::move(*promise.value);
  }

 private:
  explicit Task(Handle handle) noexcept : handle_(handle) {}
  explicit Task(T value) : ready_(std::move(value)) {}
  Handle handle_;
  std::optional<T> ready_;
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
