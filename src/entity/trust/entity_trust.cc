// Record arithmetic. Sums and products keep the written operand order: it fixes the last bit.
#include "entity/trust/entity_trust.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "entity/trust/entity_id.h"

namespace velk {
namespace {

// Raises by a fixed step and caps at 1; a NaN becomes 1.
constexpr auto capped(double x) noexcept -> double { return x < 1.0 ? x : 1.0; }

// Counters stop at their largest value rather than wrap to zero.
constexpr void saturating_increment(std::uint64_t& count) noexcept { count += count != UINT64_MAX; }

void append_once(std::vector<std::string>& list, std::string_view id) {
  if (std::find(list.begin(), list.end(), id) == list.end()) list.emplace_back(id);
}

}  // namespace

auto Timestamp::now() noexcept -> Timestamp {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  const auto secs = ns >= 0 ? ns / 1'000'000'000 : -((-ns + 999'999'999) / 1'000'000'000);
  return {secs, static_cast<std::uint32_t>(ns - secs * 1'000'000'000)};
}

auto EntityTrust::create(std::string_view id) -> EntityTrust {
  EntityTrust r;
  r.entity_id = std::string(id);
  auto [type, name] = split_entity_id(id);
  r.entity_type = std::move(type);
  r.entity_name = std::move(name);
  r.created_at = Timestamp::now();
  return r;
}

void EntityTrust::update_from_outcome(bool success, double magnitude) {
  saturating_increment(action_count);
  if (success) saturating_increment(success_count);
  t3.update_from_outcome(success, magnitude);
  v3.valuation = capped(v3.valuation + 0.01);
  last_action = Timestamp::now();
}

void EntityTrust::receive_witness(std::string_view witness_id, bool success, double magnitude) {
  saturating_increment(witness_count);
  append_once(witnessed_by, witness_id);
  double& temperament = t3.temperament;
  double& veracity = v3.veracity;
  if (success) {
    temperament = clamp_unit(temperament + (1.0 - temperament) * (0.03 * magnitude));
    veracity = clamp_unit(veracity + (magnitude * 0.8) * (1.0 - veracity));
  } else {
    temperament = clamp_unit(temperament + (-0.05 * magnitude) * temperament);
    veracity = clamp_unit(veracity + (magnitude * -0.5) * veracity);
  }
  v3.validity = capped(v3.validity + 0.01);
}

void EntityTrust::give_witness(std::string_view target_id, bool success, double magnitude) {
  append_once(has_witnessed, target_id);
  const double k = success ? 0.02 : 0.01;
  t3.temperament = clamp_unit(t3.temperament + (magnitude * k) * (1.0 - t3.temperament));
  v3.valuation = capped(v3.valuation + 0.005);
}

auto EntityTrust::apply_decay(double days_inactive, double decay_rate) noexcept -> bool {
  if (days_inactive <= 0.0) return false;
  const double f = std::pow(1.0 - decay_rate, days_inactive);
  const bool moved = t3.decay_by(f);
  v3.valuation = decayed(v3.valuation, f, 0.99);
  v3.validity = decayed(v3.validity, f, 1.0);
  return moved;
}

auto EntityTrust::success_rate() const noexcept -> double {
  if (action_count == 0) return 0.5;
  return static_cast<double>(success_count) / static_cast<double>(action_count);
}

auto EntityTrust::days_since_last_action(Timestamp now) const noexcept -> double {
  const Timestamp& since = last_action ? *last_action : created_at;
  // Seconds truncated toward zero, as a signed duration would be.
  __int128 ns = (static_cast<__int128>(now.seconds) - since.seconds) * 1'000'000'000 +
                (static_cast<__int128>(now.nanos) - since.nanos);
  const auto secs = static_cast<std::int64_t>(ns / 1'000'000'000);
  return static_cast<double>(secs) / 86400.0;
}

}  // namespace velk
