// Current and older tensor keys -> tensors.
#include "entity/legacy_fields.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

T3Compat t3_of(std::initializer_list<std::pair<const char*, double>> pairs) {
  T3Compat c;
  for (auto [k, v] : pairs) c.fields[field_index(T3Compat::kKeys, k)] = v;
  return c;
}

V3Compat v3_of(std::initializer_list<std::pair<const char*, double>> pairs) {
  V3Compat c;
  for (auto [k, v] : pairs) c.fields[field_index(V3Compat::kKeys, k)] = v;
  return c;
}

TEST(LegacyFieldsTest, CurrentKeysWinAndAreClamped) {
  const auto t = t3_of({{"talent", 1.5}, {"training", 0.2}, {"temperament", 0.3}, {"competence", 0.9},
                        {"reliability", 0.9}, {"consistency", 0.9}, {"witnesses", 0.9}, {"lineage", 0.9},
                        {"alignment", 0.9}})
                     .to_tensor();
  EXPECT_EQ(t.talent, 1.0);
  EXPECT_EQ(t.training, 0.2);
  EXPECT_EQ(t.temperament, 0.3);
  EXPECT_EQ(v3_of({{"valuation", 0.1}, {"veracity", 0.2}, {"validity", -2}}).to_tensor().validity, 0.0);
}

TEST(LegacyFieldsTest, OlderKeysAreMapped) {
  const auto t = t3_of({{"competence", 0.7}, {"reliability", 0.5}, {"consistency", 0.8}, {"lineage", 0.2},
                        {"witnesses", 0.6}, {"alignment", 0.9}})
                     .to_tensor();
  EXPECT_EQ(t.talent, 0.7);
  EXPECT_EQ(t.training, 0.5);
  EXPECT_EQ(t.temperament, 0.75);

  const auto v = v3_of({{"energy", 0.8}, {"contribution", 0.6}, {"stewardship", 0.9}, {"network", 0.3},
                        {"temporal", 0.6}, {"reputation", 0.7}})
                     .to_tensor();
  EXPECT_EQ(v.valuation, 0.7);
  EXPECT_EQ(v.veracity, 0.7);
  EXPECT_EQ(v.validity, 0.6);

  // One current key missing: the older set decides.
  const auto mixed = t3_of({{"talent", 0.1}, {"training", 0.1}, {"competence", 0.7}, {"reliability", 0.5},
                            {"consistency", 0.8}, {"lineage", 0.2}, {"witnesses", 0.6}, {"alignment", 0.9}})
                         .to_tensor();
  EXPECT_EQ(mixed.talent, 0.7);
}

TEST(LegacyFieldsTest, PartialSetsFallBackToNeutral) {
  const auto t = t3_of({{"talent", 0.9}, {"training", 0.9}}).to_tensor();
  EXPECT_EQ(t.average(), 0.5);
  const auto v = v3_of({{"energy", 0.8}, {"contribution", 0.6}, {"stewardship", 0.9}, {"network", 0.3},
                        {"temporal", 0.6}})
                     .to_tensor();
  EXPECT_EQ(v.valuation, 0.5);
  EXPECT_EQ(v.veracity, 0.5);
  EXPECT_EQ(v.validity, 0.5);
}

}  // namespace
}  // namespace velk
