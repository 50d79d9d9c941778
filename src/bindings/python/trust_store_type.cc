// The TrustStore class: a record directory or a database table per object.
#include <string>

#include "bindings/python/classes.h"
#include "storage/file/file_store.h"
#include "storage/postgres/loader.h"

namespace velk::py {
namespace {

constexpr Param kNewParams[] = {{"path", "None"}};
constexpr Signature kNew{"TrustStore.__new__()", kNewParams};
constexpr char kClassDoc[] = "Python-exposed TrustStore (wraps FileStore or InMemoryStore)";
constexpr Param kIdParam[] = {{"entity_id"}};
constexpr Signature kGet{"TrustStore.get()", kIdParam};
constexpr char kGetDoc[] = "Get entity trust (creates if doesn't exist)";
constexpr Signature kExists{"TrustStore.exists()", kIdParam};
constexpr char kExistsDoc[] = "Check if entity exists";
constexpr Signature kDelete{"TrustStore.delete()", kIdParam};
constexpr char kDeleteDoc[] = "Delete entity";
constexpr Param kSaveParams[] = {{"trust"}};
constexpr Signature kSave{"TrustStore.save()", kSaveParams};
constexpr char kSaveDoc[] = "Save entity trust";
constexpr Param kUpdateParams[] = {{"entity_id"}, {"success"}, {"magnitude"}};
constexpr Signature kUpdate{"TrustStore.update()", kUpdateParams};
constexpr char kUpdateDoc[] = "Update entity from outcome";
constexpr Param kWitnessParams[] = {{"witness_id"}, {"target_id"}, {"success"}, {"magnitude"}};
constexpr Signature kWitness{"TrustStore.witness()", kWitnessParams};
constexpr char kWitnessDoc[] = "Witness event between two entities";
constexpr Param kDecayParams[] = {{"entity_id"}, {"days_inactive"}, {"decay_rate"}, {"min_idle", "0.0"}};
constexpr Signature kDecay{"TrustStore.decay()", kDecayParams};
constexpr char kDecayDoc[] = "Apply decay to a stored record under the directory lock; True if it changed";
constexpr Param kListParams[] = {{"entity_type", "None"}};
constexpr Signature kListEntities{"TrustStore.list_entities()", kListParams};
constexpr char kListEntitiesDoc[] = "List all entity IDs";
constexpr Param kTypeParam[] = {{"entity_type"}};
constexpr Signature kGetByType{"TrustStore.get_by_type()", kTypeParam};
constexpr char kGetByTypeDoc[] = "Get entities by type";
constexpr Param kConnectParams[] = {{"url"}, {"table", "'velk_trust'"}};
constexpr Signature kConnect{"TrustStore.connect()", kConnectParams};
constexpr char kConnectDoc[] = "Open a store on a PostgreSQL table (libpq connection URI or keyword string)";

auto new_store(PyTypeObject* type, Result<FileStore>&& opened) -> PyObject* {
  std::unique_ptr<const Store> store = std::make_unique<FileStore>(value_or_raise(std::move(opened)));
  return new_instance<TrustStoreObject>(type, std::move(store));
}

// Releases the interpreter lock while a store call waits for the directory lock or works through
// a listing, and lets the interpreter's signal handlers interrupt it: their exception (for Ctrl-C,
// KeyboardInterrupt) is then raised in place of the call's result.
//
// An interpreter that is exiting ends a thread that asks for its lock back (a daemon thread still in
// a call) by a forced unwind out of PyEval_RestoreThread: that unwind passes every frame up to the
// boundary, and the lock is not asked for a second time on the way.
class InterpreterWaiter final : public Waiter {
 public:
  void leave() noexcept override {
    if (depth_++ == 0) saved_ = PyEval_SaveThread();
  }
  void enter() override {
    if (--depth_ == 0 && !ended_) take_back();
  }
  auto interrupted() -> bool override {
    take_back();
    raised_ = raised_ || PyErr_CheckSignals() != 0;
    saved_ = PyEval_SaveThread();
    return raised_;
  }

  // The call's result, or the exception of a signal handler that interrupted it.
  template <typename T>
  auto result(Result<T>&& r) -> T {
    if (raised_) throw PyErrSet{};
    return value_or_raise(std::move(r));
  }

