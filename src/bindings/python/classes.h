// What the class files share: instance layout, the borrow flag, the type registry and receivers.
#pragma once

#include <algorithm>
#include <array>
#include <sys/types.h>

#include <cstdint>
#include <iterator>
#include <chrono>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>
#include <string>
#include <type_traits>
#include <utility>

#include "bindings/python/args.h"
#include "entity/tensor.h"
#include "entity/trust/entity_trust.h"
#include "entity/trust/record_fields.h"
#include "storage/store.h"

namespace velk::py {

// The module's classes, one row each: the name Python shows and the prefix of what the class's own
// file defines, `<prefix>_spec` and `<prefix>_vectorcall` (the constructor's fast entry, or null).
// The module registers them in this order.
#define VELK_PY_CLASSES(ROW)      \
  ROW(T3Tensor, t3_tensor)         \
  ROW(V3Tensor, v3_tensor)         \
  ROW(EntityTrust, entity_trust)   \
  ROW(TrustStore, trust_store)     \
  ROW(AsyncTrustStore, async_trust_store)

#define VELK_PY_CLASS_ID(name, prefix) name,
enum class ClassId { VELK_PY_CLASSES(VELK_PY_CLASS_ID) };
#undef VELK_PY_CLASS_ID
#define VELK_PY_CLASS_DECLARATIONS(name, prefix) \
  extern PyType_Spec prefix##_spec;             \
  extern const vectorcallfunc prefix##_vectorcall;
VELK_PY_CLASSES(VELK_PY_CLASS_DECLARATIONS)
#undef VELK_PY_CLASS_DECLARATIONS
#define VELK_PY_CLASS_COUNT(name, prefix) +1
inline constexpr std::size_t kClassCount = 0 VELK_PY_CLASSES(VELK_PY_CLASS_COUNT);
#undef VELK_PY_CLASS_COUNT

// The class's name as Python shows it ("T3Tensor").
auto class_name(ClassId id) -> const char*;
// The type object, created from its spec on first need; null with the error set on failure.
auto try_type_object(ClassId id) -> PyTypeObject*;
// As try_type_object, but a failure is an internal one ("failed to create type object for X").
auto create_type_object(ClassId id) -> PyTypeObject*;
// The type objects made so far, one per class, kept until the process ends.
inline std::array<PyTypeObject*, kClassCount> made_types{};
inline auto type_object(ClassId id) -> PyTypeObject* {
  PyTypeObject* type = made_types[static_cast<std::size_t>(id)];
  return type != nullptr ? type : create_type_object(id);
}

// Shared for readers, exclusive for writers: a conflicting request raises RuntimeError
// ("Already borrowed" for exclusive, "Already mutably borrowed" for shared).
struct BorrowFlag {
  int state = 0;  // > 0 readers, -1 one writer
};

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag_.state;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  auto operator=(const SharedBorrow&) -> SharedBorrow& = delete;
  ~SharedBorrow() { --flag_.state; }

 private:
  BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state != 0) raise(PyExc_RuntimeError, "Already borrowed");
    flag_.state = -1;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  auto operator=(const ExclusiveBorrow&) -> ExclusiveBorrow& = delete;
  ~ExclusiveBorrow() { flag_.state = 0; }

 private:
  BorrowFlag& flag_;
};

// What an object keeps beside its value: nothing, but for a record (below).
template <typename T>
struct InstanceExtras {};

// What a record object keeps of each field of its record, by the field's kind: nothing, a Python
// string, or a Python string per list entry.
enum class Kept : std::uint8_t { Nothing, Text, TextList };
template <typename T>
constexpr auto kept_of() -> Kept {
  if constexpr (std::is_same_v<T, std::string>) return Kept::Text;
  if constexpr (std::is_same_v<T, std::vector<std::string>>) return Kept::TextList;
  return Kept::Nothing;
}
#define VELK_KEPT_OF(key, member, of, absent, python) kept_of<decltype(std::declval<EntityTrust&>().member)>(),
inline constexpr Kept kKept[] = {VELK_RECORD_FIELDS(VELK_KEPT_OF)};
#undef VELK_KEPT_OF
constexpr auto kept_count(Kept kind) -> std::size_t {
  return static_cast<std::size_t>(std::count(std::begin(kKept), std::end(kKept), kind));
}
// Each field's place among the kept fields of its kind.
inline constexpr auto kKeptSlot = [] {
  std::array<std::uint8_t, kFieldCount> slot{};
  std::array<std::uint8_t, 3> seen{};
  for (std::size_t k = 0; k < kFieldCount; ++k) slot[k] = seen[static_cast<std::size_t>(kKept[k])]++;
  return slot;
}();

