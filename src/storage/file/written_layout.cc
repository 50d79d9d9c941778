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
    const std::size_t n = expected.size();
    if (s_.size() - i_ < n) return false;
    // Short texts: eight bytes at a time, then byte by byte, beat a call to memcmp.
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
      std::uint64_t a, b;
      std::memcpy(&a, s_.data() + i_ + k, 8);
      std::memcpy(&b, expected.data() + k, 8);
      if (a != b) return false;
    }
    for (; k < n; ++k) {
      if (s_[i_ + k] != expected[k]) return false;
    }
    i_ += n;
    return true;
  }
  auto at_end() const -> bool { return i_ == s_.size(); }

  // A string without escapes or control characters (those go to the exact reader).
  auto value(std::string& out) -> bool {
    if (!literal("\"")) return false;
    const std::size_t start = i_;
    // Eight bytes at a time while none is a quote, a backslash or a control character.
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    const auto zero_byte = [&](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
    while (i_ + 8 <= s_.size()) {
      std::uint64_t w;
      std::memcpy(&w, s_.data() + i_, 8);
      if ((zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\\')) | ((w - kOnes * 0x20) & ~w & kHighs)) != 0) break;
      i_ += 8;
    }
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
    if (short_decimal(out)) return true;
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
    out.reserve(8);
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

  // The writer's own form of years 0000 to 9999, "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]Z";
  // any other form (a sign, a leap second, an offset) is the exact reader's.
  auto value(Timestamp& out) -> bool {
    if (!literal("\"")) return false;
    std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!fixed(year, 4) || !literal("-") || !fixed(month, 2) || !literal("-") || !fixed(day, 2) || !literal("T") ||
        !fixed(hour, 2) || !literal(":") || !fixed(minute, 2) || !literal(":") || !fixed(second, 2)) {
      return false;
    }
    std::int64_t nanos = 0;
    if (literal(".")) {
      const std::size_t start = i_;
      // At most ten digits are taken: a tenth already means the exact reader's form.
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && i_ - start < 10) {
        nanos = nanos * 10 + (s_[i_++] - '0');
      }
      const std::size_t n = i_ - start;
      if (n != 3 && n != 6 && n != 9) return false;
      for (std::size_t k = n; k < 9; ++k) nanos *= 10;
    }
    if (!literal("Z\"")) return false;
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 ||
        second > 59) {
      return false;
    }
    const std::int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    out = {days * 86400 + hour * 3600 + minute * 60 + second, static_cast<std::uint32_t>(nanos)};
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
  // "d.ddd" with at most fifteen digits and no exponent: the digits as an integer and the power of
  // ten are both exact doubles, so one division rounds correctly, as from_chars would.
  auto short_decimal(double& out) -> bool {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13,
                                        1e14, 1e15};
    std::size_t k = i_;
    std::uint64_t digits = 0;
    std::size_t count = 0, fraction = 0;
    auto take = [&] {
      while (k < s_.size() && s_[k] >= '0' && s_[k] <= '9') {
        digits = digits * 10 + static_cast<std::uint64_t>(s_[k++] - '0');
        ++count;
      }
    };
    take();
    if (count != 1 || k >= s_.size() || s_[k] != '.') return false;  // "0.x" or "1.0" forms only
    ++k;
    take();
    fraction = count - 1;
    if (fraction == 0 || count > 15 || (k < s_.size() && (s_[k] == 'e' || s_[k] == 'E'))) return false;
    out = static_cast<double>(digits) / kPow10[fraction];
    i_ = k;
    return true;
  }

  // Exactly `width` digits.
  auto fixed(std::int64_t& out, std::size_t width) -> bool {
    if (s_.size() - i_ < width) return false;
    out = 0;
    for (std::size_t k = 0; k < width; ++k) {
      const char c = s_[i_ + k];
      if (c < '0' || c > '9') return false;
      out = out * 10 + (c - '0');
    }
    i_ += width;
    return true;
  }

  static auto days_in_month(std::int64_t y, std::int64_t m) -> std::int64_t {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
  }

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
