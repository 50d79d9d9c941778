// A table's name in SQL text, for the backends that keep records in tables: an identifier in
// double quotes, any quote in it doubled, so that any name (quotes, semicolons, spaces) is one
// identifier and never SQL.
#pragma once

#include <string>
#include <string_view>

namespace velk {

inline auto quote_identifier(std::string_view name) -> std::string {
  std::string quoted = "\"";
  for (const char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace velk
