// The operations of a store, each written once for both of its faces: TrustStore runs a call to
// its end on the calling thread, AsyncTrustStore on the event loop. An operation names its
// parameters and summary, keeps what it needs of its arguments (its own copies: a call on the loop
// outlives the method call that made it), starts the store's coroutine, and makes the Python value
// of its result.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/python/classes.h"

namespace velk::py {

// Which face a call runs on: a blocking call may read its record argument in place (the caller's
// frame keeps it alive and, borrowed, unchanged); a call on the loop takes a copy.
enum class Face : std::uint8_t { Blocking, Loop };

auto new_record(EntityTrust&& r) -> PyObject*;
auto new_record_list(std::vector<EntityTrust>&& records) -> PyObject*;
auto new_findings(std::vector<Finding>&& findings) -> PyObject*;
auto new_finding(Finding&& finding) -> PyObject*;
auto new_pair(std::pair<EntityTrust, EntityTrust>&& pair) -> PyObject*;
inline auto new_bool(bool b) -> PyObject* { return PyBool_FromLong(b); }
inline auto new_count(std::size_t n) -> PyObject* { return OwnedRef::checked(PyLong_FromSize_t(n)).release(); }
inline auto new_none(std::monostate) -> PyObject* { return none(); }

// What became of a call's change when its caller stopped it (Ctrl-C, a cancelled task): none was
// made, it was made (the call had finished), or it may or may not have been (a commit's answer that
// did not come within the grace).
enum class Outcome : std::uint8_t { None, Made, Unknown };
auto outcome_note(Outcome outcome) -> const char*;
// Adds the note to the pending exception (should that fail, the exception goes as it is).
void note_outcome(const char* note);

// The options of connect and open, arguments timeout and pool_size of a: a timeout of seconds
// and a pool's size, both positive, and neither for a record directory.
void take_options(BoundArgs& a, std::size_t timeout, std::size_t pool_size, Address& address);

// A store's address as the arguments that open it again (how a store travels by pickle): the path
// of a directory, for the class itself; else the connection text and table, and the timeout and
// pool size when either was given, for the class's opener of databases.
auto reopening_arguments(const Address& address) -> OwnedRef;
// The record directory's path (file-system bytes decoded as os.fsdecode does), or None.
auto directory_of(const Address& address) -> PyObject*;

inline constexpr char kCheckDoc[] = "check($self)\n--\n\nCheck every record file or row of the store, writing nothing";

// The record argument: in place under a shared borrow (blocking), or copied (loop).
class RecordArgument {
 public:
  RecordArgument(BoundArgs& a, std::size_t i, Face face) {
    auto* obj = reinterpret_cast<EntityTrustObject*>(a.object(i, type_object(ClassId::EntityTrust), "EntityTrust"));
    if (face == Face::Loop) {
      SharedBorrow reading(obj->borrow);
      copy_.emplace(obj->value);
      record_ = &*copy_;
    } else {
      borrow_.emplace(obj->borrow);
      record_ = &obj->value;
    }
  }
  RecordArgument(const RecordArgument&) = delete;
  auto operator=(const RecordArgument&) -> RecordArgument& = delete;
  auto get() const -> const EntityTrust& { return *record_; }

