// The call boundary every entry from Python passes through, and PanicException.
#pragma once

#include <array>
#include <exception>
#include <string>
#include <type_traits>

#include "bindings/python/ref.h"
#include "common/error.h"

namespace velk::py {

// Prints "uncaught panic at ffi boundary" and aborts: the boundary itself failed.
[[noreturn]] void fatal() noexcept;

// The PanicException class (a BaseException), created at import, so that raising it needs no
// memory; null with an error set when it cannot be created.
auto panic_exception_type() -> PyObject*;

// Sets the Python exception for the exception being handled: PyErrSet keeps the error already set,
// std::bad_alloc becomes MemoryError, anything else PanicException with its text.
void raise_current_exception() noexcept;

// Runs body and returns its result; on any C++ exception returns nullptr (or -1 for int bodies)
// with the Python exception set. Only a forced unwind leaves this frame: an exiting interpreter
// ends a thread that asks for the interpreter lock back that way, and the unwind must pass.
template <typename F>
auto guard(F&& body) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  try {
    return body();
  } catch (...) {
    // No exception of C++ at all: a forced unwind, which must go on.
    if (!std::current_exception()) throw;
    raise_current_exception();
  }
  if constexpr (std::is_pointer_v<R>) return nullptr;
  else return static_cast<R>(-1);
}

// The error classes: TrustError (a ValueError) and one subclass per kind, created at import (so
// that raising one needs nothing new) and added to the module by it. False with the error set when
// they cannot be created.
auto make_error_classes() -> bool;
// TrustError first, then the subclasses, with their names.
struct NamedClass {
  const char* name;
  PyObject* type;
};
auto error_classes() -> std::array<NamedClass, 5>;

// Raises the error's class (by its kind) with its text, its attributes (errno, path, entity_id,
// transient, outcome_unknown) and its notes, and throws PyErrSet.
[[noreturn]] void raise_trust_error(const TrustError& error);

template <typename T>
auto value_or_raise(Result<T>&& r) -> T {
  if (!r) raise_trust_error(r.error());
  return std::move(*r);
}
inline void value_or_raise(Result<void>&& r) {
  if (!r) raise_trust_error(r.error());
}

// Sets an exception of the given class with a message and throws PyErrSet.
[[noreturn]] void raise(PyObject* exception_class, const std::string& message);

// A new reference to None.
inline auto none() -> PyObject* { return Py_NewRef(Py_None); }

}  // namespace velk::py
