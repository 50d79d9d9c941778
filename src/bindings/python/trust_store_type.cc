// The TrustStore class: a record directory or a database table per object.
#include <string>

#include "bindings/python/classes.h"
#include "common/thread_storage.h"
#include "storage/file/file_backend.h"
#include "storage/opener.h"

namespace velk::py {
namespace {

constexpr Param kNewParams[] = {{"path", "None"}};
constexpr Signature kNew{"TrustStore.__new__()", kNewParams};
constexpr char kClassDoc[] = "Python-exposed TrustStore (wraps FileStore or InMemoryStore)";
constexpr Param kIdParam[] = {{"entity_id"}};
constexpr Signature kGet{"TrustStore.get()", kIdParam};
constexpr char kGetDoc[] = "Get entity trust (creates if doesn't exist)";
constexpr Signature kFind{"TrustStore.find()", kIdParam};
constexpr char kFindDoc[] = "The stored record, or None when there is none; creates nothing";
constexpr Signature kExists{"TrustStore.exists()", kIdParam};
constexpr char kExistsDoc[] = "Check if entity exists";
constexpr Signature kDelete{"TrustStore.delete()", kIdParam};
constexpr char kDeleteDoc[] = "Delete entity";
constexpr Param kSaveParams[] = {{"trust"}};
constexpr Signature kSave{"TrustStore.save()", kSaveParams};
constexpr char kSaveDoc[] = "Save entity trust";
constexpr Signature kCreate{"TrustStore.create()", kSaveParams};
constexpr char kCreateDoc[] =
    "Save entity trust only where no record is stored for its entity_id, in one step; True if it was saved";
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
constexpr Signature kCount{"TrustStore.count()", kListParams};
constexpr char kCountDoc[] = "Count the entity IDs that list_entities gives";
constexpr Param kTypeParam[] = {{"entity_type"}};
constexpr Signature kGetByType{"TrustStore.get_by_type()", kTypeParam};
constexpr char kGetByTypeDoc[] = "Get entities by type";
constexpr Param kConnectParams[] = {{"url"}, {"table", "'velk_trust'"}, {"timeout", "None"}, {"pool_size", "None"}};
constexpr Signature kConnect{"TrustStore.connect()", kConnectParams};
constexpr char kConnectDoc[] = "Open a store on a PostgreSQL table (libpq connection URI or keyword string)";
constexpr Param kOpenParams[] = {
    {"address"}, {"table", "None"}, {"create", "True"}, {"timeout", "None"}, {"pool_size", "None"}};
constexpr Signature kOpen{"TrustStore.open()", kOpenParams};
constexpr char kOpenDoc[] =
    "Open the store an address names: a database's connection text (as connect takes), else a record directory; "
    "with create=False, refuse one that is not there";

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

  // The call's result, or the exception of a signal handler that interrupted it, with a note of
  // what became of the call's change: none, made (the call had finished), or unknown (a commit's
  // answer that did not come within the grace).
  template <typename T>
  auto result(Result<T>&& r) -> T {
    if (raised_) {
      note_outcome(r ? "velk_trust: the call had finished before the interruption; its change, if any, was made"
                     : r.error().outcome_unknown()
                           ? "velk_trust: the change may or may not have been made (its commit's answer did not come)"
                           : "velk_trust: nothing was changed");
      throw PyErrSet{};
    }
    return value_or_raise(std::move(r));
  }

 private:
  // Adds the note to the pending exception (should that fail, the exception goes as it is).
  static void note_outcome(const char* note) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return;
    if (PyObject* added = PyObject_CallMethod(raised, "add_note", "s", note)) {
      Py_DECREF(added);
    } else {
      PyErr_Clear();
    }
    PyErr_SetRaisedException(raised);
  }

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

// One store call, run to its end on this thread: its result, or the exception of a signal handler
// that interrupted it.
class Runner {
 public:
  // A call on the store at address: within its timeout, when it has one.
  explicit Runner(const Address& address) : cx(address.timeout) {}
  explicit Runner(const Store& store) : Runner(store.address()) {}

  template <typename T>
  auto operator()(Task<Result<T>> task) -> T {
    return waiter.result(run(std::move(task), cx, waiter));
  }

  Call cx;
  InterpreterWaiter waiter;
};

// Every entry of the class first readies its thread's exception state (see ready_thread_storage),
// without which it raises MemoryError at once.

// Store methods: bind, check the receiver, then body(args, store, runner). A body converts its
// arguments before it calls the store, so nothing that the store touches while the interpreter
// lock is released belongs to Python.
auto store_method(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  auto&& body) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    auto a = bind(sig, args, nargs, kwnames);
    const Store& store = *receiver<TrustStoreObject>(self).value;
    Runner runner(store);
    return body(a, store, runner);
  });
}

