// The argument binder and the converters; every argument-error text is written here once.
#include "bindings/python/args.h"

#include <cstring>
#include <vector>

namespace velk::py {
namespace {

[[noreturn]] void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }

auto quoted_list(const std::vector<const char*>& names) -> std::string {
  std::string out;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k != 0) {
      if (names.size() > 2) out += ",";
      out += k + 1 == names.size() ? " and " : " ";
    }
    out += "'";
    out += names[k];
    out += "'";
  }
  return out;
}

// The keyword's text; a keyword that is not valid text names no parameter.
auto keyword_text(PyObject* key) -> std::optional<std::string_view> {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &n) : nullptr;
  if (s == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(s, static_cast<std::size_t>(n));
}

void place_keyword(const Signature& sig, BoundArgs& bound, PyObject* key, PyObject* value) {
  if (const auto text = keyword_text(key)) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      if (*text != sig.params[i].name) continue;
      if (bound.slots_[i] != nullptr) {
        raise_type_error(std::string(sig.name) + " got multiple values for argument '" + std::string(*text) + "'");
      }
      bound.slots_[i] = value;
      return;
    }
  }
  OwnedRef shown = OwnedRef::checked(PyObject_Str(key));
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(shown.get(), &n);
  if (s == nullptr) throw PyErrSet{};
  raise_type_error(std::string(sig.name) + " got an unexpected keyword argument '" + std::string(s, n) + "'");
}

void check_positional_count(const Signature& sig, Py_ssize_t nargs) {
  const auto total = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs <= total) return;
  Py_ssize_t required = 0;
  for (const auto& p : sig.params) required += p.required() ? 1 : 0;
  std::string msg = sig.name;
  if (required == total) msg += " takes " + std::to_string(total);
  else msg += " takes from " + std::to_string(required) + " to " + std::to_string(total);
  msg += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
  raise_type_error(msg);
}

void check_required(const Signature& sig, const BoundArgs& bound) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].required() && !bound.given(i)) missing.push_back(sig.params[i].name);
  }
  if (missing.empty()) return;
  raise_type_error(std::string(sig.name) + " missing " + std::to_string(missing.size()) + " required positional " +
                   (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
}

}  // namespace

auto type_name(PyObject* obj) -> std::string {
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  Py_ssize_t n = 0;
  const char* s = name ? PyUnicode_AsUTF8AndSize(name.get(), &n) : nullptr;
  if (s == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(s, static_cast<std::size_t>(n));
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  raise_type_error("'" + type_name(obj) + "' object cannot be converted to '" + target + "'");
}

auto to_real(PyObject* obj) -> double {
  if (PyFloat_CheckExact(obj)) return float_value(obj);
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

auto to_flag(PyObject* obj) -> bool {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  raise_cannot_convert(obj, "PyBool");
}

auto to_text(PyObject* obj) -> std::string_view {
  if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) throw PyErrSet{};  // e.g. a lone surrogate: the encoding error passes unchanged
  return {s, static_cast<std::size_t>(n)};
}

auto to_count(PyObject* obj) -> std::size_t {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) raise_cannot_convert(obj, "PyLong");
  const auto n = PyLong_AsSize_t(obj);
  if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrSet{};  // negative, or too large
  return n;
}

auto BoundArgs::object(std::size_t i, PyTypeObject* type, const char* class_name) -> PyObject* {
  return convert(i, [&](PyObject* obj) {
    if (!PyObject_TypeCheck(obj, type)) raise_cannot_convert(obj, class_name);
    return obj;
  });
}

void BoundArgs::prefix_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* original = PyErr_GetRaisedException();
  OwnedRef owner = OwnedRef::steal(original);
  OwnedRef text = OwnedRef::checked(PyObject_Str(original));
  OwnedRef message = OwnedRef::checked(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  PyErr_SetObject(PyExc_TypeError, message.get());
  // Keep the original error's own cause, as the interpreter would show it.
  if (PyObject* cause = PyException_GetCause(original)) {
    PyObject* replaced = PyErr_GetRaisedException();
    PyException_SetCause(replaced, cause);
    PyErr_SetRaisedException(replaced);
  }
}

auto bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> BoundArgs {
  BoundArgs bound(sig);
  check_positional_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.slots_[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = tuple_size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) place_keyword(sig, bound, tuple_item(kwnames, k), args[nargs + k]);
  }
  check_required(sig, bound);
  return bound;
}

auto bind(const Signature& sig, PyObject* args, PyObject* kwargs) -> BoundArgs {
  BoundArgs bound(sig);
  const Py_ssize_t nargs = tuple_size(args);
  check_positional_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.slots_[static_cast<std::size_t>(i)] = tuple_item(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, bound, key, value);
  }
  check_required(sig, bound);
  return bound;
}

}  // namespace velk::py
