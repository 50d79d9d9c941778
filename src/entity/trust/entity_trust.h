// The per-entity record: identity, tensors, witness lists, counters, timestamps and their arithmetic.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entity/tensor.h"

namespace velk {

// A UTC instant: whole seconds since 1970-01-01T00:00:00Z plus nanoseconds. A nanosecond part of
// 1e9 or more marks a leap second (the reader accepts second 60).
struct Timestamp {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;

  // The system clock's current UTC time.
  static auto now() noexcept -> Timestamp;
  friend auto operator==(const Timestamp&, const Timestamp&) -> bool = default;
};

class EntityTrust {
 public:
  // A neutral record for id, created now; type and name come from split_entity_id.
  static auto create(std::string_view entity_id) -> EntityTrust;

  void update_from_outcome(bool success, double magnitude);
  void receive_witness(std::string_view witness_id, bool success, double magnitude);
  void give_witness(std::string_view target_id, bool success, double magnitude);
  // Decays talent, training, temperament, valuation and validity; veracity stays.
  auto apply_decay(double days_inactive, double decay_rate) noexcept -> bool;

  auto t3_average() const noexcept -> double { return ((t3.talent + t3.training) + t3.temperament) / 3.0; }
  auto v3_average() const noexcept -> double {
    return ((v3.valuation + v3.veracity) + v3.validity) / 3.0;
  }
  auto trust_level() const noexcept -> std::string_view { return level_word(t3_average()); }
  auto success_rate() const noexcept -> double;
  // Whole seconds since the last action (or creation) as fractional days; negative for future times.
  auto days_since_last_action() const noexcept -> double { return days_since_last_action(Timestamp::now()); }
  auto days_since_last_action(Timestamp now) const noexcept -> double;

  std::string entity_id;
  std::string entity_type;
  std::string entity_name;
  T3Tensor t3;
  V3Tensor v3;
  std::vector<std::string> witnessed_by;
  std::vector<std::string> has_witnessed;
  std::uint64_t action_count = 0;
  std::uint64_t success_count = 0;
  std::uint64_t witness_count = 0;
  std::optional<Timestamp> last_action;
  Timestamp created_at;
};

}  // namespace velk
