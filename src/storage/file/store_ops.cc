// Store operations: get-or-create, listing, records of one kind, update and witness.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "storage/file/file_store.h"

namespace velk {
namespace {

// An exclusive advisory lock on the record directory, held for one read-modify-write. Locking the
// directory itself creates nothing inside it.
class DirectoryLock {
 public:
  static auto acquire(const std::string& dir) -> Result<DirectoryLock> {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return TrustError::io(errno);
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        const int err = errno;
        ::close(fd);
        return TrustError::io(err);
      }
    }
    return DirectoryLock(fd);
  }
  DirectoryLock(DirectoryLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  DirectoryLock(const DirectoryLock&) = delete;
  auto operator=(const DirectoryLock&) -> DirectoryLock& = delete;
  auto operator=(DirectoryLock&&) -> DirectoryLock& = delete;
  ~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }

 private:
  explicit DirectoryLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace

auto FileStore::get_unlocked(std::string_view entity_id) const -> Result<EntityTrust> {
  const std::string path = record_path(entity_id);
  if (has_status(path)) return read_record(path);
  auto record = EntityTrust::create(entity_id);
  if (auto saved = save(record); !saved) return saved.error();
  return record;
}

auto FileStore::get(std::string_view entity_id) const -> Result<EntityTrust> {
  auto lock = DirectoryLock::acquire(dir_);
  if (!lock) return lock.error();
  return get_unlocked(entity_id);
}

auto FileStore::list(std::optional<EntityType> kind) const -> Result<std::vector<std::string>> {
  auto records = scan_records();
  if (!records) return records.error();
  std::vector<std::string> ids;
  for (auto& r : *records) {
    if (!kind || matches_kind(r.entity_type, *kind)) ids.push_back(std::move(r.entity_id));
  }
  return ids;
}

auto FileStore::records_of_kind(EntityType kind) const -> Result<std::vector<EntityTrust>> {
  auto ids = list(kind);
  if (!ids) return ids.error();
  std::vector<EntityTrust> records;
  for (const auto& id : *ids) {
    if (auto r = get(id)) records.push_back(std::move(*r));
  }
  return records;
}

auto FileStore::update(std::string_view entity_id, bool success, double magnitude) const -> Result<EntityTrust> {
  auto lock = DirectoryLock::acquire(dir_);
  if (!lock) return lock.error();
  auto record = get_unlocked(entity_id);
  if (!record) return record;
  record->update_from_outcome(success, magnitude);
  if (auto saved = save(*record); !saved) return saved.error();
  return record;
}

auto FileStore::witness(std::string_view witness_id, std::string_view target_id, bool success,
                        double magnitude) const -> Result<std::pair<EntityTrust, EntityTrust>> {
  auto lock = DirectoryLock::acquire(dir_);
  if (!lock) return lock.error();
  auto target = get_unlocked(target_id);
  if (!target) return target.error();
  target->receive_witness(witness_id, success, magnitude);
  if (auto saved = save(*target); !saved) return saved.error();
  // Read after the target's save: a self-witness thus carries both changes.
  auto witness = get_unlocked(witness_id);
  if (!witness) return witness.error();
  witness->give_witness(target_id, success, magnitude);
  if (auto saved = save(*witness); !saved) return saved.error();
  return std::pair{std::move(*witness), std::move(*target)};
}

}  // namespace velk
