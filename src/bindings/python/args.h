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

// A parameter: required unless it has a default, whose text the signature shows ("None", "0.5").
struct Param {
  const char* name;
  const char* default_text = nullptr;

  constexpr auto required() const -> bool { return default_text == nullptr; }
};

// The most arguments a method takes: the size of the binder's buffer.
inline constexpr std::size_t kMaxParams = 6;

// Parameters of one method; `name` is how messages call it: "T3Tensor.update_from_outcome()", or
// "T3Tensor.__new__()" for a constructor.
struct Signature {
  template <std::size_t N>
  constexpr Signature(const char* name, const Param (&params)[N]) : name(name), params(params) {
    static_assert(N <= kMaxParams, "more parameters than the binder's buffer holds (kMaxParams)");
  }

  const char* name;
  std::span<const Param> params;
};

namespace detail {

// Writes "<name>(<params>)\n--\n\n<summary>" to out (when not null); returns its length. A method
// shows "$self" first; a constructor shows the class's name and no "$self".
constexpr auto write_doc(const Signature& sig, std::string_view summary, char* out) -> std::size_t {
  const std::string_view full = sig.name;
  const auto dot = full.find('.');
  const std::string_view method = full.substr(dot + 1, full.size() - dot - 3);  // without "()"
  const bool constructor = method == "__new__";
  std::size_t n = 0;
  auto put = [&](std::string_view s) {
    for (const char c : s) {
      if (out != nullptr) out[n] = c;
      ++n;
    }
  };
  put(constructor ? full.substr(0, dot) : method);
  put(constructor ? "(" : "($self");
  for (std::size_t k = 0; k < sig.params.size(); ++k) {
    if (k > 0 || !constructor) put(", ");
    put(sig.params[k].name);
    if (!sig.params[k].required()) {
      put("=");
      put(sig.params[k].default_text);
    }
  }
  put(")\n--\n\n");
  put(summary);
  return n;
}

template <const Signature& Sig, const char* Summary>
consteval auto make_doc() {
  std::array<char, write_doc(Sig, Summary, nullptr) + 1> text{};
  write_doc(Sig, Summary, text.data());
  return text;
}

// The method's name alone ("update_from_outcome"), NUL-terminated.
template <const Signature& Sig>
consteval auto make_method_name() {
  constexpr std::string_view full = Sig.name;
  constexpr auto dot = full.find('.');
  std::array<char, full.size() - dot - 2> text{};  // without "Class.", "()", plus the NUL
  for (std::size_t k = 0; k + 1 < text.size(); ++k) text[k] = full[dot + 1 + k];
  return text;
}

}  // namespace detail

// The text signature and docstring made from a parameter table and a summary line: the names
// are written once, in the table.
template <const Signature& Sig, const char* Summary>
inline constexpr auto kDoc = detail::make_doc<Sig, Summary>();
template <const Signature& Sig>
inline constexpr auto kMethodName = detail::make_method_name<Sig>();

// The type name used in conversion messages ("<failed to extract type name>" when unreadable).
auto type_name(PyObject* obj) -> std::string;

// Converters: each raises TypeError (or passes on the interpreter's own error) and throws PyErrSet.
auto to_real(PyObject* obj) -> double;
auto to_flag(PyObject* obj) -> bool;
auto to_text(PyObject* obj) -> std::string_view;  // valid while obj lives
auto to_count(PyObject* obj) -> std::size_t;       // an int (not a bool) of 0 or more
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
  auto text_or(std::size_t i, std::string_view fallback) -> std::string_view { return given(i) ? text(i) : fallback; }
  // None and an omitted argument both mean "not given".
  auto optional_text(std::size_t i) -> std::optional<std::string_view> {
    if (!given(i) || slots_[i] == Py_None) return std::nullopt;
    return text(i);
  }
  auto optional_real(std::size_t i) -> std::optional<double> {
    if (!given(i) || slots_[i] == Py_None) return std::nullopt;
    return real(i);
  }
  auto optional_count(std::size_t i) -> std::optional<std::size_t> {
    if (!given(i) || slots_[i] == Py_None) return std::nullopt;
    return convert(i, to_count);
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

// Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list in general.
auto bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> BoundArgs;

// Binds a vectorcall argument list. Every parameter given by position, the usual call in a loop,
// needs no check beyond the count.
inline auto bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> BoundArgs {
  if (kwnames != nullptr || static_cast<std::size_t>(nargs) != sig.params.size()) {
    return bind_any(sig, args, nargs, kwnames);
  }
  BoundArgs bound(sig);
  for (std::size_t i = 0; i < sig.params.size(); ++i) bound.slots_[i] = args[i];
  return bound;
}
// Binds a tuple and dict (tp_new).
auto bind(const Signature& sig, PyObject* args, PyObject* kwargs) -> BoundArgs;

}  // namespace velk::py
