// Opening a database store. Its code and the PostgreSQL client library it needs live in a second
// shared object beside this one, loaded on the first open, so that a program that only uses record
// directories neither loads nor needs them.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "common/error.h"
#include "storage/store.h"
#include "storage/waiter.h"

namespace velk {

// The default table of a database store.
inline constexpr std::string_view kDefaultTable = "velk_trust";

// Connects (waiting away from the caller, up to the connection text's connect_timeout, 10 s when it
// names none) and creates the table and its index when missing. Storage when the shared object
// cannot be loaded, the server cannot be reached, or the table has another shape.
auto open_database_store(std::string_view url, std::string_view table, Waiter& waiter)
    -> Result<std::unique_ptr<const Store>>;

// The entry point of the shared object: the result goes to *out.
using OpenDatabaseStore = void(std::string_view url, std::string_view table, Waiter& waiter,
                               std::optional<Result<std::unique_ptr<const Store>>>* out);
inline constexpr char kOpenDatabaseStoreSymbol[] = "velk_open_database_store";
inline constexpr char kDatabaseLibraryName[] = "velk_trust_postgres.so";

}  // namespace velk
