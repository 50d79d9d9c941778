// The record directory's primitives.
#include "storage/file/file_backend.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "storage/file/files.h"
#include "storage/record/digest.h"
#include "storage/record/text_bytes.h"

namespace velk {
namespace {

// A file's text, or nothing when the file is not there. Other errors name the file.
auto read_present(FileAt file) -> Result<std::optional<Stored>> {
  auto stored = read_file(file);
  if (stored) return std::optional(std::move(*stored));
  if (stored.error().is_absence()) return std::optional<Stored>();
  return TrustError(stored.error()).at(file.shown);
}

}  // namespace

auto FileBackend::open(std::string directory, bool create) -> Result<std::unique_ptr<FileBackend>> {
  if (directory.find('\0') != std::string::npos) {
    return TrustError::io_message("file name contained an unexpected NUL byte");
  }
  if (!create) {
    struct stat st;
    if (::stat(directory.empty() ? "." : directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return TrustError::storage("no record directory at '" + directory + "'").at(directory);
    }
  } else if (auto made = create_directories(directory); !made) {
    return made.error();
  }
  // OpenSSL starts (reading its configuration) in the thread that opens a store rather than in
  // whichever first names a file, perhaps a daemon thread the interpreter ends at exit. Should it
  // fail now, naming a file tries again.
  start_digests();
  return std::unique_ptr<FileBackend>(new FileBackend(std::move(directory)));
}

auto FileBackend::default_directory() -> Result<std::string> {
  const char* home = std::getenv("HOME");
  if (home == nullptr) home = std::getenv("USERPROFILE");
  if (home == nullptr) return TrustError::storage("Cannot find home directory");
  return join_path(join_path(join_path(home, ".velk"), "governance"), "entities");
}

auto FileBackend::record_path(std::string_view entity_id) const -> Result<std::string> {
  const auto digest = sha256_of(entity_id);
  if (!digest) return digest.error();
  char name[21];
  write_hex(digest->data(), 8, name);
  std::memcpy(name + 16, ".json", 5);
  return join_path(directory(), std::string_view(name, 21));
}

auto FileBackend::place_of(std::string_view id) const -> Result<Place> {
  auto path = record_path(id);
  if (!path) return path.error();
  std::string key = path->substr(path->rfind('/') + 1);
  return Place{std::move(*path), std::move(key)};
}

auto FileBackend::lock(Call& cx, DirectoryLock& held) const -> Task<Result<void>> {
  auto taken = held.try_acquire(directory());
  if (!taken) co_return taken.error();
  if (*taken) co_return Result<void>();
  Result<void> waited;
  auto wait = [&](Waiter& waiter) { waited = held.wait(waiter); };
  co_await cx.work(wait);
  co_return waited;
}

// read and exists never wait: their tasks are done when made.
auto FileBackend::read(Call&, std::string_view id) const -> Task<Result<std::optional<Stored>>> {
  const auto path = record_path(id);
  if (!path) return Task<Result<std::optional<Stored>>>::ready(path.error());
  // Saves are atomic renames, so an existing record reads whole without the lock.
  return Task<Result<std::optional<Stored>>>::ready(read_present(FileAt::path(*path)));
}

auto FileBackend::write(Call& cx, std::string_view id, const Write& write) const -> Task<Result<void>> {
  const auto path = record_path(id);
  if (!path) co_return path.error();
  auto pending = PendingReplace::unnamed(FileAt::path(*path), write.text);
  if (!pending) co_return pending.error();
  if (*pending) co_return (*pending)->commit();
  // The file system refuses unnamed files: the temporary is named, under the lock that makes its
  // name ours.
  DirectoryLock held;
  if (auto locked = co_await lock(cx, held); !locked) co_return locked;
  co_return replace_file(FileAt::in(held.fd(), *path), write.text, false);
}

auto FileBackend::create(Call& cx, std::string_view id, const Write& write) const
    -> Task<Result<std::optional<Stored>>> {
  const auto path = record_path(id);
  if (!path) co_return path.error();
  DirectoryLock held;
  if (auto locked = co_await lock(cx, held); !locked) co_return locked.error();
  const FileAt file = FileAt::in(held.fd(), *path);
  // The lock keeps out every writer but a plain save, which takes none: the file is put in place
  // only where none stands, so that a save that came first is never overwritten.
  for (int attempt = 0;; ++attempt) {
    auto stored = read_present(file);
    if (!stored || *stored) co_return stored;
    auto pending = PendingReplace::write(file, write.text);
    if (!pending) co_return pending.error();
    auto placed = pending->commit_new();
    if (!placed) co_return placed.error();
    if (*placed) co_return std::optional<Stored>();
    // A save came between: its record is the one there (read again; gone again, tried again).
    if (attempt == 10) co_return TrustError::io(EEXIST).at(*path);
  }
}

auto FileBackend::remove(Call& cx, std::string_view id) const -> Task<Result<bool>> {
  const auto path = record_path(id);
  if (!path) co_return path.error();
  // Under the lock, so that no update in flight brings the record back.
  DirectoryLock held;
  if (auto locked = co_await lock(cx, held); !locked) {
    if (locked.error().is_absence()) co_return false;  // no directory, no record
    co_return locked.error();
  }
  auto removed = remove_file(FileAt::in(held.fd(), *path));
  if (!removed) co_return TrustError(removed.error()).at(*path);
  co_return removed;
}

auto FileBackend::exists(Call&, std::string_view id) const -> Task<Result<bool>> {
  const auto path = record_path(id);
  if (!path) return Task<Result<bool>>::ready(path.error());
  return Task<Result<bool>>::ready(has_status(FileAt::path(*path)));
}

auto FileBackend::transact(Call& cx, std::span<const std::string_view> ids, Change change) const
    -> Task<Result<void>> {
  constexpr std::size_t kMost = 2;
  const std::size_t n = ids.size();
  if (n == 0 || n > kMost) co_return TrustError::storage("a transaction names one or two records");
  std::string paths[kMost];
  for (std::size_t k = 0; k < n; ++k) {
    auto path = record_path(ids[k]);
    if (!path) co_return path.error();
    paths[k] = std::move(*path);
  }
  DirectoryLock held;
  if (auto locked = co_await lock(cx, held); !locked) co_return locked;
  FileAt files[kMost];
  std::optional<Stored> stored[kMost];
  for (std::size_t k = 0; k < n; ++k) {
    files[k] = FileAt::in(held.fd(), paths[k]);
    auto read = read_present(files[k]);
    if (!read) co_return std::move(read).error();
    stored[k] = std::move(*read);
  }
  std::optional<Write> writes[kMost];
  if (auto changed = change(std::span(stored, n), std::span(writes, n)); !changed) co_return changed;
  if (n == 1 || !writes[0] || !writes[1]) {
    for (std::size_t k = 0; k < n; ++k) {
      if (!writes[k]) continue;
      if (auto saved = replace_file(files[k], writes[k]->text); !saved) co_return TrustError(saved.error()).at(paths[k]);
    }
    co_return Result<void>();
  }
  // Both files are written in full before either is renamed, so a failed write (a full disk)
  // changes neither record.
  auto first = PendingReplace::write(files[0], writes[0]->text);
  if (!first) co_return TrustError(first.error()).at(paths[0]);
  auto second = PendingReplace::write(files[1], writes[1]->text);
  if (!second) co_return TrustError(second.error()).at(paths[1]);
  const auto of = [&](std::size_t k) { return "the record of '" + std::string(ids[k]) + "'"; };
  if (auto renamed = first->commit(); !renamed) {
    TrustError error = renamed.error();
    if (error.outcome_unknown()) error.explained(" (to " + of(0) + "; " + of(1) + " was not changed)");
    co_return std::move(error).at(paths[0]);
  }
  if (auto renamed = second->commit(); !renamed) {
    TrustError error = renamed.error();
    if (error.outcome_unknown()) {
      // Putting the first back could split the pair the other way: it is said as it is.
      co_return std::move(error).explained(" (to " + of(1) + "; " + of(0) + " was changed)").at(paths[1]);
    }
    // The first is put back as it was, so that the pair stays whole.
    Result<void> restored;
    if (stored[0]) {
      restored = replace_file(files[0], stored[0]->text);
    } else if (auto removed = remove_file(files[0]); !removed) {
      restored = removed.error();
    }
    if (!restored) {
      co_return std::move(error)
          .explained(" (" + of(0) + " was changed and " + of(1) + " was not: putting the first back failed: " +
                     restored.error().text() + ")")
          .as_outcome_unknown()
          .at(paths[1]);
    }
    co_return std::move(error).at(paths[1]);
  }
  co_return Result<void>();
}

}  // namespace velk
