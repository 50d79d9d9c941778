// Timestamp text: the writer's forms, the reader's relaxations and its six messages.
#include "storage/record/timestamp_text.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

constexpr std::int64_t kJan1st2026 = 1'767'225'600;  // 2026-01-01T00:00:00Z

auto written(Timestamp t) -> std::string {
  std::string s;
  append_timestamp(s, t);
  return s;
}

auto reparsed(std::string_view text) -> std::string {
  auto r = parse_timestamp(text);
  return r ? written(*r) : "error: " + r.error().detail();
}

TEST(TimestampTextTest, WriterForms) {
  EXPECT_EQ(written({kJan1st2026, 0}), "2026-01-01T00:00:00Z");
  EXPECT_EQ(written({kJan1st2026 + 1, 500'000'000}), "2026-01-01T00:00:01.500Z");
  EXPECT_EQ(written({kJan1st2026 + 1, 123'456'789}), "2026-01-01T00:00:01.123456789Z");
  EXPECT_EQ(written({kJan1st2026, 123'456'000}), "2026-01-01T00:00:00.123456Z");
  EXPECT_EQ(written({0, 0}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(written({-1, 0}), "1969-12-31T23:59:59Z");
  EXPECT_EQ(written({kJan1st2026 - 1, 1'250'000'000}), "2025-12-31T23:59:60.250Z");
  EXPECT_EQ(written({days_from_civil(-1, 3, 4) * 86400, 0}), "-0001-03-04T00:00:00Z");
  EXPECT_EQ(written({days_from_civil(10000, 1, 1) * 86400, 0}), "+10000-01-01T00:00:00Z");
  EXPECT_EQ(written({days_from_civil(0, 1, 1) * 86400, 0}), "0000-01-01T00:00:00Z");
}

TEST(TimestampTextTest, Relaxations) {
  const std::pair<const char*, const char*> cases[] = {
      {"2026-01-01T12:00:00Z", "2026-01-01T12:00:00Z"},
      {"2026-01-01 12:00:00+02:00", "2026-01-01T10:00:00Z"},
      {"2026-01-01t12:00:00z", "2026-01-01T12:00:00Z"},
      {"2026-1-2T3:4:5Z", "2026-01-02T03:04:05Z"},
      {" 2026 - 01 - 01T 12 : 00 : 00Z", "2026-01-01T12:00:00Z"},
      {"2026-01-01T12:00:00 utc", "2026-01-01T12:00:00Z"},
      {"2026-01-01T12:00:00UtC  ", "2026-01-01T12:00:00Z"},
      {"2026-01-01T00:30:00-01:00", "2026-01-01T01:30:00Z"},
      {"2026-01-01T00:30:00\xE2\x88\x92" "01:00", "2026-01-01T01:30:00Z"},
      {"2026-01-01T00:30:00+0100", "2025-12-31T23:30:00Z"},
      {"2026-01-01T00:30:00+01: :30", "2025-12-31T23:00:00Z"},
      {"2026-01-01T00:00:00+23:59", "2025-12-31T00:01:00Z"},
      {"2026-01-01T00:00:00.5Z", "2026-01-01T00:00:00.500Z"},
      {"2026-01-01T00:00:00.123456789999Z", "2026-01-01T00:00:00.123456789Z"},
      {"2026-01-01T00:00:00.000001Z", "2026-01-01T00:00:00.000001Z"},
      {"2016-12-31T23:59:60Z", "2016-12-31T23:59:60Z"},
      {"+2026-01-01T00:00:00Z", "2026-01-01T00:00:00Z"},
      {"-0044-03-15T12:00:00Z", "-0044-03-15T12:00:00Z"},
      {"+012345-06-07T00:00:00Z", "+12345-06-07T00:00:00Z"},
      {"2024-02-29T00:00:00Z", "2024-02-29T00:00:00Z"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(reparsed(input), expected) << input;
}

TEST(TimestampTextTest, Failures) {
  const std::pair<const char*, const char*> cases[] = {
      {"2026-01-01", "input is not enough for unique date and time"},
      {"2026-01-01T12:00:00", "premature end of input"},
      {"2026-01-01T12:00", "premature end of input"},
      {"", "premature end of input"},
      {"2026-01-01T12:00:00+02", "premature end of input"},
      {"2026-01-01X12:00:00Z", "input contains invalid characters"},
      {"x2026-01-01T12:00:00Z", "input contains invalid characters"},
      {"2026/01/01T12:00:00Z", "input contains invalid characters"},
      {"2026-01-01T12:00:00.Z", "input contains invalid characters"},
      {"2026-01-01T12:00:00 GMT", "input contains invalid characters"},
      {"2026-01-01T12:00:00Zjunk", "trailing input"},
      {"2026-13-01T12:00:00Z", "input is out of range"},
      {"2026-02-29T12:00:00Z", "input is out of range"},
      {"2026-01-01T24:00:00Z", "input is out of range"},
      {"2026-01-01T12:60:00Z", "input is out of range"},
      {"2026-01-01T12:00:61Z", "input is out of range"},
      {"2026-01-01T12:00:00+24:00", "input is out of range"},
      {"2026-01-01T12:00:00+01:60", "input is out of range"},
      {"+262143-12-31T23:00:00-02:00", "no possible date and time matching input"},
      // Syntax first: the bad month is not reported while a later part is malformed.
      {"2026-13-01T12:00:00", "premature end of input"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(reparsed(input), std::string("error: ") + expected) << input;
}

TEST(TimestampTextTest, CivilDaysRoundTrip) {
  for (std::int64_t z : {-100'000'000LL, -719'468LL, -1LL, 0LL, 1LL, 20'454LL, 95'000'000LL}) {
    std::int64_t y;
    unsigned m, d;
    civil_from_days(z, y, m, d);
    EXPECT_EQ(days_from_civil(y, m, d), z);
  }
}

}  // namespace
}  // namespace velk
