// The AsyncTrustStore class: the store's operations as awaitables driven by the running event
// loop (see async_call.h), one table of methods beside TrustStore's.
#include <string>

#include "bindings/python/async_call.h"
#include "bindings/python/blocking.h"
#include "common/thread_storage.h"
#include "storage/file/file_backend.h"
#include "storage/opener.h"

namespace velk::py {
namespace {

constexpr char kName[] = "AsyncTrustStore";
constexpr Param kNewParams[] = {{"path", "None"}};
constexpr Signature kNew{"AsyncTrustStore.__new__()", kNewParams};
constexpr char kClassDoc[] =
    "A TrustStore for asyncio: every method a coroutine, run by the event loop without blocking it";
constexpr Signature kGet{"AsyncTrustStore.get()", ops::Get::kParams};
constexpr Signature kFind{"AsyncTrustStore.find()", ops::Find::kParams};
constexpr Signature kExists{"AsyncTrustStore.exists()", ops::Exists::kParams};
constexpr Signature kDelete{"AsyncTrustStore.delete()", ops::Delete::kParams};
constexpr Signature kSave{"AsyncTrustStore.save()", ops::Save::kParams};
constexpr Signature kCreate{"AsyncTrustStore.create()", ops::Create::kParams};
constexpr Signature kUpdate{"AsyncTrustStore.update()", ops::Update::kParams};
constexpr Signature kWitness{"AsyncTrustStore.witness()", ops::Witness::kParams};
constexpr Signature kDecay{"AsyncTrustStore.decay()", ops::Decay::kParams};
constexpr Signature kListEntities{"AsyncTrustStore.list_entities()", ops::ListEntities::kParams};
constexpr Signature kCount{"AsyncTrustStore.count()", ops::Count::kParams};
constexpr Signature kGetByType{"AsyncTrustStore.get_by_type()", ops::GetByType::kParams};
constexpr Param kConnectParams[] = {{"url"}, {"table", "'velk_trust'"}, {"timeout", "None"}, {"pool_size", "None"}};
constexpr Signature kConnect{"AsyncTrustStore.connect()", kConnectParams};
constexpr char kConnectDoc[] = "Open a store on a PostgreSQL table (libpq connection URI or keyword string)";
constexpr Param kOpenParams[] = {
    {"address"}, {"table", "None"}, {"create", "True"}, {"timeout", "None"}, {"pool_size", "None"}};
constexpr Signature kOpen{"AsyncTrustStore.open()", kOpenParams};
constexpr char kOpenDoc[] =
    "Open the store an address names: a database's connection text (as connect takes), else a record directory; "
    "with create=False, refuse one that is not there";
constexpr Signature kReopen{"AsyncTrustStore._reopen()", kConnectParams};
constexpr char kReopenDoc[] = "Open a database store at once (how a pickled store comes back)";
constexpr Param kExitParams[] = {{"exc_type", "None"}, {"exc", "None"}, {"traceback", "None"}};
constexpr Signature kExit{"AsyncTrustStore.__aexit__()", kExitParams};
constexpr char kExitDoc[] = "Close the store's sessions (await aclose())";

// The store of an AsyncTrustStore that is not closed.
auto open_store_of(PyObject* self) -> LoopStore& {
  LoopStore& store = receiver<AsyncTrustStoreObject>(self).value;
  if (store.closed) raise(PyExc_RuntimeError, "this AsyncTrustStore is closed");
  return store;
}

// An operation run by the event loop: bound now, started when awaited.
template <const Signature& Sig, typename Op>
auto run_on_loop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    auto a = bind(Sig, args, nargs, kwnames);
    LoopStore& store = open_store_of(self);
    const Store& s = *store.store;
    return new_loop_call(std::make_unique<LoopCallOf<Op>>(s, s.address().timeout, a, Face::Loop), self, &store);
  });
}

template <const Signature& Sig, typename Op>
auto loop_method() -> PyMethodDef {
  return fastcall_method<Sig, Op::kSummary>(run_on_loop<Sig, Op>);
}

auto async_check(PyObject* self, PyObject*) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    LoopStore& store = open_store_of(self);
    const Store& s = *store.store;
    return new_loop_call(std::make_unique<LoopCallOf<ops::Check>>(s, s.address().timeout), self, &store);
  });
}

// Opening a store on the loop: connect and open.
class LoopOpen final : public LoopCall {
 public:
  LoopOpen(PyTypeObject* type, Address address, Missing missing)
      : LoopCall(address.timeout), type_(type), address_(std::move(address)), missing_(missing) {}
  void start() override {
    task_.emplace(open_store(cx, address_, missing_));
    cx.start(task_->handle());
  }
  auto done() const -> bool override { return task_ && task_->done(); }
  auto outcome() -> Outcome override { return Outcome::None; }
  auto value() -> PyObject* override {
    auto opened = value_or_raise(task_->take());
    return new_instance<AsyncTrustStoreObject>(type_, LoopStore(std::move(opened)));
  }

 private:
  PyTypeObject* type_;  // the class, which the awaitable's owner reference keeps
  Address address_;
  Missing missing_;
  std::optional<Task<Result<std::unique_ptr<const Store>>>> task_;
};

auto open_on_loop(PyObject* cls, Address address, Missing missing) -> PyObject* {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  return new_loop_call(std::make_unique<LoopOpen>(type, std::move(address), missing), cls, nullptr);
}

