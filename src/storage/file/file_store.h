// The record directory: one JSON file per entity, named by the SHA-256 of its identifier, and the
// store operations built on those files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "entity/trust/entity_id.h"
#include "entity/trust/entity_trust.h"
#include "storage/error.h"

namespace velk {

class FileStore {
 public:
  // Creates the directory and its missing ancestors (0777 & ~umask). Io on a file in the way or a
  // NUL byte; the empty path names the working directory and creates nothing.
  static auto open(std::string directory) -> Result<FileStore>;
  // $HOME (else $USERPROFILE), joined with .velk/governance/entities. Storage when neither is set.
  static auto open_default() -> Result<FileStore>;

  auto directory() const noexcept -> const std::string& { return dir_; }
  // directory / first 16 hex digits of sha256(id) + ".json".
  auto record_path(std::string_view entity_id) const -> std::string;
  // Io when unreadable or not UTF-8, Serialization with the reader's message when it does not parse.
  static auto read_record(const std::string& path) -> Result<EntityTrust>;
  // Writes a temporary file beside the record and renames it over the record, so that readers see
  // the old text or the new one, never a partial one. Io on failure.
  auto save(const EntityTrust& record) const -> Result<void>;
  // True when a file was removed; false when the path has no status. Io when unlink fails.
  auto remove(std::string_view entity_id) const -> Result<bool>;
  // True when the record path has a status (a directory counts); any failure means false.
  auto exists(std::string_view entity_id) const -> bool;
  // Every readable record of files named *.json, in directory order; bad files are skipped.
  // Io only when the directory cannot be listed.
  auto scan_records() const -> Result<std::vector<EntityTrust>>;

  // The store operations. get, update and witness read, change and write under an exclusive lock on
  // the directory, so concurrent stores and processes never lose each other's updates.

  // Reads the record, or creates, saves and returns a neutral one when the path has no status.
  auto get(std::string_view entity_id) const -> Result<EntityTrust>;
  // Stored identifiers of the readable records, optionally only those of one kind.
  auto list(std::optional<EntityType> kind) const -> Result<std::vector<std::string>>;
  // Each identifier of list(kind) fetched again through get; failures are skipped.
  auto records_of_kind(EntityType kind) const -> Result<std::vector<EntityTrust>>;
  auto update(std::string_view entity_id, bool success, double magnitude) const -> Result<EntityTrust>;
  // The target receives the witness and is saved first, then the witness gives it and is saved.
  // Returns (witness, target).
  auto witness(std::string_view witness_id, std::string_view target_id, bool success, double magnitude) const
      -> Result<std::pair<EntityTrust, EntityTrust>>;

 private:
  explicit FileStore(std::string dir) : dir_(std::move(dir)) {}
  auto get_unlocked(std::string_view entity_id) const -> Result<EntityTrust>;

  std::string dir_;
};

// Joins a file name to a directory path; the empty directory gives the name alone.
auto join_path(const std::string& dir, std::string_view name) -> std::string;
// True when the last path component's extension is exactly "json".
auto has_json_extension(std::string_view file_name) noexcept -> bool;
// True when the path's status can be read, following links (a directory counts).
auto has_status(const std::string& path) noexcept -> bool;
// Strict UTF-8 (no surrogates, no overlong forms).
auto is_valid_utf8(std::string_view bytes) noexcept -> bool;

}  // namespace velk
