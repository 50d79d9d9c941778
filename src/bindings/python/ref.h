// OwnedRef: a move-only owner of one strong reference, so class code never counts references.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#error "velk_trust needs CPython 3.12 or newer"
#endif

#include <utility>

#include "bindings/python/capi.h"

namespace velk::py {

// A Python exception is already set; guard() returns the error value.
struct PyErrSet {};

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (may be null).
  static auto steal(PyObject* p) noexcept -> OwnedRef { return OwnedRef(p); }
  // Adds a reference to a borrowed one.
  static auto borrow(PyObject* p) noexcept -> OwnedRef { return OwnedRef(Py_XNewRef(p)); }
  // Takes over a new reference; throws PyErrSet when it is null (the error being set).
  static auto checked(PyObject* p) -> OwnedRef {
    if (p == nullptr) throw PyErrSet{};
    return OwnedRef(p);
  }

  OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  auto operator=(OwnedRef&& other) noexcept -> OwnedRef& {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  auto operator=(const OwnedRef&) -> OwnedRef& = delete;
  ~OwnedRef() { Py_XDECREF(p_); }

  auto get() const noexcept -> PyObject* { return p_; }
  // Hands the reference to the caller (for returning it to CPython).
  auto release() noexcept -> PyObject* { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace velk::py
