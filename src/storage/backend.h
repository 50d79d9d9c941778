// What a store needs of the medium that keeps its records. A backend (a record directory, a
// database table) offers these primitives only: reading and writing one record's stored text, a
// transaction over named records, a scan. Every operation of the store and every rule (what counts
// as absent, the refusal of a misplaced record, what a listing skips, both-or-neither, the size
// limit) is written once above them, in store.cc.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/task.h"
#include "storage/address.h"
#include "storage/call.h"

namespace velk {

// The largest record text a backend hands over: far above any real record (a record with a
// million witnesses is about 30 MB), and a bound on the memory one read may take, whatever the
// medium claims.
inline constexpr std::uint64_t kMaxRecordBytes = 64u << 20;

// Where a record lies: how messages name it (a file's path, or "<table>/<identifier>" of a row)
// and the key that tells one place from another (a file's name, a row's key).
struct Place {
  std::string name;
  std::string key;
};

// A record's stored text as read from its place: its bytes, or only their number when there are
// more than kMaxRecordBytes (then nothing is read).
struct Stored {
  std::string text;
  std::uint64_t oversize = 0;
};

// A record's new text and the kind it is filed under (for backends that index it).
struct Write {
  std::string type;
  std::string text;
};

// An entry that a scan meets.
struct Entry {
  enum class Shape : std::uint8_t {
    Record,      // a record's place (a *.json file, a row); read has its text or why it has none
    NotRegular,  // a *.json entry that is not a regular file; read has the error
    Temporary,   // a save's temporary file
    Other,       // anything else in the medium
  };
  Shape shape = Shape::Other;
  Place place;
  Result<Stored> read = Stored{};
};

// Which entries a scan hands over: the records' places only, or everything (for a check).
enum class Scope : std::uint8_t { Records, Everything };

// Receives a scan's entries, numbered in the store's order. After expect(n), a backend may hand
// over entries 0 to n-1 from several threads at once, in any order; without it, one at a time, in
// order. An error that take() returns ends the scan with that error. A backend calls finish() after
// the last entry, where it handed them over (a thread of its work, so that the sink's last pass
// over many entries is not made on an event loop's thread); the store calls it too, in case.
class ScanSink {
 public:
  virtual void expect(std::size_t count) = 0;
  virtual auto take(std::size_t ordinal, Entry&& entry) -> Result<void> = 0;
  virtual void finish() {}

 protected:
  ~ScanSink() = default;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // The stored text at id's own place; nothing when no record is there.
  virtual auto read(Call& cx, std::string_view id) const -> Task<Result<std::optional<Stored>>> = 0;
  // Puts the text at id's place, whatever was there; a reader sees the old text or the new one.
  virtual auto write(Call& cx, std::string_view id, const Write& write) const -> Task<Result<void>> = 0;
  // Puts the text at id's place unless a record is there: nothing when it was put there, else the
  // text that was there (read at the moment it was found).
  virtual auto create(Call& cx, std::string_view id, const Write& write) const
      -> Task<Result<std::optional<Stored>>> = 0;
  // True when a record was removed, false when there was none.
  virtual auto remove(Call& cx, std::string_view id) const -> Task<Result<bool>> = 0;
  // True when something is stored at id's place.
  virtual auto exists(Call& cx, std::string_view id) const -> Task<Result<bool>> = 0;

  // change(stored, writes): given the stored texts of ids' places (nothing where none is), fills in
  // the texts to write (nothing: that place is left as it is). It may be called more than once (a
  // transaction tried again), so it only computes.
  using Change = FunctionRef<Result<void>(std::span<const std::optional<Stored>> stored,
                                          std::span<std::optional<Write>> writes)>;
  // Locks the places of ids (distinct), reads them, calls change and writes what it asks, all of
  // it or none; no other caller's transaction on those places comes between.
  virtual auto transact(Call& cx, std::span<const std::string_view> ids, Change change) const
      -> Task<Result<void>> = 0;

  // Hands every entry to sink. type names the stored kind of the records wanted where the backend
  // can read only those (others may come too).
  virtual auto scan(Call& cx, std::optional<std::string_view> type, Scope scope, ScanSink& sink) const
      -> Task<Result<void>> = 0;

  // Ends what the backend keeps open between calls (a database's idle sessions; those in use end
  // when their calls give them back). Later calls open anew.
  virtual void close() const {}

  // id's own place.
  virtual auto place_of(std::string_view id) const -> Result<Place> = 0;
  // How messages call a place: "record file", "row".
  virtual auto noun() const noexcept -> std::string_view = 0;
  virtual auto address() const noexcept -> const Address& = 0;
  // The address as people may see it: a connection text without its passwords.
  virtual auto shown_address() const -> std::string = 0;
};

}  // namespace velk
