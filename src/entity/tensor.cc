// Tensor arithmetic; operand order is fixed because it decides the last bit of each result.
#include "entity/tensor.h"

#include <cmath>

namespace velk {

auto level_word(double average) noexcept -> std::string_view {
  if (average >= 0.8) return "high";
  if (average >= 0.6) return "medium-high";
  if (average >= 0.4) return "medium";
  if (average >= 0.2) return "low";
  return "minimal";
}

void T3Tensor::update_from_outcome(bool success, double magnitude) noexcept {
  const double m = clamp_unit(magnitude);
  const double t = training;
  const double delta = success ? (m * 0.05) * (1.0 - t) : (m * -0.1) * t;
  temperament = clamp_unit(temperament + 0.5 * delta);
  talent = clamp_unit(talent + 0.3 * delta);
  training = clamp_unit(t + delta);
}

auto T3Tensor::apply_decay(double days_inactive, double decay_rate) noexcept -> bool {
  if (days_inactive <= 0.0) return false;
  return decay_by(std::pow(1.0 - decay_rate, days_inactive));
}

auto T3Tensor::decay_by(double f) noexcept -> bool {
  const double t = training;
  talent = decayed(talent, f, 0.995);
  training = decayed(training, f, 1.0);
  temperament = decayed(temperament, f, 0.98);
  return std::fabs(t - training) > 0.001;
}

}  // namespace velk
