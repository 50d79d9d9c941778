// Tensor arithmetic, exact to the last bit.
#include "entity/tensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(TensorTest, ClampsOnConstruction) {
  const auto t = T3Tensor::clamped(-5, 7, -0.0);
  EXPECT_EQ(t.talent, 0.0);
  EXPECT_EQ(t.training, 1.0);
  EXPECT_TRUE(std::signbit(t.temperament));
  EXPECT_TRUE(std::isnan(clamp_unit(kNaN)));
  const auto v = V3Tensor::clamped(2, -1, 0.25);
  EXPECT_EQ(v.valuation, 1.0);
  EXPECT_EQ(v.veracity, 0.0);
  EXPECT_EQ(v.validity, 0.25);
}

struct LevelCase {
  double talent, training, temperament;
  double average;
  const char* level;
};

TEST(TensorTest, AverageAndLevelAtThresholds) {
  const LevelCase cases[] = {
      {0.5, 0.5, 0.5, 0.5, "medium"},
      {0.6, 0.6, 0.6, 0.6, "medium-high"},
      {0.0, 0.6, 0.0, 0.19999999999999998, "minimal"},
      {1.0, 0.4, 1.0, 0.7999999999999999, "medium-high"},
      {0.8, 0.8, 0.8, 0.8000000000000002, "high"},
      {0.3, 0.3, 0.3, 0.3, "low"},
      {0.4, 0.4, 0.4, 0.4000000000000001, "medium"},
  };
  for (const auto& c : cases) {
    const T3Tensor t{c.talent, c.training, c.temperament};
    EXPECT_EQ(t.average(), c.average) << c.talent << " " << c.training;
    EXPECT_EQ(t.level(), c.level) << c.talent << " " << c.training;
  }
  EXPECT_EQ(T3Tensor(kNaN, kNaN, kNaN).level(), "minimal");
  EXPECT_EQ(level_word(0.2), "low");
  EXPECT_EQ(level_word(0.19999999999999998), "minimal");
  EXPECT_EQ(V3Tensor::neutral().average(), 0.5);
}

TEST(TensorTest, UpdateFromOutcome) {
  auto t = T3Tensor::neutral();
  t.update_from_outcome(true, 1.0);
  EXPECT_EQ(t.talent, 0.5075);
  EXPECT_EQ(t.training, 0.525);
  EXPECT_EQ(t.temperament, 0.5125);

  t = T3Tensor::neutral();
  t.update_from_outcome(false, 1.0);
  EXPECT_EQ(t.talent, 0.485);
  EXPECT_EQ(t.training, 0.45);
  EXPECT_EQ(t.temperament, 0.475);

  // Magnitude is clamped: 2.0 acts as 1.0, a negative one as 0.
  auto a = T3Tensor::neutral(), b = T3Tensor::neutral();
  a.update_from_outcome(true, 2.0);
  b.update_from_outcome(true, 1.0);
  EXPECT_EQ(a.training, b.training);
  T3Tensor above{1.5, 1.2, 2.0};
  above.update_from_outcome(true, -3.0);
  EXPECT_EQ(above.talent, 1.0);
  EXPECT_EQ(above.training, 1.0);
  EXPECT_EQ(above.temperament, 1.0);

  T3Tensor ones{1, 1, 1};
  ones.update_from_outcome(true, 1.0);
  EXPECT_EQ(ones.average(), 1.0);
  T3Tensor zeros{0, 0, 0};
  zeros.update_from_outcome(false, 1.0);
  EXPECT_EQ(zeros.average(), 0.0);

  auto n = T3Tensor::neutral();
  n.update_from_outcome(true, kNaN);
  EXPECT_TRUE(std::isnan(n.talent) && std::isnan(n.training) && std::isnan(n.temperament));
}

TEST(TensorTest, ApplyDecay) {
  for (const double days : {0.0, -3.0}) {
    auto t = T3Tensor::neutral();
    EXPECT_FALSE(t.apply_decay(days, 0.5));
    EXPECT_EQ(t.average(), 0.5);
  }

  auto t = T3Tensor::neutral();
  EXPECT_TRUE(t.apply_decay(10, 0.01));
  EXPECT_EQ(t.talent, 0.47997203292675206);
  EXPECT_EQ(t.training, 0.48087641500176087);
  EXPECT_EQ(t.temperament, 0.47725888670172567);

  t = T3Tensor::neutral();
  EXPECT_FALSE(t.apply_decay(5, 0.0));
  EXPECT_EQ(t.training, 0.5);
  EXPECT_EQ(t.talent, 0.499);
  EXPECT_EQ(t.temperament, 0.496);

  t = T3Tensor::neutral();
  t.apply_decay(1, 1.0);
  EXPECT_EQ(t.talent, 0.3);
  EXPECT_EQ(t.training, 0.3);
  EXPECT_EQ(t.temperament, 0.3);

  T3Tensor low{0.1, 0.1, 0.1};
  EXPECT_TRUE(low.apply_decay(1, 0.01));
  EXPECT_EQ(low.talent, 0.3);
  EXPECT_EQ(low.training, 0.3);
  EXPECT_EQ(low.temperament, 0.3);

  // f is NaN: every dimension lands on the floor.
  t = T3Tensor::neutral();
  t.apply_decay(1.5, 2.0);
  EXPECT_EQ(t.talent, 0.3);
  EXPECT_EQ(t.training, 0.3);
  EXPECT_EQ(t.temperament, 0.3);

  // A negative rate raises values without an upper bound.
  T3Tensor high{1, 1, 1};
  high.apply_decay(10, -0.5);
  EXPECT_GT(high.training, 1.0);
}

}  // namespace
}  // namespace velk
