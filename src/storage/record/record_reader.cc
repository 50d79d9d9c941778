// The record's schema on top of the JSON reader: its own keys and their defaults, the T3 and V3
// field sets (current and older keys) and unknown keys, which are read in full and dropped.
#include <array>
#include <utility>
#include <vector>

#include "entity/trust/record_fields.h"
#include "storage/record/json_reader.h"
#include "storage/record/record_text.h"
#include "storage/record/timestamp_text.h"

namespace velk {
namespace {

constexpr std::string_view kExpectRecord = "struct EntityTrust";
constexpr std::string_view kExpectString = "a string";
constexpr std::string_view kExpectSequence = "a sequence";
constexpr std::string_view kExpectU64 = "u64";
constexpr std::string_view kExpectTimestamp = "an RFC 3339 formatted date and time string";

auto is_tensor_key(std::string_view key) -> bool {
  return field_index(T3Compat::kKeys, key) >= 0 || field_index(V3Compat::kKeys, key) >= 0;
}

class RecordReader {
 public:
  RecordReader(std::string_view text, Timestamp now) : json_(text), now_(now) {}

  auto read(EntityTrust& r) -> bool;
  auto message() const -> std::string { return json_.message(); }

 private:
  using TensorValues = std::vector<std::pair<std::string, Found>>;

  // A failure the record finds in its own keys: placed after whitespace and a closing brace.
  auto record_error(std::string message) -> bool {
    json_.skip_ws();
    if (!json_.at_end() && json_.peek() == '}') json_.advance();
    return json_.error(std::move(message));
  }
  auto own_key(EntityTrust& r, const std::string& key, std::array<bool, kFieldCount>& seen, bool& matched) -> bool;
  auto read_value(std::string& out) -> bool;
  auto read_value(std::vector<std::string>& out) -> bool;
  auto read_value(std::uint64_t& out) -> bool;
  auto read_value(std::optional<Timestamp>& out) -> bool;
  auto read_value(Timestamp& out) -> bool;
  template <typename Compat>
  auto field_set(const TensorValues& values, Compat& set) -> bool;

  JsonReader json_;
  Timestamp now_;
};

auto RecordReader::read_value(std::string& out) -> bool {
  if (!json_.begin_value()) return false;
  if (json_.peek() != '"') return json_.peek_invalid_type(kExpectString);
  return json_.string(out);
}

auto RecordReader::read_value(std::vector<std::string>& out) -> bool {
  if (!json_.begin_value()) return false;
  if (json_.peek() != '[') return json_.peek_invalid_type(kExpectSequence);
  return json_.items([&] {
    std::string item;
    if (!read_value(item)) return false;
    out.push_back(std::move(item));
    return true;
  });
}

auto RecordReader::read_value(std::uint64_t& out) -> bool {
  if (!json_.begin_value()) return false;
  if (json_.peek() != '-' && (json_.peek() < '0' || json_.peek() > '9')) return json_.peek_invalid_type(kExpectU64);
  Number n;
  if (!json_.number(n)) return false;
  switch (n.kind) {
    case Number::Unsigned: out = n.u; return true;
    case Number::Negative: return json_.error("invalid value: " + describe(n) + ", expected u64");
    case Number::Float: break;
  }
  return json_.invalid_type(describe(n), kExpectU64);
}

auto RecordReader::read_value(std::optional<Timestamp>& out) -> bool {
  if (!json_.begin_value()) return false;
  if (json_.peek() == 'n') {
    out.reset();
    return json_.word("null");
  }
  Timestamp t;
  if (!read_value(t)) return false;
  out = t;
  return true;
}

auto RecordReader::read_value(Timestamp& out) -> bool {
  if (!json_.begin_value()) return false;
  if (json_.peek() != '"') return json_.peek_invalid_type(kExpectTimestamp);
  std::string text;
  if (!json_.string(text)) return false;
  auto parsed = parse_timestamp(text);
  if (!parsed) return json_.error(parsed.error().detail());
  out = *parsed;
  return true;
}

// Reads the value of an own (non-tensor) key; matched tells whether key is one.
auto RecordReader::own_key(EntityTrust& r, const std::string& key, std::array<bool, kFieldCount>& seen,
                           bool& matched) -> bool {
  bool ok = true;
  std::size_t index = 0;
  for_each_field(r, [&](std::string_view field, auto& member, Absent) {
    const std::size_t k = index++;
    if constexpr (!kIsDimension<decltype(member)>) {
      if (matched || field != key) return;
      matched = true;
      if (seen[k]) {
        ok = record_error("duplicate field `" + key + "`");
      } else {
        seen[k] = true;
        ok = json_.colon() && read_value(member);
      }
    }
  });
  return ok;
}

template <typename Compat>
auto RecordReader::field_set(const TensorValues& values, Compat& set) -> bool {
  std::array<bool, Compat::kKeys.size()> seen{};
  for (const auto& [key, value] : values) {
    const int k = field_index(Compat::kKeys, key);
    if (k < 0) continue;
    if (seen[k]) return json_.error("duplicate field `" + key + "`");
    seen[k] = true;
    if (value.kind == Found::Other) return json_.error("invalid type: " + value.text + ", expected f64");
    if (value.kind == Found::Real) set.fields[k] = value.real;
  }
  return true;
}

auto RecordReader::read(EntityTrust& r) -> bool {
  if (!json_.begin_value()) return false;
  if (json_.peek() != '{') return json_.peek_invalid_type(kExpectRecord);
  std::array<bool, kFieldCount> seen{};
  TensorValues tensor_values;
  const bool read = json_.members([&](const std::string& key) {
    bool own = false;
    if (!own_key(r, key, seen, own)) return false;
    if (own) return true;
    if (!json_.colon()) return false;
    if (!is_tensor_key(key)) return json_.value(nullptr);
    Found value;
    if (!json_.value(&value)) return false;
    tensor_values.emplace_back(key, std::move(value));
    return true;
  });
  if (!read) return false;
  // Errors from here on are placed after the closing brace, which members() consumed.
  std::size_t index = 0;
  bool complete = true;
  for_each_field(r, [&](std::string_view key, auto& member, Absent absent) {
    const bool given = seen[index++];
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(member)>, Timestamp>) {
      if (!given && absent == Absent::Now) member = now_;
    }
    if (complete && !given && absent == Absent::Fails) {
      complete = json_.error("missing field `" + std::string(key) + "`");
    }
  });
  if (!complete) return false;
  T3Compat t3;
  V3Compat v3;
  if (!field_set(tensor_values, t3) || !field_set(tensor_values, v3)) return false;
  r.t3 = t3.to_tensor();
  r.v3 = v3.to_tensor();
  json_.skip_ws();
  return json_.at_end() || json_.peek_error("trailing characters");
}

}  // namespace

auto parse_record(std::string_view text, Timestamp now) -> Result<EntityTrust> {
  if (auto record = read_written_layout(text)) return std::move(*record);
  return parse_record_exact(text, now);
}

auto parse_record_exact(std::string_view text, Timestamp now) -> Result<EntityTrust> {
  RecordReader reader(text, now);
  EntityTrust record;
  if (!reader.read(record)) return TrustError::serialization(reader.message());
  return record;
}

}  // namespace velk
