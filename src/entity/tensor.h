// The trust tensor T3 and the value tensor V3: clamping, averages, level words, outcome and decay.
#pragma once

#include <string_view>

namespace velk {

inline constexpr double kNeutral = 0.5;

// Keeps a value in [0, 1]; NaN and negative zero pass through unchanged.
constexpr auto clamp_unit(double x) noexcept -> double {
  if (x < 0.0) return 0.0;
  if (x > 1.0) return 1.0;
  return x;
}

// The level word for an average: inclusive lower bounds 0.8, 0.6, 0.4, 0.2; NaN is "minimal".
auto level_word(double average) noexcept -> std::string_view;

struct T3Tensor {
  double talent = kNeutral;
  double training = kNeutral;
  double temperament = kNeutral;

  static auto neutral() noexcept -> T3Tensor { return {}; }
  // Each value clamped to [0, 1].
  static auto clamped(double talent, double training, double temperament) noexcept -> T3Tensor {
    return {clamp_unit(talent), clamp_unit(training), clamp_unit(temperament)};
  }

  auto average() const noexcept -> double { return ((training + talent) + temperament) / 3.0; }
  auto level() const noexcept -> std::string_view { return level_word(average()); }
  // Moves all three dimensions by one delta derived from the old training; magnitude is clamped.
  void update_from_outcome(bool success, double magnitude) noexcept;
  // Pulls every dimension toward 0.3 (floored there, no upper bound); true when training moved by
  // more than 0.001. Nothing changes when days_inactive <= 0.
  auto apply_decay(double days_inactive, double decay_rate) noexcept -> bool;
  // The decay step for an already computed factor f; same result as apply_decay.
  auto decay_by(double f) noexcept -> bool;
};

struct V3Tensor {
  double valuation = kNeutral;
  double veracity = kNeutral;
  double validity = kNeutral;

  static auto neutral() noexcept -> V3Tensor { return {}; }
  static auto clamped(double valuation, double veracity, double validity) noexcept -> V3Tensor {
    return {clamp_unit(valuation), clamp_unit(veracity), clamp_unit(validity)};
  }

  auto average() const noexcept -> double { return ((veracity + valuation) + validity) / 3.0; }
};

// The decay floor: anything not above 0.3, NaN included, becomes exactly 0.3.
constexpr auto decay_floor(double x) noexcept -> double { return x > 0.3 ? x : 0.3; }

// One decayed value: floor(0.3 + ((x - 0.3) * f) * k).
constexpr auto decayed(double x, double f, double k) noexcept -> double {
  return decay_floor(0.3 + ((x - 0.3) * f) * k);
}

}  // namespace velk
