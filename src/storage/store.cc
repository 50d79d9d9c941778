// The store's operations and rules, once for every backend.
#include "storage/store.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include "storage/record/record_text.h"
#include "storage/record/text_bytes.h"

namespace velk {
namespace {

auto write_of(const EntityTrust& record) -> Write { return {record.entity_type, render_record(record)}; }

// The record of a stored text. name() gives its place's name, which the message of a text over
// the size limit shows.
template <typename Name>
auto decode(const Stored& stored, std::string_view noun, Name&& name) -> Result<EntityTrust> {
  if (stored.oversize != 0) {
    const std::string what(noun);
    return TrustError::storage(what + " '" + name() + "' is " + std::to_string(stored.oversize) +
                               " bytes, more than the " + std::to_string(kMaxRecordBytes) + " bytes a " + what +
                               " may have")
        .as_content_fault();
  }
  if (!is_valid_utf8(stored.text)) {
    return TrustError::io_message("stream did not contain valid UTF-8").as_content_fault();
  }
  return parse_record(stored.text, Timestamp::now());
}

// Whether a listing skips a record that could not be read: it does for a fault of the record's own
// (it does not parse, is not text, is too large or not a regular file, or went away meanwhile), and
// fails for one of the system's (descriptors, memory, I/O), so that a listing is never short
// without an error.
auto skips(const TrustError& error) noexcept -> bool {
  if (error.marked_content_fault() || error.kind() == TrustError::Kind::Serialization) return true;
  if (error.kind() != TrustError::Kind::Io) return false;
  switch (error.os_error()) {
    case 0:        // a sentence of ours: not UTF-8, not a regular file
    case ENOENT:   // removed meanwhile, or a link that leads nowhere
    case ENOTDIR:
    case ELOOP:
    case EISDIR:
    case ENXIO:    // a socket
    case ENODEV:   // a device without a driver
      return true;
    default:
      return false;
  }
}

// The error with a note naming its place and record, where its text names neither (the reader's
// messages are fixed, and a system's error names no file).
auto named(TrustError error, std::string_view noun) -> TrustError {
  const std::string text = error.text();
  if (!error.place().empty() && text.find(error.place()) == std::string::npos) {
    std::string note = "in " + std::string(noun) + " '" + error.place() + "'";
    if (!error.entity_id().empty() && error.place().find(error.entity_id()) == std::string::npos) {
      note += ", the record of '" + error.entity_id() + "'";
    }
    error.noted(std::move(note));
  }
  return error;
}

// A scan's records of a kind decoded where they are handed over (on a backend's threads, perhaps),
// each into its slot, so that the store's order stays; whether each lies at its own place is
// found there too (a digest per record, for files), not after the scan on the caller's thread.
class Listing final : public ScanSink {
 public:
  struct Listed {
    EntityTrust record;
    bool at_own_place = true;
  };
  Listing(const Backend& backend, EntityType kind) : backend_(backend), kind_(kind) {}

  void expect(std::size_t count) override { slots_.resize(count); }
  auto take(std::size_t ordinal, Entry&& entry) -> Result<void> override {
    auto record = decoded(std::move(entry), backend_.noun());
    if (!record) return record.error();
    if (!*record || !matches_kind((*record)->entity_type, kind_)) return {};
    auto own = backend_.place_of((*record)->entity_id);
    if (!own) return own.error();
    if (ordinal >= slots_.size()) slots_.resize(ordinal + 1);  // only when handed over one at a time
    slots_[ordinal].emplace(Listed{std::move(**record), own->key == entry.place.key});
    return {};
  }
  void finish() override {
    if (finished_) return;
    records_.reserve(static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), [](const auto& s) { return s.has_value(); })));
    for (auto& slot : slots_) {
      if (!slot) continue;
      if (!slot->at_own_place) misplaced_.push_back(records_.size());
      records_.push_back(std::move(slot->record));
    }
    slots_ = {};
    finished_ = true;
  }
  // Once finished: the records in the store's order, and which of them lie at another's place.
  auto records() -> std::vector<EntityTrust>& { return records_; }
  auto misplaced() const -> const std::vector<std::size_t>& { return misplaced_; }

  // An entry's record; none for one that a listing skips.
  static auto decoded(Entry&& entry, std::string_view noun) -> Result<std::optional<EntityTrust>> {
    if (entry.shape != Entry::Shape::Record) return std::optional<EntityTrust>();
    if (!entry.read) {
      if (skips(entry.read.error())) return std::optional<EntityTrust>();
      return named(TrustError(entry.read.error()).at(std::move(entry.place.name)), noun);
    }
    auto record = decode(*entry.read, noun, [&] { return entry.place.name; });
    if (!record) return std::optional<EntityTrust>();  // every failure to decode is the record's own
    return std::optional(std::move(*record));
  }

 private:
  const Backend& backend_;
  EntityType kind_;
  std::vector<std::optional<Listed>> slots_;
  bool finished_ = false;
  std::vector<EntityTrust> records_;
  std::vector<std::size_t> misplaced_;
};

