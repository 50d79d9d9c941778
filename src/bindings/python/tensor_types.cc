// The T3Tensor and V3Tensor classes.
#include <string>

#include "bindings/python/classes.h"

namespace velk::py {
namespace {

// ---------------------------------------------------------------- T3Tensor

constexpr Param kT3NewParams[] = {{"talent", false}, {"training", false}, {"temperament", false}};
constexpr Signature kT3New{"T3Tensor.__new__()", kT3NewParams};
constexpr Param kOutcomeParams[] = {{"success"}, {"magnitude"}};
constexpr Signature kT3UpdateFromOutcome{"T3Tensor.update_from_outcome()", kOutcomeParams};
constexpr Param kDecayParams[] = {{"days_inactive"}, {"decay_rate"}};
constexpr Signature kT3ApplyDecay{"T3Tensor.apply_decay()", kDecayParams};

auto t3_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
  return guard([&] {
    auto a = bind(kT3New, args, kwargs);
    const double talent = a.real_or(0, kNeutral);
    const double training = a.real_or(1, kNeutral);
    const double temperament = a.real_or(2, kNeutral);
    return new_instance<T3Object>(type, T3Tensor::clamped(talent, training, temperament));
  });
}

auto t3_neutral(PyObject*, PyObject*) -> PyObject* {
  return guard([] { return make_result<T3Object>(T3Tensor::neutral()); });
}

auto t3_average(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    auto& t = receiver<T3Object>(self);
    SharedBorrow borrow(t.borrow);
    return new_float(t.value.average());
  });
}

auto t3_level(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    auto& t = receiver<T3Object>(self);
    SharedBorrow borrow(t.borrow);
    return new_text(t.value.level());
  });
}

auto t3_update_from_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return guard([&] {
    auto a = bind(kT3UpdateFromOutcome, args, nargs, kwnames);
    auto& t = receiver<T3Object>(self);
    ExclusiveBorrow borrow(t.borrow);
    const bool success = a.flag(0);
    const double magnitude = a.real(1);
    t.value.update_from_outcome(success, magnitude);
    return none();
  });
}

auto t3_apply_decay(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return guard([&] {
    auto a = bind(kT3ApplyDecay, args, nargs, kwnames);
    auto& t = receiver<T3Object>(self);
    ExclusiveBorrow borrow(t.borrow);
    const double days_inactive = a.real(0);
    const double decay_rate = a.real(1);
    return PyBool_FromLong(t.value.apply_decay(days_inactive, decay_rate));
  });
}

auto t3_repr(PyObject* self) -> PyObject* {
  return guard([&] {
    auto& t = receiver<T3Object>(self);
    SharedBorrow borrow(t.borrow);
    const auto& v = t.value;
    return new_text("T3Tensor(talent=" + format3(v.talent) + ", training=" + format3(v.training) +
                    ", temperament=" + format3(v.temperament) + ")");
  });
}

constexpr RealField<T3Tensor> kTalent{[](T3Tensor& t) -> double& { return t.talent; }};
constexpr RealField<T3Tensor> kTraining{[](T3Tensor& t) -> double& { return t.training; }};
constexpr RealField<T3Tensor> kTemperament{[](T3Tensor& t) -> double& { return t.temperament; }};

PyMethodDef t3_methods[] = {
    noargs_method("neutral", t3_neutral, "neutral()\n--\n\nCreate a neutral tensor (all 0.5)", METH_STATIC),
    noargs_method("average", t3_average, "average($self)\n--\n\nCalculate average trust score"),
    noargs_method("level", t3_level, "level($self)\n--\n\nGet trust level as string"),
    fastcall_method("update_from_outcome", t3_update_from_outcome,
                    "update_from_outcome($self, success, magnitude)\n--\n\nUpdate from action outcome"),
    fastcall_method("apply_decay", t3_apply_decay,
                    "apply_decay($self, days_inactive, decay_rate)\n--\n\nApply temporal decay"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef t3_getset[] = {
    real_attribute<T3Object>("talent", kTalent),
    real_attribute<T3Object>("training", kTraining),
    real_attribute<T3Object>("temperament", kTemperament),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot t3_slots[] = {
    {Py_tp_doc, const_cast<char*>("T3Tensor(talent=0.5, training=0.5, temperament=0.5)\n--\n\n"
                                  "Python-exposed T3 Trust Tensor (Talent/Training/Temperament)")},
    {Py_tp_new, reinterpret_cast<void*>(t3_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<T3Object>)},
    {Py_tp_repr, reinterpret_cast<void*>(t3_repr)},
    {Py_tp_methods, t3_methods},
    {Py_tp_getset, t3_getset},
    {0, nullptr},
};

// ---------------------------------------------------------------- V3Tensor

constexpr Param kV3NewParams[] = {{"valuation", false}, {"veracity", false}, {"validity", false}};
constexpr Signature kV3New{"V3Tensor.__new__()", kV3NewParams};

auto v3_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
  return guard([&] {
    auto a = bind(kV3New, args, kwargs);
    const double valuation = a.real_or(0, kNeutral);
    const double veracity = a.real_or(1, kNeutral);
    const double validity = a.real_or(2, kNeutral);
    return new_instance<V3Object>(type, V3Tensor::clamped(valuation, veracity, validity));
  });
}

auto v3_neutral(PyObject*, PyObject*) -> PyObject* {
  return guard([] { return make_result<V3Object>(V3Tensor::neutral()); });
}

auto v3_average(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    auto& v = receiver<V3Object>(self);
    SharedBorrow borrow(v.borrow);
    return new_float(v.value.average());
  });
}

auto v3_repr(PyObject* self) -> PyObject* {
  return guard([&] {
    auto& t = receiver<V3Object>(self);
    SharedBorrow borrow(t.borrow);
    const auto& v = t.value;
    return new_text("V3Tensor(valuation=" + format3(v.valuation) + ", veracity=" + format3(v.veracity) +
                    ", validity=" + format3(v.validity) + ")");
  });
}

constexpr RealField<V3Tensor> kValuation{[](V3Tensor& v) -> double& { return v.valuation; }};
constexpr RealField<V3Tensor> kVeracity{[](V3Tensor& v) -> double& { return v.veracity; }};
constexpr RealField<V3Tensor> kValidity{[](V3Tensor& v) -> double& { return v.validity; }};

PyMethodDef v3_methods[] = {
    noargs_method("neutral", v3_neutral, "neutral()\n--\n\n", METH_STATIC),
    noargs_method("average", v3_average, "average($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef v3_getset[] = {
    real_attribute<V3Object>("valuation", kValuation),
    real_attribute<V3Object>("veracity", kVeracity),
    real_attribute<V3Object>("validity", kValidity),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot v3_slots[] = {
    {Py_tp_doc, const_cast<char*>("V3Tensor(valuation=0.5, veracity=0.5, validity=0.5)\n--\n\n"
                                  "Python-exposed V3 Value Tensor (Valuation/Veracity/Validity)")},
    {Py_tp_new, reinterpret_cast<void*>(v3_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<V3Object>)},
    {Py_tp_repr, reinterpret_cast<void*>(v3_repr)},
    {Py_tp_methods, v3_methods},
    {Py_tp_getset, v3_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec t3_tensor_spec = {
    .name = "builtins.T3Tensor",
    .basicsize = sizeof(T3Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = t3_slots,
};

PyType_Spec v3_tensor_spec = {
    .name = "builtins.V3Tensor",
    .basicsize = sizeof(V3Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = v3_slots,
};

}  // namespace velk::py
