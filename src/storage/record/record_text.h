// The JSON text of a record: the writer's one fixed layout (record_writer.cc) and the tolerant
// reader with its messages (record_reader.cc, on the JSON reader of json_reader.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

#include "entity/trust/entity_trust.h"

namespace velk {

// The pretty-printed record: every key of the field table in its order, no trailing newline.
// Never fails.
auto render_record(const EntityTrust& record) -> std::string;

// Reads a record text (UTF-8). Missing keys take their defaults; a missing "created_at" becomes
// `now`. Serialization with the reader's message, ending in " at line L column C", on failure.
auto parse_record(std::string_view text, Timestamp now) -> Result<EntityTrust>;
// The exact reader alone, which parse_record falls back to; the fast path below must agree with
// it wherever the fast path reads (the record fuzz target checks this).
auto parse_record_exact(std::string_view text, Timestamp now) -> Result<EntityTrust>;
// A text in exactly the writer's layout, read fast; nothing when the text differs from it anywhere.
auto read_written_layout(std::string_view text) -> std::optional<EntityTrust>;

// A finite double in shortest round-trip digits: plain for decimal exponents -5..15, otherwise
// scientific with a signed exponent (1e-6, 1e+16); zero is "0.0".
void append_number(std::string& out, double v);
// The same text written at p (at most 32 bytes); returns its end.
auto write_number(char* p, double v) -> char*;

}  // namespace velk