auto async_connect(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    auto a = bind(kConnect, args, nargs, kwnames);
    std::string url(a.text(0));
    std::string table(a.text_or(1, kDefaultTable));
    auto address = value_or_raise(connection_address(std::move(url), std::move(table)));
    take_options(a, 2, 3, address);
    return open_on_loop(cls, std::move(address), Missing::Create);
  });
}

auto async_open(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    auto a = bind(kOpen, args, nargs, kwnames);
    std::string text(a.text(0));
    const auto table = a.optional_text(1);
    const bool create = a.given(2) ? a.flag(2) : true;
    auto address = value_or_raise(address_of(std::move(text), table ? std::optional(std::string(*table)) : std::nullopt));
    take_options(a, 3, 4, address);
    return open_on_loop(cls, std::move(address), create ? Missing::Create : Missing::Refuse);
  });
}

// A store opened on the calling thread (a directory; a pickled database store coming back).
auto new_store_now(PyTypeObject* type, Address address) -> PyObject* {
  Runner runner(address);
  auto opened = runner(open_store(runner.cx, std::move(address), Missing::Create));
  return new_instance<AsyncTrustStoreObject>(type, LoopStore(std::move(opened)));
}

auto async_reopen(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    auto a = bind(kReopen, args, nargs, kwnames);
    std::string url(a.text(0));
    std::string table(a.text_or(1, kDefaultTable));
    auto address = value_or_raise(connection_address(std::move(url), std::move(table)));
    take_options(a, 2, 3, address);
    return new_store_now(reinterpret_cast<PyTypeObject*>(cls), std::move(address));
  });
}

auto async_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    auto a = bind(kNew, args, kwargs);
    const auto path = a.optional_text(0);
    if (!path) return new_store_now(type, directory_address(value_or_raise(FileBackend::default_directory())));
    return new_store_now(type, directory_address(std::string(*path)));
  });
}

auto async_aclose(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    LoopStore& store = receiver<AsyncTrustStoreObject>(self).value;
    if (!store.closed) {
      store.closed = true;
      store.store->close();
    }
    return new_ready_call(none());
  });
}

auto async_aenter(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    if (receiver<AsyncTrustStoreObject>(self).value.closed) raise(PyExc_RuntimeError, "this AsyncTrustStore is closed");
    return new_ready_call(Py_NewRef(self));
  });
}

auto async_aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return guard([&] {
    (void)bind(kExit, args, nargs, kwnames);
    return async_aclose(self, nullptr);
  });
}

auto async_repr(PyObject* self) -> PyObject* {
  return guard([&] {
    const std::string text = receiver<AsyncTrustStoreObject>(self).value.store->repr(kName);
    return OwnedRef::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"))
        .release();
  });
}

// As TrustStore's: a directory by the constructor, a database by _reopen (which connects at
// once: unpickling cannot wait on a loop).
auto async_reduce(PyObject* self, PyObject*) -> PyObject* {
  return guard([&] {
    const Address& address = receiver<AsyncTrustStoreObject>(self).value.store->address();
    OwnedRef args = reopening_arguments(address);
    if (address.backend == Address::Backend::Directory) return reduce_value(ClassId::AsyncTrustStore, std::move(args));
    return reduce_by_method(ClassId::AsyncTrustStore, "_reopen", std::move(args));
  });
}

auto async_directory(PyObject* self, void*) -> PyObject* {
  return guard([&] { return directory_of(receiver<AsyncTrustStoreObject>(self).value.store->address()); });
}

PyGetSetDef async_getset[] = {
    {"directory", async_directory, nullptr, "The record directory's path; None for a database store", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef async_methods[] = {
    loop_method<kGet, ops::Get>(),
    loop_method<kFind, ops::Find>(),
    loop_method<kSave, ops::Save>(),
    loop_method<kCreate, ops::Create>(),
    loop_method<kUpdate, ops::Update>(),
    loop_method<kWitness, ops::Witness>(),
    loop_method<kListEntities, ops::ListEntities>(),
    loop_method<kCount, ops::Count>(),
    loop_method<kExists, ops::Exists>(),
    loop_method<kDelete, ops::Delete>(),
    loop_method<kGetByType, ops::GetByType>(),
    loop_method<kDecay, ops::Decay>(),
    noargs_method("check", async_check, kCheckDoc),
    fastcall_method<kConnect, kConnectDoc>(async_connect, METH_CLASS),
    fastcall_method<kOpen, kOpenDoc>(async_open, METH_CLASS),
    fastcall_method<kReopen, kReopenDoc>(async_reopen, METH_CLASS),
    noargs_method("aclose", async_aclose, "aclose($self)\n--\n\nClose the store's database sessions; later calls fail"),
    noargs_method("__aenter__", async_aenter, "__aenter__($self)\n--\n\nThe store itself"),
    fastcall_method<kExit, kExitDoc>(async_aexit),
    reduce_method(async_reduce),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot async_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc<kNew, kClassDoc>.data())},
    {Py_tp_new, reinterpret_cast<void*>(async_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<AsyncTrustStoreObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(async_repr)},
    {Py_tp_methods, async_methods},
    {Py_tp_getset, async_getset},
    {0, nullptr},
};

}  // namespace

const vectorcallfunc async_trust_store_vectorcall = nullptr;

PyType_Spec async_trust_store_spec = {
    .name = "builtins.AsyncTrustStore",
    .basicsize = sizeof(AsyncTrustStoreObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = async_slots,
};

}  // namespace velk::py
