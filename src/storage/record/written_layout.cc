// The fast path of the record reader: a text in exactly the writer's layout (every record this
// library saved) is read in one pass without the general reader's bookkeeping. At the first byte
// that differs from that layout it gives up, and the exact reader reads the text from the start,
// so every message and position stays the exact reader's.
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "entity/trust/record_fields.h"
#include "storage/record/record_text.h"
#include "storage/record/timestamp_text.h"

namespace velk {
namespace {

// The word-at-a-time scans read the lowest address first from the lowest byte.
static_assert(std::endian::native == std::endian::little);

class LayoutReader {
 public:
  explicit LayoutReader(std::string_view text) : s_(text) {}

  auto literal(std::string_view expected) -> bool {
    const std::size_t n = expected.size();
    if (s_.size() - i_ < n) return false;
    // Short texts: eight bytes at a time, the last eight overlapping, beat a call to memcmp.
    if (n >= 8) {
      for (std::size_t k = 0; k + 8 < n; k += 8) {
        if (word(s_.data() + i_ + k) != word(expected.data() + k)) return false;
      }
      if (word(s_.data() + i_ + n - 8) != word(expected.data() + n - 8)) return false;
    } else {
      for (std::size_t k = 0; k < n; ++k) {
        if (s_[i_ + k] != expected[k]) return false;
      }
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
      const std::uint64_t w = word(s_.data() + i_);
      const std::uint64_t hits = zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\\')) | ((w - kOnes * 0x20) & ~w & kHighs);
      if (hits != 0) {
        // The lowest flagged byte is exact (borrows only run upward); it must be the closing quote.
        i_ += static_cast<std::size_t>(std::countr_zero(hits)) / 8;
        break;
      }
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

  // Up to nineteen digits cannot overflow; longer counters are the exact reader's.
  auto value(std::uint64_t& out) -> bool {
    const std::size_t start = i_;
    std::uint64_t n = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && i_ - start < 20) n = n * 10 + (s_[i_++] - '0');
    const std::size_t count = i_ - start;
    if (count == 0 || count > 19 || (s_[start] == '0' && count > 1)) return false;
    out = n;
    return true;
  }

  // The writer's own form of years 0000 to 9999, "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]Z";
  // any other form (a sign, a leap second, an offset) is the exact reader's.
  auto value(Timestamp& out) -> bool {
    // "\"YYYY-MM-DDTHH:MM:SS": twenty bytes whose separators stand at fixed places.
    static constexpr std::string_view kShape = "\"0000-00-00T00:00:00";
    if (s_.size() - i_ < kShape.size() + 2) return false;  // and at least `Z"` after it
    const char* p = s_.data() + i_;
    for (std::size_t k = 0; k < kShape.size(); ++k) {
      const bool digit = p[k] >= '0' && p[k] <= '9';
      if (kShape[k] == '0' ? !digit : p[k] != kShape[k]) return false;
    }
    const auto two = [&](std::size_t at) -> std::int64_t { return (p[at] - '0') * 10 + (p[at + 1] - '0'); };
    const std::int64_t year = two(1) * 100 + two(3), month = two(6), day = two(9);
    const std::int64_t hour = two(12), minute = two(15), second = two(18);
    i_ += kShape.size();
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
  // "d.ddd" with one integer digit and one to sixteen fraction digits, no exponent, whose digits
  // read as an integer of at most 2**53: that integer and the power of ten are both exact doubles,
  // so one division rounds correctly, as from_chars would. The fraction is read a word at a time:
  // its length comes from a mask, not from a branch per digit. A text that ends within nineteen
  // bytes goes the general way.
  auto short_decimal(double& out) -> bool {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13,
                                        1e14, 1e15, 1e16};
    if (s_.size() - i_ < 19) return false;
    const char* p = s_.data() + i_;
    if (p[0] < '0' || p[0] > '9' || p[1] != '.') return false;
    const std::uint64_t first = word(p + 2);
    std::size_t fraction = digit_run(first);
    if (fraction == 0) return false;
    std::uint64_t digits = digits_value(first, fraction);
    if (fraction == 8) {
      const std::uint64_t second = word(p + 10);
      const std::size_t more = digit_run(second);
      if (more == 8 && p[18] >= '0' && p[18] <= '9') return false;  // more than sixteen fraction digits
      digits = digits * static_cast<std::uint64_t>(kPow10[more]) + digits_value(second, more);
      fraction += more;
    }
    const char next = p[2 + fraction];
    if (next == 'e' || next == 'E') return false;
    digits += static_cast<std::uint64_t>(p[0] - '0') * static_cast<std::uint64_t>(kPow10[fraction]);
    if (digits > (std::uint64_t{1} << 53)) return false;
    out = static_cast<double>(digits) / kPow10[fraction];
    i_ += 2 + fraction;
    return true;
  }

  // How many of the word's bytes, lowest first, are decimal digits (0 to 8).
  static auto digit_run(std::uint64_t w) -> std::size_t {
    constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0ull, kSevenBits = 0x7F7F7F7F7F7F7F7Full;
    // 0x33 in each byte that is a digit: high nibble 3, and still 3 after adding 6 (low nibble <= 9).
    const std::uint64_t shape = (w & kHighNibbles) | (((w + 0x0606060606060606ull) & kHighNibbles) >> 4);
    const std::uint64_t other = shape ^ 0x3333333333333333ull;  // zero exactly in the digit bytes
    const std::uint64_t flags = (((other & kSevenBits) + kSevenBits) | other) & ~kSevenBits;
    return flags == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(flags)) / 8;
  }

