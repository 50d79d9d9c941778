// Fuzz target: the lenient split and the strict parse agree on every text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "entity/trust/entity_id.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view id(reinterpret_cast<const char*>(data), size);
  const auto [type, name] = velk::split_entity_id(id);
  const auto parsed = velk::parse_entity_id(id);
  const bool has_colon = id.find(':') != std::string_view::npos;
  if (parsed.has_value() != has_colon) std::abort();
  if (has_colon && type + ":" + name != id) std::abort();
  if (!has_colon && (!type.empty() || name != id)) std::abort();
  if (parsed && parsed->kind != velk::EntityType::Other && parsed->name != name) std::abort();
  if (parsed && parsed->kind == velk::EntityType::Other && parsed->name != id) std::abort();
  return 0;
}
