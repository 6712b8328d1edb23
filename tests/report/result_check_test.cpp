// The checks pass sane results and catch each kind of wrong image.
#include <gtest/gtest.h>

#include <functional>
#include <opencv2/imgproc.hpp>

#include "histonorm/histonorm.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

struct Fixture {
  cv::Mat source = test::LoadSample("he_sample_1.png");
  cv::Mat target = test::LoadSample("he_sample_2.png");
  cv::Mat normalised;
  Fixture() {
    auto norm = MakeNormaliser(Method::kReinhard, {});
    norm->CalcStats(target);
    normalised = norm->Norm(source);
  }
};

const Fixture& Images() {
  static const Fixture fixture;
  return fixture;
}

// Source glass pixels, where the spoiled-glass case paints.
cv::Mat GlassMask(const cv::Mat& bgr) {
  cv::Mat mask;
  cv::inRange(bgr, cv::Scalar::all(CheckThresholds::kGlassLevel), cv::Scalar::all(255), mask);
  return mask;
}

struct Case {
  const char* name;
  std::function<cv::Mat(const Fixture&)> result;
  unsigned mustFail;  // every one of these must fail; none may when 0
};

class ResultCheckCases : public testing::TestWithParam<Case> {};

TEST_P(ResultCheckCases, CatchesWrongImagesAndPassesSaneOnes) {
  const Fixture& f = Images();
  const cv::Mat result = GetParam().result(f);
  const ResultCheck check = CheckResult(f.source, result, f.target);
  ASSERT_TRUE(check.glassChecked);
  ASSERT_TRUE(check.tissueChecked);
  if (GetParam().mustFail == 0) {
    EXPECT_TRUE(check.Passed()) << check.Summary();
  } else {
    EXPECT_EQ(check.failed & GetParam().mustFail, GetParam().mustFail) << check.Summary();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Results, ResultCheckCases,
    testing::Values(Case{"Normalised", [](const Fixture& f) { return f.normalised; }, 0},
                    Case{"NormalisedSlightlyLighter",
                         [](const Fixture& f) { return cv::Mat(f.normalised + cv::Scalar::all(4)); }, 0},
                    Case{"Darkened",
                         [](const Fixture& f) {
                           cv::Mat dark;
                           f.normalised.convertTo(dark, -1, 0.6);
                           return dark;
                         },
                         kGlassDarkened},
                    Case{"Blued",
                         [](const Fixture& f) { return cv::Mat(f.normalised + cv::Scalar(70, 0, -40)); },
                         kGlassTinted | kDarkTissueOff | kBrightTissueOff},
                    Case{"SpoiledGlass",
                         [](const Fixture& f) {
                           cv::Mat spoiled = f.normalised.clone();
                           spoiled.setTo(cv::Scalar(190, 150, 225), GlassMask(f.source));
                           return spoiled;
                         },
                         kGlassTinted},
                    Case{"LostStructure",
                         [](const Fixture& f) {
                           cv::Mat blurred;
                           cv::GaussianBlur(f.normalised, blurred, cv::Size(), 12);
                           return blurred;
                         },
                         kStructureLost}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A target summary measures the same as the target image, and unsuitable images are refused.
TEST(ResultCheck, TargetSummaryOfImagesEqualsSingleImageAndRejectsBadInput) {
  const Fixture& f = Images();
  CheckTarget pooled;
  pooled.Add(f.target);
  const ResultCheck single = CheckResult(f.source, f.normalised, f.target);
  const ResultCheck fromSummary = CheckResult(f.source, f.normalised, pooled);
  EXPECT_EQ(single.darkAfter, fromSummary.darkAfter);
  EXPECT_EQ(single.glassLightMin, fromSummary.glassLightMin);
  EXPECT_THROW((void)CheckResult(f.source, f.target(cv::Rect(0, 0, 10, 10)), pooled), std::invalid_argument);
  EXPECT_THROW(pooled.Add(cv::Mat(4, 4, CV_8UC1)), std::invalid_argument);
  const cv::Mat strip(1, 100000, CV_8UC3, cv::Scalar(120, 60, 160));  // sampled, it still has pixels
  EXPECT_TRUE(CheckResult(strip, strip, pooled).tissueChecked);
}

// Pairs with published CIEDE2000 differences, including a hue-angle wrap and a grey.
TEST(ResultCheck, Ciede2000MatchesPublishedPairs) {
  EXPECT_NEAR(Ciede2000({50, 2.6772, -79.7751}, {50, 0, -82.7485}), 2.0425, 1e-4);
  EXPECT_NEAR(Ciede2000({50, 2.5, 0}, {50, 0, -2.5}), 4.3065, 1e-4);
  EXPECT_NEAR(Ciede2000({50, 0, 0}, {50, -1, 2}), 2.3669, 1e-4);
  EXPECT_NEAR(Ciede2000({60.2574, -34.0099, 36.2677}, {60.4626, -34.1751, 39.4387}), 1.2644, 1e-4);
}

}  // namespace
}  // namespace histonorm
