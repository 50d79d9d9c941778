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
// The fields in the order the writer writes them: key, member of EntityTrust, and what a missing
// key does.
#define VELK_RECORD_FIELDS(FIELD)                               \
  FIELD("entity_id", entity_id, Absent::Fails)                  \
  FIELD("entity_type", entity_type, Absent::Default)            \
  FIELD("entity_name", entity_name, Absent::Default)            \
  FIELD(T3Compat::kKeys[0], t3.talent, Absent::Default)         \
  FIELD(T3Compat::kKeys[1], t3.training, Absent::Default)       \
  FIELD(T3Compat::kKeys[2], t3.temperament, Absent::Default)    \
  FIELD(V3Compat::kKeys[0], v3.valuation, Absent::Default)      \
  FIELD(V3Compat::kKeys[1], v3.veracity, Absent::Default)       \
  FIELD(V3Compat::kKeys[2], v3.validity, Absent::Default)       \
  FIELD("witnessed_by", witnessed_by, Absent::Default)          \
  FIELD("has_witnessed", has_witnessed, Absent::Default)        \
  FIELD("action_count", action_count, Absent::Default)          \
  FIELD("success_count", success_count, Absent::Default)        \
  FIELD("witness_count", witness_count, Absent::Default)        \
  FIELD("last_action", last_action, Absent::Default)            \
  FIELD("created_at", created_at, Absent::Now)

// Calls visit(key, member, absent) for each field of r (EntityTrust or const EntityTrust), in order.
template <typename Record, typename Visit>
constexpr void for_each_field(Record& r, Visit&& visit) {
#define VELK_VISIT_FIELD(key, member, absent) visit(key, r.member, absent);
  VELK_RECORD_FIELDS(VELK_VISIT_FIELD)
#undef VELK_VISIT_FIELD
}

// The number of fields.
#define VELK_COUNT_FIELD(key, member, absent) +1
inline constexpr std::size_t kFieldCount = 0 VELK_RECORD_FIELDS(VELK_COUNT_FIELD);
#undef VELK_COUNT_FIELD

// True for the tensor dimensions, which the reader takes through the field sets of T3 and V3.
template <typename T>
inline constexpr bool kIsDimension = std::is_same_v<std::remove_cvref_t<T>, double>;
// True for the timestamps, which the record's Python class does not show.
template <typename T>
inline constexpr bool kIsTimestamp = std::is_same_v<std::remove_cvref_t<T>, Timestamp> ||
                                     std::is_same_v<std::remove_cvref_t<T>, std::optional<Timestamp>>;

}  // namespace velk
