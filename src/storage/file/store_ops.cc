// Store operations: get-or-create, listing, records of one kind, update, witness and remove.
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "storage/file/directory_lock.h"
#include "storage/file/file_store.h"
#include "storage/file/record_json.h"

namespace velk {

auto Waiter::plain() noexcept -> Waiter& {
  static Waiter waiter;
  return waiter;
}

auto FileStore::load_or_create(std::string_view entity_id, FileAt file) -> Result<EntityTrust> {
  auto read = read_record(file);
  if (read || !read.error().is_absence()) return read;
  auto record = EntityTrust::create(entity_id);
  if (auto saved = replace_file(file, render_record(record)); !saved) return saved.error();
  return record;
}

auto FileStore::load_own(std::string_view entity_id, FileAt file, std::optional<std::string>* original)
    -> Result<EntityTrust> {
  std::string text;
  auto read = read_record(file, text);
  if (!read) {
    // Only a file that is not there is a new record; any other failure is raised, so nothing is
    // ever created over a record that exists.
    if (read.error().is_absence()) return EntityTrust::create(entity_id);
    return read;
  }
  if (read->entity_id != entity_id) {
    // A copy restored under the wrong name: saving it would overwrite the other entity's record.
    return TrustError::storage("record file '" + std::string(file.shown) + "' holds the record of '" +
                               read->entity_id + "', not of '" + std::string(entity_id) + "'");
  }
  if (original != nullptr) *original = std::move(text);
  return read;
}

auto FileStore::get(std::string_view entity_id, Waiter& waiter) const -> Result<EntityTrust> {
  const auto path = record_path(entity_id);
  if (!path) return path.error();
  // Saves are atomic renames, so an existing record reads whole without the lock; only creating a
  // missing one needs it.
  auto read = read_record(FileAt::path(*path));
  if (read || !read.error().is_absence()) return read;
  DirectoryLock lock;
  if (auto locked = lock.acquire(dir_, waiter); !locked) return locked.error();
  return load_or_create(entity_id, FileAt::in(lock.fd(), *path));
}

auto FileStore::remove(std::string_view entity_id, Waiter& waiter) const -> Result<bool> {
  const auto path = record_path(entity_id);
  if (!path) return path.error();
  DirectoryLock lock;
  if (auto locked = lock.acquire(dir_, waiter); !locked) {
    if (locked.error().is_absence()) return false;  // no directory, no record
    return locked.error();
  }
  if (::unlinkat(lock.fd(), FileAt::in(lock.fd(), *path).name, 0) == 0) return true;
  auto error = TrustError::io(errno);
  if (error.is_absence()) return false;
  return error;
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
    if (!own) return own.error();
    if (*own == s.path) {
      records.push_back(std::move(s.record));
      continue;
    }
    auto got = get(s.record.entity_id, waiter);
    if (got) {
      records.push_back(std::move(*got));
    } else if (!is_content_fault(got.error())) {
      return got.error();
    }
  }
  return records;
}

auto FileStore::update(std::string_view entity_id, bool success, double magnitude, Waiter& waiter) const
    -> Result<EntityTrust> {
  const auto path = record_path(entity_id);
  if (!path) return path.error();
  DirectoryLock lock;
  if (auto locked = lock.acquire(dir_, waiter); !locked) return locked.error();
  const FileAt file = FileAt::in(lock.fd(), *path);
  auto record = load_own(entity_id, file);
  if (!record) return record;
  record->update_from_outcome(success, magnitude);
  if (auto saved = replace_file(file, render_record(*record)); !saved) return saved.error();
  return record;
}

auto FileStore::decay(std::string_view entity_id, double days_inactive, double decay_rate, double min_idle,
                      Waiter& waiter) const -> Result<bool> {
  const auto path = record_path(entity_id);
  if (!path) return path.error();
  DirectoryLock lock;
  if (auto locked = lock.acquire(dir_, waiter); !locked) return locked.error();
  const FileAt file = FileAt::in(lock.fd(), *path);
  std::optional<std::string> stored;
  auto record = load_own(entity_id, file, &stored);
  if (!record) return record.error();
  if (!stored) return false;  // none there: a record is decayed, never created
  if (!(record->days_since_last_action() >= min_idle) || !record->apply_decay(days_inactive, decay_rate)) return false;
  if (auto saved = replace_file(file, render_record(*record)); !saved) return saved.error();
  return true;
}

auto FileStore::witness(std::string_view witness_id, std::string_view target_id, bool success, double magnitude,
                        Waiter& waiter) const -> Result<std::pair<EntityTrust, EntityTrust>> {
  const auto target_path = record_path(target_id);
  if (!target_path) return target_path.error();
  const bool self = witness_id == target_id;
  const auto witness_path = self ? target_path : record_path(witness_id);
  if (!witness_path) return witness_path.error();
  DirectoryLock lock;
  if (auto locked = lock.acquire(dir_, waiter); !locked) return locked.error();
  const FileAt target_file = FileAt::in(lock.fd(), *target_path), witness_file = FileAt::in(lock.fd(), *witness_path);
  std::optional<std::string> target_before;
  auto target = load_own(target_id, target_file, &target_before);
  if (!target) return target.error();
  if (self) {
    // One file: it takes both changes; the pair shows the witness with both, the target with one.
    target->receive_witness(witness_id, success, magnitude);
    EntityTrust both = *target;
    both.give_witness(target_id, success, magnitude);
    if (auto saved = replace_file(witness_file, render_record(both)); !saved) return saved.error();
    return std::pair{std::move(both), std::move(*target)};
  }
  auto witness = load_own(witness_id, witness_file);
  if (!witness) return witness.error();
  target->receive_witness(witness_id, success, magnitude);
  witness->give_witness(target_id, success, magnitude);
  // Both files are written in full before either is renamed, so a failed write (a full disk)
  // changes neither record.
  const std::string target_text = render_record(*target), witness_text = render_record(*witness);
  auto target_pending = PendingReplace::write(target_file, target_text);
  if (!target_pending) return target_pending.error();
  auto witness_pending = PendingReplace::write(witness_file, witness_text);
  if (!witness_pending) return witness_pending.error();
  if (auto renamed = target_pending->commit(); !renamed) return renamed.error();
  if (auto renamed = witness_pending->commit(); !renamed) {
    // The target is put back as it was, so that the pair stays whole (best effort: only a second
    // failure, or a kill between the renames, can leave the target changed alone).
    if (target_before) {
      (void)replace_file(target_file, *target_before);
    } else {
      ::unlinkat(target_file.dir, target_file.name, 0);
    }
    return renamed.error();
  }
  return std::pair{std::move(*witness), std::move(*target)};
}

}  // namespace velk
