// Timestamp text. The reader checks the syntax of the whole text first, then calendar ranges.
#include "storage/record/timestamp_text.h"

#include <cstdint>
#include <optional>
#include <variant>

namespace velk {
namespace {

constexpr std::string_view kOutOfRange = "input is out of range";
constexpr std::string_view kImpossible = "no possible date and time matching input";
constexpr std::string_view kNotEnough = "input is not enough for unique date and time";
constexpr std::string_view kInvalid = "input contains invalid characters";
constexpr std::string_view kTooShort = "premature end of input";
constexpr std::string_view kTooLong = "trailing input";

// Representable calendar years.
constexpr std::int64_t kMinYear = -262144;
constexpr std::int64_t kMaxYear = 262143;

// Writes v in exactly `width` digits (v < 10^width), or more when the width is a minimum.
auto write_digits(char* p, std::uint64_t v, int width) -> char* {
  char buf[24];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n < width) buf[n++] = '0';
  for (int i = 0; i < n; ++i) p[i] = buf[n - 1 - i];
  return p + n;
}

// Two digits of v < 100.
auto write_two(char* p, std::uint64_t v) -> char* {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
  return p + 2;
}

// Length in bytes of a Unicode white-space character at s[i], or 0.
auto whitespace_len(std::string_view s, std::size_t i) -> std::size_t {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  auto at = [&](std::size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
  if (c == 0xC2 && (at(1) == 0x85 || at(1) == 0xA0)) return 2;
  if (c == 0xE1 && at(1) == 0x9A && at(2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && at(1) == 0x80) {
    const auto b = at(2);
    if ((b >= 0x80 && b <= 0x8A) || b == 0xA8 || b == 0xA9 || b == 0xAF) return 3;
  }
  if (c == 0xE2 && at(1) == 0x81 && at(2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && at(1) == 0x80 && at(2) == 0x80) return 3;  // U+3000
  return 0;
}

class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}

  auto empty() const -> bool { return i_ >= s_.size(); }
  auto peek() const -> char { return s_[i_]; }
  auto rest() const -> std::string_view { return s_.substr(i_); }
  void skip(std::size_t n) { i_ += n; }

  void skip_ws() {
    while (!empty()) {
      const auto n = whitespace_len(s_, i_);
      if (n == 0) return;
      i_ += n;
    }
  }

  // One to max_digits ASCII digits. `overflow` is set instead of failing, so that range errors
  // come after the syntax check.
  auto number(std::size_t max_digits, std::int64_t& value, bool& overflow) -> std::optional<std::string_view> {
    if (empty()) return kTooShort;
    if (peek() < '0' || peek() > '9') return kInvalid;
    value = 0;
    for (std::size_t k = 0; k < max_digits && !empty() && peek() >= '0' && peek() <= '9'; ++k) {
      const int d = peek() - '0';
      if (value > (INT64_MAX - d) / 10) overflow = true;
      else value = value * 10 + d;
      ++i_;
    }
    return std::nullopt;
  }

  auto literal(char c) -> std::optional<std::string_view> {
    if (empty()) return kTooShort;
    if (peek() != c) return kInvalid;
    ++i_;
    return std::nullopt;
  }

 private:
  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

auto days_in_month(std::int64_t y, std::int64_t m) noexcept -> std::int64_t {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

auto days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept -> std::int64_t {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

auto write_timestamp(char* p, Timestamp t) -> char* {
  std::int64_t days = t.seconds / 86400;
  std::int64_t secs = t.seconds % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  std::int64_t year;
  unsigned month, day;
  civil_from_days(days, year, month, day);
  if (year >= 0 && year <= 9999) {
    p = write_two(p, static_cast<std::uint64_t>(year) / 100);
    p = write_two(p, static_cast<std::uint64_t>(year) % 100);
  } else {
    *p++ = year < 0 ? '-' : '+';
    p = write_digits(p, static_cast<std::uint64_t>(year < 0 ? -year : year), 4);
  }
  *p++ = '-';
  p = write_two(p, month);
  *p++ = '-';
  p = write_two(p, day);
  *p++ = 'T';
  std::uint32_t nanos = t.nanos;
  std::int64_t second = secs % 60;
  if (nanos >= 1'000'000'000) {  // leap second
    second += 1;
    nanos -= 1'000'000'000;
  }
  p = write_two(p, static_cast<std::uint64_t>(secs / 3600));
  *p++ = ':';
  p = write_two(p, static_cast<std::uint64_t>(secs / 60 % 60));
  *p++ = ':';
  p = write_digits(p, static_cast<std::uint64_t>(second), 2);  // a leap second may pass 99
  if (nanos != 0) {
    *p++ = '.';
    if (nanos % 1'000'000 == 0) p = write_digits(p, nanos / 1'000'000, 3);
    else if (nanos % 1000 == 0) p = write_digits(p, nanos / 1000, 6);
    else p = write_digits(p, nanos, 9);
  }
  *p++ = 'Z';
  return p;
}

void append_timestamp(std::string& out, Timestamp t) {
  char buf[kTimestampTextMax];
  out.append(buf, static_cast<std::size_t>(write_timestamp(buf, t) - buf));
}

namespace {

// The parser proper: a time, or one of the fixed messages.
auto scan_timestamp(std::string_view text) -> std::variant<Timestamp, std::string_view> {
  Scanner sc(text);
  bool overflow = false;
  std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, nanos = 0;
#define VELK_TRY(expr)               \
  if (auto err_ = (expr)) return *err_;

  // Date: a year of up to four digits, or signed with any number of digits.
  sc.skip_ws();
  if (!sc.empty() && (sc.peek() == '-' || sc.peek() == '+')) {
    const bool negative = sc.peek() == '-';
    sc.skip(1);
    VELK_TRY(sc.number(SIZE_MAX, year, overflow));
    if (negative) year = -year;
  } else {
    VELK_TRY(sc.number(4, year, overflow));
  }
  sc.skip_ws();
  VELK_TRY(sc.literal('-'));
  sc.skip_ws();
  VELK_TRY(sc.number(2, month, overflow));
  sc.skip_ws();
  VELK_TRY(sc.literal('-'));
  sc.skip_ws();
  VELK_TRY(sc.number(2, day, overflow));
  if (sc.empty()) return kNotEnough;

  if (sc.peek() != 'T' && sc.peek() != 't' && sc.peek() != ' ') return kInvalid;
  sc.skip(1);

  sc.skip_ws();
  VELK_TRY(sc.number(2, hour, overflow));
  sc.skip_ws();
  VELK_TRY(sc.literal(':'));
  sc.skip_ws();
  VELK_TRY(sc.number(2, minute, overflow));
  sc.skip_ws();
  VELK_TRY(sc.literal(':'));
  sc.skip_ws();
  VELK_TRY(sc.number(2, second, overflow));
  if (!sc.empty() && sc.peek() == '.') {
    sc.skip(1);
    const auto before = sc.rest().size();
    VELK_TRY(sc.number(9, nanos, overflow));
    for (auto k = before - sc.rest().size(); k < 9; ++k) nanos *= 10;
    while (!sc.empty() && sc.peek() >= '0' && sc.peek() <= '9') sc.skip(1);  // beyond nanoseconds
  }
  sc.skip_ws();

  // Offset: Z, UTC in any case, or a sign (U+2212 too), two hour digits and two minute digits.
  std::int64_t offset = 0;
  const auto rest = sc.rest();
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  if (rest.size() >= 3 && upper(rest[0]) == 'U' && upper(rest[1]) == 'T' && upper(rest[2]) == 'C') {
    sc.skip(3);
  } else if (!rest.empty() && (rest[0] == 'Z' || rest[0] == 'z')) {
    sc.skip(1);
  } else {
    bool negative;
    if (rest.empty()) return kTooShort;
    if (rest[0] == '+' || rest[0] == '-') {
      negative = rest[0] == '-';
      sc.skip(1);
    } else if (rest.substr(0, 3) == "\xE2\x88\x92") {
      negative = true;
      sc.skip(3);
    } else {
      return kInvalid;
    }
    auto two_digits = [&](std::int64_t& v) -> std::optional<std::string_view> {
      const auto r = sc.rest();
      if (r.size() < 2) return kTooShort;
      if (r[0] < '0' || r[0] > '9' || r[1] < '0' || r[1] > '9') return kInvalid;
      v = (r[0] - '0') * 10 + (r[1] - '0');
      sc.skip(2);
      return std::nullopt;
    };
    std::int64_t oh = 0, om = 0;
    VELK_TRY(two_digits(oh));
    while (!sc.empty()) {
      if (sc.peek() == ':') sc.skip(1);
      else if (const auto n = whitespace_len(sc.rest(), 0)) sc.skip(n);
      else break;
    }
    const auto r = sc.rest();
    if (r.size() >= 2 && r[0] >= '6' && r[0] <= '9' && r[1] >= '0' && r[1] <= '9') return kOutOfRange;
    if (r.size() >= 2 && (r[0] < '0' || r[0] > '5' || r[1] < '0' || r[1] > '9')) return kInvalid;
    VELK_TRY(two_digits(om));
    offset = (oh * 3600 + om * 60) * (negative ? -1 : 1);
  }
  sc.skip_ws();
  if (!sc.empty()) return kTooLong;
#undef VELK_TRY

  // Calendar validity, after the syntax.
  if (overflow || year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 || day > 31 ||
      hour > 23 || minute > 59 || second > 60) {
    return kOutOfRange;
  }
  if (day > days_in_month(year, month)) return kOutOfRange;
  if (offset <= -86400 || offset >= 86400) return kOutOfRange;
  if (second == 60) {
    second = 59;
    nanos += 1'000'000'000;
  }
  const std::int64_t local = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                             hour * 3600 + minute * 60 + second;
  const std::int64_t utc = local - offset;
  const std::int64_t lowest = days_from_civil(kMinYear, 1, 1) * 86400;
  const std::int64_t highest = days_from_civil(kMaxYear, 12, 31) * 86400 + 86399;
  if (utc < lowest || utc > highest) return kImpossible;
  return Timestamp{utc, static_cast<std::uint32_t>(nanos)};
}

}  // namespace

auto parse_timestamp(std::string_view text) -> Result<Timestamp> {
  auto scanned = scan_timestamp(text);
  if (const auto* message = std::get_if<std::string_view>(&scanned)) {
    return TrustError::serialization(std::string(*message));
  }
  return std::get<Timestamp>(scanned);
}

}  // namespace velk