// The identifiers of a scan's records of a kind (or all): only those are kept, so that a listing's
// memory is near its result's, not its records'.
class IdListing final : public ScanSink {
 public:
  IdListing(std::string_view noun, std::optional<EntityType> kind) : noun_(noun), kind_(kind) {}

  void expect(std::size_t count) override { slots_.resize(count); }
  auto take(std::size_t ordinal, Entry&& entry) -> Result<void> override {
    auto record = Listing::decoded(std::move(entry), noun_);
    if (!record) return record.error();
    if (!*record || (kind_ && !matches_kind((*record)->entity_type, *kind_))) return {};
    if (ordinal >= slots_.size()) slots_.resize(ordinal + 1);
    slots_[ordinal] = std::move((*record)->entity_id);
    return {};
  }
  void finish() override {
    if (finished_) return;
    ids_.reserve(static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), [](const auto& s) { return s.has_value(); })));
    for (auto& slot : slots_) {
      if (slot) ids_.push_back(std::move(*slot));
    }
    slots_ = {};
    finished_ = true;
  }
  auto ids() && -> std::vector<std::string> {
    finish();
    return std::move(ids_);
  }

 private:
  std::string_view noun_;
  std::optional<EntityType> kind_;
  std::vector<std::optional<std::string>> slots_;
  bool finished_ = false;
  std::vector<std::string> ids_;
};

// A scan's every entry with its verdict.
class Checking final : public ScanSink {
 public:
  explicit Checking(const Backend& backend) : backend_(backend) {}

  void expect(std::size_t count) override { slots_.resize(count); }
  auto take(std::size_t ordinal, Entry&& entry) -> Result<void> override {
    auto finding = find(std::move(entry));
    if (!finding) return finding.error();
    if (ordinal >= slots_.size()) slots_.resize(ordinal + 1);
    slots_[ordinal] = std::move(*finding);
    return {};
  }
  auto findings() -> std::vector<Finding> {
    std::vector<Finding> out;
    out.reserve(slots_.size());
    for (auto& slot : slots_) {
      if (slot) out.push_back(std::move(*slot));
    }
    return out;
  }

 private:
  auto find(Entry&& entry) const -> Result<Finding> {
    Finding finding{std::move(entry.place.name), Finding::Verdict::Unknown, std::nullopt, {}};
    switch (entry.shape) {
      case Entry::Shape::Other: return finding;
      case Entry::Shape::Temporary:
        finding.verdict = Finding::Verdict::Temporary;
        return finding;
      case Entry::Shape::NotRegular:
        finding.verdict = Finding::Verdict::NotRegular;
        finding.detail = entry.read ? std::string() : entry.read.error().text();
        return finding;
      case Entry::Shape::Record: break;
    }
    if (!entry.read) {
      if (!skips(entry.read.error())) return named(TrustError(entry.read.error()).at(finding.path), backend_.noun());
      finding.verdict = Finding::Verdict::Unreadable;
      finding.detail = entry.read.error().text();
      return finding;
    }
    auto record = decode(*entry.read, backend_.noun(), [&] { return finding.path; });
    if (!record) {
      finding.verdict = Finding::Verdict::Unreadable;
      finding.detail = record.error().text();
      return finding;
    }
    auto own = backend_.place_of(record->entity_id);
    if (!own) return own.error();
    const bool at_home = own->key == entry.place.key;
    finding.verdict = at_home ? Finding::Verdict::Record : Finding::Verdict::Misplaced;
    if (!at_home) finding.detail = std::move(own->name);
    finding.record = std::move(*record);
    return finding;
  }

  const Backend& backend_;
  std::vector<std::optional<Finding>> slots_;
};

}  // namespace

auto Store::concerning(TrustError error, std::string_view entity_id) const -> TrustError {
  if (error.entity_id().empty()) error.about(std::string(entity_id));
  if (error.place().empty()) {
    if (auto place = backend_->place_of(entity_id)) error.at(std::move(place->name));
  }
  return named(std::move(error), backend_->noun());
}

// Each of these returns one object, so that a record is built in place and never moved on its way.
auto Store::own(std::string_view entity_id, const Stored& stored) const -> Result<EntityTrust> {
  Result<EntityTrust> record = read(entity_id, stored);
  if (record && record->entity_id != entity_id) record = misplaced(entity_id, record->entity_id);
  return record;
}

