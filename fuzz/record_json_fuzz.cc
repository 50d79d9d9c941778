// Fuzz target: any text either fails with a message placed inside the text (" at line L column C")
// or reads to a record whose written form reads back to the same written form; the reader's fast
// path for the writer's own layout reads what the exact reader reads.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "storage/record/record_text.h"

namespace {

// True when the message ends in " at line L column C" and that position lies within the text.
auto placed_inside(const std::string& message, std::string_view text) -> bool {
  const auto at = message.rfind(" at line ");
  if (at == std::string::npos) return false;
  unsigned long line = 0, column = 0;
  char tail = 0;
  if (std::sscanf(message.c_str() + at, " at line %lu column %lu%c", &line, &column, &tail) != 2) return false;
  std::size_t start = 0;
  for (unsigned long k = 1; k < line; ++k) {
    start = text.find('\n', start);
    if (start == std::string_view::npos) return false;
    ++start;
  }
  const auto end = text.find('\n', start);
  const std::size_t length = (end == std::string_view::npos ? text.size() : end) - start;
  return line >= 1 && column <= length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const velk::Timestamp now{1'767'225'600, 0};
  const auto first = velk::parse_record(text, now);
  // The fast path and the exact reader agree wherever the fast path reads.
  if (velk::read_written_layout(text)) {
    const auto exact = velk::parse_record_exact(text, now);
    if (!exact || velk::render_record(*exact) != velk::render_record(*first)) std::abort();
  }
  if (!first) {
    if (!placed_inside(first.error().detail(), text)) std::abort();
    return 0;
  }
  const std::string written = velk::render_record(*first);
  const auto second = velk::parse_record(written, now);
  if (!second || velk::render_record(*second) != written) std::abort();
  return 0;
}
