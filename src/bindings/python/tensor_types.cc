// The T3Tensor and V3Tensor classes. Both share construction, neutral(), average() and repr through
// one description per tensor; T3Tensor adds its level, outcome and decay methods.
#include <array>
#include <string>

#include "bindings/python/classes.h"

namespace velk::py {
namespace {

// What the two tensor classes differ in: names, dimensions and the constructor's parameters.
template <typename Obj>
struct TensorClass;

template <>
struct TensorClass<T3Object> {
  static constexpr const char* kName = "T3Tensor";
  static constexpr Param kNewParams[] = {{"talent", "0.5"}, {"training", "0.5"}, {"temperament", "0.5"}};
  static constexpr Signature kNew{"T3Tensor.__new__()", kNewParams};
  static constexpr char kDocText[] = "Python-exposed T3 Trust Tensor (Talent/Training/Temperament)";
  static auto dimensions(auto& t) { return std::array{&t.talent, &t.training, &t.temperament}; }
};

template <>
struct TensorClass<V3Object> {
  static constexpr const char* kName = "V3Tensor";
  static constexpr Param kNewParams[] = {{"valuation", "0.5"}, {"veracity", "0.5"}, {"validity", "0.5"}};
  static constexpr Signature kNew{"V3Tensor.__new__()", kNewParams};
  static constexpr char kDocText[] = "Python-exposed V3 Value Tensor (Valuation/Veracity/Validity)";
  static auto dimensions(auto& v) { return std::array{&v.valuation, &v.veracity, &v.validity}; }
};

template <typename Obj>
auto make_tensor(PyTypeObject* type, BoundArgs& a) -> PyObject* {
  decltype(Obj::value) value;
  for (std::size_t k = 0; k < 3; ++k) *TensorClass<Obj>::dimensions(value)[k] = clamp_unit(a.real_or(k, kNeutral));
  return new_instance<Obj>(type, value);
}

template <typename Obj>
auto tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
  return guard([&] {
    auto a = bind(TensorClass<Obj>::kNew, args, kwargs);
    return make_tensor<Obj>(type, a);
  });
}

template <typename Obj>
auto tensor_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) -> PyObject* {
  return guard([&] {
    auto a = bind(TensorClass<Obj>::kNew, args, PyVectorcall_NARGS(nargsf), kwnames);
    return make_tensor<Obj>(reinterpret_cast<PyTypeObject*>(type), a);
  });
}

template <typename Obj>
auto tensor_neutral(PyObject*, PyObject*) -> PyObject* {
  return guard([] { return make_result<Obj>(decltype(Obj::value)::neutral()); });
}

template <typename Obj>
auto tensor_average(PyObject* self, PyObject*) -> PyObject* {
  return read_object<Obj>(self, [](auto& t) { return new_float(t.average()); });
}

// Pickle and copy carry the three values exactly, out of range ones included (a negative decay
// rate makes them), so restoring does not clamp.
template <typename Obj>
auto tensor_reduce(PyObject* self, PyObject*) -> PyObject* {
  return read_object<Obj>(self, [](auto& t) {
    const auto values = TensorClass<Obj>::dimensions(t);
    OwnedRef state = OwnedRef::checked(PyTuple_New(3));
    for (std::size_t k = 0; k < 3; ++k) tuple_set(state.get(), k, new_float(*values[k]));
    return reduce_value(Obj::kClass, OwnedRef::checked(PyTuple_New(0)), std::move(state));
  });
}

template <typename Obj>
auto tensor_setstate(PyObject* self, PyObject* state) -> PyObject* {
  return guard([&] {
    if (!PyTuple_Check(state) || tuple_size(state) != 3) {
      raise(PyExc_TypeError, std::string(TensorClass<Obj>::kName) + " state must be a tuple of three floats");
    }
    std::array<double, 3> v{};
    for (std::size_t k = 0; k < 3; ++k) v[k] = to_real(tuple_item(state, k));
    auto& obj = receiver<Obj>(self);
    ExclusiveBorrow borrow(obj.borrow);
    const auto values = TensorClass<Obj>::dimensions(obj.value);
    for (std::size_t k = 0; k < 3; ++k) *values[k] = v[k];
    return none();
  });
}

// "T3Tensor(talent=0.500, training=0.500, temperament=0.500)"
template <typename Obj>
auto tensor_repr(PyObject* self) -> PyObject* {
  using Class = TensorClass<Obj>;
  return read_object<Obj>(self, [](auto& t) {
    std::string text = std::string(Class::kName) + "(";
    const auto values = Class::dimensions(t);
    for (std::size_t k = 0; k < 3; ++k) {
      text += (k == 0 ? "" : ", ") + std::string(Class::kNewParams[k].name) + "=" + format3(*values[k]);
    }
    return new_text(text + ")");
  });
}

