// The declarative argument binder: a method is a table of parameters, and one binder produces
// every count, keyword and conversion message for all of them.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bindings/python/boundary.h"

namespace velk::py {

struct Param {
  const char* name;
  bool required = true;
};

// Parameters of one method; `name` is how messages call it, e.g. "T3Tensor.update_from_outcome()".
struct Signature {
  const char* name;
  std::span<const Param> params;
};

inline constexpr std::size_t kMaxParams = 4;

// The type name used in conversion messages ("<failed to extract type name>" when unreadable).
auto type_name(PyObject* obj) -> std::string;

// Converters: each raises TypeError (or passes on the interpreter's own error) and throws PyErrSet.
auto to_real(PyObject* obj) -> double;
auto to_flag(PyObject* obj) -> bool;
auto to_text(PyObject* obj) -> std::string_view;  // valid while obj lives
// Sets "'<type>' object cannot be converted to '<target>'" as TypeError and throws.
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// Arguments bound to a signature's parameters (borrowed references; null when omitted). The
// accessors convert one argument and prefix a conversion TypeError with "argument 'name': ".
class BoundArgs {
 public:
  explicit BoundArgs(const Signature& sig) : sig_(sig) {}

  auto given(std::size_t i) const -> bool { return slots_[i] != nullptr; }
  auto real(std::size_t i) -> double { return convert(i, to_real); }
  auto real_or(std::size_t i, double fallback) -> double { return given(i) ? real(i) : fallback; }
  auto flag(std::size_t i) -> bool { return convert(i, to_flag); }
  auto text(std::size_t i) -> std::string_view { return convert(i, to_text); }
  // None and an omitted argument both mean "not given".
  auto optional_text(std::size_t i) -> std::optional<std::string_view> {
    if (!given(i) || slots_[i] == Py_None) return std::nullopt;
    return text(i);
  }
  // The argument as an object of the given type, else "cannot be converted to '<class_name>'".
  auto object(std::size_t i, PyTypeObject* type, const char* class_name) -> PyObject*;

  std::array<PyObject*, kMaxParams> slots_{};

 private:
  template <typename F>
  auto convert(std::size_t i, F&& f) -> decltype(f(nullptr)) {
    try {
      return f(slots_[i]);
    } catch (const PyErrSet&) {
      prefix_type_error(sig_.params[i].name);
      throw;
    }
  }
  static void prefix_type_error(const char* param);

  const Signature& sig_;
};

// Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list.
auto bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> BoundArgs;
// Binds a tuple and dict (tp_new).
auto bind(const Signature& sig, PyObject* args, PyObject* kwargs) -> BoundArgs;

}  // namespace velk::py
