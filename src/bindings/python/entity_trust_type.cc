// The EntityTrust class: one record per object, guarded by the object's borrow flag.
#include <string>

#include "bindings/python/classes.h"

namespace velk::py {
namespace {

constexpr Param kNewParams[] = {{"entity_id"}};
constexpr Signature kNew{"EntityTrust.__new__()", kNewParams};
constexpr Param kOutcomeParams[] = {{"success"}, {"magnitude"}};
constexpr Signature kUpdateFromOutcome{"EntityTrust.update_from_outcome()", kOutcomeParams};
constexpr Param kReceiveParams[] = {{"witness_id"}, {"success"}, {"magnitude"}};
constexpr Signature kReceiveWitness{"EntityTrust.receive_witness()", kReceiveParams};
constexpr Param kGiveParams[] = {{"target_id"}, {"success"}, {"magnitude"}};
constexpr Signature kGiveWitness{"EntityTrust.give_witness()", kGiveParams};
constexpr Param kDecayParams[] = {{"days_inactive"}, {"decay_rate"}};
constexpr Signature kApplyDecay{"EntityTrust.apply_decay()", kDecayParams};

// Reading entry points: shared borrow, then `read(record)` builds the result.
template <typename F>
auto read_entity(PyObject* self, F&& read) -> PyObject* {
  return guard([&] {
    auto& obj = receiver<EntityTrustObject>(self);
    SharedBorrow borrow(obj.borrow);
    return read(static_cast<const EntityTrust&>(obj.value));
  });
}

// Changing methods: bind, take the exclusive borrow, then `change` converts and applies.
template <typename F>
auto change_record(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   F&& change) -> PyObject* {
  return guard([&] {
    auto a = bind(sig, args, nargs, kwnames);
    auto& obj = receiver<EntityTrustObject>(self);
    ExclusiveBorrow borrow(obj.borrow);
    return change(a, obj.value);
  });
}

auto entity_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
  return guard([&] {
    auto a = bind(kNew, args, kwargs);
    return new_instance<EntityTrustObject>(type, EntityTrust::create(a.text(0)));
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

void set_item(PyObject* dict, const char* key, PyObject* value) {
  OwnedRef owned = OwnedRef::checked(value);
  if (PyDict_SetItemString(dict, key, owned.get()) < 0) throw PyErrSet{};
}

auto entity_to_dict(PyObject* self, PyObject*) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) {
    OwnedRef dict = OwnedRef::checked(PyDict_New());
    PyObject* d = dict.get();
    set_item(d, "entity_id", new_text(r.entity_id));
    set_item(d, "entity_type", new_text(r.entity_type));
    set_item(d, "entity_name", new_text(r.entity_name));
    set_item(d, "talent", new_float(r.t3.talent));
    set_item(d, "training", new_float(r.t3.training));
    set_item(d, "temperament", new_float(r.t3.temperament));
    set_item(d, "valuation", new_float(r.v3.valuation));
    set_item(d, "veracity", new_float(r.v3.veracity));
    set_item(d, "validity", new_float(r.v3.validity));
    set_item(d, "witnessed_by", new_text_list(r.witnessed_by));
    set_item(d, "has_witnessed", new_text_list(r.has_witnessed));
    set_item(d, "action_count", PyLong_FromUnsignedLongLong(r.action_count));
    set_item(d, "success_count", PyLong_FromUnsignedLongLong(r.success_count));
    set_item(d, "witness_count", PyLong_FromUnsignedLongLong(r.witness_count));
    return dict.release();
  });
}

auto entity_repr(PyObject* self) -> PyObject* {
  return read_entity(self, [](const EntityTrust& r) {
    return new_text("EntityTrust('" + r.entity_id + "', t3=" + format3(r.t3_average()) +
                    ", level=" + std::string(r.trust_level()) + ")");
  });
}

// Read-only attributes: a new Python object on every read.
template <PyObject* (*Read)(const EntityTrust&)>
auto get_attribute(PyObject* self, void*) -> PyObject* {
  return read_entity(self, Read);
}

auto read_id(const EntityTrust& r) -> PyObject* { return new_text(r.entity_id); }
auto read_type(const EntityTrust& r) -> PyObject* { return new_text(r.entity_type); }
auto read_name(const EntityTrust& r) -> PyObject* { return new_text(r.entity_name); }
auto read_action_count(const EntityTrust& r) -> PyObject* { return PyLong_FromUnsignedLongLong(r.action_count); }
auto read_success_count(const EntityTrust& r) -> PyObject* { return PyLong_FromUnsignedLongLong(r.success_count); }
auto read_witness_count(const EntityTrust& r) -> PyObject* { return PyLong_FromUnsignedLongLong(r.witness_count); }
auto read_witnessed_by(const EntityTrust& r) -> PyObject* { return new_text_list(r.witnessed_by); }
auto read_has_witnessed(const EntityTrust& r) -> PyObject* { return new_text_list(r.has_witnessed); }

template <PyObject* (*Read)(const EntityTrust&)>
auto read_only(const char* name) -> PyGetSetDef {
  return {name, get_attribute<Read>, nullptr, "", nullptr};
}

constexpr RealField<EntityTrust> kTalent{[](EntityTrust& r) -> double& { return r.t3.talent; }};
constexpr RealField<EntityTrust> kTraining{[](EntityTrust& r) -> double& { return r.t3.training; }};
constexpr RealField<EntityTrust> kTemperament{[](EntityTrust& r) -> double& { return r.t3.temperament; }};
constexpr RealField<EntityTrust> kValuation{[](EntityTrust& r) -> double& { return r.v3.valuation; }};
constexpr RealField<EntityTrust> kVeracity{[](EntityTrust& r) -> double& { return r.v3.veracity; }};
constexpr RealField<EntityTrust> kValidity{[](EntityTrust& r) -> double& { return r.v3.validity; }};

PyGetSetDef entity_getset[] = {
    read_only<read_id>("entity_id"),
    read_only<read_type>("entity_type"),
    read_only<read_name>("entity_name"),
    read_only<read_action_count>("action_count"),
    read_only<read_success_count>("success_count"),
    read_only<read_witness_count>("witness_count"),
    read_only<read_witnessed_by>("witnessed_by"),
    read_only<read_has_witnessed>("has_witnessed"),
    real_attribute<EntityTrustObject>("talent", kTalent),
    real_attribute<EntityTrustObject>("training", kTraining),
    real_attribute<EntityTrustObject>("temperament", kTemperament),
    real_attribute<EntityTrustObject>("valuation", kValuation),
    real_attribute<EntityTrustObject>("veracity", kVeracity),
    real_attribute<EntityTrustObject>("validity", kValidity),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef entity_methods[] = {
    noargs_method("t3_average", entity_t3_average, "t3_average($self)\n--\n\nGet T3 average"),
    noargs_method("v3_average", entity_v3_average, "v3_average($self)\n--\n\nGet V3 average"),
    noargs_method("trust_level", entity_trust_level, "trust_level($self)\n--\n\nGet trust level"),
    fastcall_method("update_from_outcome", entity_update_from_outcome,
                    "update_from_outcome($self, success, magnitude)\n--\n\nUpdate from action outcome"),
    fastcall_method("receive_witness", entity_receive_witness,
                    "receive_witness($self, witness_id, success, magnitude)\n--\n\nReceive witness event"),
    fastcall_method("give_witness", entity_give_witness,
                    "give_witness($self, target_id, success, magnitude)\n--\n\nGive witness event"),
    noargs_method("days_since_last_action", entity_days_since_last_action,
                  "days_since_last_action($self)\n--\n\nDays since last action"),
    fastcall_method("apply_decay", entity_apply_decay,
                    "apply_decay($self, days_inactive, decay_rate)\n--\n\nApply decay"),
    noargs_method("success_rate", entity_success_rate, "success_rate($self)\n--\n\nSuccess rate"),
    noargs_method("to_dict", entity_to_dict, "to_dict($self)\n--\n\nConvert to dict (for JSON serialization)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot entity_slots[] = {
    {Py_tp_doc, const_cast<char*>("EntityTrust(entity_id)\n--\n\nPython-exposed EntityTrust")},
    {Py_tp_new, reinterpret_cast<void*>(entity_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<EntityTrustObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(entity_repr)},
    {Py_tp_methods, entity_methods},
    {Py_tp_getset, entity_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec entity_trust_spec = {
    .name = "builtins.EntityTrust",
    .basicsize = sizeof(EntityTrustObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = entity_slots,
};

}  // namespace velk::py
