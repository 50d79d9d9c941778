// The C API calls the stable ABI (Py_LIMITED_API) has only as functions: a per-version build uses
// the macros that read objects directly, a stable-ABI build the functions every CPython from 3.12
// on exports. Nothing here is private API.
#pragma once

#include <Python.h>

namespace velk::py {

#ifdef Py_LIMITED_API
// Borrowed.
inline auto tuple_item(PyObject* tuple, Py_ssize_t i) -> PyObject* { return PyTuple_GetItem(tuple, i); }
inline auto tuple_size(PyObject* tuple) -> Py_ssize_t { return PyTuple_Size(tuple); }
// Steals item; the slot must be empty (a new tuple's or list's).
inline void tuple_set(PyObject* tuple, Py_ssize_t i, PyObject* item) { PyTuple_SetItem(tuple, i, item); }
inline void list_set(PyObject* list, Py_ssize_t i, PyObject* item) { PyList_SetItem(list, i, item); }
inline auto list_item(PyObject* list, Py_ssize_t i) -> PyObject* { return PyList_GetItem(list, i); }
inline auto list_size(PyObject* list) -> Py_ssize_t { return PyList_Size(list); }
// The value of an exact or derived float.
inline auto float_value(PyObject* f) -> double { return PyFloat_AsDouble(f); }
inline auto type_alloc(PyTypeObject* type) -> PyObject* {
  return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
}
inline void type_free(PyTypeObject* type, PyObject* self) {
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
}
// A new reference, or nullptr with the error set.
inline auto call_one(PyObject* callable, PyObject* arg) -> PyObject* {
  return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
#else
inline auto tuple_item(PyObject* tuple, Py_ssize_t i) -> PyObject* { return PyTuple_GET_ITEM(tuple, i); }
inline auto tuple_size(PyObject* tuple) -> Py_ssize_t { return PyTuple_GET_SIZE(tuple); }
inline void tuple_set(PyObject* tuple, Py_ssize_t i, PyObject* item) { PyTuple_SET_ITEM(tuple, i, item); }
inline void list_set(PyObject* list, Py_ssize_t i, PyObject* item) { PyList_SET_ITEM(list, i, item); }
inline auto list_item(PyObject* list, Py_ssize_t i) -> PyObject* { return PyList_GET_ITEM(list, i); }
inline auto list_size(PyObject* list) -> Py_ssize_t { return PyList_GET_SIZE(list); }
inline auto float_value(PyObject* f) -> double { return PyFloat_AS_DOUBLE(f); }
inline auto type_alloc(PyTypeObject* type) -> PyObject* { return type->tp_alloc(type, 0); }
inline void type_free(PyTypeObject* type, PyObject* self) { type->tp_free(self); }
inline auto call_one(PyObject* callable, PyObject* arg) -> PyObject* { return PyObject_CallOneArg(callable, arg); }
#endif

}  // namespace velk::py
