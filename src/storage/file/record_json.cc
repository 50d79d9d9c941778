// Record JSON. The reader is a single pass that fills the record while it scans; its messages and
// the positions they carry reach Python users verbatim, so each failure records exactly where
// reading stopped.
#include "storage/file/record_json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "entity/legacy_fields.h"
#include "storage/file/timestamp_text.h"

namespace velk {
namespace {

// ---------------------------------------------------------------- writer

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

void append_tensor_value(std::string& out, double v) {
  if (std::isfinite(v)) append_number(out, v);
  else out += "null";
}

void append_list(std::string& out, const std::vector<std::string>& items) {
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

// ---------------------------------------------------------------- reader

constexpr std::string_view kOwnKeys[] = {"entity_id",     "entity_type",   "entity_name",  "witnessed_by",
                                         "has_witnessed", "action_count",  "success_count", "witness_count",
                                         "last_action",   "created_at"};
enum OwnKey { kId, kType, kName, kWitnessedBy, kHasWitnessed, kActionCount, kSuccessCount, kWitnessCount,
              kLastAction, kCreatedAt };

constexpr std::string_view kExpectRecord = "struct EntityTrust";
constexpr std::string_view kExpectString = "a string";
constexpr std::string_view kExpectSequence = "a sequence";
constexpr std::string_view kExpectU64 = "u64";
constexpr std::string_view kExpectTimestamp = "an RFC 3339 formatted date and time string";

struct Number {
  enum Kind { Unsigned, Negative, Float } kind = Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0.0;  // the value as a double, whatever the kind
};

// A value under a tensor key, as far as the field sets need it.
struct Scalar {
  enum Kind { Null, Real, Other } kind = Null;
  double real = 0.0;
  std::string found;  // how a wrong-kind value is named in messages
};

auto number_text(double v) -> std::string {
  std::string s;
  append_number(s, v);
  return s;
}

auto describe(const Number& n) -> std::string {
  switch (n.kind) {
    case Number::Unsigned: return "integer `" + std::to_string(n.u) + "`";
    case Number::Negative: return "integer `" + std::to_string(n.i) + "`";
    case Number::Float: break;
  }
  return "floating point `" + number_text(n.f) + "`";
}

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
  static constexpr char kHex[] = "0123456789abcdef";
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
          if (cp >= 0x10) out.push_back(kHex[cp >> 4]);
          out.push_back(kHex[cp & 0xF]);
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

#define VELK_TRY(expr) \
  if (!(expr)) return false

class Reader {
 public:
  Reader(std::string_view s, Timestamp now) : s_(s), now_(now) {}

  auto read_record(EntityTrust& r) -> bool;
  // The failure message with its position.
  auto message() const -> std::string;

 private:
  static constexpr int kMaxDepth = 128;

  auto eof() const -> bool { return i_ >= s_.size(); }
  auto cur() const -> char { return s_[i_]; }
  void skip_ws() {
    while (!eof() && (cur() == ' ' || cur() == '\n' || cur() == '\t' || cur() == '\r')) ++i_;
  }

  // A failure just past what was read, or counting the byte looked at as read.
  auto error(std::string msg) -> bool { return fail_at(i_, std::move(msg)); }
  auto peek_error(std::string msg) -> bool { return fail_at(std::min(i_ + 1, s_.size()), std::move(msg)); }
  auto fail_at(std::size_t pos, std::string msg) -> bool {
    msg_ = std::move(msg);
    pos_ = pos;
    return false;
  }
  // Failures found by the record itself (duplicate or missing keys, tensor fields) are placed
  // after the object's closing brace has been looked for.
  auto record_error(std::string msg) -> bool {
    skip_ws();
    if (!eof() && cur() == '}') ++i_;
    return error(std::move(msg));
  }
  auto invalid_type(const std::string& found, std::string_view expected) -> bool {
    return error("invalid type: " + found + ", expected " + std::string(expected));
  }

  auto enter() -> bool {
    if (--depth_left_ == 0) return peek_error("recursion limit exceeded");
    return true;
  }
  void leave() { ++depth_left_; }

  auto parse_ident(std::string_view rest) -> bool;
  auto parse_str(std::string& out) -> bool;
  auto parse_escape(std::string& out) -> bool;
  auto decode_hex(std::uint32_t& v) -> bool;
  auto parse_integer(bool positive, Number& n) -> bool;
  auto parse_rest_of_number(std::size_t start, bool positive, std::uint64_t significand, Number& n) -> bool;
  auto parse_decimal(std::size_t start, Number& n) -> bool;
  auto parse_exponent(std::size_t start, Number& n) -> bool;
  auto finish_float(std::size_t start, Number& n) -> bool;
  auto peek_invalid_type(std::string_view expected) -> bool;
  auto begin_value() -> bool;
  auto object_colon() -> bool;

  auto value_string(std::string& out) -> bool;
  auto value_list(std::vector<std::string>& out) -> bool;
  auto value_counter(std::uint64_t& out) -> bool;
  auto value_timestamp(std::optional<Timestamp>& out, bool nullable) -> bool;
  auto value_any(Scalar* out) -> bool;
  auto value_own(int key, EntityTrust& r) -> bool;
  template <typename Compat>
  auto read_field_set(const std::vector<std::pair<std::string, Scalar>>& pairs, Compat& set) -> bool;

  std::string_view s_;
  Timestamp now_;
  std::size_t i_ = 0;
  int depth_left_ = kMaxDepth;
  std::string msg_;
  std::size_t pos_ = 0;
};

auto Reader::message() const -> std::string {
  std::size_t line_start = 0, line = 1;
  for (std::size_t k = 0; k < pos_; ++k) {
    if (s_[k] == '\n') {
      ++line;
      line_start = k + 1;
    }
  }
  return msg_ + " at line " + std::to_string(line) + " column " + std::to_string(pos_ - line_start);
}

auto Reader::parse_ident(std::string_view rest) -> bool {
  for (const char expected : rest) {
    if (eof()) return error("EOF while parsing a value");
    if (s_[i_++] != expected) return error("expected ident");
  }
  return true;
}

// Called just past the opening quote.
auto Reader::parse_str(std::string& out) -> bool {
  out.clear();
  std::size_t start = i_;
  for (;;) {
    while (!eof() && cur() != '"' && cur() != '\\' && static_cast<unsigned char>(cur()) >= 0x20) ++i_;
    if (eof()) return error("EOF while parsing a string");
    if (cur() == '"') {
      out.append(s_.substr(start, i_ - start));
      ++i_;
      return true;
    }
    if (cur() == '\\') {
      out.append(s_.substr(start, i_ - start));
      ++i_;
      VELK_TRY(parse_escape(out));
      start = i_;
      continue;
    }
    ++i_;
    return error("control character (\\u0000-\\u001F) found while parsing a string");
  }
}

auto Reader::decode_hex(std::uint32_t& v) -> bool {
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

auto Reader::parse_escape(std::string& out) -> bool {
  if (eof()) return error("EOF while parsing a string");
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
  VELK_TRY(decode_hex(n));
  if (n >= 0xDC00 && n <= 0xDFFF) return error("lone leading surrogate in hex escape");
  if (n < 0xD800 || n > 0xDBFF) {
    append_utf8(out, n);
    return true;
  }
  // A leading surrogate must be followed by an escaped trailing one.
  for (const char want : {'\\', 'u'}) {
    if (eof()) return error("EOF while parsing a string");
    if (s_[i_++] != want) return error("unexpected end of hex escape");
  }
  std::uint32_t n2 = 0;
  VELK_TRY(decode_hex(n2));
  if (n2 < 0xDC00 || n2 > 0xDFFF) return error("lone leading surrogate in hex escape");
  append_utf8(out, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
  return true;
}

// Called just past a '-' when !positive.
auto Reader::parse_integer(bool positive, Number& n) -> bool {
  const std::size_t start = positive ? i_ : i_ - 1;
  if (eof()) return error("EOF while parsing a value");
  const char c = s_[i_++];
  if (c == '0') {
    if (!eof() && cur() >= '0' && cur() <= '9') return peek_error("invalid number");
    return parse_rest_of_number(start, positive, 0, n);
  }
  if (c < '1' || c > '9') return error("invalid number");
  std::uint64_t significand = static_cast<std::uint64_t>(c - '0');
  while (!eof() && cur() >= '0' && cur() <= '9') {
    const auto digit = static_cast<std::uint64_t>(cur() - '0');
    if (significand > (UINT64_MAX - digit) / 10) {
      // Beyond 64 bits: the integer becomes a floating-point number.
      while (!eof() && cur() >= '0' && cur() <= '9') ++i_;
      if (!eof() && cur() == '.') return parse_decimal(start, n);
      if (!eof() && (cur() == 'e' || cur() == 'E')) return parse_exponent(start, n);
      return finish_float(start, n);
    }
    ++i_;
    significand = significand * 10 + digit;
  }
  return parse_rest_of_number(start, positive, significand, n);
}

auto Reader::parse_rest_of_number(std::size_t start, bool positive, std::uint64_t significand, Number& n) -> bool {
  if (!eof() && cur() == '.') return parse_decimal(start, n);
  if (!eof() && (cur() == 'e' || cur() == 'E')) return parse_exponent(start, n);
  if (positive || significand == 0) {
    // "-0" has no fraction and no exponent: the integer 0.
    n = {Number::Unsigned, significand, 0, positive ? static_cast<double>(significand) : -0.0};
  } else if (significand <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
    const auto v = static_cast<std::int64_t>(0 - significand);
    n = {Number::Negative, 0, v, static_cast<double>(v)};
  } else {
    return finish_float(start, n);
  }
  return true;
}

auto Reader::parse_decimal(std::size_t start, Number& n) -> bool {
  ++i_;
  const std::size_t digits_start = i_;
  while (!eof() && cur() >= '0' && cur() <= '9') ++i_;
  if (i_ == digits_start) return peek_error(eof() ? "EOF while parsing a value" : "invalid number");
  if (!eof() && (cur() == 'e' || cur() == 'E')) return parse_exponent(start, n);
  return finish_float(start, n);
}

auto Reader::parse_exponent(std::size_t start, Number& n) -> bool {
  const std::size_t e_pos = i_++;
  const bool negative_exponent = !eof() && cur() == '-';
  if (!eof() && (cur() == '+' || cur() == '-')) ++i_;
  if (eof()) return error("EOF while parsing a value");
  const char c = s_[i_++];
  if (c < '0' || c > '9') return error("invalid number");
  std::int32_t exponent = c - '0';
  while (!eof() && cur() >= '0' && cur() <= '9') {
    const int digit = s_[i_++] - '0';
    if (exponent > (INT32_MAX - digit) / 10) {
      // An exponent beyond 32 bits: a non-zero number overflows just past this digit; zero, or a
      // negative exponent, reads as a signed zero.
      const auto mantissa = s_.substr(start, e_pos - start);
      const bool zero = mantissa.find_first_of("123456789") == std::string_view::npos;
      if (!zero && !negative_exponent) return error("number out of range");
      while (!eof() && cur() >= '0' && cur() <= '9') ++i_;
      n = {Number::Float, 0, 0, s_[start] == '-' ? -0.0 : 0.0};
      return true;
    }
    exponent = exponent * 10 + digit;
  }
  return finish_float(start, n);
}

auto Reader::finish_float(std::size_t start, Number& n) -> bool {
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

auto Reader::peek_invalid_type(std::string_view expected) -> bool {
  std::string found;
  Number num;
  std::string text;
  switch (eof() ? '\0' : cur()) {
    case 'n': ++i_; VELK_TRY(parse_ident("ull")); found = "null"; break;
    case 't': ++i_; VELK_TRY(parse_ident("rue")); found = "boolean `true`"; break;
    case 'f': ++i_; VELK_TRY(parse_ident("alse")); found = "boolean `false`"; break;
    case '-': ++i_; VELK_TRY(parse_integer(false, num)); found = describe(num); break;
    case '"': ++i_; VELK_TRY(parse_str(text)); found = quote_found(text); break;
    case '[': found = "sequence"; break;
    case '{': found = "map"; break;
    default:
      if (eof() || cur() < '0' || cur() > '9') return peek_error("expected value");
      VELK_TRY(parse_integer(true, num));
      found = describe(num);
  }
  return invalid_type(found, expected);
}

// Whitespace before a value, and the end of input where a value should start.
auto Reader::begin_value() -> bool {
  skip_ws();
  return !eof() || peek_error("EOF while parsing a value");
}

auto Reader::object_colon() -> bool {
  skip_ws();
  if (eof()) return peek_error("EOF while parsing an object");
  if (cur() != ':') return peek_error("expected `:`");
  ++i_;
  return true;
}

auto Reader::value_string(std::string& out) -> bool {
  VELK_TRY(begin_value());
  if (cur() != '"') return peek_invalid_type(kExpectString);
  ++i_;
  return parse_str(out);
}

auto Reader::value_list(std::vector<std::string>& out) -> bool {
  VELK_TRY(begin_value());
  if (cur() != '[') return peek_invalid_type(kExpectSequence);
  VELK_TRY(enter());
  ++i_;
  for (bool first = true;; first = false) {
    skip_ws();
    if (eof()) return peek_error("EOF while parsing a list");
    if (cur() == ']') break;
    if (!first) {
      if (cur() != ',') return peek_error("expected `,` or `]`");
      ++i_;
      VELK_TRY(begin_value());
      if (cur() == ']') return peek_error("trailing comma");
    }
    std::string item;
    VELK_TRY(value_string(item));
    out.push_back(std::move(item));
  }
  ++i_;
  leave();
  return true;
}

auto Reader::value_counter(std::uint64_t& out) -> bool {
  VELK_TRY(begin_value());
  Number n;
  if (cur() == '-') {
    ++i_;
    VELK_TRY(parse_integer(false, n));
  } else if (cur() >= '0' && cur() <= '9') {
    VELK_TRY(parse_integer(true, n));
  } else {
    return peek_invalid_type(kExpectU64);
  }
  switch (n.kind) {
    case Number::Unsigned: out = n.u; return true;
    case Number::Negative: return error("invalid value: " + describe(n) + ", expected u64");
    case Number::Float: break;
  }
  return invalid_type(describe(n), kExpectU64);
}

auto Reader::value_timestamp(std::optional<Timestamp>& out, bool nullable) -> bool {
  skip_ws();
  if (nullable && !eof() && cur() == 'n') {
    ++i_;
    VELK_TRY(parse_ident("ull"));
    out.reset();
    return true;
  }
  VELK_TRY(begin_value());
  if (cur() != '"') return peek_invalid_type(kExpectTimestamp);
  ++i_;
  std::string text;
  VELK_TRY(parse_str(text));
  auto parsed = parse_timestamp(text);
  if (auto* message = std::get_if<std::string_view>(&parsed)) return error(std::string(*message));
  out = std::get<Timestamp>(parsed);
  return true;
}

// Any JSON value; out, when given, learns what a tensor field set needs of it.
auto Reader::value_any(Scalar* out) -> bool {
  VELK_TRY(begin_value());
  Scalar scratch;
  Scalar& v = out != nullptr ? *out : scratch;
  Number num;
  std::string text;
  const char c = cur();
  switch (c) {
    case 'n': ++i_; VELK_TRY(parse_ident("ull")); v.kind = Scalar::Null; return true;
    case 't': ++i_; VELK_TRY(parse_ident("rue")); v = {Scalar::Other, 0.0, "boolean `true`"}; return true;
    case 'f': ++i_; VELK_TRY(parse_ident("alse")); v = {Scalar::Other, 0.0, "boolean `false`"}; return true;
    case '"':
      ++i_;
      VELK_TRY(parse_str(text));
      if (out != nullptr) v = {Scalar::Other, 0.0, quote_found(text)};
      return true;
    case '[':
    case '{': {
      VELK_TRY(enter());
      ++i_;
      const char close = c == '[' ? ']' : '}';
      for (bool first = true;; first = false) {
        skip_ws();
        if (eof()) return peek_error(c == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
        if (cur() == close) break;
        if (!first) {
          if (cur() != ',') return peek_error(c == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
          ++i_;
          VELK_TRY(begin_value());
          if (cur() == close) return peek_error("trailing comma");
        }
        if (c == '{') {
          if (cur() != '"') return peek_error("key must be a string");
          ++i_;
          VELK_TRY(parse_str(text));
          VELK_TRY(object_colon());
        }
        VELK_TRY(value_any(nullptr));
      }
      ++i_;
      leave();
      v = {Scalar::Other, 0.0, c == '[' ? "sequence" : "map"};
      return true;
    }
    case '-':
      ++i_;
      VELK_TRY(parse_integer(false, num));
      break;
    default:
      if (c < '0' || c > '9') return peek_error("expected value");
      VELK_TRY(parse_integer(true, num));
  }
  v = {Scalar::Real, num.f, {}};
  return true;
}

auto Reader::value_own(int key, EntityTrust& r) -> bool {
  switch (key) {
    case kId: return value_string(r.entity_id);
    case kType: return value_string(r.entity_type);
    case kName: return value_string(r.entity_name);
    case kWitnessedBy: return value_list(r.witnessed_by);
    case kHasWitnessed: return value_list(r.has_witnessed);
    case kActionCount: return value_counter(r.action_count);
    case kSuccessCount: return value_counter(r.success_count);
    case kWitnessCount: return value_counter(r.witness_count);
    case kLastAction: return value_timestamp(r.last_action, true);
    default: {
      std::optional<Timestamp> t;
      VELK_TRY(value_timestamp(t, false));
      r.created_at = *t;
      return true;
    }
  }
}

template <typename Compat>
auto Reader::read_field_set(const std::vector<std::pair<std::string, Scalar>>& pairs, Compat& set) -> bool {
  std::array<bool, 9> seen{};
  for (const auto& [key, value] : pairs) {
    const int k = field_index(Compat::kKeys, key);
    if (k < 0) continue;
    if (seen[k]) return record_error("duplicate field `" + key + "`");
    seen[k] = true;
    if (value.kind == Scalar::Other) return record_error("invalid type: " + value.found + ", expected f64");
    if (value.kind == Scalar::Real) set.fields[k] = value.real;
  }
  return true;
}

auto Reader::read_record(EntityTrust& r) -> bool {
  VELK_TRY(begin_value());
  if (cur() != '{') return peek_invalid_type(kExpectRecord);
  VELK_TRY(enter());
  ++i_;
  std::array<bool, 10> seen{};
  std::vector<std::pair<std::string, Scalar>> tensor_pairs;
  std::string key;
  for (bool first = true;; first = false) {
    skip_ws();
    if (eof()) return peek_error("EOF while parsing an object");
    if (cur() == '}') break;
    if (!first) {
      if (cur() != ',') return peek_error("expected `,` or `}`");
      ++i_;
      VELK_TRY(begin_value());
    }
    if (cur() != '"') return peek_error(cur() == '}' ? "trailing comma" : "key must be a string");
    ++i_;
    VELK_TRY(parse_str(key));
    int own = -1;
    for (int k = 0; k < 10; ++k) {
      if (key == kOwnKeys[k]) own = k;
    }
    if (own >= 0) {
      if (seen[own]) return record_error("duplicate field `" + key + "`");
      seen[own] = true;
      VELK_TRY(object_colon());
      VELK_TRY(value_own(own, r));
    } else if (field_index(T3Compat::kKeys, key) >= 0 || field_index(V3Compat::kKeys, key) >= 0) {
      VELK_TRY(object_colon());
      Scalar value;
      VELK_TRY(value_any(&value));
      tensor_pairs.emplace_back(key, std::move(value));
    } else {
      // Unknown keys are read in full (their errors count) and then dropped.
      VELK_TRY(object_colon());
      VELK_TRY(value_any(nullptr));
    }
  }
  if (!seen[kId]) return record_error("missing field `entity_id`");
  if (!seen[kCreatedAt]) r.created_at = now_;
  T3Compat t3;
  VELK_TRY(read_field_set(tensor_pairs, t3));
  V3Compat v3;
  VELK_TRY(read_field_set(tensor_pairs, v3));
  r.t3 = t3.to_tensor();
  r.v3 = v3.to_tensor();
  ++i_;  // the closing brace
  leave();
  skip_ws();
  if (!eof()) return peek_error("trailing characters");
  return true;
}

#undef VELK_TRY

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
  out += "{\n";
  auto key = [&](std::string_view k) {
    out += "  \"";
    out += k;
    out += "\": ";
  };
  auto next = [&] { out += ",\n"; };
  key("entity_id"); append_string(out, r.entity_id); next();
  key("entity_type"); append_string(out, r.entity_type); next();
  key("entity_name"); append_string(out, r.entity_name); next();
  key("talent"); append_tensor_value(out, r.t3.talent); next();
  key("training"); append_tensor_value(out, r.t3.training); next();
  key("temperament"); append_tensor_value(out, r.t3.temperament); next();
  key("valuation"); append_tensor_value(out, r.v3.valuation); next();
  key("veracity"); append_tensor_value(out, r.v3.veracity); next();
  key("validity"); append_tensor_value(out, r.v3.validity); next();
  key("witnessed_by"); append_list(out, r.witnessed_by); next();
  key("has_witnessed"); append_list(out, r.has_witnessed); next();
  key("action_count"); out += std::to_string(r.action_count); next();
  key("success_count"); out += std::to_string(r.success_count); next();
  key("witness_count"); out += std::to_string(r.witness_count); next();
  key("last_action");
  if (r.last_action) {
    out.push_back('"');
    append_timestamp(out, *r.last_action);
    out.push_back('"');
  } else {
    out += "null";
  }
  next();
  key("created_at");
  out.push_back('"');
  append_timestamp(out, r.created_at);
  out += "\"\n}";
  return out;
}

auto parse_record(std::string_view text, Timestamp now) -> std::variant<EntityTrust, std::string> {
  Reader reader(text, now);
  EntityTrust record;
  if (!reader.read_record(record)) return reader.message();
  return record;
}

}  // namespace velk
