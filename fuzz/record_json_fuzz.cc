// Fuzz target: any text either fails with a positioned message or reads to a record whose written
// form reads back to the same written form.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "storage/file/record_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const velk::Timestamp now{1'767'225'600, 0};
  auto first = velk::parse_record(text, now);
  if (auto* message = std::get_if<std::string>(&first)) {
    if (message->find(" at line ") == std::string::npos) std::abort();
    return 0;
  }
  const std::string written = velk::render_record(std::get<velk::EntityTrust>(first));
  auto second = velk::parse_record(written, now);
  if (!std::holds_alternative<velk::EntityTrust>(second)) std::abort();
  if (velk::render_record(std::get<velk::EntityTrust>(second)) != written) std::abort();
  return 0;
}
