// RFC 3339 text of record timestamps: the writer's fixed form and the reader's relaxed form.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

#include "entity/trust/entity_trust.h"

namespace velk {

// "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]Z"; years outside 0..9999 carry a sign.
void append_timestamp(std::string& out, Timestamp t);
// The same text written at p, at most kTimestampTextMax bytes; returns its end.
inline constexpr std::size_t kTimestampTextMax = 64;
auto write_timestamp(char* p, Timestamp t) -> char*;

// Parses a relaxed RFC 3339 date-time with an offset and converts it to UTC. Serialization with
// one of the date parser's fixed messages (e.g. "premature end of input") on failure.
auto parse_timestamp(std::string_view text) -> Result<Timestamp>;

// Days since 1970-01-01 of a proleptic Gregorian date, and back. Valid far beyond the range of
// std::chrono::year, which stored records may exceed.
auto days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept -> std::int64_t;
void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) noexcept;
// Days in month m (1 to 12) of year y.
auto days_in_month(std::int64_t y, std::int64_t m) noexcept -> std::int64_t;

}  // namespace velk
