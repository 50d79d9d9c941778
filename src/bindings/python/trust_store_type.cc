// The TrustStore class: one FileStore behind a shared reader-writer lock.
#include <memory>
#include <shared_mutex>
#include <string>

#include "bindings/python/classes.h"
#include "storage/file/file_store.h"

namespace velk::py {

struct StoreHandle {
  explicit StoreHandle(FileStore s) : store(std::move(s)) {}
  std::shared_mutex lock;
  FileStore store;
};

namespace {

constexpr Param kNewParams[] = {{"path", false}};
constexpr Signature kNew{"TrustStore.__new__()", kNewParams};
constexpr Param kIdParam[] = {{"entity_id"}};
constexpr Signature kGet{"TrustStore.get()", kIdParam};
constexpr Signature kExists{"TrustStore.exists()", kIdParam};
constexpr Signature kDelete{"TrustStore.delete()", kIdParam};
constexpr Param kSaveParams[] = {{"trust"}};
constexpr Signature kSave{"TrustStore.save()", kSaveParams};
constexpr Param kUpdateParams[] = {{"entity_id"}, {"success"}, {"magnitude"}};
constexpr Signature kUpdate{"TrustStore.update()", kUpdateParams};
constexpr Param kWitnessParams[] = {{"witness_id"}, {"target_id"}, {"success"}, {"magnitude"}};
constexpr Signature kWitness{"TrustStore.witness()", kWitnessParams};
constexpr Param kListParams[] = {{"entity_type", false}};
constexpr Signature kListEntities{"TrustStore.list_entities()", kListParams};
constexpr Param kTypeParam[] = {{"entity_type"}};
constexpr Signature kGetByType{"TrustStore.get_by_type()", kTypeParam};

auto new_store(PyTypeObject* type, Result<FileStore>&& opened) -> PyObject* {
  auto handle = std::make_shared<StoreHandle>(value_or_raise(std::move(opened)));
  return new_instance<TrustStoreObject>(type, std::move(handle));
}

// Releases the interpreter lock while a store call waits for the directory lock or works through
// a listing, and lets the interpreter's signal handlers interrupt it: their exception (for Ctrl-C,
// KeyboardInterrupt) is then raised in place of the call's result.
class InterpreterWaiter final : public Waiter {
 public:
  void leave() noexcept override {
    if (depth_++ == 0) saved_ = PyEval_SaveThread();
  }
  void enter() noexcept override {
    if (--depth_ == 0) PyEval_RestoreThread(saved_);
  }
  auto interrupted() noexcept -> bool override {
    PyEval_RestoreThread(saved_);
    raised_ = raised_ || PyErr_CheckSignals() != 0;
    saved_ = PyEval_SaveThread();
    return raised_;
  }

  template <typename T>
  auto value_or_raise(Result<T>&& r) -> T {
    if (raised_) throw PyErrSet{};
    return py::value_or_raise(std::move(r));
  }

 private:
  PyThreadState* saved_ = nullptr;
  int depth_ = 0;
  bool raised_ = false;
};

// Store methods: bind, check the receiver, `convert` the arguments, then run `call(store, waiter)`
// under the shared lock (the handle keeps the store alive for the call) and `wrap` its result.
// Arguments are converted before the call, so nothing it touches while the interpreter lock is
// released belongs to Python.
template <typename Convert>
auto store_method(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  Convert&& convert) -> PyObject* {
  return guard([&] {
    auto a = bind(sig, args, nargs, kwnames);
    std::shared_ptr<StoreHandle> handle = receiver<TrustStoreObject>(self).value;
    return convert(a, [&](auto&& call) {
      std::shared_lock lock(handle->lock);
      InterpreterWaiter waiter;
      return waiter.value_or_raise(call(static_cast<const FileStore&>(handle->store), waiter));
    });
  });
}

auto new_record(EntityTrust&& r) -> PyObject* { return make_result<EntityTrustObject>(std::move(r)); }

auto new_record_list(std::vector<EntityTrust>&& records) -> PyObject* {
  OwnedRef list = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(records.size())));
  for (std::size_t k = 0; k < records.size(); ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), new_record(std::move(records[k])));
  }
  return list.release();
}

auto store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
  return guard([&] {
    auto a = bind(kNew, args, kwargs);
    const auto path = a.optional_text(0);
    if (!path) return new_default_store(type);
    return new_store(type, FileStore::open(std::string(*path)));
  });
}

auto store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kGet, self, args, nargs, kwnames, [](BoundArgs& a, auto run) {
    const auto id = a.text(0);
    return new_record(run([&](const FileStore& s, Waiter& w) { return s.get(id, w); }));
  });
}