// The options of connect and open: a timeout of seconds and a pool's size, both positive.
void take_options(BoundArgs& a, std::size_t timeout, std::size_t pool_size, Address& address) {
  address.timeout = a.optional_real(timeout);
  address.pool_size = a.optional_count(pool_size);
  if (address.timeout && !(*address.timeout > 0 && *address.timeout <= 1e9)) {
    raise(PyExc_ValueError, "argument 'timeout': must be a positive number of seconds, or None");
  }
  if (address.pool_size && *address.pool_size == 0) {
    raise(PyExc_ValueError, "argument 'pool_size': must be 1 or more, or None");
  }
  // A directory's lock waits end on Ctrl-C, not at a deadline: a timeout it would not keep is
  // refused, not ignored.
  if (address.backend == Address::Backend::Directory && (address.timeout || address.pool_size)) {
    raise(PyExc_ValueError, "timeout and pool_size are a database store's options; a record directory takes neither");
  }
}

// A new TrustStore object on the store an address names.
auto new_store(PyTypeObject* type, Address address, Missing missing = Missing::Create) -> PyObject* {
  Runner runner(address);
  auto opened = runner(open_store(runner.cx, std::move(address), missing));
  return new_instance<TrustStoreObject>(type, std::move(opened));
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
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    auto a = bind(kNew, args, kwargs);
    const auto path = a.optional_text(0);
    if (!path) return new_default_store(type);
    return new_store(type, directory_address(std::string(*path)));
  });
}

auto store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kGet, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const auto id = a.text(0);
    return new_record(r(s.get(r.cx, id)));
  });
}

auto store_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kFind, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const auto id = a.text(0);
    auto found = r(s.find(r.cx, id));
    return found ? new_record(std::move(*found)) : none();
  });
}

auto store_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kSave, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    auto* trust = reinterpret_cast<EntityTrustObject*>(a.object(0, type_object(ClassId::EntityTrust), "EntityTrust"));
    SharedBorrow borrow(trust->borrow);
    r(s.save(r.cx, trust->value));
    return none();
  });
}

auto store_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kCreate, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    auto* trust = reinterpret_cast<EntityTrustObject*>(a.object(0, type_object(ClassId::EntityTrust), "EntityTrust"));
    SharedBorrow borrow(trust->borrow);
    return PyBool_FromLong(r(s.create(r.cx, trust->value)));
  });
}

auto store_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kUpdate, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const auto id = a.text(0);
    const bool success = a.flag(1);
    const double magnitude = a.real(2);
    return new_record(r(s.update(r.cx, id, success, magnitude)));
  });
}

auto store_witness(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kWitness, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const auto witness_id = a.text(0);
    const auto target_id = a.text(1);
    const bool success = a.flag(2);
    const double magnitude = a.real(3);
    auto pair = r(s.witness(r.cx, witness_id, target_id, success, magnitude));
    OwnedRef witness = OwnedRef::steal(new_record(std::move(pair.first)));
    OwnedRef target = OwnedRef::steal(new_record(std::move(pair.second)));
    return OwnedRef::checked(PyTuple_Pack(2, witness.get(), target.get())).release();
  });
}

auto store_decay(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kDecay, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const auto id = a.text(0);
    const double days = a.real(1);
    const double rate = a.real(2);
    const double min_idle = a.real_or(3, 0.0);
    return PyBool_FromLong(r(s.decay(r.cx, id, days, rate, min_idle)));
  });
}

auto store_list_entities(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kListEntities, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const auto query = a.optional_text(0);
    std::optional<EntityType> kind;
    if (query) kind = kind_of_query(*query);
    return new_text_list(r(s.list(r.cx, kind)));
  });
}

auto store_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kCount, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const auto query = a.optional_text(0);
    std::optional<EntityType> kind;
    if (query) kind = kind_of_query(*query);
    return OwnedRef::checked(PyLong_FromSize_t(r(s.count(r.cx, kind)))).release();
  });
}

auto store_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kExists, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const auto id = a.text(0);
    return PyBool_FromLong(r(s.exists(r.cx, id)));
  });
}

auto store_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kDelete, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const auto id = a.text(0);
    return PyBool_FromLong(r(s.remove(r.cx, id)));
  });
}

