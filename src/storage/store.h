// The record store: every operation that Python's TrustStore calls and every rule they keep,
// written once over a backend's primitives (backend.h), the same on a record directory and on a
// database table.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"
#include "common/task.h"
#include "entity/trust/entity_id.h"
#include "entity/trust/entity_trust.h"
#include "storage/backend.h"
#include "storage/call.h"

namespace velk {

// What a check finds at one place of a store: a directory entry or a table row.
struct Finding {
  enum class Verdict {
    Record,      // a readable record at its own identifier's place
    Misplaced,   // a readable record under another identifier's place (detail: its own place)
    Unreadable,  // a record that does not read or parse (detail: the error's text)
    NotRegular,  // a *.json entry that is not a regular file (detail: the error's text)
    Temporary,   // a temporary file of a save, left by one that was killed (or still in flight)
    Unknown,     // any other entry: not a problem by itself
  };
  std::string path;  // the file's path, or "<table>/<stored identifier>" for a row
  Verdict verdict;
  std::optional<EntityTrust> record;  // Record and Misplaced
  std::string detail;
};

// Every call is a coroutine over a Call (see call.h): where it waits, its driver does the waiting,
// and a call its caller stops is abandoned, having changed nothing, with Io "Interrupted system
// call". Errors that concern one record name it: entity_id() and place().
class Store {
 public:
  explicit Store(std::unique_ptr<const Backend> backend) : backend_(std::move(backend)) {}

  // Reads the record, or creates, saves and returns a neutral one when there is none. Storage when
  // the place holds another identifier's record.
  auto get(Call& cx, std::string_view entity_id) const -> Task<Result<EntityTrust>>;
  // The stored record, or nothing; writes nothing. Storage as get.
  auto find(Call& cx, std::string_view entity_id) const -> Task<Result<std::optional<EntityTrust>>>;
  // Replaces the record whole.
  auto save(Call& cx, const EntityTrust& record) const -> Task<Result<void>>;
  // Saves the record only where nothing is stored at its place, in one step that no other writer
  // comes between. True when it was saved, false when something was there (left as it was).
  auto create(Call& cx, const EntityTrust& record) const -> Task<Result<bool>>;
  // True when a record was removed; false when there was none.
  auto remove(Call& cx, std::string_view entity_id) const -> Task<Result<bool>>;
  // True when a record is stored for the identifier.
  auto exists(Call& cx, std::string_view entity_id) const -> Task<Result<bool>>;
  // Stored identifiers of the readable records, optionally only those of one kind. Never short
  // without an error: only records whose content is wrong are skipped.
  auto list(Call& cx, std::optional<EntityType> kind) const -> Task<Result<std::vector<std::string>>>;
  // How many identifiers list(kind) gives.
  auto count(Call& cx, std::optional<EntityType> kind) const -> Task<Result<std::size_t>>;
  // The readable records of one kind; a copy stored under another identifier's place is fetched
  // (and so maybe created) at its own.
  auto records_of_kind(Call& cx, EntityType kind) const -> Task<Result<std::vector<EntityTrust>>>;
  // update_from_outcome on the stored record (created when missing), atomically. Storage when the
  // stored record names another entity.
  auto update(Call& cx, std::string_view entity_id, bool success, double magnitude) const
      -> Task<Result<EntityTrust>>;
  // apply_decay on the stored record when it has been idle for at least min_idle days, saved when
  // any value changed; nothing is created. True when the record changed.
  auto decay(Call& cx, std::string_view entity_id, double days_inactive, double decay_rate, double min_idle) const
      -> Task<Result<bool>>;
  // The target receives the witness and the witness gives it, both or neither. Returns (witness,
  // target).
  auto witness(Call& cx, std::string_view witness_id, std::string_view target_id, bool success,
               double magnitude) const -> Task<Result<std::pair<EntityTrust, EntityTrust>>>;
  // Ends what the store keeps open between calls (see Backend::close).
  void close() const { backend_->close(); }
  // Every place of the store with its verdict; writes nothing.
  auto check(Call& cx) const -> Task<Result<std::vector<Finding>>>;

  // How Python shows the store: "TrustStore(path='...')" or "TrustStore.connect('...',
  // table='...')" (another class's name in place of TrustStore); never with a password.
  auto repr(std::string_view class_name = "TrustStore") const -> std::string;
  auto address() const noexcept -> const Address& { return backend_->address(); }

 private:
  // The record in the stored text of entity_id's place; Storage, Io or Serialization naming the
  // place when it cannot be read.
  auto read(std::string_view entity_id, const Stored& stored) const -> Result<EntityTrust>;
  // The same, and Storage when it is another identifier's record.
  auto own(std::string_view entity_id, const Stored& stored) const -> Result<EntityTrust>;
  // The refusal of a record filed at entity_id's place by holder.
  auto misplaced(std::string_view entity_id, std::string_view holder) const -> TrustError;
  // The same where there may be no record: a new one then.
  auto own_or_new(std::string_view entity_id, const std::optional<Stored>& stored) const -> Result<EntityTrust>;
  // The error, marked as concerning entity_id (and its place, where it names none yet).
  auto concerning(TrustError error, std::string_view entity_id) const -> TrustError;

  std::unique_ptr<const Backend> backend_;
};

}  // namespace velk
