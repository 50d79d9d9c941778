// The persisted fields of a record, declared once: key, kind and member, in the order written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <string>
#include <vector>

#include "entity/legacy_fields.h"
#include "entity/trust/entity_trust.h"

namespace velk {

// What reading a record text without a field's key does.
enum class Absent { Fails, Default, Now };
// What Python sees of a field: nothing, its value, or its value and a setter.
enum class Python { Hidden, ReadOnly, Writable };

// A field's kind is its member's type: text (std::string), tensor dimension (double), identifier
// list (std::vector<std::string>), counter (std::uint64_t), timestamp (Timestamp) and nullable
// timestamp (std::optional<Timestamp>). Every user (the writer, the reader, to_dict and the Python
// attributes) handles each kind by overload, so a field of a new kind fails to compile until they
// all handle it; the current tensor keys are the first three of the field sets of older releases.
//
// The fields in the order the writer writes them: key, the member of EntityTrust it holds, the
// record's own member that is (or holds) it, what a missing key does, and what Python sees. Every
// member of EntityTrust is in this table or in VELK_RECORD_TRANSIENT, or the build fails.
#define VELK_RECORD_FIELDS(FIELD)                                                     \
  FIELD("entity_id", entity_id, entity_id, Absent::Fails, Python::ReadOnly)           \
  FIELD("entity_type", entity_type, entity_type, Absent::Default, Python::ReadOnly)   \
  FIELD("entity_name", entity_name, entity_name, Absent::Default, Python::ReadOnly)   \
  FIELD(T3Compat::kKeys[0], t3.talent, t3, Absent::Default, Python::Writable)         \
  FIELD(T3Compat::kKeys[1], t3.training, t3, Absent::Default, Python::Writable)       \
  FIELD(T3Compat::kKeys[2], t3.temperament, t3, Absent::Default, Python::Writable)    \
  FIELD(V3Compat::kKeys[0], v3.valuation, v3, Absent::Default, Python::Writable)      \
  FIELD(V3Compat::kKeys[1], v3.veracity, v3, Absent::Default, Python::Writable)       \
  FIELD(V3Compat::kKeys[2], v3.validity, v3, Absent::Default, Python::Writable)       \
  FIELD("witnessed_by", witnessed_by, witnessed_by, Absent::Default, Python::ReadOnly) \
  FIELD("has_witnessed", has_witnessed, has_witnessed, Absent::Default, Python::ReadOnly) \
  FIELD("action_count", action_count, action_count, Absent::Default, Python::ReadOnly) \
  FIELD("success_count", success_count, success_count, Absent::Default, Python::ReadOnly) \
  FIELD("witness_count", witness_count, witness_count, Absent::Default, Python::ReadOnly) \
  FIELD("last_action", last_action, last_action, Absent::Default, Python::Hidden)     \
  FIELD("created_at", created_at, created_at, Absent::Now, Python::Hidden)

// Members of EntityTrust that are never saved, read, shown or pickled: none today. A new member
// goes into the table above or here.
#define VELK_RECORD_TRANSIENT(MEMBER)

// A row's fixed facts as a type, so that a visitor can branch on them at compile time. It converts
// to its Absent for visitors that need only that.
template <Absent A, Python P>
struct Row {
  static constexpr Absent absent = A;
  static constexpr Python python = P;
  constexpr operator Absent() const noexcept { return A; }  // NOLINT(google-explicit-constructor)
};

// Calls visit(key, member, Row<absent, python>{}) for each field of r (EntityTrust or const
// EntityTrust), in order.
template <typename Record, typename Visit>
constexpr void for_each_field(Record& r, Visit&& visit) {
#define VELK_VISIT_FIELD(key, member, of, absent, python) visit(key, r.member, Row<absent, python>{});
  VELK_RECORD_FIELDS(VELK_VISIT_FIELD)
#undef VELK_VISIT_FIELD
}

// The number of fields.
#define VELK_COUNT_FIELD(key, member, of, absent, python) +1
inline constexpr std::size_t kFieldCount = 0 VELK_RECORD_FIELDS(VELK_COUNT_FIELD);
#define VELK_COUNT_TRANSIENT(member) +1
inline constexpr std::size_t kTransientCount = 0 VELK_RECORD_TRANSIENT(VELK_COUNT_TRANSIENT);
#undef VELK_COUNT_FIELD
#undef VELK_COUNT_TRANSIENT

namespace detail {

// Converts to a reference to anything: as many of them as a type's braces take is its number of
// members.
struct AnyMember {
  template <typename T>
  operator T&() const&&;  // NOLINT(google-explicit-constructor)
};
template <typename T, std::size_t... I>
constexpr auto takes(std::index_sequence<I...>) -> bool {
  return requires { T{(static_cast<void>(I), AnyMember{})...}; };
}
template <typename T, std::size_t N = 0>
consteval auto member_count() -> std::size_t {
  if constexpr (takes<T>(std::make_index_sequence<N + 1>{})) {
    return member_count<T, N + 1>();
  } else {
    return N;
  }
}

// How many rows a member takes: one, or one per member of its own when rows name its members.
template <typename Field, typename Of>
consteval auto parts() -> std::size_t {
  if constexpr (std::is_same_v<Field, Of>) {
    return 1;
  } else {
    return member_count<Of>();
  }
}

// True when the table and the transient list name every member of EntityTrust, and a member the
// table holds field by field (a tensor) has a row for each of its own members. Members are told
// apart by their offsets (the record is standard-layout), so no record is made at compile time.
consteval auto table_covers_record() -> bool {
  struct Named {
    std::size_t offset;
    std::size_t parts;  // the member's members, when rows name them one by one; else 1
    std::size_t rows;
  };
  std::array<Named, kFieldCount + kTransientCount> named{};
  std::size_t n = 0;
  auto note = [&](std::size_t offset, std::size_t parts) {
    for (std::size_t k = 0; k < n; ++k) {
      if (named[k].offset == offset) {
        ++named[k].rows;
        return;
      }
    }
    named[n++] = {offset, parts, 1};
  };
#define VELK_NOTE_FIELD(key, member, of, absent, python) \
  note(offsetof(EntityTrust, of), parts<decltype(EntityTrust::member), decltype(EntityTrust::of)>());
#define VELK_NOTE_TRANSIENT(member) note(offsetof(EntityTrust, member), 1);
  VELK_RECORD_FIELDS(VELK_NOTE_FIELD)
  VELK_RECORD_TRANSIENT(VELK_NOTE_TRANSIENT)
#undef VELK_NOTE_FIELD
#undef VELK_NOTE_TRANSIENT
  for (std::size_t k = 0; k < n; ++k) {
    if (named[k].rows != named[k].parts) return false;
  }
  return n == member_count<EntityTrust>();
}

}  // namespace detail

static_assert(std::is_standard_layout_v<EntityTrust>, "the field table's check tells members apart by offset");
static_assert(detail::table_covers_record(),
              "a member of EntityTrust is missing from VELK_RECORD_FIELDS (or a tensor from some of its rows): add "
              "its row, or list it in VELK_RECORD_TRANSIENT if it is never to be saved");


// True for the tensor dimensions, which the reader takes through the field sets of T3 and V3.
template <typename T>
inline constexpr bool kIsDimension = std::is_same_v<std::remove_cvref_t<T>, double>;

}  // namespace velk
