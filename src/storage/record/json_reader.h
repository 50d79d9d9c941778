// A pull reader over JSON text: the caller asks for what it expects next. Every failure records
// the exact message and the position where reading stopped (" at line L column C"), which reach
// users verbatim. Methods return false once a failure is recorded; the first failure stands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velk {

// A JSON number as read: an integer that fits 64 bits keeps its kind.
struct Number {
  enum Kind { Unsigned, Negative, Float } kind = Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0.0;  // the value as a double, whatever the kind
};

// Any value, as far as messages and numeric fields need it.
struct Found {
  enum Kind { Null, Real, Other } kind = Null;
  double real = 0.0;
  std::string text;  // how an Other value is named in messages: "boolean `true`", "map", ...
};

// How messages name a number: "integer `5`", "floating point `2.5`".
auto describe(const Number& n) -> std::string;

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  // The recorded failure with its position.
  auto message() const -> std::string;

  auto at_end() const -> bool { return i_ >= s_.size(); }
  // The next byte; only when !at_end().
  auto peek() const -> char { return s_[i_]; }
  void advance() { ++i_; }
  void skip_ws();

  // Failures at the current position, or counting the byte looked at as read.
  auto error(std::string message) -> bool { return fail_at(i_, std::move(message)); }
  auto peek_error(std::string message) -> bool;
  auto invalid_type(const std::string& found, std::string_view expected) -> bool;
  // Reads the value at the cursor as far as naming it needs and fails "invalid type: ..., expected ...".
  auto peek_invalid_type(std::string_view expected) -> bool;

  // Skips whitespace before a value; "EOF while parsing a value" at the end.
  auto begin_value() -> bool;
  // At the opening quote: the string with its escapes decoded.
  auto string(std::string& out) -> bool;
  // At '-' or a digit.
  auto number(Number& out) -> bool;
  // At the word's first letter ("null", "true", "false").
  auto word(std::string_view w) -> bool;
  // Any value at the cursor; found, when given, learns what it was.
  auto value(Found* found) -> bool;

  // At '[' or '{': calls item() for each element (after whitespace, at its first byte) and
  // consumes the closing bracket. The one loop for arrays and objects.
  template <typename Item>
  auto items(Item&& item) -> bool;
  // At '{': calls member(key) for each key, just past the key; member reads the ':' (colon())
  // and the value.
  template <typename Member>
  auto members(Member&& member) -> bool;
  // Whitespace and the ':' after a key.
  auto colon() -> bool;

 private:
  static constexpr int kMaxDepth = 128;

  auto fail_at(std::size_t pos, std::string message) -> bool;
  auto enter() -> bool;
  auto item_separator(char close, bool first) -> int;  // 1 item follows, 0 closed, -1 failed
  auto escape(std::string& out) -> bool;
  auto hex4(std::uint32_t& v) -> bool;
  auto integer(bool positive, Number& n) -> bool;
  auto rest_of_number(std::size_t start, bool positive, std::uint64_t significand, Number& n) -> bool;
  auto fraction(std::size_t start, Number& n) -> bool;
  auto exponent(std::size_t start, Number& n) -> bool;
  auto to_double(std::size_t start, Number& n) -> bool;

  std::string_view s_;
  std::size_t i_ = 0;
  int depth_left_ = kMaxDepth;
  std::string message_;
  std::size_t pos_ = 0;
};

template <typename Item>
auto JsonReader::items(Item&& item) -> bool {
  const char close = peek() == '[' ? ']' : '}';
  if (!enter()) return false;
  ++i_;
  for (bool first = true;; first = false) {
    const int next = item_separator(close, first);
    if (next < 0) return false;
    if (next == 0) break;
    if (!item()) return false;
  }
  ++depth_left_;
  return true;
}

template <typename Member>
auto JsonReader::members(Member&& member) -> bool {
  std::string key;
  return items([&] {
    if (peek() != '"') return peek_error("key must be a string");
    return string(key) && member(static_cast<const std::string&>(key));
  });
}

}  // namespace velk