template <typename Obj, std::size_t K>
constexpr RealField<decltype(Obj::value)> kDimension{
    [](decltype(Obj::value)& t) -> double& { return *TensorClass<Obj>::dimensions(t)[K]; }};

template <typename Obj>
PyGetSetDef tensor_getset[] = {
    real_attribute<Obj>(TensorClass<Obj>::kNewParams[0].name, kDimension<Obj, 0>),
    real_attribute<Obj>(TensorClass<Obj>::kNewParams[1].name, kDimension<Obj, 1>),
    real_attribute<Obj>(TensorClass<Obj>::kNewParams[2].name, kDimension<Obj, 2>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- T3Tensor only

constexpr Param kOutcomeParams[] = {{"success"}, {"magnitude"}};
constexpr Signature kUpdateFromOutcome{"T3Tensor.update_from_outcome()", kOutcomeParams};
constexpr char kUpdateFromOutcomeDoc[] = "Update from action outcome";
constexpr Param kDecayParams[] = {{"days_inactive"}, {"decay_rate"}};
constexpr Signature kApplyDecay{"T3Tensor.apply_decay()", kDecayParams};
constexpr char kApplyDecayDoc[] = "Apply temporal decay";

auto t3_level(PyObject* self, PyObject*) -> PyObject* {
  return read_object<T3Object>(self, [](const T3Tensor& t) { return new_text(t.level()); });
}

auto t3_update_from_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return change_object<T3Object>(kUpdateFromOutcome, self, args, nargs, kwnames, [](BoundArgs& a, T3Tensor& t) {
    const bool success = a.flag(0);
    const double magnitude = a.real(1);
    t.update_from_outcome(success, magnitude);
    return none();
  });
}

auto t3_apply_decay(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return change_object<T3Object>(kApplyDecay, self, args, nargs, kwnames, [](BoundArgs& a, T3Tensor& t) {
    const double days_inactive = a.real(0);
    const double decay_rate = a.real(1);
    return PyBool_FromLong(t.apply_decay(days_inactive, decay_rate));
  });
}

PyMethodDef t3_methods[] = {
    noargs_method("neutral", tensor_neutral<T3Object>, "neutral()\n--\n\nCreate a neutral tensor (all 0.5)",
                  METH_STATIC),
    noargs_method("average", tensor_average<T3Object>, "average($self)\n--\n\nCalculate average trust score"),
    noargs_method("level", t3_level, "level($self)\n--\n\nGet trust level as string"),
    fastcall_method<kUpdateFromOutcome, kUpdateFromOutcomeDoc>(t3_update_from_outcome),
    fastcall_method<kApplyDecay, kApplyDecayDoc>(t3_apply_decay),
    reduce_method(tensor_reduce<T3Object>),
    setstate_method(tensor_setstate<T3Object>),
    {nullptr, nullptr, 0, nullptr},
};

// V3Tensor's two methods carry a signature and no docstring.
PyMethodDef v3_methods[] = {
    noargs_method("neutral", tensor_neutral<V3Object>, "neutral()\n--\n\n", METH_STATIC),
    noargs_method("average", tensor_average<V3Object>, "average($self)\n--\n\n"),
    reduce_method(tensor_reduce<V3Object>),
    setstate_method(tensor_setstate<V3Object>),
    {nullptr, nullptr, 0, nullptr},
};

template <typename Obj>
auto tensor_slots(PyMethodDef* methods) -> std::array<PyType_Slot, 7> {
  using Class = TensorClass<Obj>;
  return {{
      {Py_tp_doc, const_cast<char*>(kDoc<Class::kNew, Class::kDocText>.data())},
      {Py_tp_new, reinterpret_cast<void*>(tensor_new<Obj>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Obj>)},
      {Py_tp_repr, reinterpret_cast<void*>(tensor_repr<Obj>)},
      {Py_tp_methods, methods},
      {Py_tp_getset, tensor_getset<Obj>},
      {0, nullptr},
  }};
}

auto t3_slots = tensor_slots<T3Object>(t3_methods);
auto v3_slots = tensor_slots<V3Object>(v3_methods);

}  // namespace

const vectorcallfunc t3_tensor_vectorcall = tensor_vectorcall<T3Object>;
const vectorcallfunc v3_tensor_vectorcall = tensor_vectorcall<V3Object>;

PyType_Spec t3_tensor_spec = {
    .name = "builtins.T3Tensor",
    .basicsize = sizeof(T3Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = t3_slots.data(),
};

PyType_Spec v3_tensor_spec = {
    .name = "builtins.V3Tensor",
    .basicsize = sizeof(V3Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = v3_slots.data(),
};

}  // namespace velk::py
