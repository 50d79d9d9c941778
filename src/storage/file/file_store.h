// The record directory: one JSON file per entity, named by the SHA-256 of its identifier, and the
// store operations built on those files.
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "entity/trust/entity_id.h"
#include "entity/trust/entity_trust.h"
#include "common/error.h"
#include "storage/store.h"
#include "storage/waiter.h"

namespace velk {

// The largest record file read: far above any real record (a record with a million witnesses is
// about 30 MB), and a bound on the memory one read may take, whatever a file's status claims.
inline constexpr std::size_t kMaxRecordFileBytes = 64u << 20;

// A file as the *at system calls name it: relative to a directory descriptor. While a call holds
// the directory lock, its records are reached through the locked directory's descriptor by their
// bare names, so a read-modify-write works in the very directory it locked (and walks no path);
// otherwise through the working directory by the whole path. `name` and `shown` (the whole path,
// for messages) point into a path the caller keeps alive.
struct FileAt {
  int dir = AT_FDCWD;
  const char* name = "";
  const char* shown = "";

  static auto path(const std::string& path) noexcept -> FileAt { return {AT_FDCWD, path.c_str(), path.c_str()}; }
  // The file of path (a file directly inside the directory open as dir) by its last component.
  static auto in(int dir, const std::string& path) noexcept -> FileAt {
    return {dir, path.c_str() + (path.rfind('/') + 1), path.c_str()};  // no '/': npos + 1 is 0
  }
  // A temporary path would leave the name dangling.
  static auto path(std::string&&) -> FileAt = delete;
  static auto in(int, std::string&&) -> FileAt = delete;
};

class FileStore final : public Store {
 public:
  // Creates the directory and its missing ancestors (0777 & ~umask). Io on a file in the way or a
  // NUL byte; the empty path names the working directory and creates nothing.
  static auto open(std::string directory) -> Result<FileStore>;
  // $HOME (else $USERPROFILE), joined with .velk/governance/entities. Storage when neither is set.
  static auto open_default() -> Result<FileStore>;

  auto directory() const noexcept -> const std::string& { return dir_; }
  auto repr() const -> std::string override { return "TrustStore(path='" + dir_ + "')"; }
  auto address() const -> Address override { return {dir_, std::nullopt}; }
  // directory / first 16 hex digits of sha256(id) + ".json". Storage when the digest cannot be
  // computed; std::bad_alloc when memory is short.
  auto record_path(std::string_view entity_id) const -> Result<std::string>;
  // Reads a regular file only (anything else fails with Io, without blocking). Io when unreadable
  // or not UTF-8 (only an absence() error means the file is not there), Storage, naming the file and
  // its size, when it is larger than kMaxRecordFileBytes, Serialization with the reader's message
  // when it does not parse.
  static auto read_record(FileAt file) -> Result<EntityTrust>;
  // The same, leaving the file's bytes in text.
  static auto read_record(FileAt file, std::string& text) -> Result<EntityTrust>;
  // Replaces the record's file atomically (see PendingReplace). Io on failure. Takes the directory
  // lock only where the file system refuses unnamed files.
  auto save(const EntityTrust& record, Waiter& waiter = Waiter::plain()) const -> Result<void> override;
  // True when a file was removed; false when there was none. Holds the directory lock, so no
  // update in flight brings the record back. Io when the removal fails.
  auto remove(std::string_view entity_id, Waiter& waiter = Waiter::plain()) const -> Result<bool> override;
  // True when the record path has a status (a directory counts), false when it is absent; Io when
  // the status cannot be read for another reason.
  auto exists(std::string_view entity_id, Waiter& waiter = Waiter::plain()) const -> Result<bool> override;
  // Every readable record of files named *.json, with its file's path, in directory order. Files
  // whose content is wrong (see is_content_fault) are skipped; any other failure fails the whole
  // listing, so a listing is never short without an error. Larger directories are read and parsed
  // on a few threads, all joined before it returns.
  struct Scanned {
    std::string path;
    EntityTrust record;
  };
  auto scan_records(Waiter& waiter = Waiter::plain()) const -> Result<std::vector<Scanned>>;

  using Finding = velk::Finding;
  // Every entry of the directory with its verdict, in directory order; writes nothing. Fails as
  // scan_records does: on a failure of the system, never with a part of the findings.
  auto check(Waiter& waiter = Waiter::plain()) const -> Result<std::vector<Finding>> override;

  // The store operations. A read of an existing record takes no lock (saves are atomic renames);
  // creating a missing record, update, witness and remove hold an exclusive lock on the directory,
  // so concurrent stores and processes never lose each other's updates. While the lock is held
  // elsewhere they wait away from their caller (see Waiter).