auto Store::misplaced(std::string_view entity_id, std::string_view holder) const -> TrustError {
  // A copy restored under the wrong name: saving over it would lose the other entity's record.
  auto place = backend_->place_of(entity_id);
  if (!place) return place.error();
  return TrustError::storage(std::string(backend_->noun()) + " '" + place->name + "' holds the record of '" +
                             std::string(holder) + "', not of '" + std::string(entity_id) + "'")
      .as_content_fault()
      .at(std::move(place->name))
      .about(std::string(entity_id));
}

auto Store::read(std::string_view entity_id, const Stored& stored) const -> Result<EntityTrust> {
  Result<EntityTrust> record = decode(stored, backend_->noun(), [&] {
    auto place = backend_->place_of(entity_id);
    return place ? std::move(place->name) : std::string();
  });
  if (!record) record = concerning(record.error(), entity_id);
  return record;
}

auto Store::own_or_new(std::string_view entity_id, const std::optional<Stored>& stored) const -> Result<EntityTrust> {
  if (!stored) return EntityTrust::create(entity_id);
  return own(entity_id, *stored);
}

auto Store::get(Call& cx, std::string_view entity_id) const -> Task<Result<EntityTrust>> {
  auto stored = co_await backend_->read(cx, entity_id);
  if (!stored) co_return concerning(stored.error(), entity_id);
  if (*stored) co_return own(entity_id, **stored);
  // None yet: a neutral record, unless another caller makes one first (then theirs is read).
  EntityTrust record = EntityTrust::create(entity_id);
  auto made = co_await backend_->create(cx, entity_id, write_of(record));
  if (!made) co_return concerning(made.error(), entity_id);
  if (*made) co_return own(entity_id, **made);
  co_return std::move(record);
}

auto Store::find(Call& cx, std::string_view entity_id) const -> Task<Result<std::optional<EntityTrust>>> {
  auto stored = co_await backend_->read(cx, entity_id);
  if (!stored) co_return concerning(stored.error(), entity_id);
  if (!*stored) co_return std::optional<EntityTrust>();
  auto record = own(entity_id, **stored);
  if (!record) co_return record.error();
  co_return std::optional(std::move(*record));
}

auto Store::save(Call& cx, const EntityTrust& record) const -> Task<Result<void>> {
  auto saved = co_await backend_->write(cx, record.entity_id, write_of(record));
  if (!saved) co_return concerning(saved.error(), record.entity_id);
  co_return saved;
}

auto Store::create(Call& cx, const EntityTrust& record) const -> Task<Result<bool>> {
  auto made = co_await backend_->create(cx, record.entity_id, write_of(record));
  if (!made) co_return concerning(made.error(), record.entity_id);
  co_return !made->has_value();
}

auto Store::remove(Call& cx, std::string_view entity_id) const -> Task<Result<bool>> {
  auto removed = co_await backend_->remove(cx, entity_id);
  if (!removed) co_return concerning(removed.error(), entity_id);
  co_return removed;
}

auto Store::exists(Call& cx, std::string_view entity_id) const -> Task<Result<bool>> {
  auto found = co_await backend_->exists(cx, entity_id);
  if (!found) co_return concerning(found.error(), entity_id);
  co_return found;
}

auto Store::list(Call& cx, std::optional<EntityType> kind) const -> Task<Result<std::vector<std::string>>> {
  IdListing listing(backend_->noun(), kind);
  const auto type = kind ? std::optional(as_str(*kind)) : std::nullopt;
  if (auto scanned = co_await backend_->scan(cx, type, Scope::Records, listing); !scanned) co_return scanned.error();
  co_return std::move(listing).ids();
}

auto Store::count(Call& cx, std::optional<EntityType> kind) const -> Task<Result<std::size_t>> {
  auto ids = co_await list(cx, kind);
  if (!ids) co_return ids.error();
  co_return ids->size();
}

auto Store::records_of_kind(Call& cx, EntityType kind) const -> Task<Result<std::vector<EntityTrust>>> {
  Listing listing(*backend_, kind);
  if (auto scanned = co_await backend_->scan(cx, as_str(kind), Scope::Records, listing); !scanned) {
    co_return scanned.error();
  }
  listing.finish();
  std::vector<EntityTrust> records = std::move(listing.records());
  // A copy under another identifier's place: the record is the one at its own place (made there
  // when there is none), or none when that one is skipped as a listing skips.
  std::vector<bool> gone;
  for (const std::size_t k : listing.misplaced()) {
    auto got = co_await get(cx, records[k].entity_id);
    if (got) {
      records[k] = std::move(*got);
    } else if (skips(got.error())) {
      gone.resize(records.size());
      gone[k] = true;
    } else {
      co_return got.error();
    }
  }
  if (!gone.empty()) {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < records.size(); ++k) {
      if (!gone[k]) records[kept++] = std::move(records[k]);
    }
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(kept), records.end());
  }
  co_return std::move(records);
}

