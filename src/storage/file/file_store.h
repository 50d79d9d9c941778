// The record directory: one JSON file per entity, named by the SHA-256 of its identifier, and the
// store operations built on those files.
#pragma once

#include <fcntl.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "entity/trust/entity_id.h"
#include "entity/trust/entity_trust.h"
#include "common/error.h"
#include "storage/file/waiter.h"

namespace velk {

// A file as the *at system calls name it: relative to a directory descriptor. While a call holds
// the directory lock, its records are reached through the locked directory's descriptor by their
// bare names, so a read-modify-write works in the very directory it locked (and walks no path);
// otherwise through the working directory by the whole path. `name` points into a path the caller
// keeps alive.
struct FileAt {
  int dir = AT_FDCWD;
  const char* name = "";

  static auto path(const std::string& path) noexcept -> FileAt { return {AT_FDCWD, path.c_str()}; }
  // The file of path (a file directly inside the directory open as dir) by its last component.
  static auto in(int dir, const std::string& path) noexcept -> FileAt {
    return {dir, path.c_str() + (path.rfind('/') + 1)};  // no '/': npos + 1 is 0, the whole path
  }
  // A temporary path would leave the name dangling.
  static auto path(std::string&&) -> FileAt = delete;
  static auto in(int, std::string&&) -> FileAt = delete;
};

class FileStore {
 public:
  // Creates the directory and its missing ancestors (0777 & ~umask). Io on a file in the way or a
  // NUL byte; the empty path names the working directory and creates nothing.
  static auto open(std::string directory) -> Result<FileStore>;
  // $HOME (else $USERPROFILE), joined with .velk/governance/entities. Storage when neither is set.
  static auto open_default() -> Result<FileStore>;

  auto directory() const noexcept -> const std::string& { return dir_; }
  // directory / first 16 hex digits of sha256(id) + ".json". Storage when the digest cannot be
  // computed.
  auto record_path(std::string_view entity_id) const -> Result<std::string>;
  // Reads a regular file only (anything else fails with Io, without blocking). Io when unreadable
  // or not UTF-8, Serialization with the reader's message when it does not parse.
  static auto read_record(FileAt file) -> Result<EntityTrust>;
  // Replaces the record's file atomically (see replace_file). Io on failure.
  auto save(const EntityTrust& record) const -> Result<void>;
  // True when a file was removed; false when the path has no status. Io when unlink fails.
  auto remove(std::string_view entity_id) const -> Result<bool>;
  // True when the record path has a status (a directory counts); a failed status means false.
  auto exists(std::string_view entity_id) const -> Result<bool>;
  // Every readable record of files named *.json, with its file's path, in directory order; bad
  // files are skipped. Io only when the directory cannot be listed (or the waiter interrupts).
  // Larger directories are read and parsed on a few threads, all joined before it returns.
  struct Scanned {
    std::string path;
    EntityTrust record;
  };
  auto scan_records(Waiter& waiter = Waiter::plain()) const -> Result<std::vector<Scanned>>;

  // The store operations. A read of an existing record takes no lock (saves are atomic renames);
  // creating a missing record, update and witness hold an exclusive lock on the directory, so
  // concurrent stores and processes never lose each other's updates. While the lock is held
  // elsewhere they wait away from their caller (see Waiter).

  // Reads the record, or creates, saves and returns a neutral one when the path has no status.
  auto get(std::string_view entity_id, Waiter& waiter = Waiter::plain()) const -> Result<EntityTrust>;
  // Stored identifiers of the readable records, optionally only those of one kind.
  auto list(std::optional<EntityType> kind, Waiter& waiter = Waiter::plain()) const
      -> Result<std::vector<std::string>>;
  // The records of list(kind). A record whose file lies at its own identifier's record path is
  // the one just read; any other is fetched through get (which may create it at its own path);
  // failures are skipped.
  auto records_of_kind(EntityType kind, Waiter& waiter = Waiter::plain()) const -> Result<std::vector<EntityTrust>>;
  // update and witness refuse (Storage) a record file that holds another identifier's record.
  auto update(std::string_view entity_id, bool success, double magnitude, Waiter& waiter = Waiter::plain()) const
      -> Result<EntityTrust>;
  // The target receives the witness and is saved first, then the witness gives it and is saved.
  // Returns (witness, target).
  auto witness(std::string_view witness_id, std::string_view target_id, bool success, double magnitude,
               Waiter& waiter = Waiter::plain()) const -> Result<std::pair<EntityTrust, EntityTrust>>;

 private:
  explicit FileStore(std::string dir) : dir_(std::move(dir)) {}
  // Each takes the identifier's record file, named once per call (naming it costs a digest).
  // The record in file; nothing when the file has no status.
  static auto load(FileAt file) -> Result<std::optional<EntityTrust>>;
  // get-or-create for a caller that holds the directory lock.
  static auto load_or_create(std::string_view entity_id, FileAt file) -> Result<EntityTrust>;
  // The stored record, or a new one that is not saved yet; Storage, naming path, when the file
  // holds another identifier's record.
  static auto load_own(std::string_view entity_id, const std::string& path, FileAt file) -> Result<EntityTrust>;
  static auto save_at(FileAt file, const EntityTrust& record) -> Result<void>;

  std::string dir_;
};

// Writes text to a new file beside file and renames it over file, so that readers see the old
// text or the new one, never a partial one. The new file is unnamed (O_TMPFILE) while it is
// written and named "<name>.tmp" only for the instant before the rename, so a process killed while
// writing leaves nothing behind, and the rare leftover of a kill in that instant is replaced by the
// record's next save. Where the system refuses unnamed files (or `unnamed` is false), a named
// "<name>.<pid>-<n>.tmp" is written instead. Mode 0666 & ~umask.
auto replace_file(FileAt file, std::string_view text, bool unnamed = true) -> Result<void>;
// Joins a file name to a directory path; the empty directory gives the name alone.
auto join_path(const std::string& dir, std::string_view name) -> std::string;
// True when the last path component's extension is exactly "json".
auto has_json_extension(std::string_view file_name) noexcept -> bool;
// True when the file's status can be read, following links (a directory counts).
auto has_status(FileAt file) noexcept -> bool;
// Strict UTF-8 (no surrogates, no overlong forms).
auto is_valid_utf8(std::string_view bytes) noexcept -> bool;

}  // namespace velk
