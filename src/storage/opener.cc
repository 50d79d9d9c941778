// The backends by address, and the loading of those that live in shared objects of their own.
#include "storage/opener.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>

#include "storage/file/file_backend.h"

namespace velk {
namespace {

// A backend in a shared object of its own, loaded once and never unloaded (its fork handlers stay
// registered for the process's life).
struct Library {
  explicit Library(const char* file) : file(file) {}
  const char* file;
  std::atomic<OpenBackend*> entry{nullptr};
  std::mutex loading;
};

Library postgres_library{"velk_trust_postgres.so"};

// The folder of the shared object (or program) this function is part of: the core's.
auto own_folder() -> std::string {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&own_folder), &info) == 0 || info.dli_fname == nullptr) return ".";
  const std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

auto entry_of(Library& library) -> Result<OpenBackend*> {
  if (OpenBackend* open = library.entry.load(std::memory_order_acquire)) return open;
  std::lock_guard hold(library.loading);
  if (OpenBackend* open = library.entry.load(std::memory_order_acquire)) return open;
  const std::string path = own_folder() + "/" + library.file;
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    return TrustError::storage("cannot load the database store (" + std::string(why ? why : path) + ")");
  }
  auto* open = reinterpret_cast<OpenBackend*>(::dlsym(handle, kOpenBackendSymbol));
  if (open == nullptr) return TrustError::storage("cannot load the database store: " + path + " has no entry point");
  library.entry.store(open, std::memory_order_release);
  return open;
}

}  // namespace

auto open_store(Call& cx, Address address, Missing missing) -> Task<Result<std::unique_ptr<const Store>>> {
  std::unique_ptr<const Backend> backend;
  switch (address.backend) {
    case Address::Backend::Directory: {
      auto opened = FileBackend::open(std::move(address.where), missing == Missing::Create);
      if (!opened) co_return opened.error();
      backend = std::move(*opened);
      break;
    }
    case Address::Backend::Postgres: {
      auto open = entry_of(postgres_library);
      if (!open) co_return open.error();
      auto opened = co_await (**open)(cx, address, missing);
      if (!opened) co_return opened.error();
      backend = std::move(*opened);
      break;
    }
  }
  co_return std::make_unique<const Store>(std::move(backend));
}

}  // namespace velk
