// Tissue-only statistics for the methods that measure every pixel alike: glass stays glass, the
// tissue is still normalised, and the result keeps the normaliser's promises.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>

#include "histonorm/histonorm.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

std::unique_ptr<CNormBase> Make(Method method, bool tissueOnly, unsigned threads = 1) {
  Options options;
  options.tissueOnly = tissueOnly;
  options.threads = threads;
  return MakeNormaliser(method, options);
}

// Slightly tinted glass with noise, as a scanner shows an empty part of the slide.
cv::Mat Glass(int rows, int cols) {
  cv::Mat noise(rows, cols, CV_16SC3);
  cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(3));
  cv::Mat glass;
  cv::add(cv::Mat(rows, cols, CV_16SC3, cv::Scalar(236, 229, 239)), noise, glass);
  glass.convertTo(glass, CV_8UC3);
  return glass;
}

// Mean brightness and chroma (the largest difference of two channel means) of an image.
struct Look {
  double brightness;
  double chroma;
};
Look LookOf(const cv::Mat& image) {
  const cv::Scalar mean = cv::mean(image);
  const double hi = std::max({mean[0], mean[1], mean[2]});
  const double lo = std::min({mean[0], mean[1], mean[2]});
  return {(mean[0] + mean[1] + mean[2]) / 3, hi - lo};
}

class TissueOnly : public testing::TestWithParam<Method> {
 protected:
  void SetUp() override {
    target_ = test::LoadSample("he_sample_2.png");
    // Tissue on the left, glass on the right.
    const cv::Mat tissue = test::LoadSample("he_sample_1.png")(cv::Rect(200, 150, 120, 90));
    cv::hconcat(tissue, Glass(90, 120), mixed_);
  }
  cv::Mat target_;
  cv::Mat mixed_;
};

// The mean colour of the target's glass: bright pixels whose channels lie close together.
cv::Scalar GlassColour(const cv::Mat& image) {
  cv::Mat lo, hi, glass;
  cv::Mat channels[3];
  cv::split(image, channels);
  cv::min(channels[0], cv::min(channels[1], channels[2]), lo);
  cv::max(channels[0], cv::max(channels[1], channels[2]), hi);
  glass = (lo >= 203) & (hi - lo < 24);
  return cv::mean(image, glass);
}

TEST_P(TissueOnly, GlassStaysGlassAndTissueIsNormalised) {
  const auto norm = Make(GetParam(), true);
  norm->CalcStats(target_);
  const cv::Scalar glass = GlassColour(target_);
  // A tile of glass alone, its own source, and glass beside tissue take the target's glass colour.
  for (const cv::Mat& result :
       {norm->Norm(Glass(64, 64)), cv::Mat(norm->Norm(mixed_), cv::Rect(120, 0, 120, 90))}) {
    const Look look = LookOf(result);
    EXPECT_GT(look.brightness, 210.0);
    EXPECT_LT(look.chroma, LookOf(cv::Mat(1, 1, CV_64FC3, glass)).chroma + 2.0);
    const cv::Scalar mean = cv::mean(result);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(mean[c], glass[c], 3.0) << c;
  }
  // The tissue is changed as the method changes it.
  const cv::Rect tissue(0, 0, 120, 90);
  EXPECT_GT(cv::norm(norm->Norm(mixed_)(tissue), mixed_(tissue), cv::NORM_L1), 0.0);
}

TEST_P(TissueOnly, KeepsTheNormalisersPromises) {
  const auto norm = Make(GetParam(), true);
  norm->CalcStats(target_);
  const cv::Mat expected = norm->Norm(mixed_);
  // A fitted transform, any thread count and red-green-blue pixels give the same bytes.
  EXPECT_EQ(cv::norm(norm->Fit(mixed_)->Apply(mixed_), expected, cv::NORM_INF), 0.0);
  const auto allCores = Make(GetParam(), true, 0);
  allCores->CalcStats(target_);
  EXPECT_EQ(cv::norm(allCores->Norm(mixed_), expected, cv::NORM_INF), 0.0);
  cv::Mat rgb;
  cv::cvtColor(mixed_, rgb, cv::COLOR_BGR2RGB);
  norm->Norm(rgb, rgb, ChannelOrder::kRgb);
  cv::cvtColor(rgb, rgb, cv::COLOR_RGB2BGR);
  EXPECT_EQ(cv::norm(rgb, expected, cv::NORM_INF), 0.0);
  // The saved target holds the glass colour: it loads bit-exactly, and only into a tissue-only one.
  std::stringstream saved;
  SaveTarget(*norm, saved);
  const auto loaded = Make(GetParam(), true);
  LoadTarget(*loaded, saved);
  EXPECT_EQ(cv::norm(loaded->Norm(mixed_), expected, cv::NORM_INF), 0.0);
  saved.seekg(0);
  const auto plain = Make(GetParam(), false);
  EXPECT_THROW(LoadTarget(*plain, saved), TargetFileError);
  plain->CalcStats(target_);
  std::stringstream plainSaved;
  SaveTarget(*plain, plainSaved);
  EXPECT_THROW(LoadTarget(*Make(GetParam(), true), plainSaved), TargetFileError);
}

INSTANTIATE_TEST_SUITE_P(Methods, TissueOnly,
                         testing::Values(Method::kReinhard, Method::kRGBHistSpec, Method::kRGBHistSpecThresh),
                         [](const testing::TestParamInfo<Method>& info) {
                           return std::string(MethodName(info.param));
                         });

}  // namespace
}  // namespace histonorm
