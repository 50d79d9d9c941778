// The TrustStore class: a record directory or a database table per object.
#include <string>

#include "bindings/python/blocking.h"
#include "common/thread_storage.h"
#include "storage/file/file_backend.h"
#include "storage/opener.h"

namespace velk::py {
namespace {

constexpr Param kNewParams[] = {{"path", "None"}};
constexpr Signature kNew{"TrustStore.__new__()", kNewParams};
constexpr char kClassDoc[] = "Python-exposed TrustStore (wraps FileStore or InMemoryStore)";
constexpr Signature kGet{"TrustStore.get()", ops::Get::kParams};
constexpr Signature kFind{"TrustStore.find()", ops::Find::kParams};
constexpr Signature kExists{"TrustStore.exists()", ops::Exists::kParams};
constexpr Signature kDelete{"TrustStore.delete()", ops::Delete::kParams};
constexpr Signature kSave{"TrustStore.save()", ops::Save::kParams};
constexpr Signature kCreate{"TrustStore.create()", ops::Create::kParams};
constexpr Signature kUpdate{"TrustStore.update()", ops::Update::kParams};
constexpr Signature kWitness{"TrustStore.witness()", ops::Witness::kParams};
constexpr Signature kDecay{"TrustStore.decay()", ops::Decay::kParams};
constexpr Signature kListEntities{"TrustStore.list_entities()", ops::ListEntities::kParams};
constexpr Signature kCount{"TrustStore.count()", ops::Count::kParams};
constexpr Signature kGetByType{"TrustStore.get_by_type()", ops::GetByType::kParams};
constexpr Param kConnectParams[] = {{"url"}, {"table", "'velk_trust'"}, {"timeout", "None"}, {"pool_size", "None"}};
constexpr Signature kConnect{"TrustStore.connect()", kConnectParams};
constexpr char kConnectDoc[] = "Open a store on a PostgreSQL table (libpq connection URI or keyword string)";
constexpr Param kOpenParams[] = {
    {"address"}, {"table", "None"}, {"create", "True"}, {"timeout", "None"}, {"pool_size", "None"}};
constexpr Signature kOpen{"TrustStore.open()", kOpenParams};
constexpr char kOpenDoc[] =
    "Open the store an address names: a database's connection text (as connect takes), else a record directory; "
    "with create=False, refuse one that is not there";

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

// A new TrustStore object on the store an address names.
auto new_store(PyTypeObject* type, Address address, Missing missing = Missing::Create) -> PyObject* {
  Runner runner(address);
  auto opened = runner(open_store(runner.cx, std::move(address), missing));
  return new_instance<TrustStoreObject>(type, std::move(opened));
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

// An operation run to its end on the calling thread.
template <const Signature& Sig, typename Op>
auto run_blocking(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
  return store_method(Sig, self, args, nargs, kwnames, [](BoundArgs& a, const Store& s, Runner& r) {
    const Op op(a, Face::Blocking);
    if constexpr (std::is_void_v<OpResult<Op>>) {
      r(op.start(s, r.cx));
      return Op::value();
    } else {
      return Op::value(r(op.start(s, r.cx)));
    }
  });
}

template <const Signature& Sig, typename Op>
auto blocking_method() -> PyMethodDef {
  return fastcall_method<Sig, Op::kSummary>(run_blocking<Sig, Op>);
}

auto store_check(PyObject* self, PyObject*) -> PyObject* {
  if (!ready_thread_storage()) return PyErr_NoMemory();
  return guard([&] {
    const Store& store = *receiver<TrustStoreObject>(self).value;
    Runner runner(store);
    return ops::Check::value(runner(ops::Check().start(store, runner.cx)));
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
    OwnedRef args = reopening_arguments(address);
    if (address.backend == Address::Backend::Directory) return reduce_value(ClassId::TrustStore, std::move(args));
    return reduce_by_method(ClassId::TrustStore, "connect", std::move(args));
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

auto store_directory(PyObject* self, void*) -> PyObject* {
  return guard([&] { return directory_of(receiver<TrustStoreObject>(self).value->address()); });
}

PyGetSetDef store_getset[] = {
    {"directory", store_directory, nullptr, "The record directory's path; None for a database store", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef store_methods[] = {
    blocking_method<kGet, ops::Get>(),
    blocking_method<kFind, ops::Find>(),
    blocking_method<kSave, ops::Save>(),
    blocking_method<kCreate, ops::Create>(),
    blocking_method<kUpdate, ops::Update>(),
    blocking_method<kWitness, ops::Witness>(),
    blocking_method<kListEntities, ops::ListEntities>(),
    blocking_method<kCount, ops::Count>(),
    blocking_method<kExists, ops::Exists>(),
    blocking_method<kDelete, ops::Delete>(),
    blocking_method<kGetByType, ops::GetByType>(),
    blocking_method<kDecay, ops::Decay>(),
    fastcall_method<kConnect, kConnectDoc>(store_connect, METH_CLASS),
    fastcall_method<kOpen, kOpenDoc>(store_open, METH_CLASS),
    noargs_method("check", store_check, kCheckDoc),
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
