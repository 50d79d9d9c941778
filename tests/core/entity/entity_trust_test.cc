// Record arithmetic with the record's own V3 rows.
#include "entity/trust/entity_trust.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace velk {
namespace {

TEST(EntityTrustTest, NewRecord) {
  const auto r = EntityTrust::create("session:abc");
  EXPECT_EQ(r.entity_id, "session:abc");
  EXPECT_EQ(r.entity_type, "session");
  EXPECT_EQ(r.entity_name, "abc");
  EXPECT_EQ(r.t3_average(), 0.5);
  EXPECT_EQ(r.v3_average(), 0.5);
  EXPECT_EQ(r.trust_level(), "medium");
  EXPECT_EQ(r.success_rate(), 0.5);
  EXPECT_FALSE(r.last_action);
  EXPECT_NEAR(r.days_since_last_action(), 0.0, 1.0 / 86400);
  const auto plain = EntityTrust::create("plainname");
  EXPECT_EQ(plain.entity_type, "");
  EXPECT_EQ(plain.entity_name, "plainname");
}

TEST(EntityTrustTest, UpdateFromOutcome) {
  auto r = EntityTrust::create("a:b");
  r.update_from_outcome(true, 1.0);
  EXPECT_EQ(r.t3.training, 0.525);
  EXPECT_EQ(r.t3.talent, 0.5075);
  EXPECT_EQ(r.t3.temperament, 0.5125);
  EXPECT_EQ(r.v3.valuation, 0.51);
  EXPECT_EQ(r.v3.veracity, 0.5);
  EXPECT_EQ(r.v3.validity, 0.5);
  EXPECT_EQ(r.action_count, 1u);
  EXPECT_EQ(r.success_count, 1u);
  EXPECT_TRUE(r.last_action);

  auto f = EntityTrust::create("a:b");
  f.update_from_outcome(false, 1.0);
  EXPECT_EQ(f.t3.training, 0.45);
  EXPECT_EQ(f.t3.talent, 0.485);
  EXPECT_EQ(f.t3.temperament, 0.475);
  EXPECT_EQ(f.v3.valuation, 0.51);
  EXPECT_EQ(f.action_count, 1u);
  EXPECT_EQ(f.success_count, 0u);

  // A negative magnitude moves no tensor value, but counters, valuation and last_action change.
  auto n = EntityTrust::create("a:b");
  n.update_from_outcome(true, -1.0);
  EXPECT_EQ(n.t3_average(), 0.5);
  EXPECT_EQ(n.v3.valuation, 0.51);
  EXPECT_EQ(n.action_count, 1u);
  EXPECT_TRUE(n.last_action);
}

TEST(EntityTrustTest, CountersStopAtTheirLargestValue) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  auto r = EntityTrust::create("a:b");
  r.action_count = r.success_count = r.witness_count = kMax;
  r.update_from_outcome(true, 1.0);
  r.receive_witness("w:1", true, 1.0);
  EXPECT_EQ(r.action_count, kMax);
  EXPECT_EQ(r.success_count, kMax);
  EXPECT_EQ(r.witness_count, kMax);
  r.action_count = kMax - 1;
  r.update_from_outcome(false, 1.0);
  EXPECT_EQ(r.action_count, kMax);
}

TEST(EntityTrustTest, ReceiveWitness) {
  auto r = EntityTrust::create("a:b");
  r.receive_witness("a", true, 1.0);
  EXPECT_EQ(r.witness_count, 1u);
  EXPECT_EQ(r.witnessed_by, std::vector<std::string>{"a"});
  EXPECT_EQ(r.t3.temperament, 0.515);
  EXPECT_EQ(r.v3.veracity, 0.9);
  EXPECT_EQ(r.v3.validity, 0.51);
  r.receive_witness("a", true, 1.0);
  EXPECT_EQ(r.witness_count, 2u);
  EXPECT_EQ(r.witnessed_by.size(), 1u);
  EXPECT_EQ(r.t3.temperament, 0.52955);
  EXPECT_EQ(r.v3.veracity, 0.98);
  EXPECT_EQ(r.v3.validity, 0.52);

  auto f = EntityTrust::create("a:b");
  f.receive_witness("a", false, 1.0);
  EXPECT_EQ(f.t3.temperament, 0.475);
  EXPECT_EQ(f.v3.veracity, 0.25);
  EXPECT_EQ(f.v3.validity, 0.51);

  // Validity caps at 1, and a NaN there becomes 1.
  auto c = EntityTrust::create("a:b");
  c.v3.validity = std::nan("");
  c.receive_witness("w", true, 0.0);
  EXPECT_EQ(c.v3.validity, 1.0);
}