 private:
  void take_back() {
    ended_ = true;  // stays set only if the thread ends here
    PyEval_RestoreThread(saved_);
    ended_ = false;
  }

  PyThreadState* saved_ = nullptr;
  int depth_ = 0;
  bool raised_ = false;
  bool ended_ = false;
};

// Store methods: bind, check the receiver, then body(args, store, waiter). A body converts its
// arguments before it calls the store, so nothing that the store touches while the interpreter
// lock is released belongs to Python.
auto store_method(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  auto&& body) -> PyObject* {
  return guard([&] {
    auto a = bind(sig, args, nargs, kwnames);
    const Store& store = *receiver<TrustStoreObject>(self).value;
    InterpreterWaiter waiter;
    return body(a, store, waiter);
  });
}

auto new_record(EntityTrust&& r) -> PyObject* { return make_result<EntityTrustObject>(std::move(r)); }

auto new_record_list(std::vector<EntityTrust>&& records) -> PyObject* {
  OwnedRef list = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(records.size())));
  for (std::size_t k = 0; k < records.size(); ++k) {
    list_set(list.get(), static_cast<Py_ssize_t>(k), new_record(std::move(records[k])));
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
  return store_method(kGet, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, auto& w) {
    const auto id = a.text(0);
    return new_record(w.result(s.get(id, w)));
  });
}

auto store_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kSave, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, auto& w) {
    auto* trust = reinterpret_cast<EntityTrustObject*>(a.object(0, type_object(ClassId::EntityTrust), "EntityTrust"));
    SharedBorrow borrow(trust->borrow);
    w.result(s.save(trust->value, w));
    return none();
  });
}

auto store_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kUpdate, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, auto& w) {
    const auto id = a.text(0);
    const bool success = a.flag(1);
    const double magnitude = a.real(2);
    return new_record(w.result(s.update(id, success, magnitude, w)));
  });
}

auto store_witness(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kWitness, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, auto& w) {
    const auto witness_id = a.text(0);
    const auto target_id = a.text(1);
    const bool success = a.flag(2);
    const double magnitude = a.real(3);
    auto pair = w.result(s.witness(witness_id, target_id, success, magnitude, w));
    OwnedRef witness = OwnedRef::steal(new_record(std::move(pair.first)));
    OwnedRef target = OwnedRef::steal(new_record(std::move(pair.second)));
    return OwnedRef::checked(PyTuple_Pack(2, witness.get(), target.get())).release();
  });
}

auto store_decay(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kDecay, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, auto& w) {
    const auto id = a.text(0);
    const double days = a.real(1);
    const double rate = a.real(2);
    const double min_idle = a.real_or(3, 0.0);
    return PyBool_FromLong(w.result(s.decay(id, days, rate, min_idle, w)));
  });
}

auto store_list_entities(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kListEntities, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, auto& w) {
    const auto query = a.optional_text(0);
    std::optional<EntityType> kind;
    if (query) kind = kind_of_query(*query);
    return new_text_list(w.result(s.list(kind, w)));
  });
}

auto store_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kExists, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, auto& w) {
    const auto id = a.text(0);
    return PyBool_FromLong(w.result(s.exists(id, w)));
  });
}

auto store_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kDelete, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, auto& w) {
    const auto id = a.text(0);
    return PyBool_FromLong(w.result(s.remove(id, w)));
  });
}

auto store_get_by_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kGetByType, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, auto& w) {
    const EntityType kind = kind_of_query(a.text(0));
    return new_record_list(w.result(s.records_of_kind(kind, w)));
  });
}

// What Python sees of a verdict.
auto verdict_text(Finding::Verdict verdict) -> const char* {
  using Verdict = Finding::Verdict;
  switch (verdict) {
    case Verdict::Record: return "record";
    case Verdict::Misplaced: return "misplaced";
    case Verdict::Unreadable: return "unreadable";
    case Verdict::NotRegular: return "not a regular file";
    case Verdict::Temporary: return "temporary";
    case Verdict::Unknown: return "unknown";
  }
  return "unknown";
}