auto store_get_by_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(kGetByType, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const EntityType kind = kind_of_query(a.text(0));
    return new_record_list(r(s.records_of_kind(r.cx, kind)));
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
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    const Store& store = *receiver<TrustStoreObject>(self).value;
    Runner runner(store);
    auto findings = runner(store.check(runner.cx));
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

// A store travels as its address: unpickling opens it again, by the constructor for a directory
// and by connect for a database.
auto store_reduce(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    const Address& address = receiver<TrustStoreObject>(self).value->address();
    OwnedRef where = OwnedRef::steal(new_text(address.where));
    switch (address.backend) {
      case Address::Backend::Directory:
        return reduce_value(ClassId::TrustStore, OwnedRef::checked(PyTuple_Pack(1, where.get())));
      case Address::Backend::Postgres: break;
    }
    OwnedRef table = OwnedRef::steal(new_text(address.table));
    if (!address.timeout && !address.pool_size) {
      return reduce_by_method(ClassId::TrustStore, "connect", OwnedRef::checked(PyTuple_Pack(2, where.get(), table.get())));
    }
    OwnedRef timeout = address.timeout ? OwnedRef::steal(new_float(*address.timeout)) : OwnedRef::borrow(Py_None);
    OwnedRef pool_size = address.pool_size ? OwnedRef::checked(PyLong_FromSize_t(*address.pool_size)) : OwnedRef::borrow(Py_None);
    return reduce_by_method(ClassId::TrustStore, "connect",
                            OwnedRef::checked(PyTuple_Pack(4, where.get(), table.get(), timeout.get(), pool_size.get())));
  });
}

auto store_connect(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    auto a = bind(kConnect, args, nargs, kwnames);
    std::string url(a.text(0));
    std::string table(a.text_or(1, kDefaultTable));
    auto address = value_or_raise(connection_address(std::move(url), std::move(table)));
    take_options(a, 2, 3, address);
    return new_store(reinterpret_cast<PyTypeObject*>(cls), std::move(address));
  });
}

auto store_open(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    auto a = bind(kOpen, args, nargs, kwnames);
    std::string text(a.text(0));
    const auto table = a.optional_text(1);
    const bool create = a.given(2) ? a.flag(2) : true;
    auto address = value_or_raise(address_of(std::move(text), table ? std::optional(std::string(*table)) : std::nullopt));
    take_options(a, 3, 4, address);
    return new_store(reinterpret_cast<PyTypeObject*>(cls), std::move(address), create ? Missing::Create : Missing::Refuse);
  });
}

// The record directory's path (file-system bytes decoded as os.fsdecode does), or None.
auto store_directory(PyObject* self, void*) -> PyObject* {
  return guard([&] {
    const Address& address = receiver<TrustStoreObject>(self).value->address();
    if (address.backend != Address::Backend::Directory) return none();
    return OwnedRef::checked(PyUnicode_DecodeFSDefaultAndSize(address.where.data(), static_cast<Py_ssize_t>(address.where.size())))
        .release();
  });
}

PyGetSetDef store_getset[] = {
    {"directory", store_directory, nullptr, "The record directory's path; None for a database store", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef store_methods[] = {
    fastcall_method<kGet, kGetDoc>(store_get),
    fastcall_method<kFind, kFindDoc>(store_find),
    fastcall_method<kSave, kSaveDoc>(store_save),
    fastcall_method<kCreate, kCreateDoc>(store_create),
    fastcall_method<kUpdate, kUpdateDoc>(store_update),
    fastcall_method<kWitness, kWitnessDoc>(store_witness),
    fastcall_method<kListEntities, kListEntitiesDoc>(store_list_entities),
    fastcall_method<kCount, kCountDoc>(store_count),
    fastcall_method<kExists, kExistsDoc>(store_exists),
    fastcall_method<kDelete, kDeleteDoc>(store_delete),
    fastcall_method<kGetByType, kGetByTypeDoc>(store_get_by_type),
    fastcall_method<kDecay, kDecayDoc>(store_decay),
    fastcall_method<kConnect, kConnectDoc>(store_connect, METH_CLASS),
    fastcall_method<kOpen, kOpenDoc>(store_open, METH_CLASS),
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
    {Py_tp_getset, store_getset},
    {0, nullptr},
};

}  // namespace

auto new_default_store(PyTypeObject* type) -> PyObject* {
  return new_store(type, directory_address(value_or_raise(FileBackend::default_directory())));
}

const vectorcallfunc trust_store_vectorcall = nullptr;

PyType_Spec trust_store_spec = {
    .name = "builtins.TrustStore",
    .basicsize = sizeof(TrustStoreObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = store_slots,
};

}  // namespace velk::py
