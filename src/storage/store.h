// What every store of records offers: the operations Python's TrustStore calls, the same on a
// record directory (storage/file) and on a database table (storage/postgres).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"
#include "entity/trust/entity_id.h"
#include "entity/trust/entity_trust.h"
#include "storage/waiter.h"

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

// Every call may wait (for a lock, a listing's work, a server) away from its caller through the
// waiter, and is abandoned, changing nothing, when the waiter reports an interruption.
class Store {
 public:
  virtual ~Store() = default;

  // Reads the record, or creates, saves and returns a neutral one when there is none.
  virtual auto get(std::string_view entity_id, Waiter& waiter) const -> Result<EntityTrust> = 0;
  // Replaces the record whole.
  virtual auto save(const EntityTrust& record, Waiter& waiter) const -> Result<void> = 0;
  // True when a record was removed; false when there was none.
  virtual auto remove(std::string_view entity_id, Waiter& waiter) const -> Result<bool> = 0;
  // True when a record is stored for the identifier.
  virtual auto exists(std::string_view entity_id, Waiter& waiter) const -> Result<bool> = 0;
  // Stored identifiers of the readable records, optionally only those of one kind. Never short
  // without an error: only records whose content is wrong are skipped.
  virtual auto list(std::optional<EntityType> kind, Waiter& waiter) const -> Result<std::vector<std::string>> = 0;
  // The readable records of one kind; a copy stored under another identifier's place is fetched
  // (and so maybe created) at its own.
  virtual auto records_of_kind(EntityType kind, Waiter& waiter) const -> Result<std::vector<EntityTrust>> = 0;
  // update_from_outcome on the stored record (created when missing), atomically. Storage when the
  // stored record names another entity.
  virtual auto update(std::string_view entity_id, bool success, double magnitude, Waiter& waiter) const
      -> Result<EntityTrust> = 0;
  // apply_decay on the stored record when it has been idle for at least min_idle days; nothing is
  // created. True when the record changed.
  virtual auto decay(std::string_view entity_id, double days_inactive, double decay_rate, double min_idle,
                     Waiter& waiter) const -> Result<bool> = 0;
  // The target receives the witness and the witness gives it, both or neither. Returns (witness,
  // target).
  virtual auto witness(std::string_view witness_id, std::string_view target_id, bool success, double magnitude,
                       Waiter& waiter) const -> Result<std::pair<EntityTrust, EntityTrust>> = 0;
  // Every place of the store with its verdict; writes nothing.
  virtual auto check(Waiter& waiter) const -> Result<std::vector<Finding>> = 0;

  // How Python shows the store ("TrustStore(path='...')"); never holds a password.
  virtual auto repr() const -> std::string = 0;
  // What opens the store again (pickling): its directory, or its connection text and table.
  struct Address {
    std::string where;
    std::optional<std::string> table;
  };
  virtual auto address() const -> Address = 0;
};

}  // namespace velk
