// The persisted fields of a record, declared once: key, kind and member, in the order written.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <string>
#include <vector>

#include "entity/legacy_fields.h"
#include "entity/trust/entity_trust.h"

namespace velk {

// What reading a record text without a field's key does.
enum class Absent { Fails, Default, Now };

// A field's kind is its member's type: text (std::string), tensor dimension (double), identifier
// list (std::vector<std::string>), counter (std::uint64_t), timestamp (Timestamp) and nullable
// timestamp (std::optional<Timestamp>). Every user (the writer, the reader, to_dict and the Python
// attributes) handles each kind by overload, so a field of a new kind fails to compile until they
// all handle it; the current tensor keys are the first three of the field sets of older releases.
//
// Calls visit(key, member, absent) for each field of r (EntityTrust or const EntityTrust), in the
// order the writer writes them.
template <typename Record, typename Visit>
constexpr void for_each_field(Record& r, Visit&& visit) {
  visit("entity_id", r.entity_id, Absent::Fails);
  visit("entity_type", r.entity_type, Absent::Default);
  visit("entity_name", r.entity_name, Absent::Default);
  visit(T3Compat::kKeys[0], r.t3.talent, Absent::Default);
  visit(T3Compat::kKeys[1], r.t3.training, Absent::Default);
  visit(T3Compat::kKeys[2], r.t3.temperament, Absent::Default);
  visit(V3Compat::kKeys[0], r.v3.valuation, Absent::Default);
  visit(V3Compat::kKeys[1], r.v3.veracity, Absent::Default);
  visit(V3Compat::kKeys[2], r.v3.validity, Absent::Default);
  visit("witnessed_by", r.witnessed_by, Absent::Default);
  visit("has_witnessed", r.has_witnessed, Absent::Default);
  visit("action_count", r.action_count, Absent::Default);
  visit("success_count", r.success_count, Absent::Default);
  visit("witness_count", r.witness_count, Absent::Default);
  visit("last_action", r.last_action, Absent::Default);
  visit("created_at", r.created_at, Absent::Now);
}

// The number of fields.
inline constexpr std::size_t kFieldCount = [] {
  EntityTrust r;
  std::size_t n = 0;
  for_each_field(r, [&](std::string_view, auto&, Absent) { ++n; });
  return n;
}();

// True for the tensor dimensions, which the reader takes through the field sets of T3 and V3.
template <typename T>
inline constexpr bool kIsDimension = std::is_same_v<std::remove_cvref_t<T>, double>;
// True for the timestamps, which the record's Python class does not show.
template <typename T>
inline constexpr bool kIsTimestamp = std::is_same_v<std::remove_cvref_t<T>, Timestamp> ||
                                     std::is_same_v<std::remove_cvref_t<T>, std::optional<Timestamp>>;

}  // namespace velk
