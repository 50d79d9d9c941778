// The tensor field sets of a stored record: current keys and the keys older releases wrote.
#pragma once

#include <array>
#include <optional>
#include <utility>
#include <string_view>

#include "entity/tensor.h"

namespace velk {

// Nine optional dimensions; indexes 0-2 are the current keys, 3-8 the older ones.
struct T3Compat {
  static constexpr std::array<std::string_view, 9> kKeys = {
      "talent", "training", "temperament", "competence", "reliability",
      "consistency", "witnesses", "lineage", "alignment"};
  std::array<std::optional<double>, 9> fields;

  // Current keys if all three are present, else all six older keys, else neutral; always clamped.
  auto to_tensor() const noexcept -> T3Tensor;
};

struct V3Compat {
  static constexpr std::array<std::string_view, 9> kKeys = {
      "valuation", "veracity", "validity", "energy", "contribution",
      "stewardship", "network", "reputation", "temporal"};
  std::array<std::optional<double>, 9> fields;

  auto to_tensor() const noexcept -> V3Tensor;
};

// Index of key in keys, or -1.
auto field_index(const std::array<std::string_view, 9>& keys, std::string_view key) noexcept -> int;

}  // namespace velk
