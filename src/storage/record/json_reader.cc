// The JSON pull reader and the way its messages name what they found.
#include "storage/record/json_reader.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "storage/record/record_text.h"
#include "storage/record/text_bytes.h"

namespace velk {
namespace {

constexpr std::uint32_t kNotUtf8 = 0xFFFFFFFF;

// The code point of the UTF-8 sequence at s[k] and its length; kNotUtf8 and 1 for a byte that does
// not start a sequence.
auto decode_utf8(std::string_view s, std::size_t k) -> std::pair<std::uint32_t, std::size_t> {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(s[at]); };
  const unsigned c = byte(k);
  if (c < 0x80) return {c, 1};
  const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
  if (len == 0 || k + len > s.size()) return {kNotUtf8, 1};
  std::uint32_t cp = c & (0x7Fu >> len);
  for (std::size_t j = 1; j < len; ++j) {
    if ((byte(k + j) & 0xC0) != 0x80) return {kNotUtf8, 1};
    cp = (cp << 6) | (byte(k + j) & 0x3Fu);
  }
  return {cp, len};
}

// A found string: quoted, with quotes, backslashes and control characters (C0, DEL, C1) escaped
// by code point; every other character as it is.
auto quote_found(std::string_view s) -> std::string {
  std::string out = "string \"";
  for (std::size_t k = 0; k < s.size();) {
    const auto [cp, len] = decode_utf8(s, k);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case 0: out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
          out += "\\u{";
          if (cp >= 0x10) out.push_back(kHexDigits[cp >> 4]);
          out.push_back(kHexDigits[cp & 0xF]);
          out.push_back('}');
        } else {
          out.append(s, k, len);
        }
    }
    k += len;
  }
  out.push_back('"');
  return out;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

auto hex_value(char c) -> int {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

auto is_digit(char c) -> bool { return c >= '0' && c <= '9'; }

}  // namespace

auto describe(const Number& n) -> std::string {
  switch (n.kind) {
    case Number::Unsigned: return "integer `" + std::to_string(n.u) + "`";
    case Number::Negative: return "integer `" + std::to_string(n.i) + "`";
    case Number::Float: break;
  }
  std::string text = "floating point `";
  append_number(text, n.f);
  return text + "`";
}

auto JsonReader::message() const -> std::string {
  std::size_t line_start = 0, line = 1;
  for (std::size_t k = 0; k < pos_; ++k) {
    if (s_[k] == '\n') {
      ++line;
      line_start = k + 1;
    }
  }
  return message_ + " at line " + std::to_string(line) + " column " + std::to_string(pos_ - line_start);
}

void JsonReader::skip_ws() {
  while (!at_end() && (peek() == ' ' || peek() == '\n' || peek() == '\t' || peek() == '\r')) ++i_;
}

auto JsonReader::fail_at(std::size_t pos, std::string message) -> bool {
  message_ = std::move(message);
  pos_ = pos;
  return false;
}

auto JsonReader::peek_error(std::string message) -> bool {
  return fail_at(std::min(i_ + 1, s_.size()), std::move(message));
}

auto JsonReader::invalid_type(const std::string& found, std::string_view expected) -> bool {
  return error("invalid type: " + found + ", expected " + std::string(expected));
}

auto JsonReader::enter() -> bool {
  if (--depth_left_ == 0) return peek_error("recursion limit exceeded");
  return true;
}

auto JsonReader::item_separator(char close, bool first) -> int {
  const bool list = close == ']';
  skip_ws();
  if (at_end()) return peek_error(list ? "EOF while parsing a list" : "EOF while parsing an object"), -1;
  if (peek() == close) {
    ++i_;
    return 0;
  }
  if (first) return 1;
  if (peek() != ',') return peek_error(list ? "expected `,` or `]`" : "expected `,` or `}`"), -1;
  ++i_;
  if (!begin_value()) return -1;
  if (peek() == close) return peek_error("trailing comma"), -1;
  return 1;
}

auto JsonReader::colon() -> bool {
  skip_ws();
  if (at_end()) return peek_error("EOF while parsing an object");
  if (peek() != ':') return peek_error("expected `:`");
  ++i_;
  return true;
}

auto JsonReader::begin_value() -> bool {
  skip_ws();
  return !at_end() || peek_error("EOF while parsing a value");
}