// A record object's Python strings of its record's texts and list entries, made on first read and
// handed out again while they still spell what the record holds (checked on every use, so no
// change of the record can leave a stale one): a record's identifier never changes, and its lists
// only grow.
template <>
struct InstanceExtras<EntityTrust> {
  std::array<PyObject*, kept_count(Kept::Text)> texts{};
  std::array<std::vector<PyObject*>, kept_count(Kept::TextList)> lists;

  InstanceExtras() = default;
  InstanceExtras(const InstanceExtras&) = delete;
  auto operator=(const InstanceExtras&) -> InstanceExtras& = delete;
  ~InstanceExtras() { clear(); }
  void clear() {
    for (auto& text : texts) Py_CLEAR(text);
    for (auto& list : lists) {
      for (PyObject* text : list) Py_XDECREF(text);
      list.clear();
    }
  }
};

// A Python object owning one C++ value.
template <typename T, ClassId Id>
struct Instance {
  PyObject_HEAD
  BorrowFlag borrow;
  T value;
  [[no_unique_address]] InstanceExtras<T> extras;

  static constexpr ClassId kClass = Id;
};

using T3Object = Instance<T3Tensor, ClassId::T3Tensor>;
using V3Object = Instance<V3Tensor, ClassId::V3Tensor>;
using EntityTrustObject = Instance<EntityTrust, ClassId::EntityTrust>;
// A record directory or a database table; the calling frame keeps the object alive while a call
// waits.
using TrustStoreObject = Instance<std::unique_ptr<const Store>, ClassId::TrustStore>;

// What an AsyncTrustStore keeps: its store, and the event loop it is bound to (the one that first
// used it, until that loop is closed or the process forks).
struct LoopStore {
  explicit LoopStore(std::unique_ptr<const Store> s) : store(std::move(s)) {}
  LoopStore(LoopStore&& other) noexcept
      : store(std::move(other.store)), loop(std::exchange(other.loop, nullptr)), pid(other.pid), closed(other.closed) {}
  LoopStore(const LoopStore&) = delete;
  auto operator=(const LoopStore&) -> LoopStore& = delete;
  ~LoopStore() { Py_XDECREF(loop); }

  std::unique_ptr<const Store> store;
  PyObject* loop = nullptr;
  pid_t pid = 0;
  bool closed = false;
  // The run of calls that ended without waiting, back to back, on this store: when it began and
  // when its last call ended (a task that awaits such calls in a loop gives the loop no turn).
  std::chrono::steady_clock::time_point at_once_since{};
  std::chrono::steady_clock::time_point at_once_last{};
};

// The same for an event loop: its calls (awaitables) keep the object alive while they wait.
using AsyncTrustStoreObject = Instance<LoopStore, ClassId::AsyncTrustStore>;

// Allocates an object of type and moves value into it. Throws PyErrSet when allocation fails.
template <typename Obj, typename T>
auto new_instance(PyTypeObject* type, T&& value) -> PyObject* {
  PyObject* self = type_alloc(type);
  if (self == nullptr) throw PyErrSet{};
  auto* obj = reinterpret_cast<Obj*>(self);
  new (&obj->borrow) BorrowFlag{};
  new (&obj->value) decltype(obj->value)(std::forward<T>(value));
  new (&obj->extras) decltype(obj->extras)();
  return self;
}

// A result object of the class: failing to make one is an internal failure, or MemoryError when
// memory is short.
template <typename Obj, typename T>
auto make_result(T&& value) -> PyObject* {
  try {
    return new_instance<Obj>(type_object(Obj::kClass), std::forward<T>(value));
  } catch (const PyErrSet&) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
    PyErr_Clear();
    throw std::runtime_error(std::string("could not allocate a ") + class_name(Obj::kClass) + " object");
  }
}

