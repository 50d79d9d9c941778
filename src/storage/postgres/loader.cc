// Finds and loads the database store's shared object, once per process.
#include "storage/postgres/loader.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>

namespace velk {
namespace {

// The folder of the shared object (or program) this function is part of.
auto own_folder() -> std::string {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&own_folder), &info) == 0 || info.dli_fname == nullptr) return ".";
  const std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

auto open_database_store(std::string_view url, std::string_view table, Waiter& waiter)
    -> Result<std::unique_ptr<const Store>> {
  // Loaded once and never unloaded: its fork handlers stay registered for the process's life.
  static std::atomic<OpenDatabaseStore*> entry{nullptr};
  static std::mutex loading;
  OpenDatabaseStore* open = entry.load(std::memory_order_acquire);
  if (open == nullptr) {
    std::lock_guard hold(loading);
    open = entry.load(std::memory_order_acquire);
    if (open == nullptr) {
      const std::string path = own_folder() + "/" + kDatabaseLibraryName;
      void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (library == nullptr) {
        const char* why = ::dlerror();
        return TrustError::storage("cannot load the database store (" + std::string(why ? why : path) + ")");
      }
      open = reinterpret_cast<OpenDatabaseStore*>(::dlsym(library, kOpenDatabaseStoreSymbol));
      if (open == nullptr) return TrustError::storage("cannot load the database store: " + path + " has no entry point");
      entry.store(open, std::memory_order_release);
    }
  }
  std::optional<Result<std::unique_ptr<const Store>>> out;
  open(url, table, waiter, &out);
  return std::move(*out);
}

}  // namespace velk
