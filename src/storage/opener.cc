// The backends by address, and the loading of those that live in shared objects of their own.
#include "storage/opener.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "storage/file/file_backend.h"

namespace velk {
namespace {

// A backend in a shared object of its own, loaded once and never unloaded (its fork handlers stay
// registered for the process's life).
struct Library {
  explicit Library(const char* file) : file(file) {}
  const char* file;
  std::atomic<bool> loaded{false};
  OpenBackend* open = nullptr;
  ShowAddress* show = nullptr;
  std::mutex loading;
};

Library postgres_library{"velk_trust_postgres.so"};
Library sqlite_library{"velk_trust_sqlite.so"};

auto library_of(Address::Backend backend) -> Library& {
  return backend == Address::Backend::Sqlite ? sqlite_library : postgres_library;
}

// The folder of the shared object (or program) this function is part of: the core's.
auto own_folder() -> std::string {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&own_folder), &info) == 0 || info.dli_fname == nullptr) return ".";
  const std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

auto loaded(Library& library) -> Result<Library*> {
  if (library.loaded.load(std::memory_order_acquire)) return &library;
  std::lock_guard hold(library.loading);
  if (library.loaded.load(std::memory_order_acquire)) return &library;
  const std::string path = own_folder() + "/" + library.file;
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const std::string why = ::dlerror() ?: path.c_str();
    // Memory denied to the loader (a mapping, an allocation) is the caller's MemoryError.
    if (why.find("failed to map segment") != std::string::npos || why.find("annot allocate memory") != std::string::npos) {
      throw std::bad_alloc();
    }
    return TrustError::storage("cannot load the database store (" + why + ")");
  }
  library.open = reinterpret_cast<OpenBackend*>(::dlsym(handle, kOpenBackendSymbol));
  library.show = reinterpret_cast<ShowAddress*>(::dlsym(handle, kShowAddressSymbol));
  if (library.open == nullptr || library.show == nullptr) {
    return TrustError::storage("cannot load the database store: " + path + " has no entry point");
  }
  library.loaded.store(true, std::memory_order_release);
  return &library;
}

}  // namespace

auto shown_address(const Address& address) -> std::string {
  // Paths hold no secrets.
  if (address.backend == Address::Backend::Directory || address.backend == Address::Backend::Sqlite) {
    return address.where;
  }
  auto library = loaded(postgres_library);
  if (library) return (*library)->show(address);
  // Without the backend to read it, only what names the scheme is shown.
  const auto scheme = address.where.find("://");
  return scheme == std::string::npos ? "(a connection text)" : address.where.substr(0, scheme + 3) + "...";
}

auto open_store(Call& cx, Address address, Missing missing) -> Task<Result<std::unique_ptr<const Store>>> {
  std::unique_ptr<const Backend> backend;
  switch (address.backend) {
    case Address::Backend::Directory: {
      if (const auto scheme = served_scheme(address.where)) {
        // A connection text given for a path would make a directory tree of it, password and all.
        const std::string shown = shown_address(Address{*scheme, address.where, std::string(kDefaultTable), {}, {}});
        co_return TrustError::storage("'" + shown + "' is a connection text, not a record directory's path: open it "
                                      "with TrustStore.connect()");
      }
      auto opened = FileBackend::open(std::move(address.where), missing == Missing::Create);
      if (!opened) co_return opened.error();
      backend = std::move(*opened);
      break;
    }
    case Address::Backend::Postgres:
    case Address::Backend::Sqlite: {
      auto library = loaded(library_of(address.backend));
      if (!library) co_return library.error();
      auto opened = co_await (*library)->open(cx, address, missing);
      if (!opened) co_return opened.error();
      backend = std::move(*opened);
      break;
    }
  }
  co_return std::make_unique<const Store>(std::move(backend));
}

}  // namespace velk
