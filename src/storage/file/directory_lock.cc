// The directory lock: a blocking flock, and the list of held locks that a forked child drops.
#include "storage/file/directory_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <mutex>
#include <thread>

namespace velk {
namespace {

// Guards the list of held locks. A fork waits for it (before_fork), so that no descriptor is
// between being opened and being listed when the child is made. Opening and closing happen under
// it, and nothing else: it is never held while a lock is awaited.
std::mutex held_mutex;
DirectoryLock* held_head = nullptr;

std::mutex install_mutex;
std::atomic<bool> fork_handlers_installed{false};

// How long a lock taken while others wait is left to them.
constexpr auto kYield = std::chrono::microseconds(200);

}  // namespace

// A waiter says so with a read lock on the directory's first byte (fcntl's own locks, apart from
// flock's); closing the descriptor takes it away. Failures cost only fairness, so they are ignored.
void DirectoryLock::announce_waiting() const noexcept {
  struct flock range = {};
  range.l_type = F_RDLCK;
  range.l_whence = SEEK_SET;
  range.l_len = 1;
  ::fcntl(fd_, F_OFD_SETLK, &range);
}

auto DirectoryLock::others_waiting() const noexcept -> bool {
  struct flock range = {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_len = 1;
  return ::fcntl(fd_, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

void DirectoryLock::before_fork() noexcept { held_mutex.lock(); }
void DirectoryLock::after_fork_in_parent() noexcept { held_mutex.unlock(); }

void DirectoryLock::after_fork_in_child() noexcept {
  // The threads that hold these locks do not exist in the child: close its copies and forget them.
  for (DirectoryLock* lock = held_head; lock != nullptr; lock = lock->next_) {
    ::close(lock->fd_);
    lock->fd_ = -1;
  }
  held_head = nullptr;
  held_mutex.unlock();
}

auto DirectoryLock::install_fork_handlers() -> Result<void> {
  if (fork_handlers_installed.load(std::memory_order_acquire)) return {};
  // Not under held_mutex: a fork holds glibc's handler lock while it runs before_fork.
  std::lock_guard guard(install_mutex);
  if (fork_handlers_installed.load(std::memory_order_relaxed)) return {};
  if (const int err = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); err != 0) {
    return TrustError::io(err);  // ENOMEM: tried again by the next lock
  }
  fork_handlers_installed.store(true, std::memory_order_release);
  return {};
}

DirectoryLock::~DirectoryLock() {
  if (fd_ < 0) return;
  std::lock_guard guard(held_mutex);
  (prev_ != nullptr ? prev_->next_ : held_head) = next_;
  if (next_ != nullptr) next_->prev_ = prev_;
  ::close(fd_);
}

auto DirectoryLock::try_acquire(const std::string& dir) -> Result<bool> {
  if (auto installed = install_fork_handlers(); !installed) return installed.error();
  {
    std::lock_guard guard(held_mutex);
    fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return TrustError::io(errno);
    next_ = held_head;
    if (held_head != nullptr) held_head->prev_ = this;
    held_head = this;
  }
  // Mostly the lock is free and taken at once, with the caller's locks kept. Taken while another
  // process waits for it, it is let go once, so that a process updating in a tight loop does not
  // take it again, time after time, before a waiter the kernel has woken gets to run.
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    if (!others_waiting()) return true;
    ::flock(fd_, LOCK_UN);
    yielding_ = true;
  } else if (errno != EWOULDBLOCK && errno != EINTR) {
    return TrustError::io(errno);
  }
  return false;
}

auto DirectoryLock::wait(Waiter& waiter) -> Result<void> {
  if (yielding_) std::this_thread::sleep_for(kYield);
  announce_waiting();
  for (;;) {
    // Asked before each wait too: a signal that came just before it would not end it.
    if (waiter.interrupted()) return TrustError::io(EINTR);
    if (::flock(fd_, LOCK_EX) == 0) return {};
    if (errno != EINTR) return TrustError::io(errno);
  }
}

}  // namespace velk