  // Reads the record, or creates, saves and returns a neutral one when the file is absent.
  auto get(std::string_view entity_id, Waiter& waiter = Waiter::plain()) const -> Result<EntityTrust> override;
  // Stored identifiers of the readable records, optionally only those of one kind.
  auto list(std::optional<EntityType> kind, Waiter& waiter = Waiter::plain()) const
      -> Result<std::vector<std::string>> override;
  // The records of list(kind). A record whose file lies at its own identifier's record path is
  // the one just read; any other is fetched through get (which may create it at its own path);
  // content faults are skipped as in scan_records.
  auto records_of_kind(EntityType kind, Waiter& waiter = Waiter::plain()) const
      -> Result<std::vector<EntityTrust>> override;
  // update and witness refuse (Storage) a record file that holds another identifier's record.
  auto update(std::string_view entity_id, bool success, double magnitude, Waiter& waiter = Waiter::plain()) const
      -> Result<EntityTrust> override;
  // Applies apply_decay(days_inactive, decay_rate) to the stored record under the directory lock and
  // saves it when a value moved; a record idle for less than min_idle days (by its days since last
  // action), or none at all, is left alone (nothing is created). True when the record changed.
  // Refuses (Storage) a file that holds another identifier's record, as update does.
  auto decay(std::string_view entity_id, double days_inactive, double decay_rate, double min_idle,
             Waiter& waiter = Waiter::plain()) const -> Result<bool> override;
  // The target receives the witness and the witness gives it; both new files are written in full
  // before either replaces its record, so a failure leaves both records as they were. Returns
  // (witness, target).
  auto witness(std::string_view witness_id, std::string_view target_id, bool success, double magnitude,
               Waiter& waiter = Waiter::plain()) const -> Result<std::pair<EntityTrust, EntityTrust>> override;

 private:
  explicit FileStore(std::string dir) : dir_(std::move(dir)) {}
  // Each takes the identifier's record file, named once per call (naming it costs a digest).
  // get-or-create for a caller that holds the directory lock.
  static auto load_or_create(std::string_view entity_id, FileAt file) -> Result<EntityTrust>;
  // The stored record, or a new one that is not saved yet; Storage, naming the file, when it
  // holds another identifier's record. The file's bytes go to original when it exists.
  static auto load_own(std::string_view entity_id, FileAt file, std::optional<std::string>* original = nullptr)
      -> Result<EntityTrust>;

  std::string dir_;
};

// A new text for a file, complete in a temporary file beside it and not yet renamed over it, so
// that a reader sees the old text or the new one, never a part, and that two files can both be
// written before either is replaced. Dropped before commit(), it removes its temporary file.
//
// The temporary is unnamed (O_TMPFILE) while it is written and named "<name>.tmp" for the instant
// before the rename, so a process killed while writing leaves nothing, and the rare leftover of a
// kill in that instant is replaced by the record's next save. Where the file system refuses unnamed
// files, the temporary is "<name>.tmp" from the start, written under the directory lock, which
// makes that name the writer's own; so leftovers of killed writers never pile up. A leftover that
// cannot be cleared (a directory, another user's file), or the named file of a concurrent save,
// makes the writer use another name. Mode 0666 & ~umask.
class PendingReplace {
 public:
  // The text in an unnamed temporary file; nothing where the file system refuses unnamed files.
  static auto unnamed(FileAt file, std::string_view text) -> Result<std::optional<PendingReplace>>;
  // The text in the named temporary file. Only for a caller that holds the directory lock.
  static auto named(FileAt file, std::string_view text) -> Result<PendingReplace>;
  // Unnamed where the file system allows it, else named. Only for a caller that holds the lock.
  static auto write(FileAt file, std::string_view text) -> Result<PendingReplace>;

  PendingReplace(PendingReplace&& other) noexcept;
  PendingReplace(const PendingReplace&) = delete;
  auto operator=(const PendingReplace&) -> PendingReplace& = delete;
  auto operator=(PendingReplace&&) -> PendingReplace& = delete;
  ~PendingReplace();

  // Renames the temporary over the file. text must still be alive: should the temporary's name be
  // removed meanwhile, the text is written again.
  auto commit() -> Result<void>;

 private:
  PendingReplace(FileAt file, std::string_view text, std::string tmp, int unnamed_fd)
      : file_(file), text_(text), tmp_(std::move(tmp)), unnamed_fd_(unnamed_fd) {}
  FileAt file_;
  std::string_view text_;
  std::string tmp_;       // empty once renamed or removed
  int unnamed_fd_ = -1;   // the unnamed file, open (and locked) until committed; -1 for a named one
};

// PendingReplace's write and commit in one, for a caller that holds the directory lock (or, with
// unnamed, one whose file system allows unnamed files). Io on failure; the file is then unchanged.
auto replace_file(FileAt file, std::string_view text, bool unnamed = true) -> Result<void>;
// Joins a file name to a directory path; the empty directory gives the name alone.
auto join_path(const std::string& dir, std::string_view name) -> std::string;
// True when the last path component's extension is exactly "json".
auto has_json_extension(std::string_view file_name) noexcept -> bool;
// True when the file's status can be read, following links (a directory counts); false when it is
// absent; Io for any other failure.
auto has_status(FileAt file) -> Result<bool>;
// True when a failure to read a record file is the file's own (it does not parse, is not UTF-8 or
// not a regular file, is too large, or went away): a listing skips such a file. Any other failure
// (descriptors, memory, I/O) is the system's and fails the listing.
auto is_content_fault(const TrustError& error) noexcept -> bool;
// Strict UTF-8 (no surrogates, no overlong forms).
auto is_valid_utf8(std::string_view bytes) noexcept -> bool;

}  // namespace velk