auto store_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kSave, self, args, nargs, kwnames, [](BoundArgs& a, auto run) {
    auto* trust = reinterpret_cast<EntityTrustObject*>(a.object(0, type_object(ClassId::EntityTrust), "EntityTrust"));
    SharedBorrow borrow(trust->borrow);
    run([&](const FileStore& s, Waiter&) { return s.save(trust->value); });
    return none();
  });
}

auto store_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kUpdate, self, args, nargs, kwnames, [](BoundArgs& a, auto run) {
    const auto id = a.text(0);
    const bool success = a.flag(1);
    const double magnitude = a.real(2);
    return new_record(run([&](const FileStore& s, Waiter& w) { return s.update(id, success, magnitude, w); }));
  });
}

auto store_witness(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kWitness, self, args, nargs, kwnames, [](BoundArgs& a, auto run) {
    const auto witness_id = a.text(0);
    const auto target_id = a.text(1);
    const bool success = a.flag(2);
    const double magnitude = a.real(3);
    auto pair = run([&](const FileStore& s, Waiter& w) {
      return s.witness(witness_id, target_id, success, magnitude, w);
    });
    OwnedRef witness = OwnedRef::steal(new_record(std::move(pair.first)));
    OwnedRef target = OwnedRef::steal(new_record(std::move(pair.second)));
    return OwnedRef::checked(PyTuple_Pack(2, witness.get(), target.get())).release();
  });
}

auto store_list_entities(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kListEntities, self, args, nargs, kwnames, [](BoundArgs& a, auto run) {
    const auto query = a.optional_text(0);
    std::optional<EntityType> kind;
    if (query) kind = kind_of_query(*query);
    return new_text_list(run([&](const FileStore& s, Waiter& w) { return s.list(kind, w); }));
  });
}

auto store_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kExists, self, args, nargs, kwnames, [](BoundArgs& a, auto run) {
    const auto id = a.text(0);
    return PyBool_FromLong(run([&](const FileStore& s, Waiter&) { return s.exists(id); }));
  });
}

auto store_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kDelete, self, args, nargs, kwnames, [](BoundArgs& a, auto run) {
    const auto id = a.text(0);
    return PyBool_FromLong(run([&](const FileStore& s, Waiter&) { return s.remove(id); }));
  });
}

auto store_get_by_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kGetByType, self, args, nargs, kwnames, [](BoundArgs& a, auto run) {
    const EntityType kind = kind_of_query(a.text(0));
    return new_record_list(run([&](const FileStore& s, Waiter& w) { return s.records_of_kind(kind, w); }));
  });
}

auto store_repr(PyObject* self) -> PyObject* {
  return guard([&] {
    const std::string text = "TrustStore(path='" + receiver<TrustStoreObject>(self).value->store.directory() + "')";
    // Path bytes that are not UTF-8 show as U+FFFD.
    return OwnedRef::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"))
        .release();
  });
}

PyMethodDef store_methods[] = {
    fastcall_method("get", store_get, "get($self, entity_id)\n--\n\nGet entity trust (creates if doesn't exist)"),
    fastcall_method("save", store_save, "save($self, trust)\n--\n\nSave entity trust"),
    fastcall_method("update", store_update,
                    "update($self, entity_id, success, magnitude)\n--\n\nUpdate entity from outcome"),
    fastcall_method("witness", store_witness,
                    "witness($self, witness_id, target_id, success, magnitude)\n--\n\n"
                    "Witness event between two entities"),
    fastcall_method("list_entities", store_list_entities,
                    "list_entities($self, entity_type=None)\n--\n\nList all entity IDs"),
    fastcall_method("exists", store_exists, "exists($self, entity_id)\n--\n\nCheck if entity exists"),
    fastcall_method("delete", store_delete, "delete($self, entity_id)\n--\n\nDelete entity"),
    fastcall_method("get_by_type", store_get_by_type, "get_by_type($self, entity_type)\n--\n\nGet entities by type"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("TrustStore(path=None)\n--\n\n"
                                  "Python-exposed TrustStore (wraps FileStore or InMemoryStore)")},
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<TrustStoreObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
    {Py_tp_methods, store_methods},
    {0, nullptr},
};

}  // namespace

auto new_default_store(PyTypeObject* type) -> PyObject* { return new_store(type, FileStore::open_default()); }

PyType_Spec trust_store_spec = {
    .name = "builtins.TrustStore",
    .basicsize = sizeof(TrustStoreObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = store_slots,
};

}  // namespace velk::py
