// The record writer: one fixed pretty layout, keys in the field table's order.
#include <charconv>
#include <cmath>
#include <string>

#include "entity/trust/record_fields.h"
#include "storage/file/record_json.h"
#include "storage/file/timestamp_text.h"

namespace velk {
namespace {

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // bytes written as they are, appended together
  for (std::size_t k = 0; k < s.size(); ++k) {
    const auto c = static_cast<unsigned char>(s[k]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, run, k - run);
    run = k + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(s, run, s.size() - run);
  out.push_back('"');
}

// The shortest digits of a value in [0.001, 1) that reads back exactly, when at most fifteen
// decimals do: at most one decimal of that many digits lies within the value's rounding interval,
// so it is the one the general writer would choose. False to leave it to the general writer.
auto append_short_decimal(std::string& out, double v) -> bool {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13,
                                      1e14, 1e15};
  if (!(v >= 0.001 && v < 1.0)) return false;
  for (int k = 1; k <= 15; ++k) {
    const double m = std::nearbyint(v * kPow10[k]);
    if (m / kPow10[k] != v) continue;
    char digits[16];
    auto n = static_cast<std::uint64_t>(m);
    for (int d = k - 1; d >= 0; --d, n /= 10) digits[d] = static_cast<char>('0' + n % 10);
    out += "0.";
    out.append(digits, static_cast<std::size_t>(k));
    return true;
  }
  return false;
}

void append_value(std::string& out, double v) {
  if (append_short_decimal(out, v)) return;
  if (std::isfinite(v)) append_number(out, v);
  else out += "null";
}

void append_value(std::string& out, const std::vector<std::string>& items) {
  if (items.empty()) {
    out += "[]";
    return;
  }
  out += "[\n";
  for (std::size_t k = 0; k < items.size(); ++k) {
    out += "    ";
    append_string(out, items[k]);
    out += k + 1 < items.size() ? ",\n" : "\n";
  }
  out += "  ]";
}

void append_value(std::string& out, const std::string& s) { append_string(out, s); }

void append_value(std::string& out, std::uint64_t n) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
}

void append_value(std::string& out, Timestamp t) {
  out.push_back('"');
  append_timestamp(out, t);
  out.push_back('"');
}

void append_value(std::string& out, const std::optional<Timestamp>& t) {
  if (t) append_value(out, *t);
  else out += "null";
}

}  // namespace

void append_number(std::string& out, double v) {
  if (v == 0.0) {
    out += std::signbit(v) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits, taken apart from their scientific form "d.ddde±x".
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const auto e_pos = sci.find('e');
  std::string digits;
  for (const char c : sci.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int exponent = 0;
  const auto exp_text = sci.substr(e_pos + 1);
  std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0), exp_text.data() + exp_text.size(), exponent);
  const int n = static_cast<int>(digits.size());
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (n > exponent + 1) {
      out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(exponent + 1));
    } else {
      out += digits;
      out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
      out += ".0";
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  out += std::to_string(exponent < 0 ? -exponent : exponent);
}

auto render_record(const EntityTrust& r) -> std::string {
  std::string out;
  out.reserve(512);
  out.push_back('{');
  const char* separator = "\n  \"";
  for_each_field(r, [&](std::string_view key, const auto& value, Absent) {
    out += separator;
    separator = ",\n  \"";
    out += key;
    out += "\": ";
    append_value(out, value);
  });
  out += "\n}";
  return out;
}

}  // namespace velk
