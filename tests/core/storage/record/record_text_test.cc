// The record text: exact bytes written, exact messages and positions read.
#include "storage/record/record_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "entity/trust/record_fields.h"

namespace velk {
namespace {

const Timestamp kCreated{1'767'225'600, 0};  // 2026-01-01T00:00:00Z

auto parse(std::string_view text) -> Result<EntityTrust> { return parse_record(text, kCreated); }

auto error_of(std::string_view text) -> std::string {
  auto r = parse(text);
  return r ? "(read)" : r.error().detail();
}

auto read_ok(std::string_view text) -> EntityTrust {
  auto r = parse(text);
  if (!r) ADD_FAILURE() << r.error().text() << " for " << text;
  return r ? *std::move(r) : EntityTrust{};
}

auto number(double v) -> std::string {
  std::string s;
  append_number(s, v);
  return s;
}

TEST(RecordJsonTest, NumberForms) {
  const std::pair<double, const char*> cases[] = {
      {0.5, "0.5"},
      {1.0, "1.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.00001, "0.00001"},
      {0.000012, "0.000012"},
      {0.000001, "1e-6"},
      {0.00000015, "1.5e-7"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {25'000'000'000'000'000.0, "2.5e+16"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-1.5, "-1.5"},
      {123.456, "123.456"},
      {1.8446744073709552e19, "1.8446744073709552e+19"},
      {5e-324, "5e-324"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(number(v), text);
}

TEST(RecordJsonTest, FreshRecordLayout) {
  auto r = EntityTrust::create("session:abc");
  r.created_at = kCreated;
  EXPECT_EQ(render_record(r),
            "{\n"
            "  \"entity_id\": \"session:abc\",\n"
            "  \"entity_type\": \"session\",\n"
            "  \"entity_name\": \"abc\",\n"
            "  \"talent\": 0.5,\n"
            "  \"training\": 0.5,\n"
            "  \"temperament\": 0.5,\n"
            "  \"valuation\": 0.5,\n"
            "  \"veracity\": 0.5,\n"
            "  \"validity\": 0.5,\n"
            "  \"witnessed_by\": [],\n"
            "  \"has_witnessed\": [],\n"
            "  \"action_count\": 0,\n"
            "  \"success_count\": 0,\n"
            "  \"witness_count\": 0,\n"
            "  \"last_action\": null,\n"
            "  \"created_at\": \"2026-01-01T00:00:00Z\"\n"
            "}");
}

TEST(RecordJsonTest, ListsEscapesAndNonFiniteValues) {
  auto r = EntityTrust::create("a\"b\n\x01/\x7f\xc3\xa9");
  r.created_at = kCreated;
  r.last_action = Timestamp{kCreated.seconds + 1, 500'000'000};
  r.witnessed_by = {"x:1", "y:2"};
  r.t3.talent = std::nan("");
  r.t3.training = -INFINITY;
  const auto text = render_record(r);
  EXPECT_NE(text.find("\"entity_id\": \"a\\\"b\\n\\u0001/\x7f\xc3\xa9\",\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  \"witnessed_by\": [\n    \"x:1\",\n    \"y:2\"\n  ],\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"talent\": null,\n  \"training\": null,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"last_action\": \"2026-01-01T00:00:01.500Z\","), std::string::npos) << text;
  const auto back = read_ok(text);
  EXPECT_EQ(back.entity_id, r.entity_id);
  EXPECT_EQ(back.witnessed_by, r.witnessed_by);
  EXPECT_EQ(back.t3.average(), 0.5);  // null falls back to neutral
}

TEST(RecordJsonTest, MinimalRecordTakesDefaults) {
  const auto r = read_ok(R"({"entity_id":"x:y"})");
  EXPECT_EQ(r.entity_id, "x:y");
  EXPECT_EQ(r.entity_type, "");
  EXPECT_EQ(r.entity_name, "");
  EXPECT_EQ(r.t3.average(), 0.5);
  EXPECT_EQ(r.v3.average(), 0.5);
  EXPECT_TRUE(r.witnessed_by.empty());
  EXPECT_EQ(r.action_count, 0u);
  EXPECT_FALSE(r.last_action);
  EXPECT_EQ(r.created_at, kCreated);
}

TEST(RecordJsonTest, ValueRules) {
  auto r = read_ok(R"({"entity_id":"a","action_count":3,"success_count":-0,"witness_count":18446744073709551615,
      "last_action":null,"created_at":"2026-01-01 12:00:00+02:00","other":1e-400,"unknown":[{"a":[]}],
      "unknown":1,"talent":1.5,"training":1,"temperament":0.50,"validity":-2,"valuation":1e-400,"veracity":0})");
  EXPECT_EQ(r.action_count, 3u);
  EXPECT_EQ(r.success_count, 0u);
  EXPECT_EQ(r.witness_count, UINT64_MAX);
  EXPECT_FALSE(r.last_action);
  EXPECT_EQ(r.created_at.seconds, kCreated.seconds + 10 * 3600);
  EXPECT_EQ(r.t3.talent, 1.0);
  EXPECT_EQ(r.t3.training, 1.0);
  EXPECT_EQ(r.v3.validity, 0.0);
  EXPECT_EQ(r.v3.valuation, 0.0);
}

TEST(RecordJsonTest, OlderKeysAndFallbacks) {
  const auto older = read_ok(R"({"entity_id":"a","competence":0.7,"reliability":0.5,"consistency":0.8,
      "lineage":0.2,"witnesses":0.6,"alignment":0.9,"energy":0.8,"contribution":0.6,"stewardship":0.9,
      "network":0.3,"temporal":0.6,"reputation":0.7})");
  EXPECT_EQ(older.t3.talent, 0.7);
  EXPECT_EQ(older.t3.training, 0.5);
  EXPECT_EQ(older.t3.temperament, 0.75);
  EXPECT_EQ(older.v3.valuation, 0.7);
  EXPECT_EQ(older.v3.veracity, 0.7);
  EXPECT_EQ(older.v3.validity, 0.6);

  const auto null_current = read_ok(R"({"entity_id":"a","temperament":null,"talent":0.1,"training":0.1,
      "competence":0.7,"reliability":0.5,"consistency":0.8,"lineage":0.2,"witnesses":0.6,"alignment":0.9})");
  EXPECT_EQ(null_current.t3.talent, 0.7);
  EXPECT_EQ(null_current.t3.temperament, 0.75);

  const auto partial = read_ok(R"({"entity_id":"a","talent":0.9,"training":0.9})");
  EXPECT_EQ(partial.t3.talent, 0.5);
  EXPECT_EQ(partial.t3.training, 0.5);
}

// (input, exact message): every message form and the position rules.
TEST(RecordJsonTest, Messages) {
  const std::string deep = R"({"entity_id":"a","x":)" + std::string(126, '[') + std::string(126, ']') + "}";
  EXPECT_EQ(error_of(deep), "(read)");
  const std::string too_deep = R"({"entity_id":"a","x":)" + std::string(127, '[') + std::string(127, ']') + "}";
  EXPECT_EQ(error_of(too_deep), "recursion limit exceeded at line 1 column 148");
  const std::string deep_tensor = R"({"entity_id":"a","talent":)" + std::string(127, '[') + "]";
  EXPECT_EQ(error_of(deep_tensor), "recursion limit exceeded at line 1 column 153");
  // Under an own key the type check stops at the first bracket.
  EXPECT_EQ(error_of(R"({"entity_id":)" + std::string(200, '[')),
            "invalid type: sequence, expected a string at line 1 column 13");

  const std::pair<std::string, std::string> cases[] = {
      {R"({"entity_id":"a","entity_id":"b"})", "duplicate field `entity_id` at line 1 column 28"},
      {R"({"entity_id":"a","entity_id" :"b"})", "duplicate field `entity_id` at line 1 column 29"},
      {R"({"entity_id":[]})", "invalid type: sequence, expected a string at line 1 column 13"},
      {R"({"entity_id":{}})", "invalid type: map, expected a string at line 1 column 13"},
      {R"({"entity_id":null})", "invalid type: null, expected a string at line 1 column 17"},
      {R"({"entity_id":true})", "invalid type: boolean `true`, expected a string at line 1 column 17"},
      {R"({"entity_id":-2.5})", "invalid type: floating point `-2.5`, expected a string at line 1 column 17"},
      {"[]", "invalid type: sequence, expected struct EntityTrust at line 1 column 0"},
      {R"("abc")", "invalid type: string \"abc\", expected struct EntityTrust at line 1 column 5"},
      {R"("a\"b")", R"(invalid type: string "a\"b", expected struct EntityTrust at line 1 column 6)"},
      {R"("\b\t\\")", R"(invalid type: string "\u{8}\t\\", expected struct EntityTrust at line 1 column 8)"},
      // Found strings escape by code point: other characters stay as they are.
      {R"({"entity_id":"a","action_count":"😀"})", R"(invalid type: string "😀", expected u64 at line 1 column 38)"},
      {R"({"entity_id":"a","action_count":"가🇰🇷"})", R"(invalid type: string "가🇰🇷", expected u64 at line 1 column 45)"},
      {R"({"entity_id":"a","action_count":"\u007f\u0085\u00a0\u0000\r"})",
       "invalid type: string \"\\u{7f}\\u{85}\u00a0\\0\\r\", expected u64 at line 1 column 60"},
      {"12", "invalid type: integer `12`, expected struct EntityTrust at line 1 column 2"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"{}", "missing field `entity_id` at line 1 column 2"},
      {R"({"Entity_ID":"a"})", "missing field `entity_id` at line 1 column 17"},
      {R"({"entity_id":"a"} x)", "trailing characters at line 1 column 19"},
      {R"({"entity_id":"a","talent":"x"} z)", "invalid type: string \"x\", expected f64 at line 1 column 30"},
      {R"({"entity_id":"a","talent":1,"talent":2})", "duplicate field `talent` at line 1 column 39"},
      {R"({"entity_id":"a","veracity":1,"veracity":2,"talent":true})",
       "invalid type: boolean `true`, expected f64 at line 1 column 57"},
      {R"({"entity_id":"a","veracity":[1]})", "invalid type: sequence, expected f64 at line 1 column 32"},
      {R"({"entity_id":"a","competence":{}})", "invalid type: map, expected f64 at line 1 column 33"},
      {R"({"talent":"x"})", "missing field `entity_id` at line 1 column 14"},
      {R"({"entity_id":"a","action_count":3.0})", "invalid type: floating point `3.0`, expected u64 at line 1 column 35"},
      {R"({"entity_id":"a","action_count":1e2})", "invalid type: floating point `100.0`, expected u64 at line 1 column 35"},
      {R"({"entity_id":"a","action_count":-5})", "invalid value: integer `-5`, expected u64 at line 1 column 34"},
      {R"({"entity_id":"a","action_count":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 52"},
      {R"({"entity_id":"a","action_count":-9223372036854775809})",
       "invalid type: floating point `-9.223372036854776e+18`, expected u64 at line 1 column 52"},
      {R"({"entity_id":"a","action_count":"3"})", "invalid type: string \"3\", expected u64 at line 1 column 35"},
      {R"({"entity_id":"a","action_count":null})", "invalid type: null, expected u64 at line 1 column 36"},
      {R"({"entity_id":"a","created_at":null})",
       "invalid type: null, expected an RFC 3339 formatted date and time string at line 1 column 34"},
      {R"({"entity_id":"a","last_action":5})",
       "invalid type: integer `5`, expected an RFC 3339 formatted date and time string at line 1 column 32"},
      {R"({"entity_id":"a","last_action":"2026-01-01T12:00:00"})", "premature end of input at line 1 column 52"},
      {R"({"entity_id":"a","created_at":"2026-01-01"})",
       "input is not enough for unique date and time at line 1 column 42"},
      {R"({"entity_id":"a","witnessed_by":"x"})", "invalid type: string \"x\", expected a sequence at line 1 column 35"},
      {R"({"entity_id":"a","witnessed_by":["x",1]})", "invalid type: integer `1`, expected a string at line 1 column 38"},
      {R"({"entity_id":"a","witnessed_by":["x",]})", "trailing comma at line 1 column 38"},
      {R"({"entity_id":"a","witnessed_by":["x")", "EOF while parsing a list at line 1 column 36"},
      {R"({"entity_id":"a",})", "trailing comma at line 1 column 18"},
      {R"({"entity_id":"a" "x":1})", "expected `,` or `}` at line 1 column 18"},
      {R"({"entity_id" "a"})", "expected `:` at line 1 column 14"},
      {R"({"entity_id":"a)", "EOF while parsing a string at line 1 column 15"},
      {R"({"entity_id":"a")", "EOF while parsing an object at line 1 column 16"},
      {R"({"entity_id":"a",)", "EOF while parsing a value at line 1 column 17"},
      {R"({"entity_id":"a","x":[1,2)", "EOF while parsing a list at line 1 column 25"},
      {R"({"entity_id":"a","x":[1 2]})", "expected `,` or `]` at line 1 column 25"},
      {R"({"entity_id":"a","x":{"k" 1}})", "expected `:` at line 1 column 27"},
      {R"({"entity_id":"a","x":{"k":1,}})", "trailing comma at line 1 column 29"},
      {R"({"entity_id":"a","x":tru})", "expected ident at line 1 column 25"},
      {R"({"entity_id":"a","x":nul)", "EOF while parsing a value at line 1 column 24"},
      {R"({"entity_id":"a","x":})", "expected value at line 1 column 22"},
      {R"({"entity_id":"\q"})", "invalid escape at line 1 column 16"},
      {R"({"entity_id":"\u12G4"})", "invalid escape at line 1 column 19"},
      {R"({"entity_id":"\u00G0"})", "invalid escape at line 1 column 19"},
      {R"({"entity_id":"\uG000"})", "invalid escape at line 1 column 17"},
      {R"({"entity_id":"\u12)", "EOF while parsing a string at line 1 column 18"},
      {R"({"entity_id":"\uDC00"})", "lone leading surrogate in hex escape at line 1 column 20"},
      {R"({"entity_id":"\uD800x"})", "unexpected end of hex escape at line 1 column 21"},
      {R"({"entity_id":"\uD800\u0041"})", "lone leading surrogate in hex escape at line 1 column 26"},
      {"{\"entity_id\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {R"({"entity_id":01})", "invalid number at line 1 column 15"},
      {R"({"entity_id":"a","x":1.})", "invalid number at line 1 column 24"},
      {R"({"entity_id":"a","x":1.)", "EOF while parsing a value at line 1 column 23"},
      {R"({"entity_id":"a","x":1e})", "invalid number at line 1 column 24"},
      {R"({"entity_id":"a","x":-})", "invalid number at line 1 column 23"},
      {R"({"entity_id":"a","x":1e400})", "number out of range at line 1 column 26"},
      {R"({"entity_id":"a","x":[1e999999999999999999]})", "number out of range at line 1 column 34"},
      {R"({"entity_id":"a","x":[0.5E+2147483648]})", "number out of range at line 1 column 37"},
      // Zero, or a negative exponent, reads as zero however long the exponent.
      {R"({"entity_id":"a","x":0.00e999999999999999999,"y":1e-999999999999999999,"z":x})",
       "expected value at line 1 column 76"},
      {R"({"entity_id":"a","x":)" + std::string(400, '9') + "}", "number out of range at line 1 column 421"},
      {R"({1:2})", "key must be a string at line 1 column 2"},
      {"{\n  \"entity_id\": 5\n}", "invalid type: integer `5`, expected a string at line 2 column 16"},
  };
  for (const auto& [input, message] : cases) EXPECT_EQ(error_of(input), message) << input;
}

TEST(RecordJsonTest, TolerantInputIsRewrittenInTheWritersLayout) {
  const auto r = read_ok(R"({"created_at":"2026-01-01T12:00:00+02:00","talent":0.50,"training":1,
      "temperament":0.25,"entity_id":"mcp:x","competence":0.1,"valuation":0.5,"veracity":0.5,"validity":0.5})");
  const auto text = render_record(r);
  EXPECT_NE(text.find("\"talent\": 0.5,\n  \"training\": 1.0,\n  \"temperament\": 0.25,"), std::string::npos);
  EXPECT_NE(text.find("\"created_at\": \"2026-01-01T10:00:00Z\"\n}"), std::string::npos);
  EXPECT_EQ(text.find("competence"), std::string::npos);
  EXPECT_EQ(render_record(read_ok(text)), text);
}

// Written, read and written again: the same bytes, for random records with values in 0..1.
TEST(RecordJsonTest, RoundTripIsByteExact) {
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<std::int64_t> secs(-62'135'596'800LL, 253'402'300'799LL);
  std::uniform_int_distribution<int> byte(0, 255);
  auto random_text = [&] {
    std::string s;
    const int n = byte(rng) % 12;
    for (int k = 0; k < n; ++k) {
      const int b = byte(rng);
      s.push_back(static_cast<char>(b < 128 ? b : 'a' + b % 26));
    }
    return s + "\xc3\xa9:x";
  };
  for (int round = 0; round < 500; ++round) {
    EntityTrust r = EntityTrust::create(random_text());
    r.t3 = {unit(rng), unit(rng), unit(rng)};
    r.v3 = {unit(rng), unit(rng), round % 7 == 0 ? 1.0 : unit(rng) / 1e7};
    for (int k = byte(rng) % 4; k > 0; --k) r.witnessed_by.push_back(random_text());
    for (int k = byte(rng) % 3; k > 0; --k) r.has_witnessed.push_back(random_text());
    r.action_count = rng();
    r.success_count = rng() % 1000;
    r.witness_count = round;
    const std::uint32_t nanos[] = {0, 120'000'000, 123'456'000, 123'456'789, 7};
    if (round % 3 != 0) r.last_action = Timestamp{secs(rng), nanos[round % 5]};
    r.created_at = Timestamp{secs(rng), nanos[(round + 1) % 5]};
    const auto text = render_record(r);
    const auto back = read_ok(text);
    EXPECT_EQ(back.t3.talent, r.t3.talent);
    EXPECT_EQ(back.v3.validity, r.v3.validity);
    EXPECT_EQ(back.created_at, r.created_at);
    ASSERT_EQ(render_record(back), text);
  }
}

// The fast path for the writer's layout reads every tensor value as the exact reader does:
// decimals of one to seventeen fraction digits, across the word boundaries of its digit scan.
TEST(RecordJsonTest, FastPathReadsDecimalsAsTheExactReader) {
  std::mt19937_64 rng(8122026);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int digits = 1; digits <= 17; ++digits) {
    for (int round = 0; round < 200; ++round) {
      EntityTrust r = EntityTrust::create("mcp:fast");
      const double scale = std::pow(10.0, digits);
      r.t3.talent = std::nearbyint(unit(rng) * scale) / scale;
      r.v3.validity = round % 2 == 0 ? 1.0 : unit(rng);
      const auto text = render_record(r);
      const auto fast = read_written_layout(text);
      ASSERT_TRUE(fast.has_value()) << text;
      const auto exact = parse_record_exact(text, kCreated);
      ASSERT_TRUE(exact.has_value());
      EXPECT_EQ(fast->t3.talent, exact->t3.talent) << number(r.t3.talent);
      EXPECT_EQ(fast->t3.talent, r.t3.talent);
      // Shortest forms of random doubles: sixteen and seventeen digits, above and below 2**53.
      EXPECT_EQ(fast->v3.validity, exact->v3.validity) << number(r.v3.validity);
      EXPECT_EQ(fast->v3.validity, r.v3.validity);
    }
  }
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

// Every declared field reaches the text under its key and comes back from it: a field that the
// writer or the reader misses fails here.
TEST(RecordJsonTest, EveryDeclaredFieldIsWrittenAndRead) {
  EntityTrust r;
  std::size_t index = 0;
  for_each_field(r, [&](std::string_view key, auto& member, Absent) {
    using T = std::remove_cvref_t<decltype(member)>;
    ++index;
    if constexpr (std::is_same_v<T, std::string>) member = std::string(key) + "-value";
    if constexpr (std::is_same_v<T, double>) member = 0.125 + 0.0625 * static_cast<double>(index % 8);
    if constexpr (std::is_same_v<T, std::vector<std::string>>) member = {std::string(key), "x:y"};
    if constexpr (std::is_same_v<T, std::uint64_t>) member = 1000 + index;
    if constexpr (std::is_same_v<T, std::optional<Timestamp>>) member = Timestamp{1'700'000'000 + 3600, 5};
    if constexpr (std::is_same_v<T, Timestamp>) member = Timestamp{1'700'000'000, 123'000'000};
  });
  ASSERT_EQ(index, kFieldCount);
  const std::string text = render_record(r);
  for_each_field(r, [&](std::string_view key, const auto&, Absent) {
    EXPECT_NE(text.find("\n  \"" + std::string(key) + "\": "), std::string::npos) << key;
  });
  // Every value differs from its default, so a field the reader drops changes the text.
  EXPECT_EQ(render_record(read_ok(text)), text);
}

}  // namespace
}  // namespace velk
