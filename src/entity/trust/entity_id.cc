// Identifier rules. Identifiers are bytes: nothing is trimmed or case-folded.
#include "entity/trust/entity_id.h"

#include <array>

namespace velk {
namespace {

constexpr std::array<std::string_view, 6> kKindTexts = {"mcp", "role", "session", "ref", "lct", "other"};

}  // namespace

auto as_str(EntityType kind) noexcept -> std::string_view { return kKindTexts[static_cast<int>(kind)]; }

auto split_entity_id(std::string_view id) -> std::pair<std::string, std::string> {
  const auto p = id.find(':');
  if (p == std::string_view::npos) return {std::string(), std::string(id)};
  return {std::string(id.substr(0, p)), std::string(id.substr(p + 1))};
}

auto parse_entity_id(std::string_view id) -> Result<ParsedEntityId> {
  const auto p = id.find(':');
  if (p == std::string_view::npos) {
    return TrustError::invalid_id("Expected format 'type:name', got '" + std::string(id) + "'");
  }
  const auto prefix = id.substr(0, p);
  // "other" is deliberately not in this loop: it maps to Other with the whole text as name.
  for (int k = 0; k < 5; ++k) {
    if (prefix == kKindTexts[k]) return ParsedEntityId{static_cast<EntityType>(k), std::string(id.substr(p + 1))};
  }
  return ParsedEntityId{EntityType::Other, std::string(id)};
}

auto kind_of_query(std::string_view query) -> EntityType {
  return parse_entity_id(std::string(query) + ":_")->kind;
}

}  // namespace velk