template <typename Obj>
void dealloc_instance(PyObject* self) {
  std::destroy_at(&reinterpret_cast<Obj*>(self)->extras);
  std::destroy_at(&reinterpret_cast<Obj*>(self)->value);
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

// The receiver as Obj, else TypeError "'X' object cannot be converted to 'Class'".
template <typename Obj>
auto receiver(PyObject* self) -> Obj& {
  PyTypeObject* type = type_object(Obj::kClass);
  if (!Py_IS_TYPE(self, type) && !PyType_IsSubtype(Py_TYPE(self), type)) {
    raise_cannot_convert(self, class_name(Obj::kClass));
  }
  return *reinterpret_cast<Obj*>(self);
}

// A reading entry point for a reader of the whole object (which keeps what it makes in the
// object's extras): the receiver under a shared borrow, then read(object).
template <typename Obj, typename F>
auto read_whole_object(PyObject* self, F&& read) -> PyObject* {
  return guard([&] {
    auto& obj = receiver<Obj>(self);
    SharedBorrow borrow(obj.borrow);
    return read(obj);
  });
}

// A reading entry point: the receiver's value under a shared borrow, then read(value).
template <typename Obj, typename F>
auto read_object(PyObject* self, F&& read) -> PyObject* {
  return read_whole_object<Obj>(self, [&](Obj& obj) { return read(std::as_const(obj.value)); });
}

// A changing method: bind, then the receiver's value under an exclusive borrow, then
// change(args, value), which converts its arguments and applies them.
template <typename Obj, typename F>
auto change_object(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   F&& change) -> PyObject* {
  return guard([&] {
    auto a = bind(sig, args, nargs, kwnames);
    auto& obj = receiver<Obj>(self);
    ExclusiveBorrow borrow(obj.borrow);
    return change(a, obj.value);
  });
}

// Python values from C++ ones.
auto new_float(double v) -> PyObject*;
auto new_text(std::string_view s) -> PyObject*;
auto new_text_list(const std::vector<std::string>& items) -> PyObject*;
// Fixed point with three decimals, rounded half to even from the exact value; "NaN", "inf", "-inf".
auto format3(double v) -> std::string;
// Sets AttributeError "can't delete attribute" when value is null (a del statement).
void refuse_delete(PyObject* value);

}  // namespace velk::py

namespace velk::py {

// A read-write real attribute: reads under a shared borrow; writes convert first, then take the
// exclusive borrow and store the value clamped to [0, 1].
template <typename T>
struct RealField {
  double& (*at)(T&);
};

template <typename Obj>
auto get_real_field(PyObject* self, void* closure) -> PyObject* {
  return guard([&] {
    auto& obj = receiver<Obj>(self);
    SharedBorrow borrow(obj.borrow);
    return new_float(static_cast<const RealField<decltype(obj.value)>*>(closure)->at(obj.value));
  });
}

template <typename Obj>
auto set_real_field(PyObject* self, PyObject* value, void* closure) -> int {
  return guard([&] {
    refuse_delete(value);
    const double v = to_real(value);
    auto& obj = receiver<Obj>(self);
    ExclusiveBorrow borrow(obj.borrow);
    static_cast<const RealField<decltype(obj.value)>*>(closure)->at(obj.value) = clamp_unit(v);
    return 0;
  });
}

template <typename Obj, typename T>
auto real_attribute(const char* name, const RealField<T>& field) -> PyGetSetDef {
  return {name, get_real_field<Obj>, set_real_field<Obj>, "", const_cast<RealField<T>*>(&field)};
}

// Method table entries. A method with parameters takes its name and signature from its table.
template <const Signature& Sig, const char* Summary, typename Fn>
auto fastcall_method(Fn fn, int extra_flags = 0) -> PyMethodDef {
  return {kMethodName<Sig>.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, kDoc<Sig, Summary>.data()};
}
inline auto noargs_method(const char* name, PyCFunction fn, const char* doc, int extra_flags = 0) -> PyMethodDef {
  return {name, fn, METH_NOARGS | extra_flags, doc};
}

// What __reduce__ returns: (a reference to the class, args, state), or without state when it is
// null. Unpickling calls the class with args, then __setstate__ with state.
auto reduce_value(ClassId id, OwnedRef args, OwnedRef state = {}) -> PyObject*;
// The same for an object that a class method of the class makes: unpickling calls
// Class.<method>(*args).
auto reduce_by_method(ClassId id, const char* method, OwnedRef args) -> PyObject*;
inline auto reduce_method(PyCFunction fn) -> PyMethodDef {
  return {"__reduce__", fn, METH_NOARGS, "__reduce__($self, /)\n--\n\nHelper for pickle."};
}
inline auto setstate_method(PyCFunction fn) -> PyMethodDef {
  return {"__setstate__", fn, METH_O, "__setstate__($self, state, /)\n--\n\nRestore the state that __reduce__ gave."};
}

// A new TrustStore on the default record directory (TrustStore() and create_memory_store()).
auto new_default_store(PyTypeObject* type) -> PyObject*;

}  // namespace velk::py
