// Addresses of stores: which texts name a database, and which a directory.
#include "storage/address.h"

#include <cctype>

namespace velk {
namespace {

// libpq's key=value words: a keyword, optional blanks, '='.
auto is_keyword_text(std::string_view text) noexcept -> bool {
  std::size_t k = text.find_first_not_of(" \t\n\r\f\v");
  if (k == std::string_view::npos) return false;
  const std::size_t start = k;
  while (k < text.size() && (std::isalnum(static_cast<unsigned char>(text[k])) || text[k] == '_')) ++k;
  if (k == start) return false;
  k = text.find_first_not_of(" \t\n\r\f\v", k);
  return k != std::string_view::npos && text[k] == '=';
}

}  // namespace

auto served_scheme(std::string_view text) noexcept -> std::optional<Address::Backend> {
  if (text.starts_with("postgresql://") || text.starts_with("postgres://")) return Address::Backend::Postgres;
  if (text.starts_with("sqlite:")) return Address::Backend::Sqlite;
  return std::nullopt;
}

auto directory_address(std::string path) -> Address { return {Address::Backend::Directory, std::move(path), {}, {}, {}}; }

auto connection_address(std::string text, std::optional<std::string> table) -> Result<Address> {
  const auto scheme = served_scheme(text);
  if (!scheme && !is_keyword_text(text)) {
    // Not shown: a misspelt URI may still hold a password.
    return TrustError::storage(
        "not a connection text: TrustStore.connect takes a URI (postgresql://... or postgres://...), libpq's "
        "key=value words (host=... dbname=...) or sqlite:PATH; a record directory opens with TrustStore(path)");
  }
  return Address{scheme.value_or(Address::Backend::Postgres), std::move(text),
                 table ? std::move(*table) : std::string(kDefaultTable), {}, {}};
}

auto address_of(std::string text, std::optional<std::string> table) -> Result<Address> {
  if (served_scheme(text) || is_keyword_text(text)) return connection_address(std::move(text), std::move(table));
  return directory_address(std::move(text));
}

}  // namespace velk
