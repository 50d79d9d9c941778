// Store operations: get-or-create, listing, records of one kind, update and witness.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "storage/file/file_store.h"

namespace velk {
namespace {

// An exclusive advisory lock on the record directory, held for one read-modify-write. Locking the
// directory itself creates nothing inside it.
class DirectoryLock {
 public:
  static auto acquire(const std::string& dir, Waiter& waiter) -> Result<DirectoryLock> {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return TrustError::io(errno);
    DirectoryLock lock(fd);
    if (auto r = lock.wait(waiter); !r) return r.error();
    return lock;
  }
  DirectoryLock(DirectoryLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  DirectoryLock(const DirectoryLock&) = delete;
  auto operator=(const DirectoryLock&) -> DirectoryLock& = delete;
  auto operator=(DirectoryLock&&) -> DirectoryLock& = delete;
  ~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  // The record file at path (a file of the locked directory) reached through the lock's descriptor.
  auto file(const std::string& path) const noexcept -> FileAt { return FileAt::in(fd_, path); }

 private:
  explicit DirectoryLock(int fd) : fd_(fd) {}

  // True when the lock is ours; false while another holder has it.
  auto try_lock() const -> Result<bool> {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK || errno == EINTR) return false;
    return TrustError::io(errno);
  }

  // Mostly the lock is free. Otherwise wait away from the caller, polling rather than blocking in
  // flock, so that the waiter can interrupt the wait within a few milliseconds.
  auto wait(Waiter& waiter) const -> Result<void> {
    auto got = try_lock();
    if (!got || *got) return got ? Result<void>() : got.error();
    SteppedAside away(waiter);
    auto pause = std::chrono::microseconds(50);
    for (;;) {
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::microseconds(5000));
      got = try_lock();
      if (!got) return got.error();
      if (*got) return {};
      if (waiter.interrupted()) return TrustError::io(EINTR);
    }
  }

  int fd_;
};

}  // namespace

auto Waiter::plain() noexcept -> Waiter& {
  static Waiter waiter;
  return waiter;
}

auto FileStore::load(FileAt file) -> Result<std::optional<EntityTrust>> {
  // Read first and decide on absence only when the read failed, so that a record deleted between
  // a status test and the read counts as absent rather than as an error.
  auto read = read_record(file);
  if (read) return std::optional(std::move(*read));
  if (read.error().kind() == TrustError::Kind::Io && !has_status(file)) return std::optional<EntityTrust>();
  return read.error();
}

auto FileStore::load_or_create(std::string_view entity_id, FileAt file) -> Result<EntityTrust> {
  auto loaded = load(file);
  if (!loaded) return loaded.error();
  if (*loaded) return std::move(**loaded);
  auto record = EntityTrust::create(entity_id);
  if (auto saved = save_at(file, record); !saved) return saved.error();
  return record;
}

auto FileStore::load_own(std::string_view entity_id, const std::string& path, FileAt file) -> Result<EntityTrust> {
  auto loaded = load(file);
  if (!loaded) return loaded.error();
  if (!*loaded) return EntityTrust::create(entity_id);
  if ((*loaded)->entity_id != entity_id) {
    // A copy restored under the wrong name: saving it would overwrite the other entity's record.
    return TrustError::storage("record file '" + path + "' holds the record of '" + (*loaded)->entity_id +
                               "', not of '" + std::string(entity_id) + "'");
  }
  return std::move(**loaded);
}

auto FileStore::get(std::string_view entity_id, Waiter& waiter) const -> Result<EntityTrust> {
  const auto path = record_path(entity_id);
  if (!path) return path.error();
  // Saves are atomic renames, so an existing record reads whole without the lock; only creating a
  // missing one needs it.
  auto loaded = load(FileAt::path(*path));
  if (!loaded) return loaded.error();
  if (*loaded) return std::move(**loaded);
  auto lock = DirectoryLock::acquire(dir_, waiter);
  if (!lock) return lock.error();
  return load_or_create(entity_id, lock->file(*path));
}

auto FileStore::list(std::optional<EntityType> kind, Waiter& waiter) const -> Result<std::vector<std::string>> {
  auto scanned = scan_records(waiter);
  if (!scanned) return scanned.error();
  std::vector<std::string> ids;
  for (auto& s : *scanned) {
    if (!kind || matches_kind(s.record.entity_type, *kind)) ids.push_back(std::move(s.record.entity_id));
  }
  return ids;
}

auto FileStore::records_of_kind(EntityType kind, Waiter& waiter) const -> Result<std::vector<EntityTrust>> {
  SteppedAside away(waiter);
  auto scanned = scan_records(waiter);
  if (!scanned) return scanned.error();
  std::vector<EntityTrust> records;
  InterruptCheck interrupted(waiter);
  for (auto& s : *scanned) {
    if (!matches_kind(s.record.entity_type, kind)) continue;
    if (interrupted()) return TrustError::io(EINTR);
    // Reading the record's own path again would read the same file; a file lying elsewhere goes
    // through get-or-create at the identifier's own path.
    const auto own = record_path(s.record.entity_id);
    if (own && *own == s.path) {
      records.push_back(std::move(s.record));
    } else if (auto r = get(s.record.entity_id, waiter)) {
      records.push_back(std::move(*r));
    }
  }
  return records;
}

auto FileStore::update(std::string_view entity_id, bool success, double magnitude, Waiter& waiter) const
    -> Result<EntityTrust> {
  const auto path = record_path(entity_id);
  if (!path) return path.error();
  auto lock = DirectoryLock::acquire(dir_, waiter);
  if (!lock) return lock.error();
  const FileAt file = lock->file(*path);
  auto record = load_own(entity_id, *path, file);
  if (!record) return record;
  record->update_from_outcome(success, magnitude);
  if (auto saved = save_at(file, *record); !saved) return saved.error();
  return record;
}

auto FileStore::witness(std::string_view witness_id, std::string_view target_id, bool success, double magnitude,
                        Waiter& waiter) const -> Result<std::pair<EntityTrust, EntityTrust>> {
  const auto target_path = record_path(target_id);
  if (!target_path) return target_path.error();
  const bool self = witness_id == target_id;
  const auto witness_path = self ? target_path : record_path(witness_id);
  if (!witness_path) return witness_path.error();
  auto lock = DirectoryLock::acquire(dir_, waiter);
  if (!lock) return lock.error();
  const FileAt target_file = lock->file(*target_path), witness_file = lock->file(*witness_path);
  auto target = load_own(target_id, *target_path, target_file);
  if (!target) return target.error();
  // Both files are checked before either is written. A self-witness reads the file again after
  // the target's save, so that it carries both changes.
  auto witness = self ? target : load_own(witness_id, *witness_path, witness_file);
  if (!witness) return witness.error();
  target->receive_witness(witness_id, success, magnitude);
  if (auto saved = save_at(target_file, *target); !saved) return saved.error();
  if (self) {
    witness = load_own(witness_id, *witness_path, witness_file);
    if (!witness) return witness.error();
  }
  witness->give_witness(target_id, success, magnitude);
  if (auto saved = save_at(witness_file, *witness); !saved) return saved.error();
  return std::pair{std::move(*witness), std::move(*target)};
}

}  // namespace velk
