// A transform measured once and applied to any pixels: the same bytes as Norm on the measured image,
// and tiles that fit together without seams.
#include <gtest/gtest.h>

#include <memory>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

#include "histonorm/histonorm.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

class FittedTransformOf : public testing::TestWithParam<Method> {
 protected:
  static cv::Mat Crop(const char* sample, cv::Rect area) { return test::LoadSample(sample)(area).clone(); }
  std::unique_ptr<CNormBase> Measured() const {
    Options options;
    options.colourModelPath = std::string(HISTONORM_MODEL_DIR) + "/he.model";
    auto norm = MakeNormaliser(GetParam(), options);
    norm->CalcStats(Crop("he_sample_2.png", cv::Rect(60, 40, 200, 160)));
    return norm;
  }
};

TEST_P(FittedTransformOf, TheMeasuredImageGivesTheBytesOfNorm) {
  const auto norm = Measured();
  for (const char* sample : {"he_sample_1.png", "he_sample_3.png", "ihc_dab.png"}) {
    const cv::Mat image = Crop(sample, cv::Rect(100, 60, 180, 150));
    const cv::Mat expected = norm->Norm(image);
    EXPECT_EQ(cv::norm(norm->Fit(image)->Apply(image), expected, cv::NORM_INF), 0.0) << sample;
  }
}

TEST_P(FittedTransformOf, TilesOfAStridedImageMatchTheWholeAndOutliveTheNormaliser) {
  const cv::Mat whole = Crop("he_sample_3.png", cv::Rect(0, 0, 301, 233));
  std::unique_ptr<const FittedTransform> transform = Measured()->Fit(whole(cv::Rect(0, 0, 150, 120)));
  const cv::Mat expected = transform->Apply(whole);
  cv::Mat tiled(whole.size(), CV_8UC3, cv::Scalar::all(0));
  for (int y = 0; y < whole.rows; y += 64) {
    for (int x = 0; x < whole.cols; x += 64) {
      const cv::Rect tile(x, y, std::min(64, whole.cols - x), std::min(64, whole.rows - y));
      cv::Mat out = tiled(tile);
      transform->Apply(whole(tile), out);
    }
  }
  EXPECT_EQ(cv::norm(tiled, expected, cv::NORM_INF), 0.0);
}

// Separate transforms, so that a colour table filled through one order cannot hide a fault of the other.
TEST_P(FittedTransformOf, RedGreenBlueOrderGivesTheBytesOfConvertingAround) {
  const cv::Mat whole = Crop("he_sample_1.png", cv::Rect(30, 20, 197, 161));
  const cv::Mat bgr = whole(cv::Rect(3, 5, 97, 61));
  const auto norm = Measured();
  cv::Mat rgb;
  cv::Mat expected;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  cv::cvtColor(norm->Fit(whole)->Apply(bgr), expected, cv::COLOR_BGR2RGB);
  cv::Mat out(bgr.size(), CV_8UC3);
  norm->Fit(whole)->Apply(rgb, out, ChannelOrder::kRgb);
  EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0);
}

TEST_P(FittedTransformOf, RefusesWhatNormRefuses) {
  Options options;
  options.colourModelPath = std::string(HISTONORM_MODEL_DIR) + "/he.model";
  const cv::Mat image = Crop("he_sample_1.png", cv::Rect(0, 0, 40, 30));
  EXPECT_THROW(static_cast<void>(MakeNormaliser(GetParam(), options)->Fit(image)), std::logic_error);
  const auto norm = Measured();
  EXPECT_THROW(static_cast<void>(norm->Fit(cv::Mat(4, 4, CV_8UC1))), std::invalid_argument);
  const auto transform = norm->Fit(image);
  cv::Mat small(2, 2, CV_8UC3, cv::Scalar::all(7));
  EXPECT_THROW(transform->Apply(image, small), std::invalid_argument);
  EXPECT_EQ(small.at<cv::Vec3b>(1, 1), cv::Vec3b(7, 7, 7));
}

INSTANTIATE_TEST_SUITE_P(AllMethods, FittedTransformOf, testing::ValuesIn(kAllMethods),
                         [](const testing::TestParamInfo<Method>& info) {
                           return std::string(MethodName(info.param));
                         });

}  // namespace
}  // namespace histonorm
