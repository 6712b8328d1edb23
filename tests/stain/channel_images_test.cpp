#include "stain/channel_images.h"

#include <gtest/gtest.h>

#include <limits>

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

TEST(ChannelImages, PerColourPicturesEqualThePixelPictures) {
  cv::Mat image(2, 3, CV_8UC3, cv::Scalar(10, 20, 30));
  image.at<cv::Vec3b>(1, 2) = {40, 50, 60};
  const ColourTable table(image);
  ASSERT_EQ(table.Size(), 2u);
  // Colour c gets channel values from Planes(), so its pixels get those values in every plane.
  const StainChannelPlanes perColour = Planes();
  StainChannelPlanes perPixel(3, 2);
  for (std::size_t k = 0; k < 3; ++k) {
    for (std::size_t i = 0; i < 6; ++i) perPixel[k][i] = perColour[k][table.ColourOf(i)];
  }
  const auto pictures = ChannelPictures(table, perColour, 1.0f);
  for (int channel = 0; channel < 2; ++channel) {
    const cv::Mat expected = ChannelImage(perPixel, channel, 1.0f);
    ASSERT_EQ(pictures[static_cast<std::size_t>(channel)].size(), expected.size());
    EXPECT_EQ(cv::norm(pictures[static_cast<std::size_t>(channel)], expected, cv::NORM_INF), 0.0) << channel;
  }
}

}  // namespace
}  // namespace histonorm
