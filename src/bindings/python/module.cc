// The module's entry point: owning interpreter, the cached module object, registration order and
// __all__, plus the type registry and small value helpers the class files share.
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "bindings/python/classes.h"
#include "common/thread_storage.h"

namespace velk::py {

// ---------------------------------------------------------------- type registry

namespace {

struct ClassRow {
  const char* name;
  PyType_Spec* spec;
  const vectorcallfunc* vectorcall;
};

#define VELK_PY_CLASS_ROW(name, prefix) {#name, &prefix##_spec, &prefix##_vectorcall},
constexpr ClassRow kClasses[] = {VELK_PY_CLASSES(VELK_PY_CLASS_ROW)};
#undef VELK_PY_CLASS_ROW

}  // namespace

auto class_name(ClassId id) -> const char* { return kClasses[static_cast<std::size_t>(id)].name; }

auto try_type_object(ClassId id) -> PyTypeObject* {
  auto& types = made_types;
  const auto k = static_cast<std::size_t>(id);
  if (types[k] == nullptr) {
    types[k] = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(kClasses[k].spec));
    // Calls of the class go straight to its vectorcall constructor (a spec cannot name one yet;
    // the stable ABI cannot set one at all, and calls go through tp_new).
#ifndef Py_LIMITED_API
    if (types[k] != nullptr) types[k]->tp_vectorcall = *kClasses[k].vectorcall;
#endif
  }
  return types[k];
}

auto create_type_object(ClassId id) -> PyTypeObject* {
  PyTypeObject* type = try_type_object(id);
  if (type == nullptr) {
    PyErr_Print();
    throw std::runtime_error(std::string("failed to create type object for ") + class_name(id));
  }
  return type;
}

// ---------------------------------------------------------------- values

auto new_float(double v) -> PyObject* { return OwnedRef::checked(PyFloat_FromDouble(v)).release(); }

namespace {
[[maybe_unused]] auto is_ascii(std::string_view s) noexcept -> bool {
  std::size_t i = 0;
  std::uint64_t high = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    high |= word;
  }
  for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
  return (high & 0x8080808080808080ull) == 0;
}
}  // namespace

auto new_text(std::string_view s) -> PyObject* {
  const auto n = static_cast<Py_ssize_t>(s.size());
#ifndef Py_LIMITED_API
  // Record texts are nearly always ASCII: such a text is copied into its string, not decoded (the
  // stable ABI has no way to write into a new string).
  if (is_ascii(s)) {
    PyObject* text = OwnedRef::checked(PyUnicode_New(n, 127)).release();
    std::memcpy(PyUnicode_DATA(text), s.data(), s.size());
    return text;
  }
#endif
  return OwnedRef::checked(PyUnicode_DecodeUTF8(s.data(), n, nullptr)).release();
}

auto new_text_list(const std::vector<std::string>& items) -> PyObject* {
  OwnedRef list = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t k = 0; k < items.size(); ++k) {
    list_set(list.get(), static_cast<Py_ssize_t>(k), new_text(items[k]));
  }
  return list.release();
}

auto format3(double v) -> std::string {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
  return std::string(buf, res.ptr);
}

void refuse_delete(PyObject* value) {
  if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
}

// ---------------------------------------------------------------- module

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velk_trust",
    .m_doc = "Python module definition",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* cached_module = nullptr;  // a strong reference for the life of the process

auto create_memory_store(PyObject*, PyObject*) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([] { return new_default_store(type_object(ClassId::TrustStore)); });
}

PyMethodDef create_memory_store_def = noargs_method(
    "create_memory_store", create_memory_store, "create_memory_store()\n--\n\nCreate in-memory store (for testing)");

// Appends name to __all__ (made on first use), then sets the attribute.
void add_value(PyObject* module, const char* name, OwnedRef value) {
  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    all = OwnedRef::checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PyErrSet{};
  }
  OwnedRef text = OwnedRef::checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    throw std::runtime_error("could not append __name__ to __all__");
  }
  if (PyObject_SetAttrString(module, name, value.get()) < 0) throw PyErrSet{};
}

void add_class(PyObject* module, std::size_t k) {
  PyTypeObject* type = try_type_object(static_cast<ClassId>(k));
  if (type == nullptr) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", kClasses[k].name);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);
    PyErr_SetRaisedException(error);
    throw PyErrSet{};
  }
  add_value(module, kClasses[k].name, OwnedRef::borrow(reinterpret_cast<PyObject*>(type)));
}

// __all__ in the order names came: the first releases' own first.
void register_members(PyObject* module) {
  constexpr auto kLater = static_cast<std::size_t>(ClassId::AsyncTrustStore);
  for (std::size_t k = 0; k < std::size(kClasses); ++k) {
    if (k != kLater) add_class(module, k);
  }
  OwnedRef module_name = OwnedRef::checked(PyModule_GetNameObject(module));
  add_value(module, "create_memory_store",
            OwnedRef::checked(PyCFunction_NewEx(&create_memory_store_def, module, module_name.get())));
  add_value(module, "__version__", OwnedRef::checked(PyUnicode_FromString(VELK_TRUST_VERSION)));
  for (const auto& [name, type] : error_classes()) add_value(module, name, OwnedRef::borrow(type));
  add_class(module, kLater);
}

auto init_module() -> PyObject* {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw PyErrSet{};
  }
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    raise(PyExc_ImportError, "velk_trust does not support sub-interpreters: it can only be imported once per process");
  }
  if (cached_module != nullptr) return Py_NewRef(cached_module);
  // Made now, so that raising it later needs no memory.
  if (panic_exception_type() == nullptr || !make_error_classes()) throw PyErrSet{};
  OwnedRef module = OwnedRef::checked(PyModule_Create2(&module_def, 1013));
  register_members(module.get());  // on failure the module is released and nothing is cached
  cached_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace velk::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velk_trust() {
  if (!velk::ready_thread_storage()) return PyErr_NoMemory();
  return velk::py::guard(velk::py::init_module);
}