  // The value of the word's first n digit bytes (n from 0 to 8): moved to the top, they read as
  // eight digits with leading zeros, combined pairwise by multiplication.
  static auto digits_value(std::uint64_t w, std::size_t n) -> std::uint64_t {
    if (n == 0) return 0;
    std::uint64_t v = (w - 0x3030303030303030ull) << (8 * (8 - n));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFull) * 0x000F424000000064ull) +
         (((v >> 16) & 0x000000FF000000FFull) * 0x0000271000000001ull)) >> 32;
    return static_cast<std::uint32_t>(v);
  }

  // One or more digits; with `integer`, no leading zero before another digit.
  auto digits(bool integer) -> bool {
    const std::size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    if (i_ == start) return false;
    return !integer || s_[start] != '0' || i_ - start == 1;
  }

  static auto word(const char* p) -> std::uint64_t {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// What stands before each field's value: "{" or ",", the line break and indent, the quoted key,
// ": ". One comparison per field.
const auto kFieldHeads = [] {
  std::array<std::string, kFieldCount> heads;
  std::size_t k = 0;
  const EntityTrust blank;
  for_each_field(blank, [&](std::string_view key, const auto&, Absent) {
    heads[k] = std::string(k == 0 ? "{" : ",") + "\n  \"" + std::string(key) + "\": ";
    ++k;
  });
  return heads;
}();

}  // namespace

auto read_written_layout(std::string_view text) -> std::optional<EntityTrust> {
  LayoutReader in(text);
  EntityTrust r;
  bool ok = true;
  std::size_t k = 0;
  for_each_field(r, [&](std::string_view, auto& member, Absent) {
    ok = ok && in.literal(kFieldHeads[k++]) && in.value(member);
  });
  ok = ok && in.literal("\n}");
  if (!ok || !in.at_end()) return std::nullopt;
  // As the exact reader does when all three current keys of a tensor are present.
  r.t3 = T3Tensor::clamped(r.t3.talent, r.t3.training, r.t3.temperament);
  r.v3 = V3Tensor::clamped(r.v3.valuation, r.v3.veracity, r.v3.validity);
  return r;
}

}  // namespace velk
