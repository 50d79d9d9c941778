// The EntityTrust class: one record per object, guarded by the object's borrow flag.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "bindings/python/classes.h"
#include "entity/trust/record_fields.h"
#include "storage/record/record_text.h"

namespace velk::py {
namespace {

constexpr Param kNewParams[] = {{"entity_id"}};
constexpr Signature kNew{"EntityTrust.__new__()", kNewParams};
constexpr char kClassDoc[] = "Python-exposed EntityTrust";
constexpr Param kOutcomeParams[] = {{"success"}, {"magnitude"}};
constexpr Signature kUpdateFromOutcome{"EntityTrust.update_from_outcome()", kOutcomeParams};
constexpr char kUpdateFromOutcomeDoc[] = "Update from action outcome";
constexpr Param kReceiveParams[] = {{"witness_id"}, {"success"}, {"magnitude"}};
constexpr Signature kReceiveWitness{"EntityTrust.receive_witness()", kReceiveParams};
constexpr char kReceiveWitnessDoc[] = "Receive witness event";
constexpr Param kGiveParams[] = {{"target_id"}, {"success"}, {"magnitude"}};
constexpr Signature kGiveWitness{"EntityTrust.give_witness()", kGiveParams};
constexpr char kGiveWitnessDoc[] = "Give witness event";
constexpr Param kDecayParams[] = {{"days_inactive"}, {"decay_rate"}};
constexpr Signature kApplyDecay{"EntityTrust.apply_decay()", kDecayParams};
constexpr char kApplyDecayDoc[] = "Apply decay";
constexpr Param kFromJsonParams[] = {{"text"}};
constexpr Signature kFromJson{"EntityTrust.from_json()", kFromJsonParams};

auto read_entity(PyObject* self, auto&& read) -> PyObject* {
  return read_object<EntityTrustObject>(self, read);
}

auto change_record(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   auto&& change) -> PyObject* {
  return change_object<EntityTrustObject>(sig, self, args, nargs, kwnames, change);
}

auto entity_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
  return guard([&] {
    auto a = bind(kNew, args, kwargs);
    return new_instance<EntityTrustObject>(type, EntityTrust::create(a.text(0)));
  });
}

auto entity_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) -> PyObject* {
  return guard([&] {
    auto a = bind(kNew, args, PyVectorcall_NARGS(nargsf), kwnames);
    return new_instance<EntityTrustObject>(reinterpret_cast<PyTypeObject*>(type), EntityTrust::create(a.text(0)));
  });
}

auto entity_t3_average(PyObject* self, PyObject*) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) { return new_float(r.t3_average()); });
}
auto entity_v3_average(PyObject* self, PyObject*) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) { return new_float(r.v3_average()); });
}
auto entity_trust_level(PyObject* self, PyObject*) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) { return new_text(r.trust_level()); });
}
auto entity_days_since_last_action(PyObject* self, PyObject*) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) { return new_float(r.days_since_last_action()); });
}
auto entity_success_rate(PyObject* self, PyObject*) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) { return new_float(r.success_rate()); });
}

auto entity_update_from_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    -> PyObject* {
  return change_record(kUpdateFromOutcome, self, args, nargs, kwnames, [](BoundArgs& a, EntityTrust& r) {
    const bool success = a.flag(0);
    const double magnitude = a.real(1);
    r.update_from_outcome(success, magnitude);
    return none();
  });
}

