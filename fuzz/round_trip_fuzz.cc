// Fuzz target: whatever record the writer is given, its text reads back, and from then on reading
// and writing give the same bytes. Reading clamps tensor values and reads null (a non-finite value)
// as 0.5, so the first written text is reproduced exactly only when every value lies in [0, 1].
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entity/trust/record_fields.h"

#include "storage/record/record_text.h"
#include "storage/record/timestamp_text.h"

namespace {

// Takes values off the front of the fuzzer's bytes; zeros once they run out.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
  template <typename T>
  auto take() -> T {
    T v{};
    const std::size_t k = n_ < sizeof v ? n_ : sizeof v;
    std::memcpy(&v, p_, k);
    p_ += k;
    n_ -= k;
    return v;
  }
  auto text() -> std::string {
    const std::size_t len = take<std::uint8_t>() % 24;
    const std::size_t k = n_ < len ? n_ : len;
    std::string s(reinterpret_cast<const char*>(p_), k);
    p_ += k;
    n_ -= k;
    return s;
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
};

// Any instant the reader can represent: years -262144 to 262143.
auto instant(Bytes& in) -> velk::Timestamp {
  const std::int64_t first = velk::days_from_civil(-262144, 1, 1) * 86400;
  const std::int64_t last = velk::days_from_civil(262143, 12, 31) * 86400 + 86399;
  const auto span = static_cast<std::uint64_t>(last - first) + 1;
  return {first + static_cast<std::int64_t>(in.take<std::uint64_t>() % span), in.take<std::uint32_t>() % 1'000'000'000};
}

auto parse(const std::string& text) -> velk::EntityTrust {
  auto r = velk::parse_record(text, velk::Timestamp{1'767'225'600, 0});
  if (!r) std::abort();
  return *std::move(r);
}

// One member of each kind, filled from the fuzzer's bytes: the record is filled through the field
// table, so a new field is fuzzed as soon as it has a row (and a kind without an overload here fails
// to compile).
struct Filler {
  Bytes& in;
  bool in_unit = true;

  void operator()(std::string& v) { v = in.text(); }
  void operator()(double& v) {
    // Mostly values of the unit interval, sometimes any bit pattern.
    const auto bits = in.take<std::uint64_t>();
    if (bits & 1) std::memcpy(&v, &bits, sizeof bits);
    else v = static_cast<double>(bits >> 11) * 0x1p-53;
    in_unit = in_unit && v >= 0.0 && v <= 1.0;
  }
  void operator()(std::vector<std::string>& list) {
    for (int k = in.take<std::uint8_t>() % 4; k > 0; --k) list.push_back(in.text());
  }
  void operator()(std::uint64_t& v) { v = in.take<std::uint64_t>(); }
  void operator()(std::optional<velk::Timestamp>& v) {
    if (in.take<std::uint8_t>() & 1) v = instant(in);
  }
  void operator()(velk::Timestamp& v) { v = instant(in); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  velk::EntityTrust r;
  Filler fill{in};
  velk::for_each_field(r, [&](std::string_view, auto& member, auto) { fill(member); });

  const std::string first = velk::render_record(r);
  const std::string second = velk::render_record(parse(first));
  if (fill.in_unit && second != first) std::abort();
  if (velk::render_record(parse(second)) != second) std::abort();
  return 0;
}
