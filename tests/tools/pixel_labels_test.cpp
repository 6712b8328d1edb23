#include "train/pixel_labels.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "support/cli_run.h"

namespace histonorm::train {
namespace {

// Blocks of typical nucleus, stroma and glass colours (blue, green, red).
cv::Mat StainedBlocks(const cv::Scalar& second) {
  cv::Mat image(60, 90, CV_8UC3);
  image(cv::Rect(0, 0, 30, 60)).setTo(cv::Scalar(150, 60, 100));  // haematoxylin purple
  image(cv::Rect(30, 0, 30, 60)).setTo(second);
  image(cv::Rect(60, 0, 30, 60)).setTo(cv::Scalar(245, 244, 246));  // glass
  return image;
}

TEST(AutomaticLabels, BlockInteriorsGetTheirStainOrBackground) {
  const cv::Mat he = AutomaticLabels(StainedBlocks(cv::Scalar(200, 150, 235)), StainPair::kHaematoxylinEosin);
  EXPECT_EQ(he.at<std::uint8_t>(30, 15), 1);
  EXPECT_EQ(he.at<std::uint8_t>(30, 45), 2);
  EXPECT_EQ(he.at<std::uint8_t>(30, 75), 3);
  const cv::Mat dab = AutomaticLabels(StainedBlocks(cv::Scalar(60, 110, 160)), StainPair::kHaematoxylinDab);
  EXPECT_EQ(dab.at<std::uint8_t>(30, 15), 1);
  EXPECT_EQ(dab.at<std::uint8_t>(30, 45), 2);
}

TEST(AutomaticLabels, PixelsWhoseWindowMixesClassesStayUnlabelled) {
  const cv::Mat labels =
      AutomaticLabels(StainedBlocks(cv::Scalar(200, 150, 235)), StainPair::kHaematoxylinEosin);
  // At the purple/pink border the window mean of the purple pixel is no longer clearly purple,
  // or it disagrees with the pixel's own colour.
  EXPECT_EQ(labels.at<std::uint8_t>(30, 29), kUnlabelled);
  EXPECT_EQ(labels.at<std::uint8_t>(30, 30), kUnlabelled);
}

TEST(LabelMask, RejectsMasksThatDoNotFit) {
  const test::ScratchDir dir;
  cv::imwrite(dir / "good.png", cv::Mat(4, 5, CV_8UC1, cv::Scalar(3)));
  cv::imwrite(dir / "value.png", cv::Mat(4, 5, CV_8UC1, cv::Scalar(4)));
  cv::imwrite(dir / "colour.png", cv::Mat(4, 5, CV_8UC3, cv::Scalar(1, 1, 1)));

  EXPECT_EQ(CountLabels(ReadLabelMask(dir / "good.png", cv::Size(5, 4)))[3], 20u);
  EXPECT_THROW(ReadLabelMask(dir / "good.png", cv::Size(4, 5)), std::runtime_error);
  EXPECT_THROW(ReadLabelMask(dir / "value.png", cv::Size(5, 4)), std::runtime_error);
  EXPECT_THROW(ReadLabelMask(dir / "colour.png", cv::Size(5, 4)), std::runtime_error);
  EXPECT_THROW(ReadLabelMask(dir / "missing.png", cv::Size(5, 4)), std::runtime_error);
}

}  // namespace
}  // namespace histonorm::train
