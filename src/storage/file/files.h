// The files of a record directory: bounded reads of regular files, atomic replacement through a
// temporary file, and the path helpers the directory's backend builds on.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "storage/backend.h"

namespace velk {

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

// Creates the directory and its missing ancestors (0777 & ~umask). Io on a file in the way; the
// empty path creates nothing.
auto create_directories(const std::string& path) -> Result<void>;

// Reads a regular file whole, at most kMaxRecordBytes of it (a larger one gives its size only).
// The open never blocks (a FIFO without a writer) and anything but a regular file is refused before
// a byte is read, so a link to /dev/zero cannot read without end; *not_regular then says so. Io on
// failure; only an absence() error means the file is not there.
auto read_file(FileAt file, bool* not_regular = nullptr) -> Result<Stored>;

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
  // removed meanwhile, the text is written again. A rename reported as failed with an error that
  // does not prove it changed nothing is looked up: success when it took effect, Io when it did
  // not, and Io with outcome_unknown() when that cannot be told.
  auto commit() -> Result<void>;
  // As commit, but only where nothing stands at the file's name (a save racing it included):
  // false, the temporary dropped, when something does.
  auto commit_new() -> Result<bool>;

 private:
  auto place(bool only_new) -> Result<bool>;
  PendingReplace(FileAt file, std::string_view text, std::string tmp, int unnamed_fd, const struct stat& temporary);
  FileAt file_;
  std::string_view text_;
  std::string tmp_;       // empty once renamed or removed
  int unnamed_fd_ = -1;   // the unnamed file, open (and locked) until committed; -1 for a named one
  dev_t dev_;             // the temporary's identity, to learn where it went when a rename fails
  ino_t ino_;
};

// PendingReplace's write and commit in one, for a caller that holds the directory lock (or, with
// unnamed, one whose file system allows unnamed files). Io on failure; the file is then unchanged.
auto replace_file(FileAt file, std::string_view text, bool unnamed = true) -> Result<void>;
// Joins a file name to a directory path; the empty directory gives the name alone.
auto join_path(const std::string& dir, std::string_view name) -> std::string;
// True when the last path component's extension is exactly "json".
auto has_json_extension(std::string_view file_name) noexcept -> bool;
// "<16 hex digits>.json.tmp" or "<16 hex digits>.json.<anything>.tmp": what a save names its files.
auto is_temporary_name(std::string_view file_name) noexcept -> bool;
// Removes the file: true, or false when it was not there. An unlink reported as failed with an
// error that does not prove it changed nothing is looked up, as a rename is.
auto remove_file(FileAt file) -> Result<bool>;
// True when the file's status can be read, following links (a directory counts); false when it is
// absent; Io for any other failure.
auto has_status(FileAt file) -> Result<bool>;

}  // namespace velk
