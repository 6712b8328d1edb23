#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "deconv/class_mean_colour.h"
#include "deconv/colour_deconv.h"
#include "deconv/unit_vector.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

using test::VectorOf;

CColourDeconv HaematoxylinEosin() {
  CColourDeconv deconv;
  deconv.Init();
  deconv.BuildStainMatrix(VectorOf(110, 80, 160), VectorOf(230, 150, 200));

  return deconv;
}

// Channel value of stain k for one pixel, straight from the definition.
float ReferenceChannel(const CColourDeconv& d, int k, const cv::Vec3b& bgr) {
  const double r = d.OdTable()[bgr[2]], g = d.OdTable()[bgr[1]], b = d.OdTable()[bgr[0]];
  const auto& q = d.InverseStains()[k];
  const double e = ((g * q[1] + r * q[0]) + b * q[2] - 255) * d.LogScale() / (-255);
  return static_cast<float>(std::exp(e) + 0.5);
}

void ExpectMatchesReference(const CColourDeconv& deconv, const cv::Mat& image) {
  StainChannelPlanes channels;
  deconv.ImageToChannels(image, channels);
  ASSERT_EQ(channels.width, image.cols);
  ASSERT_EQ(channels.height, image.rows);
  int mismatches = 0;
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      for (int k = 0; k < 3; ++k) {
        const float expected = ReferenceChannel(deconv, k, image.at<cv::Vec3b>(y, x));
        if (channels[k][static_cast<std::size_t>(y) * image.cols + x] != expected) ++mismatches;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(ImageToChannels, UnstainedPixelGivesFullIntensity) {
  const CColourDeconv deconv = HaematoxylinEosin();
  const cv::Mat image(2, 3, CV_8UC3, cv::Scalar(254, 254, 254));
  StainChannelPlanes channels;
  deconv.ImageToChannels(image, channels);
  for (int k = 0; k < 3; ++k) {
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(channels[k][i], 255.5f);
  }
}

TEST(ImageToChannels, SmallAndLargeImagesFollowTheDefinition) {
  const CColourDeconv deconv = HaematoxylinEosin();
  ExpectMatchesReference(deconv, test::RandomImage(7, 11, 1));
  // Large enough to take the per-colour path, with many repeated colours.
  cv::Mat tiled;
  cv::repeat(test::RandomImage(64, 64, 2), 3, 2, tiled);
  ExpectMatchesReference(deconv, tiled);
  cv::Mat sampleTwice;
  cv::repeat(test::LoadSample("he_sample_1.png"), 1, 2, sampleTwice);
  ExpectMatchesReference(deconv, sampleTwice);
  // Large, with hardly a repeat.
  ExpectMatchesReference(deconv, test::RandomImage(150, 150, 3));
}

TEST(ImageToChannels, PaddedRowsGiveDensePlanes) {
  const CColourDeconv deconv = HaematoxylinEosin();
  for (const int rows : {5, 200}) {  // both evaluation paths
    const cv::Mat image = test::RandomImage(rows, 131, 9);
    const test::PaddedView padded = test::MakePadded(image, 5, 0x5A);
    StainChannelPlanes fromPadded, fromDense;
    deconv.ImageToChannels(padded.view, fromPadded);
    deconv.ImageToChannels(image, fromDense);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(fromPadded.plane[k], fromDense.plane[k]);
  }
}

TEST(ChannelsToImage, RoundTripIsClose) {
  const CColourDeconv deconv = HaematoxylinEosin();
  const cv::Mat image = test::LoadSample("he_sample_2.png");
  StainChannelPlanes channels;
  deconv.ImageToChannels(image, channels);
  cv::Mat back(image.rows, image.cols, CV_8UC3);
  deconv.ChannelsToImage(channels, back);
  // The 0.5 added to every channel is not removed: most pixels come back exactly, very dark ones
  // (channel values near 1) move noticeably.
  int exact = 0, withinTwo = 0;
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      const double d = cv::norm(image.at<cv::Vec3b>(y, x), back.at<cv::Vec3b>(y, x), cv::NORM_INF);
      exact += d == 0;
      withinTwo += d <= 2;
    }
  }
  const double pixels = image.total();
  EXPECT_GT(exact / pixels, 0.97);
  EXPECT_GT(withinTwo / pixels, 0.999);
}

TEST(ChannelsToImage, WritesOnlyTheViewOfAPaddedImage) {
  const CColourDeconv deconv = HaematoxylinEosin();
  const cv::Mat image = test::RandomImage(6, 9, 4);
  StainChannelPlanes channels;
  deconv.ImageToChannels(image, channels);
  cv::Mat dense(image.rows, image.cols, CV_8UC3);
  deconv.ChannelsToImage(channels, dense);
  test::PaddedView padded = test::MakePadded(cv::Mat::zeros(6, 9, CV_8UC3), 4, 0xC3);
  deconv.ChannelsToImage(channels, padded.view);
  EXPECT_TRUE(test::PaddingUntouched(padded, 0xC3));
  EXPECT_EQ(cv::norm(dense, padded.view, cv::NORM_INF), 0.0);
  cv::Mat wrongSize(6, 8, CV_8UC3);
  EXPECT_THROW(deconv.ChannelsToImage(channels, wrongSize), std::invalid_argument);
}

TEST(ChannelsToImage, ByteConversionTruncatesAndClamps) {
  const CColourDeconv deconv = HaematoxylinEosin();
  const Matrix3& s = deconv.Stains();
  const double logScale = deconv.LogScale();
  // With stains 1 and 2 at 255 (no density), red depends on stain 0 alone: choose its channel
  // value so that red comes out at 254.9 before conversion.
  const double d0 = std::log(255.9 / 255.0) * -255.0 / (logScale * s[0][0]);
  const float p0 = static_cast<float>(std::pow(255.0, 1.0 - d0 / 255.0));
  StainChannelPlanes channels(4, 1);
  const float values[4] = {p0, 1e6f, 1e-30f, -1.0f};  // 254.9, above 255, negative, not a number
  for (std::size_t x = 0; x < 4; ++x) {
    channels[0][x] = values[x];
    channels[1][x] = 255.0f;
    channels[2][x] = 255.0f;
  }
  cv::Mat out(1, 4, CV_8UC3);
  deconv.ChannelsToImage(channels, out);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 0)[2], 254);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 1)[2], 255);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 2)[2], 0);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 3), cv::Vec3b(0, 0, 0));
}

TEST(ChannelsToImage, NotANumberEstimateGivesBlack) {
  CColourDeconv deconv;
  deconv.Init();
  deconv.BuildStainMatrix(VectorOf(NAN, NAN, NAN), VectorOf(230, 150, 200));

  const cv::Mat image = test::RandomImage(3, 3, 6);
  StainChannelPlanes channels;
  deconv.ImageToChannels(image, channels);
  EXPECT_TRUE(std::isnan(channels[0][0]));
  cv::Mat out(3, 3, CV_8UC3);
  deconv.ChannelsToImage(channels, out);
  EXPECT_EQ(cv::countNonZero(out.reshape(1)), 0);
}

}  // namespace
}  // namespace histonorm
