#include "stain/channel_mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

namespace histonorm {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

ChannelClassStats ImageStats() {
  ChannelClassStats s;
  s.meanStained = 80.25;
  s.meanBackground = 230.5;
  s.meanOther = 150.0;
  s.lowStained = -3.0f;
  s.highStained = 140.0f;
  s.lowBackground = 200.0f;
  s.highBackground = 300.0f;
  s.lowOther = 90.0f;
  s.highOther = 210.0f;
  return s;
}

TargetChannelStats Target() {
  TargetChannelStats t;
  t.mean = {70.0f, 235.0f, 160.0f};
  t.low = {20.0f, -1.0f, 100.0f};
  t.high = {130.0f, 260.0f, 220.0f};
  return t;
}

TEST(ChannelMappingPoints, RowsInOrderWithTheirLimits) {
  const MappingPoints p = ChannelMappingPoints(ImageStats(), Target());
  ASSERT_EQ(p.count, 18u);
  const std::array<float, 18> x = {0,      10,     20,  30,  40, 50,  255, 240, 500,
                                   80.25f, 230.5f, 150, 140, 0,  255, 200, 210, 90};
  const std::array<float, 18> y = {0,  10,  20,  30,  40, 50,  255, 240, 500,
                                   70, 235, 160, 130, 20, 255, 0,   220, 100};
  EXPECT_EQ(p.x, x);
  EXPECT_EQ(p.y, y);
}

TEST(ChannelMappingPoints, PairsThatAreNotFiniteAreLeftOut) {
  ChannelClassStats image = ImageStats();
  image.meanBackground = std::nan("");
  image.lowBackground = kNaN;
  image.highBackground = kNaN;
  TargetChannelStats target = Target();
  target.mean[kOtherClass] = kNaN;
  target.high[kStainedClass] = std::numeric_limits<float>::infinity();  // limited to 255, so it stays
  const MappingPoints p = ChannelMappingPoints(image, target);
  ASSERT_EQ(p.count, 14u);
  for (std::size_t i = 0; i < p.count; ++i) EXPECT_TRUE(std::isfinite(p.x[i]) && std::isfinite(p.y[i])) << i;
  EXPECT_EQ(p.x[9], 80.25f);
  EXPECT_EQ(p.x[10], 140.0f);  // highStained follows meanStained directly
  EXPECT_EQ(p.y[10], 255.0f);
  EXPECT_EQ(p.x[13], 90.0f);  // lowOther ends the list

  // Nothing but the fixed identity points: the fit still runs and stays close to the identity.
  const ChannelClassStats empty{std::nan(""), std::nan(""), std::nan(""), 0,    0,    0,
                                kNaN,         kNaN,         kNaN,         kNaN, kNaN, kNaN};
  EXPECT_EQ(ChannelMappingPoints(empty, Target()).count, 9u);
  std::ostringstream log;
  const CubicBSpline curve = FitChannelMapping(empty, Target(), LogSink::To(log));
  EXPECT_EQ(log.str(), "");
  EXPECT_NEAR(curve.Eval(150.0f), 150.0f, 2.0f);
}

TEST(ChannelMapping, MatchingStatisticsGiveNearlyTheIdentity) {
  ChannelClassStats image;
  image.meanStained = 70.0;
  image.meanBackground = 235.0;
  image.meanOther = 160.0;
  image.lowStained = 20.0f;
  image.highStained = 130.0f;
  image.lowBackground = 210.0f;
  image.highBackground = 255.0f;
  image.lowOther = 100.0f;
  image.highOther = 220.0f;
  const CubicBSpline curve = FitChannelMapping(image, TargetStatsOf(image));
  for (const float x : {20.0f, 70.0f, 130.0f, 160.0f, 235.0f}) EXPECT_NEAR(curve.Eval(x), x, 2.0f) << x;
}

TEST(ChannelMapping, ShiftedStatisticsMoveTheCurveTowardsTheTarget) {
  ChannelClassStats image = ImageStats();
  image.lowStained = 60.0f;
  image.highBackground = 250.0f;
  TargetChannelStats darker = TargetStatsOf(image);
  for (auto* v : {&darker.mean, &darker.low, &darker.high}) {
    for (float& e : *v) e -= 15.0f;
  }
  const CubicBSpline curve = FitChannelMapping(image, darker);
  for (const float x : {80.25f, 150.0f, 210.0f}) {
    EXPECT_LT(curve.Eval(x), x - 3.0f) << x;
    EXPECT_GT(curve.Eval(x), x - 20.0f) << x;
  }
}

TEST(ChannelMappingValue, InputIsLimitedAndOutputRaisedToOne) {
  CubicBSpline curve = MakeChannelMappingCurve();
  for (std::size_t j = 0; j < 8; ++j) curve.Coeffs()[j] = static_cast<float>(j) * curve.Spacing();
  EXPECT_EQ(MapStainChannelValue(curve, 600.0f), curve.Eval(500.0f));
  EXPECT_EQ(MapStainChannelValue(curve, std::numeric_limits<float>::infinity()), curve.Eval(500.0f));
  EXPECT_EQ(MapStainChannelValue(curve, -3.0f), curve.Eval(0.0f));
  EXPECT_EQ(MapStainChannelValue(curve, 123.4f), curve.Eval(123.4f));

  const CubicBSpline zero = MakeChannelMappingCurve();  // a failed fit maps everything to 1
  std::vector<float> values = {0.6f, 255.5f, 40.0f, 900.0f};
  MapChannel(zero, values);
  for (const float v : values) EXPECT_EQ(v, 1.0f);

  CubicBSpline low = MakeChannelMappingCurve();
  for (float& c : low.Coeffs()) c = 0.5f;
  EXPECT_EQ(MapStainChannelValue(low, 200.0f), 1.0f);
  for (float& c : low.Coeffs()) c = 1.25f;
  EXPECT_FLOAT_EQ(MapStainChannelValue(low, 200.0f), 1.25f);
}

TEST(ChannelMapping, NonDecreasingCurvesNeverInvertContrast) {
  CubicBSpline curve = MakeChannelMappingCurve();
  curve.Coeffs() = {0.0f, 90.0f, 220.0f, 140.0f, 150.0f, 360.0f, 430.0f, 501.0f};
  MakeNonDecreasing(curve);
  // The dip is pooled with its neighbours to their mean; the rest is kept.
  EXPECT_EQ(curve.Coeffs(),
            (std::vector<float>{0.0f, 90.0f, 170.0f, 170.0f, 170.0f, 360.0f, 430.0f, 501.0f}));
  for (float x = 0.0f; x < 500.0f; x += 0.5f) EXPECT_LE(curve.Eval(x), curve.Eval(x + 0.5f)) << x;
}

}  // namespace
}  // namespace histonorm
