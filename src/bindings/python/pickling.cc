// What pickle and copy need: a reference to a class that pickle can find.
//
// The classes report "builtins" as their module, where pickle's lookup by name cannot find them,
// so a reduce value names its class through a reference instead: pickled, the reference becomes
// pkgutil.resolve_name("velk_trust:<Class>"), which any process with the module resolves to the
// class; called in-process (copy.copy does), it calls the class.
#include <array>
#include <string>

#include "bindings/python/classes.h"

namespace velk::py {
namespace {

struct ClassReference {
  PyObject_HEAD
  ClassId id;
  const char* method;  // a class method of the class; null for the class itself
};

auto reference_name(PyObject* self) -> std::string {
  const auto* ref = reinterpret_cast<ClassReference*>(self);
  std::string name = class_name(ref->id);
  if (ref->method != nullptr) name += std::string(".") + ref->method;
  return name;
}

auto reference_call(PyObject* self, PyObject* args, PyObject* kwargs) -> PyObject* {
  return guard([&] {
    const auto* ref = reinterpret_cast<ClassReference*>(self);
    OwnedRef target = OwnedRef::borrow(reinterpret_cast<PyObject*>(type_object(ref->id)));
    if (ref->method != nullptr) target = OwnedRef::checked(PyObject_GetAttrString(target.get(), ref->method));
    return OwnedRef::checked(PyObject_Call(target.get(), args, kwargs)).release();
  });
}

auto reference_reduce(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    OwnedRef pkgutil = OwnedRef::checked(PyImport_ImportModule("pkgutil"));
    OwnedRef resolve_name = OwnedRef::checked(PyObject_GetAttrString(pkgutil.get(), "resolve_name"));
    const std::string name = "velk_trust:" + reference_name(self);
    return OwnedRef::checked(Py_BuildValue("O(s)", resolve_name.get(), name.c_str())).release();
  });
}

auto reference_repr(PyObject* self) -> PyObject* {
  return guard([&] {
    return new_text("<reference to velk_trust." + reference_name(self) + ">");
  });
}

PyMethodDef reference_methods[] = {
    reduce_method(reference_reduce),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reference_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(reference_call)},
    {Py_tp_repr, reinterpret_cast<void*>(reference_repr)},
    {Py_tp_methods, reference_methods},
    {0, nullptr},
};

PyType_Spec reference_spec = {
    .name = "velk_trust.ClassReference",
    .basicsize = sizeof(ClassReference),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = reference_slots,
};

auto new_reference(ClassId id, const char* method) -> PyObject* {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(OwnedRef::checked(PyType_FromSpec(&reference_spec)).release());
  PyObject* made = OwnedRef::checked(type_alloc(type)).release();
  reinterpret_cast<ClassReference*>(made)->id = id;
  reinterpret_cast<ClassReference*>(made)->method = method;
  return made;
}

// One reference per class, made on first need and kept, like the classes themselves.
auto class_reference(ClassId id) -> PyObject* {
  static std::array<PyObject*, kClassCount> references{};
  PyObject*& reference = references[static_cast<std::size_t>(id)];
  if (reference == nullptr) reference = new_reference(id, nullptr);
  return reference;
}

}  // namespace

auto reduce_value(ClassId id, OwnedRef args, OwnedRef state) -> PyObject* {
  PyObject* reference = class_reference(id);
  if (!state) return OwnedRef::checked(PyTuple_Pack(2, reference, args.get())).release();
  return OwnedRef::checked(PyTuple_Pack(3, reference, args.get(), state.get())).release();
}

auto reduce_by_method(ClassId id, const char* method, OwnedRef args) -> PyObject* {
  OwnedRef reference = OwnedRef::steal(new_reference(id, method));
  return OwnedRef::checked(PyTuple_Pack(2, reference.get(), args.get())).release();
}

}  // namespace velk::py
