// The one symbol the database backend's shared object exports: what the opener calls.
#include "storage/opener.h"
#include "storage/postgres/conninfo.h"
#include "storage/postgres/postgres_backend.h"

extern "C" [[gnu::visibility("default")]] auto velk_open_backend(velk::Call& cx, const velk::Address& address,
                                                                  velk::Missing missing)
    -> velk::Task<velk::Result<std::unique_ptr<const velk::Backend>>> {
  return velk::pg::PostgresBackend::open(cx, address, missing == velk::Missing::Create);
}

extern "C" [[gnu::visibility("default")]] auto velk_show_address(const velk::Address& address) -> std::string {
  return velk::pg::without_secrets(address.where);
}

// The entry points' types are the ones the opener expects.
static_assert(std::is_same_v<decltype(velk_open_backend), velk::OpenBackend>);
static_assert(std::is_same_v<decltype(velk_show_address), velk::ShowAddress>);
