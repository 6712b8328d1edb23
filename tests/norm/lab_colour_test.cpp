#include "norm/lab_colour.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace histonorm {
namespace {

TEST(LabColour, BlackPixelIsFinite) {
  const Lab lab = BgrToLab(0, 0, 0);
  // Cone responses 0.9996, 0.9993, 0.9973 before the logarithm.
  const float lL = static_cast<float>(std::log10(0.9996));
  const float lM = static_cast<float>(std::log10(0.9993));
  const float lS = static_cast<float>(std::log10(0.9973));
  EXPECT_EQ(lab[0], static_cast<float>(((lL + lM) + lS) / std::sqrt(3.0)));
  EXPECT_EQ(lab[1], static_cast<float>(((lL + lM) - 2.0f * lS) / std::sqrt(6.0)));
  EXPECT_EQ(lab[2], static_cast<float>((lL - lM) / std::sqrt(2.0)));
}

TEST(LabColour, LogarithmIsTakenOfTheDoubleResponse) {
  // log10 of the response rounded to float first differs in the last bit for this colour.
  int differing = 0;
  for (int v = 0; v < 256; v += 3) {
    const float r1 = static_cast<float>(v) + 1.0f;
    const double cl = 0.3811 * r1 + 0.5783 * r1 + 0.0402 * r1;
    if (static_cast<float>(std::log10(cl)) != std::log10(static_cast<float>(cl))) ++differing;
  }
  ASSERT_GT(differing, 0) << "test colours do not separate the two readings";
  for (int v = 0; v < 256; v += 3) {
    const auto u = static_cast<std::uint8_t>(v);
    const float r1 = static_cast<float>(v) + 1.0f;
    const float lL = static_cast<float>(std::log10(0.3811 * r1 + 0.5783 * r1 + 0.0402 * r1));
    const float lM = static_cast<float>(std::log10(0.1967 * r1 + 0.7244 * r1 + 0.0782 * r1));
    EXPECT_EQ(BgrToLab(u, u, u)[2], static_cast<float>((lL - lM) / std::sqrt(2.0))) << v;
  }
}

TEST(LabColour, ByteRounding) {
  EXPECT_EQ(ColourValueToByte(254.5f), 255);
  EXPECT_EQ(ColourValueToByte(254.49f), 254);
  EXPECT_EQ(ColourValueToByte(255.0f), 255);
  EXPECT_EQ(ColourValueToByte(-0.2f), 0);
  EXPECT_EQ(ColourValueToByte(0.0f), 0);
  EXPECT_EQ(ColourValueToByte(0.5f), 1);
  EXPECT_EQ(ColourValueToByte(255.01f), 255);
  EXPECT_EQ(ColourValueToByte(std::numeric_limits<float>::quiet_NaN()), 255);
  EXPECT_EQ(ColourValueToByte(-std::numeric_limits<float>::infinity()), 0);
}

TEST(LabColour, InverseUsesSinglePrecisionPower) {
  const Lab lab{0.1f, -0.02f, 0.03f};
  const float d = static_cast<float>(lab[0] / std::sqrt(3.0));
  const float e = static_cast<float>(lab[1] / std::sqrt(6.0));
  const float f = static_cast<float>(lab[2] / std::sqrt(2.0));
  const double cl = powf(10.0f, (e + d) + f);
  const double cm = powf(10.0f, (e + d) - f);
  const double cs = powf(10.0f, d - 2.0f * e);
  const auto bgr = LabToBgrValues(lab);
  EXPECT_EQ(bgr[0], static_cast<float>(0.0497 * cl - 0.2439 * cm + 1.2045 * cs - 1.0));
  EXPECT_EQ(bgr[1], static_cast<float>(-1.2186 * cl + 2.3809 * cm - 0.1624 * cs - 1.0));
  EXPECT_EQ(bgr[2], static_cast<float>(4.4679 * cl - 3.5873 * cm + 0.1193 * cs - 1.0));
}

// The two colour matrices are not exact inverses, so the round trip is close, not exact.
TEST(LabColour, RoundTripIsCloseToTheInput) {
  for (int b = 0; b < 256; b += 51) {
    for (int g = 0; g < 256; g += 51) {
      for (int r = 0; r < 256; r += 51) {
        const auto bgr = LabToBgrValues(BgrToLab(b, g, r));
        EXPECT_NEAR(bgr[0], b, 3.0);
        EXPECT_NEAR(bgr[1], g, 3.0);
        EXPECT_NEAR(bgr[2], r, 3.0);
      }
    }
  }
}

}  // namespace
}  // namespace histonorm
