// The symbols the SQLite backend's shared object exports: what the opener calls.
#include "storage/opener.h"
#include "storage/sqlite/sqlite_backend.h"

extern "C" [[gnu::visibility("default")]] auto velk_open_backend(velk::Call& cx, const velk::Address& address,
                                                                  velk::Missing missing)
    -> velk::Task<velk::Result<std::unique_ptr<const velk::Backend>>> {
  return velk::lite::SqliteBackend::open(cx, address, missing == velk::Missing::Create);
}

// A file's path holds no secret: shown as given.
extern "C" [[gnu::visibility("default")]] auto velk_show_address(const velk::Address& address) -> std::string {
  return address.where;
}

static_assert(std::is_same_v<decltype(velk_open_backend), velk::OpenBackend>);
static_assert(std::is_same_v<decltype(velk_show_address), velk::ShowAddress>);
