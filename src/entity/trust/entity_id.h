// Entity identifiers "type:name": the lenient split, the strict parse and the entity kinds.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "common/error.h"

namespace velk {

enum class EntityType { Mcp, Role, Session, Ref, Lct, Other };

// The canonical text of a kind: "mcp", "role", "session", "ref", "lct", "other".
auto as_str(EntityType kind) noexcept -> std::string_view;

// Type text before the first ':' and the rest; without ':' the type is empty. Never fails.
auto split_entity_id(std::string_view id) -> std::pair<std::string, std::string>;

struct ParsedEntityId {
  EntityType kind;
  std::string name;
};

// Strict form: InvalidId when id holds no ':'. Unknown prefixes give Other with the whole id as name.
auto parse_entity_id(std::string_view id) -> Result<ParsedEntityId>;

// The kind selected by a query text: the text followed by ":_", parsed. Cannot fail.
auto kind_of_query(std::string_view query) -> EntityType;

// True when a record's stored type text is the kind's canonical text, byte for byte.
inline auto matches_kind(std::string_view entity_type, EntityType kind) noexcept -> bool {
  return entity_type == as_str(kind);
}

}  // namespace velk
