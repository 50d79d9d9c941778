// Mapping of older tensor dimensions onto the current ones.
#include "entity/legacy_fields.h"

namespace velk {
namespace {

template <std::size_t... I>
auto all_present(const std::array<std::optional<double>, 9>& f, std::index_sequence<I...>) -> bool {
  return (f[I].has_value() && ...);
}

}  // namespace

auto field_index(const std::array<std::string_view, 9>& keys, std::string_view key) noexcept -> int {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return static_cast<int>(i);
  }
  return -1;
}

auto T3Compat::to_tensor() const noexcept -> T3Tensor {
  const auto& f = fields;
  if (all_present(f, std::index_sequence<0, 1, 2>{})) return T3Tensor::clamped(*f[0], *f[1], *f[2]);
  if (all_present(f, std::index_sequence<3, 4, 5, 6, 7, 8>{})) {
    const double competence = *f[3], reliability = *f[4], consistency = *f[5];
    const double witnesses = *f[6], lineage = *f[7], alignment = *f[8];
    return T3Tensor::clamped(competence, ((reliability + consistency) + lineage) / 3.0,
                             (witnesses + alignment) * 0.5);
  }
  return T3Tensor::neutral();
}

auto V3Compat::to_tensor() const noexcept -> V3Tensor {
  const auto& f = fields;
  if (all_present(f, std::index_sequence<0, 1, 2>{})) return V3Tensor::clamped(*f[0], *f[1], *f[2]);
  if (all_present(f, std::index_sequence<3, 4, 5, 6, 7, 8>{})) {
    const double energy = *f[3], contribution = *f[4], stewardship = *f[5];
    const double network = *f[6], reputation = *f[7], temporal = *f[8];
    return V3Tensor::clamped((energy + contribution) * 0.5, reputation,
                             ((stewardship + network) + temporal) / 3.0);
  }
  return V3Tensor::neutral();
}

}  // namespace velk