// A finding as a dict: path, verdict, entity_id, detail (None when empty) and record (or None).
auto new_finding(Finding&& finding) -> PyObject* {
  OwnedRef dict = OwnedRef::checked(PyDict_New());
  auto set = [&](const char* key, OwnedRef value) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) throw PyErrSet{};
  };
  set("path", OwnedRef::steal(new_text(finding.path)));
  set("verdict", OwnedRef::checked(PyUnicode_FromString(verdict_text(finding.verdict))));
  set("entity_id", finding.record ? OwnedRef::steal(new_text(finding.record->entity_id)) : OwnedRef::borrow(Py_None));
  set("detail", finding.detail.empty() ? OwnedRef::borrow(Py_None) : OwnedRef::steal(new_text(finding.detail)));
  set("record", finding.record ? OwnedRef::steal(new_record(std::move(*finding.record))) : OwnedRef::borrow(Py_None));
  return dict.release();
}

auto store_check(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    const Store& store = *receiver<TrustStoreObject>(self).value;
    InterpreterWaiter waiter;
    auto findings = waiter.result(store.check(waiter));
    OwnedRef list = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(findings.size())));
    for (std::size_t k = 0; k < findings.size(); ++k) {
      list_set(list.get(), static_cast<Py_ssize_t>(k), new_finding(std::move(findings[k])));
    }
    return list.release();
  });
}

auto store_repr(PyObject* self) -> PyObject* {
  return guard([&] {
    const std::string text = receiver<TrustStoreObject>(self).value->repr();
    // Path bytes that are not UTF-8 show as U+FFFD.
    return OwnedRef::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"))
        .release();
  });
}

// A store travels as its directory path, or its connection text and table: unpickling opens it
// again.
auto store_reduce(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    const auto address = receiver<TrustStoreObject>(self).value->address();
    OwnedRef where = OwnedRef::steal(new_text(address.where));
    if (!address.table) return reduce_value(ClassId::TrustStore, OwnedRef::checked(PyTuple_Pack(1, where.get())));
    OwnedRef table = OwnedRef::steal(new_text(*address.table));
    return reduce_by_method(ClassId::TrustStore, "connect", OwnedRef::checked(PyTuple_Pack(2, where.get(), table.get())));
  });
}

auto store_connect(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return guard([&] {
    auto a = bind(kConnect, args, nargs, kwnames);
    const std::string url(a.text(0));
    const std::string table(a.text_or(1, kDefaultTable));
    InterpreterWaiter waiter;
    auto opened = waiter.result(open_database_store(url, table, waiter));
    return new_instance<TrustStoreObject>(reinterpret_cast<PyTypeObject*>(cls), std::move(opened));
  });
}

PyMethodDef store_methods[] = {
    fastcall_method<kGet, kGetDoc>(store_get),
    fastcall_method<kSave, kSaveDoc>(store_save),
    fastcall_method<kUpdate, kUpdateDoc>(store_update),
    fastcall_method<kWitness, kWitnessDoc>(store_witness),
    fastcall_method<kListEntities, kListEntitiesDoc>(store_list_entities),
    fastcall_method<kExists, kExistsDoc>(store_exists),
    fastcall_method<kDelete, kDeleteDoc>(store_delete),
    fastcall_method<kGetByType, kGetByTypeDoc>(store_get_by_type),
    fastcall_method<kDecay, kDecayDoc>(store_decay),
    fastcall_method<kConnect, kConnectDoc>(store_connect, METH_CLASS),
    noargs_method("check", store_check,
                  "check($self)\n--\n\nCheck every record file or row of the store, writing nothing"),
    reduce_method(store_reduce),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc<kNew, kClassDoc>.data())},
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<TrustStoreObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
    {Py_tp_methods, store_methods},
    {0, nullptr},
};

}  // namespace

auto new_default_store(PyTypeObject* type) -> PyObject* { return new_store(type, FileStore::open_default()); }

const vectorcallfunc trust_store_vectorcall = nullptr;

PyType_Spec trust_store_spec = {
    .name = "builtins.TrustStore",
    .basicsize = sizeof(TrustStoreObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = store_slots,
};

}  // namespace velk::py
