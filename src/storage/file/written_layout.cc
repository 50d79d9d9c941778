// The fast path of the record reader: a text in exactly the writer's layout (every record this
// library saved) is read in one pass without the general reader's bookkeeping. At the first byte
// that differs from that layout it gives up, and the exact reader reads the text from the start,
// so every message and position stays the exact reader's.
#include <charconv>
#include <cmath>
#include <cstring>

#include "entity/trust/record_fields.h"
#include "storage/file/record_json.h"
#include "storage/file/timestamp_text.h"

namespace velk {
namespace {

class LayoutReader {
 public:
  explicit LayoutReader(std::string_view text) : s_(text) {}

  auto literal(std::string_view expected) -> bool {
    if (s_.substr(i_, expected.size()) != expected) return false;
    i_ += expected.size();
    return true;
  }
  auto at_end() const -> bool { return i_ == s_.size(); }

  // A string without escapes or control characters (those go to the exact reader).
  auto value(std::string& out) -> bool {
    if (!literal("\"")) return false;
    const std::size_t start = i_;
    while (i_ < s_.size() && s_[i_] != '"') {
      const auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '\\' || c < 0x20) return false;
      ++i_;
    }
    if (i_ == s_.size()) return false;
    out.assign(s_.data() + start, i_ - start);
    ++i_;
    return true;
  }

  // A finite number in strict JSON form; null (a non-finite value) and anything unusual give up.
  auto value(double& out) -> bool {
    const std::size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    if (!digits(true)) return false;
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (!digits(false)) return false;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      const std::size_t exponent = i_;
      if (!digits(false) || i_ - exponent > 4) return false;
    }
    const auto res = std::from_chars(s_.data() + start, s_.data() + i_, out);
    return res.ec == std::errc() && res.ptr == s_.data() + i_ && std::isfinite(out);
  }

  auto value(std::vector<std::string>& out) -> bool {
    if (literal("[]")) return true;
    if (!literal("[\n    ")) return false;
    for (;;) {
      if (!value(out.emplace_back())) return false;
      if (literal("\n  ]")) return true;
      if (!literal(",\n    ")) return false;
    }
  }

  auto value(std::uint64_t& out) -> bool {
    const std::size_t start = i_;
    if (!digits(true)) return false;
    const auto res = std::from_chars(s_.data() + start, s_.data() + i_, out);
    return res.ec == std::errc() && res.ptr == s_.data() + i_;
  }

  auto value(Timestamp& out) -> bool {
    std::string text;
    if (!value(text)) return false;
    auto parsed = parse_timestamp(text);
    if (!parsed) return false;
    out = *parsed;
    return true;
  }

  auto value(std::optional<Timestamp>& out) -> bool {
    if (literal("null")) {
      out.reset();
      return true;
    }
    return value(out.emplace());
  }

 private:
  // One or more digits; with `integer`, no leading zero before another digit.
  auto digits(bool integer) -> bool {
    const std::size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    if (i_ == start) return false;
    return !integer || s_[start] != '0' || i_ - start == 1;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

auto read_written_layout(std::string_view text) -> std::optional<EntityTrust> {
  LayoutReader in(text);
  EntityTrust r;
  bool ok = in.literal("{");
  for_each_field(r, [&](std::string_view key, auto& member, Absent) {
    ok = ok && in.literal("\n  \"") && in.literal(key) && in.literal("\": ") && in.value(member);
    ok = ok && (in.literal(",") || in.literal("\n}"));
  });
  if (!ok || !in.at_end()) return std::nullopt;
  // As the exact reader does when all three current keys of a tensor are present.
  r.t3 = T3Tensor::clamped(r.t3.talent, r.t3.training, r.t3.temperament);
  r.v3 = V3Tensor::clamped(r.v3.valuation, r.v3.veracity, r.v3.validity);
  return r;
}

}  // namespace velk
