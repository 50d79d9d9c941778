// Coroutine tasks: a caller's loop over tasks that finish at once keeps a flat stack, and one that
// waits on the way resumes its awaiter with its value.
#include "common/task.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <stdexcept>

#include "storage/call.h"

namespace velk {
namespace {

auto at_once(int k) -> Task<int> { co_return k; }

auto sum_of(int n) -> Task<long> {
  long sum = 0;
  for (int k = 0; k < n; ++k) sum += co_await at_once(k);
  co_return sum;
}

TEST(TaskTest, LoopOverFinishedTasksKeepsTheStackFlat) {
  // A million awaits on a 64 KiB stack: each frame that stayed would overflow it many times over.
  struct Run {
    long sum = -1;
  } run;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, [](void* arg) -> void* {
    auto* r = static_cast<Run*>(arg);
    auto task = sum_of(1'000'000);
    task.handle().resume();
    r->sum = task.done() ? task.take() : -2;
    return nullptr;
  }, &run), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(run.sum, 499'999'500'000L);
}

auto readable(Call& cx, int fd) -> Task<int> {
  const Woken woken = co_await cx.ready(fd, POLLIN);
  co_return woken == Woken::Ready ? 7 : -1;
}

auto waits_then_at_once(Call& cx, int fd) -> Task<int> {
  int total = co_await readable(cx, fd);
  for (int k = 0; k < 3; ++k) total += co_await at_once(1);
  co_return total + co_await readable(cx, fd);
}

TEST(TaskTest, TaskThatWaitsResumesItsAwaiter) {
  const int fd = eventfd(1, EFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  Call cx;
  EXPECT_EQ(run(waits_then_at_once(cx, fd), cx, Waiter::plain()), 7 + 3 + 7);
  close(fd);
}

auto throws() -> Task<int> {
  throw std::runtime_error("out");
  co_return 0;
}

auto catches() -> Task<bool> {
  try {
    (void)co_await throws();
  } catch (const std::runtime_error&) {
    co_return true;
  }
  co_return false;
}

TEST(TaskTest, ExceptionReachesTheAwaiter) {
  auto task = catches();
  task.handle().resume();
  ASSERT_TRUE(task.done());
  EXPECT_TRUE(task.take());
}

}  // namespace
}  // namespace velk
