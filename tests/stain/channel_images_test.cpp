#include "stain/channel_images.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <opencv2/imgcodecs.hpp>

#include "support/cli_run.h"

namespace histonorm {
namespace {

StainChannelPlanes Planes() {
  StainChannelPlanes p(3, 2);
  const float values0[6] = {255.5f, 254.9f, 1.7f, 0.6f, 300.0f, std::numeric_limits<float>::quiet_NaN()};
  for (int i = 0; i < 6; ++i) {
    p[0][i] = values0[i];
    p[1][i] = 100.0f + static_cast<float>(i);
    p[2][i] = 7.0f;
  }
  return p;
}

TEST(ChannelImages, ValuesBecomeTruncatedBytes) {
  const cv::Mat img = ChannelImage(Planes(), 0, 1.0f);
  ASSERT_EQ(img.type(), CV_8UC1);
  ASSERT_EQ(img.size(), cv::Size(3, 2));
  EXPECT_EQ(img.at<std::uint8_t>(0, 0), 255);
  EXPECT_EQ(img.at<std::uint8_t>(0, 1), 254);
  EXPECT_EQ(img.at<std::uint8_t>(0, 2), 1);
  EXPECT_EQ(img.at<std::uint8_t>(1, 0), 0);
  EXPECT_EQ(img.at<std::uint8_t>(1, 1), 255);
  EXPECT_EQ(img.at<std::uint8_t>(1, 2), 255);
  EXPECT_EQ(ChannelImage(Planes(), 1, 0.5f).at<std::uint8_t>(1, 2), 52);
}

TEST(ChannelImages, WritesChannelsZeroAndOneUnderLongNames) {
  test::ScratchDir dir;
  // A name well beyond 512 characters, through nested directories.
  std::string sub;
  for (int i = 0; i < 5; ++i) sub += std::string(120, static_cast<char>('a' + i)) + "/";
  dir.MakeDir(sub);
  const std::string stem = dir / (sub + "img.png.mapped.channels");
  ASSERT_GT(stem.size(), 600u);
  SaveChannelImages(Planes(), 1.0f, stem);
  const cv::Mat one = cv::imread(stem + ".1.jpg", cv::IMREAD_UNCHANGED);
  const cv::Mat two = cv::imread(stem + ".2.jpg", cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(one.empty());
  ASSERT_FALSE(two.empty());
  EXPECT_EQ(one.channels(), 1);
  EXPECT_EQ(two.size(), cv::Size(3, 2));
  EXPECT_FALSE(std::filesystem::exists(stem + ".3.jpg"));
  EXPECT_NEAR(two.at<std::uint8_t>(0, 1), 101, 3);  // JPEG is lossy

  // A missing directory is passed over in silence.
  testing::internal::CaptureStderr();
  SaveChannelImages(Planes(), 1.0f, dir / "missing/x");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

}  // namespace
}  // namespace histonorm