auto JsonReader::word(std::string_view w) -> bool {
  ++i_;
  for (const char expected : w.substr(1)) {
    if (at_end()) return error("EOF while parsing a value");
    if (s_[i_++] != expected) return error("expected ident");
  }
  return true;
}

auto JsonReader::string(std::string& out) -> bool {
  out.clear();
  std::size_t start = ++i_;
  for (;;) {
    while (!at_end() && peek() != '"' && peek() != '\\' && static_cast<unsigned char>(peek()) >= 0x20) ++i_;
    if (at_end()) return error("EOF while parsing a string");
    out.append(s_.substr(start, i_ - start));
    if (peek() == '"') {
      ++i_;
      return true;
    }
    if (peek() != '\\') {
      ++i_;
      return error("control character (\\u0000-\\u001F) found while parsing a string");
    }
    ++i_;
    if (!escape(out)) return false;
    start = i_;
  }
}

auto JsonReader::hex4(std::uint32_t& v) -> bool {
  if (s_.size() - i_ < 4) {
    i_ = s_.size();
    return error("EOF while parsing a string");
  }
  v = 0;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(s_[i_++]);
    if (h < 0) return error("invalid escape");
    v = (v << 4) | static_cast<std::uint32_t>(h);
  }
  return true;
}

auto JsonReader::escape(std::string& out) -> bool {
  if (at_end()) return error("EOF while parsing a string");
  switch (s_[i_++]) {
    case '"': out.push_back('"'); return true;
    case '\\': out.push_back('\\'); return true;
    case '/': out.push_back('/'); return true;
    case 'b': out.push_back('\b'); return true;
    case 'f': out.push_back('\f'); return true;
    case 'n': out.push_back('\n'); return true;
    case 'r': out.push_back('\r'); return true;
    case 't': out.push_back('\t'); return true;
    case 'u': break;
    default: return error("invalid escape");
  }
  std::uint32_t n = 0;
  if (!hex4(n)) return false;
  if (n >= 0xDC00 && n <= 0xDFFF) return error("lone leading surrogate in hex escape");
  if (n < 0xD800 || n > 0xDBFF) {
    append_utf8(out, n);
    return true;
  }
  // A leading surrogate must be followed by an escaped trailing one.
  for (const char want : {'\\', 'u'}) {
    if (at_end()) return error("EOF while parsing a string");
    if (s_[i_++] != want) return error("unexpected end of hex escape");
  }
  std::uint32_t n2 = 0;
  if (!hex4(n2)) return false;
  if (n2 < 0xDC00 || n2 > 0xDFFF) return error("lone leading surrogate in hex escape");
  append_utf8(out, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
  return true;
}

auto JsonReader::number(Number& out) -> bool {
  if (peek() != '-') return integer(true, out);
  ++i_;
  return integer(false, out);
}

// Called at the first digit (just past a '-' when !positive).
auto JsonReader::integer(bool positive, Number& n) -> bool {
  const std::size_t start = positive ? i_ : i_ - 1;
  if (at_end()) return error("EOF while parsing a value");
  const char c = s_[i_++];
  if (c == '0') {
    if (!at_end() && is_digit(peek())) return peek_error("invalid number");
    return rest_of_number(start, positive, 0, n);
  }
  if (c < '1' || c > '9') return error("invalid number");
  std::uint64_t significand = static_cast<std::uint64_t>(c - '0');
  while (!at_end() && is_digit(peek())) {
    const auto digit = static_cast<std::uint64_t>(peek() - '0');
    if (significand > (UINT64_MAX - digit) / 10) {
      // Beyond 64 bits: the integer becomes a floating-point number.
      while (!at_end() && is_digit(peek())) ++i_;
      if (!at_end() && peek() == '.') return fraction(start, n);
      if (!at_end() && (peek() == 'e' || peek() == 'E')) return exponent(start, n);
      return to_double(start, n);
    }
    ++i_;
    significand = significand * 10 + digit;
  }
  return rest_of_number(start, positive, significand, n);
}

auto JsonReader::rest_of_number(std::size_t start, bool positive, std::uint64_t significand, Number& n) -> bool {
  if (!at_end() && peek() == '.') return fraction(start, n);
  if (!at_end() && (peek() == 'e' || peek() == 'E')) return exponent(start, n);
  if (positive || significand == 0) {
    // "-0" has no fraction and no exponent: the integer 0.
    n = {Number::Unsigned, significand, 0, positive ? static_cast<double>(significand) : -0.0};
  } else if (significand <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
    const auto v = static_cast<std::int64_t>(0 - significand);
    n = {Number::Negative, 0, v, static_cast<double>(v)};
  } else {
    return to_double(start, n);
  }
  return true;
}

auto JsonReader::fraction(std::size_t start, Number& n) -> bool {
  ++i_;
  const std::size_t digits_start = i_;
  while (!at_end() && is_digit(peek())) ++i_;
  if (i_ == digits_start) return peek_error(at_end() ? "EOF while parsing a value" : "invalid number");
  if (!at_end() && (peek() == 'e' || peek() == 'E')) return exponent(start, n);
  return to_double(start, n);
}

auto JsonReader::exponent(std::size_t start, Number& n) -> bool {
  const std::size_t e_pos = i_++;
  const bool negative_exponent = !at_end() && peek() == '-';
  if (!at_end() && (peek() == '+' || peek() == '-')) ++i_;
  if (at_end()) return error("EOF while parsing a value");
  const char c = s_[i_++];
  if (!is_digit(c)) return error("invalid number");
  std::int32_t value = c - '0';
  while (!at_end() && is_digit(peek())) {
    const int digit = s_[i_++] - '0';
    if (value > (INT32_MAX - digit) / 10) {
      // An exponent beyond 32 bits: a non-zero number overflows just past this digit; zero, or a
      // negative exponent, reads as a signed zero.
      const auto mantissa = s_.substr(start, e_pos - start);
      const bool zero = mantissa.find_first_of("123456789") == std::string_view::npos;
      if (!zero && !negative_exponent) return error("number out of range");
      while (!at_end() && is_digit(peek())) ++i_;
      n = {Number::Float, 0, 0, s_[start] == '-' ? -0.0 : 0.0};
      return true;
    }
    value = value * 10 + digit;
  }
  return to_double(start, n);
}

auto JsonReader::to_double(std::size_t start, Number& n) -> bool {
  const char* first = s_.data() + start;
  const char* last = s_.data() + i_;
  double v = 0.0;
  const auto res = std::from_chars(first, last, v);
  if (res.ec == std::errc::result_out_of_range) {
    // Underflow reads as a signed zero, overflow fails below.
    const std::string copy(first, last);
    v = std::strtod(copy.c_str(), nullptr);
  }
  if (std::isinf(v)) return error("number out of range");
  n = {Number::Float, 0, 0, v};
  return true;
}

auto JsonReader::peek_invalid_type(std::string_view expected) -> bool {
  const char c = at_end() ? '\0' : peek();
  if (c == '[' || c == '{') return invalid_type(c == '[' ? "sequence" : "map", expected);
  if (c == '-' || is_digit(c)) {
    Number num;
    return number(num) && invalid_type(describe(num), expected);
  }
  if (c != 'n' && c != 't' && c != 'f' && c != '"') return peek_error("expected value");
  Found found;
  return value(&found) && invalid_type(found.kind == Found::Null ? "null" : found.text, expected);
}

auto JsonReader::value(Found* found) -> bool {
  if (!begin_value()) return false;
  Found scratch;
  Found& v = found != nullptr ? *found : scratch;
  std::string text;
  switch (peek()) {
    case 'n':
      v = {};
      return word("null");
    case 't': v = {Found::Other, 0.0, "boolean `true`"}; return word("true");
    case 'f': v = {Found::Other, 0.0, "boolean `false`"}; return word("false");
    case '"':
      if (!string(text)) return false;
      if (found != nullptr) v = {Found::Other, 0.0, quote_found(text)};
      return true;
    case '[':
    case '{': {
      const bool list = peek() == '[';
      const bool read = list ? items([&] { return value(nullptr); })
                             : members([&](const std::string&) { return colon() && value(nullptr); });
      v = {Found::Other, 0.0, list ? "sequence" : "map"};
      return read;
    }
    default: {
      if (peek() != '-' && !is_digit(peek())) return peek_error("expected value");
      Number num;
      if (!number(num)) return false;
      v = {Found::Real, num.f, {}};
      return true;
    }
  }
}

}  // namespace velk
