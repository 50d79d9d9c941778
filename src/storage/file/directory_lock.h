// The exclusive lock on a record directory that a read-modify-write holds, which no forked child
// ever keeps.
#pragma once

#include <string>

#include "common/error.h"
#include "storage/waiter.h"

namespace velk {

class DirectoryLock {
 public:
  DirectoryLock() = default;
  DirectoryLock(const DirectoryLock&) = delete;
  auto operator=(const DirectoryLock&) -> DirectoryLock& = delete;
  // Closing the descriptor releases the lock.
  ~DirectoryLock();

  // Opens dir ("" is the working directory) and takes its lock when that can be done at once:
  // true then; false when the caller must wait(). Locking the directory creates nothing inside it.
  auto try_acquire(const std::string& dir) -> Result<bool>;
  // Waits until the lock is ours: blocked in the kernel, which wakes the waiter when the holder
  // lets go. A signal ends the wait when the waiter says so (Io EINTR).
  auto wait(Waiter& waiter) -> Result<void>;
  // The locked directory's descriptor, for the *at calls.
  auto fd() const noexcept -> int { return fd_; }

 private:
  // Held locks are listed so that a forked child can close its copies of their descriptors: a flock
  // belongs to the open file description, so a child that kept one would hold its parent's lock.
  static void before_fork() noexcept;
  static void after_fork_in_parent() noexcept;
  static void after_fork_in_child() noexcept;
  static auto install_fork_handlers() -> Result<void>;
  void announce_waiting() const noexcept;
  auto others_waiting() const noexcept -> bool;

  DirectoryLock* prev_ = nullptr;
  DirectoryLock* next_ = nullptr;
  int fd_ = -1;
  bool yielding_ = false;  // taken while others waited, and let go for them once
};

}  // namespace velk
