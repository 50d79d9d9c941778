// What names a store: its backend and where its records are. An address is data, enough to open
// the store again (unpickling, the command), and the one rule that tells a connection text from a
// directory path lives here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace velk {

struct Address {
  enum class Backend : std::uint8_t { Directory, Postgres, Sqlite };
  Backend backend = Backend::Directory;
  // The directory's path as given, or the connection text.
  std::string where;
  // The table of a database store; empty for a directory.
  std::string table;
  // How long each call may take in all, in seconds (waits for a session, for locks, for the
  // network); none: unbounded.
  std::optional<double> timeout;
  // The most sessions a database store keeps at once; none: kDefaultPoolSize.
  std::optional<std::size_t> pool_size;
};

inline constexpr std::size_t kDefaultPoolSize = 10;

// The table a database store uses when none is named.
inline constexpr std::string_view kDefaultTable = "velk_trust";

// The schemes the store serves ("postgresql://" and the like, "sqlite:"): a text that starts with
// one is a connection text, never a directory path.
auto served_scheme(std::string_view text) noexcept -> std::optional<Address::Backend>;

// A directory's address.
auto directory_address(std::string path) -> Address;
// A connection text's address: a URI of a served scheme, libpq's key=value words, or
// "sqlite:PATH" with its optional "?key=value&..." (a path taken literally up to the '?'). Storage,
// naming the forms taken, for any other text (a directory's path, the empty text, a misspelt
// scheme); the table defaults to kDefaultTable.
auto connection_address(std::string text, std::optional<std::string> table) -> Result<Address>;
// Either: a connection text as connection_address reads it, anything else a directory path (for
// which table means nothing).
auto address_of(std::string text, std::optional<std::string> table) -> Result<Address>;

}  // namespace velk
