// The JSON text of a record: the writer's one fixed layout and the tolerant reader with its messages.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "entity/trust/entity_trust.h"

namespace velk {

// The pretty-printed record: sixteen keys in fixed order, no trailing newline. Never fails.
auto render_record(const EntityTrust& record) -> std::string;

// Reads a record text (UTF-8). Missing keys take their defaults; a missing "created_at" becomes
// `now`. On failure the result is the reader's message ending in " at line L column C".
auto parse_record(std::string_view text, Timestamp now) -> std::variant<EntityTrust, std::string>;

// A finite double in shortest round-trip digits: plain for decimal exponents -5..15, otherwise
// scientific with a signed exponent (1e-6, 1e+16); zero is "0.0".
void append_number(std::string& out, double v);

}  // namespace velk
