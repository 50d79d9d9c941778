// The record writer: one fixed pretty layout, keys in the field table's order. The text is written
// through a pointer into a buffer sized once for the longest text the record could give, so no
// write checks for room.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "entity/trust/record_fields.h"
#include "storage/record/record_text.h"
#include "storage/record/text_bytes.h"
#include "storage/record/timestamp_text.h"

namespace velk {
namespace {

// The longest texts of the values that are not strings.
constexpr std::size_t kNumberTextMax = 32;   // "-2.2250738585072014e-308" and the like
constexpr std::size_t kCounterTextMax = 20;  // 18446744073709551615

class TextOut {
 public:
  explicit TextOut(std::string& text) : p_(text.data()) {}

  template <std::size_t N>
  void put(const char (&literal)[N]) {
    std::memcpy(p_, literal, N - 1);
    p_ += N - 1;
  }
  void put(std::string_view s) {
    std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
  }
  void put(char c) { *p_++ = c; }
  auto at() -> char*& { return p_; }

 private:
  char* p_;
};

// At most: every byte escaped as \u00XX, and the quotes.
auto string_bound(std::string_view s) -> std::size_t { return 6 * s.size() + 2; }

void write_string(TextOut& out, std::string_view s) {
  out.put('"');
  std::size_t run = 0;  // bytes written as they are, copied together
  for (std::size_t k = 0; k < s.size(); ++k) {
    const auto c = static_cast<unsigned char>(s[k]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.put(s.substr(run, k - run));
    run = k + 1;
    switch (c) {
      case '"': out.put("\\\""); break;
      case '\\': out.put("\\\\"); break;
      case 0x08: out.put("\\b"); break;
      case 0x09: out.put("\\t"); break;
      case 0x0A: out.put("\\n"); break;
      case 0x0C: out.put("\\f"); break;
      case 0x0D: out.put("\\r"); break;
      default:
        out.put("\\u00");
        out.put(kHexDigits[c >> 4]);
        out.put(kHexDigits[c & 0xF]);
    }
  }
  out.put(s.substr(run));
  out.put('"');
}

// The shortest digits of a value in [0.001, 1) that reads back exactly, when at most fifteen
// decimals do: at most one decimal of that many digits lies within the value's rounding interval,
// so it is the one the general writer would choose. False to leave it to the general writer.
auto write_short_decimal(TextOut& out, double v) -> bool {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13,
                                      1e14, 1e15};
  if (!(v >= 0.001 && v < 1.0)) return false;
  for (int k = 1; k <= 15; ++k) {
    const double m = std::nearbyint(v * kPow10[k]);
    if (m / kPow10[k] != v) continue;
    out.put("0.");
    char* digits = out.at();
    auto n = static_cast<std::uint64_t>(m);
    for (int d = k - 1; d >= 0; --d, n /= 10) digits[d] = static_cast<char>('0' + n % 10);
    out.at() += k;
    return true;
  }
  return false;
}

// Each field kind: the most bytes its value can take, and the writing of it.
auto bound(double) -> std::size_t { return kNumberTextMax; }
void write_value(TextOut& out, double v) {
  if (write_short_decimal(out, v)) return;
  if (std::isfinite(v)) out.at() = write_number(out.at(), v);
  else out.put("null");
}

auto bound(const std::vector<std::string>& items) -> std::size_t {
  std::size_t n = 8;  // "[\n" ... "  ]"
  for (const auto& item : items) n += 6 + string_bound(item);  // indent, ",\n"
  return n;
}
void write_value(TextOut& out, const std::vector<std::string>& items) {
  if (items.empty()) {
    out.put("[]");
    return;
  }
  out.put("[\n");
  for (std::size_t k = 0; k < items.size(); ++k) {
    out.put("    ");
    write_string(out, items[k]);
    if (k + 1 < items.size()) out.put(",\n");
    else out.put('\n');
  }
  out.put("  ]");
}

auto bound(const std::string& s) -> std::size_t { return string_bound(s); }
void write_value(TextOut& out, const std::string& s) { write_string(out, s); }

auto bound(std::uint64_t) -> std::size_t { return kCounterTextMax; }
void write_value(TextOut& out, std::uint64_t n) { out.at() = std::to_chars(out.at(), out.at() + kCounterTextMax, n).ptr; }

auto bound(const Timestamp&) -> std::size_t { return kTimestampTextMax + 2; }
void write_value(TextOut& out, const Timestamp& t) {
  out.put('"');
  out.at() = write_timestamp(out.at(), t);
  out.put('"');
}

auto bound(const std::optional<Timestamp>&) -> std::size_t { return kTimestampTextMax + 2; }
void write_value(TextOut& out, const std::optional<Timestamp>& t) {
  if (t) write_value(out, *t);
  else out.put("null");
}

}  // namespace

auto write_number(char* p, double v) -> char* {
  if (v == 0.0) {
    if (std::signbit(v)) *p++ = '-';
    std::memcpy(p, "0.0", 3);
    return p + 3;
  }
  // Shortest round-trip digits, taken apart from their scientific form "d.ddde±x".
  char sci[kNumberTextMax];
  const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  const char* s = sci;
  if (*s == '-') {
    *p++ = '-';
    ++s;
  }
  char digits[kNumberTextMax];
  int n = 0;
  for (; *s != 'e'; ++s) {
    if (*s != '.') digits[n++] = *s;
  }
  while (n > 1 && digits[n - 1] == '0') --n;
  int exponent = 0;
  std::from_chars(s + (s[1] == '+' ? 2 : 1), end, exponent);
  const auto put = [&](const char* from, int count) {
    std::memcpy(p, from, static_cast<std::size_t>(count));
    p += count;
  };
  const auto zeros = [&](int count) {
    std::memset(p, '0', static_cast<std::size_t>(count));
    p += count;
  };
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      put("0.", 2);
      zeros(-exponent - 1);
      put(digits, n);
    } else if (n > exponent + 1) {
      put(digits, exponent + 1);
      *p++ = '.';
      put(digits + exponent + 1, n - exponent - 1);
    } else {
      put(digits, n);
      zeros(exponent + 1 - n);
      put(".0", 2);
    }
    return p;
  }
  *p++ = digits[0];
  if (n > 1) {
    *p++ = '.';
    put(digits + 1, n - 1);
  }
  *p++ = 'e';
  *p++ = exponent < 0 ? '-' : '+';
  return std::to_chars(p, p + 8, exponent < 0 ? -exponent : exponent).ptr;
}

void append_number(std::string& out, double v) {
  char buf[kNumberTextMax];
  out.append(buf, static_cast<std::size_t>(write_number(buf, v) - buf));
}

auto render_record(const EntityTrust& r) -> std::string {
  std::size_t size = 4;  // "{", "\n}" and a spare
  for_each_field(r, [&](std::string_view key, const auto& value, Absent) { size += key.size() + 8 + bound(value); });
  std::string text(size, '\0');
  TextOut out(text);
  out.put('{');
  bool first = true;
  for_each_field(r, [&](std::string_view key, const auto& value, Absent) {
    if (!first) out.put(',');
    first = false;
    out.put("\n  \"");
    out.put(key);
    out.put("\": ");
    write_value(out, value);
  });
  out.put("\n}");
  if (out.at() > text.data() + size) std::abort();  // a bound above is wrong: never go on past it
  text.resize(static_cast<std::size_t>(out.at() - text.data()));
  return text;
}

}  // namespace velk