TEST(EntityTrustTest, GiveWitness) {
  auto r = EntityTrust::create("a:b");
  r.give_witness("b", true, 1.0);
  EXPECT_EQ(r.has_witnessed, std::vector<std::string>{"b"});
  EXPECT_EQ(r.t3.temperament, 0.51);
  EXPECT_EQ(r.v3.valuation, 0.505);
  EXPECT_EQ(r.witness_count, 0u);
  EXPECT_EQ(r.action_count, 0u);
  r.give_witness("b", true, 1.0);
  EXPECT_EQ(r.has_witnessed.size(), 1u);

  auto f = EntityTrust::create("a:b");
  f.give_witness("b", false, 1.0);
  EXPECT_EQ(f.t3.temperament, 0.505);

  auto big = EntityTrust::create("a:b");
  big.give_witness("b", true, 100);
  EXPECT_EQ(big.t3.temperament, 1.0);
  big.give_witness("b", true, 100);
  EXPECT_EQ(big.t3.temperament, 1.0);
}

TEST(EntityTrustTest, ApplyDecay) {
  auto r = EntityTrust::create("a:b");
  EXPECT_FALSE(r.apply_decay(0, 0.1));
  EXPECT_EQ(r.t3_average(), 0.5);

  EXPECT_TRUE(r.apply_decay(10, 0.1));
  EXPECT_NEAR(r.t3.training, 0.369736, 1e-6);
  EXPECT_NEAR(r.t3.talent, 0.369387, 1e-6);
  EXPECT_NEAR(r.t3.temperament, 0.368341, 1e-6);
  EXPECT_NEAR(r.v3.valuation, 0.369038, 1e-6);
  EXPECT_NEAR(r.v3.validity, 0.369736, 1e-6);
  EXPECT_EQ(r.v3.veracity, 0.5);

  auto floor = EntityTrust::create("a:b");
  floor.t3 = {0.3, 0.3, 0.3};
  floor.v3 = {0.3, 0.3, 0.3};
  EXPECT_FALSE(floor.apply_decay(3, 0.1));

  auto full = EntityTrust::create("a:b");
  full.v3.veracity = 0.9;
  full.apply_decay(1, 1.0);
  EXPECT_EQ(full.t3.talent, 0.3);
  EXPECT_EQ(full.t3.training, 0.3);
  EXPECT_EQ(full.t3.temperament, 0.3);
  EXPECT_EQ(full.v3.valuation, 0.3);
  EXPECT_EQ(full.v3.validity, 0.3);
  EXPECT_EQ(full.v3.veracity, 0.9);
}

TEST(EntityTrustTest, Readings) {
  auto r = EntityTrust::create("a:b");
  r.update_from_outcome(true, 0.5);
  r.update_from_outcome(true, 0.5);
  r.update_from_outcome(false, 0.5);
  EXPECT_EQ(r.success_rate(), 2.0 / 3.0);

  const Timestamp then{1'767'225'600, 250'000'000};
  r.last_action = then;
  EXPECT_EQ(r.days_since_last_action({then.seconds + 36 * 3600, then.nanos}), 1.5);
  EXPECT_EQ(r.days_since_last_action({then.seconds + 59, then.nanos + 500'000'000}), 59 / 86400.0);
  // Truncated toward zero, and negative for times in the future.
  EXPECT_EQ(r.days_since_last_action({then.seconds - 59, then.nanos - 200'000'000}), -59 / 86400.0);

  r.t3 = {0.8, 0.8, 0.8};
  EXPECT_EQ(r.trust_level(), "high");
  r.t3 = {1.0, 0.4, 1.0};
  EXPECT_EQ(r.trust_level(), "medium-high");
}

}  // namespace
}  // namespace velk