auto Store::update(Call& cx, std::string_view entity_id, bool success, double magnitude) const
    -> Task<Result<EntityTrust>> {
  EntityTrust updated;
  auto change = [&](std::span<const std::optional<Stored>> stored, std::span<std::optional<Write>> writes) -> Result<void> {
    auto record = own_or_new(entity_id, stored[0]);
    if (!record) return record.error();
    record->update_from_outcome(success, magnitude);
    writes[0] = write_of(*record);
    updated = std::move(*record);
    return {};
  };
  const std::string_view ids[] = {entity_id};
  if (auto done = co_await backend_->transact(cx, ids, change); !done) co_return concerning(done.error(), entity_id);
  co_return std::move(updated);
}

auto Store::decay(Call& cx, std::string_view entity_id, double days_inactive, double decay_rate, double min_idle) const
    -> Task<Result<bool>> {
  bool changed = false;
  auto change = [&](std::span<const std::optional<Stored>> stored, std::span<std::optional<Write>> writes) -> Result<void> {
    changed = false;
    if (!stored[0]) return {};  // a record is decayed, never created
    auto record = own(entity_id, *stored[0]);
    if (!record) return record.error();
    if (!(record->days_since_last_action() >= min_idle)) return {};
    // Saved whenever a value moved at all: apply_decay's own answer says only whether training
    // moved noticeably, which a small daily rate never does.
    const std::string before = render_record(*record);
    record->apply_decay(days_inactive, decay_rate);
    Write write = write_of(*record);
    if (write.text == before) return {};
    writes[0] = std::move(write);
    changed = true;
    return {};
  };
  const std::string_view ids[] = {entity_id};
  if (auto done = co_await backend_->transact(cx, ids, change); !done) co_return concerning(done.error(), entity_id);
  co_return changed;
}

auto Store::witness(Call& cx, std::string_view witness_id, std::string_view target_id, bool success,
                    double magnitude) const -> Task<Result<std::pair<EntityTrust, EntityTrust>>> {
  std::pair<EntityTrust, EntityTrust> pair;
  if (witness_id == target_id) {
    // One record: it takes both changes; the pair shows the witness with both, the target with one.
    auto change = [&](std::span<const std::optional<Stored>> stored, std::span<std::optional<Write>> writes) -> Result<void> {
      auto target = own_or_new(target_id, stored[0]);
      if (!target) return target.error();
      target->receive_witness(witness_id, success, magnitude);
      EntityTrust both = *target;
      both.give_witness(target_id, success, magnitude);
      writes[0] = write_of(both);
      pair = {std::move(both), std::move(*target)};
      return {};
    };
    const std::string_view ids[] = {target_id};
    if (auto done = co_await backend_->transact(cx, ids, change); !done) co_return concerning(done.error(), target_id);
    co_return std::move(pair);
  }
  auto change = [&](std::span<const std::optional<Stored>> stored, std::span<std::optional<Write>> writes) -> Result<void> {
    auto target = own_or_new(target_id, stored[0]);
    if (!target) return target.error();
    auto witness = own_or_new(witness_id, stored[1]);
    if (!witness) return witness.error();
    target->receive_witness(witness_id, success, magnitude);
    witness->give_witness(target_id, success, magnitude);
    writes[0] = write_of(*target);
    writes[1] = write_of(*witness);
    pair = {std::move(*witness), std::move(*target)};
    return {};
  };
  const std::string_view ids[] = {target_id, witness_id};
  if (auto done = co_await backend_->transact(cx, ids, change); !done) {
    // An error the change made names its record; one of the backend's concerns the pair.
    co_return done.error();
  }
  co_return std::move(pair);
}

auto Store::check(Call& cx) const -> Task<Result<std::vector<Finding>>> {
  Checking checking(*backend_);
  if (auto scanned = co_await backend_->scan(cx, std::nullopt, Scope::Everything, checking); !scanned) {
    co_return scanned.error();
  }
  co_return checking.findings();
}

auto Store::repr(std::string_view class_name) const -> std::string {
  const Address& address = backend_->address();
  const std::string name(class_name);
  if (address.backend == Address::Backend::Directory) return name + "(path='" + address.where + "')";
  std::string shown = name + ".connect('" + backend_->shown_address() + "', table='" + address.table + "'";
  if (address.timeout) {
    std::ostringstream seconds;
    seconds << *address.timeout;
    shown += ", timeout=" + seconds.str();
  }
  if (address.pool_size) shown += ", pool_size=" + std::to_string(*address.pool_size);
  return shown + ")";
}

}  // namespace velk
