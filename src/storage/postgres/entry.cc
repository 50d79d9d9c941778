// The one symbol the database store's shared object exports: what the loader calls.
#include "storage/postgres/loader.h"
#include "storage/postgres/postgres_store.h"

extern "C" [[gnu::visibility("default")]] void velk_open_database_store(
    std::string_view url, std::string_view table, velk::Waiter& waiter,
    std::optional<velk::Result<std::unique_ptr<const velk::Store>>>* out) {
  out->emplace(velk::pg::PostgresStore::open(std::string(url), std::string(table), waiter));
}

// The entry point's type is the one the loader expects.
static_assert(std::is_same_v<decltype(velk_open_database_store), velk::OpenDatabaseStore>);
