// The record directory as a backend: one JSON file per entity, named by the SHA-256 of its
// identifier. A read of an existing record takes no lock (saves are atomic renames); whatever
// creates, changes or removes a record holds an exclusive lock on the directory, so concurrent
// stores and processes never lose each other's updates.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "storage/backend.h"
#include "storage/file/directory_lock.h"

namespace velk {

class FileBackend final : public Backend {
 public:
  // Creates the directory and its missing ancestors (0777 & ~umask), or with !create refuses a
  // missing one (Storage). Io on a file in the way or a NUL byte; the empty path names the working
  // directory and creates nothing.
  static auto open(std::string directory, bool create = true) -> Result<std::unique_ptr<FileBackend>>;
  // $HOME (else $USERPROFILE), joined with .velk/governance/entities. Storage when neither is set.
  static auto default_directory() -> Result<std::string>;

  // directory / first 16 hex digits of sha256(id) + ".json". Storage when the digest cannot be
  // computed; std::bad_alloc when memory is short.
  auto record_path(std::string_view entity_id) const -> Result<std::string>;

  auto read(Call& cx, std::string_view id) const -> Task<Result<std::optional<Stored>>> override;
  // Takes the directory lock only where the file system refuses unnamed files.
  auto write(Call& cx, std::string_view id, const Write& write) const -> Task<Result<void>> override;
  auto create(Call& cx, std::string_view id, const Write& write) const -> Task<Result<std::optional<Stored>>> override;
  auto remove(Call& cx, std::string_view id) const -> Task<Result<bool>> override;
  // Any file counts, a directory too; Io when the status cannot be read for another reason.
  auto exists(Call& cx, std::string_view id) const -> Task<Result<bool>> override;
  // Every new file is written in full before any replaces its record, so a failed write leaves
  // all as they were; a failed second rename puts the first record back.
  auto transact(Call& cx, std::span<const std::string_view> ids, Change change) const -> Task<Result<void>> override;
  // The files named *.json (Everything: every entry), in directory order; larger directories are
  // read on a few threads, all joined before it returns.
  auto scan(Call& cx, std::optional<std::string_view> type, Scope scope, ScanSink& sink) const
      -> Task<Result<void>> override;
  auto place_of(std::string_view id) const -> Result<Place> override;
  auto noun() const noexcept -> std::string_view override { return "record file"; }
  auto address() const noexcept -> const Address& override { return address_; }
  auto shown_address() const -> std::string override { return address_.where; }

 private:
  explicit FileBackend(std::string directory) : address_(directory_address(std::move(directory))) {}
  auto directory() const noexcept -> const std::string& { return address_.where; }
  // Takes the directory lock, waiting away from the caller while another holds it.
  auto lock(Call& cx, DirectoryLock& lock) const -> Task<Result<void>>;

  Address address_;
};

}  // namespace velk