auto entity_receive_witness(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    -> PyObject* {
  return change_record(kReceiveWitness, self, args, nargs, kwnames, [](BoundArgs& a, EntityTrust& r) {
    const auto witness_id = a.text(0);
    const bool success = a.flag(1);
    const double magnitude = a.real(2);
    r.receive_witness(witness_id, success, magnitude);
    return none();
  });
}

auto entity_give_witness(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return change_record(kGiveWitness, self, args, nargs, kwnames, [](BoundArgs& a, EntityTrust& r) {
    const auto target_id = a.text(0);
    const bool success = a.flag(1);
    const double magnitude = a.real(2);
    r.give_witness(target_id, success, magnitude);
    return none();
  });
}

auto entity_apply_decay(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return change_record(kApplyDecay, self, args, nargs, kwnames, [](BoundArgs& a, EntityTrust& r) {
    const double days_inactive = a.real(0);
    const double decay_rate = a.real(1);
    return PyBool_FromLong(r.apply_decay(days_inactive, decay_rate));
  });
}

// Python values of the fields shown to Python (all but the timestamps).
auto to_python(const std::string& v) -> PyObject* { return new_text(v); }
auto to_python(double v) -> PyObject* { return new_float(v); }
auto to_python(const std::vector<std::string>& v) -> PyObject* { return new_text_list(v); }
auto to_python(std::uint64_t v) -> PyObject* { return OwnedRef::checked(PyLong_FromUnsignedLongLong(v)).release(); }

// True when text, a str of this module's making, spells s.
auto spells(PyObject* text, std::string_view s) -> bool {
#ifndef Py_LIMITED_API
  if (PyUnicode_IS_COMPACT_ASCII(text)) {
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) == s.size() &&
           std::memcmp(PyUnicode_DATA(text), s.data(), s.size()) == 0;
  }
#endif
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);  // kept in the str once made
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  return static_cast<std::size_t>(size) == s.size() && std::memcmp(utf8, s.data(), s.size()) == 0;
}

// A new reference to the kept string of s, made anew unless the kept one still spells s.
auto kept_text(PyObject*& kept, std::string_view s) -> PyObject* {
  if (kept == nullptr || !spells(kept, s)) {
    PyObject* made = new_text(s);
    Py_XDECREF(std::exchange(kept, made));
  }
  return Py_NewRef(kept);
}

// The Python value of field k of the object's record, from the kept strings where it has text.
auto field_value(EntityTrustObject& obj, std::size_t k, const auto& value) -> PyObject* {
  using T = std::remove_cvref_t<decltype(value)>;
  auto& extras = obj.extras;
  if constexpr (std::is_same_v<T, std::string>) {
    return kept_text(extras.texts[kKeptSlot[k]], value);
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    auto& kept = extras.lists[kKeptSlot[k]];
    for (; kept.size() > value.size(); kept.pop_back()) Py_XDECREF(kept.back());
    kept.resize(value.size(), nullptr);
    OwnedRef list = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(value.size())));
    for (std::size_t n = 0; n < value.size(); ++n) {
      list_set(list.get(), static_cast<Py_ssize_t>(n), kept_text(kept[n], value[n]));
    }
    return list.release();  // a new list each time: the caller may change it
  } else {
    return to_python(value);
  }
}

// Calls shown(k, key, member, row) for the fields Python sees, k being the index in the field table.
template <typename Record, typename F>
void for_each_shown_field(Record& r, F&& shown) {
  std::size_t index = 0;
  for_each_field(r, [&](std::string_view key, auto& member, auto row) {
    const std::size_t k = index++;
    if constexpr (decltype(row)::python != Python::Hidden) shown(k, key, member, row);
  });
}

// The keys of to_dict, interned once (their hashes are then cached) and kept for the process.
auto dict_keys() -> const std::array<PyObject*, kFieldCount>& {
  static std::array<PyObject*, kFieldCount> keys{};
  if (keys[0] == nullptr) {
    EntityTrust r;
    for_each_shown_field(r, [&](std::size_t k, std::string_view key, const auto&, auto) {
      keys[k] = OwnedRef::checked(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())))
                    .release();
      PyUnicode_InternInPlace(&keys[k]);
    });
  }
  return keys;
}

auto entity_to_dict(PyObject* self, PyObject*) -> PyObject* {
  return read_whole_object<EntityTrustObject>(self, [](EntityTrustObject& obj) {
    const auto& keys = dict_keys();
    OwnedRef dict = OwnedRef::checked(PyDict_New());
    for_each_shown_field(std::as_const(obj.value), [&](std::size_t k, std::string_view, const auto& value, auto) {
      OwnedRef item = OwnedRef::steal(field_value(obj, k, value));
      if (PyDict_SetItem(dict.get(), keys[k], item.get()) < 0) throw PyErrSet{};
    });
    return dict.release();
  });
}

