#include "common/image_colours.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/every_target.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

TEST(ImageColours, IndexesEveryPixelOfAPaddedImage) {
  cv::Mat image(2, 3, CV_8UC3, cv::Scalar(1, 2, 3));
  image.at<cv::Vec3b>(0, 1) = cv::Vec3b(0, 0, 9);
  image.at<cv::Vec3b>(1, 2) = cv::Vec3b(0, 0, 9);
  image.at<cv::Vec3b>(1, 0) = cv::Vec3b(255, 0, 0);
  const auto padded = test::MakePadded(image, 2, 1);  // padding holds another colour, never counted
  const ImageColours colours(padded.view);
  ASSERT_TRUE(colours.Indexed());
  // Ascending keys: (255,0,0) = 255, (1,2,3) = 1 + 512 + 196608, (0,0,9) = 589824.
  EXPECT_EQ(colours.Keys(), (std::vector<std::uint32_t>{255u, 197121u, 589824u}));
  EXPECT_EQ(colours.Counts(), (std::vector<std::uint32_t>{1u, 3u, 2u}));
  EXPECT_EQ(colours.PixelIndices(), (PixelIndexVector{1, 2, 1, 0, 1, 2}));
  EXPECT_EQ(KeyByte(589824u, 2), 9);
}

TEST(ImageColours, GivesUpBeyondTheColourLimit) {
  const cv::Mat image = test::RandomImage(8, 8, 3);
  const ImageColours limited(image, 10);
  EXPECT_FALSE(limited.Indexed());
  EXPECT_GT(limited.Keys().size(), 10u);
  EXPECT_TRUE(limited.PixelIndices().empty());
  EXPECT_TRUE(ImageColours(cv::Mat(0, 0, CV_8UC3)).Indexed());
}

TEST(ImageColours, SameIndexForEveryThreadCount) {
  const auto padded = test::MakePadded(test::RandomImage(300, 7, 5), 1, 2);
  const ImageColours one(padded.view, SIZE_MAX, 1);
  for (const unsigned threads : {2U, 3U, 0U}) {
    const ImageColours split(padded.view, SIZE_MAX, threads);
    EXPECT_EQ(split.Keys(), one.Keys()) << threads;
    EXPECT_EQ(split.Counts(), one.Counts()) << threads;
    EXPECT_EQ(split.PixelIndices(), one.PixelIndices()) << threads;
  }
}

// The wide passes on every target against the plain loops: a width that leaves a partial vector in
// every row, colours that repeat and colours that do not.
using ImageColoursOnEveryTarget = test::EveryTarget;
TEST_P(ImageColoursOnEveryTarget, WideAndPlainPassesAgree) {
  cv::Mat image = test::RandomImage(37, 70, 11);
  image.rowRange(0, 35) /= 8;
  const auto padded = test::MakePadded(image, 3, 1);
  for (const unsigned threads : {1U, 2U}) {
    const ImageColours plain(padded.view, SIZE_MAX, threads, false);
    const ImageColours wide(padded.view, SIZE_MAX, threads, true);
    EXPECT_EQ(wide.Keys(), plain.Keys()) << threads;
    EXPECT_EQ(wide.Counts(), plain.Counts()) << threads;
    EXPECT_EQ(wide.PixelIndices(), plain.PixelIndices()) << threads;
  }
  const ImageColours colours(padded.view);
  for (int y = 0; y < image.rows; ++y) {
    const auto* row = padded.view.ptr<std::uint8_t>(y);
    std::vector<std::uint8_t> plain(3 * static_cast<std::size_t>(image.cols));
    std::vector<std::uint8_t> inPlace(row, row + plain.size());
    colours.PackedIndices(row, static_cast<std::size_t>(image.cols), plain.data(), false);
    colours.PackedIndices(inPlace.data(), static_cast<std::size_t>(image.cols), inPlace.data(), true);
    EXPECT_EQ(inPlace, plain) << y;
    const std::uint32_t last =
        colours.PixelIndices()[static_cast<std::size_t>(y * image.cols + image.cols - 1)];
    EXPECT_EQ(plain[plain.size() - 3] | plain[plain.size() - 2] << 8U | plain.back() << 16U, last) << y;
  }
}

INSTANTIATE_EVERY_TARGET(ImageColoursOnEveryTarget);

TEST(ImageColours, RecolouredIndexEqualsIndexingTheRecolouredImage) {
  const cv::Mat image = test::RandomImage(40, 30, 9) / 64;  // few colours, each on many pixels
  const ImageColours source(image);
  // Colours merge pairwise and move elsewhere in key order.
  std::vector<std::uint32_t> newKeys;
  for (const std::uint32_t key : source.Keys()) newKeys.push_back(0xFFFFFFu - (key & ~1u));
  cv::Mat recoloured(image.size(), CV_8UC3);
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      const std::uint32_t key = newKeys[source.PixelIndices()[static_cast<std::size_t>(y * image.cols + x)]];
      for (int b = 0; b < 3; ++b) recoloured.at<cv::Vec3b>(y, x)[b] = KeyByte(key, b);
    }
  }
  const ImageColours expected(recoloured);
  const ImageColours made(ImageColours(source), newKeys, 2);
  EXPECT_EQ(made.Keys(), expected.Keys());
  EXPECT_EQ(made.Counts(), expected.Counts());
  EXPECT_EQ(made.PixelIndices(), expected.PixelIndices());
  EXPECT_THROW(ImageColours(ImageColours(source), std::span(newKeys).first(1)), std::invalid_argument);
}

}  // namespace
}  // namespace histonorm
