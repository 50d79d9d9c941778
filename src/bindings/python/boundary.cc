// The call boundary: C++ failures become Python exceptions and never unwind into the interpreter.
#include "bindings/python/boundary.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

namespace velk::py {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the native code of velk_trust, called from Python, fails.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it will typically\n"
    "propagate all the way through the stack and cause the Python interpreter to exit.";

constexpr const char* kTrustErrorDoc =
    "A store or a record text could not do what was asked; str() is the library's text.\n\n"
    "errno: the operating system's error number, or None. path: the record file, or\n"
    "'<table>/<identifier>' of a row, or None. entity_id: the identifier concerned, or None.\n"
    "transient: True where trying again may succeed (a lost connection, a timeout, a busy\n"
    "system). outcome_unknown: True where a write may or may not have been made.";

struct Kind {
  const char* name;
  const char* doc;
};
// In the order of TrustError::Kind.
constexpr Kind kKinds[] = {
    {"StorageError", "A store refused or failed a call (\"Storage error: ...\")."},
    {"SerializationError", "A record text does not read (\"Serialization error: ...\")."},
    {"InvalidIdError", "An identifier is not of the form 'type:name' (\"Invalid entity ID format: ...\")."},
    {"TrustIOError", "A file operation failed (\"IO error: ...\")."},
};

PyObject* base_class = nullptr;
std::array<PyObject*, std::size(kKinds)> kind_classes{};

void raise_panic(const char* message) {
  // Made at import; should making it fail here, its own error (MemoryError) is what is raised.
  if (PyObject* type = panic_exception_type()) PyErr_SetString(type, message);
}

}  // namespace

void fatal() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

auto panic_exception_type() -> PyObject* {
  // Created once per process and kept until it ends.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("velk_trust.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const PyErrSet&) {
      if (!PyErr_Occurred()) raise_panic("a Python error was reported but none was set");
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();  // a preallocated instance: raising it needs no memory
    } catch (const std::exception& e) {
      raise_panic(e.what());
    } catch (...) {
      raise_panic("unknown internal failure in velk_trust");
    }
  } catch (...) {
    fatal();
  }
}

auto make_error_classes() -> bool {
  if (base_class != nullptr) return true;
  OwnedRef defaults = OwnedRef::steal(Py_BuildValue("{sOsOsOsOsO}", "errno", Py_None, "path", Py_None, "entity_id",
                                                    Py_None, "transient", Py_False, "outcome_unknown", Py_False));
  if (!defaults) return false;
  OwnedRef base = OwnedRef::steal(
      PyErr_NewExceptionWithDoc("velk_trust.TrustError", kTrustErrorDoc, PyExc_ValueError, defaults.get()));
  if (!base) return false;
  std::array<OwnedRef, std::size(kKinds)> made;
  for (std::size_t k = 0; k < std::size(kKinds); ++k) {
    const std::string name = std::string("velk_trust.") + kKinds[k].name;
    made[k] = OwnedRef::steal(PyErr_NewExceptionWithDoc(name.c_str(), kKinds[k].doc, base.get(), nullptr));
    if (!made[k]) return false;
  }
  // Kept until the process ends, as the module's classes are.
  base_class = base.release();
  for (std::size_t k = 0; k < std::size(kKinds); ++k) kind_classes[k] = made[k].release();
  return true;
}

auto error_classes() -> std::array<NamedClass, 5> {
  return {{{"TrustError", base_class},
           {kKinds[0].name, kind_classes[0]},
           {kKinds[1].name, kind_classes[1]},
           {kKinds[2].name, kind_classes[2]},
           {kKinds[3].name, kind_classes[3]}}};
}

void raise_trust_error(const TrustError& error) {
  PyObject* type = kind_classes[static_cast<std::size_t>(error.kind())];
  const std::string message = error.text();
  OwnedRef text = OwnedRef::checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  OwnedRef raised = OwnedRef::checked(call_one(type, text.get()));
  auto set = [&](const char* name, OwnedRef value) {
    if (!value || PyObject_SetAttrString(raised.get(), name, value.get()) < 0) throw PyErrSet{};
  };
  auto text_or_none = [](const std::string& s) {
    if (s.empty()) return OwnedRef::borrow(Py_None);
    return OwnedRef::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
  };
  set("errno", error.os_error() != 0 ? OwnedRef::steal(PyLong_FromLong(error.os_error())) : OwnedRef::borrow(Py_None));
  set("path", text_or_none(error.place()));
  set("entity_id", text_or_none(error.entity_id()));
  set("transient", OwnedRef::borrow(error.transient() ? Py_True : Py_False));
  set("outcome_unknown", OwnedRef::borrow(error.outcome_unknown() ? Py_True : Py_False));
  for (const auto& note : error.notes()) {
    OwnedRef line = text_or_none(note);
    if (!line) throw PyErrSet{};
    OwnedRef added = OwnedRef::checked(PyObject_CallMethod(raised.get(), "add_note", "O", line.get()));
  }
  PyErr_SetObject(type, raised.get());
  throw PyErrSet{};
}

void raise(PyObject* exception_class, const std::string& message) {
  OwnedRef text = OwnedRef::checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyErr_SetObject(exception_class, text.get());
  throw PyErrSet{};
}

}  // namespace velk::py
