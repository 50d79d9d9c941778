// The store operations' shared parts: the Python values of their results, the notes of a stopped
// call, the options of connect and open.
#include "bindings/python/store_ops.h"

namespace velk::py {

auto new_record(EntityTrust&& r) -> PyObject* { return make_result<EntityTrustObject>(std::move(r)); }

auto new_record_list(std::vector<EntityTrust>&& records) -> PyObject* {
  OwnedRef list = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(records.size())));
  for (std::size_t k = 0; k < records.size(); ++k) {
    list_set(list.get(), static_cast<Py_ssize_t>(k), new_record(std::move(records[k])));
  }
  return list.release();
}

auto new_pair(std::pair<EntityTrust, EntityTrust>&& pair) -> PyObject* {
  OwnedRef first = OwnedRef::steal(new_record(std::move(pair.first)));
  OwnedRef second = OwnedRef::steal(new_record(std::move(pair.second)));
  return OwnedRef::checked(PyTuple_Pack(2, first.get(), second.get())).release();
}

namespace {

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

}  // namespace

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

auto new_findings(std::vector<Finding>&& findings) -> PyObject* {
  OwnedRef list = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(findings.size())));
  for (std::size_t k = 0; k < findings.size(); ++k) {
    list_set(list.get(), static_cast<Py_ssize_t>(k), new_finding(std::move(findings[k])));
  }
  return list.release();
}

auto outcome_note(Outcome outcome) -> const char* {
  switch (outcome) {
    case Outcome::Made: return "velk_trust: the call had finished before the interruption; its change, if any, was made";
    case Outcome::Unknown: return "velk_trust: the change may or may not have been made (its commit's answer did not come)";
    case Outcome::None: break;
  }
  return "velk_trust: nothing was changed";
}

void note_outcome(const char* note) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  if (PyObject* added = PyObject_CallMethod(raised, "add_note", "s", note)) {
    Py_DECREF(added);
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(raised);
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

auto reopening_arguments(const Address& address) -> OwnedRef {
  OwnedRef where = OwnedRef::steal(new_text(address.where));
  if (address.backend == Address::Backend::Directory) return OwnedRef::checked(PyTuple_Pack(1, where.get()));
  OwnedRef table = OwnedRef::steal(new_text(address.table));
  // Without options, as release 0.2.0 pickled a database store.
  if (!address.timeout && !address.pool_size) return OwnedRef::checked(PyTuple_Pack(2, where.get(), table.get()));
  OwnedRef timeout = address.timeout ? OwnedRef::steal(new_float(*address.timeout)) : OwnedRef::borrow(Py_None);
  OwnedRef pool_size =
      address.pool_size ? OwnedRef::checked(PyLong_FromSize_t(*address.pool_size)) : OwnedRef::borrow(Py_None);
  return OwnedRef::checked(PyTuple_Pack(4, where.get(), table.get(), timeout.get(), pool_size.get()));
}

auto directory_of(const Address& address) -> PyObject* {
  if (address.backend != Address::Backend::Directory) return none();
  return OwnedRef::checked(
             PyUnicode_DecodeFSDefaultAndSize(address.where.data(), static_cast<Py_ssize_t>(address.where.size())))
      .release();
}

}  // namespace velk::py