 private:
  std::optional<SharedBorrow> borrow_;
  std::optional<EntityTrust> copy_;
  const EntityTrust* record_;
};

// An optional kind query ("mcp", "agent" read as "other", None for all).
inline auto optional_kind(BoundArgs& a, std::size_t i) -> std::optional<EntityType> {
  const auto query = a.optional_text(i);
  if (!query) return std::nullopt;
  return kind_of_query(*query);
}

namespace ops {

struct Get {
  static constexpr Param kParams[] = {{"entity_id"}};
  static constexpr char kSummary[] = "Get entity trust (creates if doesn't exist)";
  Get(BoundArgs& a, Face) : id(a.text(0)) {}
  auto start(const Store& s, Call& cx) const { return s.get(cx, id); }
  static auto value(EntityTrust&& r) -> PyObject* { return new_record(std::move(r)); }
  std::string id;
};

struct Find {
  static constexpr Param kParams[] = {{"entity_id"}};
  static constexpr char kSummary[] = "The stored record, or None when there is none; creates nothing";
  Find(BoundArgs& a, Face) : id(a.text(0)) {}
  auto start(const Store& s, Call& cx) const { return s.find(cx, id); }
  static auto value(std::optional<EntityTrust>&& r) -> PyObject* { return r ? new_record(std::move(*r)) : none(); }
  std::string id;
};

struct Save {
  static constexpr Param kParams[] = {{"trust"}};
  static constexpr char kSummary[] = "Save entity trust";
  Save(BoundArgs& a, Face face) : record(a, 0, face) {}
  auto start(const Store& s, Call& cx) const { return s.save(cx, record.get()); }
  static auto value() -> PyObject* { return none(); }
  RecordArgument record;
};

struct Create {
  static constexpr Param kParams[] = {{"trust"}};
  static constexpr char kSummary[] =
      "Save entity trust only where no record is stored for its entity_id, in one step; True if it was saved";
  Create(BoundArgs& a, Face face) : record(a, 0, face) {}
  auto start(const Store& s, Call& cx) const { return s.create(cx, record.get()); }
  static auto value(bool made) -> PyObject* { return new_bool(made); }
  RecordArgument record;
};

struct Update {
  static constexpr Param kParams[] = {{"entity_id"}, {"success"}, {"magnitude"}};
  static constexpr char kSummary[] = "Update entity from outcome";
  Update(BoundArgs& a, Face) : id(a.text(0)), success(a.flag(1)), magnitude(a.real(2)) {}
  auto start(const Store& s, Call& cx) const { return s.update(cx, id, success, magnitude); }
  static auto value(EntityTrust&& r) -> PyObject* { return new_record(std::move(r)); }
  std::string id;
  bool success;
  double magnitude;
};

struct Witness {
  static constexpr Param kParams[] = {{"witness_id"}, {"target_id"}, {"success"}, {"magnitude"}};
  static constexpr char kSummary[] = "Witness event between two entities";
  Witness(BoundArgs& a, Face) : witness(a.text(0)), target(a.text(1)), success(a.flag(2)), magnitude(a.real(3)) {}
  auto start(const Store& s, Call& cx) const { return s.witness(cx, witness, target, success, magnitude); }
  static auto value(std::pair<EntityTrust, EntityTrust>&& pair) -> PyObject* { return new_pair(std::move(pair)); }
  std::string witness, target;
  bool success;
  double magnitude;
};

struct Decay {
  static constexpr Param kParams[] = {{"entity_id"}, {"days_inactive"}, {"decay_rate"}, {"min_idle", "0.0"}};
  static constexpr char kSummary[] = "Apply decay to a stored record under the directory lock; True if it changed";
  Decay(BoundArgs& a, Face) : id(a.text(0)), days(a.real(1)), rate(a.real(2)), min_idle(a.real_or(3, 0.0)) {}
  auto start(const Store& s, Call& cx) const { return s.decay(cx, id, days, rate, min_idle); }
  static auto value(bool changed) -> PyObject* { return new_bool(changed); }
  std::string id;
  double days, rate, min_idle;
};

struct ListEntities {
  static constexpr Param kParams[] = {{"entity_type", "None"}};
  static constexpr char kSummary[] = "List all entity IDs";
  ListEntities(BoundArgs& a, Face) : kind(optional_kind(a, 0)) {}
  auto start(const Store& s, Call& cx) const { return s.list(cx, kind); }
  static auto value(std::vector<std::string>&& ids) -> PyObject* { return new_text_list(ids); }
  static auto item(std::string&& id) -> PyObject* { return new_text(id); }
  std::optional<EntityType> kind;
};

struct Count {
  static constexpr Param kParams[] = {{"entity_type", "None"}};
  static constexpr char kSummary[] = "Count the entity IDs that list_entities gives";
  Count(BoundArgs& a, Face) : kind(optional_kind(a, 0)) {}
  auto start(const Store& s, Call& cx) const { return s.count(cx, kind); }
  static auto value(std::size_t n) -> PyObject* { return new_count(n); }
  std::optional<EntityType> kind;
};

struct Exists {
  static constexpr Param kParams[] = {{"entity_id"}};
  static constexpr char kSummary[] = "Check if entity exists";
  Exists(BoundArgs& a, Face) : id(a.text(0)) {}
  auto start(const Store& s, Call& cx) const { return s.exists(cx, id); }
  static auto value(bool found) -> PyObject* { return new_bool(found); }
  std::string id;
};

struct Delete {
  static constexpr Param kParams[] = {{"entity_id"}};
  static constexpr char kSummary[] = "Delete entity";
  Delete(BoundArgs& a, Face) : id(a.text(0)) {}
  auto start(const Store& s, Call& cx) const { return s.remove(cx, id); }
  static auto value(bool removed) -> PyObject* { return new_bool(removed); }
  std::string id;
};

struct GetByType {
  static constexpr Param kParams[] = {{"entity_type"}};
  static constexpr char kSummary[] = "Get entities by type";
  GetByType(BoundArgs& a, Face) : kind(kind_of_query(a.text(0))) {}
  auto start(const Store& s, Call& cx) const { return s.records_of_kind(cx, kind); }
  static auto value(std::vector<EntityTrust>&& records) -> PyObject* { return new_record_list(std::move(records)); }
  static auto item(EntityTrust&& record) -> PyObject* { return new_record(std::move(record)); }
  EntityType kind;
};

// No parameters: a METH_NOARGS method of both classes (kCheckDoc).
struct Check {
  Check() = default;
  auto start(const Store& s, Call& cx) const { return s.check(cx); }
  static auto value(std::vector<Finding>&& findings) -> PyObject* { return new_findings(std::move(findings)); }
  static auto item(Finding&& finding) -> PyObject* { return new_finding(std::move(finding)); }
};

}  // namespace ops

// The Python value of an operation's result (T may be void), or its error raised.
template <typename Op, typename T>
auto op_value(Op& op, Result<T>&& r) -> PyObject* {
  if constexpr (std::is_void_v<T>) {
    value_or_raise(std::move(r));
    return op.value();
  } else {
    return op.value(value_or_raise(std::move(r)));
  }
}

// The result type of an operation's coroutine: Task<Result<T>> -> T.
template <typename>
struct TaskResult;
template <typename T>
struct TaskResult<Task<Result<T>>> {
  using type = T;
};
template <typename Op>
using OpResult = typename TaskResult<decltype(std::declval<const Op&>().start(std::declval<const Store&>(),
                                                                                std::declval<Call&>()))>::type;

}  // namespace velk::py
