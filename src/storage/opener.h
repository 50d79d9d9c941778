// Opening the store an address names. A database backend's code, and the client library it needs,
// live in a shared object of their own beside the core, loaded on the first open, so that a program
// that only uses record directories neither loads nor needs them.
#pragma once

#include <cstdint>
#include <memory>

#include "common/error.h"
#include "common/task.h"
#include "storage/address.h"
#include "storage/backend.h"
#include "storage/call.h"
#include "storage/store.h"

namespace velk {

// What opening does where the store is not there yet: make it, or refuse (a look that must change
// nothing).
enum class Missing : std::uint8_t { Create, Refuse };

// A directory is created with its missing ancestors; a database store connects (up to the
// connection text's connect_timeout, 10 s when it names none) and makes its table and index when
// missing. With Missing::Refuse, Storage "no record directory at '...'" or "no table '...' in the
// database" instead. Storage when a backend's shared object cannot be loaded, the server cannot be
// reached, or the table has another shape; Io when the directory cannot be made.
auto open_store(Call& cx, Address address, Missing missing) -> Task<Result<std::unique_ptr<const Store>>>;

// How people may see an address: a connection text without its secrets (by the backend's own
// reading of it), a directory's path as it is.
auto shown_address(const Address& address) -> std::string;

// The entry points every backend's shared object exports: kOpenBackendSymbol and
// kShowAddressSymbol.
using OpenBackend = auto(Call& cx, const Address& address, Missing missing)
    -> Task<Result<std::unique_ptr<const Backend>>>;
inline constexpr char kOpenBackendSymbol[] = "velk_open_backend";
using ShowAddress = auto(const Address& address) -> std::string;
inline constexpr char kShowAddressSymbol[] = "velk_show_address";

}  // namespace velk
