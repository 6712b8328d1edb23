#include "stain/stain_params.h"

#include <gtest/gtest.h>

#include <sstream>

namespace histonorm {
namespace {

std::string ReadFrom(StainParams& p, const std::string& text) {
  std::istringstream in(text);
  testing::internal::CaptureStderr();
  p.Read(in);
  return testing::internal::GetCapturedStderr();
}

TEST(StainParams, TwoNumbersSetTwoThresholdsAndAllSixArePrinted) {
  StainParams p;
  const std::string lines = ReadFrom(p, "0.95\n20\n");
  EXPECT_EQ(lines,
            "Prob threshold: 0.95\nBlack threshold: 20\nWhite threshold: 300\nBackground threshold: 0.75\n"
            "Foreground threshold: 0.75\nDot product correction threshold: 0.8\n");
  EXPECT_EQ(p.probThreshold, 0.95f);
  EXPECT_EQ(p.blackThreshold, 20.0f);
  EXPECT_EQ(p.whiteThreshold, 300.0f);
  EXPECT_EQ(p.dotProductThreshold, 0.8f);
}

TEST(StainParams, ReadingStopsAtTheFirstBadNumberAndIgnoresExtras) {
  StainParams p;
  ReadFrom(p, "0.9 25 x 0.5 0.5 0.5");
  EXPECT_EQ(p.probThreshold, 0.9f);
  EXPECT_EQ(p.blackThreshold, 25.0f);
  EXPECT_EQ(p.whiteThreshold, 300.0f);
  EXPECT_EQ(p.backgroundThreshold, 0.75f);

  StainParams all;
  ReadFrom(all, "0.5\t10 200\n0.6 0.7 0.95 17 18");
  EXPECT_EQ(all.probThreshold, 0.5f);
  EXPECT_EQ(all.whiteThreshold, 200.0f);
  EXPECT_EQ(all.foregroundThreshold, 0.7f);
  EXPECT_EQ(all.dotProductThreshold, 0.95f);
  const MembershipThresholds m = all.Membership();
  EXPECT_EQ(m.black, 10.0f);
  EXPECT_EQ(m.background, 0.6f);
}

}  // namespace
}  // namespace histonorm
