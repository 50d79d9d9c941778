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

void raise_trust_error(const TrustError& error) { raise(PyExc_ValueError, error.text()); }

void raise(PyObject* exception_class, const std::string& message) {
  OwnedRef text = OwnedRef::checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyErr_SetObject(exception_class, text.get());
  throw PyErrSet{};
}

}  // namespace velk::py
