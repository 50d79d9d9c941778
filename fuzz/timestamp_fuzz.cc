// Fuzz target: the timestamp reader either fails with one of its fixed messages or reads a time
// whose written form reads back to the same time.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "storage/record/timestamp_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = velk::parse_timestamp(text);
  if (!parsed) {
    static constexpr std::string_view kMessages[] = {
        "input is out of range",        "no possible date and time matching input",
        "input is not enough for unique date and time", "input contains invalid characters",
        "premature end of input",       "trailing input"};
    for (const auto known : kMessages) {
      if (parsed.error().detail() == known) return 0;
    }
    std::abort();
  }
  const velk::Timestamp t = *parsed;
  std::string written;
  velk::append_timestamp(written, t);
  const auto again = velk::parse_timestamp(written);
  if (!again || !(*again == t)) std::abort();
  return 0;
}
