// Connection texts as libpq reads them: their secrets, and how to show one without them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velk::pg {

// The keywords whose values are secrets.
inline constexpr const char* kSecretKeywords[] = {"password", "sslpassword"};

// The secret values the text holds, as libpq parses it (a URI or key=value words); none when
// libpq cannot parse it.
auto secrets_of(const std::string& text) -> std::vector<std::string>;

// True for a URI with an '@' in its database part: a user part whose password holds a '/' that was
// not percent-encoded, which libpq would read as a host, a port and a database name.
auto has_stray_at(std::string_view text) -> bool;

// The text with every secret shown as "***": masked where it stands (a URI's user part and
// parameters, a keyword's value) and kept in the form given when libpq then reads in it what it
// reads in the text but the secrets; else libpq's reading of the text written out again as
// keywords, secrets masked. A text libpq cannot parse is not shown at all.
auto without_secrets(const std::string& text) -> std::string;

}  // namespace velk::pg