// Pickle and copy carry every field exactly (timestamps as (seconds, nanoseconds), NaN and -0.0 as
// they are), as a dict keyed like the record file, so that a state lacking a field (from a release
// with fewer) leaves that field as the constructor made it.
auto to_state(const auto& value) -> PyObject* { return to_python(value); }
auto to_state(const Timestamp& t) -> PyObject* {
  return OwnedRef::checked(Py_BuildValue("(LI)", static_cast<long long>(t.seconds), t.nanos)).release();
}
auto to_state(const std::optional<Timestamp>& t) -> PyObject* { return t ? to_state(*t) : none(); }

// Each reads one state value into member, or returns what the value should have been.
auto from_state(PyObject* v, std::string& member) -> const char* {
  if (!PyUnicode_Check(v)) return "a str";
  member = std::string(to_text(v));
  return nullptr;
}
auto from_state(PyObject* v, double& member) -> const char* {
  if (!PyFloat_Check(v)) return "a float";
  member = float_value(v);
  return nullptr;
}
auto from_state(PyObject* v, std::vector<std::string>& member) -> const char* {
  if (!PyList_Check(v)) return "a list of str";
  std::vector<std::string> items;
  for (Py_ssize_t k = 0; k < list_size(v); ++k) {
    if (from_state(list_item(v, k), items.emplace_back()) != nullptr) return "a list of str";
  }
  member = std::move(items);
  return nullptr;
}
auto from_state(PyObject* v, std::uint64_t& member) -> const char* {
  if (!PyLong_Check(v)) return "an int from 0 to 2**64 - 1";
  const unsigned long long n = PyLong_AsUnsignedLongLong(v);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return "an int from 0 to 2**64 - 1";
  }
  member = n;
  return nullptr;
}
auto from_state(PyObject* v, Timestamp& member) -> const char* {
  constexpr const char* kWanted = "a (seconds, nanoseconds) tuple";
  long long seconds = 0;
  unsigned long nanos = 0;
  if (!PyTuple_Check(v) || !PyArg_ParseTuple(v, "Lk", &seconds, &nanos) || nanos >= 1'000'000'000) {
    PyErr_Clear();
    return kWanted;
  }
  member = {seconds, static_cast<std::uint32_t>(nanos)};
  return nullptr;
}
auto from_state(PyObject* v, std::optional<Timestamp>& member) -> const char* {
  if (v == Py_None) {
    member.reset();
    return nullptr;
  }
  if (from_state(v, member.emplace()) != nullptr) return "None or a (seconds, nanoseconds) tuple";
  return nullptr;
}

auto entity_reduce(PyObject* self, PyObject*) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) {
    OwnedRef state = OwnedRef::checked(PyDict_New());
    for_each_field(r, [&](std::string_view key, const auto& member, Absent) {
      OwnedRef value = OwnedRef::steal(to_state(member));
      if (PyDict_SetItemString(state.get(), key.data(), value.get()) < 0) throw PyErrSet{};
    });
    OwnedRef id = OwnedRef::steal(new_text(r.entity_id));
    return reduce_value(ClassId::EntityTrust, OwnedRef::checked(PyTuple_Pack(1, id.get())), std::move(state));
  });
}

auto entity_setstate(PyObject* self, PyObject* state) -> PyObject* {
  return guard([&] {
    if (!PyDict_Check(state)) raise(PyExc_TypeError, "EntityTrust state must be a dict");
    auto& obj = receiver<EntityTrustObject>(self);
    ExclusiveBorrow borrow(obj.borrow);
    EntityTrust restored = obj.value;  // the object changes only once every value is read
    for_each_field(restored, [&](std::string_view key, auto& member, Absent) {
      PyObject* value = PyDict_GetItemString(state, key.data());
      if (value == nullptr) return;
      if (const char* wanted = from_state(value, member)) {
        raise(PyExc_TypeError, "EntityTrust state: '" + std::string(key) + "' must be " + wanted);
      }
    });
    obj.value = std::move(restored);
    obj.extras.clear();
    return none();
  });
}

// A record read from its JSON text by the store's reader: exact, timestamps included, so that
// saving it writes what the store itself would.
auto entity_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return guard([&] {
    auto a = bind(kFromJson, args, nargs, kwnames);
    return make_result<EntityTrustObject>(value_or_raise(parse_record(a.text(0), Timestamp::now())));
  });
}

// The record's text as the store writes it: what a record file or a row holds, byte for byte.
auto entity_to_json(PyObject* self, PyObject*) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) { return new_text(render_record(r)); });
}

auto entity_repr(PyObject* self) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) {
    return new_text("EntityTrust('" + r.entity_id + "', t3=" + format3(r.t3_average()) +
                    ", level=" + std::string(r.trust_level()) + ")");
  });
}

// Attributes: one per field Python sees, found by its index in the field table (the closure). A
// read makes a new Python object (a text's is kept); the tensor dimensions are writable and stored
// clamped.
auto get_field(PyObject* self, void* closure) -> PyObject* {
  const auto wanted = reinterpret_cast<std::uintptr_t>(closure);
  return read_whole_object<EntityTrustObject>(self, [&](EntityTrustObject& obj) {
    PyObject* result = nullptr;
    for_each_shown_field(std::as_const(obj.value), [&](std::size_t k, std::string_view, const auto& value, auto) {
      if (k == wanted) result = field_value(obj, k, value);
    });
    return result;
  });
}

auto set_dimension(PyObject* self, PyObject* value, void* closure) -> int {
  const auto wanted = reinterpret_cast<std::uintptr_t>(closure);
  return guard([&] {
    refuse_delete(value);
    const double v = to_real(value);
    auto& obj = receiver<EntityTrustObject>(self);
    ExclusiveBorrow borrow(obj.borrow);
    for_each_shown_field(obj.value, [&](std::size_t k, std::string_view, auto& member, auto row) {
      if constexpr (decltype(row)::python == Python::Writable) {
        if (k == wanted) member = clamp_unit(v);
      }
    });
    return 0;
  });
}

const auto entity_getset = [] {
  std::array<PyGetSetDef, kFieldCount + 1> defs{};  // ends in a zeroed entry
  std::size_t n = 0;
  EntityTrust r;
  for_each_shown_field(r, [&](std::size_t k, std::string_view key, auto&, auto row) {
    const setter set = decltype(row)::python == Python::Writable ? set_dimension : nullptr;
    defs[n++] = {key.data(), get_field, set, "", reinterpret_cast<void*>(k)};
  });
  return defs;
}();

PyMethodDef entity_methods[] = {
    {"from_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entity_from_json)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_json(text)\n--\n\nRead a record from its JSON text as the store reads record files"},
    noargs_method("t3_average", entity_t3_average, "t3_average($self)\n--\n\nGet T3 average"),
    noargs_method("v3_average", entity_v3_average, "v3_average($self)\n--\n\nGet V3 average"),
    noargs_method("trust_level", entity_trust_level, "trust_level($self)\n--\n\nGet trust level"),
    fastcall_method<kUpdateFromOutcome, kUpdateFromOutcomeDoc>(entity_update_from_outcome),
    fastcall_method<kReceiveWitness, kReceiveWitnessDoc>(entity_receive_witness),
    fastcall_method<kGiveWitness, kGiveWitnessDoc>(entity_give_witness),
    noargs_method("days_since_last_action", entity_days_since_last_action,
                  "days_since_last_action($self)\n--\n\nDays since last action"),
    fastcall_method<kApplyDecay, kApplyDecayDoc>(entity_apply_decay),
    noargs_method("success_rate", entity_success_rate, "success_rate($self)\n--\n\nSuccess rate"),
    noargs_method("to_dict", entity_to_dict, "to_dict($self)\n--\n\nConvert to dict (for JSON serialization)"),
    noargs_method("to_json", entity_to_json, "to_json($self)\n--\n\nThe record's JSON text, as the store writes it"),
    reduce_method(entity_reduce),
    setstate_method(entity_setstate),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot entity_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc<kNew, kClassDoc>.data())},
    {Py_tp_new, reinterpret_cast<void*>(entity_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<EntityTrustObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(entity_repr)},
    {Py_tp_methods, entity_methods},
    {Py_tp_getset, const_cast<PyGetSetDef*>(entity_getset.data())},
    {0, nullptr},
};

}  // namespace

const vectorcallfunc entity_trust_vectorcall = entity_vectorcall;

PyType_Spec entity_trust_spec = {
    .name = "builtins.EntityTrust",
    .basicsize = sizeof(EntityTrustObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = entity_slots,
};

}  // namespace velk::py
